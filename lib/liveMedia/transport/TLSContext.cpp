#include "TLSContext.hh"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/auxv.h>

#include <cerrno>
#include <cstdio>

#include "TLSTransport.hh"

namespace {

// TLS 1.2 suites: forward secrecy and AEAD only. TLS 1.3 has its own list.
char const kCiphersChaChaFirst[] =
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256:"
    "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384";
char const kCiphersAESFirst[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384";
char const kSuitesChaChaFirst[] = "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384";
char const kSuitesAESFirst[] = "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};

// The certificate and key in 'pemFile' and whether they belong together;
// null when they do, else the problem's text.
char const* checkPair(char const* pemFile, SSL_CTX* ctx) {
  if (SSL_CTX_use_certificate_chain_file(ctx, pemFile) != 1) return "holds no certificate";
  X509* cert = SSL_CTX_get0_certificate(ctx);
  if (cert == nullptr) return "holds no certificate";
  if (X509_cmp_current_time(X509_get0_notAfter(cert)) <= 0) return "the certificate has expired";
  std::unique_ptr<FILE, FileCloser> f(fopen(pemFile, "r"));
  if (!f) return "cannot be read";
  EVP_PKEY* key = PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr);
  if (key == nullptr) return "holds no private key";
  bool const matches = X509_check_private_key(cert, key) == 1;
  bool const used = matches && SSL_CTX_use_PrivateKey(ctx, key) == 1;
  EVP_PKEY_free(key);
  if (!matches) return "the private key does not match the certificate";
  return used ? nullptr : "holds no usable private key";
}

bool configure(SSL_CTX* ctx) {
  bool const aes = TLSContext::processorHasAES();
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                               SSL_OP_NO_TICKET | (aes ? SSL_OP_PRIORITIZE_CHACHA : 0));
  // An idle session gives back its record buffers; a write that must be
  // retried is offered again from the transport's own stable record.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx, 0);
  return SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
         SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
         SSL_CTX_set_cipher_list(ctx, aes ? kCiphersAESFirst : kCiphersChaChaFirst) == 1 &&
         SSL_CTX_set_ciphersuites(ctx, aes ? kSuitesAESFirst : kSuitesChaChaFirst) == 1;
}

}  // namespace

bool TLSContext::processorHasAES() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("aes");
#elif defined(__aarch64__)
  return (getauxval(AT_HWCAP) & (1UL << 3)) != 0;  // HWCAP_AES
#elif defined(__arm__)
  return (getauxval(AT_HWCAP2) & 1UL) != 0;  // HWCAP2_AES
#else
  return false;
#endif
}

std::unique_ptr<TLSContext> TLSContext::createNew(char const* pemFile, char const*& problem) {
  problem = nullptr;
  {
    std::unique_ptr<FILE, FileCloser> f(fopen(pemFile, "r"));
    if (!f) {
      if (errno != ENOENT) problem = "cannot be read";
      return nullptr;
    }
  }
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr || !configure(ctx)) {
    problem = "TLS cannot be set up";
  } else {
    problem = checkPair(pemFile, ctx);
  }
  ERR_clear_error();
  if (problem != nullptr) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return std::unique_ptr<TLSContext>(new TLSContext(ctx));
}

TLSContext::~TLSContext() { SSL_CTX_free(fCtx); }

std::unique_ptr<ByteTransport> TLSContext::newTransport(int socketNum) const {
  SSL* ssl = SSL_new(fCtx);
  if (ssl == nullptr || SSL_set_fd(ssl, socketNum) != 1) {
    SSL_free(ssl);
    ERR_clear_error();
    return nullptr;
  }
  SSL_set_accept_state(ssl);
  return std::unique_ptr<ByteTransport>(new TLSTransport(ssl, socketNum));
}
