// Hostile numbers of connections: idle ones are closed in time, those beyond
// the limit at once, and with no descriptor left the server pauses accepting
// instead of spinning; the other clients are served all along.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../support/DaemonTestUtil.hh"
#include "HostileInputTestSupport.hh"

using namespace rtsptest;

namespace {

TEST_F(HostileInputTest, IdleConnectionsDoNotStallOthersAndAreClosedInTime) {
  start(18572, 1);
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 300; ++i) {
    idle.push_back(std::make_unique<RawClient>(loop, port));
    loop.scheduler->SingleStep(1000);  // lets the server accept (its backlog is 20)
  }
  RawClient half(loop, port);
  half.sendText("DESCRIBE rtsp://127.0.0.1/ch01 RTSP/1.0\r\nCSe");  // never finished
  expectOthersServed();
  // Connections that never set anything up are closed once they stay quiet.
  EXPECT_TRUE(loop.runUntil(
      [&] {
        size_t closed = 0;
        for (auto& c : idle) {
          c->pump();
          if (c->peerClosed()) ++closed;
        }
        half.pump();
        return closed == idle.size() && half.peerClosed();
      },
      5000));
  expectOthersServed();
}

TEST_F(HostileInputTest, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  start(18575);
  // The descriptor limit less the reserve, never more than the ceiling.
  struct rlimit rl;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  EXPECT_EQ(server->maxConnections(),
            std::min<rlim_t>(rl.rlim_cur - RTSPServer::kDefaultDescriptorReserve, RTSPServer::kDefaultMaxConnections));
  server->setConnectionLimits(32, 100000000);
  EXPECT_EQ(server->maxConnections(), std::min<rlim_t>(rl.rlim_cur - 32, 100000000));
  server->setConnectionLimits(0, 3);
  EXPECT_EQ(server->maxConnections(), 3u);
  std::vector<std::unique_ptr<RawClient>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(std::make_unique<RawClient>(loop, port));
    EXPECT_EQ(held.back()->request("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n").substr(0, 15), "RTSP/1.0 200 OK");
  }
  // One more is closed without a word; none waits in the listen queue.
  RawClient over(loop, port);
  over.sendText("OPTIONS * RTSP/1.0\r\nCSeq: 2\r\n\r\n");
  EXPECT_TRUE(over.waitClosed(2000));
  EXPECT_TRUE(over.pendingInput().empty());
  // Once one leaves, the next is served.
  held[0].reset();
  EXPECT_TRUE(loop.runUntil([&] {
    RawClient probe(loop, port);
    return probe.request("OPTIONS * RTSP/1.0\r\nCSeq: 3\r\n\r\n", 500).substr(0, 15) == "RTSP/1.0 200 OK";
  }));
}

TEST_F(HostileInputTest, NoDescriptorLeftPausesAcceptingInsteadOfSpinning) {
  // The server runs in a child whose descriptor table is full but for two.
  unsigned short const p = 18576;
  daemontest::Child serverProcess([p] {
    Loop childLoop;
    RTSPServer* s = RTSPServer::createNew(*childLoop.env, Port(p), nullptr, 65);
    if (s == nullptr) return 1;
    s->setConnectionLimits(0, 4096);  // only the descriptor table itself stops it
    int highest = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
      while (struct dirent* e = readdir(d)) highest = std::max(highest, atoi(e->d_name));
      closedir(d);
    }
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = static_cast<rlim_t>(highest) + 16;
    setrlimit(RLIMIT_NOFILE, &rl);
    std::vector<int> filler;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) filler.push_back(fd);
    close(filler.back());
    close(filler[filler.size() - 2]);
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) childLoop.scheduler->SingleStep();
  });
  ASSERT_TRUE(serverProcess.waitForText("ready\n", 5000, true)) << serverProcess.err();
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(std::make_unique<RawClient>(loop, p));
    clients.back()->sendText("OPTIONS * RTSP/1.0\r\nCSeq: " + std::to_string(i) + "\r\n\r\n");
  }
  auto answered = [&] {
    int n = 0;
    for (auto& c : clients) {
      c->pump();
      if (c->pendingInput().rfind("RTSP/1.0 200 OK", 0) == 0) ++n;
    }
    return n;
  };
  ASSERT_TRUE(loop.runUntil([&] { return answered() == 2; }));
  // Three wait in the listen queue: the server does not spin on them.
  double cpu = daemontest::cpuPercentDuring(serverProcess.pid(), [&] { loop.runFor(1000); });
  EXPECT_LT(cpu, 20.0) << "% of a core";
  EXPECT_EQ(answered(), 2);
  EXPECT_TRUE(serverProcess.running());
  // A descriptor comes free: the next one waiting is taken and answered.
  for (auto& c : clients) {
    if (!c->pendingInput().empty()) {
      c.reset();
      break;
    }
  }
  clients.erase(std::remove(clients.begin(), clients.end(), nullptr), clients.end());
  EXPECT_TRUE(loop.runUntil([&] { return answered() == 2; }, 3000));
}

}  // namespace
