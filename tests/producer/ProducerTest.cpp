// Tests of ostra-producer: the stream splitters on crafted byte streams, and the built tool itself over loopback
// sockets (ffprobe as a real client, raw sockets for chunking, closing, fan-out, audio and slow readers).

#include "../../tools/producer/AnnexB.hh"
#include "../support/EmulatedCommand.hh"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace ostra_producer;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

void append(Bytes& b, std::initializer_list<int> v) {
  for (int x : v) b.push_back(static_cast<uint8_t>(x));
}

// ---------------------------------------------------------------------------------------------------------------
// Splitters

TEST(AnnexBSplit, H264AccessUnitBoundaries) {
  Bytes s;
  append(s, {0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x1E});  // SPS
  append(s, {0x00, 0x00, 0x00, 0x01, 0x68, 0xCE, 0x38, 0x80});  // PPS
  append(s, {0x00, 0x00, 0x01, 0x06, 0x05, 0x01, 0x80});        // SEI
  append(s, {0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x00});        // IDR slice, first_mb_in_slice 0
  append(s, {0x00, 0x00, 0x01, 0x65, 0x20, 0x11});              // IDR slice, first_mb_in_slice != 0: same AU
  append(s, {0x00, 0x00, 0x01, 0x0C, 0xFF, 0xFF, 0x80});        // filler: same AU
  const size_t au2 = s.size();
  append(s, {0x00, 0x00, 0x00, 0x01, 0x41, 0x9A, 0x02});        // P slice, first_mb 0: new AU
  append(s, {0x00, 0x00, 0x01, 0x41, 0x40, 0x02, 0x00, 0x00});  // second slice (trailing zeros stay with it)
  const size_t au3 = s.size();
  append(s, {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0});  // AUD starts the next AU
  append(s, {0x00, 0x00, 0x01, 0x41, 0x9A, 0x04});  // its slice, first_mb 0, but the AU already began at the AUD
  const size_t au4 = s.size();
  append(s, {0x00, 0x00, 0x01, 0x41, 0xE0, 0x05});  // slice with first_mb 0 and no delimiter

  const std::vector<StreamUnit> u = splitH264AccessUnits(s.data(), s.size());
  ASSERT_EQ(u.size(), 4u);
  EXPECT_EQ(u[0].offset, 0u);
  EXPECT_EQ(u[0].size, au2);
  EXPECT_TRUE(u[0].key);
  EXPECT_EQ(u[1].offset, au2);
  EXPECT_EQ(u[1].size, au3 - au2);
  EXPECT_FALSE(u[1].key);
  EXPECT_EQ(u[2].offset, au3);
  EXPECT_EQ(u[2].size, au4 - au3);
  EXPECT_EQ(u[3].offset, au4);
  EXPECT_EQ(u[3].offset + u[3].size, s.size());
  // A four-byte start code belongs entirely to the unit it opens.
  EXPECT_EQ(s[u[1].offset + 3], 0x01);
  EXPECT_EQ(s[u[1].offset + 4], 0x41);
}

