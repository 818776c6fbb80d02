#include <cstring>

#include "Base64StreamDecoder.hh"
#include "H264VideoRTPSink.hh"  // base64Encode
#include "MikeyMessage.hh"
#include "RTSPRequest.hh"

namespace {
std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The value of 'name=' in one key-mgmt spec, quotes removed; empty when absent.
std::string_view parameter(std::string_view spec, std::string_view name) {
  while (!spec.empty()) {
    size_t semi = spec.find(';');
    std::string_view p = trimmed(spec.substr(0, semi));
    spec.remove_prefix(semi == std::string_view::npos ? spec.size() : semi + 1);
    size_t eq = p.find('=');
    if (eq == std::string_view::npos || !equalsIgnoreCase(trimmed(p.substr(0, eq)), name)) continue;
    std::string_view v = trimmed(p.substr(eq + 1));
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return v;
  }
  return {};
}
}  // namespace

bool base64Decode(std::string_view text, std::string& out) {
  Base64StreamDecoder decoder;
  out.assign(text.size() * 3 / 4 + 3, '\0');
  size_t consumed = 0;
  size_t n = decoder.decode(reinterpret_cast<unsigned char const*>(text.data()), text.size(),
                            reinterpret_cast<unsigned char*>(&out[0]), out.size(), consumed);
  out.resize(n);
  return !decoder.failed() && !decoder.midGroup() && consumed == text.size();
}

std::string keyMgmtSDPLine(std::string const& mikey) {
  return "a=key-mgmt:mikey " +
         base64Encode(reinterpret_cast<unsigned char const*>(mikey.data()), static_cast<unsigned>(mikey.size())) +
         "\r\n";
}

bool parseKeyMgmtHeader(std::string_view value, std::string& mikey) {
  // A data value never holds a comma (base64) and a URI rarely does: specs
  // are split at commas outside quotes.
  while (!value.empty()) {
    size_t end = 0;
    bool quoted = false;
    while (end < value.size() && (quoted || value[end] != ',')) {
      if (value[end] == '"') quoted = !quoted;
      ++end;
    }
    std::string_view spec = value.substr(0, end);
    value.remove_prefix(end == value.size() ? end : end + 1);
    if (!equalsIgnoreCase(parameter(spec, "prot"), "mikey")) continue;
    std::string_view data = parameter(spec, "data");
    return !data.empty() && base64Decode(data, mikey);
  }
  return false;
}
