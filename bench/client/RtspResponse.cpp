// Parsing RTSP responses and Digest challenges.
#include "RtspResponse.hh"

#include <cstdlib>
#include <cstring>
#include <string>

namespace ostra_bench {

size_t parseResponse(uint8_t const* buf, size_t len, Response* r) {
  char const* b = reinterpret_cast<char const*>(buf);
  char const* end = static_cast<char const*>(memmem(b, len, "\r\n\r\n", 4));
  if (!end) return 0;
  size_t hlen = size_t(end - b) + 4;
  std::string head(b, hlen);
  r->status = 0;
  if (head.compare(0, 5, "RTSP/") == 0) {
    size_t sp = head.find(' ');
    if (sp != std::string::npos) r->status = std::atoi(head.c_str() + sp + 1);
  }
  size_t firstEol = head.find("\r\n");
  r->headers = head.substr(firstEol + 2);
  size_t clen = size_t(std::atol(r->header("Content-Length").c_str()));
  if (len < hlen + clen) return 0;
  r->body.assign(b + hlen, clen);
  return hlen + clen;
}

std::string authParam(std::string const& h, char const* key) {
  std::string k = std::string(key) + "=";
  size_t p = 0;
  while ((p = h.find(k, p)) != std::string::npos) {
    if (p == 0 || h[p - 1] == ' ' || h[p - 1] == ',') break;
    p += k.size();
  }
  if (p == std::string::npos) return "";
  p += k.size();
  if (p < h.size() && h[p] == '"') {
    size_t e = h.find('"', p + 1);
    return h.substr(p + 1, e == std::string::npos ? std::string::npos : e - p - 1);
  }
  size_t e = h.find_first_of(", \r\n", p);
  return h.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

}  // namespace ostra_bench
