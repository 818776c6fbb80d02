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
      fBuf(std::max(queueCapacity, kMinCapacity)) {}

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

void InterleavedSocketWriter::append(unsigned char const* data, unsigned size) {
  if (size == 0) return;
  unsigned cap = static_cast<unsigned>(fBuf.size());
  unsigned tail = (fHead + fLen) % cap;
  unsigned first = std::min(size, cap - tail);
  std::memcpy(fBuf.data() + tail, data, first);
  std::memcpy(fBuf.data(), data + first, size - first);
  fLen += size;
}

void InterleavedSocketWriter::flush() {
  if (fFailed) return;
  unsigned cap = static_cast<unsigned>(fBuf.size());
  while (fLen > 0) {
    struct iovec iov[2];
    unsigned first = std::min(fLen, cap - fHead);
    iov[0].iov_base = fBuf.data() + fHead;
    iov[0].iov_len = first;
    iov[1].iov_base = fBuf.data();
    iov[1].iov_len = fLen - first;
    struct msghdr msg {};
    msg.msg_iov = iov;
    msg.msg_iovlen = fLen > first ? 2 : 1;
    ssize_t n = ::sendmsg(fSocketNum, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      fFailed = True;
      fLen = 0;
      break;
    }
    fHead = (fHead + static_cast<unsigned>(n)) % cap;
    fLen -= static_cast<unsigned>(n);
    if (n == 0) break;
  }
  if (fLen == 0) fHead = 0;
  setWantWritable(fLen > 0 && !fFailed);
}

Boolean InterleavedSocketWriter::write2(unsigned char const* a, unsigned aSize, unsigned char const* b,
                                        unsigned bSize) {
  if (fFailed || fSocketNum < 0) return False;
  unsigned const total = aSize + bSize;
  if (fLen > 0) flush();  // make room if the peer has caught up
  if (fFailed) return False;
  if (fLen > 0) {
    if (total > fBuf.size() - fLen) return False;  // dropped whole
    append(a, aSize);
    append(b, bSize);
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
    if (written < aSize) {
      append(a + written, aSize - written);
      append(b, bSize);
    } else {
      append(b + (written - aSize), total - written);
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
  unsigned char header[4] = {'$', channelId, static_cast<unsigned char>(size >> 8),
                             static_cast<unsigned char>(size)};
  if (!write2(header, 4, data, size)) {
    ++fNumDroppedFrames;
    return False;
  }
  ++fNumFramesWritten;
  return True;
}

Boolean InterleavedSocketWriter::writeData(unsigned char const* data, unsigned size) {
  if (size > fBuf.size()) return False;
  return write2(data, size, nullptr, 0);
}