TEST(AnnexBSplit, H264EdgeCases) {
  EXPECT_TRUE(splitH264AccessUnits(nullptr, 0).empty());

  // No start code at all: one unit with everything, not key.
  Bytes junk = {1, 2, 3, 4, 5};
  auto u = splitH264AccessUnits(junk.data(), junk.size());
  ASSERT_EQ(u.size(), 1u);
  EXPECT_EQ(u[0].size, junk.size());
  EXPECT_FALSE(u[0].key);

  // Leading bytes go with the first unit; parameter sets after a slice open a new (key) unit.
  Bytes s = {0xAA, 0xBB};
  append(s, {0x00, 0x00, 0x01, 0x41, 0x9A});
  const size_t second = s.size();
  append(s, {0x00, 0x00, 0x00, 0x01, 0x67, 0x42});
  append(s, {0x00, 0x00, 0x00, 0x01, 0x68, 0xCE});
  append(s, {0x00, 0x00, 0x00, 0x01, 0x65, 0x88});
  u = splitH264AccessUnits(s.data(), s.size());
  ASSERT_EQ(u.size(), 2u);
  EXPECT_EQ(u[0].offset, 0u);
  EXPECT_EQ(u[0].size, second);
  EXPECT_FALSE(u[0].key);
  EXPECT_EQ(u[1].offset, second);
  EXPECT_TRUE(u[1].key);

  // Start code split at the very end, and a stream that ends inside a start code.
  Bytes t;
  append(t, {0x00, 0x00, 0x01, 0x65, 0x88, 0x00, 0x00});
  u = splitH264AccessUnits(t.data(), t.size());
  ASSERT_EQ(u.size(), 1u);
  EXPECT_EQ(u[0].size, t.size());

  // Elements: a four-byte code takes its leading zero, the payload starts after 00 00 01.
  Bytes e;
  append(e, {0x00, 0x00, 0x00, 0x01, 0x67, 0x00, 0x00, 0x01, 0x68});
  auto el = findElements(e.data(), e.size());
  ASSERT_EQ(el.size(), 2u);
  EXPECT_EQ(el[0].offset, 0u);
  EXPECT_EQ(el[0].payloadOffset, 4u);
  EXPECT_EQ(el[0].end, 5u);
  EXPECT_EQ(el[1].offset, 5u);
  EXPECT_EQ(el[1].payloadOffset, 8u);
  EXPECT_EQ(nalType(e.data(), el[1]), 8);
}

TEST(AnnexBSplit, FillerNal) {
  const std::string f = makeFillerNal(1000);
  ASSERT_EQ(f.size(), 1004u);
  EXPECT_EQ(f.compare(0, 4, std::string("\x00\x00\x00\x01", 4)), 0);
  EXPECT_EQ(static_cast<uint8_t>(f[4]) & 0x1F, 12);
  EXPECT_EQ(static_cast<uint8_t>(f.back()), 0x80);
  auto const el = findElements(reinterpret_cast<uint8_t const*>(f.data()), f.size());
  ASSERT_EQ(el.size(), 1u);  // no start code emulated inside
  EXPECT_EQ(el[0].end - el[0].payloadOffset, 1000u);
}

TEST(AnnexBSplit, Mpeg4Frames) {
  Bytes s;
  append(s, {0x00, 0x00, 0x01, 0xB0, 0x01});              // visual object sequence
  append(s, {0x00, 0x00, 0x01, 0xB5, 0x89});              // visual object
  append(s, {0x00, 0x00, 0x01, 0x00});                    // video object
  append(s, {0x00, 0x00, 0x01, 0x20, 0x00, 0xC4});        // video object layer
  append(s, {0x00, 0x00, 0x01, 0xB6, 0x10, 0x60, 0x8D});  // I-VOP
  const size_t f2 = s.size();
  append(s, {0x00, 0x00, 0x01, 0xB6, 0x50, 0x11});  // P-VOP
  const size_t f3 = s.size();
  append(s, {0x00, 0x00, 0x01, 0xB3, 0x00, 0x10});  // group of VOPs header: belongs to the next VOP
  append(s, {0x00, 0x00, 0x01, 0xB2, 0x4C, 0x61});  // user data
  append(s, {0x00, 0x00, 0x01, 0xB6, 0x00, 0x22});  // I-VOP
  const size_t f4 = s.size();
  append(s, {0x00, 0x00, 0x01, 0xB6, 0x90, 0x33});  // B-VOP (coding type 2)

  const std::vector<StreamUnit> u = splitMpeg4Frames(s.data(), s.size());
  ASSERT_EQ(u.size(), 4u);
  EXPECT_EQ(u[0].offset, 0u);
  EXPECT_EQ(u[0].size, f2);
  EXPECT_TRUE(u[0].key);
  EXPECT_EQ(u[1].offset, f2);
  EXPECT_EQ(u[1].size, f3 - f2);
  EXPECT_FALSE(u[1].key);
  EXPECT_EQ(u[2].offset, f3);
  EXPECT_EQ(u[2].size, f4 - f3);
  EXPECT_TRUE(u[2].key);
  EXPECT_EQ(u[3].offset, f4);
  EXPECT_EQ(u[3].size, s.size() - f4);
  EXPECT_FALSE(u[3].key);
  EXPECT_TRUE(containsElement(s.data(), u[0].size, isVolStartCode));
  EXPECT_FALSE(containsElement(s.data() + u[2].offset, u[2].size, isVolStartCode));

  // Headers alone (no VOP yet) make one unit.
  Bytes h;
  append(h, {0x00, 0x00, 0x01, 0xB0, 0x01, 0x00, 0x00, 0x01, 0x20, 0x00});
  auto const hu = splitMpeg4Frames(h.data(), h.size());
  ASSERT_EQ(hu.size(), 1u);
  EXPECT_EQ(hu[0].size, h.size());
  EXPECT_FALSE(hu[0].key);
}

