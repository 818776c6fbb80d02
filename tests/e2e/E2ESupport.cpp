#include "E2ESupport.hh"

#include "../support/EmulatedCommand.hh"

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace e2e {

std::string ostraBinary() { return OSTRA_BINARY_DIR "/src/ostra"; }

std::string mpeg4OstraBinary() {
  // The MPEG-4 build lives beside this one: <build>-mpeg4 (configured with -DOSTRA_VIDEO_CODEC=4).
  std::string p = OSTRA_BINARY_DIR "-mpeg4/src/ostra";
  return access(p.c_str(), X_OK) == 0 ? p : std::string();
}

std::string h265OstraBinary() {
  // The H.265 build lives beside this one: <build>-h265 (configured with -DOSTRA_VIDEO_CODEC=6).
  std::string p = OSTRA_BINARY_DIR "-h265/src/ostra";
  return access(p.c_str(), X_OK) == 0 ? p : std::string();
}

std::string streamUrl(int channel, std::string const& credentials, std::string const& host) {
  return "rtsp://" + (credentials.empty() ? "" : credentials + "@") + host + ":8554/ch0" + std::to_string(channel + 1);
}

std::string producerBinary() { return OSTRA_BINARY_DIR "/tools/producer/ostra-producer"; }

namespace {

bool enterSandbox() {
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  // A new root on a tmpfs over /mnt: every top-level folder of the host bound
  // in, except /var and /talpa, which are made fresh.
  if (mount("sandbox", "/mnt", "tmpfs", 0, "mode=755") != 0) return false;
  DIR* d = opendir("/");
  if (d == nullptr) return false;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || name == "mnt" || name == "var" || name == "talpa") continue;
    std::string from = "/" + name, to = "/mnt/" + name;
    struct stat st {};
    if (lstat(from.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
      if (n > 0) {
        target[n] = '\0';
        if (symlink(target, to.c_str()) != 0) return false;
      }
    } else if (S_ISDIR(st.st_mode)) {
      mkdir(to.c_str(), 0755);
      mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
    }
  }
  closedir(d);
  for (char const* dir :
       {"/mnt/var", "/mnt/var/run", "/mnt/var/etc", "/mnt/var/tmp", "/mnt/var/lib", "/mnt/talpa", "/mnt/talpa/bin"}) {
    mkdir(dir, 0755);
  }
  mount("/var/lib", "/mnt/var/lib", nullptr, MS_BIND | MS_REC, nullptr);
  if (chroot("/mnt") != 0 || chdir("/") != 0) return false;
  // Loopback up in the fresh network namespace.
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  struct ifreq ifr {};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  close(s);
  return ok;
}

}  // namespace

void runScenario(std::function<int()> const& scenario, int timeoutMs) {
  if (geteuid() != 0) GTEST_SKIP() << "end-to-end tests need root (private network and mount namespaces)";
  if (access(ostraBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "no daemon binary at " << ostraBinary();
  daemontest::Child child([&] {
    if (!enterSandbox()) {
      perror("sandbox");
      return 90;
    }
    int failures = scenario();
    fflush(stdout);  // the child ends with _exit
    return failures == 0 ? 0 : 1;
  });
  bool ended = child.waitExit(timeoutMs);
  EXPECT_TRUE(ended) << "scenario did not end in " << timeoutMs << " ms\n" << child.err();
  EXPECT_EQ(child.exitStatus(), 0) << child.err() << child.out();
  std::istringstream lines(child.out());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("figure: ", 0) == 0) printf("%s\n", line.c_str());
  }
}

std::unique_ptr<daemontest::Child> start(std::vector<std::string> const& argv) {
  return std::make_unique<daemontest::Child>([command = daemontest::emulatedCommand(argv)] {
    std::vector<char*> args;
    for (auto const& a : command) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    perror("execv");
    return 127;
  });
}

