// Hostile and broken requests: garbage, oversized headers and bodies,
// interleaved frames too large to keep, clients that never read and random
// mutations of real requests each get an answer or a closed connection, and
// never stall the other clients or grow the server without bound.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "HostileInputTestSupport.hh"

using namespace rtsptest;

namespace {

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
