// The H.264 track through the daemon, end to end: NAL units far larger than a
// parser bank reach an interleaved client whole, nothing is added to the
// producer's NAL units, ffmpeg decodes a long stream of large I-frames, and
// (a measurement, not run by default) how the delay from the producer's write
// to the client's receipt evolves at 25 and at 30 frames per second.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "E2ESupport.hh"
#include "Startup.hh"

using daemontest::Child;
using daemontest::countOf;
using namespace e2e;

namespace {

std::string const kUrl = "rtsp://127.0.0.1:8554/ch01";

constexpr unsigned kNalSlice = 1, kNalIdr = 5, kNalSps = 7, kNalAud = 9, kNalFiller = 12;

int64_t realtimeNs() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int envSeconds(char const* name, int fallback) {
  char const* v = getenv(name);
  int n = v != nullptr ? atoi(v) : 0;
  return n > 0 ? n : fallback;
}

Settings quickStart() {
  Settings s;
  s.startDelayMs = 0;
  s.credentialsAttempts = 1;
  s.credentialsRetryMs = 10;
  return s;
}

std::unique_ptr<Child> startProducer(std::vector<std::string> args) {
  args.insert(args.begin(), producerBinary());
  args.push_back("--no-audio");
  args.push_back("--report");
  return start(args);
}

std::unique_ptr<Child> startDaemon() {
  Settings s = quickStart();
  return std::make_unique<Child>([s] { return runStartup(s); });
}

// Standard-error lines of the daemon that mean a NAL unit or frame was cut or the parser gave up.
void checkNoParserTrouble(Checks& check, std::string const& err) {
  check(err.find("StreamParser internal error") == std::string::npos, "no parser limit reached\n" + err);
  check(err.find("StreamParser::afterGettingBytes() warning") == std::string::npos, "no oversized delivery\n" + err);
  check(err.find("H264VideoStreamFramer warning") == std::string::npos, "no truncated NAL unit\n" + err);
  check(err.find("too large for our buffer") == std::string::npos, "no frame too large for the sink\n" + err);
}

// SETUP of the video track over RTP/AVP/TCP on channels 0-1, then PLAY.
bool playInterleaved(Checks& check, RtspClient& c) {
  std::string r = c.request("SETUP", kUrl + "/track1", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
  if (!check(r.rfind("RTSP/1.0 200 OK", 0) == 0, "SETUP\n" + r)) return false;
  std::string sid = daemontest::headerValue(r, "Session");
  r = c.request("PLAY", kUrl + "/", "Session: " + sid.substr(0, sid.find(';')) + "\r\n");
  return check(r.rfind("RTSP/1.0 200 OK", 0) == 0, "PLAY\n" + r);
}

// One NAL unit as the client rebuilt it from the RTP packets (RFC 6184).
struct Nal {
  std::string const& bytes;  // header byte included
  uint32_t timestamp;        // RTP timestamp of its packets
  bool marker;               // the packet that completed it carried the marker bit
};

// Depacketizes an H.264 RTP stream: single NAL unit packets, STAP-A and FU-A,
// with the sequence checked on the way.
class H264Depacketizer {
public:
  std::function<void(Nal const&)> onNal;
  std::function<void(uint32_t timestamp, int64_t arrivalNs)> onMarker;  // last packet of an access unit

  int sequenceGaps = 0;     // packets missing (TCP: must stay 0)
  int brokenFragments = 0;  // FU-A without start, or a new start before the end
  int otherPayloads = 0;    // payload types this sink never sends (STAP-B, MTAP, FU-B)
  int packets = 0;

  void packet(unsigned char const* p, size_t len, int64_t arrivalNs) {
    if (len < 12 || (p[0] >> 6) != 2) {
      ++otherPayloads;
      return;
    }
    ++packets;
    uint16_t const seq = static_cast<uint16_t>((p[2] << 8) | p[3]);
    if (fHaveSeq && seq != static_cast<uint16_t>(fLastSeq + 1)) {
      sequenceGaps += static_cast<uint16_t>(seq - fLastSeq - 1);
      if (fInFragment) ++brokenFragments;
      fInFragment = false;
    }
    fHaveSeq = true;
    fLastSeq = seq;
    bool const marker = (p[1] & 0x80) != 0;
    uint32_t const ts = (uint32_t(p[4]) << 24) | (uint32_t(p[5]) << 16) | (uint32_t(p[6]) << 8) | p[7];
    size_t off = 12 + 4 * (p[0] & 0x0F);
    if ((p[0] & 0x10) != 0 && off + 4 <= len) off += 4 + 4 * ((p[off + 2] << 8) | p[off + 3]);
    if ((p[0] & 0x20) != 0 && len > 12) len -= p[len - 1];
    if (off >= len) {
      ++otherPayloads;
      return;
    }
    unsigned char const* payload = p + off;
    size_t const size = len - off;
    unsigned const type = payload[0] & 0x1F;
    if (type >= 1 && type <= 23) {
      fNal.assign(reinterpret_cast<char const*>(payload), size);
      deliver(ts, marker);
    } else if (type == 24) {  // STAP-A: 16-bit sizes, each followed by a NAL unit
      for (size_t i = 1; i + 2 <= size;) {
        size_t n = (payload[i] << 8) | payload[i + 1];
        i += 2;
        if (n == 0 || i + n > size) {
          ++brokenFragments;
          break;
        }
        fNal.assign(reinterpret_cast<char const*>(payload + i), n);
        i += n;
        deliver(ts, marker && i == size);
      }
    } else if (type == 28 && size >= 2) {  // FU-A
      bool const startBit = (payload[1] & 0x80) != 0, endBit = (payload[1] & 0x40) != 0;
      if (startBit) {
        if (fInFragment) ++brokenFragments;
        fNal.assign(1, static_cast<char>((payload[0] & 0xE0) | (payload[1] & 0x1F)));
        fInFragment = true;
      } else if (!fInFragment) {
        ++brokenFragments;
        return;
      }
      fNal.append(reinterpret_cast<char const*>(payload + 2), size - 2);
      if (endBit) {
        fInFragment = false;
        deliver(ts, marker);
      } else if (marker) {
        ++brokenFragments;  // the marker belongs on the last fragment only
      }
    } else {
      ++otherPayloads;
    }
    if (marker && onMarker) onMarker(ts, arrivalNs);
  }

private:
  void deliver(uint32_t ts, bool marker) {
    if (onNal) onNal(Nal{fNal, ts, marker});
  }

  std::string fNal;  // reused for every NAL unit
  bool fInFragment = false;
  bool fHaveSeq = false;
  uint16_t fLastSeq = 0;
};

// Reads the interleaved frames of a playing client and feeds channel 0 to
// 'rtp' until 'done' holds; false at the deadline or when the connection ends.
bool receive(RtspClient& c, H264Depacketizer& rtp, std::function<bool()> const& done, int timeoutMs) {
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

// Key access units carrying one 800,000-byte NAL unit each (a filler NAL
// unit, type 12, header included) pass the parser's 1,000,000-byte banks and
// reach a client whole and unchanged, in the access unit of their IDR picture,
// and the daemon adds no access unit delimiter of its own.
TEST(H264E2E, LargeNalUnitsArriveWholeWithoutAddedDelimiters) {
  runScenario(
      [] {
        Checks check;
        size_t const kBig = 800000;
        int const kKeyFrames = 10;
        auto producer = startProducer({"--big-nal", std::to_string(kBig), "--gop", "10"});
        check(waitListening(13032, *producer, 60000), "producer listening\n" + producer->err());
        auto daemon = startDaemon();
        if (!check(daemon->waitForText("/ch01\n", 10000), "URL\n" + daemon->err())) return check.failures;
        RtspClient c;
        std::string sdp = c.request("DESCRIBE", kUrl);
        check(sdp.find("a=rtpmap:96 H264/90000") != std::string::npos, "DESCRIBE\n" + sdp);
        if (!playInterleaved(check, c)) return check.failures;

        int sps = 0, idr = 0, slices = 0, delimiters = 0, fillers = 0, wrongSize = 0, wrongBytes = 0;
        int idrWithMarker = 0, fillerWithoutMarker = 0, fillerOtherTimestamp = 0;
        uint32_t idrTimestamp = 0;
        std::string const filler = std::string(1, '\x0C') + std::string(kBig - 2, '\xFF') + std::string(1, '\x80');
        H264Depacketizer rtp;
        rtp.onNal = [&](Nal const& nal) {
          unsigned const type = static_cast<unsigned char>(nal.bytes[0]) & 0x1F;
          if (type == kNalSps) ++sps;
          if (type == kNalAud) ++delimiters;
          if (type == kNalSlice) ++slices;
          if (type == kNalIdr) {
            ++idr;
            idrTimestamp = nal.timestamp;
            if (nal.marker) ++idrWithMarker;  // the filler after it belongs to the same access unit
          }
          if (type == kNalFiller) {
            ++fillers;
            if (nal.bytes.size() != kBig) {
              ++wrongSize;
              fprintf(stderr, "filler NAL unit of %zu bytes\n", nal.bytes.size());
            } else if (nal.bytes != filler) {
              ++wrongBytes;
            }
            if (!nal.marker) ++fillerWithoutMarker;
            if (nal.timestamp != idrTimestamp) ++fillerOtherTimestamp;
          }
        };
        // Until the parameter sets of key frame kKeyFrames + 1 arrive.
        bool const received = receive(
            c, rtp, [&] { return sps > kKeyFrames; }, 30000);
        check(received, "received " + std::to_string(kKeyFrames) + " key frames; got " + std::to_string(sps));
        check(wrongSize == 0, std::to_string(wrongSize) + " large NAL units arrived with another size");
        check(wrongBytes == 0, std::to_string(wrongBytes) + " large NAL units arrived with altered bytes");
        check(idr == kKeyFrames && fillers == kKeyFrames,
              "every key frame brought its large NAL unit: IDR " + std::to_string(idr) + ", large " +
                  std::to_string(fillers) + " of " + std::to_string(kKeyFrames));
        check(slices >= (kKeyFrames - 1) * 9, "the P pictures in between arrive: " + std::to_string(slices));
        check(idrWithMarker == 0 && fillerWithoutMarker == 0 && fillerOtherTimestamp == 0,
              "the large NAL unit ends its key access unit: marker on the IDR slice " + std::to_string(idrWithMarker) +
                  ", large unit without marker " + std::to_string(fillerWithoutMarker) + ", with another timestamp " +
                  std::to_string(fillerOtherTimestamp));
        check(delimiters == 0, std::to_string(delimiters) + " access unit delimiters the producer did not send");
        check(rtp.sequenceGaps == 0 && rtp.brokenFragments == 0 && rtp.otherPayloads == 0,
              "clean RTP: gaps " + std::to_string(rtp.sequenceGaps) + ", broken fragments " +
                  std::to_string(rtp.brokenFragments) + ", other payloads " + std::to_string(rtp.otherPayloads));
        check(daemon->running(), "daemon still running");
        checkNoParserTrouble(check, daemon->err());
        return check.failures;
      },
      120000);
}

// A clip whose IDR pictures are single slices of about 460 kB (a fixed noise
// pattern over the test picture, fine quantisation for I pictures) with small
// P pictures, 1280x720, a key frame every 25 frames. Made once and kept.
std::string largeIFrameClip(Checks& check) {
  std::string dir = "/tmp/ostra-e2e-" + std::to_string(getuid());
  std::string path = dir + "/h264-720p-large-idr.h264";
  if (access(path.c_str(), R_OK) == 0) return path;
  mkdir(dir.c_str(), 0700);
  std::string tmp = path + ".part" + std::to_string(getpid());
  std::string out;
  int rc = runCommand(
      "ffmpeg -nostdin -v error -y -f lavfi -i 'testsrc2=size=1280x720:rate=25,noise=alls=8'"
      " -frames:v 100 -pix_fmt yuv420p -bf 0 -c:v libx264 -preset veryfast -qp 24"
      " -x264-params ipratio=3:repeat-headers=1:keyint=25:min-keyint=25:scenecut=0 -f h264 " +
          tmp,
      180000, &out);
  if (!check(rc == 0 && rename(tmp.c_str(), path.c_str()) == 0, "clip with large I-frames made: " + out)) {
    unlink(tmp.c_str());
    return std::string();
  }
  return path;
}

// ffmpeg decodes a long stream of large I-frames (OSTRA_SOAK_SECONDS, 60 by
// default) over interleaved TCP without a single error, and gets as many
// pictures as the producer sent.
TEST(H264E2E, FfmpegDecodesLongStreamOfLargeIFrames) {
  int const seconds = envSeconds("OSTRA_SOAK_SECONDS", 60);
  runScenario(
      [seconds] {
        Checks check;
        std::string clip = largeIFrameClip(check);
        if (clip.empty()) return check.failures;
        // The key frames really are large: the smallest I picture of the clip.
        std::string sizes;
        runCommand("ffprobe -v error -select_streams v -show_entries frame=pict_type,pkt_size -of csv=p=0 " + clip +
                       " | awk -F, '$2==\"I\" && (m==\"\" || $1<m) {m=$1} END {print m}'",
                   60000, &sizes);
        long smallestI = strtol(sizes.c_str(), nullptr, 10);
        check(smallestI >= 300000, "I-frames of at least 300 kB, smallest " + sizes);
        printf("figure: smallest I-frame of the soak clip %ld bytes\n", smallestI);

        auto producer = startProducer({"--h264-file", clip});
        check(waitListening(13032, *producer, 60000), "producer listening\n" + producer->err());
        auto daemon = startDaemon();
        if (!check(daemon->waitForText("/ch01\n", 10000), "URL\n" + daemon->err())) return check.failures;

        long frames = 0;
        std::string out = ffmpegDecode(kUrl, "tcp", seconds, "-fps_mode passthrough", &frames);
        check(out == "decoded\n", "ffmpeg decodes " + std::to_string(seconds) + " s without errors: " + out);
        long const expected = 25L * seconds;
        check(std::labs(frames - expected) <= expected / 50 + 5,
              "decoded " + std::to_string(frames) + " pictures, expected about " + std::to_string(expected));
        printf("figure: ffmpeg decoded %ld pictures in %d s of large I-frames (expected %ld)\n", frames, seconds,
               expected);
        // The session ended with ffmpeg: the producer connection closes, and
        // the producer never had to drop units for a slow reader.
        int64_t const deadline = daemontest::nowMs() + 10000;
        while (countOf(producer->out(), "close video") < countOf(producer->out(), "open video") &&
               daemontest::nowMs() < deadline) {
          producer->pump(100);
        }
        check(countOf(producer->out(), "close video") == countOf(producer->out(), "open video"),
              "stream connection closed\n" + producer->out());
        std::string const& report = producer->out();
        check(countOf(report, " dropped=0\n") == countOf(report, "close video"), "no unit dropped\n" + report);
        check(daemon->running(), "daemon still running");
        checkNoParserTrouble(check, daemon->err());
        return check.failures;
      },
      (seconds + 240) * 1000);
}

// A reader that stops reading for longer than the daemon's output window (8 s)
// loses whole groups of pictures: the first RTP packet it gets after the skip
// opens the access unit that carries an IDR picture, parameter sets first, and
// ffmpeg decodes what follows without an error. The daemon reports the skip.
TEST(H264E2E, AReaderThatStopsReadingResumesAtAKeyFrame) {
  runScenario(
      [] {
        Checks check;
        auto producer = startProducer({"--gop", "25"});
        check(waitListening(13032, *producer, 60000), "producer listening\n" + producer->err());
        auto daemon = startDaemon();
        if (!check(daemon->waitForText("/ch01\n", 10000), "URL\n" + daemon->err())) return check.failures;
        RtspClient c;
        int small = 32 * 1024;  // little room in the kernel: the daemon holds the backlog
        setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        if (!playInterleaved(check, c)) return check.failures;

        H264Depacketizer rtp;
        int nalsBefore = 0, idrAfter = 0, brokenAtSkip = 0;
        bool afterSkip = false, firstUnitDone = false;
        std::vector<unsigned> firstUnit;  // NAL unit types of the first access unit after the skip
        std::string annexB;               // everything after the skip, for the decoder
        rtp.onNal = [&](Nal const& nal) {
          unsigned const type = static_cast<unsigned char>(nal.bytes[0]) & 0x1F;
          if (!afterSkip && rtp.sequenceGaps == 0) {
            ++nalsBefore;
            return;
          }
          // The NAL unit the reader was in when it fell behind stays cut (its
          // start went out before); what follows the skip must be whole.
          if (!afterSkip) brokenAtSkip = rtp.brokenFragments;
          afterSkip = true;
          if (!firstUnitDone) firstUnit.push_back(type);
          firstUnitDone = firstUnitDone || nal.marker;
          if (type == kNalIdr) ++idrAfter;
          annexB.append("\0\0\0\1", 4).append(nal.bytes);
        };
        check(receive(
                  c, rtp, [&] { return nalsBefore >= 25; }, 10000),
              "playing");
        // The pause is what is tested: nothing to wait for but the time.
        sleep(12);
        bool const resumed = receive(
            c, rtp, [&] { return idrAfter >= 3; }, 20000);
        check(resumed && afterSkip, "resumed after a skip: gaps " + std::to_string(rtp.sequenceGaps));
        std::string types;
        for (unsigned t : firstUnit) types += std::to_string(t) + " ";
        auto firstOf = [&](unsigned t) { return std::find(firstUnit.begin(), firstUnit.end(), t) - firstUnit.begin(); };
        long const idrAt = firstOf(kNalIdr);
        check(!firstUnit.empty() && firstUnit[0] != kNalSlice && firstUnit[0] != kNalIdr &&
                  idrAt < static_cast<long>(firstUnit.size()) && firstOf(kNalSps) < idrAt && firstOf(8) < idrAt &&
                  firstOf(kNalSlice) > idrAt,
              "the first access unit after the skip: SPS, PPS, then the IDR picture; NAL unit types " + types);
        check(brokenAtSkip <= 1 && rtp.brokenFragments == brokenAtSkip && rtp.otherPayloads == 0,
              "whole NAL units after the skip: broken " + std::to_string(rtp.brokenFragments));
        writeFile("/var/tmp/after-skip.h264", annexB);
        std::string errors;
        int const rc =
            runCommand("ffmpeg -nostdin -v error -f h264 -i /var/tmp/after-skip.h264 -f null -", 60000, &errors);
        check(rc == 0 && errors.empty(), "ffmpeg decodes the stream after the skip without errors: " + errors);
        printf("figure: %d packets skipped in all; decoded %zu bytes after the skip\n", rtp.sequenceGaps,
               annexB.size());
        check(daemon->err().find("fell behind the output window") != std::string::npos,
              "the daemon reported the skip\n" + daemon->err());
        check(daemon->running(), "daemon still running");
        return check.failures;
      },
      90000);
}

// ---------------------------------------------------------------------------
// Measurement (run by hand: --gtest_also_run_disabled_tests
// --gtest_filter='*DelayDrift*'; OSTRA_DRIFT_SECONDS sets the length of each
// run, 60 by default). For each access unit, the delay from the producer's
// first write of it (CLOCK_REALTIME) to the arrival of the RTP packet with the
// marker bit that ends it at an interleaved client on loopback; units are
// matched by order from the first key frame on. Also the delay from the
// unit's place on the producer's timeline (when it was due), which includes
// any time it waited in the producer's backlog. Prints figures only.

struct Written {
  unsigned long long index;
  int64_t ns;
};

// Least-squares slope of y over x.
double slope(std::vector<double> const& x, std::vector<double> const& y) {
  double n = static_cast<double>(x.size()), sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    sx += x[i];
    sy += y[i];
    sxx += x[i] * x[i];
    sxy += x[i] * y[i];
  }
  double d = n * sxx - sx * sx;
  return d == 0 ? 0 : (n * sxy - sx * sy) / d;
}

double medianOf(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

int measureDrift(int fps, int seconds) {
  Checks check;
  std::string const tsFile = "/var/tmp/producer-timestamps";
  unlink(tsFile.c_str());
  auto producer = startProducer({"--fps", std::to_string(fps), "--timestamps", tsFile});
  check(waitListening(13032, *producer, 60000), "producer listening\n" + producer->err());
  auto daemon = startDaemon();
  if (!check(daemon->waitForText("/ch01\n", 10000), "URL\n" + daemon->err())) return check.failures;
  // No DESCRIBE: its short-lived producer connection would add units to the file.
  RtspClient c;
  if (!playInterleaved(check, c)) return check.failures;
  std::vector<int64_t> arrivals;
  arrivals.reserve(static_cast<size_t>(fps * (seconds + 5)));
  H264Depacketizer rtp;
  rtp.onMarker = [&](uint32_t, int64_t ns) { arrivals.push_back(ns); };
  int64_t const end = daemontest::nowMs() + seconds * 1000;
  receive(
      c, rtp, [&] { return daemontest::nowMs() >= end; }, seconds * 1000 + 5000);
  producer->kill(SIGTERM);
  producer->waitExit(5000);

  std::vector<Written> written;
  std::istringstream lines(readFile(tsFile));
  for (std::string line; std::getline(lines, line);) {
    Written w{};
    long long ns = 0;
    size_t bytes = 0;
    if (sscanf(line.c_str(), "%llu %lld %zu", &w.index, &ns, &bytes) == 3) {
      w.ns = ns;
      written.push_back(w);
    }
  }
  size_t const n = std::min(written.size(), arrivals.size());
  if (!check(n > static_cast<size_t>(fps * 10), "enough units: written " + std::to_string(written.size()) +
                                                    ", received " + std::to_string(arrivals.size()))) {
    return check.failures;
  }
  double const period = 1e9 / fps;
  std::vector<double> t, fromWrite, fromDue;
  for (size_t k = 0; k < n; ++k) {
    double due = static_cast<double>(written[0].ns) + static_cast<double>(written[k].index - written[0].index) * period;
    t.push_back(static_cast<double>(written[k].ns - written[0].ns) / 1e9);
    fromWrite.push_back(static_cast<double>(arrivals[k] - written[k].ns) / 1e6);
    fromDue.push_back(static_cast<double>(arrivals[k]) / 1e6 - due / 1e6);
  }
  size_t const w = static_cast<size_t>(fps);  // one second of units at each end
  auto head = [&](std::vector<double> const& v) { return medianOf({v.begin(), v.begin() + static_cast<long>(w)}); };
  auto tail = [&](std::vector<double> const& v) { return medianOf({v.end() - static_cast<long>(w), v.end()}); };
  unsigned long long const dropped = written[n - 1].index - written[0].index + 1 - n;
  printf("figure: %d fps, %.0f s: delay from write %.1f ms at start, %.1f ms at the end, slope %.1f ms/min\n", fps,
         t.back(), head(fromWrite), tail(fromWrite), 60 * slope(t, fromWrite));
  printf(
      "figure: %d fps, %.0f s: delay from the producer timeline %.1f ms at start, %.1f ms at the end, slope %.1f "
      "ms/min; %llu units dropped by the producer; %zu units received\n",
      fps, t.back(), head(fromDue), tail(fromDue), 60 * slope(t, fromDue), dropped, n);
  check(rtp.sequenceGaps == 0, "no RTP packet lost");
  return check.failures;
}

TEST(H264E2E, DISABLED_DelayDriftAt25And30Fps) {
  int const seconds = envSeconds("OSTRA_DRIFT_SECONDS", 60);
  for (int fps : {25, 30}) {
    runScenario([fps, seconds] { return measureDrift(fps, seconds); }, (seconds + 90) * 1000);
  }
}

}  // namespace
