#include "RTSPRequest.hh"

#include <cstdlib>
#include <cstring>

namespace {

constexpr std::string_view kCRLF = "\r\n";

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (isBlank(s.back()) || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

bool startsWithIgnoreCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && equalsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

// Parses a decimal number of at most 'maxDigits' digits; false on anything else.
bool parseUnsigned(std::string_view s, unsigned long& value, size_t maxDigits = 9) {
  if (s.empty() || s.size() > maxDigits) return false;
  unsigned long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned long>(c - '0');
  }
  value = v;
  return true;
}

// Splits "a-b" (or "a") into two numbers below 'limit'.
bool parsePair(std::string_view s, unsigned long limit, unsigned long& first, unsigned long& second, bool& hasSecond) {
  size_t dash = s.find('-');
  hasSecond = dash != std::string_view::npos;
  if (!parseUnsigned(trim(s.substr(0, dash)), first) || first >= limit) return false;
  if (hasSecond) {
    if (!parseUnsigned(trim(s.substr(dash + 1)), second) || second >= limit) return false;
  }
  return true;
}

// Whether the request line at the start of 'text' names an HTTP protocol.
bool isHTTPRequestLine(std::string_view text) {
  std::string_view line = trim(text.substr(0, text.find(kCRLF)));
  size_t blank = line.find_last_of(" \t");
  return blank != std::string_view::npos && line.substr(blank + 1, 5) == "HTTP/";
}

// Calls 'fn(name, value)' for every header line of 'headers' (the text after
// the request line, up to the blank line).
template <typename Fn>
void forEachHeader(std::string_view headers, Fn fn) {
  while (!headers.empty()) {
    size_t eol = headers.find(kCRLF);
    std::string_view line = headers.substr(0, eol);
    headers.remove_prefix(eol == std::string_view::npos ? headers.size() : eol + 2);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    fn(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  }
}

}  // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

RTSPRequestScan scanRTSPRequest(char const* buf, size_t len, size_t bufferCapacity, size_t& scanFrom,
                                size_t& requestLength) {
  std::string_view text(buf, len);
  size_t from = scanFrom > 3 ? scanFrom - 3 : 0;
  size_t end = text.find("\r\n\r\n", from);
  if (end == std::string_view::npos) {
    scanFrom = len;
    return len >= bufferCapacity ? RTSPRequestScan::TooLarge : RTSPRequestScan::Incomplete;
  }
  scanFrom = end;  // the blank line stays found on the next call
  size_t headerLength = end + 4;
  if (headerLength <= bufferCapacity && isHTTPRequestLine(text)) {
    requestLength = headerLength;
    return RTSPRequestScan::Complete;
  }
  unsigned long contentLength = 0;
  forEachHeader(text.substr(0, end), [&](std::string_view name, std::string_view value) {
    unsigned long n;
    if (equalsIgnoreCase(name, "Content-Length") && parseUnsigned(value, n)) contentLength = n;
  });
  if (headerLength > bufferCapacity || contentLength > bufferCapacity - headerLength) {
    return RTSPRequestScan::TooLarge;
  }
  if (len < headerLength + contentLength) return RTSPRequestScan::Incomplete;
  requestLength = headerLength + contentLength;
  return RTSPRequestScan::Complete;
}

std::string_view rtspURLPath(std::string_view url) {
  if (url == "*") return url;
  if (startsWithIgnoreCase(url, "rtsp://") || startsWithIgnoreCase(url, "rtsps://")) {
    std::string_view rest = url.substr(url.find("//") + 2);
    size_t slash = rest.find('/');
    return slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  if (!url.empty() && url.front() == '/') return url.substr(1);
  return url;
}

std::string_view streamURLPath(std::string_view url) {
  std::string_view path = rtspURLPath(url);
  if (path == "*") return path;
  path = path.substr(0, path.find('?'));
  if (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

bool parseRTSPRequest(std::string_view text, RTSPRequest& out) {
  out = RTSPRequest();
  size_t eol = text.find(kCRLF);
  std::string_view line = text.substr(0, eol);
  std::string_view rest = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 2);

  // Request line: method, URL and protocol separated by blanks.
  std::string_view parts[3];
  for (int i = 0; i < 3; ++i) {
    while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
    size_t n = 0;
    while (n < line.size() && !isBlank(line[n])) ++n;
    parts[i] = line.substr(0, n);
    line.remove_prefix(n);
    if (parts[i].empty()) return false;
  }
  if (!trim(line).empty()) return false;
  for (char c : parts[0]) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-')) return false;
  }
  out.method = parts[0];
  out.url = parts[1];
  out.protocol = parts[2];
  out.urlPath = streamURLPath(out.url);

  size_t headerEnd = rest.find("\r\n\r\n");
  std::string_view headers = rest.substr(0, headerEnd == std::string_view::npos ? rest.size() : headerEnd + 2);
  if (headerEnd != std::string_view::npos) out.body = rest.substr(headerEnd + 4);
  if (rest.substr(0, 2) == kCRLF) {  // no headers at all
    headers = std::string_view();
    out.body = rest.substr(2);
  }

  forEachHeader(headers, [&](std::string_view name, std::string_view value) {
    if (equalsIgnoreCase(name, "CSeq")) {
      out.hasCSeq = true;
      out.cseq = value;
    } else if (equalsIgnoreCase(name, "Session")) {
      out.hasSession = true;
      out.session = trim(value.substr(0, value.find(';')));
    } else if (equalsIgnoreCase(name, "KeyMgmt")) {
      out.hasKeyMgmt = true;
      out.keyMgmt = value;
    } else if (equalsIgnoreCase(name, "Transport")) {
      out.hasTransport = true;
      out.transport = value;
    } else if (equalsIgnoreCase(name, "Range")) {
      out.hasRange = true;
      out.range = value;
    } else if (equalsIgnoreCase(name, "Authorization")) {
      out.hasAuthorization = true;
      out.authorization = value;
    } else if (equalsIgnoreCase(name, "Scale")) {
      out.hasScale = true;
      out.scale = value;
    } else if (equalsIgnoreCase(name, "Content-Length")) {
      unsigned long n;
      if (parseUnsigned(value, n)) out.contentLength = n;
    } else if (equalsIgnoreCase(name, "x-sessioncookie")) {
      out.hasSessionCookie = true;
      out.sessionCookie = value;
    } else if (equalsIgnoreCase(name, "Accept")) {
      out.hasAccept = true;
      out.accept = value;
    } else if (equalsIgnoreCase(name, "Content-Type")) {
      out.hasContentType = true;
      out.contentType = value;
    }
  });
  if (out.body.size() > out.contentLength) out.body = out.body.substr(0, out.contentLength);
  return true;
}

bool parseTransportHeader(std::string_view value, RTSPTransportRequest& out) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    std::string_view spec = trim(value.substr(0, comma));
    value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);

