// ostra-producer: a simulated local media producer, the other end of the daemon's producer links.
//
// It listens on the loopback interface, video on 127.0.0.1:13032 and audio on 127.0.0.1:13132, and writes on every
// connection the byte stream a camera's encoder process would write:
//   - video, H.264 (default): an Annex B byte stream, one access unit per tick, from a file or from a clip generated
//     at start-up with ffmpeg/libx264 (parameter sets repeated before every IDR picture), looped;
//   - video, MPEG-4 part 2 (--codec mpeg4): an elementary stream, exactly one frame per write;
//   - audio: 16-bit mono PCM at 8000 samples/s in host byte order, a sine tone, in 20 ms chunks.
//
// Live timeline: each medium has one timeline that runs from start-up whether or not anybody listens, like a live
// camera. A new video connection joins at the next key frame of that timeline (H.264: the next IDR access unit, with
// the SPS/PPS in front of it; MPEG-4: the next intra VOP, with the VOS/VO/VOL headers in front of it); an audio
// connection joins at the next chunk. All connections of a medium therefore carry the same units at the same time.
//
// Slow readers: writes are non-blocking and never wait on one connection. Each connection keeps a bounded backlog
// of units that are due but not yet written (--backlog-bytes, at most 256 units). When a new unit would overflow
// it, the units queued behind the one being written are dropped and the connection re-joins the timeline at the next
// key frame (audio: with the next chunk); a unit already partly written is always finished, so the byte stream stays
// well-formed. Drops are counted in the report.
//
// Single-threaded: one ppoll() loop drives the listening sockets, the connections and the frame clocks.

#include "AnnexB.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace ostra_producer;

constexpr int kAudioRate = 8000;
constexpr size_t kMaxBacklogUnits = 256;
constexpr int kMaxConnectionsPerMedium = 64;

enum class Codec { H264, Mpeg4 };

struct Options {
  int videoPort = 13032;
  int audioPort = 13132;
  bool video = true;
  bool audio = true;
  Codec codec = Codec::H264;
  std::string file;
  int fps = 25;
  double rateFps = 0;  // 0: pace at fps
  int width = 640;
  int height = 360;
  std::string bitrate = "1000k";
  int gop = 25;
  double clipSeconds = 4;
  std::string cacheDir;
  int toneHz = 440;
  int audioChunkMs = 20;
  size_t chunk = 0;
  unsigned long long closeAfter = 0;
  size_t bigUnit = 0;
  size_t bigNal = 0;
  bool report = false;
  double duration = 0;
  std::string timestampsFile;
  size_t backlogBytes = 4u << 20;
};

void usage(FILE* f) {
  std::fprintf(
      f,
      "usage: ostra-producer [options]\n"
      "  --video-port P        video port on 127.0.0.1 (default 13032; 0 picks a free one)\n"
      "  --audio-port P        audio port on 127.0.0.1 (default 13132; 0 picks a free one)\n"
      "  --no-video            do not listen for video (connections are refused)\n"
      "  --no-audio            do not listen for audio (connections are refused)\n"
      "  --codec h264|mpeg4    video codec (default h264)\n"
      "  --h264-file F         stream this Annex B file instead of a generated clip (implies --codec h264)\n"
      "  --mpeg4-file F        stream this MPEG-4 part 2 elementary stream (implies --codec mpeg4)\n"
      "  --fps N               frame rate of the generated clip and of the pacing (default 25)\n"
      "  --rate-fps R          pace the video at R frames per second instead (e.g. 30 against a 25 fps clip)\n"
      "  --size WxH            generated clip size (default 640x360)\n"
      "  --bitrate B           generated clip bit rate, ffmpeg syntax (default 1000k)\n"
      "  --gop N               key frame interval of the generated clip, in frames (default 25)\n"
      "  --clip-seconds S      length of the generated clip, rounded up to whole GOPs (default 4)\n"
      "  --cache-dir D         where generated clips are kept (default $TMPDIR/ostra-producer-<uid>)\n"
      "  --tone-hz F           audio tone frequency, whole Hz (default 440)\n"
      "  --audio-chunk-ms M    audio chunk length (default 20: 320 bytes)\n"
      "  --chunk N             cut every write into writes of at most N bytes\n"
      "  --close-after N       close each connection after N units (access units, frames, audio chunks)\n"
      "  --big-unit BYTES      pad every key access unit with filler NAL units so it exceeds BYTES (H.264)\n"
      "  --big-nal BYTES       append one filler NAL unit of exactly BYTES bytes to every key access unit (H.264)\n"
      "  --backlog-bytes N     per-connection backlog of unsent units (default 4194304)\n"
      "  --report              print connection open/close lines and a final summary on stdout\n"
      "  --duration S          exit after S seconds (default: run until SIGINT/SIGTERM)\n"
      "  --timestamps FILE     append '<unit index> <CLOCK_REALTIME ns at write start> <bytes>' per video unit\n"
      "                        written (audio units when video is off)\n");
}

