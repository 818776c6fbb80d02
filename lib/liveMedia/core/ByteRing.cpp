#include "ByteRing.hh"

#include <algorithm>
#include <cstring>

namespace {
constexpr size_t kMinGrowth = 16 * 1024;
}

ByteRing::ByteRing(size_t capacity) {
  if (capacity > 0) {
    fBuf.reset(new unsigned char[capacity]);
    fCap = capacity;
  }
}

void ByteRing::reserveFree(size_t n) {
  if (n <= fCap - fLen) return;
  size_t cap = std::max(fCap * 2, kMinGrowth);
  while (cap - fLen < n) cap *= 2;
  std::unique_ptr<unsigned char[]> buf(new unsigned char[cap]);
  // The queued bytes move to the start of the new buffer, in order.
  size_t const first = std::min(fLen, fCap - fHead);
  if (first > 0) std::memcpy(buf.get(), fBuf.get() + fHead, first);
  if (fLen > first) std::memcpy(buf.get() + first, fBuf.get(), fLen - first);
  fBuf = std::move(buf);
  fCap = cap;
  fHead = 0;
}

void ByteRing::append(void const* data, size_t n) {
  if (n == 0) return;
  reserveFree(n);
  auto const* bytes = static_cast<unsigned char const*>(data);
  size_t const tail = (fHead + fLen) % fCap;
  size_t const first = std::min(n, fCap - tail);
  std::memcpy(fBuf.get() + tail, bytes, first);
  if (n > first) std::memcpy(fBuf.get(), bytes + first, n - first);
  fLen += n;
}

int ByteRing::pieces(struct iovec iov[2]) const { return pieces(0, fLen, iov); }

int ByteRing::pieces(size_t offset, size_t len, struct iovec iov[2]) const {
  if (len == 0 || offset + len > fLen) return 0;
  size_t const start = (fHead + offset) % fCap;
  size_t const first = std::min(len, fCap - start);
  iov[0].iov_base = fBuf.get() + start;
  iov[0].iov_len = first;
  if (len == first) return 1;
  iov[1].iov_base = fBuf.get();
  iov[1].iov_len = len - first;
  return 2;
}

void ByteRing::consume(size_t n) {
  n = std::min(n, fLen);
  fLen -= n;
  // An emptied queue starts again at the front: the next bytes are contiguous.
  fHead = fLen == 0 ? 0 : (fHead + n) % fCap;
}
