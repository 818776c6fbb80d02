#ifndef OSTRA_TLS_CONTEXT_HH
#define OSTRA_TLS_CONTEXT_HH

#include <memory>

#include "ByteTransport.hh"

struct ssl_ctx_st;

// What every TLS connection of the server shares, made once at start-up: the
// certificate chain and private key from one PEM file, TLS 1.2 and 1.3 only,
// no compression, no renegotiation, no session cache, and a cipher order for
// the processor it runs on (ChaCha20-Poly1305 first where it has no AES
// instructions, else AES-GCM first with ChaCha20 kept for clients that
// prefer it).
class TLSContext {
public:
  enum class Load { Absent, Unusable, Loaded };
  // Loads 'pemFile' (the certificate chain followed by its private key).
  // Null when the file is absent or unusable; 'problem' then names what is
  // wrong with it (a fixed text; null when it is absent).
  static std::unique_ptr<TLSContext> createNew(char const* pemFile, char const*& problem);
  ~TLSContext();

  // A server-side TLS session over the accepted, non-blocking 'socketNum'
  // (not owned); its handshake moves on with ByteTransport::progress().
  // Null when no session can be made now (memory).
  std::unique_ptr<ByteTransport> newTransport(int socketNum) const;

  // Whether this processor has AES instructions.
  static bool processorHasAES();

private:
  explicit TLSContext(ssl_ctx_st* ctx) : fCtx(ctx) {}
  TLSContext(TLSContext const&) = delete;
  TLSContext& operator=(TLSContext const&) = delete;

  ssl_ctx_st* fCtx;
};

#endif
