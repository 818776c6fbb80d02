#include "RTSPClientConnection.hh"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "GroupsockHelper.hh"

namespace {

// Interleaved packets are read from each track's output store, not copied:
// how far a client may fall behind is the store's window (time and bytes),
// so the connection sets no lower bound of its own.
constexpr size_t kNoFrameBacklogOfItsOwn = SIZE_MAX / 4;
// Answers are never dropped; a peer that lets this much pile up is cut off.
constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;
// The answer queue's first allocation, made when an answer must wait.
constexpr size_t kFirstQueueCapacity = 16 * 1024;
// No further requests are read or answered while this much output waits.
constexpr size_t kReadPauseThreshold = 64 * 1024;

NetAddress connectionLocalAddress(int socket, UsageEnvironment& env) {
  NetAddress local = localAddressOf(socket);
  if (local.family() == AF_UNSPEC) {
    struct in_addr ours;
    ours.s_addr = ourIPAddress(env);
    local = NetAddress(ours);
  }
  return local;
}

NetAddress addressOf(struct sockaddr_storage const& peer, Port* port = nullptr) {
  return NetAddress::fromSockaddr(reinterpret_cast<struct sockaddr const*>(&peer), sizeof peer, port);
}

RTSPConnectionOrigin originOf(ByteTransport const& transport, Port listenerPort) {
  RTSPConnectionOrigin origin;
  origin.port = listenerPort.hostOrder();
  if (transport.confidential()) {
    origin.scheme = "rtsps";
    origin.mediaOnConnectionOnly = true;
  }
  return origin;
}

}  // namespace

RTSPClientConnection::RTSPClientConnection(RTSPServerContext& server, int socket, struct sockaddr_storage const& peer)
    : RTSPClientConnection(server, std::make_unique<SocketTransport>(socket), peer, server.serverPort()) {}

RTSPClientConnection::RTSPClientConnection(RTSPServerContext& server, std::unique_ptr<ByteTransport> transport,
                                           struct sockaddr_storage const& peer, Port listenerPort)
    : fServer(server),
      fSocket(transport->socketNum()),
      fTransport(std::move(transport)),
      fOutput(server.environment(), *fTransport,
              InterleavedSocketWriter::Limits{kNoFrameBacklogOfItsOwn, kMaxQueuedBytes, kFirstQueueCapacity}, this),
      fHandler(server, *this, fOutput, addressOf(peer), connectionLocalAddress(fSocket, server.environment()),
               originOf(*fTransport, listenerPort)) {
  Port peerPort;
  NetAddress const peerAddress = addressOf(peer, &peerPort);
  char name[INET6_ADDRSTRLEN + 10];
  std::snprintf(name, sizeof name, "%s:%u", peerAddress.family() == AF_UNSPEC ? "?" : peerAddress.urlHost().c_str(),
                static_cast<unsigned>(peerPort.hostOrder()));
  fOutput.setPeerName(name);
  if (!fTransport->ready()) {
    fHandshakeTask =
        server.environment().taskScheduler().scheduleDelayedTask(kHandshakeMicroseconds, handshakeTimeoutTask, this);
  }
  updateSocketHandling();
  restartIdleTimer();
}

RTSPClientConnection::~RTSPClientConnection() {
  TaskScheduler& scheduler = fServer.environment().taskScheduler();
  scheduler.unscheduleDelayedTask(fCloseTask);
  scheduler.unscheduleDelayedTask(fIdleTask);
  scheduler.unscheduleDelayedTask(fTunnelResumeTask);
  scheduler.unscheduleDelayedTask(fHoldTask);
  scheduler.unscheduleDelayedTask(fHandshakeTask);
  scheduler.unscheduleDelayedTask(fBufferedInputTask);
  scheduler.disableBackgroundHandling(fSocket);
  fTransport.reset();
  ::close(fSocket);
}

// ---- Input -------------------------------------------------------------

void RTSPClientConnection::socketHandler(void* clientData, int mask) {
  static_cast<RTSPClientConnection*>(clientData)->handleSocket(mask);
}

void RTSPClientConnection::handleSocket(int mask) {
  fInHandler = true;
  if (!transportReady()) {
    finishHandling();
    return;
  }
  // A transport may have to read before it can write, or the other way round.
  int const transportWaits = fTransport->wantedEvents();
  if ((transportWaits & SOCKET_READABLE) && (mask & SOCKET_READABLE)) mask |= SOCKET_WRITABLE;
  if ((transportWaits & SOCKET_WRITABLE) && (mask & SOCKET_WRITABLE)) mask |= SOCKET_READABLE;
  if (mask & SOCKET_WRITABLE) {
    fOutput.flush();
    // Requests held back while the answers piled up.
    if (!fCloseRequested && fInLength > 0 && fOutput.queuedBytes() < kReadPauseThreshold) processInput();
  }
  if (!fCloseRequested && (mask & (SOCKET_READABLE | SOCKET_EXCEPTION))) readInput();
  finishHandling();
}

