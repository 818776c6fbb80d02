// Requests naming another client's session: a session answers only its own
// client (with Digest, or by its address without credentials).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../support/DaemonTestUtil.hh"
#include "HostileInputTestSupport.hh"

using namespace rtsptest;

namespace {

// The requests another client could send naming a session: SETUP (moving a
// track to its own port), PLAY, PAUSE, GET_PARAMETER, SET_PARAMETER, OPTIONS
// and TEARDOWN (last); 'text' holds their headers after the request line.
struct SessionRequest {
  std::string method, uri, text;
};
std::vector<SessionRequest> sessionRequests(std::string const& base, std::string const& id, unsigned short clientPort) {
  std::vector<SessionRequest> out;
  for (std::string method : {"SETUP", "PLAY", "PAUSE", "GET_PARAMETER", "SET_PARAMETER", "OPTIONS", "TEARDOWN"}) {
    std::string uri = method == "SETUP" ? base + "/track1" : base;
    std::string text = "CSeq: " + std::to_string(out.size() + 1) + "\r\nSession: " + id + "\r\n";
    if (method == "SETUP") {
      text += "Transport: RTP/AVP;unicast;client_port=" + std::to_string(clientPort) + "-" +
              std::to_string(clientPort + 1) + "\r\n";
    }
    out.push_back({method, uri, text});
  }
  return out;
}

// Where the session's client is, the other host that names its session, and
// a third address of that host's. Over IPv6 the other host is a second
// address in a network namespace of the test's own (lo with fd00::2 and
// fd00::9); an IPv4 client and the same machine over IPv6 are two hosts.
struct Hosts {
  char const* name;
  char const* client;  // the server is reached at this address too
  char const* other;
  char const* third;
  bool ownNetwork;
};

class HostileSessionAccessTest : public HostileInputTest, public ::testing::WithParamInterface<Hosts> {
protected:
  // Runs 'body' here, or in a child process in a network namespace of its
  // own with the extra IPv6 addresses (skipped without root).
  void run(std::function<void()> const& body) {
    Hosts const h = GetParam();
    serverAddress = NetAddress::fromText(h.client);
    if (!h.ownNetwork) return body();
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    pid_t child = fork();
    if (child == 0) {
      bool ok = daemontest::enterPrivateNetwork() &&
                system("ip -6 addr add fd00::2/128 dev lo nodad && ip -6 addr add fd00::9/128 dev lo nodad") == 0;
      if (ok) body();
      Medium::close(server);
      server = nullptr;
      _exit(ok && !::testing::Test::HasFailure() && counters.alive == 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the run in its own network failed (see above)";
  }
  void answersOnlyItsOwnClient(Hosts const& h);
  void tiedToItsClientsAddress(Hosts const& h);
};

TEST_P(HostileSessionAccessTest, ASessionAnswersOnlyItsOwnClient) {
  run([this] { answersOnlyItsOwnClient(GetParam()); });
}
TEST_P(HostileSessionAccessTest, WithoutCredentialsASessionIsStillTiedToItsClientsAddress) {
  run([this] { tiedToItsClientsAddress(GetParam()); });
}

INSTANTIATE_TEST_SUITE_P(Families, HostileSessionAccessTest,
                         ::testing::Values(Hosts{"IPv4", "127.0.0.1", "127.0.0.2", "127.0.0.9", false},
                                           Hosts{"IPv6", "::1", "fd00::2", "fd00::9", true},
                                           Hosts{"IPv4ClientIPv6Other", "127.0.0.1", "::1", "fd00::9", true}),
                         [](::testing::TestParamInfo<Hosts> const& info) { return info.param.name; });

void HostileSessionAccessTest::answersOnlyItsOwnClient(Hosts const& h) {
  db = std::make_unique<UserAuthenticationDatabase>();
  db->addUserRecord("alice", "secret");
  start(18650);
  RawClient victim(loop, port, nullptr, h.client);
  UdpReceiver rtp(h.client), intruderRTP(h.other);
  std::string setup = "SETUP " + url("/track1") +
                      " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=" + std::to_string(rtp.port()) +
                      "-" + std::to_string(rtp.port() + 1) + "\r\n";
  std::string nonce = nonceOf(victim.request(setup + "\r\n"));
  std::string id = sessionId(victim.request(setup + authorization("SETUP", url("/track1"), nonce) + "\r\n"));
  ASSERT_EQ(id.size(), 8u);
  // The session's own connection goes by the id alone.
  ASSERT_EQ(victim.request("PLAY " + url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + id + "\r\n\r\n").substr(0, 15),
            "RTSP/1.0 200 OK");
  auto streams = [&](size_t more) {
    rtp.pump();
    size_t target = rtp.packets.size() + more;
    return loop.runUntil([&] {
      rtp.pump();
      return rtp.packets.size() >= target;
    });
  };
  ASSERT_TRUE(streams(3));
  std::vector<SessionRequest> requests = sessionRequests(url(), id, intruderRTP.port());

  // Another host: the session does not exist for it, even with valid Digest.
  RawClient far(loop, port, h.other, h.other);
  std::string farNonce = nonceOf(far.request("DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 9\r\n\r\n"));
  ASSERT_FALSE(farNonce.empty());
  for (SessionRequest const& q : requests) {
    std::string r = far.request(q.method + " " + q.uri + " RTSP/1.0\r\n" + q.text +
                                authorization(q.method, q.uri, farNonce) + "\r\n");
    EXPECT_EQ(normalizeDate(r),
              "RTSP/1.0 454 Session Not Found\r\nCSeq: " + headerValue(r, "CSeq") + "\r\nDate: <date>\r\n\r\n")
        << q.method;
  }
  // The same host on another connection, without Authorization: 401, each with a fresh nonce.
  RawClient near(loop, port, nullptr, h.client);
  std::set<std::string> nonces;
  for (SessionRequest const& q : requests) {
    std::string r = near.request(q.method + " " + q.uri + " RTSP/1.0\r\n" + q.text + "\r\n");
    EXPECT_EQ(r.substr(0, 25), "RTSP/1.0 401 Unauthorized") << q.method << "\n" << r;
    nonces.insert(nonceOf(r));
  }
  EXPECT_EQ(nonces.size(), requests.size());
  EXPECT_EQ(nonces.count(""), 0u);
  // The victim's stream stayed where it was.
  EXPECT_TRUE(streams(5));
  intruderRTP.pump();
  EXPECT_TRUE(intruderRTP.packets.empty());

  // With valid Digest from the same host the session's requests work as before.
  std::string lastNonce = nonceOf(near.request("OPTIONS * RTSP/1.0\r\nCSeq: 20\r\nSession: " + id + "\r\n\r\n"));
  ASSERT_FALSE(lastNonce.empty());
  for (SessionRequest const& q : requests) {
    if (q.method == "SETUP") continue;  // it would move the victim's stream, as its own client may
    std::string r = near.request(q.method + " " + q.uri + " RTSP/1.0\r\n" + q.text +
                                 authorization(q.method, q.uri, lastNonce) + "\r\n");
    EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << q.method << "\n" << r;
  }
  EXPECT_EQ(
      victim.request("GET_PARAMETER " + url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + id + "\r\n\r\n").substr(0, 12),
      "RTSP/1.0 454");  // the TEARDOWN above ended it
}

void HostileSessionAccessTest::tiedToItsClientsAddress(Hosts const& h) {
  start(18651);
  RawClient owner(loop, port, nullptr, h.client);
  UdpReceiver rtp(h.client);
  // A socket on another address with the same port, named as destination: it never hears a thing.
  NetAddress const third = NetAddress::fromText(h.third);
  int elsewhere = socket(third.family(), SOCK_DGRAM | SOCK_NONBLOCK, 0);
  struct sockaddr_storage there;
  socklen_t const thereLength = third.toSockaddr(Port(rtp.port()), third.family(), there);
  ASSERT_EQ(bind(elsewhere, reinterpret_cast<struct sockaddr*>(&there), thereLength), 0);
  std::string id = sessionId(owner.request(
      "SETUP " + url("/track1") + " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;destination=" + h.third +
      ";client_port=" + std::to_string(rtp.port()) + "-" + std::to_string(rtp.port() + 1) + "\r\n\r\n"));
  ASSERT_EQ(id.size(), 8u);
  RawClient far(loop, port, h.other, h.other);
  for (SessionRequest const& q : sessionRequests(url(), id, 43100)) {
    std::string r = far.request(q.method + " " + q.uri + " RTSP/1.0\r\n" + q.text + "\r\n");
    EXPECT_EQ(r.substr(0, 12), "RTSP/1.0 454") << q.method;
  }
  // Another connection of the same host: served, as before.
  RawClient near(loop, port, nullptr, h.client);
  EXPECT_EQ(near.request("PLAY " + url() + " RTSP/1.0\r\nCSeq: 1\r\nSession: " + id + "\r\n\r\n").substr(0, 15),
            "RTSP/1.0 200 OK");
  EXPECT_TRUE(loop.runUntil([&] {
    rtp.pump();
    return rtp.packets.size() >= 3;
  }));
  char buf[2048];
  EXPECT_LT(recv(elsewhere, buf, sizeof buf, 0), 0);
  ::close(elsewhere);
}

}  // namespace
