#include "InterleavedSocketWriter.hh"

#include <errno.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>

namespace {
constexpr unsigned kMinCapacity = 4 + 65535;
}

InterleavedSocketWriter::InterleavedSocketWriter(UsageEnvironment& env, int socketNum, unsigned queueCapacity,
                                                 WritableInterestFunc* interestFunc, void* interestClientData)
    : fEnv(env),
      fSocketNum(socketNum),
      fInterestFunc(interestFunc),
      fInterestClientData(interestClientData),
      fQueue(std::max(queueCapacity, kMinCapacity)) {}

InterleavedSocketWriter::~InterleavedSocketWriter() {
  if (fWantWritable && fInterestFunc == nullptr && fSocketNum >= 0) {
    fEnv.taskScheduler().disableBackgroundHandling(fSocketNum);
  }
}

void InterleavedSocketWriter::setWantWritable(bool want) {
  if (want == fWantWritable) return;
  fWantWritable = want;
  if (fInterestFunc != nullptr) {
    fInterestFunc(fInterestClientData, want);
  } else if (fSocketNum >= 0) {
    fEnv.taskScheduler().setBackgroundHandling(fSocketNum, want ? SOCKET_WRITABLE : 0, writableHandler, this);
  }
}

void InterleavedSocketWriter::writableHandler(void* clientData, int /*mask*/) {
  static_cast<InterleavedSocketWriter*>(clientData)->flush();
}

void InterleavedSocketWriter::flush() {
  if (fFailed) return;
  while (!fQueue.empty()) {
    struct iovec iov[2];
    struct msghdr msg {};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(fQueue.pieces(iov));
    ssize_t n = ::sendmsg(fSocketNum, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      fFailed = True;
      fQueue.clear();
      break;
    }
    fQueue.consume(static_cast<size_t>(n));
    if (n == 0) break;
  }
  setWantWritable(!fQueue.empty() && !fFailed);
}

Boolean InterleavedSocketWriter::write2(unsigned char const* a, unsigned aSize, unsigned char const* b,
                                        unsigned bSize) {
  if (fFailed || fSocketNum < 0) return False;
  unsigned const total = aSize + bSize;
  if (!fQueue.empty()) flush();  // make room if the peer has caught up
  if (fFailed) return False;
  if (!fQueue.empty()) {
    if (total > fQueue.freeSpace()) return False;  // dropped whole
    fQueue.append(a, aSize);
    fQueue.append(b, bSize);
    return True;
  }
  // Nothing queued: write straight through, queue the rest.
  struct iovec iov[2];
  iov[0].iov_base = const_cast<unsigned char*>(a);
  iov[0].iov_len = aSize;
  iov[1].iov_base = const_cast<unsigned char*>(b);
  iov[1].iov_len = bSize;
  struct msghdr msg {};
  msg.msg_iov = iov;
  msg.msg_iovlen = bSize > 0 ? 2 : 1;
  ssize_t n;
  do {
    n = ::sendmsg(fSocketNum, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      fFailed = True;
      return False;
    }
    n = 0;
  }
  unsigned written = static_cast<unsigned>(n);
  if (written < total) {
    // At most one frame (or one writeData() block) when the queue was empty:
    // it always fits.
    if (written < aSize) {
      fQueue.append(a + written, aSize - written);
      fQueue.append(b, bSize);
    } else {
      fQueue.append(b + (written - aSize), total - written);
    }
    setWantWritable(true);
  }
  return True;
}

Boolean InterleavedSocketWriter::writeInterleavedFrame(unsigned char channelId, unsigned char const* data,
                                                       unsigned size) {
  if (size > 65535) {
    ++fNumDroppedFrames;
    return False;
  }
  unsigned char header[4] = {'$', channelId, static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
  if (!write2(header, 4, data, size)) {
    ++fNumDroppedFrames;
    return False;
  }
  ++fNumFramesWritten;
  return True;
}

Boolean InterleavedSocketWriter::writeData(unsigned char const* data, unsigned size) {
  if (size > fQueue.capacity()) return False;
  return write2(data, size, nullptr, 0);
}
