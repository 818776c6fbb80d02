#include "InterleavedSocketWriter.hh"

#include <errno.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>

namespace {

constexpr size_t kLargestFrame = 4 + 65535;

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

}  // namespace

InterleavedSocketWriter::InterleavedSocketWriter(UsageEnvironment& env, int socketNum, Limits const& limits,
                                                 Listener* listener)
    : fEnv(env),
      fSocketNum(socketNum),
      fListener(listener),
      fFrameBacklog(std::max(limits.frameBacklog, kLargestFrame)),
      fDataBacklog(limits.dataBacklog != 0 ? std::max(limits.dataBacklog, fFrameBacklog) : 2 * fFrameBacklog),
      fFirstAllocation(limits.firstAllocation != 0 ? limits.firstAllocation : fFrameBacklog) {}

InterleavedSocketWriter::InterleavedSocketWriter(UsageEnvironment& env, int socketNum, unsigned queueCapacity)
    : InterleavedSocketWriter(env, socketNum, Limits{queueCapacity, 0, 0}, nullptr) {}

InterleavedSocketWriter::~InterleavedSocketWriter() {
  if (fWantWritable && fListener == nullptr && fSocketNum >= 0)
    fEnv.taskScheduler().disableBackgroundHandling(fSocketNum);
}

void InterleavedSocketWriter::setWantWritable(bool want) {
  if (want == fWantWritable) return;
  fWantWritable = want;
  if (fListener != nullptr) {
    fListener->writableInterestChanged(want);
  } else if (fSocketNum >= 0) {
    fEnv.taskScheduler().setBackgroundHandling(fSocketNum, want ? SOCKET_WRITABLE : 0, writableHandler, this);
  }
}

void InterleavedSocketWriter::writableHandler(void* clientData, int /*mask*/) {
  static_cast<InterleavedSocketWriter*>(clientData)->flush();
}

void InterleavedSocketWriter::fail() {
  if (fFailed) return;
  fFailed = True;
  fQueue.clear();
  setWantWritable(false);
  if (fListener != nullptr) fListener->writerFailed();
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
      if (!wouldBlock(errno)) fail();
      break;
    }
    if (n == 0) break;
    fQueue.consume(static_cast<size_t>(n));
  }
  if (!fFailed) setWantWritable(!fQueue.empty());
}

void InterleavedSocketWriter::enqueue(unsigned char const* data, size_t size) {
  if (size == 0) return;
  if (fQueue.capacity() == 0) fQueue.reserveFree(std::max(size, fFirstAllocation));
  fQueue.append(data, size);
}

bool InterleavedSocketWriter::writeThrough(unsigned char const* a, size_t aSize, unsigned char const* b, size_t bSize) {
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
    if (!wouldBlock(errno)) {
      fail();
      return false;
    }
    n = 0;
  }
  size_t written = static_cast<size_t>(n);
  if (written == aSize + bSize) return true;
  // The rest waits in the queue, so it goes out whole and in order.
  if (written < aSize) {
    enqueue(a + written, aSize - written);
    enqueue(b, bSize);
  } else {
    enqueue(b + (written - aSize), aSize + bSize - written);
  }
  setWantWritable(true);
  return true;
}

Boolean InterleavedSocketWriter::writeInterleavedFrame(unsigned char channelId, unsigned char const* data,
                                                       unsigned size) {
  if (fFailed || fSocketNum < 0 || size > 0xFFFF) {
    ++fNumDroppedFrames;
    return False;
  }
  unsigned char header[4] = {'$', channelId, static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
  if (fQueue.empty()) {
    if (!writeThrough(header, 4, data, size)) {
      ++fNumDroppedFrames;
      return False;
    }
  } else {
    if (fQueue.size() + 4 + size > fFrameBacklog) {  // the peer is not keeping up
      ++fNumDroppedFrames;
      return False;
    }
    enqueue(header, 4);
    enqueue(data, size);
  }
  ++fNumFramesWritten;
  return True;
}

Boolean InterleavedSocketWriter::writeData(unsigned char const* data, size_t size) {
  if (fFailed || fSocketNum < 0) return False;
  if (fQueue.empty()) return writeThrough(data, size, nullptr, 0);
  enqueue(data, size);
  if (fQueue.size() > fDataBacklog) {
    fail();
    return False;
  }
  return True;
}
