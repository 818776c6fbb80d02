// Socket helpers: listening sockets, reuse after a restart, bind errors, buffers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "BasicUsageEnvironment.hh"
#include "GroupsockHelper.hh"

namespace {

class SocketHelperTest : public ::testing::Test {
protected:
  void SetUp() override {
    sched = BasicTaskScheduler::createNew(10000);
    env = BasicUsageEnvironment::createNew(*sched);
  }
  void TearDown() override {
    env->reclaim();
    delete sched;
  }
  BasicTaskScheduler* sched;
  UsageEnvironment* env;
};

int connectTo(portNumBits port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return s;
}

portNumBits boundPort(UsageEnvironment& env, int sock) {
  Port p;
  EXPECT_TRUE(getSourcePort(env, sock, p));
  return p.hostOrder();
}

TEST_F(SocketHelperTest, ListeningSocketIsNonBlockingAndRebindsWhileOldConnectionsLinger) {
  int ls = setupStreamSocket(*env, Port(0), True, True);
  ASSERT_GE(ls, 0);
  EXPECT_TRUE(fcntl(ls, F_GETFL) & O_NONBLOCK);
  portNumBits port = boundPort(*env, ls);
  ASSERT_EQ(listen(ls, 5), 0);
  int c = connectTo(port);
  int a = accept(ls, nullptr, nullptr);
  ASSERT_GE(a, 0);
  // The server side closes first, so its end lingers in TIME_WAIT.
  ::close(a);
  ::close(ls);
  char buf[4];
  EXPECT_EQ(read(c, buf, sizeof buf), 0);
  ::close(c);
  int again = setupStreamSocket(*env, Port(port), True, False);
  EXPECT_GE(again, 0) << env->getResultMsg();
  ::close(again);
}

TEST_F(SocketHelperTest, TakenPortGivesBindErrorWithPortNumber) {
  int ls = setupStreamSocket(*env, Port(0));
  ASSERT_GE(ls, 0);
  portNumBits port = boundPort(*env, ls);
  ASSERT_EQ(listen(ls, 5), 0);
  EXPECT_EQ(setupStreamSocket(*env, Port(port)), -1);
  std::string expected = "bind() error (port number: " + std::to_string(port) + "): " + strerror(EADDRINUSE);
  EXPECT_EQ(env->getResultMsg(), expected);
  ::close(ls);
}

TEST_F(SocketHelperTest, DatagramSocketAndBuffers) {
  int s = setupDatagramSocket(*env, Port(0));
  ASSERT_GE(s, 0);
  EXPECT_NE(boundPort(*env, s), 0);
  unsigned before = getSendBufferSize(*env, s);
  unsigned after = increaseSendBufferTo(*env, s, before + 65536);
  EXPECT_GE(after, before);
  EXPECT_GE(getSendBufferSize(*env, s), before);
  ::close(s);
}

TEST_F(SocketHelperTest, OurAddressIsAnIPv4AddressOfThisHost) {
  netAddressBits a = ourIPAddress(*env);
  ASSERT_NE(a, 0u);
  // Whatever it is, it must be bindable here: it belongs to one of our interfaces.
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = a;
  EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << AddressString(a);
  ::close(s);
}

}  // namespace
