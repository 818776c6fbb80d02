// Pure parsing of requests and headers, and the Digest computations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DigestAuthentication.hh"
#include "RTSPRequest.hh"

namespace {

RTSPRequestScan scanAll(std::string const& text, size_t capacity, size_t& length) {
  size_t from = 0;
  return scanRTSPRequest(text.data(), text.size(), capacity, from, length);
}

TEST(RequestScan, FindsTheEndOfHeadersAndBody) {
  size_t length = 0;
  EXPECT_EQ(scanAll("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n", 20000, length), RTSPRequestScan::Incomplete);
  std::string one = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n";
  ASSERT_EQ(scanAll(one + "DESCRIBE", 20000, length), RTSPRequestScan::Complete);
  EXPECT_EQ(length, one.size());

  std::string withBody = "SET_PARAMETER * RTSP/1.0\r\nCSeq: 2\r\ncontent-length:5\r\n\r\nab";
  EXPECT_EQ(scanAll(withBody, 20000, length), RTSPRequestScan::Incomplete);
  ASSERT_EQ(scanAll(withBody + "cdeXX", 20000, length), RTSPRequestScan::Complete);
  EXPECT_EQ(length, withBody.size() + 3);
}

TEST(RequestScan, ByteByByteScansIncrementallyAndAgrees) {
  std::string text = "DESCRIBE rtsp://h/ch01 RTSP/1.0\r\nCSeq: 9\r\nContent-Length: 3\r\n\r\nxyz";
  size_t from = 0, length = 0;
  for (size_t n = 1; n < text.size(); ++n) {
    ASSERT_EQ(scanRTSPRequest(text.data(), n, 20000, from, length), RTSPRequestScan::Incomplete) << n;
    EXPECT_LE(from, n);
  }
  ASSERT_EQ(scanRTSPRequest(text.data(), text.size(), 20000, from, length), RTSPRequestScan::Complete);
  EXPECT_EQ(length, text.size());
}

TEST(RequestScan, ReportsWhatCanNeverFit) {
  size_t length = 0;
  std::string full(100, 'a');
  EXPECT_EQ(scanAll(full, 100, length), RTSPRequestScan::TooLarge);
  EXPECT_EQ(scanAll(full.substr(0, 99), 100, length), RTSPRequestScan::Incomplete);
  EXPECT_EQ(scanAll("X * RTSP/1.0\r\nContent-Length: 999999999\r\n\r\n", 20000, length), RTSPRequestScan::TooLarge);
}

TEST(RequestParse, RequestLineHeadersAndBody) {
  RTSPRequest r;
  ASSERT_TRUE(
      parseRTSPRequest("SETUP rtsp://10.0.0.1:8554/ch01/track1 RTSP/1.0\r\n"
                       "cseq:3\r\n"
                       "SESSION:   3148DD2F;timeout=65\r\n"
                       "transport: RTP/AVP;unicast;client_port=50000-50001\r\n"
                       "Range: npt=0-\r\n"
                       "Authorization: Digest username=\"u\"\r\n"
                       "X-Unknown: whatever\r\n"
                       "Content-Length: 4\r\n\r\nbody",
                       r));
  EXPECT_EQ(r.method, "SETUP");
  EXPECT_EQ(r.url, "rtsp://10.0.0.1:8554/ch01/track1");
  EXPECT_EQ(r.urlPath, "ch01/track1");
  EXPECT_EQ(r.protocol, "RTSP/1.0");
  EXPECT_TRUE(r.hasCSeq);
  EXPECT_EQ(r.cseq, "3");
  EXPECT_EQ(r.session, "3148DD2F");
  EXPECT_EQ(r.transport, "RTP/AVP;unicast;client_port=50000-50001");
  EXPECT_TRUE(r.hasRange);
  EXPECT_EQ(r.range, "npt=0-");
  EXPECT_EQ(r.authorization, "Digest username=\"u\"");
  EXPECT_EQ(r.contentLength, 4u);
  EXPECT_EQ(r.body, "body");

  ASSERT_TRUE(parseRTSPRequest("OPTIONS * RTSP/1.0\r\n\r\n", r));
  EXPECT_FALSE(r.hasCSeq);
  EXPECT_EQ(r.urlPath, "*");
}

TEST(RequestParse, RejectsMalformedRequestLines) {
  RTSPRequest r;
  EXPECT_FALSE(parseRTSPRequest("\r\n\r\n", r));
  EXPECT_FALSE(parseRTSPRequest("OPTIONS\r\nCSeq: 1\r\n\r\n", r));
  EXPECT_FALSE(parseRTSPRequest("OPTIONS *\r\n\r\n", r));
  EXPECT_FALSE(parseRTSPRequest("OPTIONS * RTSP/1.0 extra\r\n\r\n", r));
  EXPECT_FALSE(parseRTSPRequest("\x01\x02\x03 * RTSP/1.0\r\n\r\n", r));
}

TEST(RequestParse, URLPaths) {
  EXPECT_EQ(rtspURLPath("rtsp://host:8554/ch01"), "ch01");
  EXPECT_EQ(rtspURLPath("RTSP://host/ch01/"), "ch01/");
  EXPECT_EQ(rtspURLPath("rtsp://host:8554"), "");
  EXPECT_EQ(rtspURLPath("/ch01/track2"), "ch01/track2");
  EXPECT_EQ(rtspURLPath("*"), "*");
  EXPECT_EQ(rtspURLPath("rtsp://user:pw@host:8554/ch01?x=1"), "ch01?x=1");
}

TEST(TransportHeader, UnicastUDPAndTCP) {
  RTSPTransportRequest t;
  ASSERT_TRUE(parseTransportHeader("RTP/AVP;unicast;client_port=50000-50001", t));
  EXPECT_FALSE(t.streamOverTCP);
  EXPECT_EQ(t.clientRTPPort, 50000);
  EXPECT_EQ(t.clientRTCPPort, 50001);

  ASSERT_TRUE(parseTransportHeader("RTP/AVP/UDP;unicast;client_port=6000;destination=1.2.3.4;ttl=5", t));
  EXPECT_EQ(t.clientRTPPort, 6000);
  EXPECT_EQ(t.clientRTCPPort, 6001);

  ASSERT_TRUE(parseTransportHeader("RTP/AVP/TCP;unicast;interleaved=4-5", t));
  EXPECT_TRUE(t.streamOverTCP);
  EXPECT_TRUE(t.hasChannels);
  EXPECT_EQ(t.rtpChannel, 4);
  EXPECT_EQ(t.rtcpChannel, 5);

  ASSERT_TRUE(parseTransportHeader("RTP/AVP/TCP;unicast", t));
  EXPECT_TRUE(t.streamOverTCP);
  EXPECT_FALSE(t.hasChannels);
  ASSERT_TRUE(parseTransportHeader("RTP/AVP/TCP;interleaved=x-y", t));
  EXPECT_FALSE(t.hasChannels);

  // The edges of the port and channel ranges.
  ASSERT_TRUE(parseTransportHeader("RTP/AVP;unicast;client_port=65534", t));
  EXPECT_EQ(t.clientRTPPort, 65534);
  EXPECT_EQ(t.clientRTCPPort, 65535);
  ASSERT_TRUE(parseTransportHeader("RTP/AVP;unicast;client_port=65535-1", t));
  EXPECT_EQ(t.clientRTCPPort, 1);
  ASSERT_TRUE(parseTransportHeader("RTP/AVP/TCP;unicast;interleaved=254-255", t));
  EXPECT_TRUE(t.hasChannels);
  EXPECT_EQ(t.rtpChannel, 254);
  EXPECT_EQ(t.rtcpChannel, 255);
  ASSERT_TRUE(parseTransportHeader("RTP/AVP/TCP;unicast;interleaved=254", t));
  EXPECT_EQ(t.rtcpChannel, 255);
  ASSERT_TRUE(parseTransportHeader("RTP/AVP/TCP;unicast;interleaved=255", t));
  EXPECT_FALSE(t.hasChannels);

  // SRTP over UDP and interleaved.
  for (char const* udp : {"RTP/SAVP;unicast;client_port=5000-5001", "rtp/savp/udp;client_port=5000-5001"}) {
    ASSERT_TRUE(parseTransportHeader(udp, t)) << udp;
    EXPECT_TRUE(t.secure && !t.streamOverTCP && t.clientRTPPort == 5000) << udp;
  }
  ASSERT_TRUE(parseTransportHeader("RTP/SAVP/TCP;unicast;interleaved=2-3", t));
  EXPECT_TRUE(t.secure && t.streamOverTCP && t.rtpChannel == 2);
  ASSERT_TRUE(parseTransportHeader("RTP/AVP/TCP;unicast;interleaved=2-3", t));
  EXPECT_FALSE(t.secure);
}

TEST(TransportHeader, RefusesWhatCannotBeServedAndPicksAnAlternative) {
  RTSPTransportRequest t;
  EXPECT_FALSE(parseTransportHeader("RTP/AVP;multicast;client_port=5000-5001", t));
  EXPECT_FALSE(parseTransportHeader("RTP/SAVPF;unicast;client_port=5000-5001", t));
  EXPECT_FALSE(parseTransportHeader("RTP/SAVP/SCTP;unicast;client_port=5000-5001", t));
  EXPECT_FALSE(parseTransportHeader("RAW/RAW/UDP;unicast;client_port=5000-5001", t));
  EXPECT_FALSE(parseTransportHeader("RTP/AVP;unicast", t));
  EXPECT_FALSE(parseTransportHeader("RTP/AVP;unicast;client_port=99999-100000", t));
  // An RTCP port outside 1-65535.
  EXPECT_FALSE(parseTransportHeader("RTP/AVP;unicast;client_port=65535", t));
  EXPECT_FALSE(parseTransportHeader("RTP/AVP;unicast;client_port=5000-0", t));
  EXPECT_FALSE(parseTransportHeader("RTP/AVP;unicast;client_port=0-1", t));
  EXPECT_FALSE(parseTransportHeader("", t));
  ASSERT_TRUE(parseTransportHeader("RTP/SAVPF;unicast;client_port=1-2, RTP/AVP/TCP;unicast;interleaved=2-3", t));
  EXPECT_TRUE(t.streamOverTCP);
  EXPECT_EQ(t.rtpChannel, 2);
}

TEST(DigestHeader, FieldsInAnyOrderWithOrWithoutBlanks) {
  DigestAuthorizationFields f;
  ASSERT_TRUE(parseDigestAuthorization(
      "Digest username=\"alice\", realm=\"LIVE555 Streaming Media\", nonce=\"abc\", uri=\"rtsp://h/ch01\", "
      "response=\"0123\"",
      f));
  EXPECT_EQ(f.username, "alice");
  EXPECT_EQ(f.realm, "LIVE555 Streaming Media");
  EXPECT_EQ(f.nonce, "abc");
  EXPECT_EQ(f.uri, "rtsp://h/ch01");
  EXPECT_EQ(f.response, "0123");

  ASSERT_TRUE(
      parseDigestAuthorization("Digest response=\"r\",uri=\"u,v\",algorithm=MD5,nonce=\"n\","
                               "realm=\"x\",username=\"bob\",opaque=\"o\"",
                               f));
  EXPECT_EQ(f.username, "bob");
  EXPECT_EQ(f.uri, "u,v");
  EXPECT_EQ(f.response, "r");
}

TEST(DigestHeader, RefusesIncompleteOrOtherSchemes) {
  DigestAuthorizationFields f;
  EXPECT_FALSE(parseDigestAuthorization("Basic YWxpY2U6c2VjcmV0", f));
  EXPECT_FALSE(parseDigestAuthorization("Digest username=\"a\", realm=\"r\", nonce=\"n\", uri=\"u\"", f));
  EXPECT_FALSE(parseDigestAuthorization("Digest username=\"a, realm=\"r\"", f));
  EXPECT_FALSE(parseDigestAuthorization("Digest", f));
  EXPECT_FALSE(parseDigestAuthorization("", f));
}

TEST(Digest, ResponseAndDatabase) {
  char hex[33];
  md5Hex("", 0, hex);
  EXPECT_STREQ(hex, "d41d8cd98f00b204e9800998ecf8427e");

  std::string nonce = "0123456789abcdef0123456789abcdef";
  std::string uri = "rtsp://127.0.0.1:8554/ch01";
  EXPECT_EQ(computeDigestResponse("alice", "LIVE555 Streaming Media", "secret", False, nonce, "DESCRIBE", uri),
            "a2c359e1142e901ccc1015f6d7b5ae03");
  // A password stored as MD5(user:realm:password) gives the same answer.
  EXPECT_EQ(computeDigestResponse("alice", "LIVE555 Streaming Media", "f4df420d8d443f6c917d56501898ab62", True, nonce,
                                  "DESCRIBE", uri),
            "a2c359e1142e901ccc1015f6d7b5ae03");

  UserAuthenticationDatabase db;
  EXPECT_STREQ(db.realm(), "LIVE555 Streaming Media");
  EXPECT_FALSE(db.passwordsAreMD5());
  db.addUserRecord("alice", "one");
  db.addUserRecord("alice", "two");
  db.addUserRecord("", "empty-user");
  EXPECT_STREQ(db.lookupPassword("alice"), "two");
  EXPECT_STREQ(db.lookupPassword(""), "empty-user");
  EXPECT_EQ(db.lookupPassword("Alice"), nullptr);
  EXPECT_EQ(db.numUsers(), 2u);
  db.removeUserRecord("alice");
  EXPECT_EQ(db.lookupPassword("alice"), nullptr);
  UserAuthenticationDatabase other("Other Realm", True);
  EXPECT_STREQ(other.realm(), "Other Realm");
  EXPECT_TRUE(other.passwordsAreMD5());

  std::string n1 = makeDigestNonce(), n2 = makeDigestNonce();
  EXPECT_EQ(n1.size(), 32u);
  EXPECT_EQ(n1.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(n1, n2);
}

TEST(Digest, HeaderCheckedAgainstDatabaseAndNonce) {
  std::string const nonce = "0123456789abcdef0123456789abcdef";
  std::string const uri = "rtsp://127.0.0.1:8554/ch01";
  auto header = [&](std::string const& user, std::string const& response) {
    return "Digest username=\"" + user + "\", realm=\"LIVE555 Streaming Media\", nonce=\"" + nonce + "\", uri=\"" +
           uri + "\", response=\"" + response + "\"";
  };
  std::string const good = "a2c359e1142e901ccc1015f6d7b5ae03";  // alice/secret, DESCRIBE
  UserAuthenticationDatabase plain;
  plain.addUserRecord("alice", "secret");
  UserAuthenticationDatabase hashed(nullptr, True);
  hashed.addUserRecord("alice", "f4df420d8d443f6c917d56501898ab62");
  for (UserAuthenticationDatabase* db : {&plain, &hashed}) {
    EXPECT_TRUE(digestAuthorizationAccepted(*db, header("alice", good), nonce, "DESCRIBE"));
    EXPECT_FALSE(digestAuthorizationAccepted(*db, header("alice", good), nonce, "SETUP"));
    EXPECT_FALSE(digestAuthorizationAccepted(*db, header("alice", good), "", "DESCRIBE"));  // no nonce issued yet
    EXPECT_FALSE(digestAuthorizationAccepted(*db, header("alice", good), "ffff" + nonce.substr(4), "DESCRIBE"));
    EXPECT_FALSE(digestAuthorizationAccepted(*db, header("bob", good), nonce, "DESCRIBE"));
    // A name with a NUL in it is nobody, however the passwords are stored.
    EXPECT_FALSE(digestAuthorizationAccepted(*db, header(std::string("alice\0x", 7), good), nonce, "DESCRIBE"));
  }
  // Names that are nearly alice's, answered with alice's password: nobody.
  for (std::string name :
       std::vector<std::string>{"Alice", "ALICE", " alice", "alice ", "al ice", std::string(5000, 'a')}) {
    std::string response =
        computeDigestResponse(name, "LIVE555 Streaming Media", "secret", False, nonce, "DESCRIBE", uri);
    EXPECT_FALSE(digestAuthorizationAccepted(plain, header(name, response), nonce, "DESCRIBE")) << name.substr(0, 10);
  }
}

}  // namespace
