// End-to-end scaffolding: every scenario runs in a child process inside fresh
// network and mount namespaces whose root holds empty private folders at
// /var/run, /var/etc and /talpa/bin (the daemon's fixed paths), with the
// loopback interface up. The real daemon, the simulated producer and real
// clients (ffprobe, ffmpeg, gst-launch-1.0) run in there.
#ifndef OSTRA_E2E_SUPPORT_HH
#define OSTRA_E2E_SUPPORT_HH

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "../support/DaemonTestUtil.hh"

namespace e2e {

std::string ostraBinary();       // this build's daemon
std::string mpeg4OstraBinary();  // the MPEG-4 build's daemon, or empty when that build is absent
std::string h265OstraBinary();   // the H.265 build's daemon, or empty when that build is absent
std::string producerBinary();

// The URL of the daemon's stream for producer video channel 'channel' (0:
// "ch01", 1: "ch02"...), with "user:password@" when 'credentials' is given.
std::string streamUrl(int channel = 0, std::string const& credentials = "", std::string const& host = "127.0.0.1");
// The producer's video port of a channel.
inline uint16_t videoPort(int channel = 0) { return static_cast<uint16_t>(13032 + channel); }

// Failed checks of the running scenario, written to standard error.
struct Checks {
  int failures = 0;
  bool operator()(bool ok, std::string const& what) {
    if (!ok) {
      ++failures;
      fprintf(stderr, "CHECK FAILED: %s\n", what.c_str());
    }
    return ok;
  }
};

// Runs 'scenario' (returning its number of failed checks) in a sandbox child
// and expects it to pass within 'timeoutMs'. Lines the scenario writes to
// standard output that begin with "figure: " (measured values) are shown.
void runScenario(std::function<int()> const& scenario, int timeoutMs);

// Inside the sandbox:
// Starts a program (argv[0] is the path) with its output collected.
std::unique_ptr<daemontest::Child> start(std::vector<std::string> const& argv);
// Runs a shell command line to its end (or kills it after 'timeoutMs');
// 'output' gets standard output and error.
int runCommand(std::string const& command, int timeoutMs, std::string* output = nullptr);
// Waits until something listens on the TCP port.
bool waitListening(uint16_t port, daemontest::Child& owner, int timeoutMs);
void writeFile(std::string const& path, std::string const& text);
std::string readFile(std::string const& path);

// Decodes every stream of 'url' for 'seconds' with ffmpeg into the null
// muxer; the result is ffmpeg's error output followed by "decoded" when it
// ended well. The null muxer's complaint about non-monotonic DTS is left out:
// ffmpeg's RTSP demuxer rebases timestamps when the first RTCP sender report
// arrives, which is not a decoding error (nor are the repeat counts of that
// line). 'outputOptions' go before the output ("-fps_mode passthrough");
// 'frames', when given, gets the number of video frames ffmpeg decoded.
std::string ffmpegDecode(std::string const& url, char const* transport, int seconds,
                         std::string const& outputOptions = "", long* frames = nullptr);

// The same for several URLs, each decoded by its own ffmpeg at the same time;
// one result per URL.
std::vector<std::string> ffmpegDecodeAtOnce(std::vector<std::string> const& urls, char const* transport, int seconds);

// Plays 'url' with GStreamer's rtspsrc ('rtspsrcOptions' added to it) into an
// H.264 decoder and a u-law decoder, 50 buffers each. True when the pipeline
// reached its end of stream, i.e. both tracks decoded. rtspsrc's own shutdown
// afterwards sometimes races with itself ("Could not send message") and fails
// gst-launch's exit status; that says nothing about the server, so the end of
// stream is what counts. 'output' gets gst-launch's output.
// 'video' names the codec ("h264", "h265").
bool gstreamerPlays(std::string const& url, std::string const& rtspsrcOptions, std::string* output,
                    std::string const& video = "h264");

// One RTSP request/response on a blocking connection, with Digest answers
// when 'user' is given (a 401 is retried once with the nonce it carries).
// Tunnelled over HTTP once openTunnel succeeded: requests go in base64 on the
// POST connection, answers come on the GET connection ('fd').
struct RtspClient {
  int fd = -1;
  int postFd = -1;
  std::string pending;
  std::string user, password, nonce;
  int rtpFrames = 0;
  std::string host;  // numeric, IPv6 in brackets
  explicit RtspClient(uint16_t port = 8554, std::string const& to = "127.0.0.1") : host(to) {
    fd = daemontest::connectLoopback(port, 5000, host);
  }
  ~RtspClient() {
    if (fd >= 0) close(fd);
    if (postFd >= 0) close(postFd);
  }
  std::string request(std::string const& method, std::string const& url, std::string const& headers = "");
  int cseq = 0;
  // Sends the tunnel's GET on 'fd' and returns its answer; when that is 200,
  // opens the POST connection with the same cookie.
  std::string openTunnel(std::string const& cookie, std::string const& path = "/ch01");
};

// Reads interleaved frames from a playing TCP client until 'count' RTP
// packets on 'channel' arrived; fills their sequence numbers and SSRC.
bool readInterleaved(RtspClient& c, int channel, int count, std::vector<uint16_t>* seqs, uint32_t* ssrc, int timeoutMs,
                     bool* sawBye = nullptr);

}  // namespace e2e

#endif
