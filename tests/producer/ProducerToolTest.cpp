// Tests of the built ostra-producer over loopback sockets: ffprobe as a real client, raw sockets for chunking,
// closing, fan-out, audio and slow readers.

#include "ProducerToolSupport.hh"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace ostra_producer;
using namespace ostra_producer::tooltest;

std::string probeH264(int port) {
  return runCommand(
      "timeout 30 ffprobe -v error -probesize 65536 -analyzeduration 1000000 -f h264 -show_entries "
      "stream=codec_name,width,height,r_frame_rate -of csv tcp://127.0.0.1:" +
      std::to_string(port) + " 2>&1");
}

TEST(ProducerTool, FfprobeReadsTheH264Stream) {
  for (auto const& c : {std::make_pair(std::string("640x360"), 25), std::make_pair(std::string("320x240"), 30)}) {
    ProducerProcess p({"--video-port", "0", "--no-audio", "--size", c.first, "--fps", std::to_string(c.second)});
    ASSERT_TRUE(p.started());
    EXPECT_NE(p.startupLine().find("(H.264 " + c.first + " " + std::to_string(c.second) + " fps), audio off"),
              std::string::npos)
        << p.startupLine();
    std::string wh = c.first;
    wh[wh.find('x')] = ',';
    EXPECT_EQ(probeH264(p.videoPort), "stream,h264," + wh + "," + std::to_string(c.second) + "/1\n");
    EXPECT_EQ(p.stop(), 0);
  }
  // Two video channels at once, each with its own clip.
  ProducerProcess p({"--video-port", "0", "--no-audio", "--channels", "2", "--size", "640x360,320x240"});
  ASSERT_TRUE(p.started());
  std::string const second = "video-ch02 on 127.0.0.1:";
  size_t at = p.startupLine().find(second);
  ASSERT_NE(at, std::string::npos) << p.startupLine();
  EXPECT_NE(p.startupLine().find("(H.264 320x240 25 fps), audio off"), std::string::npos) << p.startupLine();
  EXPECT_EQ(probeH264(p.videoPort), "stream,h264,640,360,25/1\n");
  EXPECT_EQ(probeH264(std::atoi(p.startupLine().c_str() + at + second.size())), "stream,h264,320,240,25/1\n");
  EXPECT_EQ(p.stop(), 0);
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
