#ifndef OSTRA_BYTE_RING_HH
#define OSTRA_BYTE_RING_HH

#include <sys/uio.h>

#include <cstddef>
#include <memory>

// A FIFO of bytes in one circular buffer: appending and consuming cost no
// copying of what is queued and, once the buffer is large enough, no
// allocation. The buffer grows (doubling, queued bytes kept in order) only
// when an append does not fit; it never shrinks. Its memory is not cleared,
// so pages the queue never reaches are never touched.
class ByteRing {
public:
  // 'capacity' bytes are allocated at once (none for 0).
  explicit ByteRing(size_t capacity = 0);

  size_t size() const { return fLen; }
  bool empty() const { return fLen == 0; }
  size_t capacity() const { return fCap; }
  size_t freeSpace() const { return fCap - fLen; }

  // Makes room for at least 'n' more bytes (grows when needed).
  void reserveFree(size_t n);
  // Appends 'n' bytes, growing when they do not fit.
  void append(void const* data, size_t n);
  // Points iov[0] (and iov[1] when the bytes wrap around) at the queued bytes,
  // oldest first; returns the number of pieces (0 when empty).
  int pieces(struct iovec iov[2]) const;
  // The same for the 'len' queued bytes that start 'offset' bytes after the
  // oldest (offset + len <= size()).
  int pieces(size_t offset, size_t len, struct iovec iov[2]) const;
  // Drops the 'n' oldest bytes (n <= size()).
  void consume(size_t n);
  void clear() { fHead = fLen = 0; }

private:
  ByteRing(ByteRing const&) = delete;
  ByteRing& operator=(ByteRing const&) = delete;

  std::unique_ptr<unsigned char[]> fBuf;
  size_t fCap = 0;
  size_t fHead = 0;  // oldest byte
  size_t fLen = 0;
};

#endif