    RTSPTransportRequest t;
    bool ok = true, multicast = false, haveClientPorts = false;
    bool first = true;
    while (ok && !spec.empty()) {
      size_t semi = spec.find(';');
      std::string_view param = trim(spec.substr(0, semi));
      spec.remove_prefix(semi == std::string_view::npos ? spec.size() : semi + 1);
      if (first) {
        first = false;
        t.secure = startsWithIgnoreCase(param, "RTP/SAVP");
        if (t.secure) param.remove_prefix(8);
        else if (startsWithIgnoreCase(param, "RTP/AVP")) param.remove_prefix(7);
        else param = "?";
        if (param.empty() || equalsIgnoreCase(param, "/UDP")) {
          t.streamOverTCP = false;
        } else if (equalsIgnoreCase(param, "/TCP")) {
          t.streamOverTCP = true;
        } else {
          ok = false;
        }
        continue;
      }
      unsigned long a = 0, b = 0;
      bool hasSecond = false;
      if (equalsIgnoreCase(param, "multicast")) {
        multicast = true;
      } else if (startsWithIgnoreCase(param, "client_port=")) {
        // Both ports must be ones a datagram can be sent to: 1-65535 (a
        // single port N means N and N+1).
        if (parsePair(param.substr(12), 65536, a, b, hasSecond) && a != 0) {
          unsigned long rtcp = hasSecond ? b : a + 1;
          if (rtcp != 0 && rtcp <= 65535) {
            haveClientPorts = true;
            t.clientRTPPort = static_cast<unsigned short>(a);
            t.clientRTCPPort = static_cast<unsigned short>(rtcp);
          }
        }
      } else if (startsWithIgnoreCase(param, "interleaved=")) {
        // Channels 0-255; a single 255 has no channel after it for RTCP.
        if (parsePair(param.substr(12), 256, a, b, hasSecond)) {
          unsigned long rtcp = hasSecond ? b : a + 1;
          if (rtcp <= 255) {
            t.hasChannels = true;
            t.rtpChannel = static_cast<unsigned char>(a);
            t.rtcpChannel = static_cast<unsigned char>(rtcp);
          }
        }
      }
      // destination=, ttl=, mode=, unicast and the rest are ignored.
    }
    if (!ok || multicast || first) continue;
    if (!t.streamOverTCP && !haveClientPorts) continue;
    out = t;
    return true;
  }
  return false;
}

bool parseDigestAuthorization(std::string_view value, DigestAuthorizationFields& out) {
  out = DigestAuthorizationFields();
  value = trim(value);
  if (!startsWithIgnoreCase(value, "Digest") || value.size() < 7 || !isBlank(value[6])) return false;
  value.remove_prefix(7);
  bool haveUser = false, haveRealm = false, haveNonce = false, haveUri = false, haveResponse = false;
  while (!value.empty()) {
    while (!value.empty() && (isBlank(value.front()) || value.front() == ',')) value.remove_prefix(1);
    size_t eq = value.find('=');
    if (eq == std::string_view::npos) break;
    std::string_view name = trim(value.substr(0, eq));
    value.remove_prefix(eq + 1);
    while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
    std::string_view fieldValue;
    if (!value.empty() && value.front() == '"') {
      size_t i = 1;
      while (i < value.size() && value[i] != '"') i += (value[i] == '\\' && i + 1 < value.size()) ? 2 : 1;
      if (i >= value.size()) return false;  // unterminated quoted text
      fieldValue = value.substr(1, i - 1);
      value.remove_prefix(i + 1);
    } else {
      size_t comma = value.find(',');
      fieldValue = trim(value.substr(0, comma));
      value.remove_prefix(comma == std::string_view::npos ? value.size() : comma);
    }
    if (equalsIgnoreCase(name, "username")) {
      out.username = fieldValue;
      haveUser = true;
    } else if (equalsIgnoreCase(name, "realm")) {
      out.realm = fieldValue;
      haveRealm = true;
    } else if (equalsIgnoreCase(name, "nonce")) {
      out.nonce = fieldValue;
      haveNonce = true;
    } else if (equalsIgnoreCase(name, "uri")) {
      out.uri = fieldValue;
      haveUri = true;
    } else if (equalsIgnoreCase(name, "response")) {
      out.response = fieldValue;
      haveResponse = true;
    }
  }
  return haveUser && haveRealm && haveNonce && haveUri && haveResponse;
}
