// Groupsock fan-out: one datagram to every destination, in batches, through
// real loopback UDP sockets; failing destinations are skipped and counted.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "BasicUsageEnvironment.hh"
#include "Groupsock.hh"

namespace {

class GroupsockFanoutTest : public ::testing::Test {
protected:
  void SetUp() override {
    sched = BasicTaskScheduler::createNew(10000);
    env = BasicUsageEnvironment::createNew(*sched);
  }
  void TearDown() override {
    for (int s : receivers) close(s);
    if (raisedLimit) setrlimit(RLIMIT_NOFILE, &savedLimit);
    env->reclaim();
    delete sched;
  }

  // Opens 'n' UDP sockets on 127.0.0.1; false when the descriptor limit is too low.
  bool openReceivers(unsigned n) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
    rlim_t want = n + 64;
    if (rl.rlim_cur < want) {
      if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want) return false;
      savedLimit = rl;
      rl.rlim_cur = want;
      if (setrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
      raisedLimit = true;
    }
    for (unsigned i = 0; i < n; ++i) {
      int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
      if (s < 0) return false;
      receivers.push_back(s);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
      socklen_t len = sizeof a;
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
      ports.push_back(ntohs(a.sin_port));
    }
    return true;
  }

  // Reads the datagrams waiting on receiver 'i': waits (bounded) for the
  // first of 'expected', then takes whatever else is queued.
  std::vector<std::vector<unsigned char>> drain(size_t i, unsigned expected) {
    std::vector<std::vector<unsigned char>> got;
    unsigned char buf[2048];
    while (true) {
      if (got.size() < expected) {
        pollfd p{receivers[i], POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) break;
      }
      ssize_t n = recv(receivers[i], buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0) break;
      got.emplace_back(buf, buf + n);
    }
    return got;
  }

  static in_addr loopback() {
    in_addr a;
    a.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }

  BasicTaskScheduler* sched = nullptr;
  UsageEnvironment* env = nullptr;
  std::vector<int> receivers;
  std::vector<uint16_t> ports;
  struct rlimit savedLimit {};
  bool raisedLimit = false;
};

TEST_F(GroupsockFanoutTest, MoreDestinationsThanOneBatchEachGetExactlyOneCopy) {
  // Two full batches and a part of a third.
  unsigned const n = 2 * Groupsock::kMaxBatch + 77;
  Groupsock gs(*env, Port(0));
  ASSERT_GE(gs.socketNum(), 0);
  if (!openReceivers(n)) GTEST_SKIP() << "cannot open " << n << " sockets here";
  int big = 8 << 20;
  setsockopt(gs.socketNum(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  for (unsigned i = 0; i < n; ++i) gs.addDestination(loopback(), Port(ports[i]), i / 100);
  ASSERT_EQ(gs.numDestinations(), n);

  unsigned char first[300], second[1200];
  for (unsigned i = 0; i < sizeof first; ++i) first[i] = static_cast<unsigned char>(i * 3);
  for (unsigned i = 0; i < sizeof second; ++i) second[i] = static_cast<unsigned char>(i * 5 + 1);
  EXPECT_TRUE(gs.output(*env, first, sizeof first));
  EXPECT_TRUE(gs.output(*env, second, sizeof second));
  EXPECT_EQ(gs.numSendFailures(), 0u);
  for (size_t i = 0; i < n; ++i) {
    auto got = drain(i, 2);
    ASSERT_EQ(got.size(), 2u) << "destination " << i;
    EXPECT_EQ(got[0], std::vector<unsigned char>(first, first + sizeof first)) << "destination " << i;
    EXPECT_EQ(got[1], std::vector<unsigned char>(second, second + sizeof second)) << "destination " << i;
  }

  // Fewer destinations afterwards: the removed ones get nothing more.
  gs.removeDestination(3);   // destinations 300..399
  gs.removeDestination(20);  // 2000..2099
  ASSERT_EQ(gs.numDestinations(), n - 200);
  EXPECT_TRUE(gs.output(*env, first, 100));
  for (size_t i = 0; i < n; ++i) {
    bool removed = (i >= 300 && i < 400) || (i >= 2000 && i < 2100);
    auto got = drain(i, removed ? 0 : 1);
    ASSERT_EQ(got.size(), removed ? 0u : 1u) << "destination " << i;
    if (!removed) {
      EXPECT_EQ(got[0], std::vector<unsigned char>(first, first + 100)) << "destination " << i;
    }
  }
}

TEST_F(GroupsockFanoutTest, AFailingDestinationIsCountedAndSkippedAndTheRestStillGetTheDatagram) {
  unsigned const n = Groupsock::kMaxBatch + 10;
  Groupsock gs(*env, Port(0));
  ASSERT_GE(gs.socketNum(), 0);
  if (!openReceivers(n)) GTEST_SKIP() << "cannot open " << n << " sockets here";
  int big = 8 << 20;
  setsockopt(gs.socketNum(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  // Port 0 cannot be sent to (each on another loopback address, so none is a
  // duplicate): the first destination, one in the middle of a batch, the last
  // of the first batch and the very last destination.
  std::vector<size_t> bad = {0, 500, Groupsock::kMaxBatch - 1, n + 3};
  size_t r = 0;
  for (size_t i = 0; i < n + bad.size(); ++i) {
    bool isBad = false;
    for (size_t b : bad) isBad = isBad || b == i;
    if (isBad) {
      in_addr a;
      a.s_addr = htonl(INADDR_LOOPBACK + 1 + static_cast<uint32_t>(i));
      gs.addDestination(a, Port(0), 1000 + static_cast<unsigned>(i));
    } else {
      gs.addDestination(loopback(), Port(ports[r++]), 1);
    }
  }
  ASSERT_EQ(r, n);
  ASSERT_EQ(gs.numDestinations(), n + bad.size());

  unsigned char data[64];
  std::memset(data, 0x5A, sizeof data);
  EXPECT_FALSE(gs.output(*env, data, sizeof data));
  EXPECT_EQ(gs.numSendFailures(), bad.size());
  for (size_t i = 0; i < n; ++i) {
    auto got = drain(i, 1);
    ASSERT_EQ(got.size(), 1u) << "destination " << i;
    EXPECT_EQ(got[0].size(), sizeof data);
  }
}

}  // namespace
