// RTSP over HTTP, the connection's side: opening or joining a tunnel with a
// connection's first request, the input half's base64 stream into the output
// half's request buffer, and the pause and resumption of that stream while
// the output half has no room.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "HTTPTunnelRequest.hh"
#include "HTTPTunnelTable.hh"
#include "RTSPClientConnection.hh"
#include "RTSPResponseBuilder.hh"

namespace {

// Decoded bytes handed to the output half at a time.
constexpr size_t kDecodeChunk = 4096;

}  // namespace

bool RTSPClientConnection::startTunnel(std::string_view request, size_t& pos) {
  RTSPRequest req;
  if (!parseRTSPRequest(request, req)) return false;
  HTTPTunnelRequestKind kind = classifyHTTPTunnelRequest(req);
  if (kind == HTTPTunnelRequestKind::NotTunnel) return false;
  if (kind == HTTPTunnelRequestKind::BadCookie) return refuseTunnel("400 Bad Request");

  if (kind == HTTPTunnelRequestKind::Output) {
    if (!fHandler.namesStream(req.urlPath)) return refuseTunnel("404 Not Found");
    if (!fServer.tunnels().open(req.sessionCookie, this)) return refuseTunnel("503 Service Unavailable");
    fTunnelRole = TunnelRole::Output;
    std::string answer;
    RTSPResponseBuilder::httpTunnelOpened(answer, RTSPResponseBuilder::formatDate(time(nullptr)));
    fOutput.writeData(reinterpret_cast<unsigned char const*>(answer.data()), answer.size());
    pos = fInLength;  // the tunnel's requests come through its input half only
    noteActivity();
    return true;
  }

  switch (fServer.tunnels().join(req.sessionCookie, this)) {
    case HTTPTunnelTable::Join::NoTunnel:
      return refuseTunnel("404 Not Found");
    case HTTPTunnelTable::Join::Busy:
      return refuseTunnel("503 Service Unavailable");
    case HTTPTunnelTable::Join::Joined:
      break;
  }
  // Nothing is ever answered on the input half: the body that follows is the request stream.
  fTunnelRole = TunnelRole::Input;
  noteActivity();
  return true;
}

bool RTSPClientConnection::refuseTunnel(char const* status) {
  std::string answer;
  RTSPResponseBuilder::httpTunnelRefused(answer, status, RTSPResponseBuilder::formatDate(time(nullptr)));
  fOutput.writeData(reinterpret_cast<unsigned char const*>(answer.data()), answer.size());
  requestClose();
  return true;
}

void RTSPClientConnection::feedTunnel() {
  size_t pos = 0;
  fTunnelInputBlocked = false;
  while (pos < fInLength && !fCloseRequested) {
    RTSPClientConnection* output = fServer.tunnels().outputOf(this);
    if (output == nullptr) {  // the tunnel has ended
      requestClose();
      return;
    }
    size_t room = std::min(output->tunnelInputRoom(), kDecodeChunk);
    if (room == 0) {  // read on once the output half has taken what it holds
      fTunnelInputBlocked = true;
      break;
    }
    unsigned char decoded[kDecodeChunk];
    size_t consumed = 0;
    size_t n = fTunnelDecoder.decode(fIn + pos, fInLength - pos, decoded, room, consumed);
    pos += consumed;
    if (fTunnelDecoder.failed()) {  // not base64: this input half is closed, the tunnel stays
      requestClose();
      return;
    }
    if (n > 0) output->takeTunnelledInput(decoded, n);
  }
  if (pos == 0) return;
  std::memmove(fIn, fIn + pos, fInLength - pos);
  fInLength -= pos;
  noteActivity();
}

void RTSPClientConnection::discardOwnInput() {
  unsigned char scratch[512];
  if (fTransport->read(scratch, sizeof scratch) == 0) requestClose();
}

void RTSPClientConnection::wakeTunnelInput() {
  if (tunnelInputRoom() == 0) return;
  RTSPClientConnection* input = fServer.tunnels().inputOf(this);
  if (input != nullptr) input->resumeTunnelInput();
}

void RTSPClientConnection::resumeTunnelInput() {
  // From the event loop, never from inside the output half's own work.
  if (!fTunnelInputBlocked || fTunnelResumeTask != nullptr || fCloseRequested) return;
  fTunnelResumeTask = fServer.environment().taskScheduler().scheduleDelayedTask(0, tunnelResumeTask, this);
}

void RTSPClientConnection::tunnelResumeTask(void* clientData) {
  auto* connection = static_cast<RTSPClientConnection*>(clientData);
  connection->fTunnelResumeTask = nullptr;
  connection->feedTunnel();
  connection->updateSocketHandling();
}
