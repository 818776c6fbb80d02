// RTSP Digest authentication by the real server: challenges, nonces, and
// what is checked and what is not.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

#include "DigestAuthentication.hh"
#include "ServerTestSupport.hh"

using namespace rtsptest;

namespace {

TEST_F(RTSPServerTest, DigestAuthentication) {
  db = std::make_unique<UserAuthenticationDatabase>();
  db->addUserRecord("alice", "wrong");
  db->addUserRecord("alice", "secret");
  start(18565);
  RawClient c(loop, port);
  std::string describe = "DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 2\r\n";
  std::regex challenge("WWW-Authenticate: Digest realm=\"LIVE555 Streaming Media\", nonce=\"([0-9a-f]{32})\"\r\n");
  auto authorization = [&](std::string const& method, std::string const& uri, std::string const& nonce,
                           std::string const& password) {
    return "Authorization: Digest username=\"alice\", realm=\"LIVE555 Streaming Media\", nonce=\"" + nonce +
           "\", uri=\"" + uri + "\", response=\"" +
           computeDigestResponse("alice", "LIVE555 Streaming Media", password, False, nonce, method, uri) + "\"\r\n";
  };

  // OPTIONS is never checked.
  EXPECT_EQ(c.request("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n").substr(0, 15), "RTSP/1.0 200 OK");
  // The first checked request on a connection fails even with a well-formed header.
  std::string r =
      c.request(describe + authorization("DESCRIBE", url(), "0123456789abcdef0123456789abcdef", "secret") + "\r\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r, m, challenge)) << r;
  std::string nonce1 = m[1];
  EXPECT_EQ(normalizeDate(r),
            "RTSP/1.0 401 Unauthorized\r\nCSeq: 2\r\nDate: <date>\r\n"
            "WWW-Authenticate: Digest realm=\"LIVE555 Streaming Media\", nonce=\"" +
                nonce1 + "\"\r\n\r\n");
  // A wrong password: 401 with a fresh nonce.
  r = c.request(describe + authorization("DESCRIBE", url(), nonce1, "wrong") + "\r\n");
  ASSERT_TRUE(std::regex_search(r, m, challenge)) << r;
  std::string nonce2 = m[1];
  EXPECT_NE(nonce1, nonce2);
  // The old nonce is forgotten.
  r = c.request(describe + authorization("DESCRIBE", url(), nonce1, "secret") + "\r\n");
  ASSERT_TRUE(std::regex_search(r, m, challenge)) << r;
  std::string nonce3 = m[1];
  // The right answer, fields in another order and without blanks.
  std::string resp =
      computeDigestResponse("alice", "LIVE555 Streaming Media", "secret", False, nonce3, "DESCRIBE", url());
  r = c.request(describe + "Authorization: Digest response=\"" + resp + "\",uri=\"" + url() + "\",nonce=\"" + nonce3 +
                "\",realm=\"LIVE555 Streaming Media\",username=\"alice\",qop=\"x\"\r\n\r\n");
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
  // The nonce stays valid on the connection.
  r = c.request(describe + authorization("DESCRIBE", url(), nonce3, "secret") + "\r\n");
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
  // The check comes before the stream lookup.
  r = c.request("DESCRIBE rtsp://127.0.0.1:18565/none RTSP/1.0\r\nCSeq: 3\r\n\r\n");
  EXPECT_EQ(r.substr(0, 12), "RTSP/1.0 401") << r;
  ASSERT_TRUE(std::regex_search(r, m, challenge));
  std::string nonce4 = m[1];
  // SETUP without a session is checked; inside the session requests go by id.
  std::string setup =
      "SETUP " + url("/track1") + " RTSP/1.0\r\nCSeq: 4\r\nTransport: RTP/AVP;unicast;client_port=42000-42001\r\n";
  r = c.request(setup + "\r\n");
  EXPECT_EQ(r.substr(0, 12), "RTSP/1.0 401");
  ASSERT_TRUE(std::regex_search(r, m, challenge));
  r = c.request(setup + authorization("SETUP", url("/track1"), m[1], "secret") + "\r\n");
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
  std::string id = sessionId(r);
  EXPECT_NE(nonce4, "");
  EXPECT_EQ(play(c, 5, id).substr(0, 15), "RTSP/1.0 200 OK");
  // A new connection starts without a nonce.
  RawClient d(loop, port);
  r = d.request(describe + authorization("DESCRIBE", url(), nonce3, "secret") + "\r\n");
  EXPECT_EQ(r.substr(0, 12), "RTSP/1.0 401");
  // No user in the database: never accepted.
  ASSERT_TRUE(std::regex_search(r, m, challenge));
  r = d.request(describe +
                std::regex_replace(authorization("DESCRIBE", url(), m[1], "secret"), std::regex("alice"), "mallory") +
                "\r\n");
  EXPECT_EQ(r.substr(0, 12), "RTSP/1.0 401");
}

}  // namespace