int runCommand(std::string const& command, int timeoutMs, std::string* output) {
  auto c = start({"/bin/sh", "-c", command + " 2>&1"});
  bool ended = c->waitExit(timeoutMs);
  if (!ended) c->kill();
  if (output != nullptr) *output = c->out() + c->err();
  return ended ? c->exitStatus() : -2;
}

bool waitListening(uint16_t port, daemontest::Child& owner, int timeoutMs) {
  int64_t deadline = daemontest::nowMs() + timeoutMs;
  while (daemontest::portFree(port)) {
    if (daemontest::nowMs() > deadline || !owner.running()) return false;
    owner.pump(20);
  }
  return true;
}

void writeFile(std::string const& path, std::string const& text) {
  std::ofstream f(path + ".part");
  f << text;
  f.close();
  rename((path + ".part").c_str(), path.c_str());
}

std::string readFile(std::string const& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

namespace {

// The shell command of one ffmpegDecode run; its files are named with 'tag'.
std::string decodeCommand(std::string const& url, char const* transport, int seconds, std::string const& outputOptions,
                          std::string const& tag) {
  std::string const log = "/var/tmp/ffmpeg" + tag + ".log";
  return std::string("ffmpeg -nostdin -v error -progress /var/tmp/ffmpeg") + tag + ".progress -rtsp_transport " +
         transport + " -i " + url + " -map 0 -t " + std::to_string(seconds) + " " + outputOptions + " -f null - > " +
         log + " 2>&1; rc=$?; grep -v -e 'non monotonically increasing dts' -e 'Last message repeated' " + log +
         "; [ $rc = 0 ] && echo decoded";
}

}  // namespace

std::string ffmpegDecode(std::string const& url, char const* transport, int seconds, std::string const& outputOptions,
                         long* frames) {
  std::string out;
  unlink("/var/tmp/ffmpeg.progress");
  runCommand(decodeCommand(url, transport, seconds, outputOptions, ""), seconds * 1000 + 30000, &out);
  if (frames != nullptr) {
    // The progress file holds blocks of key=value lines; the last block's count is the total.
    *frames = -1;
    std::istringstream lines(readFile("/var/tmp/ffmpeg.progress"));
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("frame=", 0) == 0) *frames = strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return out;
}

std::vector<std::string> ffmpegDecodeAtOnce(std::vector<std::string> const& urls, char const* transport, int seconds) {
  std::string command;
  for (size_t i = 0; i < urls.size(); ++i) {
    std::string const tag = std::to_string(i);
    command += "(" + decodeCommand(urls[i], transport, seconds, "", tag) + ") > /var/tmp/ffmpeg" + tag + ".out & ";
  }
  runCommand(command + "wait", seconds * 1000 + 30000);
  std::vector<std::string> results;
  for (size_t i = 0; i < urls.size(); ++i) results.push_back(readFile("/var/tmp/ffmpeg" + std::to_string(i) + ".out"));
  return results;
}

std::string RtspClient::request(std::string const& method, std::string const& url, std::string const& headers) {
  auto send = [&](std::string const& auth) {
    std::string req =
        method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq) + "\r\n" + headers + auth + "\r\n";
    if (postFd < 0) return daemontest::rtspRequest(fd, req, pending, &rtpFrames);
    std::string body = daemontest::base64(req);
    if (::send(postFd, body.data(), body.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(body.size()))
      return std::string();
    return daemontest::readRtspResponse(fd, pending, &rtpFrames);
  };
  std::string auth;
  if (!user.empty() && !nonce.empty()) {
    auth = "Authorization: " +
           daemontest::digestAuthorization(user, password, "LIVE555 Streaming Media", nonce, method, url) + "\r\n";
  }
  std::string r = send(auth);
  if (!user.empty() && r.rfind("RTSP/1.0 401", 0) == 0) {
    nonce = daemontest::digestField(daemontest::headerValue(r, "WWW-Authenticate"), "nonce");
    auth = "Authorization: " +
           daemontest::digestAuthorization(user, password, "LIVE555 Streaming Media", nonce, method, url) + "\r\n";
    r = send(auth);
  }
  return r;
}

std::string RtspClient::openTunnel(std::string const& cookie, std::string const& path) {
  std::string head = " " + path + " HTTP/1.0\r\nx-sessioncookie: " + cookie + "\r\n";
  std::string r = daemontest::rtspRequest(fd, "GET" + head + "Accept: application/x-rtsp-tunnelled\r\n\r\n", pending);
  if (r.rfind("HTTP/1.0 200 OK\r\n", 0) != 0) return r;
  postFd = daemontest::connectLoopback(8554, 5000, host);
  std::string post = "POST" + head + "Content-Type: application/x-rtsp-tunnelled\r\nContent-Length: 32767\r\n\r\n";
  ::send(postFd, post.data(), post.size(), MSG_NOSIGNAL);
  return r;
}

bool readInterleaved(RtspClient& c, int channel, int count, std::vector<uint16_t>* seqs, uint32_t* ssrc, int timeoutMs,
                     bool* sawBye) {
  int64_t deadline = daemontest::nowMs() + timeoutMs;
  int got = 0;
  char buf[65536];
  while (got < count || (sawBye != nullptr && !*sawBye && count == 0)) {
    // Parse complete frames.
    while (c.pending.size() >= 4 && c.pending[0] == '$') {
      size_t len = (static_cast<unsigned char>(c.pending[2]) << 8) | static_cast<unsigned char>(c.pending[3]);
      if (c.pending.size() < 4 + len) break;
      int ch = static_cast<unsigned char>(c.pending[1]);
      unsigned char const* p = reinterpret_cast<unsigned char const*>(c.pending.data()) + 4;
      if (ch == channel && len >= 12) {
        ++got;
        if (seqs != nullptr) seqs->push_back(static_cast<uint16_t>((p[2] << 8) | p[3]));
        if (ssrc != nullptr) *ssrc = (uint32_t(p[8]) << 24) | (uint32_t(p[9]) << 16) | (uint32_t(p[10]) << 8) | p[11];
      } else if (ch == channel + 1 && sawBye != nullptr) {
        // A compound RTCP packet: look for a BYE (packet type 203).
        size_t off = 0;
        while (off + 4 <= len) {
          if (p[off + 1] == 203) *sawBye = true;
          off += 4 * (((p[off + 2] << 8) | p[off + 3]) + 1);
        }
      }
      c.pending.erase(0, 4 + len);
    }
    if (got >= count && (sawBye == nullptr || *sawBye || count > 0)) break;
    if (!c.pending.empty() && c.pending[0] != '$') {
      size_t end = c.pending.find("\r\n\r\n");  // an RTSP response in between: drop it
      if (end == std::string::npos) goto more;
      c.pending.erase(0, end + 4);
      continue;
    }
  more:
    if (daemontest::nowMs() > deadline) return false;
    {
      struct pollfd p {
        c.fd, POLLIN, 0
      };
      if (poll(&p, 1, 100) <= 0) continue;
      ssize_t r = recv(c.fd, buf, sizeof buf, 0);
      if (r <= 0) return sawBye != nullptr && *sawBye;
      c.pending.append(buf, static_cast<size_t>(r));
    }
  }
  return true;
}

bool gstreamerPlays(std::string const& url, std::string const& rtspsrcOptions, std::string* output,
                    std::string const& video) {
  runCommand("gst-launch-1.0 rtspsrc location=" + url + " " + rtspsrcOptions + " name=s s. ! rtp" + video + "depay ! " +
                 video + "parse ! avdec_" + video +
                 " ! fakesink num-buffers=50"
                 " s. ! rtppcmudepay ! mulawdec ! fakesink num-buffers=50",
             30000, output);
  return output->find("Got EOS from element \"pipeline0\"") != std::string::npos;
}

}  // namespace e2e
