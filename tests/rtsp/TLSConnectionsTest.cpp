// RTSP over TLS at the library's level: the certificate file's problems are
// named, bursts go out in few records, UDP is refused inside TLS, and garbage
// closes only its connection.
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../support/TestCertificate.hh"
#include "HostileInputTestSupport.hh"

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

}  // namespace
