#ifndef OSTRA_BYTE_TRANSPORT_HH
#define OSTRA_BYTE_TRANSPORT_HH

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

// The bytes of one connection, in and out, whatever carries them: a plain
// non-blocking TCP socket, or a TLS session over one. Whoever reads and
// writes a connection (its request handling, its output writer) sees only
// this; it never learns whether the bytes are encrypted.
//
// Nothing here blocks. A transport may need socket events of its own before
// it can go on (a TLS session that must write to go on reading, or must read
// its peer's handshake): its owner adds wantedEvents() to the events it
// watches, and on any event of the socket calls progress() and then reads or
// writes as it would.
class ByteTransport {
public:
  virtual ~ByteTransport() = default;

  int socketNum() const { return fSocket; }

  // Whether the transport is up: a TLS session's handshake is done. Until
  // then nothing is read or written; progress() moves it on.
  virtual bool ready() const { return true; }
  // Whether the bytes are kept from anyone on the path (media must not leave
  // beside it in clear).
  virtual bool confidential() const { return false; }
  // Moves a handshake (or another wait of the transport's own) on; false
  // when the transport has failed for good (the peer sent garbage, an alert,
  // or closed).
  virtual bool progress() { return true; }
  // SOCKET_READABLE / SOCKET_WRITABLE the transport itself waits for now.
  virtual int wantedEvents() const { return 0; }

  // Puts up to 'size' received bytes into 'buf': their number, 0 when the
  // peer has closed or the transport failed, -1 when none are there now.
  virtual ssize_t read(unsigned char* buf, size_t size) = 0;
  // Bytes taken from the socket that read() has not handed out yet (a TLS
  // record's rest): no socket event announces them.
  virtual size_t bufferedInput() const { return 0; }

  // Takes the 'count' pieces in order, as much as the socket takes now (in
  // as few TLS records as fit): the number of bytes taken, or -1 when the
  // transport has failed for good. 'blocked' is set when it could not take
  // or send everything now; the owner then waits for wantedEvents() (or
  // SOCKET_WRITABLE) and offers the rest, from where it stopped, again. A
  // call with no pieces sends what the transport itself still holds.
  virtual ssize_t writeBurst(struct iovec const* iov, size_t count, bool& blocked) = 0;
  // Whether the transport holds output of its own that still has to go.
  virtual bool holdsOutput() const { return false; }
  // The connection streams (true) or sits idle (false): a TLS session keeps
  // its record buffers only while it streams.
  virtual void setStreaming(bool /*streaming*/) {}

protected:
  explicit ByteTransport(int socketNum) : fSocket(socketNum) {}
  int fSocket;

private:
  ByteTransport(ByteTransport const&) = delete;
  ByteTransport& operator=(ByteTransport const&) = delete;
};

// A plain TCP socket ('socketNum' is not owned).
class SocketTransport final : public ByteTransport {
public:
  explicit SocketTransport(int socketNum) : ByteTransport(socketNum) {}
  ssize_t read(unsigned char* buf, size_t size) override;
  ssize_t writeBurst(struct iovec const* iov, size_t count, bool& blocked) override;
};

#endif
