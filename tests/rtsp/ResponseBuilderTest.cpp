// Answers built as text, without a socket: the exact bytes clients parse.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "RTSPResponseBuilder.hh"

namespace {

struct in_addr addr(char const* text) {
  struct in_addr a {};
  inet_pton(AF_INET, text, &a);
  return a;
}

TEST(ResponseBuilder, SetupAndPlayAnswersInTheirHeaderOrder) {
  std::string out = "left over from the last answer";
  RTSPResponseBuilder setup(out, "200 OK", "3", "Mon, Dec 07 2026 23:43:13 GMT");
  setup.udpTransport(addr("192.168.1.20"), addr("192.168.1.10"), 50000, 50001, 6970, 6971);
  setup.session(0x3148DD2F, 65);
  setup.end();
  EXPECT_EQ(out,
            "RTSP/1.0 200 OK\r\nCSeq: 3\r\nDate: Mon, Dec 07 2026 23:43:13 GMT\r\n"
            "Transport: RTP/AVP;unicast;destination=192.168.1.20;source=192.168.1.10;client_port=50000-50001;"
            "server_port=6970-6971\r\nSession: 3148DD2F;timeout=65\r\n\r\n");

  std::string info;
  RTSPResponseBuilder::appendRTPInfo(info, "rtsp://10.0.0.1:8554/ch01/track1", 21056, 1023805734);
  RTSPResponseBuilder::appendRTPInfo(info, "rtsp://10.0.0.1:8554/ch01/track2", 7, 0);
  RTSPResponseBuilder play(out, "200 OK", "4", "<date>");
  play.range(52.08);
  play.session(0xE22058FA);
  play.header("RTP-Info", info);
  play.endWithBody("");
  EXPECT_EQ(out,
            "RTSP/1.0 200 OK\r\nCSeq: 4\r\nDate: <date>\r\nRange: npt=52.080-\r\nSession: E22058FA\r\n"
            "RTP-Info: url=rtsp://10.0.0.1:8554/ch01/track1;seq=21056;rtptime=1023805734,"
            "url=rtsp://10.0.0.1:8554/ch01/track2;seq=7;rtptime=0\r\nContent-Length: 0\r\n\r\n");
}

TEST(ResponseBuilder, AnswersWithoutCSeqTheDateAndURLPrefixes) {
  std::string out;
  RTSPResponseBuilder::badRequest(out, "<date>");
  EXPECT_EQ(out, std::string("RTSP/1.0 400 Bad Request\r\nDate: <date>\r\nAllow: ") +
                     RTSPResponseBuilder::kAllowedMethods + "\r\n\r\n");
  RTSPResponseBuilder::httpNotAllowed(out, "<date>");
  EXPECT_EQ(out, "HTTP/1.1 405 Method Not Allowed\r\nDate: <date>\r\n\r\n\r\n");
  RTSPResponseBuilder::httpTunnelOpened(out, "<date>");
  EXPECT_EQ(out,
            "HTTP/1.0 200 OK\r\nDate: <date>\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"
            "Content-Type: application/x-rtsp-tunnelled\r\n\r\n");
  RTSPResponseBuilder::httpTunnelRefused(out, "503 Service Unavailable", "<date>");
  EXPECT_EQ(out, "HTTP/1.0 503 Service Unavailable\r\nDate: <date>\r\n\r\n");
  RTSPResponseBuilder tcp(out, "200 OK", "x y", "<date>");
  tcp.tcpTransport(addr("127.0.0.1"), addr("127.0.0.2"), 254, 255);
  EXPECT_EQ(out,
            "RTSP/1.0 200 OK\r\nCSeq: x y\r\nDate: <date>\r\n"
            "Transport: RTP/AVP/TCP;unicast;destination=127.0.0.1;source=127.0.0.2;interleaved=254-255\r\n");

  EXPECT_EQ(RTSPResponseBuilder::formatDate(1765150993), "Sun, Dec 07 2025 23:43:13 GMT");
  EXPECT_EQ(rtspURLPrefixFor(addr("10.0.0.1").s_addr, 8554), "rtsp://10.0.0.1:8554/");
  EXPECT_EQ(rtspURLPrefixFor(addr("10.0.0.1").s_addr, 554), "rtsp://10.0.0.1/");

  // IPv6: the address as it is in the Transport header, in brackets in URLs;
  // a v4-mapped address is the IPv4 one.
  tcp.tcpTransport(NetAddress::fromText("fd00::1:20"), NetAddress::fromText("2001:db8::a"), 0, 1);
  EXPECT_EQ(out,
            "RTSP/1.0 200 OK\r\nCSeq: x y\r\nDate: <date>\r\n"
            "Transport: RTP/AVP/TCP;unicast;destination=127.0.0.1;source=127.0.0.2;interleaved=254-255\r\n"
            "Transport: RTP/AVP/TCP;unicast;destination=fd00::1:20;source=2001:db8::a;interleaved=0-1\r\n");
  EXPECT_EQ(rtspURLPrefixFor(NetAddress::fromText("::1"), 8554), "rtsp://[::1]:8554/");
  EXPECT_EQ(rtspURLPrefixFor(NetAddress::fromText("fd00::7"), 322, "rtsps"), "rtsps://[fd00::7]/");
  EXPECT_EQ(rtspURLPrefixFor(NetAddress::fromText("::ffff:10.0.0.1"), 8554), "rtsp://10.0.0.1:8554/");
}

}  // namespace
