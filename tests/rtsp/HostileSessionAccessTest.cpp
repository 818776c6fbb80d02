// Requests naming another client's session: a session answers only its own
// client (with Digest, or by its address without credentials).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

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

TEST_F(HostileInputTest, ASessionAnswersOnlyItsOwnClient) {
  db = std::make_unique<UserAuthenticationDatabase>();
  db->addUserRecord("alice", "secret");
  start(18650);
  RawClient victim(loop, port);
  UdpReceiver rtp, intruderRTP;
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
  RawClient far(loop, port, "127.0.0.2");
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
  RawClient near(loop, port);
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

TEST_F(HostileInputTest, WithoutCredentialsASessionIsStillTiedToItsClientsAddress) {
  start(18651);
  RawClient owner(loop, port);
  UdpReceiver rtp;
  // A socket on another address with the same port, named as destination: it never hears a thing.
  int elsewhere = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  struct sockaddr_in there {};
  there.sin_family = AF_INET;
  there.sin_port = htons(rtp.port());
  inet_pton(AF_INET, "127.0.0.9", &there.sin_addr);
  ASSERT_EQ(bind(elsewhere, reinterpret_cast<struct sockaddr*>(&there), sizeof there), 0);
  std::string id =
      sessionId(owner.request("SETUP " + url("/track1") +
                              " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;destination=127.0.0.9;"
                              "client_port=" +
                              std::to_string(rtp.port()) + "-" + std::to_string(rtp.port() + 1) + "\r\n\r\n"));
  ASSERT_EQ(id.size(), 8u);
  RawClient far(loop, port, "127.0.0.2");
  for (SessionRequest const& q : sessionRequests(url(), id, 43100)) {
    std::string r = far.request(q.method + " " + q.uri + " RTSP/1.0\r\n" + q.text + "\r\n");
    EXPECT_EQ(r.substr(0, 12), "RTSP/1.0 454") << q.method;
  }
  // Another connection of the same host: served, as before.
  RawClient near(loop, port);
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
