// Scaffolding of the H.264 end-to-end scenarios: the producer with video only,
// the daemon started at once, an interleaved client that plays the video
// track and reads its RTP packets, and the daemon's complaints about cut NAL
// units.
#ifndef OSTRA_E2E_H264_SUPPORT_HH
#define OSTRA_E2E_H264_SUPPORT_HH

#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "E2ESupport.hh"
#include "H264Depacketizer.hh"
#include "Startup.hh"

namespace e2e::h264 {

using daemontest::Child;

std::string const kUrl = "rtsp://127.0.0.1:8554/ch01";

constexpr unsigned kNalSlice = 1, kNalIdr = 5, kNalSps = 7, kNalAud = 9, kNalFiller = 12;

inline int64_t realtimeNs() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int envSeconds(char const* name, int fallback) {
  char const* v = getenv(name);
  int n = v != nullptr ? atoi(v) : 0;
  return n > 0 ? n : fallback;
}

inline Settings quickStart() {
  Settings s;
  s.startDelayMs = 0;
  s.credentialsAttempts = 1;
  s.credentialsRetryMs = 10;
  return s;
}

inline std::unique_ptr<Child> startProducer(std::vector<std::string> args) {
  args.insert(args.begin(), producerBinary());
  args.push_back("--no-audio");
  args.push_back("--report");
  return start(args);
}

inline std::unique_ptr<Child> startDaemon() {
  Settings s = quickStart();
  return std::make_unique<Child>([s] { return runStartup(s); });
}

// Standard-error lines of the daemon that mean a NAL unit or frame was cut or the parser gave up.
inline void checkNoParserTrouble(Checks& check, std::string const& err) {
  check(err.find("StreamParser internal error") == std::string::npos, "no parser limit reached\n" + err);
  check(err.find("StreamParser::afterGettingBytes() warning") == std::string::npos, "no oversized delivery\n" + err);
  check(err.find("H264VideoStreamFramer warning") == std::string::npos, "no truncated NAL unit\n" + err);
  check(err.find("too large for our buffer") == std::string::npos, "no frame too large for the sink\n" + err);
}

// SETUP of the video track over RTP/AVP/TCP on channels 0-1, then PLAY.
inline bool playInterleaved(Checks& check, RtspClient& c) {
  std::string r = c.request("SETUP", kUrl + "/track1", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
  if (!check(r.rfind("RTSP/1.0 200 OK", 0) == 0, "SETUP\n" + r)) return false;
  std::string sid = daemontest::headerValue(r, "Session");
  r = c.request("PLAY", kUrl + "/", "Session: " + sid.substr(0, sid.find(';')) + "\r\n");
  return check(r.rfind("RTSP/1.0 200 OK", 0) == 0, "PLAY\n" + r);
}

// Reads the interleaved frames of a playing client and feeds channel 0 to
// 'rtp' until 'done' holds; false at the deadline or when the connection ends.
inline bool receive(RtspClient& c, H264Depacketizer& rtp, std::function<bool()> const& done, int timeoutMs) {
  int64_t const deadline = daemontest::nowMs() + timeoutMs;
  std::string& in = c.pending;
  std::vector<char> buf(256 * 1024);
  while (!done()) {
    if (daemontest::nowMs() > deadline) return false;
    struct pollfd pfd {
      c.fd, POLLIN, 0
    };
    if (poll(&pfd, 1, 100) <= 0) continue;
    ssize_t r = recv(c.fd, buf.data(), buf.size(), 0);
    if (r <= 0) return false;
    int64_t const arrival = realtimeNs();
    in.append(buf.data(), static_cast<size_t>(r));
    size_t pos = 0;
    while (pos < in.size() && !done()) {
      if (in[pos] != '$') {  // an RTSP response in between (none is expected): skip it
        size_t end = in.find("\r\n\r\n", pos);
        if (end == std::string::npos) break;
        pos = end + 4;
        continue;
      }
      if (in.size() - pos < 4) break;
      size_t len = (static_cast<unsigned char>(in[pos + 2]) << 8) | static_cast<unsigned char>(in[pos + 3]);
      if (in.size() - pos < 4 + len) break;
      if (in[pos + 1] == 0) rtp.packet(reinterpret_cast<unsigned char const*>(in.data()) + pos + 4, len, arrival);
      pos += 4 + len;
    }
    in.erase(0, pos);
  }
  return true;
}

}  // namespace e2e::h264

#endif
