// Password guessing is slowed, per connection and server-wide, also through
// an HTTP tunnel, while an honest client is served at once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AuthenticationThrottle.hh"
#include "HostileInputTestSupport.hh"

using namespace rtsptest;

namespace {

TEST_F(HostileInputTest, PasswordGuessingIsSlowedAndAnHonestClientIsNot) {
  db = std::make_unique<UserAuthenticationDatabase>();
  db->addUserRecord("alice", "secret");
  start(18652);
  std::string const describe = "DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 1\r\n";
  auto honestClientIsServedAtOnce = [&] {
    RawClient honest(loop, port);
    auto started = std::chrono::steady_clock::now();
    std::string r = honest.request(
        describe + authorization("DESCRIBE", url(), nonceOf(honest.request(describe + "\r\n"))) + "\r\n");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
    EXPECT_LT(ms, 100);
  };

  // 300 wrong passwords on one connection, each with the nonce of the 401 before.
  RawClient guesser(loop, port);
  std::string nonce = nonceOf(guesser.request(describe + "\r\n"));
  auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 300; ++i) {
    std::string r =
        guesser.request(describe + authorization("DESCRIBE", url(), nonce, "guess" + std::to_string(i)) + "\r\n");
    ASSERT_EQ(r.substr(0, 25), "RTSP/1.0 401 Unauthorized") << i;
    nonce = nonceOf(r);
    if (i == 150) honestClientIsServedAtOnce();
  }
  auto elapsed = std::chrono::steady_clock::now() - started;
  int64_t const floorUs =
      (300 - AuthenticationThrottle::kFreeFailuresPerConnection) * AuthenticationThrottle::kConnectionFailureDelayUs;
  EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count(), floorUs);
  // The guesser still gets in with the right password, at once.
  std::string r = guesser.request(describe + authorization("DESCRIBE", url(), nonce) + "\r\n", 200);
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK");
  expectOthersServed();
}

TEST_F(HostileInputTest, GuessingFromManyConnectionsIsHeldToTheServerWideBudget) {
  db = std::make_unique<UserAuthenticationDatabase>();
  db->addUserRecord("alice", "secret");
  start(18653);
  std::string const describe = "DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 1\r\n";
  // Eight hosts guess at once, ten wrong passwords each: alone, each would be
  // done in well under a second.
  struct Guesser {
    std::unique_ptr<RawClient> client;
    int answered = 0;
  };
  int const kHosts = 8, kGuesses = 10;
  std::vector<Guesser> guessers;
  for (int i = 0; i < kHosts; ++i) {
    std::string from = "127.0.2." + std::to_string(i + 1);
    guessers.push_back({std::make_unique<RawClient>(loop, port, from.c_str()), 0});
    ASSERT_TRUE(guessers.back().client->sendText(describe + "\r\n"));
  }
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(loop.runUntil(
      [&] {
        bool done = true;
        for (Guesser& g : guessers) {
          std::string r = g.answered <= kGuesses ? g.client->response(0) : std::string();
          if (!r.empty()) {
            EXPECT_EQ(r.substr(0, 12), "RTSP/1.0 401");
            if (++g.answered <= kGuesses) {
              g.client->sendText(describe + authorization("DESCRIBE", url(), nonceOf(r), "wrong") + "\r\n");
            }
          }
          done = done && g.answered > kGuesses;
        }
        return done;
      },
      30000));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  double const floor =
      double(kHosts * kGuesses - AuthenticationThrottle::kFailureBurst) / AuthenticationThrottle::kFailuresPerSecond;
  EXPECT_GE(seconds, floor * 0.95);

  // More guesses at once than the budget lets wait (at most a burst at once
  // and kMaxWaitUs of turns): the last ones' connections are closed
  // unanswered, the others answered in turn; honest clients are served.
  size_t const answerable = AuthenticationThrottle::kFailureBurst +
                            AuthenticationThrottle::kMaxWaitUs * AuthenticationThrottle::kFailuresPerSecond / 1000000;
  std::vector<std::unique_ptr<RawClient>> crowd;
  std::vector<std::string> nonces;
  for (size_t i = 0; i < answerable + 40; ++i) {
    std::string from = "127.0.3." + std::to_string(i + 1);
    crowd.push_back(std::make_unique<RawClient>(loop, port, from.c_str()));
    nonces.push_back(nonceOf(crowd.back()->request(describe + "\r\n")));
    ASSERT_FALSE(nonces.back().empty()) << i;
  }
  for (size_t i = 0; i < crowd.size(); ++i) {
    ASSERT_TRUE(crowd[i]->sendText(describe + authorization("DESCRIBE", url(), nonces[i], "wrong") + "\r\n"));
  }
  expectOthersServed();
  size_t answered = 0, closed = 0;
  ASSERT_TRUE(loop.runUntil(
      [&] {
        answered = closed = 0;
        for (auto& c : crowd) {
          c->pump();
          if (c->pendingInput().find("RTSP/1.0 401") == 0) {
            ++answered;
          } else if (c->peerClosed()) {
            ++closed;
          }
        }
        return answered + closed == crowd.size();
      },
      15000));
  EXPECT_GE(answered, answerable - AuthenticationThrottle::kFailureBurst);
  EXPECT_GE(closed, 20u);
}

