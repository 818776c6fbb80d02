// The fixture of the hostile-client tests: a server on a loopback port with
// one tone track (Digest on when credentials are set before start()), a
// well-behaved client that must stay served, and Digest answers for alice.
#ifndef OSTRA_TESTS_RTSP_HOSTILE_INPUT_TEST_SUPPORT_HH
#define OSTRA_TESTS_RTSP_HOSTILE_INPUT_TEST_SUPPORT_HH

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

#include "DigestAuthentication.hh"
#include "RtspTestSupport.hh"

namespace rtsptest {

class HostileInputTest : public ::testing::Test {
protected:
  Loop loop;
  ToneCounters counters;
  RTSPServer* server = nullptr;
  unsigned short port = 0;
  std::unique_ptr<UserAuthenticationDatabase> db;  // credentials on when set before start()

  void start(unsigned short p, unsigned reclamation = 65) {
    port = p;
    server = RTSPServer::createNew(*loop.env, Port(port), db.get(), reclamation);
    ASSERT_NE(server, nullptr) << loop.env->getResultMsg();
    ServerMediaSession* sms = ServerMediaSession::createNew(*loop.env, "ch01", nullptr, "d");
    sms->addSubsession(ToneSubsession::createNew(*loop.env, counters));
    server->addServerMediaSession(sms);
  }
  void TearDown() override {
    Medium::close(server);
    EXPECT_EQ(counters.alive, 0);
  }
  // A well-behaved client is served while the others misbehave.
  void expectOthersServed() {
    RawClient good(loop, port);
    std::string describe = "DESCRIBE rtsp://127.0.0.1/ch01 RTSP/1.0\r\nCSeq: 77\r\n";
    std::string auth;
    if (db) auth = authorization("DESCRIBE", "rtsp://127.0.0.1/ch01", nonceOf(good.request(describe + "\r\n", 2000)));
    std::string r = good.request(describe + auth + "\r\n", 2000);
    EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK");
    EXPECT_EQ(headerValue(r, "CSeq"), "77");
  }

  NetAddress serverAddress = NetAddress::fromText("127.0.0.1");  // in the URLs
  std::string url(std::string const& suffix = "") {
    return "rtsp://" + serverAddress.urlHost() + ":" + std::to_string(port) + "/ch01" + suffix;
  }
  // The nonce of a 401 answer ("" when there is none).
  static std::string nonceOf(std::string const& response) {
    std::smatch m;
    static std::regex const challenge(
        "WWW-Authenticate: Digest realm=\"LIVE555 Streaming Media\", nonce=\"([0-9a-f]{32})\"");
    return std::regex_search(response, m, challenge) ? m[1].str() : std::string();
  }
  // An Authorization header line for user alice.
  static std::string authorization(std::string const& method, std::string const& uri, std::string const& nonce,
                                   std::string const& password = "secret") {
    return "Authorization: Digest username=\"alice\", realm=\"LIVE555 Streaming Media\", nonce=\"" + nonce +
           "\", uri=\"" + uri + "\", response=\"" +
           computeDigestResponse("alice", "LIVE555 Streaming Media", password, False, nonce, method, uri) + "\"\r\n";
  }
};

}  // namespace rtsptest

#endif
