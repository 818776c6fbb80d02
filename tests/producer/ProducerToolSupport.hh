// Helpers for the tests of the built ostra-producer: the tool as a child process (its report in a file, its
// start-up line read from standard error), loopback connections to it, reading them to their end, and the fields
// of its report lines.
#ifndef OSTRA_TESTS_PRODUCER_TOOL_SUPPORT_HH
#define OSTRA_TESTS_PRODUCER_TOOL_SUPPORT_HH

#include "../../tools/producer/AnnexB.hh"
#include "../support/EmulatedCommand.hh"

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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace ostra_producer::tooltest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline char const* producerPath() { return OSTRA_BINARY_DIR "/tools/producer/ostra-producer"; }

inline int64_t realtimeNs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline std::string readFile(std::string const& path) {
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

inline int connectTo(int port) {
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

inline int localPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// Reads from every socket until each has reached end of stream (or `limit` bytes), bounded by a deadline.
// Returns false on time-out.
inline bool readAll(std::vector<int> const& fds, std::vector<Bytes>* out, std::chrono::seconds bound,
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
inline std::map<std::string, std::string> reportFields(std::string const& report, std::string const& prefix,
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

inline unsigned long long num(std::map<std::string, std::string> const& f, char const* key) {
  auto it = f.find(key);
  return it == f.end() ? ~0ull : std::stoull(it->second);
}

// The connection id the producer gave to our socket, from its "open" report line.
inline std::string connIdOf(std::string const& report, int fd) {
  auto f = reportFields(report, "ostra-producer: open", "peer=127.0.0.1:" + std::to_string(localPort(fd)));
  return f.count("conn") ? f["conn"] : "?";
}

inline bool startsWithSps(Bytes const& b, StreamUnit const& u) {
  auto el = findElements(b.data() + u.offset, u.size);
  return !el.empty() && el[0].offset == 0 && nalType(b.data() + u.offset, el[0]) == 7;
}

inline std::string runCommand(std::string const& cmd) {
  std::string out;
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  pclose(f);
  return out;
}

}  // namespace ostra_producer::tooltest

#endif
