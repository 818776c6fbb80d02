// RTSP over TLS at the library's level: the certificate file's problems are
// named, bursts go out in few records, UDP is refused inside TLS, and garbage
// closes only its connection; SRTP for RTSPS clients: keys, receiver reports,
// a restarted stream.
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#if OSTRA_SRTP
#include <srtp2/srtp.h>
#endif

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../support/TestCertificate.hh"
#include "HostileInputTestSupport.hh"
#include "MikeyMessage.hh"
#include "SRTPCrypto.hh"

using namespace rtsptest;

namespace {

// A client session on a non-blocking socket, moved on by the server's loop.
struct TLSClient {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(ctx);
  unsigned records = 0;  // records received
  explicit TLSClient(int fd) {
    SSL_set_fd(ssl, fd);
    SSL_set_app_data(ssl, this);
    SSL_set_msg_callback(ssl, [](int writing, int, int type, void const*, size_t, SSL* s, void*) {
      if (!writing && type == SSL3_RT_HEADER) ++static_cast<TLSClient*>(SSL_get_app_data(s))->records;
    });
  }
  ~TLSClient() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }
  // Sends a request and reads until its answer's header has ended.
  std::string request(Loop& loop, std::string const& text) {
    std::string answer;
    char buf[4096];
    if (SSL_write(ssl, text.data(), static_cast<int>(text.size())) != static_cast<int>(text.size())) return "";
    loop.runUntil([&] {
      for (int n; (n = SSL_read(ssl, buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
      return answer.find("\r\n\r\n") != std::string::npos;
    });
    return answer;
  }
  // The same, with the body of an answer that has one.
  std::string requestWithBody(Loop& loop, std::string const& text) {
    std::string answer = request(loop, text);
    size_t length = std::strtoul(headerValue(answer, "Content-Length").c_str(), nullptr, 10);
    char buf[4096];
    loop.runUntil([&] {
      for (int n; (n = SSL_read(ssl, buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
      return answer.size() >= answer.find("\r\n\r\n") + 4 + length;
    });
    return answer;
  }
};

TEST(TLSContextTest, NamesWhatIsWrongWithTheCertificateFile) {
  char const* problem = "x";
  EXPECT_EQ(TLSContext::createNew("/tmp/ostra-tls-test-absent.pem", problem), nullptr);
  EXPECT_EQ(problem, nullptr);  // absent: nothing to say
  std::string const path = "/tmp/ostra-tls-test-bad.pem";
  struct Case {
    long valid;
    daemontest::PEMParts parts;
    char const* problem;
  } const cases[] = {{86400, daemontest::PEMParts::CertificateOnly, "holds no private key"},
                     {86400, daemontest::PEMParts::OtherKey, "the private key does not match the certificate"},
                     {-60, daemontest::PEMParts::CertificateAndKey, "the certificate has expired"}};
  for (Case const& c : cases) {
    ASSERT_TRUE(daemontest::writeTestPEM(path, c.valid, c.parts));
    EXPECT_EQ(TLSContext::createNew(path.c_str(), problem), nullptr);
    EXPECT_STREQ(problem, c.problem);
  }
  FILE* f = fopen(path.c_str(), "w");
  fputs("not a certificate\n", f);
  fclose(f);
  EXPECT_EQ(TLSContext::createNew(path.c_str(), problem), nullptr);
  EXPECT_STREQ(problem, "holds no certificate");
  unlink(path.c_str());
  EXPECT_NE(daemontest::testTLSContext(), nullptr);
}

TEST(TLSContextTest, ABurstOfPacketsGoesOutInFewRecords) {
  Loop loop;
  std::unique_ptr<TLSContext> tls = daemontest::testTLSContext();
  ASSERT_NE(tls, nullptr);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  std::unique_ptr<ByteTransport> server = tls->newTransport(fds[0]);
  TLSClient client(fds[1]);
  ASSERT_TRUE(loop.runUntil([&] {
    bool const moving = server->progress();
    return SSL_connect(client.ssl) == 1 && moving && server->ready();
  }));
  unsigned const before = client.records;
  static unsigned char packet[1404];
  struct iovec iov[40];
  for (struct iovec& piece : iov) piece = {packet, sizeof packet};
  bool blocked = true;
  EXPECT_EQ(server->writeBurst(iov, 40, blocked), static_cast<ssize_t>(40 * sizeof packet));
  EXPECT_FALSE(blocked);
  std::string got;
  char buf[16384];
  loop.runUntil([&] {
    for (int n; (n = SSL_read(client.ssl, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
    return got.size() >= 40 * sizeof packet;
  });
  EXPECT_EQ(got.size(), 40 * sizeof packet);
  EXPECT_EQ(client.records - before, 4u);  // 56160 bytes: four records of at most 16 kB
  server.reset();
  close(fds[0]);
  close(fds[1]);
}

TEST_F(HostileInputTest, TLSConnectionsAreServedAndGarbageClosesOnlyItsOwn) {
  std::unique_ptr<TLSContext> tls = daemontest::testTLSContext();
  ASSERT_NE(tls, nullptr);
  start(18590);
  ASSERT_TRUE(server->addTLSPort(Port(18591), tls.get()));
  RawClient garbage(loop, 18591);
  garbage.sendText("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  EXPECT_TRUE(loop.runUntil([&] { return !garbage.pump(); }, 2000));

  RawClient plain(loop, 18591);
  TLSClient client(plain.socketNum());
  ASSERT_TRUE(loop.runUntil([&] { return SSL_connect(client.ssl) == 1; }));
  std::string r = client.request(loop, "DESCRIBE rtsps://127.0.0.1:18591/ch01 RTSP/1.0\r\nCSeq: 2\r\n\r\n");
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
  EXPECT_NE(r.find("Content-Base: rtsps://127.0.0.1:18591/ch01/"), std::string::npos) << r;
  r = client.request(loop, "SETUP " + url("/track1") +
                               " RTSP/1.0\r\nCSeq: 3\r\nTransport: RTP/AVP;unicast;"
                               "client_port=41000-41001\r\n\r\n");
  EXPECT_EQ(r.substr(0, 34), "RTSP/1.0 461 Unsupported Transport") << r;
  r = client.request(loop, "SETUP " + url("/track1") +
                               " RTSP/1.0\r\nCSeq: 4\r\nTransport: RTP/AVP/TCP;unicast;"
                               "interleaved=0-1\r\n\r\n");
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
  expectOthersServed();  // plain RTSP beside it

  Medium::close(server);  // before the context it uses
  server = nullptr;
}

#if OSTRA_SRTP
// A UDP socket on a loopback port.
int udpSocket(unsigned short port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return fd;
}

void sendTo(int fd, unsigned short port, unsigned char const* data, unsigned size) {
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  sendto(fd, data, size, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

// The stream key an SDP offers (false when it offers none).
bool offeredKey(std::string const& sdp, MikeySRTPKey& key) {
  size_t at = sdp.find("a=key-mgmt:mikey ");
  std::string mikey;
  if (at == std::string::npos || !base64Decode(sdp.substr(at + 17, sdp.find("\r\n", at) - at - 17), mikey))
    return false;
  return parseMikeyMessage(reinterpret_cast<unsigned char const*>(mikey.data()), mikey.size(), key);
}

// A client's KeyMgmt header with its own key, and an SRTCP receiver report under it.
struct SRTPClientKey {
  MikeySRTPKey key;
  SRTPProtector protector;
  explicit SRTPClientKey(unsigned char seed) {
    for (unsigned i = 0; i < sizeof key.master; ++i) key.master[i] = static_cast<unsigned char>(seed + i);
    key.ssrc = 0x1000u + seed;
    protector.init(key.master);
  }
  std::string header(std::string const& uri) const {
    unsigned char rand[16] = {};
    std::string line = keyMgmtSDPLine(buildMikeyMessage(key, rand, 0));  // "a=key-mgmt:mikey <base64>\r\n"
    return "KeyMgmt: prot=mikey; uri=\"" + uri + "\"; data=\"" + line.substr(17, line.size() - 19) + "\"\r\n";
  }
  unsigned receiverReport(unsigned char* out) {
    unsigned char rr[8] = {0x80, 201, 0, 1};
    for (int i = 0; i < 4; ++i) rr[4 + i] = static_cast<unsigned char>(key.ssrc >> (24 - 8 * i));
    std::memcpy(out, rr, sizeof rr);
    return protector.protectRTCP(out, sizeof rr, 64);
  }
};

// Whether media and a sender report arrive that decrypt with 'key', under its SSRC.
bool decryptsWith(Loop& loop, int rtpFd, int rtcpFd, MikeySRTPKey& key) {
  srtp_policy_t policy{};
  srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
  srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtcp);
  policy.ssrc.type = ssrc_any_inbound;
  policy.key = key.master;
  policy.window_size = 128;
  srtp_t receiver = nullptr;
  if (srtp_create(&receiver, &policy) != srtp_err_status_ok) return false;
  unsigned char p[1500];
  int decrypted = 0, reports = 0;
  loop.runUntil([&] {
    for (ssize_t n; (n = recv(rtpFd, p, sizeof p, 0)) > 12;) {
      int len = static_cast<int>(n);
      uint32_t ssrc = uint32_t(p[8]) << 24 | uint32_t(p[9]) << 16 | uint32_t(p[10]) << 8 | p[11];
      if (ssrc == key.ssrc && srtp_unprotect(receiver, p, &len) == srtp_err_status_ok && len == n - 10) ++decrypted;
    }
    for (ssize_t n; (n = recv(rtcpFd, p, sizeof p, 0)) > 0;) {
      int len = static_cast<int>(n);
      if (srtp_unprotect_rtcp(receiver, p, &len) == srtp_err_status_ok && p[1] == 200) ++reports;
    }
    return decrypted >= 5 && reports >= 1;
  });
  srtp_dealloc(receiver);
  return decrypted >= 5 && reports >= 1;
}

// Six seconds of reports to the server's SRTCP port: genuine ones from the first
// client; from the second its first report again and again, and reports with a wrong tag.
void sendReports(Loop& loop, int const rtcp[2], unsigned short serverRTCP, SRTPClientKey& genuine,
                 SRTPClientKey& replaying) {
  unsigned char replayed[64];
  unsigned replayedSize = replaying.receiverReport(replayed);
  for (int step = 0; step < 12; ++step) {
    unsigned char rr[64];
    unsigned n = genuine.receiverReport(rr);
    sendTo(rtcp[0], serverRTCP, rr, n);
    sendTo(rtcp[1], serverRTCP, replayed, replayedSize);
    n = replaying.receiverReport(rr);
    rr[n - 1] ^= 1;  // a wrong tag
    sendTo(rtcp[1], serverRTCP, rr, n);
    loop.runFor(500);
  }
}
#endif

}  // namespace

#if OSTRA_SRTP
// The SDP over TLS offers each track as RTP/SAVP with its stream's key (over
// plain RTSP nothing changes and RTP/SAVP is refused); the media decrypts
// with it; genuine SRTCP receiver reports keep a session alive, forged and
// replayed ones do not; a stream that restarts has a new key, and a SETUP on
// a description whose key is gone is refused.
TEST_F(HostileInputTest, SRTPKeysReportsAndRestarts) {
  std::unique_ptr<TLSContext> tls = daemontest::testTLSContext();
  ASSERT_NE(tls, nullptr);
  start(18592, 2);
  ASSERT_TRUE(server->addTLSPort(Port(18593), tls.get()));
  RawClient plain(loop, 18592);
  std::string r = plain.request("DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 1\r\n\r\n", 2000);
  EXPECT_NE(r.find("m=audio 0 RTP/AVP 0\r\n"), std::string::npos) << r;
  EXPECT_EQ(r.find("key-mgmt"), std::string::npos) << r;
  SRTPClientKey genuine(1), replaying(2);
  r = plain.request("SETUP " + url("/track1") +
                        " RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/SAVP;unicast;client_port=41100-41101\r\n" +
                        genuine.header(url("/track1")) + "\r\n",
                    2000);
  EXPECT_EQ(r.substr(0, 34), "RTSP/1.0 461 Unsupported Transport") << r;

  RawClient tcp(loop, 18593);
  TLSClient client(tcp.socketNum());
  ASSERT_TRUE(loop.runUntil([&] { return SSL_connect(client.ssl) == 1; }));
  std::string const base = "rtsps://127.0.0.1:18593/ch01";
  r = client.requestWithBody(loop, "DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 3\r\n\r\n");
  EXPECT_NE(r.find("m=audio 0 RTP/SAVP 0\r\n"), std::string::npos) << r;
  MikeySRTPKey first;
  ASSERT_TRUE(offeredKey(r, first)) << r;

  // Two UDP clients of one session each: one sends genuine reports, the other replays its first one and forges.
  int rtp[2] = {udpSocket(41100), udpSocket(41102)}, rtcp[2] = {udpSocket(41101), udpSocket(41103)};
  std::string sessions[2];
  unsigned short serverRTCP = 0;
  for (int i = 0; i < 2; ++i) {
    std::string transport =
        "RTP/SAVP;unicast;client_port=" + std::to_string(41100 + 2 * i) + "-" + std::to_string(41101 + 2 * i);
    r = client.request(loop, "SETUP " + base + "/track1 RTSP/1.0\r\nCSeq: " + std::to_string(4 + i) +
                                 "\r\nTransport: " + transport + "\r\n" + (i == 0 ? genuine : replaying).header(base) +
                                 "\r\n");
    ASSERT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
    EXPECT_EQ(headerValue(r, "Transport").rfind("RTP/SAVP;unicast;", 0), 0u) << r;
    serverRTCP = static_cast<unsigned short>(std::stoul(r.substr(r.find("server_port=") + 12)) + 1);
    sessions[i] = sessionId(r);
    r = client.request(loop, "PLAY " + base + " RTSP/1.0\r\nCSeq: " + std::to_string(6 + i) +
                                 "\r\nSession: " + sessions[i] + "\r\n\r\n");
    EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
  }
  // The media and the sender reports decrypt with the offered key; the SSRC is the offered one.
  EXPECT_TRUE(decryptsWith(loop, rtp[0], rtcp[0], first));

  // Three reclamation periods of reports.
  sendReports(loop, rtcp, serverRTCP, genuine, replaying);
  for (int i = 0; i < 2; ++i) {
    r = client.request(loop, "GET_PARAMETER " + base + " RTSP/1.0\r\nCSeq: " + std::to_string(8 + i) +
                                 "\r\nSession: " + sessions[i] + "\r\n\r\n");
    EXPECT_EQ(r.substr(0, 12), i == 0 ? "RTSP/1.0 200" : "RTSP/1.0 454") << i << r;
  }

  // The last client leaves: the stream ends, and with it its key.
  r = client.request(loop, "TEARDOWN " + base + " RTSP/1.0\r\nCSeq: 10\r\nSession: " + sessions[0] + "\r\n\r\n");
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
  r = client.request(loop, "SETUP " + base +
                               "/track1 RTSP/1.0\r\nCSeq: 11\r\nTransport: RTP/SAVP/TCP;unicast;interleaved=0-1\r\n" +
                               genuine.header(base) + "\r\n");
  EXPECT_EQ(r.substr(0, 35), "RTSP/1.0 463 Key Management Failure") << r;
  r = client.requestWithBody(loop, "DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 12\r\n\r\n");
  MikeySRTPKey second;
  ASSERT_TRUE(offeredKey(r, second)) << r;
  EXPECT_NE(0, std::memcmp(first.master, second.master, sizeof first.master));
  EXPECT_NE(first.ssrc, second.ssrc);
  r = client.request(
      loop,
      "SETUP " + base + "/track1 RTSP/1.0\r\nCSeq: 13\r\nTransport: RTP/SAVP/TCP;unicast;interleaved=0-1\r\n\r\n");
  EXPECT_EQ(r.substr(0, 35), "RTSP/1.0 463 Key Management Failure") << r;  // no KeyMgmt header
  r = client.request(loop, "SETUP " + base +
                               "/track1 RTSP/1.0\r\nCSeq: 14\r\nTransport: RTP/SAVP/TCP;unicast;interleaved=0-1\r\n" +
                               genuine.header(base) + "\r\n");
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
  EXPECT_EQ(headerValue(r, "Transport").rfind("RTP/SAVP/TCP;unicast;", 0), 0u) << r;
  for (int fd : {rtp[0], rtp[1], rtcp[0], rtcp[1]}) close(fd);
  Medium::close(server);  // before the context it uses
  server = nullptr;
}
#endif
