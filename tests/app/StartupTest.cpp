// The start-up routine run in a child process with short waits and temporary
// paths: pid file, URL lines, scheduling line, failure lines and statuses,
// credentials and the audio switch wired to the RTSP server.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "AppTestSupport.hh"
#include "Startup.hh"

using apptest::quickSettings;
using apptest::TempDir;
using daemontest::Child;

namespace {

std::string const kUrlLine = "Play this stream using the URL:\n";

// Waits for the URL lines; returns the URL.
std::string waitForUrl(Child& child, int timeoutMs = 10000) {
  if (!child.waitForText(kUrlLine, timeoutMs)) return std::string();
  std::string const& err = child.err();
  size_t start = err.find(kUrlLine) + kUrlLine.size();
  size_t end = err.find('\n', start);
  while (end == std::string::npos && child.waitForText("\n", 100)) {
    end = child.err().find('\n', start);
  }
  return end == std::string::npos ? std::string() : child.err().substr(start, end - start);
}

std::string describe(uint16_t port, std::string const& extraHeaders = std::string(),
                     std::string const& stream = "ch01") {
  int fd = daemontest::connectLoopback(port);
  if (fd < 0) return std::string();
  std::string pending;
  std::string r = daemontest::rtspRequest(fd,
                                          "DESCRIBE rtsp://127.0.0.1:" + std::to_string(port) + "/" + stream +
                                              " RTSP/1.0\r\nCSeq: 2\r\n" + extraHeaders + "\r\n",
                                          pending);
  close(fd);
  return r;
}

std::string readText(char const* path) {
  std::ifstream f(path);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

size_t mediaLines(std::string const& sdp) { return daemontest::countOf(sdp, "\r\nm="); }

// The soft and hard "Max open files" figures of a process, from /proc.
std::string openFileLimits(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/limits");
  std::smatch m;
  for (std::string line; std::getline(f, line);) {
    if (std::regex_search(line, m, std::regex(R"(^Max open files\s+(\S+)\s+(\S+))")))
      return m[1].str() + " " + m[2].str();
  }
  return std::string();
}

TEST(StartupTest, WritesPidFileAnnouncesUrlAndSetsRealtimePriority) {
  TempDir dir;
  Settings s = quickSettings(dir);
  Child child([&] {
    struct rlimit rl;  // started with a soft descriptor limit below the hard one
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = 256;
    setrlimit(RLIMIT_NOFILE, &rl);
    return runStartup(s);
  });
  std::string url = waitForUrl(child);
  ASSERT_FALSE(url.empty()) << child.err();
  EXPECT_TRUE(std::regex_match(url, std::regex(R"(rtsp://\d+\.\d+\.\d+\.\d+:8554/ch01)"))) << url;
  // Nothing else on standard error (no credentials file, no producer contact yet).
  EXPECT_EQ(child.err(), kUrlLine + url + "\n");

  // Standard output is a pipe here: the scheduling line arrives while the
  // daemon still runs, so it is not held in a buffer.
  ASSERT_TRUE(child.waitForText("Thread set to SCHED_RR with priority 80\n", 5000, true)) << child.out();
  EXPECT_TRUE(child.running());

  FILE* f = fopen(dir.file("pid").c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buf[32] = {};
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  EXPECT_EQ(std::string(buf, n), std::to_string(child.pid()) + "\n");

  // The soft descriptor limit was raised to the hard one.
  std::string limits = openFileLimits(child.pid());
  ASSERT_FALSE(limits.empty());
  EXPECT_EQ(limits.substr(0, limits.find(' ')), limits.substr(limits.find(' ') + 1)) << limits;

  // The stream is there, video only (no settings file), with the fixed session name.
  std::string sdp = describe(8554);
  EXPECT_NE(sdp.find("RTSP/1.0 200 OK\r\n"), std::string::npos) << sdp;
  EXPECT_NE(sdp.find("\r\ns=RTSP/RTP H.264 KVT\r\n"), std::string::npos) << sdp;
  EXPECT_EQ(mediaLines(sdp), 1u) << sdp;
  // One channel: no other stream.
  EXPECT_EQ(describe(8554, "", "ch02").rfind("RTSP/1.0 404 Stream Not Found\r\n", 0), 0u);
}

TEST(StartupTest, UnwritablePidFileIsSilent) {
  TempDir dir;
  Settings s = quickSettings(dir);
  s.pidFile = "/nonexistent-ostra-dir/ostra";
  Child child([&] { return runStartup(s); });
  std::string url = waitForUrl(child);
  ASSERT_FALSE(url.empty()) << child.err();
  EXPECT_EQ(child.err(), kUrlLine + url + "\n");
  EXPECT_TRUE(child.running());
}

TEST(StartupTest, TakenPortEndsWithStatus1AndTheReason) {
  ASSERT_TRUE(apptest::isolated()) << "needs root for a private network namespace (port 8554)";
  int blocker = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(8554);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(blocker, 1), 0);
  TempDir dir;
  Settings s = quickSettings(dir);
  Child child([&] { return runStartup(s); });
  ASSERT_TRUE(child.waitExit(10000));
  close(blocker);
  EXPECT_EQ(child.exitStatus(), 1);
  EXPECT_EQ(child.err(), "Failed to create RTSP server: bind() error (port number: 8554): Address already in use\n");
  EXPECT_EQ(child.out(), "");
}

TEST(StartupTest, WithoutRealtimePrivilegeReportsAndServes) {
  TempDir dir;
  Settings s = quickSettings(dir);
  Child child([&] {
    if (!apptest::dropRealtimePrivilege()) return 99;
    return runStartup(s);
  });
  ASSERT_TRUE(child.waitForText("pthread_setschedparam failed: ", 10000)) << child.err() << child.out();
  EXPECT_NE(child.err().find("pthread_setschedparam failed: Operation not permitted\n"), std::string::npos)
      << child.err();
  EXPECT_TRUE(child.running());
  EXPECT_EQ(child.out().find("SCHED_RR"), std::string::npos);
  std::string sdp = describe(8554);
  EXPECT_NE(sdp.find("RTSP/1.0 200 OK\r\n"), std::string::npos) << sdp;
}

TEST(StartupTest, PortOpensOnlyAfterTheStartDelayAndTheCredentialsWait) {
  TempDir dir;
  Settings s = quickSettings(dir);
  s.startDelayMs = 400;
  s.credentialsAttempts = 4;
  s.credentialsRetryMs = 100;
  int64_t t0 = daemontest::nowMs();
  Child child([&] { return runStartup(s); });
  ASSERT_FALSE(waitForUrl(child).empty()) << child.err();
  EXPECT_GE(daemontest::nowMs() - t0, 400 + 4 * 100);
}

TEST(StartupTest, CredentialsFileTurnsOnDigestAuthentication) {
  TempDir dir;
  Settings s = quickSettings(dir);
  dir.write("httppasswd", "alice:secret bob:other\n");
  Child child([&] { return runStartup(s); });
  ASSERT_FALSE(waitForUrl(child).empty()) << child.err();

  int fd = daemontest::connectLoopback(8554);
  ASSERT_GE(fd, 0);
  std::string pending;
  std::string const url = "rtsp://127.0.0.1:8554/ch01";
  // OPTIONS needs no credentials.
  std::string r = daemontest::rtspRequest(fd, "OPTIONS " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n", pending);
  EXPECT_EQ(r.rfind("RTSP/1.0 200 OK\r\n", 0), 0u) << r;

  // The first protected request is refused even with a well-formed answer,
  // since no nonce was issued on this connection yet.
  std::string guess =
      apptest::digestAuthorization("alice", "secret", "LIVE555 Streaming Media", "00000000", "DESCRIBE", url);
  r = daemontest::rtspRequest(fd, "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 2\r\nAuthorization: " + guess + "\r\n\r\n",
                              pending);
  ASSERT_EQ(r.rfind("RTSP/1.0 401 Unauthorized\r\n", 0), 0u) << r;
  std::string challenge = daemontest::headerValue(r, "WWW-Authenticate");
  EXPECT_EQ(challenge.rfind("Digest ", 0), 0u) << challenge;
  EXPECT_EQ(apptest::digestField(challenge, "realm"), "LIVE555 Streaming Media");
  std::string nonce1 = apptest::digestField(challenge, "nonce");
  ASSERT_FALSE(nonce1.empty());

  // A wrong password gets a new nonce.
  r = daemontest::rtspRequest(
      fd,
      "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 3\r\nAuthorization: " +
          apptest::digestAuthorization("alice", "wrong", "LIVE555 Streaming Media", nonce1, "DESCRIBE", url) +
          "\r\n\r\n",
      pending);
  ASSERT_EQ(r.rfind("RTSP/1.0 401 Unauthorized\r\n", 0), 0u) << r;
  std::string nonce2 = apptest::digestField(daemontest::headerValue(r, "WWW-Authenticate"), "nonce");
  EXPECT_FALSE(nonce2.empty());
  EXPECT_NE(nonce2, nonce1);

  // An unknown user too.
  r = daemontest::rtspRequest(
      fd,
      "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 4\r\nAuthorization: " +
          apptest::digestAuthorization("mallory", "secret", "LIVE555 Streaming Media", nonce2, "DESCRIBE", url) +
          "\r\n\r\n",
      pending);
  ASSERT_EQ(r.rfind("RTSP/1.0 401 Unauthorized\r\n", 0), 0u) << r;
  std::string nonce3 = apptest::digestField(daemontest::headerValue(r, "WWW-Authenticate"), "nonce");
  EXPECT_NE(nonce3, nonce2);

  // The right user with the latest nonce is served.
  r = daemontest::rtspRequest(
      fd,
      "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 5\r\nAuthorization: " +
          apptest::digestAuthorization("bob", "other", "LIVE555 Streaming Media", nonce3, "DESCRIBE", url) + "\r\n\r\n",
      pending);
  EXPECT_EQ(r.rfind("RTSP/1.0 200 OK\r\n", 0), 0u) << r;
  EXPECT_NE(r.find("m=video"), std::string::npos);
  close(fd);
}

TEST(StartupTest, CredentialsFileCreatedWhileStartupWaitsIsUsed) {
  TempDir dir;
  Settings s = quickSettings(dir);
  s.credentialsAttempts = 40;
  s.credentialsRetryMs = 50;
  Child child([&] { return runStartup(s); });
  // Start-up has begun once the pid file exists; the file comes later.
  int64_t deadline = daemontest::nowMs() + 5000;
  while (access(dir.file("pid").c_str(), F_OK) != 0 && daemontest::nowMs() < deadline) child.pump(10);
  child.pump(500);  // the loader keeps retrying meanwhile
  EXPECT_FALSE(child.err().find(kUrlLine) != std::string::npos);
  dir.write("httppasswd", "late:comer\n");
  ASSERT_FALSE(waitForUrl(child).empty()) << child.err();
  EXPECT_EQ(describe(8554).rfind("RTSP/1.0 401 Unauthorized\r\n", 0), 0u);
}

TEST(StartupTest, EmptyCredentialsFileRefusesEveryone) {
  TempDir dir;
  Settings s = quickSettings(dir);
  dir.write("httppasswd", "");
  Child child([&] { return runStartup(s); });
  ASSERT_FALSE(waitForUrl(child).empty()) << child.err();
  EXPECT_EQ(describe(8554).rfind("RTSP/1.0 401 Unauthorized\r\n", 0), 0u);
}

TEST(StartupTest, AudioSwitchOnGivesVideoAndAudioTracks) {
  TempDir dir;
  Settings s = quickSettings(dir);
  dir.write("ostra.xml", "<sys><audio>1</audio></sys>\n");
  Child child([&] { return runStartup(s); });
  ASSERT_FALSE(waitForUrl(child).empty()) << child.err();
  std::string sdp = describe(8554);
  ASSERT_EQ(mediaLines(sdp), 2u) << sdp;
  size_t video = sdp.find("\r\nm=video 0 RTP/AVP 96\r\n");
  size_t audio = sdp.find("\r\nm=audio 0 RTP/AVP 0\r\n");
  ASSERT_NE(video, std::string::npos) << sdp;
  ASSERT_NE(audio, std::string::npos) << sdp;
  EXPECT_LT(video, audio);
  EXPECT_NE(sdp.find("a=control:track2"), std::string::npos) << sdp;
}

// 1 to 4 streams; a missing file or element gives 1, anything else 1 with one line on standard error.
TEST(ChannelsSetting, OneToFourAnythingElseIsOneWithALine) {
  TempDir dir;
  auto run = [&](std::string const& text, int channels, bool complaint) {
    dir.write("ostra.xml", text);
    Child child([&] { return channelsSetting(dir.file("ostra.xml").c_str(), "/sys/channels", 4); });
    ASSERT_TRUE(child.waitExit(5000));
    EXPECT_EQ(child.exitStatus(), channels) << text;
    EXPECT_EQ(child.err(), complaint ? "Settings: /sys/channels is not a number from 1 to 4; serving 1 channel\n" : "")
        << text;
  };
  for (char const* v : {"1", "2", "4"}) run(std::string("<sys><channels>") + v + "</channels></sys>", atoi(v), false);
  for (char const* v : {"0", "5", "two", "2x", ""})
    run(std::string("<sys><channels>") + v + "</channels></sys>", 1, true);
  run("<sys><audio>1</audio></sys>", 1, false);  // no element
  run("", 1, false);                             // no document
  // The package's sample settings: audio on, one channel.
  run(readText(OSTRA_SOURCE_DIR "/packaging/ostra.xml"), 1, false);
  EXPECT_TRUE(audioSwitchOn(OSTRA_SOURCE_DIR "/packaging/ostra.xml", "/sys/audio"));
}

TEST(AudioSwitch, OnlyAPositiveIntegerTurnsAudioOn) {
  TempDir dir;
  struct Case {
    char const* text;
    bool on;
  } cases[] = {
      {"<sys><audio>1</audio></sys>", true},      {"<sys><audio>7</audio></sys>", true},
      {"<sys><audio>0</audio></sys>", false},     {"<sys><audio>-1</audio></sys>", false},
      {"<sys><audio>abc</audio></sys>", false},   {"<sys><video>1</video></sys>", false},
      {"<other><audio>1</audio></other>", false},
  };
  for (Case const& c : cases) {
    dir.write("ostra.xml", c.text);
    EXPECT_EQ(audioSwitchOn(dir.file("ostra.xml").c_str(), "/sys/audio"), c.on) << c.text;
  }
  EXPECT_FALSE(audioSwitchOn(dir.file("missing.xml").c_str(), "/sys/audio"));
}

TEST(BuiltInSettings, ValuesOfTheProductionBuild) {
  Settings s;
  EXPECT_EQ(s.rtspPort, 8554);
  EXPECT_EQ(s.videoCodec, OSTRA_VIDEO_CODEC);
  EXPECT_EQ(s.videoBitrate, 3000000u);
  EXPECT_STREQ(s.streamName, "ch01");
  EXPECT_EQ(s.startDelayMs, 10000u);
  EXPECT_EQ(s.schedulerGranularityUs, 10000u);
  EXPECT_EQ(s.reclamationSeconds, 65u);
  EXPECT_EQ(s.outPacketBufferMaxSize, 1000000u);
  EXPECT_EQ(s.mediaInputChannel, 0);
  EXPECT_EQ(s.realtimePriority, 80);
  EXPECT_STREQ(s.pidFile, "/var/run/ostra");
  EXPECT_STREQ(s.settingsFile, "/talpa/bin/ostra.xml");
  EXPECT_STREQ(s.audioSwitchPath, "/sys/audio");
  EXPECT_STREQ(s.channelsPath, "/sys/channels");
  EXPECT_EQ(s.maxChannels, 4);
  // Set during static initialisation, before any start-up code runs.
  ASSERT_NE(sessionDescription, nullptr);
  EXPECT_STREQ(sessionDescription, "RTSP/RTP H.264 KVT");
  EXPECT_EQ(audioMode, 0);
  EXPECT_EQ(authDB, nullptr);
}

}  // namespace
