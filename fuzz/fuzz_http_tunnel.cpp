// RTSP over HTTP on arbitrary bytes, the way a connection that opens a
// tunnel consumes them: the HTTP request at the front is delimited, parsed and
// classified; the bytes after it are the POST body, decoded as a base64
// stream in pieces of every size into outputs of every size.
//
// Checked besides memory safety: a tunnel request has an HTTP protocol and a
// cookie of bounded length inside the text; decoding in pieces gives exactly
// what decoding at once gives (bytes, failure, where it stopped); never more
// bytes than characters; and base64 of any bytes, split and broken into
// lines anywhere, decodes back to those bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Base64StreamDecoder.hh"
#include "HTTPTunnelRequest.hh"
#include "RTSPRequest.hh"

namespace {

constexpr size_t kCapacity = 20000;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// Piece sizes from a small generator seeded by the input.
struct Pieces {
  uint32_t state;
  size_t next(size_t most) {
    state = state * 1103515245u + 12345u;
    return 1 + (state >> 16) % (most == 0 ? 1 : most);
  }
};

struct Decoded {
  std::string bytes;
  size_t consumed = 0;
  bool failed = false;
};

Decoded decodeAtOnce(std::string_view in) {
  Decoded d;
  Base64StreamDecoder decoder;
  d.bytes.resize(in.size());
  size_t n = decoder.decode(reinterpret_cast<unsigned char const*>(in.data()), in.size(),
                            reinterpret_cast<unsigned char*>(&d.bytes[0]), d.bytes.size(), d.consumed);
  d.bytes.resize(n);
  d.failed = decoder.failed();
  check(n <= d.consumed && d.consumed <= in.size());
  check(d.failed || d.consumed == in.size());
  return d;
}

Decoded decodeInPieces(std::string_view in, Pieces pieces) {
  Decoded d;
  Base64StreamDecoder decoder;
  unsigned char out[64];
  while (d.consumed < in.size() && !decoder.failed()) {
    size_t inSize = pieces.next(in.size() - d.consumed);
    size_t room = pieces.next(sizeof out);
    size_t used = 0;
    size_t n = decoder.decode(reinterpret_cast<unsigned char const*>(in.data()) + d.consumed, inSize, out, room, used);
    check(n <= room && used <= inSize && n <= used);
    d.bytes.append(reinterpret_cast<char const*>(out), n);
    d.consumed += used;
  }
  d.failed = decoder.failed();
  return d;
}

std::string encode(std::string_view bytes, Pieces& pieces) {
  static char const kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
    if (pieces.next(8) == 1) out += "\r\n";
  }
  return out;
}

void classify(std::string_view head) {
  RTSPRequest req;
  if (!parseRTSPRequest(head, req)) return;
  HTTPTunnelRequestKind kind = classifyHTTPTunnelRequest(req);
  if (kind == HTTPTunnelRequestKind::NotTunnel) return;
  check(req.protocol.substr(0, 5) == "HTTP/" && req.hasSessionCookie);
  check(req.sessionCookie.data() >= head.data() &&
        req.sessionCookie.data() + req.sessionCookie.size() <= head.data() + head.size());
  if (kind != HTTPTunnelRequestKind::BadCookie) {
    check(!req.sessionCookie.empty() && req.sessionCookie.size() <= kMaxTunnelCookieLength);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::string_view const all(reinterpret_cast<char const*>(data), size);
  std::string_view body = all;
  size_t scanFrom = 0, headLength = 0;
  if (scanRTSPRequest(all.data(), all.size(), kCapacity, scanFrom, headLength) == RTSPRequestScan::Complete) {
    classify(all.substr(0, headLength));
    body = all.substr(headLength);
  }

  uint32_t seed = size > 0 ? data[0] * 2654435761u + static_cast<uint32_t>(size) : 1;
  Decoded once = decodeAtOnce(body);
  Decoded pieces = decodeInPieces(body, Pieces{seed});
  check(pieces.bytes == once.bytes && pieces.failed == once.failed);
  if (once.failed) check(pieces.consumed == once.consumed);

  Pieces lines{seed ^ 0x9E3779B9u};
  std::string text = encode(body, lines);
  Decoded back = decodeInPieces(text, Pieces{seed + 1});
  check(!back.failed && back.bytes == body);
  return 0;
}
