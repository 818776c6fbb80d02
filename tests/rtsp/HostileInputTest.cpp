// Hostile and broken clients: each gets an answer or a closed connection,
// and never stalls the other clients or grows the server without bound.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../support/DaemonTestUtil.hh"
#include "AuthenticationThrottle.hh"
#include "DigestAuthentication.hh"
#include "RtspTestSupport.hh"

using namespace rtsptest;

namespace {

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

  std::string url(std::string const& suffix = "") {
    return "rtsp://127.0.0.1:" + std::to_string(port) + "/ch01" + suffix;
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

TEST_F(HostileInputTest, GarbageIsRefusedOrCutOff) {
  start(18570);
  // Garbage that ends like a request: 400.
  RawClient a(loop, port);
  EXPECT_EQ(a.request("\x01\x02 \xff\xfe\r\n\r\n").substr(0, 24), "RTSP/1.0 400 Bad Request");
  // Binary garbage that never completes a request: closed without an answer.
  RawClient b(loop, port);
  std::mt19937 rng(7);
  std::string junk(30000, '\0');
  for (char& ch : junk) ch = static_cast<char>(rng() % 250 + 1);
  for (size_t i = 0; i + 1 < junk.size(); ++i) {
    if (junk[i] == '\r' && junk[i + 1] == '\n') junk[i] = 'x';
    if (junk[i] == '$') junk[i] = 'y';
  }
  junk[0] = 'Z';
  b.sendBytes(junk.data(), junk.size());  // may fail part-way once the server has closed
  EXPECT_TRUE(b.waitClosed());
  expectOthersServed();
  EXPECT_TRUE(b.pendingInput().empty());
}

TEST_F(HostileInputTest, HugeHeaderLineAndThousandsOfHeaders) {
  start(18571);
  RawClient big(loop, port);
  std::string request = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n";
  big.sendBytes(request.data(), request.size());
  EXPECT_TRUE(big.waitClosed());
  EXPECT_TRUE(big.pendingInput().empty());  // closed without an answer

  // Thousands of short headers that fit into the request buffer: answered.
  RawClient many(loop, port);
  std::string headers;
  for (int i = 0; i < 3000; ++i) headers += "a:" + std::to_string(i % 10) + "\r\n";
  ASSERT_LT(headers.size(), 19000u);
  std::string r = many.request("OPTIONS * RTSP/1.0\r\n" + headers + "CSeq: 5\r\n\r\n");
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK");
  EXPECT_EQ(headerValue(r, "CSeq"), "5");
  // Too many to fit: cut off.
  RawClient more(loop, port);
  headers.clear();
  for (int i = 0; i < 5000; ++i) headers += "X-Header-" + std::to_string(i) + ": value\r\n";
  request = "OPTIONS * RTSP/1.0\r\nCSeq: 6\r\n" + headers + "\r\n";
  more.sendBytes(request.data(), request.size());
  EXPECT_TRUE(more.waitClosed());
  // A Content-Length that cannot fit: cut off.
  RawClient body(loop, port);
  body.sendText("SET_PARAMETER * RTSP/1.0\r\nCSeq: 7\r\nContent-Length: 50000\r\n\r\nabc");
  EXPECT_TRUE(body.waitClosed());
  expectOthersServed();
}

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

TEST_F(HostileInputTest, InterleavedFramesAndClientsThatDoNotRead) {
  start(18573);
  // An interleaved frame too large to keep is skipped; the request after it is answered.
  RawClient c(loop, port);
  std::string frame = std::string("$\x01\xff\xff", 4) + std::string(65535, 'r');
  ASSERT_TRUE(c.sendBytes(frame.data(), frame.size()));
  std::string small = std::string("$\x07\x00\x04", 4) + "abcd";
  std::string r = c.request(small + "OPTIONS * RTSP/1.0\r\nCSeq: 3\r\n\r\n");
  EXPECT_EQ(headerValue(r, "CSeq"), "3");

  // A client that pipelines requests and never reads: the server stops
  // reading from it instead of piling up answers, and serves everyone else.
  RawClient greedy(loop, port);
  std::string burst;
  for (int i = 0; i < 200; ++i)
    burst += "DESCRIBE rtsp://127.0.0.1/ch01 RTSP/1.0\r\nCSeq: " + std::to_string(i) + "\r\n\r\n";
  int sock = greedy.socketNum();
  int small_buf = 4096;
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &small_buf, sizeof small_buf);
  size_t sentTotal = 0;
  for (int round = 0; round < 100; ++round) {
    ssize_t n = ::send(sock, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sentTotal += static_cast<size_t>(n);
    loop.scheduler->SingleStep(1000);
  }
  EXPECT_GT(sentTotal, 100000u);
  expectOthersServed();
}

TEST_F(HostileInputTest, RandomMutationsOfRealRequests) {
  start(18574);
  std::vector<std::string> seeds = {
      "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n",
      "DESCRIBE rtsp://127.0.0.1:18574/ch01 RTSP/1.0\r\nCSeq: 2\r\nAccept: application/sdp\r\n\r\n",
      "SETUP rtsp://127.0.0.1:18574/ch01/track1 RTSP/1.0\r\nCSeq: 3\r\nTransport: "
      "RTP/AVP;unicast;client_port=5000-5001\r\n\r\n",
      "SETUP rtsp://127.0.0.1:18574/ch01/track1 RTSP/1.0\r\nCSeq: 3\r\nTransport: "
      "RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n",
      "PLAY rtsp://127.0.0.1:18574/ch01/ RTSP/1.0\r\nCSeq: 4\r\nSession: 00000001\r\nRange: npt=0-\r\n\r\n",
      "GET_PARAMETER * RTSP/1.0\r\nCSeq: 5\r\nContent-Length: 3\r\n\r\nabc",
  };
  std::mt19937 rng(12345);
  for (int i = 0; i < 300; ++i) {
    std::string text = seeds[rng() % seeds.size()];
    int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      size_t at = rng() % text.size();
      switch (rng() % 4) {
        case 0:
          text[at] = static_cast<char>(rng() % 256);
          break;
        case 1:
          text.erase(at, 1 + rng() % 8);
          break;
        case 2:
          text.insert(at, std::string(1 + rng() % 300, static_cast<char>(rng() % 256)));
          break;
        default:
          text.insert(at, text.substr(0, rng() % text.size()));
          break;
      }
    }
    RawClient c(loop, port);
    c.sendBytes(text.data(), text.size());
    loop.runUntil(
        [&] {
          c.pump();
          return c.peerClosed() || !c.pendingInput().empty();
        },
        50);
  }
  expectOthersServed();
}

}  // namespace

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
