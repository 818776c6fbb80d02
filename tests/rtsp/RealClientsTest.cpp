// Real clients (ffprobe, ffmpeg, GStreamer rtspsrc) against the server, run
// as child processes while this process steps the server's event loop.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../support/TestCertificate.hh"
#include "DigestAuthentication.hh"
#include "RtspTestSupport.hh"

extern char** environ;

using namespace rtsptest;

namespace {

struct ChildResult {
  bool finished = false;
  int exitCode = -1;
  std::string output;  // standard output and error together
};

// Runs 'args' with output to a temporary file, stepping the loop until it exits.
ChildResult runClient(Loop& loop, std::vector<std::string> const& args, int timeoutMs = 30000) {
  ChildResult result;
  char path[] = "/tmp/ostra-rtsp-client-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fd, 1);
  posix_spawn_file_actions_adddup2(&actions, fd, 2);
  std::vector<char*> argv;
  for (auto const& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fd);
  if (rc == 0) {
    int status = 0;
    result.finished = loop.runUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
    if (!result.finished) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
      result.exitCode = WEXITSTATUS(status);
    }
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  result.output = ss.str();
  unlink(path);
  return result;
}

// gst-launch reports that every sink got its buffers. (Its exit status is not
// used: rtspsrc sometimes fails to send its PAUSE after its own TEARDOWN while
// the pipeline shuts down, which says nothing about the server.)
bool gstReachedEOS(ChildResult const& r) {
  return r.finished && r.output.find("Got EOS from element \"pipeline0\"") != std::string::npos;
}

// An H.264 Annex B clip made once with ffmpeg (empty when that fails).
std::string const& h264Clip() {
  static std::string clip = [] {
    char dir[] = "/tmp/ostra-rtsp-h264-XXXXXX";
    if (mkdtemp(dir) == nullptr) return std::string();
    std::string file = std::string(dir) + "/clip.h264";
    std::string cmd =
        "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 2 -c:v libx264 "
        "-preset ultrafast -tune zerolatency -g 25 -bsf:v dump_extra -f h264 " +
        file + " >/dev/null 2>&1";
    std::string data;
    if (std::system(cmd.c_str()) == 0) {
      std::ifstream in(file, std::ios::binary);
      std::stringstream ss;
      ss << in.rdbuf();
      data = ss.str();
    }
    unlink(file.c_str());
    rmdir(dir);
    return data;
  }();
  return clip;
}

// The clip's bytes, in chunks, over and over; the framer paces the stream.
class ClipSource : public FramedSource {
public:
  ClipSource(UsageEnvironment& env, std::string const& data, ToneCounters& counters)
      : FramedSource(env), fData(data), fCounters(counters) {
    ++fCounters.created;
    ++fCounters.alive;
  }
  ~ClipSource() override {
    envir().taskScheduler().unscheduleDelayedTask(fTask);
    --fCounters.alive;
  }
  void doGetNextFrame() override { fTask = envir().taskScheduler().scheduleDelayedTask(0, deliver, this); }
  void doStopGettingFrames() override { envir().taskScheduler().unscheduleDelayedTask(fTask); }

private:
  static void deliver(void* clientData) {
    auto* self = static_cast<ClipSource*>(clientData);
    self->fTask = nullptr;
    if (self->fPos >= self->fData.size()) self->fPos = 0;
    size_t n = std::min<size_t>({self->fMaxSize, 4096, self->fData.size() - self->fPos});
    std::memcpy(self->fTo, self->fData.data() + self->fPos, n);
    self->fPos += n;
    self->fFrameSize = static_cast<unsigned>(n);
    gettimeofday(&self->fPresentationTime, nullptr);
    FramedSource::afterGetting(self);
  }
  std::string const& fData;
  ToneCounters& fCounters;
  size_t fPos = 0;
  TaskScheduler::TaskToken fTask = nullptr;
};

class H264ClipSubsession : public OnDemandServerMediaSubsession {
public:
  H264ClipSubsession(UsageEnvironment& env, ToneCounters& counters)
      : OnDemandServerMediaSubsession(env, True, 6970), fCounters(counters) {}

protected:
  FramedSource* createNewStreamSource(unsigned, unsigned& estBitrate) override {
    estBitrate = 500;
    return H264VideoStreamFramer::createNew(envir(), new ClipSource(envir(), h264Clip(), fCounters), False, True);
  }
  RTPSink* createNewRTPSink(Groupsock* gs, unsigned char pt, FramedSource*) override {
    return H264VideoRTPSink::createNew(envir(), gs, pt);
  }
  ToneCounters& fCounters;
};

class RealClientsTest : public ::testing::Test {
protected:
  Loop loop;
  ToneCounters counters;
  std::unique_ptr<TLSContext> tls;  // outlives the server
  RTSPServer* server = nullptr;
  std::unique_ptr<UserAuthenticationDatabase> db;
  unsigned short port = 0;
  bool haveVideo = false;

