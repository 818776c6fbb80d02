// The RTSP server's error answers, and pipelined and split requests answered
// in order.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "ServerTestSupport.hh"

using namespace rtsptest;

namespace {

TEST_F(RTSPServerTest, ErrorAnswers) {
  start(18560);
  ServerMediaSession* other = ServerMediaSession::createNew(*loop.env, "other", nullptr, "o");
  other->addSubsession(ToneSubsession::createNew(*loop.env, counters));
  server->addServerMediaSession(other);
  RawClient c(loop, port);
  std::string allow = "Allow: " + kPublic + "\r\n";
  for (std::string method : {"FOO", "RECORD", "ANNOUNCE"}) {
    EXPECT_EQ(normalizeDate(c.request(method + " " + url() + " RTSP/1.0\r\nCSeq: 1\r\n\r\n")),
              "RTSP/1.0 405 Method Not Allowed\r\nCSeq: 1\r\nDate: <date>\r\n" + allow + "\r\n");
  }
  for (std::string method : {"DESCRIBE", "SETUP", "PLAY", "PAUSE", "TEARDOWN"}) {
    EXPECT_EQ(normalizeDate(c.request(method + " * RTSP/1.0\r\nCSeq: 2\r\n\r\n")),
              "RTSP/1.0 405 Method Not Allowed\r\nCSeq: 2\r\nDate: <date>\r\n" + allow + "\r\n");
  }
  std::string bad = "RTSP/1.0 400 Bad Request\r\nDate: <date>\r\n" + allow + "\r\n";
  EXPECT_EQ(normalizeDate(c.request("OPTIONS * RTSP/1.0\r\n\r\n")), bad);
  EXPECT_EQ(normalizeDate(c.request("garbage\r\n\r\n")), bad);
  std::string longName(200, 'a');
  EXPECT_EQ(normalizeDate(c.request("DESCRIBE rtsp://h/" + longName + " RTSP/1.0\r\nCSeq: 3\r\n\r\n")), bad);
  EXPECT_EQ(normalizeDate(c.request("OPTIONS * RTSP/1.0\r\nCSeq: " + longName + "\r\n\r\n")), bad);
  EXPECT_EQ(normalizeDate(c.request("OPTIONS * RTSP/1.0\r\nCSeq: 4\r\nSession: " + longName + "\r\n\r\n")), bad);
  EXPECT_EQ(normalizeDate(c.request("OPTIONS * RTSP/1.0\r\nCSeq: 4\r\nSession: 0BADBEEF\r\n\r\n")),
            "RTSP/1.0 454 Session Not Found\r\nCSeq: 4\r\nDate: <date>\r\n\r\n");
  for (std::string method : {"PLAY", "PAUSE", "TEARDOWN", "GET_PARAMETER", "SET_PARAMETER"}) {
    EXPECT_EQ(normalizeDate(c.request(method + " " + url() + " RTSP/1.0\r\nCSeq: 5\r\n\r\n")),
              "RTSP/1.0 454 Session Not Found\r\nCSeq: 5\r\nDate: <date>\r\n\r\n")
        << method;
  }
  EXPECT_EQ(
      normalizeDate(c.request("SETUP " + url("/track9") +
                              " RTSP/1.0\r\nCSeq: 6\r\nTransport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n")),
      "RTSP/1.0 404 Stream Not Found\r\nCSeq: 6\r\nDate: <date>\r\n\r\n");

  // A session's requests on another stream's URL.
  std::string id = sessionId(setupUDP(c, 7, 41000));
  ASSERT_FALSE(id.empty());
  std::string otherURL = "rtsp://127.0.0.1:18560/other";
  EXPECT_EQ(normalizeDate(c.request("PLAY " + otherURL + " RTSP/1.0\r\nCSeq: 8\r\nSession: " + id + "\r\n\r\n")),
            "RTSP/1.0 404 Stream Not Found\r\nCSeq: 8\r\nDate: <date>\r\n\r\n");
  EXPECT_EQ(normalizeDate(c.request("SETUP " + otherURL + "/track1 RTSP/1.0\r\nCSeq: 9\r\nSession: " + id +
                                    "\r\nTransport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n")),
            bad);
  // Session ids match exactly.
  std::string lower = id;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(ch));
  if (lower != id) {
    EXPECT_EQ(c.request("PLAY " + url() + " RTSP/1.0\r\nCSeq: 10\r\nSession: " + lower + "\r\n\r\n").substr(0, 12),
              "RTSP/1.0 454");
  }
  // An id made on one connection works on another, and survives its connection (UDP).
  c.closeSocket();
  RawClient d(loop, port);
  EXPECT_EQ(d.request("PLAY " + url() + " RTSP/1.0\r\nCSeq: 11\r\nSession: " + id + "\r\n\r\n").substr(0, 15),
            "RTSP/1.0 200 OK");

  // HTTP on the RTSP port.
  RawClient h(loop, port);
  ASSERT_TRUE(h.sendText("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(loop.runUntil([&] {
    h.pump();
    return h.pendingInput().size() >= 50;
  }));
  EXPECT_EQ(normalizeDate(h.pendingInput()), "HTTP/1.1 405 Method Not Allowed\r\nDate: <date>\r\n\r\n\r\n");
}

TEST_F(RTSPServerTest, PipelinedAndSplitRequestsAreAnsweredInOrder) {
  start(18561);
  RawClient c(loop, port);
  ASSERT_TRUE(
      c.sendText("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\nFOO * RTSP/1.0\r\nCSeq: 2\r\n\r\n"
                 "GET_PARAMETER * RTSP/1.0\r\nCSeq: 3\r\n\r\n"));
  EXPECT_EQ(headerValue(c.response(), "CSeq"), "1");
  EXPECT_EQ(headerValue(c.response(), "CSeq"), "2");
  EXPECT_EQ(headerValue(c.response(), "CSeq"), "3");

  std::string text = "DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 4\r\n\r\n";
  for (char ch : text) {
    ASSERT_TRUE(c.sendBytes(&ch, 1));
    loop.scheduler->SingleStep(1000);
  }
  std::string r = c.response();
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK");
  EXPECT_EQ(headerValue(r, "CSeq"), "4");
}

}  // namespace