bool RTSPClientConnection::transportReady() {
  if (fTransport->ready()) return true;
  if (!fTransport->progress()) {  // an alert, garbage, or the peer gone
    requestClose();
    return false;
  }
  if (!fTransport->ready()) return false;
  fServer.environment().taskScheduler().unscheduleDelayedTask(fHandshakeTask);
  return true;
}

void RTSPClientConnection::handshakeTimeoutTask(void* clientData) {
  auto* connection = static_cast<RTSPClientConnection*>(clientData);
  connection->fHandshakeTask = nullptr;
  connection->fServer.closeConnection(connection);
}

void RTSPClientConnection::bufferedInputTask(void* clientData) {
  auto* connection = static_cast<RTSPClientConnection*>(clientData);
  connection->fBufferedInputTask = nullptr;
  connection->fInHandler = true;
  connection->readInput();
  connection->finishHandling();  // may delete the connection
}

void RTSPClientConnection::finishHandling() {
  fInHandler = false;
  if (fCloseRequested) {
    fServer.closeConnection(this);  // deletes this
    return;
  }
  updateSocketHandling();
}

void RTSPClientConnection::readInput() {
  if (fTunnelRole == TunnelRole::Output) {
    discardOwnInput();
    return;
  }
  if (fTunnelInputBlocked) return;  // the output half has no room yet
  if (fInLength >= kRequestBufferSize) {
    requestClose();
    return;
  }
  ssize_t n = fTransport->read(fIn + fInLength, kRequestBufferSize - fInLength);
  if (n == 0) {
    requestClose();
    return;
  }
  if (n < 0) return;
  fInLength += static_cast<size_t>(n);
  processInput();
}

void RTSPClientConnection::processInput() {
  if (fTunnelRole == TunnelRole::Input) {
    feedTunnel();
    return;
  }
  size_t pos = 0;
  bool needMore = false;
  while (pos < fInLength && !fCloseRequested && fHoldTask == nullptr && fOutput.queuedBytes() < kReadPauseThreshold) {
    if (!consumeOne(pos)) {
      needMore = true;
      break;
    }
    if (fTunnelRole == TunnelRole::Input) break;  // the rest is the tunnel's base64 stream
  }
  if (fCloseRequested) return;
  if (pos > 0) {
    std::memmove(fIn, fIn + pos, fInLength - pos);
    fInLength -= pos;
  }
  if (fTunnelRole == TunnelRole::Input) {
    feedTunnel();
    return;
  }
  if (needMore && fInLength >= kRequestBufferSize) requestClose();
}

size_t RTSPClientConnection::tunnelInputRoom() const {
  if (fTunnelRole != TunnelRole::Output || fCloseRequested || fHoldTask != nullptr ||
      fOutput.queuedBytes() >= kReadPauseThreshold) {
    return 0;
  }
  return kRequestBufferSize - fInLength;
}

void RTSPClientConnection::takeTunnelledInput(unsigned char const* data, size_t size) {
  if (size > kRequestBufferSize - fInLength) size = kRequestBufferSize - fInLength;
  std::memcpy(fIn + fInLength, data, size);
  fInLength += size;
  processInput();
}

bool RTSPClientConnection::consumeOne(size_t& pos) {
  size_t avail = fInLength - pos;
  if (fSkipFrameBytes > 0) {
    size_t skip = avail < fSkipFrameBytes ? avail : fSkipFrameBytes;
    pos += skip;
    fSkipFrameBytes -= skip;
    return true;
  }
  unsigned char c = fIn[pos];
  if (c == '$') {  // an interleaved frame: '$', channel, 16-bit length, data
    if (avail < 4) return false;
    unsigned char channel = fIn[pos + 1];
    size_t size = (static_cast<size_t>(fIn[pos + 2]) << 8) | fIn[pos + 3];
    if (4 + size > kRequestBufferSize) {  // cannot be kept: skipped as it arrives
      fSkipFrameBytes = 4 + size;
      return true;
    }
    if (avail < 4 + size) return false;
    // RTCP from a client that streams over this connection goes to its track's RTCP.
    fServer.deliverInterleavedRTCP(&fOutput, channel, fIn + pos + 4, static_cast<unsigned>(size));
    pos += 4 + size;
    noteActivity();
    return true;
  }
  if (c == '\r' || c == '\n') {  // blank lines between requests
    ++pos;
    return true;
  }
  size_t requestLength = 0;
  RTSPRequestScan scan =
      scanRTSPRequest(reinterpret_cast<char const*>(fIn + pos), avail, kRequestBufferSize, fScanFrom, requestLength);
  if (scan == RTSPRequestScan::TooLarge) {
    requestClose();  // no answer: the request can never be complete
    return true;
  }
  if (scan == RTSPRequestScan::Incomplete) return false;
  fScanFrom = 0;
  std::string_view request(reinterpret_cast<char const*>(fIn + pos), requestLength);
  pos += requestLength;
  if (!fReadARequest) {
    fReadARequest = true;
    if (startTunnel(request, pos)) return true;
  }
  bool active = fHandler.handleRequest(request);
  if (fHandler.closeWanted()) {
    requestClose();
    return true;
  }
  if (active) noteActivity();
  if (fHandler.heldAnswerDelay() > 0) {
    // Requests are answered in order: nothing more is read or answered until the held answer has gone.
    fHoldTask = fServer.environment().taskScheduler().scheduleDelayedTask(fHandler.heldAnswerDelay(), holdTask, this);
  }
  return true;
}

