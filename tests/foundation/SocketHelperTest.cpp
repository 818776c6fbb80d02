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

// Text, URL host and identity of addresses of both families: v4-mapped is
// IPv4, a link-local address is one per interface, nothing else has a zone.
TEST_F(SocketHelperTest, AddressesOfBothFamiliesAreComparedWhole) {
  struct Row {
    char const* text;
    int family;
    char const* shown;
    char const* url;
  } const rows[] = {
      {"192.168.1.64", AF_INET, "192.168.1.64", "192.168.1.64"},
      {"::ffff:192.168.1.64", AF_INET, "192.168.1.64", "192.168.1.64"},
      {"fd00:0:0:0:0:0:0:2", AF_INET6, "fd00::2", "[fd00::2]"},
      {"::1", AF_INET6, "::1", "[::1]"},
      {"fe80::1", AF_INET6, "fe80::1", "[fe80::1]"},
      {"camera.local", AF_UNSPEC, "", ""},
  };
  for (Row const& r : rows) {
    NetAddress const a = NetAddress::fromText(r.text);
    EXPECT_EQ(a.family(), r.family) << r.text;
    EXPECT_EQ(a.text(), r.shown) << r.text;
    EXPECT_EQ(a.urlHost(), r.url) << r.text;
  }
  EXPECT_EQ(NetAddress::fromText("::ffff:10.0.0.5"), NetAddress::fromText("10.0.0.5"));
  EXPECT_NE(NetAddress::fromText("::a00:5"), NetAddress::fromText("10.0.0.5"));
  EXPECT_NE(NetAddress::fromText("fd00::5"), NetAddress::fromText("fd00:0:0:1::5"));
  struct in6_addr const linkLocal = NetAddress::fromText("fe80::1").ipv6();
  EXPECT_NE(NetAddress(linkLocal, 2), NetAddress(linkLocal, 3));
  EXPECT_EQ(NetAddress(linkLocal, 2).scopeId(), 2u);
  EXPECT_EQ(NetAddress(NetAddress::fromText("fd00::1").ipv6(), 2).scopeId(), 0u);
  // Sent to through a dual-stack socket, an IPv4 address goes v4-mapped.
  struct sockaddr_storage out;
  ASSERT_EQ(NetAddress::fromText("10.0.0.5").toSockaddr(Port(554), AF_INET6, out), sizeof(sockaddr_in6));
  Port port;
  EXPECT_EQ(NetAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&out), sizeof out, &port),
            NetAddress::fromText("10.0.0.5"));
  EXPECT_EQ(port.hostOrder(), 554);
  EXPECT_EQ(NetAddress::fromText("::1").toSockaddr(Port(554), AF_INET, out), 0u);  // no IPv6 on an IPv4 socket
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
