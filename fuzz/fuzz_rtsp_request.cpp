// RTSP request scanning and parsing on arbitrary bytes, the way a client
// connection consumes its receive buffer: find where each request ends, parse
// it, then read its Transport and Authorization values. The whole
// input also goes to each header parser directly.
//
// Checked besides memory safety: every view points into the caller's text,
// a request scanned in small pieces ends where the one-shot scan says, a
// complete request never exceeds the buffer, and a served transport is
// self-consistent.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "RTSPRequest.hh"

namespace {

// The connection's receive buffer size.
constexpr size_t kCapacity = 20000;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// True when 'part' is empty or lies within 'whole'.
bool inside(std::string_view part, std::string_view whole) {
  if (part.empty()) return true;
  uintptr_t const begin = reinterpret_cast<uintptr_t>(whole.data());
  uintptr_t const end = begin + whole.size();
  uintptr_t const first = reinterpret_cast<uintptr_t>(part.data());
  return first >= begin && first + part.size() <= end;
}

void parseTransport(std::string_view value) {
  RTSPTransportRequest t;
  if (!parseTransportHeader(value, t)) return;
  if (t.streamOverTCP) return;
  check(t.clientRTPPort != 0);  // UDP is served only with client ports
}

void parseAuthorization(std::string_view value) {
  DigestAuthorizationFields f;
  if (!parseDigestAuthorization(value, f)) return;
  check(inside(f.username, value) && inside(f.realm, value) && inside(f.nonce, value));
  check(inside(f.uri, value) && inside(f.response, value));
}

void parseOne(std::string_view text) {
  RTSPRequest req;
  if (!parseRTSPRequest(text, req)) return;
  check(!req.method.empty() && !req.url.empty() && !req.protocol.empty());
  check(inside(req.method, text) && inside(req.url, text) && inside(req.protocol, text));
  check(inside(req.urlPath, req.url));
  check(inside(req.cseq, text) && inside(req.session, text) && inside(req.transport, text));
  check(inside(req.range, text) && inside(req.authorization, text) && inside(req.scale, text));
  check(inside(req.body, text) && req.body.size() <= req.contentLength);
  check(req.session.find(';') == std::string_view::npos);
  if (req.hasTransport) parseTransport(req.transport);
  if (req.hasAuthorization) parseAuthorization(req.authorization);
  (void)equalsIgnoreCase(req.method, "DESCRIBE");
}

// Scans 'buf' in growing pieces (sizes taken from the bytes themselves),
// keeping the scan position between calls as the connection does.
RTSPRequestScan scanInPieces(char const* buf, size_t len, size_t& requestLength) {
  size_t scanFrom = 0, have = 0;
  RTSPRequestScan scan = RTSPRequestScan::Incomplete;
  while (have < len) {
    have += 1 + (static_cast<unsigned char>(buf[have]) & 15);
    if (have > len) have = len;
    scan = scanRTSPRequest(buf, have, kCapacity, scanFrom, requestLength);
    if (scan != RTSPRequestScan::Incomplete) break;
  }
  return scan;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::string_view const all(reinterpret_cast<char const*>(data), size);

  // The receive loop: blank lines between requests are skipped, each
  // complete request is parsed, an incomplete tail waits for more.
  size_t pos = 0;
  while (pos < size) {
    if (all[pos] == '\r' || all[pos] == '\n') {
      ++pos;
      continue;
    }
    char const* buf = all.data() + pos;
    size_t const avail = size - pos;
    size_t scanFrom = 0, requestLength = 0;
    RTSPRequestScan const scan = scanRTSPRequest(buf, avail, kCapacity, scanFrom, requestLength);

    size_t pieceLength = 0;
    RTSPRequestScan const pieces = scanInPieces(buf, avail, pieceLength);
    check(pieces == scan);
    if (scan != RTSPRequestScan::Complete) break;
    check(pieceLength == requestLength);
    check(requestLength >= 4 && requestLength <= avail && requestLength <= kCapacity);

    // A small buffer refuses what a large one accepts only when it is too small.
    size_t smallFrom = 0, smallLength = 0;
    RTSPRequestScan const small = scanRTSPRequest(buf, avail, requestLength, smallFrom, smallLength);
    check(small == RTSPRequestScan::Complete && smallLength == requestLength);

    parseOne(std::string_view(buf, requestLength));
    pos += requestLength;
  }

  // The whole input as one request and as each header value.
  parseOne(all);
  parseTransport(all);
  parseAuthorization(all);
  (void)rtspURLPath(all);
  return 0;
}
