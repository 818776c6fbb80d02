// Helpers for the daemon's tests (media input, start-up, end to end):
// a private network namespace, a fake producer on loopback, captured output,
// child processes with deadlines, figures of a process from /proc, and
// driving the event loop until a condition holds. The RTSP request helpers
// (RtspRequestUtil.hh) come with it.
#ifndef OSTRA_DAEMON_TESTUTIL_HH
#define OSTRA_DAEMON_TESTUTIL_HH

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "BasicTaskScheduler.hh"
#include "RtspRequestUtil.hh"

namespace daemontest {

// Moves the calling process into a network namespace of its own with the
// loopback interface up, so fixed ports (8554, 13032, 13132) are free and
// nothing leaves the test. Needs root; returns false (and changes nothing)
// otherwise. Call while the process has one thread.
inline bool enterPrivateNetwork() {
  if (geteuid() != 0) return false;
  if (unshare(CLONE_NEWNET) != 0) return false;
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return false;
  struct ifreq ifr {};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  close(s);
  return ok;
}

inline int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Whether a TCP port on 127.0.0.1 can be bound now.
inline bool portFree(uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// Drives the scheduler until 'done' holds or 'timeoutMs' passes.
inline bool runUntil(BasicTaskScheduler& scheduler, std::function<bool()> const& done, int timeoutMs = 5000) {
  int64_t deadline = nowMs() + timeoutMs;
  while (!done()) {
    if (nowMs() > deadline) return false;
    scheduler.SingleStep(10000);
  }
  return true;
}

// A stand-in for the local producer: listens on 127.0.0.1:port, accepts
// connections on request and writes or closes them.
class FakeProducer {
public:
  explicit FakeProducer(uint16_t port) : fPort(port) {
    fListen = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (bind(fListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fListen, 16) != 0) {
      close(fListen);
      fListen = -1;
    }
  }
  ~FakeProducer() {
    for (int c : fConns)
      if (c >= 0) close(c);
    if (fListen >= 0) close(fListen);
  }
  FakeProducer(FakeProducer const&) = delete;
  FakeProducer& operator=(FakeProducer const&) = delete;

  bool listening() const { return fListen >= 0; }
  uint16_t port() const { return fPort; }

  // Accepts every connection already completed (the daemon's connect is
  // blocking, so a connection it made is in the queue when it returns).
  // Returns the number accepted now.
  int acceptPending(int waitMs = 0) {
    int n = 0;
    for (;;) {
      struct pollfd p {
        fListen, POLLIN, 0
      };
      if (poll(&p, 1, n == 0 ? waitMs : 0) <= 0) break;
      int c = accept(fListen, nullptr, nullptr);
      if (c < 0) break;
      fConns.push_back(c);
      ++n;
    }
    return n;
  }
  size_t numAccepted() const { return fConns.size(); }
  int conn(size_t i) const { return fConns.at(i); }

  bool send(size_t i, void const* data, size_t len) {
    return ::send(fConns.at(i), data, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len);
  }
  void closeConn(size_t i) {
    if (fConns.at(i) >= 0) close(fConns[i]);
    fConns[i] = -1;
  }
  // Waits until the daemon side of connection i has closed (end of stream),
  // counting any bytes it sent meanwhile into 'bytesFromPeer'.
  bool peerClosed(size_t i, int waitMs, size_t* bytesFromPeer = nullptr) {
    int64_t deadline = nowMs() + waitMs;
    char buf[256];
    for (;;) {
      int left = static_cast<int>(deadline - nowMs());
      struct pollfd p {
        fConns.at(i), POLLIN, 0
      };
      if (poll(&p, 1, left < 0 ? 0 : left) <= 0) return false;
      ssize_t r = recv(fConns[i], buf, sizeof buf, 0);
      if (r == 0) return true;
      if (r < 0) return errno == ECONNRESET;
      if (bytesFromPeer != nullptr) *bytesFromPeer += static_cast<size_t>(r);
    }
  }

private:
  uint16_t fPort;
  int fListen = -1;
  std::vector<int> fConns;
};

// Redirects one descriptor (1 or 2) into a temporary file while alive.
class CaptureFd {
public:
  explicit CaptureFd(int fd) : fFd(fd) {
    fflush(fd == 1 ? stdout : stderr);
    char name[] = "/tmp/ostra-capture-XXXXXX";
    fFile = mkstemp(name);
    unlink(name);
    fSaved = dup(fd);
    dup2(fFile, fd);
  }
  ~CaptureFd() { restore(); }
  std::string text() {
    fflush(fFd == 1 ? stdout : stderr);
    std::string out;
    char buf[4096];
    off_t off = 0;
    ssize_t r;
    while ((r = pread(fFile, buf, sizeof buf, off)) > 0) {
      out.append(buf, static_cast<size_t>(r));
      off += r;
    }
    return out;
  }
  void restore() {
    if (fSaved >= 0) {
      fflush(fFd == 1 ? stdout : stderr);
      dup2(fSaved, fFd);
      close(fSaved);
      fSaved = -1;
    }
  }

private:
  int fFd;
  int fFile = -1;
  int fSaved = -1;
};

inline size_t countOf(std::string const& text, std::string const& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) ++n;
  return n;
}

// A child process whose standard output and error are collected through pipes.
class Child {
public:
  // Runs 'body' in a forked child (in a process group of its own); its result
  // is the exit status.
  explicit Child(std::function<int()> const& body) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return;
    fflush(stdout);
    fflush(stderr);
    fPid = fork();
    if (fPid == 0) {
      dup2(outPipe[1], 1);
      dup2(errPipe[1], 2);
      close(outPipe[0]);
      close(errPipe[0]);
      close(outPipe[1]);
      close(errPipe[1]);
      setpgid(0, 0);
      _exit(body());
    }
    close(outPipe[1]);
    close(errPipe[1]);
    fOutFd = outPipe[0];
    fErrFd = errPipe[0];
  }
  ~Child() {
    kill();
    if (fOutFd >= 0) close(fOutFd);
    if (fErrFd >= 0) close(fErrFd);
  }
  Child(Child const&) = delete;
  Child& operator=(Child const&) = delete;

