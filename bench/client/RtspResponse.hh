// RTSP responses as the clients read them: status, headers and body, and the
// fields of a Digest challenge.
#ifndef OSTRA_BENCH_CLIENT_RTSPRESPONSE_HH
#define OSTRA_BENCH_CLIENT_RTSPRESPONSE_HH

#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace ostra_bench {

struct Response {
  int status = 0;
  std::string headers;  // raw header block
  std::string body;
  std::string header(char const* name) const {
    size_t n = std::strlen(name);
    size_t p = 0;
    while (p < headers.size()) {
      size_t e = headers.find("\r\n", p);
      if (e == std::string::npos) e = headers.size();
      if (e - p > n && strncasecmp(headers.c_str() + p, name, n) == 0 && headers[p + n] == ':') {
        size_t v = p + n + 1;
        while (v < e && headers[v] == ' ') ++v;
        return headers.substr(v, e - v);
      }
      p = e + 2;
    }
    return "";
  }
};

// Parses one complete response at the start of buf; returns bytes consumed, 0 if incomplete.
size_t parseResponse(uint8_t const* buf, size_t len, Response* r);

// Value of key="..." (or key=token) inside a Digest challenge.
std::string authParam(std::string const& h, char const* key);

}  // namespace ostra_bench

#endif