// ---------------------------------------------------------------------------------------------------------------
// The tool

char const* producerPath() { return OSTRA_BINARY_DIR "/tools/producer/ostra-producer"; }

int64_t realtimeNs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string readFile(std::string const& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// A running ostra-producer. Its report (stdout) goes to a file, its stderr to a pipe that is read until the
// start-up line names the listening ports.
class ProducerProcess {
public:
  explicit ProducerProcess(std::vector<std::string> args) {
    char tmpl[] = "/tmp/ostra-producer-test-XXXXXX";
    dir_ = mkdtemp(tmpl) ? tmpl : "/tmp";
    stdoutPath_ = dir_ + "/stdout.txt";
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
    args.insert(args.begin(), producerPath());
    args = daemontest::emulatedCommand(args);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(errPipe[1]);
    errFd_ = errPipe[0];
    // Clip generation with ffmpeg may come first: allow a generous bound.
    auto const deadline = Clock::now() + std::chrono::seconds(60);
    while (pid_ > 0 && startup_.empty() && Clock::now() < deadline) {
      pollfd p{errFd_, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char buf[1024];
      ssize_t n = read(errFd_, buf, sizeof buf);
      if (n <= 0) break;
      err_.append(buf, static_cast<size_t>(n));
      size_t pos = err_.find(" on 127.0.0.1:");
      size_t eol = err_.find('\n', pos == std::string::npos ? 0 : pos);
      if (pos != std::string::npos && eol != std::string::npos) {
        size_t start = err_.rfind('\n', pos);
        startup_ =
            err_.substr(start == std::string::npos ? 0 : start + 1, eol - (start == std::string::npos ? 0 : start + 1));
      }
    }
    videoPort = portAfter("video on 127.0.0.1:");
    audioPort = portAfter("audio on 127.0.0.1:");
  }
  ~ProducerProcess() {
    stop();
    if (errFd_ >= 0) close(errFd_);
    unlink(stdoutPath_.c_str());
    rmdir(dir_.c_str());
  }
  bool started() const { return pid_ > 0 && !startup_.empty(); }
  std::string const& startupLine() const { return startup_; }
  std::string dir() const { return dir_; }

  // SIGTERM, wait (bounded) and return the exit status (-1 when it had to be killed).
  int stop() {
    if (pid_ <= 0) return exitStatus_;
    kill(pid_, SIGTERM);
    auto const deadline = Clock::now() + std::chrono::seconds(10);
    int status = 0;
    for (;;) {
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        break;
      }
      if (Clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        exitStatus_ = -1;
        break;
      }
      pollfd p{errFd_, POLLIN, 0};  // wait for the pipe to close with the process, bounded
      if (poll(&p, 1, 20) > 0) {
        char buf[1024];
        ssize_t n = read(errFd_, buf, sizeof buf);
        if (n > 0) err_.append(buf, static_cast<size_t>(n));
      }
    }
    pid_ = -1;
    report_ = readFile(stdoutPath_);
    return exitStatus_;
  }
  std::string const& report() const { return report_; }

  int videoPort = 0;
  int audioPort = 0;

private:
  int portAfter(char const* key) const {
    size_t p = startup_.find(key);
    return p == std::string::npos ? 0 : std::atoi(startup_.c_str() + p + std::strlen(key));
  }
  pid_t pid_ = -1;
  int errFd_ = -1;
  int exitStatus_ = -1;
  std::string dir_, stdoutPath_, err_, startup_, report_;
};

int connectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int localPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// Reads from every socket until each has reached end of stream (or `limit` bytes), bounded by a deadline.
// Returns false on time-out.
bool readAll(std::vector<int> const& fds, std::vector<Bytes>* out, std::chrono::seconds bound,
             size_t limit = SIZE_MAX) {
  out->assign(fds.size(), Bytes());
  std::vector<bool> done(fds.size(), false);
  auto const deadline = Clock::now() + bound;
  size_t open = fds.size();
  while (open > 0) {
    if (Clock::now() > deadline) return false;
    std::vector<pollfd> p;
    for (size_t i = 0; i < fds.size(); ++i) p.push_back(pollfd{done[i] ? -1 : fds[i], POLLIN, 0});
    if (poll(p.data(), p.size(), 100) <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (done[i] || !p[i].revents) continue;
      uint8_t buf[65536];
      ssize_t n = recv(fds[i], buf, sizeof buf, 0);
      if (n > 0) (*out)[i].insert((*out)[i].end(), buf, buf + n);
      if (n <= 0 || (*out)[i].size() >= limit) {
        done[i] = true;
        --open;
      }
    }
  }
  return true;
}

// The key=value fields of the report line that starts with `prefix` and mentions `needle`.
std::map<std::string, std::string> reportFields(std::string const& report, std::string const& prefix,
                                                std::string const& needle = "") {
  std::istringstream in(report);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) != 0 || line.find(needle) == std::string::npos) continue;
    std::map<std::string, std::string> f;
    std::istringstream words(line);
    std::string w;
    while (words >> w) {
      size_t eq = w.find('=');
      if (eq != std::string::npos) f[w.substr(0, eq)] = w.substr(eq + 1);
    }
    return f;
  }
  return {};
}