  pid_t pid() const { return fPid; }
  std::string const& out() {
    pump(0);
    return fOut;
  }
  std::string const& err() {
    pump(0);
    return fErr;
  }

  // Reads whatever the child wrote, waiting at most 'waitMs' for the first
  // bytes. False when both pipes are at end of file.
  bool pump(int waitMs) {
    struct pollfd p[2];
    int n = 0;
    if (fOutFd >= 0) p[n++] = {fOutFd, POLLIN, 0};
    if (fErrFd >= 0) p[n++] = {fErrFd, POLLIN, 0};
    if (n == 0) return false;
    if (poll(p, static_cast<nfds_t>(n), waitMs) <= 0) return true;
    char buf[8192];
    for (int i = 0; i < n; ++i) {
      if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      ssize_t r = read(p[i].fd, buf, sizeof buf);
      bool isOut = p[i].fd == fOutFd;
      if (r > 0) {
        (isOut ? fOut : fErr).append(buf, static_cast<size_t>(r));
      } else {
        close(p[i].fd);
        (isOut ? fOutFd : fErrFd) = -1;
      }
    }
    return true;
  }

  // Waits for 'needle' in the child's standard error (or output).
  bool waitForText(std::string const& needle, int timeoutMs, bool inStdout = false) {
    return waitForCount(needle, 1, timeoutMs, inStdout);
  }
  // Waits until 'needle' appears at least 'count' times.
  bool waitForCount(std::string const& needle, size_t count, int timeoutMs, bool inStdout = false) {
    int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
      if (countOf(inStdout ? fOut : fErr, needle) >= count) return true;
      int64_t left = deadline - nowMs();
      if (left < 0) return false;
      if (!pump(static_cast<int>(left > 100 ? 100 : left)) && !running()) {
        return countOf(inStdout ? fOut : fErr, needle) >= count;
      }
    }
  }
  bool running() {
    if (fReaped || fPid <= 0) return false;
    int status = 0;
    if (waitpid(fPid, &status, WNOHANG) == fPid) {
      fReaped = true;
      fStatus = status;
      return false;
    }
    return true;
  }
  // Waits for the child to end (its pipes reach end of file); false when it
  // did not end in time.
  bool waitExit(int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    while (running()) {
      int64_t left = deadline - nowMs();
      if (left < 0) return false;
      if (!pump(static_cast<int>(left > 100 ? 100 : left))) {
        // Both pipes closed: the child is ending; reap it.
        int status = 0;
        if (waitpid(fPid, &status, 0) == fPid) {
          fReaped = true;
          fStatus = status;
        }
      }
    }
    pump(0);
    return true;
  }
  int exitStatus() const { return fReaped && WIFEXITED(fStatus) ? WEXITSTATUS(fStatus) : -1; }
  bool killedBySignal() const { return fReaped && WIFSIGNALED(fStatus); }
  void kill(int sig = SIGKILL) {
    if (fPid > 0 && running()) {
      ::kill(-fPid, sig);
      ::kill(fPid, sig);
      int status = 0;
      if (waitpid(fPid, &status, 0) == fPid) {
        fReaped = true;
        fStatus = status;
      }
    }
  }

private:
  pid_t fPid = -1;
  int fOutFd = -1, fErrFd = -1;
  std::string fOut, fErr;
  bool fReaped = false;
  int fStatus = 0;
};

// CPU time of a process (user + system) in clock ticks, from /proc; -1 when it is gone.
inline long cpuTicks(pid_t pid) {
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return -1;
  char buf[1024];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = '\0';
  char const* p = strrchr(buf, ')');  // the command name may hold blanks
  unsigned long utime = 0, stime = 0;
  if (p == nullptr || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) {
    return -1;
  }
  return static_cast<long>(utime + stime);
}

// Share of one core a process used while 'body' ran, in percent.
inline double cpuPercentDuring(pid_t pid, std::function<void()> const& body) {
  long ticks0 = cpuTicks(pid);
  int64_t t0 = nowMs();
  body();
  long ticks = cpuTicks(pid) - ticks0;
  int64_t ms = nowMs() - t0;
  return ms > 0 ? 100.0 * 1000.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK) * ms) : 0;
}

// Descriptors a process has open, from /proc.
inline int openDescriptors(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

// Resident memory of a process in kB (VmRSS), or -1.
inline long residentKb(pid_t pid) {
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (f == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "VmRSS:", 6) == 0) kb = strtol(line + 6, nullptr, 10);
  }
  fclose(f);
  return kb;
}

// Runs a shell command line; its exit status (or -1).
inline int shell(std::string const& command) {
  int st = system(command.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace daemontest

#endif