std::string base64(std::string const& text) {
  static char const digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < text.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(text[i])) << 16;
    if (i + 1 < text.size()) v |= static_cast<uint32_t>(static_cast<unsigned char>(text[i + 1])) << 8;
    if (i + 2 < text.size()) v |= static_cast<unsigned char>(text[i + 2]);
    out += digits[(v >> 18) & 63];
    out += digits[(v >> 12) & 63];
    out += i + 1 < text.size() ? digits[(v >> 6) & 63] : '=';
    out += i + 2 < text.size() ? digits[v & 63] : '=';
  }
  return out;
}

TEST_F(HostileInputTest, GuessesThroughAnHTTPTunnelAreSlowedAndTheTunnelGoesOn) {
  db = std::make_unique<UserAuthenticationDatabase>();
  db->addUserRecord("alice", "secret");
  start(18654);
  RawClient get(loop, port), post(loop, port);
  std::string r =
      get.request("GET /ch01 HTTP/1.0\r\nx-sessioncookie: k1\r\nAccept: application/x-rtsp-tunnelled\r\n\r\n");
  ASSERT_EQ(r.substr(0, 15), "HTTP/1.0 200 OK") << r;
  ASSERT_TRUE(
      post.sendText("POST /ch01 HTTP/1.0\r\nx-sessioncookie: k1\r\nContent-Type: application/x-rtsp-tunnelled\r\n"
                    "Content-Length: 32767\r\n\r\n"));
  std::string const describe = "DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: ";
  auto tunnelled = [&](int cseq, std::string const& auth) {
    EXPECT_TRUE(post.sendText(base64(describe + std::to_string(cseq) + "\r\n" + auth + "\r\n")));
    return get.response();
  };
  std::string nonce = nonceOf(tunnelled(1, ""));
  ASSERT_FALSE(nonce.empty());
  // Wrong passwords: the later ones are answered late, and in order.
  int const guesses = AuthenticationThrottle::kFreeFailuresPerConnection + 4;
  auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < guesses; ++i) {
    r = tunnelled(2 + i, authorization("DESCRIBE", url(), nonce, "wrong"));
    ASSERT_EQ(r.substr(0, 12), "RTSP/1.0 401") << i;
    EXPECT_EQ(headerValue(r, "CSeq"), std::to_string(2 + i));
    nonce = nonceOf(r);
  }
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(us, 4 * AuthenticationThrottle::kConnectionFailureDelayUs);
  // A request right behind a held answer waits for it.
  ASSERT_TRUE(post.sendText(base64(describe + "30\r\n" + authorization("DESCRIBE", url(), nonce, "wrong") +
                                   "\r\nOPTIONS * RTSP/1.0\r\nCSeq: 31\r\n\r\n")));
  r = get.response();
  EXPECT_EQ(headerValue(r, "CSeq"), "30");
  nonce = nonceOf(r);
  EXPECT_EQ(headerValue(get.response(), "CSeq"), "31");
  // The tunnel goes on: the right password is served.
  r = tunnelled(20, authorization("DESCRIBE", url(), nonce));
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
}

}  // namespace
