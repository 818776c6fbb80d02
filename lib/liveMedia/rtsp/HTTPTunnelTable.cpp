#include "HTTPTunnelTable.hh"

bool HTTPTunnelTable::open(std::string_view cookie, RTSPClientConnection* output) {
  if (fCookieOf.count(output) != 0) return false;
  std::string key(cookie);
  if (!fTunnels.emplace(key, Tunnel{output, nullptr}).second) return false;
  fCookieOf.emplace(output, std::move(key));
  return true;
}

HTTPTunnelTable::Join HTTPTunnelTable::join(std::string_view cookie, RTSPClientConnection* input) {
  auto it = fTunnels.find(std::string(cookie));
  if (it == fTunnels.end()) return Join::NoTunnel;
  if (it->second.input != nullptr || fCookieOf.count(input) != 0) return Join::Busy;
  it->second.input = input;
  fCookieOf.emplace(input, it->first);
  return Join::Joined;
}

HTTPTunnelTable::Tunnel const* HTTPTunnelTable::tunnelOf(RTSPClientConnection const* connection) const {
  auto c = fCookieOf.find(connection);
  if (c == fCookieOf.end()) return nullptr;
  auto t = fTunnels.find(c->second);
  return t == fTunnels.end() ? nullptr : &t->second;
}

RTSPClientConnection* HTTPTunnelTable::outputOf(RTSPClientConnection const* input) const {
  Tunnel const* t = tunnelOf(input);
  return t != nullptr && t->input == input ? t->output : nullptr;
}

RTSPClientConnection* HTTPTunnelTable::inputOf(RTSPClientConnection const* output) const {
  Tunnel const* t = tunnelOf(output);
  return t != nullptr && t->output == output ? t->input : nullptr;
}

RTSPClientConnection* HTTPTunnelTable::remove(RTSPClientConnection const* connection) {
  auto c = fCookieOf.find(connection);
  if (c == fCookieOf.end()) return nullptr;
  auto t = fTunnels.find(c->second);
  fCookieOf.erase(c);
  if (t == fTunnels.end()) return nullptr;
  if (t->second.input == connection) {  // the input half goes alone
    t->second.input = nullptr;
    return nullptr;
  }
  RTSPClientConnection* input = t->second.input;
  if (input != nullptr) fCookieOf.erase(input);
  fTunnels.erase(t);
  return input;
}