unsigned long long num(std::map<std::string, std::string> const& f, char const* key) {
  auto it = f.find(key);
  return it == f.end() ? ~0ull : std::stoull(it->second);
}

// The connection id the producer gave to our socket, from its "open" report line.
std::string connIdOf(std::string const& report, int fd) {
  auto f = reportFields(report, "ostra-producer: open", "peer=127.0.0.1:" + std::to_string(localPort(fd)));
  return f.count("conn") ? f["conn"] : "?";
}

bool startsWithSps(Bytes const& b, StreamUnit const& u) {
  auto el = findElements(b.data() + u.offset, u.size);
  return !el.empty() && el[0].offset == 0 && nalType(b.data() + u.offset, el[0]) == 7;
}

std::string runCommand(std::string const& cmd) {
  std::string out;
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  pclose(f);
  return out;
}

TEST(ProducerTool, FfprobeReadsTheH264Stream) {
  for (auto const& c : {std::make_pair(std::string("640x360"), 25), std::make_pair(std::string("320x240"), 30)}) {
    ProducerProcess p({"--video-port", "0", "--no-audio", "--size", c.first, "--fps", std::to_string(c.second)});
    ASSERT_TRUE(p.started());
    EXPECT_NE(p.startupLine().find("(H.264 " + c.first + " " + std::to_string(c.second) + " fps), audio off"),
              std::string::npos)
        << p.startupLine();
    const std::string out = runCommand(
        "timeout 30 ffprobe -v error -probesize 65536 -analyzeduration 1000000 -f h264 -show_entries "
        "stream=codec_name,width,height,r_frame_rate -of csv tcp://127.0.0.1:" +
        std::to_string(p.videoPort) + " 2>&1");
    std::string wh = c.first;
    wh[wh.find('x')] = ',';
    EXPECT_EQ(out, "stream,h264," + wh + "," + std::to_string(c.second) + "/1\n");
    EXPECT_EQ(p.stop(), 0);
  }
}