  // "ch01": video (when the clip could be made) and audio; "audio": audio only.
  void start(unsigned short p, bool withAuth = false) {
    port = p;
    if (withAuth) {
      db = std::make_unique<UserAuthenticationDatabase>();
      db->addUserRecord("alice", "s3cret");
    }
    server = RTSPServer::createNew(*loop.env, Port(port), db.get(), 65);
    ASSERT_NE(server, nullptr) << loop.env->getResultMsg();
    haveVideo = !h264Clip().empty();
    ServerMediaSession* sms = ServerMediaSession::createNew(*loop.env, "ch01", nullptr, "RTSP/RTP H.264 KVT");
    if (haveVideo) sms->addSubsession(new H264ClipSubsession(*loop.env, counters));
    sms->addSubsession(ToneSubsession::createNew(*loop.env, counters));
    server->addServerMediaSession(sms);
    ServerMediaSession* audio = ServerMediaSession::createNew(*loop.env, "audio", nullptr, "audio only");
    audio->addSubsession(ToneSubsession::createNew(*loop.env, counters));
    server->addServerMediaSession(audio);
  }
  // RTSP over TLS on the port 1000 above the plain one.
  void startTLS() {
    tls = daemontest::testTLSContext();
    ASSERT_TRUE(tls && server->addTLSPort(Port(port + 1000), tls.get())) << loop.env->getResultMsg();
  }
  void TearDown() override {
    Medium::close(server);
    EXPECT_EQ(counters.alive, 0);
  }
  std::string url(std::string const& stream = "ch01", std::string const& credentials = "") {
    return "rtsp://" + credentials + "127.0.0.1:" + std::to_string(port) + "/" + stream;
  }
  // Every client has gone and its streams are closed (UDP sessions end with TEARDOWN).
  void expectStreamsClosed() {
    EXPECT_TRUE(loop.runUntil([&] { return counters.alive == 0; }, 5000)) << counters.alive;
  }
};

TEST_F(RealClientsTest, FfprobeDescribesAndReadsTheStream) {
  start(18580);
  ChildResult r = runClient(loop, {"ffprobe", "-v", "error", "-rtsp_transport", "udp", "-show_entries",
                                   "stream=codec_name,sample_rate", "-of", "default=nw=1", url()});
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("codec_name=pcm_mulaw"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("sample_rate=8000"), std::string::npos) << r.output;
  if (haveVideo) {
    EXPECT_NE(r.output.find("codec_name=h264"), std::string::npos) << r.output;
  }
  expectStreamsClosed();
}

TEST_F(RealClientsTest, FfmpegPlaysOverUDPAndTCPAndTLS) {
  start(18581);
  startTLS();
  for (char const* transport : {"udp", "tcp", "tls"}) {
    bool const overTLS = std::string(transport) == "tls";
    std::string const where = overTLS ? "rtsps://127.0.0.1:" + std::to_string(port + 1000) + "/ch01" : url();
    ChildResult r =
        runClient(loop, {"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", overTLS ? "tcp" : transport, "-i",
                         where, "-t", "2", "-c", "copy", "-f", "framecrc", "-"});
    ASSERT_TRUE(r.finished) << transport;
    EXPECT_EQ(r.exitCode, 0) << transport << "\n" << r.output;
    // framecrc prints one line per packet: "<stream>, <dts>, ..."
    size_t audioPackets = 0, videoPackets = 0;
    std::istringstream lines(r.output);
    std::string line;
    unsigned audioIndex = haveVideo ? 1 : 0;
    while (std::getline(lines, line)) {
      if (line.empty() || line[0] == '#') continue;
      if (line.rfind(std::to_string(audioIndex) + ",", 0) == 0)
        ++audioPackets;
      else if (haveVideo && line.rfind("0,", 0) == 0)
        ++videoPackets;
    }
    EXPECT_GE(audioPackets, 3u) << transport << "\n" << r.output;
    if (haveVideo) {
      EXPECT_GE(videoPackets, 25u) << transport << "\n" << r.output;
    }
    expectStreamsClosed();
  }
}

TEST_F(RealClientsTest, GStreamerPlaysOverUDPAndTCP) {
  start(18582);
  for (char const* protocols : {"udp", "tcp"}) {
    ChildResult r = runClient(loop, {"gst-launch-1.0", "rtspsrc", "location=" + url("audio"),
                                     std::string("protocols=") + protocols, "!", "fakesink", "num-buffers=10"});
    EXPECT_TRUE(gstReachedEOS(r)) << protocols << "\n" << r.output;
    if (haveVideo) {
      // Both tracks of "ch01", each to its own sink.
      r = runClient(
          loop, {"gst-launch-1.0", "rtspsrc", "location=" + url(), std::string("protocols=") + protocols, "name=src",
                 "src.", "!", "fakesink", "num-buffers=30", "src.", "!", "fakesink", "num-buffers=5"});
      EXPECT_TRUE(gstReachedEOS(r)) << protocols << "\n" << r.output;
    }
    expectStreamsClosed();
  }
}

TEST_F(RealClientsTest, CredentialsAreAskedForAndAWrongPasswordIsRefused) {
  start(18583, true);
  // Without credentials: refused.
  ChildResult r = runClient(
      loop, {"ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "default=nw=1", url("audio")});
  ASSERT_TRUE(r.finished);
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.output.find("401"), std::string::npos) << r.output;
  // A wrong password: refused.
  r = runClient(loop, {"ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "default=nw=1",
                       url("audio", "alice:wrong@")});
  ASSERT_TRUE(r.finished);
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.output.find("401"), std::string::npos) << r.output;
  EXPECT_EQ(counters.created, 0);  // refused before anything was described or set up
  // The right one: ffprobe, ffmpeg over TCP and GStreamer over TCP and UDP are served.
  r = runClient(loop, {"ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "default=nw=1",
                       url("audio", "alice:s3cret@")});
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("codec_name=pcm_mulaw"), std::string::npos) << r.output;
  r = runClient(loop, {"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i",
                       url("ch01", "alice:s3cret@"), "-t", "1", "-f", "null", "-"});
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  for (char const* protocols : {"tcp", "udp"}) {
    r = runClient(loop, {"gst-launch-1.0", "rtspsrc", "location=" + url("audio", "alice:s3cret@"),
                         std::string("protocols=") + protocols, "!", "fakesink", "num-buffers=10"});
    EXPECT_TRUE(gstReachedEOS(r)) << protocols << "\n" << r.output;
  }
  r = runClient(loop, {"gst-launch-1.0", "rtspsrc", "location=" + url("audio", "alice:bad@"), "protocols=tcp", "!",
                       "fakesink", "num-buffers=10"});
  ASSERT_TRUE(r.finished);
  EXPECT_NE(r.exitCode, 0) << r.output;
  EXPECT_FALSE(gstReachedEOS(r)) << r.output;
  EXPECT_NE(r.output.find("Unauthorized"), std::string::npos) << r.output;
  expectStreamsClosed();
}

}  // namespace
