// Helpers for the daemon's tests that talk RTSP themselves: a blocking
// loopback connection, one request and its response (interleaved frames
// skipped), header values, and Digest answers (MD5, base64, the fields of a
// challenge).
#ifndef OSTRA_RTSP_REQUEST_UTIL_HH
#define OSTRA_RTSP_REQUEST_UTIL_HH

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <openssl/evp.h>

namespace daemontest {

// A socket address for numeric 'host' (IPv4, or IPv6 with or without
// brackets) and 'port'; its length, 0 when 'host' is neither.
inline socklen_t numericAddress(std::string host, uint16_t port, struct sockaddr_storage& out) {
  out = sockaddr_storage{};
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    return sizeof *v4;
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) != 1) return 0;
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(port);
  return sizeof *v6;
}

// A blocking TCP connection to host:port (127.0.0.1 by default) with a receive time-out; -1 on failure.
inline int connectLoopback(uint16_t port, int timeoutMs = 5000, std::string const& host = "127.0.0.1") {
  struct sockaddr_storage a;
  socklen_t const len = numericAddress(host, port, a);
  int s = socket(a.ss_family, SOCK_STREAM, 0);
  struct timeval tv {
    timeoutMs / 1000, (timeoutMs % 1000) * 1000
  };
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), len) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Reads one RTSP response (headers and body by Content-Length) from a
// blocking socket; interleaved RTP/RTCP frames ('$') before it are skipped and
// counted in 'interleavedFrames'. Empty on time-out or end of stream.
inline std::string readRtspResponse(int fd, std::string& pending, int* interleavedFrames = nullptr) {
  char buf[8192];
  for (;;) {
    while (!pending.empty() && pending[0] == '$') {
      if (pending.size() < 4) break;
      size_t len = (static_cast<unsigned char>(pending[2]) << 8) | static_cast<unsigned char>(pending[3]);
      if (pending.size() < 4 + len) break;
      pending.erase(0, 4 + len);
      if (interleavedFrames != nullptr) ++*interleavedFrames;
    }
    if (!pending.empty() && pending[0] != '$') {
      size_t end = pending.find("\r\n\r\n");
      if (end != std::string::npos) {
        size_t bodyLen = 0;
        size_t cl = pending.find("Content-Length:");
        if (cl != std::string::npos && cl < end) bodyLen = strtoul(pending.c_str() + cl + 15, nullptr, 10);
        if (pending.size() >= end + 4 + bodyLen) {
          std::string resp = pending.substr(0, end + 4 + bodyLen);
          pending.erase(0, end + 4 + bodyLen);
          return resp;
        }
      }
    }
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) return std::string();
    pending.append(buf, static_cast<size_t>(r));
  }
}

// Sends one request and returns the response.
inline std::string rtspRequest(int fd, std::string const& request, std::string& pending,
                               int* interleavedFrames = nullptr) {
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    return std::string();
  }
  return readRtspResponse(fd, pending, interleavedFrames);
}

// The value of header 'name' in a response, or empty.
inline std::string headerValue(std::string const& response, std::string const& name) {
  std::string key = "\r\n" + name + ":";
  size_t pos = response.find(key);
  if (pos == std::string::npos) return std::string();
  pos += key.size();
  while (pos < response.size() && response[pos] == ' ') ++pos;
  size_t end = response.find("\r\n", pos);
  return response.substr(pos, end - pos);
}

// Hex MD5 of a text.
inline std::string md5Hex(std::string const& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr);
  std::string hex;
  char two[3];
  for (unsigned i = 0; i < len; ++i) {
    snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

// Base64 of a text (RFC 4648, with padding).
inline std::string base64(std::string const& text) {
  std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                          reinterpret_cast<unsigned char const*>(text.data()), static_cast<int>(text.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// The Authorization header value of an RTSP Digest answer (RFC 2617 without qop).
inline std::string digestAuthorization(std::string const& user, std::string const& password, std::string const& realm,
                                       std::string const& nonce, std::string const& method, std::string const& uri) {
  std::string ha1 = md5Hex(user + ":" + realm + ":" + password);
  std::string ha2 = md5Hex(method + ":" + uri);
  std::string response = md5Hex(ha1 + ":" + nonce + ":" + ha2);
  return "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce + "\", uri=\"" + uri +
         "\", response=\"" + response + "\"";
}

// The value of a quoted field (realm, nonce) of a WWW-Authenticate header.
inline std::string digestField(std::string const& header, std::string const& field) {
  std::string key = field + "=\"";
  size_t pos = header.find(key);
  if (pos == std::string::npos) return std::string();
  pos += key.size();
  return header.substr(pos, header.find('"', pos) - pos);
}

}  // namespace daemontest

#endif