TEST(ProducerTool, ChunkCloseAfterAndTimestamps) {
  char tmpl[] = "/tmp/ostra-producer-ts-XXXXXX";
  int const tsFd = mkstemp(tmpl);
  ASSERT_GE(tsFd, 0);
  close(tsFd);
  const std::string tsPath = tmpl;
  ProducerProcess p({"--video-port", "0", "--no-audio", "--chunk", "1000", "--close-after", "10", "--report",
                     "--timestamps", tsPath, "--rate-fps", "100"});
  ASSERT_TRUE(p.started());
  const int64_t t0 = realtimeNs();
  int const fd = connectTo(p.videoPort);
  ASSERT_GE(fd, 0);
  std::vector<Bytes> got;
  ASSERT_TRUE(readAll({fd}, &got, std::chrono::seconds(20)));
  const int64_t t1 = realtimeNs();
  Bytes const& b = got[0];

  // Ten whole access units, the first an IDR with its parameter sets in front.
  auto const units = splitH264AccessUnits(b.data(), b.size());
  ASSERT_EQ(units.size(), 10u);
  EXPECT_TRUE(units[0].key);
  EXPECT_TRUE(startsWithSps(b, units[0]));
  EXPECT_EQ(b[0], 0x00);
  EXPECT_EQ(b[3], 0x01);
  unsigned long long minWrites = 0;
  for (auto const& u : units) minWrites += (u.size + 999) / 1000;

  ASSERT_EQ(p.stop(), 0);
  const std::string id = connIdOf(p.report(), fd);
  auto const f = reportFields(p.report(), "ostra-producer: close video", "conn=" + id + " ");
  ASSERT_FALSE(f.empty()) << p.report();
  EXPECT_EQ(f.at("reason"), "close-after");
  EXPECT_EQ(num(f, "units"), 10u);
  EXPECT_EQ(num(f, "bytes"), b.size());
  EXPECT_LE(num(f, "max_write"), 1000u);
  EXPECT_GE(num(f, "writes"), minWrites);
  EXPECT_EQ(num(f, "dropped"), 0u);
  auto const sum = reportFields(p.report(), "ostra-producer: summary video");
  EXPECT_EQ(num(sum, "conns"), 1u);
  EXPECT_EQ(num(sum, "bytes"), b.size());
  close(fd);

  // One timestamp line per unit: consecutive timeline indices, write times inside the run, sizes of the units.
  std::istringstream ts(readFile(tsPath));
  unlink(tsPath.c_str());
  unsigned long long idx, bytes, prevIdx = 0;
  long long ns;
  size_t lines = 0;
  while (ts >> idx >> ns >> bytes) {
    ASSERT_LT(lines, units.size());
    if (lines > 0) {
      EXPECT_EQ(idx, prevIdx + 1);
    }
    EXPECT_GE(ns, t0);
    EXPECT_LE(ns, t1);
    EXPECT_EQ(bytes, units[lines].size);
    prevIdx = idx;
    ++lines;
  }
  EXPECT_EQ(lines, 10u);
}