void RTSPClientConnection::holdTask(void* clientData) {
  auto* connection = static_cast<RTSPClientConnection*>(clientData);
  connection->fHoldTask = nullptr;
  connection->fInHandler = true;
  if (!connection->fHandler.sendHeldAnswer()) {
    // Still waiting (a DESCRIBE): input stays paused until it is answered.
    connection->fHoldTask = connection->fServer.environment().taskScheduler().scheduleDelayedTask(
        connection->fHandler.heldAnswerDelay(), holdTask, connection);
  } else if (!connection->fCloseRequested && connection->fOutput.queuedBytes() < kReadPauseThreshold) {
    connection->processInput();
  }
  connection->finishHandling();  // may delete the connection
}

void RTSPClientConnection::noteActivity() {
  fHadLiveSession = fServer.hasLiveSession(this);
  restartIdleTimer();
}

void RTSPClientConnection::restartIdleTimer() {
  if (fServer.reclamationSeconds() == 0) return;
  fServer.environment().taskScheduler().rescheduleDelayedTask(
      fIdleTask, static_cast<int64_t>(fServer.reclamationSeconds()) * 1000000, idleTask, this);
}

// ---- Output and lifetime ---------------------------------------------------

void RTSPClientConnection::writableInterestChanged(bool wantWritable) {
  fWantWritable = wantWritable;
  // Inside the socket handler the mask is brought up to date on the way out.
  if (!fInHandler) updateSocketHandling();
}

void RTSPClientConnection::writerFailed() { requestClose(); }

void RTSPClientConnection::updateSocketHandling() {
  if (fTunnelRole == TunnelRole::Output) wakeTunnelInput();
  int mask = 0;
  if (!fCloseRequested && !fTransport->ready()) {
    mask = fTransport->wantedEvents();
  } else if (!fCloseRequested) {
    if (fOutput.queuedBytes() < kReadPauseThreshold && !fTunnelInputBlocked && fHoldTask == nullptr) {
      mask |= SOCKET_READABLE;
      // Input the transport took already is announced by no socket event.
      if (fTransport->bufferedInput() > 0 && fBufferedInputTask == nullptr) {
        fBufferedInputTask = fServer.environment().taskScheduler().scheduleDelayedTask(0, bufferedInputTask, this);
      }
    }
    if (fWantWritable) mask |= SOCKET_WRITABLE;
    mask |= fTransport->wantedEvents();
  }
  if (mask == fArmedMask) return;
  fArmedMask = mask;
  fServer.environment().taskScheduler().setBackgroundHandling(fSocket, mask, socketHandler, this);
}

void RTSPClientConnection::requestClose() {
  if (fCloseRequested) return;
  fCloseRequested = true;
  updateSocketHandling();
  // Inside the socket handler the connection is closed on the way out;
  // elsewhere (a sink writing a frame) it is closed from the event loop.
  if (!fInHandler) fCloseTask = fServer.environment().taskScheduler().scheduleDelayedTask(0, closeTask, this);
}

void RTSPClientConnection::closeTask(void* clientData) {
  auto* connection = static_cast<RTSPClientConnection*>(clientData);
  connection->fCloseTask = nullptr;
  connection->fServer.closeConnection(connection);
}

void RTSPClientConnection::idleTask(void* clientData) {
  // A connection with no live session that has sent nothing for the
  // reclamation time is closed, whatever it did before. Its sessions keep it
  // open; once the last one has ended it gets one more period, in which it
  // still answers.
  auto* connection = static_cast<RTSPClientConnection*>(clientData);
  connection->fIdleTask = nullptr;
  if (connection->fCloseRequested) return;
  bool live = connection->fServer.hasLiveSession(connection);
  if (live || connection->fHadLiveSession) {
    connection->fHadLiveSession = live;
    connection->restartIdleTimer();
    return;
  }
  connection->fServer.closeConnection(connection);
}
