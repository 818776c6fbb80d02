#ifndef OSTRA_TLS_TRANSPORT_HH
#define OSTRA_TLS_TRANSPORT_HH

#include <memory>

#include "ByteTransport.hh"

struct ssl_st;

// A server-side TLS session over one non-blocking socket. Its handshake
// moves on with progress() as socket events arrive. Output is gathered into
// records of up to 16 kB: a burst of many packets becomes few records. A
// record that the socket could not take whole stays in the transport's own
// buffer, untouched, until SSL_write has been given it again and took it.
// That buffer is kept while the connection streams; an idle one (answers
// only) gives it back after each write.
class TLSTransport final : public ByteTransport {
public:
  static constexpr size_t kMaxRecord = 16384;

  TLSTransport(ssl_st* ssl, int socketNum);  // takes 'ssl'
  ~TLSTransport() override;

  bool ready() const override { return fReady; }
  bool confidential() const override { return true; }
  bool progress() override;
  int wantedEvents() const override;
  ssize_t read(unsigned char* buf, size_t size) override;
  size_t bufferedInput() const override;
  ssize_t writeBurst(struct iovec const* iov, size_t count, bool& blocked) override;
  bool holdsOutput() const override { return fRecordSize > 0; }
  void setStreaming(bool streaming) override;

private:
  // Offers the held record; 1 when it went, 0 when the socket must wait, -1 on failure.
  int sendRecord();

  ssl_st* fSSL;
  bool fReady = false;
  bool fFailed = false;
  int fHandshakeWants;
  bool fReadWantsWritable = false;
  bool fWriteWantsReadable = false;
  bool fStreaming = false;
  size_t fRecordSize = 0;
  std::unique_ptr<unsigned char[]> fRecord;  // kMaxRecord bytes while needed
};

#endif