TEST(ProducerTool, SimultaneousConnectionsEachGetTheStream) {
  ProducerProcess p({"--video-port", "0", "--no-audio", "--close-after", "30", "--rate-fps", "100", "--report"});
  ASSERT_TRUE(p.started());
  int const a = connectTo(p.videoPort);
  int const b = connectTo(p.videoPort);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  std::vector<Bytes> got;
  ASSERT_TRUE(readAll({a, b}, &got, std::chrono::seconds(20)));
  for (Bytes const& d : got) {
    auto const units = splitH264AccessUnits(d.data(), d.size());
    ASSERT_EQ(units.size(), 30u);
    EXPECT_TRUE(units[0].key);
    EXPECT_TRUE(startsWithSps(d, units[0]));
  }
  ASSERT_EQ(p.stop(), 0);
  EXPECT_EQ(num(reportFields(p.report(), "ostra-producer: summary video"), "conns"), 2u);
  close(a);
  close(b);

  // A connection after the first ones closed is served just the same.
  ProducerProcess q({"--video-port", "0", "--no-audio", "--close-after", "3", "--rate-fps", "100"});
  ASSERT_TRUE(q.started());
  for (int round = 0; round < 2; ++round) {
    int const c = connectTo(q.videoPort);
    ASSERT_GE(c, 0);
    ASSERT_TRUE(readAll({c}, &got, std::chrono::seconds(20)));
    EXPECT_EQ(splitH264AccessUnits(got[0].data(), got[0].size()).size(), 3u);
    close(c);
  }
}

TEST(ProducerTool, AudioToneAndRefusedVideo) {
  // A port nobody listens on: bind an ephemeral one and release it.
  int const probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  int const freePort = localPort(probe);
  close(probe);

  ProducerProcess p({"--video-port", std::to_string(freePort), "--no-video", "--audio-port", "0", "--close-after", "10",
                     "--tone-hz", "1000", "--report"});
  ASSERT_TRUE(p.started());
  EXPECT_NE(p.startupLine().find("video off"), std::string::npos);
  EXPECT_EQ(connectTo(freePort), -1);
  EXPECT_EQ(errno, ECONNREFUSED);

  int const fd = connectTo(p.audioPort);
  ASSERT_GE(fd, 0);
  std::vector<Bytes> got;
  ASSERT_TRUE(readAll({fd}, &got, std::chrono::seconds(10)));
  close(fd);
  ASSERT_EQ(got[0].size(), 10u * 320u);  // ten 20 ms chunks of 16-bit samples at 8 kHz
  std::vector<int16_t> s(got[0].size() / 2);
  std::memcpy(s.data(), got[0].data(), got[0].size());  // host byte order
  int peak = 0, crossings = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    peak = std::max(peak, std::abs(static_cast<int>(s[i])));
    if (i > 0 && (s[i - 1] < 0) != (s[i] < 0)) ++crossings;
  }
  EXPECT_GT(peak, 3000);
  EXPECT_LT(peak, 32767);
  EXPECT_NEAR(crossings, 400, 4);  // 1000 Hz for 0.2 s
  ASSERT_EQ(p.stop(), 0);
  EXPECT_EQ(num(reportFields(p.report(), "ostra-producer: close audio"), "units"), 10u);
}

TEST(ProducerTool, Mpeg4OneFramePerWrite) {
  ProducerProcess p(
      {"--video-port", "0", "--no-audio", "--codec", "mpeg4", "--close-after", "30", "--rate-fps", "100", "--report"});
  ASSERT_TRUE(p.started());
  EXPECT_NE(p.startupLine().find("(MPEG-4 640x360 25 fps"), std::string::npos) << p.startupLine();
  int const fd = connectTo(p.videoPort);
  ASSERT_GE(fd, 0);
  std::vector<Bytes> got;
  ASSERT_TRUE(readAll({fd}, &got, std::chrono::seconds(20)));
  Bytes const& b = got[0];
  auto const frames = splitMpeg4Frames(b.data(), b.size());
  ASSERT_EQ(frames.size(), 30u);
  ASSERT_GE(b.size(), 4u);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), (Bytes{0x00, 0x00, 0x01, kVisualObjectSequenceStartCode}));
  EXPECT_TRUE(frames[0].key);
  EXPECT_TRUE(containsElement(b.data(), frames[0].size, isVolStartCode));
  ASSERT_EQ(p.stop(), 0);
  auto const f = reportFields(p.report(), "ostra-producer: close video");
  EXPECT_EQ(num(f, "units"), 30u);
  EXPECT_EQ(num(f, "writes"), 30u);  // one write per frame
  EXPECT_EQ(num(f, "max_write"), frames[0].size);
  close(fd);
}

