// Certificates for the TLS tests, made through the OpenSSL API at test time:
// a self-signed P-256 certificate followed by its private key, as the
// daemon's certificate file holds them.
#ifndef OSTRA_TEST_CERTIFICATE_HH
#define OSTRA_TEST_CERTIFICATE_HH

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "TLSContext.hh"

namespace daemontest {

enum class PEMParts { CertificateAndKey, CertificateOnly, OtherKey };

// Writes the file at 'path'; the certificate became valid an hour ago and
// stays valid for 'validSeconds' from now (negative: it has expired).
inline bool writeTestPEM(std::string const& path, long validSeconds = 86400,
                         PEMParts parts = PEMParts::CertificateAndKey) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  EVP_PKEY* other = parts == PEMParts::OtherKey ? EVP_EC_gen("P-256") : nullptr;
  X509* cert = X509_new();
  bool ok = key != nullptr && cert != nullptr && (parts != PEMParts::OtherKey || other != nullptr);
  if (ok) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), validSeconds);
    ok = X509_set_pubkey(cert, key) == 1 && X509_sign(cert, key, EVP_sha256()) > 0;
  }
  FILE* f = ok ? fopen(path.c_str(), "w") : nullptr;
  if (f != nullptr) {
    ok = PEM_write_X509(f, cert) == 1;
    if (parts != PEMParts::CertificateOnly) {
      EVP_PKEY* written = parts == PEMParts::OtherKey ? other : key;
      ok = ok && PEM_write_PrivateKey(f, written, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    }
    ok = fclose(f) == 0 && ok;
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  EVP_PKEY_free(other);
  return ok && f != nullptr;
}

// A TLS context with a fresh test certificate (null when it cannot be made).
inline std::unique_ptr<TLSContext> testTLSContext() {
  std::string const path = "/tmp/ostra-test-" + std::to_string(getpid()) + ".pem";
  char const* problem = nullptr;
  std::unique_ptr<TLSContext> tls = writeTestPEM(path) ? TLSContext::createNew(path.c_str(), problem) : nullptr;
  unlink(path.c_str());
  return tls;
}

}  // namespace daemontest

#endif