bool parseLong(char const* s, long long lo, long long hi, long long* out) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool parseDouble(char const* s, double lo, double hi, double* out) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(s, &end);
  if (errno != 0 || end == s || *end != '\0' || !(v >= lo && v <= hi)) return false;
  *out = v;
  return true;
}

bool parseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](char const** v) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "ostra-producer: %s needs a value\n", a.c_str());
        return false;
      }
      *v = argv[++i];
      return true;
    };
    auto bad = [&](char const* v) {
      std::fprintf(stderr, "ostra-producer: bad value for %s: %s\n", a.c_str(), v);
      return false;
    };
    char const* v = nullptr;
    long long n = 0;
    if (a == "--help" || a == "-h") {
      usage(stdout);
      std::exit(0);
    } else if (a == "--no-video") {
      o->video = false;
    } else if (a == "--no-audio") {
      o->audio = false;
    } else if (a == "--report") {
      o->report = true;
    } else if (a == "--video-port" || a == "--audio-port") {
      if (!value(&v)) return false;
      if (!parseLong(v, 0, 65535, &n)) return bad(v);
      (a == "--video-port" ? o->videoPort : o->audioPort) = static_cast<int>(n);
    } else if (a == "--codec") {
      if (!value(&v)) return false;
      if (std::strcmp(v, "h264") == 0)
        o->codec = Codec::H264;
      else if (std::strcmp(v, "mpeg4") == 0)
        o->codec = Codec::Mpeg4;
      else
        return bad(v);
    } else if (a == "--h264-file" || a == "--mpeg4-file") {
      if (!value(&v)) return false;
      o->file = v;
      o->codec = a == "--h264-file" ? Codec::H264 : Codec::Mpeg4;
    } else if (a == "--fps") {
      if (!value(&v)) return false;
      if (!parseLong(v, 1, 240, &n)) return bad(v);
      o->fps = static_cast<int>(n);
    } else if (a == "--rate-fps") {
      if (!value(&v)) return false;
      if (!parseDouble(v, 0.1, 1000, &o->rateFps)) return bad(v);
    } else if (a == "--size") {
      if (!value(&v)) return false;
      int w = 0, h = 0;
      char tail = 0;
      if (std::sscanf(v, "%dx%d%c", &w, &h, &tail) != 2 || w < 16 || h < 16 || w > 4096 || h > 4096 || w % 2 || h % 2)
        return bad(v);
      o->width = w;
      o->height = h;
    } else if (a == "--bitrate") {
      if (!value(&v)) return false;
      if (*v == '\0' || std::strspn(v, "0123456789.kKM") != std::strlen(v)) return bad(v);
      o->bitrate = v;
    } else if (a == "--gop") {
      if (!value(&v)) return false;
      if (!parseLong(v, 1, 1000, &n)) return bad(v);
      o->gop = static_cast<int>(n);
    } else if (a == "--clip-seconds") {
      if (!value(&v)) return false;
      if (!parseDouble(v, 0.04, 120, &o->clipSeconds)) return bad(v);
    } else if (a == "--cache-dir") {
      if (!value(&v)) return false;
      o->cacheDir = v;
    } else if (a == "--tone-hz") {
      if (!value(&v)) return false;
      if (!parseLong(v, 1, kAudioRate / 2 - 1, &n)) return bad(v);
      o->toneHz = static_cast<int>(n);
    } else if (a == "--audio-chunk-ms") {
      if (!value(&v)) return false;
      if (!parseLong(v, 1, 1000, &n)) return bad(v);
      o->audioChunkMs = static_cast<int>(n);
    } else if (a == "--chunk") {
      if (!value(&v)) return false;
      if (!parseLong(v, 1, 1LL << 30, &n)) return bad(v);
      o->chunk = static_cast<size_t>(n);
    } else if (a == "--close-after") {
      if (!value(&v)) return false;
      if (!parseLong(v, 1, 1LL << 40, &n)) return bad(v);
      o->closeAfter = static_cast<unsigned long long>(n);
    } else if (a == "--big-unit" || a == "--big-nal") {
      if (!value(&v)) return false;
      if (!parseLong(v, 2, 64LL << 20, &n)) return bad(v);
      (a == "--big-unit" ? o->bigUnit : o->bigNal) = static_cast<size_t>(n);
    } else if (a == "--backlog-bytes") {
      if (!value(&v)) return false;
      if (!parseLong(v, 1, 1LL << 30, &n)) return bad(v);
      o->backlogBytes = static_cast<size_t>(n);
    } else if (a == "--duration") {
      if (!value(&v)) return false;
      if (!parseDouble(v, 0, 1e7, &o->duration)) return bad(v);
    } else if (a == "--timestamps") {
      if (!value(&v)) return false;
      o->timestampsFile = v;
    } else {
      std::fprintf(stderr, "ostra-producer: unknown option %s (see --help)\n", a.c_str());
      return false;
    }
  }
  if ((o->bigUnit || o->bigNal) && o->codec != Codec::H264) {
    std::fprintf(stderr, "ostra-producer: --big-unit and --big-nal need H.264 video\n");
    return false;
  }
  if (o->rateFps == 0) o->rateFps = o->fps;
  return true;
}