TEST(ProducerTool, BigNalAndBigUnit) {
  {
    ProducerProcess p({"--video-port", "0", "--no-audio", "--close-after", "2", "--big-nal", "100000"});
    ASSERT_TRUE(p.started());
    int const fd = connectTo(p.videoPort);
    std::vector<Bytes> got;
    ASSERT_TRUE(readAll({fd}, &got, std::chrono::seconds(20)));
    close(fd);
    Bytes const& b = got[0];
    auto const units = splitH264AccessUnits(b.data(), b.size());
    ASSERT_EQ(units.size(), 2u);
    size_t fillers = 0;
    for (auto const& e : findElements(b.data(), b.size())) {
      if (nalType(b.data(), e) != 12) continue;
      ++fillers;
      EXPECT_EQ(e.end - e.payloadOffset, 100000u);
      EXPECT_LT(e.offset, units[0].size);  // padding on the key unit only
    }
    EXPECT_EQ(fillers, 1u);
  }
  {
    ProducerProcess p({"--video-port", "0", "--no-audio", "--close-after", "1", "--big-unit", "300000"});
    ASSERT_TRUE(p.started());
    int const fd = connectTo(p.videoPort);
    std::vector<Bytes> got;
    ASSERT_TRUE(readAll({fd}, &got, std::chrono::seconds(20)));
    close(fd);
    Bytes const& b = got[0];
    auto const units = splitH264AccessUnits(b.data(), b.size());
    ASSERT_EQ(units.size(), 1u);
    EXPECT_GT(units[0].size, 300000u);
    EXPECT_TRUE(units[0].key);
  }
}

TEST(ProducerTool, SlowReaderDoesNotHoldBackOthers) {
  ProducerProcess p({"--video-port", "0", "--no-audio", "--rate-fps", "200", "--big-unit", "200000", "--backlog-bytes",
                     "300000", "--report"});
  ASSERT_TRUE(p.started());
  int const slow = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int small = 4096;
  setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(p.videoPort));
  ASSERT_EQ(connect(slow, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  int const fast = connectTo(p.videoPort);
  ASSERT_GE(fast, 0);

  // The fast reader gets 300 units (12 key units of more than 200 kB) while the slow one reads nothing.
  std::vector<Bytes> got;
  auto const t0 = Clock::now();
  size_t units = 0;
  Bytes all;
  while (units < 301 && Clock::now() - t0 < std::chrono::seconds(30)) {
    ASSERT_TRUE(readAll({fast}, &got, std::chrono::seconds(30), 1 << 20));
    all.insert(all.end(), got[0].begin(), got[0].end());
    units = splitH264AccessUnits(all.data(), all.size()).size();
  }
  ASSERT_GE(units, 301u);
  ASSERT_EQ(p.stop(), 0);
  auto const fs = reportFields(p.report(), "ostra-producer: close video", "conn=" + connIdOf(p.report(), fast) + " ");
  auto const ss = reportFields(p.report(), "ostra-producer: close video", "conn=" + connIdOf(p.report(), slow) + " ");
  ASSERT_FALSE(fs.empty()) << p.report();
  ASSERT_FALSE(ss.empty()) << p.report();
  EXPECT_EQ(num(fs, "dropped"), 0u);
  EXPECT_GT(num(ss, "dropped"), 0u);
  EXPECT_LT(num(ss, "bytes"), num(fs, "bytes"));

  // What the slow reader did get is still a well-formed stream that begins with a key unit.
  std::vector<Bytes> rest;
  ASSERT_TRUE(readAll({slow}, &rest, std::chrono::seconds(20)));
  auto const su = splitH264AccessUnits(rest[0].data(), rest[0].size());
  ASSERT_FALSE(su.empty());
  EXPECT_TRUE(su[0].key);
  EXPECT_EQ(rest[0].size(), num(ss, "bytes"));
  close(slow);
  close(fast);
}

}  // namespace
