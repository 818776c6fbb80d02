// Certificates for the TLS tests, made through the OpenSSL API at test time:
// a self-signed P-256 certificate (CN "ostra test camera") followed by its
// private key, as the daemon's certificate file holds them.
#ifndef OSTRA_TEST_CERTIFICATE_HH
#define OSTRA_TEST_CERTIFICATE_HH

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <string>

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
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<unsigned char const*>("ostra test camera"),
                               -1, -1, 0);
    X509_set_issuer_name(cert, name);
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

}  // namespace daemontest

#endif