int64_t monotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t realtimeNs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool readWholeFile(std::string const& path, std::vector<uint8_t>* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  out->clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  bool const ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// Runs a program and waits for it; true when it exits with status 0.
bool runProgram(std::vector<std::string> const& args) {
  std::vector<char*> argv;
  for (std::string const& s : args) argv.push_back(const_cast<char*>(s.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string defaultCacheDir() {
  char const* tmp = std::getenv("TMPDIR");
  std::string base = (tmp && *tmp) ? tmp : "/tmp";
  return base + "/ostra-producer-" + std::to_string(static_cast<unsigned long>(getuid()));
}

// Generates (or finds in the cache) the looped test clip. Its length is a whole number of GOPs so the key frame
// rhythm stays regular across the loop.
bool prepareClip(Options const& o, std::string* path) {
  std::string dir = o.cacheDir.empty() ? defaultCacheDir() : o.cacheDir;
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "ostra-producer: cannot create cache directory %s: %s\n", dir.c_str(), std::strerror(errno));
    return false;
  }
  long const frames = std::max(1L, static_cast<long>(std::ceil(o.clipSeconds * o.fps / o.gop))) * o.gop;
  bool const h264 = o.codec == Codec::H264;
  const std::string name = std::string("clip-") + (h264 ? "h264-" : "mpeg4-") + std::to_string(o.width) + "x" +
                           std::to_string(o.height) + "-" + std::to_string(o.fps) + "fps-g" + std::to_string(o.gop) +
                           "-" + o.bitrate + "-" + std::to_string(frames) + "f" + (h264 ? ".h264" : ".m4v");
  *path = dir + "/" + name;
  struct stat st;
  if (stat(path->c_str(), &st) == 0 && st.st_size > 0) return true;

  const std::string tmp = dir + "/.tmp-" + std::to_string(static_cast<long>(getpid())) + "-" + name;
  std::vector<std::string> args = {
      "ffmpeg",
      "-nostdin",
      "-hide_banner",
      "-loglevel",
      "error",
      "-y",
      "-f",
      "lavfi",
      "-i",
      "testsrc2=size=" + std::to_string(o.width) + "x" + std::to_string(o.height) + ":rate=" + std::to_string(o.fps),
      "-frames:v",
      std::to_string(frames),
      "-pix_fmt",
      "yuv420p",
      "-bf",
      "0",
      "-g",
      std::to_string(o.gop),
      "-b:v",
      o.bitrate};
  if (h264) {
    for (char const* s : {"-c:v", "libx264", "-preset", "veryfast", "-keyint_min"}) args.push_back(s);
    args.push_back(std::to_string(o.gop));
    for (char const* s : {"-sc_threshold", "0", "-x264-params", "repeat-headers=1", "-maxrate"}) args.push_back(s);
    args.push_back(o.bitrate);
    args.push_back("-bufsize");
    args.push_back(o.bitrate);
    args.push_back("-f");
    args.push_back("h264");
  } else {
    for (char const* s : {"-c:v", "mpeg4", "-f", "m4v"}) args.push_back(s);
  }
  args.push_back(tmp);
  std::fprintf(stderr, "ostra-producer: generating %s with ffmpeg\n", path->c_str());
  if (!runProgram(args)) {
    std::fprintf(stderr, "ostra-producer: ffmpeg failed to generate the clip\n");
    unlink(tmp.c_str());
    return false;
  }
  if (rename(tmp.c_str(), path->c_str()) != 0) {
    std::fprintf(stderr, "ostra-producer: cannot rename %s: %s\n", tmp.c_str(), std::strerror(errno));
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Units and connections

struct Segment {
  uint8_t const* data = nullptr;
  size_t size = 0;
};

// One unit due on a connection. Its bytes live in buffers that stay unchanged for the whole run (the clip, the
// header copy, the padding, the tone table), so queueing a unit copies no payload.
struct Pending {
  Segment seg[4];
  int nseg = 0;
  size_t total = 0;
  size_t written = 0;
  unsigned long long index = 0;  // position on the medium's timeline
};

struct Medium;

struct Connection {
  int fd = -1;
  unsigned id = 0;
  Medium* medium = nullptr;
  bool joined = false;  // false until the next key unit of the timeline
  bool dead = false;
  std::vector<Pending> ring = std::vector<Pending>(kMaxBacklogUnits);
  size_t head = 0;
  size_t count = 0;
  size_t queuedBytes = 0;
  unsigned long long unitsQueued = 0;
  unsigned long long unitsSent = 0;
  unsigned long long bytesSent = 0;
  unsigned long long writes = 0;
  size_t largestWrite = 0;
  unsigned long long dropped = 0;
};

struct Medium {
  char const* name = "";
  bool isVideo = false;
  bool timestamped = false;  // its units go to --timestamps
  int listenFd = -1;
  int port = 0;
  int64_t periodNs = 0;
  int64_t nextTick = 0;
  unsigned long long index = 0;
  std::vector<std::unique_ptr<Connection>> conns;
  unsigned long long totalConns = 0, totalUnits = 0, totalBytes = 0, totalDropped = 0;
};

struct Producer {
  Options opt;
  // video
  std::vector<uint8_t> clip;
  std::vector<StreamUnit> units;
  std::vector<bool> unitHasHeaders;
  std::vector<uint8_t> headers;  // parameter sets (H.264) or VOS/VO/VOL headers (MPEG-4) of the clip
  std::string bigNalPad, bigUnitPad;
  // audio
  std::vector<int16_t> tone;  // one second: a whole number of periods of a whole-Hz tone
  size_t samplesPerChunk = 0;

  Medium video, audio;
  FILE* timestamps = nullptr;
  unsigned nextConnId = 1;
  std::vector<pollfd> pfds;
  std::vector<Connection*> pconns;
};

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

void reportLine(Producer const& p, char const* fmt, ...) __attribute__((format(printf, 2, 3)));
void reportLine(Producer const& p, char const* fmt, ...) {
  if (!p.opt.report) return;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stdout, fmt, ap);
  va_end(ap);
  std::fflush(stdout);
}

void closeConnection(Producer& p, Connection& c, char const* reason) {
  if (c.dead) return;
  c.dead = true;
  close(c.fd);
  c.fd = -1;
  Medium& m = *c.medium;
  m.totalUnits += c.unitsSent;
  m.totalBytes += c.bytesSent;
  m.totalDropped += c.dropped;
  reportLine(p,
             "ostra-producer: close %s conn=%u reason=%s units=%llu bytes=%llu writes=%llu max_write=%zu "
             "dropped=%llu\n",
             m.name, c.id, reason, c.unitsSent, c.bytesSent, c.writes, c.largestWrite, c.dropped);
}

void reapConnections(Medium& m) {
  size_t j = 0;
  for (size_t i = 0; i < m.conns.size(); ++i)
    if (!m.conns[i]->dead) m.conns[j++] = std::move(m.conns[i]);
  m.conns.resize(j);
}

// Writes as much of the connection's backlog as the socket takes, one unit (or one --chunk piece) per send.
void flush(Producer& p, Connection& c) {
  while (c.count > 0 && !c.dead) {
    Pending& u = c.ring[c.head];
    iovec iov[4];
    int n = 0;
    size_t skip = u.written;
    size_t room = p.opt.chunk ? p.opt.chunk : u.total;
    for (int i = 0; i < u.nseg && room > 0; ++i) {
      Segment const& s = u.seg[i];
      if (skip >= s.size) {
        skip -= s.size;
        continue;
      }
      size_t len = std::min(s.size - skip, room);
      iov[n].iov_base = const_cast<uint8_t*>(s.data + skip);
      iov[n].iov_len = len;
      ++n;
      room -= len;
      skip = 0;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(n);
    const int64_t startNs = (p.timestamps && c.medium->timestamped && u.written == 0) ? realtimeNs() : 0;
    ssize_t r = sendmsg(c.fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      closeConnection(p, c, errno == EPIPE || errno == ECONNRESET ? "peer-closed" : "write-error");
      return;
    }
    if (startNs) std::fprintf(p.timestamps, "%llu %lld %zu\n", u.index, static_cast<long long>(startNs), u.total);
    c.writes++;
    c.bytesSent += static_cast<size_t>(r);
    c.largestWrite = std::max(c.largestWrite, static_cast<size_t>(r));
    u.written += static_cast<size_t>(r);
    if (u.written < u.total) continue;
    c.queuedBytes -= u.total;
    c.head = (c.head + 1) % c.ring.size();
    c.count--;
    c.unitsSent++;
    if (p.opt.closeAfter && c.unitsSent >= p.opt.closeAfter) {
      closeConnection(p, c, "close-after");
      return;
    }
  }
}

// Builds the unit at position `index` of the medium's timeline.
Pending makeUnit(Producer const& p, Medium const& m, unsigned long long index, bool joining) {
  Pending u;
  u.index = index;
  auto add = [&u](void const* data, size_t size) {
    if (size == 0) return;
    u.seg[u.nseg].data = static_cast<const uint8_t*>(data);
    u.seg[u.nseg].size = size;
    u.nseg++;
    u.total += size;
  };
  if (m.isVideo) {
    const size_t i = static_cast<size_t>(index % p.units.size());
    StreamUnit const& su = p.units[i];
    if (joining && !p.unitHasHeaders[i]) add(p.headers.data(), p.headers.size());
    add(p.clip.data() + su.offset, su.size);
    if (su.key) {
      add(p.bigNalPad.data(), p.bigNalPad.size());
      add(p.bigUnitPad.data(), p.bigUnitPad.size());
    }
  } else {
    const size_t total = p.tone.size();
    const size_t start = static_cast<size_t>((index * p.samplesPerChunk) % total);
    const size_t first = std::min(p.samplesPerChunk, total - start);
    add(p.tone.data() + start, first * 2);
    add(p.tone.data(), (p.samplesPerChunk - first) * 2);  // wraps around the one-second table
  }
  return u;
}

// One step of a medium's timeline: the unit becomes due on every connection that has joined (or joins now).
void tick(Producer& p, Medium& m) {
  unsigned long long const index = m.index++;
  bool const key = m.isVideo ? p.units[static_cast<size_t>(index % p.units.size())].key : true;
  for (auto& cp : m.conns) {
    Connection& c = *cp;
    if (c.dead) continue;
    if (p.opt.closeAfter && c.unitsQueued >= p.opt.closeAfter) continue;
    bool joining = false;
    if (!c.joined) {
      if (!key) continue;
      c.joined = joining = true;
    }
    Pending u = makeUnit(p, m, index, joining);
    if (c.count > 0 && (c.count == c.ring.size() || c.queuedBytes + u.total > p.opt.backlogBytes)) {
      // Backlog overflow: keep the unit being written, drop the rest and re-join at a key unit.
      bool const keepHead = c.ring[c.head].written > 0;
      const size_t keep = keepHead ? 1 : 0;
      c.dropped += c.count - keep;
      c.unitsQueued -= c.count - keep;
      c.count = keep;
      c.queuedBytes = keepHead ? c.ring[c.head].total : 0;
      if (!key) {
        c.joined = false;
        continue;
      }
      u = makeUnit(p, m, index, true);
    }
    c.ring[(c.head + c.count) % c.ring.size()] = u;
    c.count++;
    c.queuedBytes += u.total;
    c.unitsQueued++;
    flush(p, c);
  }
  reapConnections(m);
}

void acceptConnections(Producer& p, Medium& m) {
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(m.listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // EAGAIN, or a transient shortage (EMFILE...): try again on the next readiness
    }
    if (m.conns.size() >= static_cast<size_t>(kMaxConnectionsPerMedium)) {
      close(fd);
      reportLine(p, "ostra-producer: refuse %s reason=too-many-connections\n", m.name);
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->id = p.nextConnId++;
    c->medium = &m;
    m.totalConns++;
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
    reportLine(p, "ostra-producer: open %s conn=%u peer=%s:%u\n", m.name, c->id, addr, ntohs(peer.sin_port));
    m.conns.push_back(std::move(c));
  }
}

// The daemon never writes on its producer links; whatever arrives is read and ignored, end of stream closes.
void readConnection(Producer& p, Connection& c) {
  uint8_t scratch[4096];
  for (;;) {
    ssize_t r = recv(c.fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (r > 0) continue;
    if (r == 0) {
      closeConnection(p, c, "peer-closed");
      return;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) closeConnection(p, c, "read-error");
    return;
  }
}

bool listenOn(Medium& m, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::fprintf(stderr, "ostra-producer: socket: %s\n", std::strerror(errno));
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
    std::fprintf(stderr, "ostra-producer: cannot listen for %s on 127.0.0.1:%d: %s\n", m.name, port,
                 std::strerror(errno));
    close(fd);
    return false;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  m.listenFd = fd;
  m.port = ntohs(a.sin_port);
  return true;
}

bool prepareVideo(Producer& p) {
  Options const& o = p.opt;
  std::string path = o.file;
  if (path.empty() && !prepareClip(o, &path)) return false;
  if (!readWholeFile(path, &p.clip) || p.clip.empty()) {
    std::fprintf(stderr, "ostra-producer: cannot read %s\n", path.c_str());
    return false;
  }
  uint8_t const* d = p.clip.data();
  if (o.codec == Codec::H264) {
    p.units = splitH264AccessUnits(d, p.clip.size());
    // Keep the first SPS and PPS, sent in front of a joining key unit that lacks them.
    bool sps = false, pps = false;
    for (StreamElement const& e : findElements(d, p.clip.size())) {
      int const t = nalType(d, e);
      if ((t == 7 && !sps) || (t == 8 && !pps)) {
        p.headers.insert(p.headers.end(), d + e.offset, d + e.end);
        (t == 7 ? sps : pps) = true;
      }
    }
    for (StreamUnit const& u : p.units)
      p.unitHasHeaders.push_back(containsElement(d + u.offset, u.size, [](uint8_t b) { return (b & 0x1F) == 7; }));
  } else {
    p.units = splitMpeg4Frames(d, p.clip.size());
    if (!p.units.empty()) {  // the headers in front of the first VOP
      StreamUnit const& u0 = p.units[0];
      for (StreamElement const& e : findElements(d + u0.offset, u0.size)) {
        if (e.payloadOffset < e.end && d[u0.offset + e.payloadOffset] == kVopStartCode) {
          p.headers.assign(d + u0.offset, d + u0.offset + e.offset);
          break;
        }
      }
    }
    for (StreamUnit const& u : p.units)
      p.unitHasHeaders.push_back(containsElement(d + u.offset, u.size, isVolStartCode));
  }
  bool anyKey = false;
  for (StreamUnit const& u : p.units) anyKey = anyKey || u.key;
  if (!anyKey) {
    std::fprintf(stderr, "ostra-producer: no key frame in %s; connections join at its first unit\n", path.c_str());
    p.units[0].key = true;
  }
  if (o.bigNal) p.bigNalPad = makeFillerNal(o.bigNal);
  if (o.bigUnit) {
    constexpr size_t kPiece = 4096;  // filler NAL units of 4096 bytes each until the padding alone exceeds BYTES
    while (p.bigUnitPad.size() <= o.bigUnit) p.bigUnitPad += makeFillerNal(kPiece);
  }
  p.video.name = "video";
  p.video.isVideo = true;
  p.video.periodNs = static_cast<int64_t>(1e9 / o.rateFps);
  return true;
}

void prepareAudio(Producer& p) {
  Options const& o = p.opt;
  p.tone.resize(kAudioRate);
  double const pi = std::acos(-1.0);
  for (int n = 0; n < kAudioRate; ++n)
    p.tone[static_cast<size_t>(n)] =
        static_cast<int16_t>(std::lround(9830.0 * std::sin(2 * pi * o.toneHz * n / kAudioRate)));  // -10 dBFS
  p.samplesPerChunk = static_cast<size_t>(kAudioRate * o.audioChunkMs / 1000);
  p.audio.name = "audio";
  p.audio.isVideo = false;
  p.audio.periodNs = static_cast<int64_t>(o.audioChunkMs) * 1000000;
}

std::string describeVideo(Producer const& p) {
  Options const& o = p.opt;
  char buf[512];
  char const* codec = o.codec == Codec::H264 ? "H.264" : "MPEG-4";
  if (o.file.empty())
    std::snprintf(buf, sizeof buf, "%s %dx%d %d fps", codec, o.width, o.height, o.fps);
  else
    std::snprintf(buf, sizeof buf, "%s from %s, %d fps", codec, o.file.c_str(), o.fps);
  std::string s = buf;
  if (o.rateFps != o.fps) {
    std::snprintf(buf, sizeof buf, ", paced at %g fps", o.rateFps);
    s += buf;
  }
  return s;
}

void addPoll(Producer& p, int fd, short events, Connection* c) {
  p.pfds.push_back(pollfd{fd, events, 0});
  p.pconns.push_back(c);
}

int run(Producer& p) {
  Options const& o = p.opt;
  std::vector<Medium*> media;
  if (o.video) media.push_back(&p.video);
  if (o.audio) media.push_back(&p.audio);

  const int64_t start = monotonicNs();
  const int64_t deadline = o.duration > 0 ? start + static_cast<int64_t>(o.duration * 1e9) : 0;
  for (Medium* m : media) m->nextTick = start;

  sigset_t blocked, waitMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);

  while (!gStop) {
    int64_t now = monotonicNs();
    if (deadline && now >= deadline) break;
    // Frame clocks: a fixed schedule; after a stall of more than a second the schedule restarts from now.
    for (Medium* m : media) {
      if (now - m->nextTick > 1000000000) m->nextTick = now;
      while (now >= m->nextTick) {
        tick(p, *m);
        m->nextTick += m->periodNs;
      }
    }
    int64_t wake = deadline ? deadline : now + 1000000000;
    for (Medium* m : media) wake = std::min(wake, m->nextTick);

    p.pfds.clear();
    p.pconns.clear();
    for (Medium* m : media) {
      addPoll(p, m->listenFd, POLLIN, nullptr);
      for (auto& c : m->conns) addPoll(p, c->fd, static_cast<short>(POLLIN | (c->count ? POLLOUT : 0)), c.get());
    }
    now = monotonicNs();
    const int64_t waitNs = std::max<int64_t>(0, wake - now);
    timespec ts{static_cast<time_t>(waitNs / 1000000000), static_cast<long>(waitNs % 1000000000)};
    int const r = ppoll(p.pfds.data(), p.pfds.size(), &ts, &waitMask);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "ostra-producer: ppoll: %s\n", std::strerror(errno));
      break;
    }
    for (size_t i = 0; i < p.pfds.size(); ++i) {
      pollfd const& pf = p.pfds[i];
      if (!pf.revents) continue;
      Connection* c = p.pconns[i];
      if (!c) {
        for (Medium* m : media)
          if (m->listenFd == pf.fd) acceptConnections(p, *m);
        continue;
      }
      if (pf.revents & (POLLIN | POLLHUP | POLLERR)) readConnection(p, *c);
      if (!c->dead && (pf.revents & (POLLHUP | POLLERR))) closeConnection(p, *c, "peer-closed");
      if (!c->dead && (pf.revents & POLLOUT)) flush(p, *c);
    }
    for (Medium* m : media) reapConnections(*m);
  }

  for (Medium* m : media) {
    for (auto& c : m->conns) closeConnection(p, *c, "shutdown");
    reapConnections(*m);
    close(m->listenFd);
    reportLine(p, "ostra-producer: summary %s conns=%llu units=%llu bytes=%llu dropped=%llu\n", m->name, m->totalConns,
               m->totalUnits, m->totalBytes, m->totalDropped);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Producer p;
  if (!parseOptions(argc, argv, &p.opt)) return 2;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  Options const& o = p.opt;
  if (!o.video && !o.audio) {
    std::fprintf(stderr, "ostra-producer: nothing to serve (--no-video and --no-audio)\n");
    return 2;
  }
  if (o.video && !prepareVideo(p)) return 1;
  if (o.audio) prepareAudio(p);
  if (o.video && !listenOn(p.video, o.videoPort)) return 1;
  if (o.audio && !listenOn(p.audio, o.audioPort)) return 1;
  (o.video ? p.video : p.audio).timestamped = true;
  if (!o.timestampsFile.empty()) {
    p.timestamps = std::fopen(o.timestampsFile.c_str(), "a");
    if (!p.timestamps) {
      std::fprintf(stderr, "ostra-producer: cannot open %s: %s\n", o.timestampsFile.c_str(), std::strerror(errno));
      return 1;
    }
    setvbuf(p.timestamps, nullptr, _IOLBF, 0);
  }

  std::string line = "ostra-producer: ";
  char buf[128];
  if (o.video) {
    std::snprintf(buf, sizeof buf, "video on 127.0.0.1:%d (", p.video.port);
    line += buf + describeVideo(p) + ")";
  } else {
    line += "video off";
  }
  if (o.audio) {
    std::snprintf(buf, sizeof buf, ", audio on 127.0.0.1:%d", p.audio.port);
    line += buf;
  } else {
    line += ", audio off";
  }
  std::fprintf(stderr, "%s\n", line.c_str());

  int const rc = run(p);
  if (p.timestamps) std::fclose(p.timestamps);
  return rc;
}
