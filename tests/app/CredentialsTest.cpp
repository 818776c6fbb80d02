// Reading the credentials file into the Digest user database.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "../support/DaemonTestUtil.hh"
#include "Credentials.hh"
#include "Settings.hh"

namespace {

class CredentialsTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ostra-cred-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/httppasswd";
  }
  void TearDown() override {
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
  void write(std::string const& text) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }
  std::unique_ptr<UserAuthenticationDatabase> load(std::string const& text) {
    write(text);
    return std::unique_ptr<UserAuthenticationDatabase>(loadCredentials(path.c_str(), 1, 10));
  }
  static std::string pw(UserAuthenticationDatabase& db, char const* user) {
    char const* p = db.lookupPassword(user);
    return p == nullptr ? std::string("<none>") : std::string(p);
  }

  std::string dir, path;
};

TEST_F(CredentialsTest, OneRecordInTheClearWithTheDefaultRealm) {
  auto db = load("alice:secret\n");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->numUsers(), 1u);
  EXPECT_EQ(pw(*db, "alice"), "secret");
  EXPECT_EQ(pw(*db, "Alice"), "<none>");  // user names are compared exactly
  EXPECT_FALSE(db->passwordsAreMD5());
  EXPECT_STREQ(db->realm(), "LIVE555 Streaming Media");
}

TEST_F(CredentialsTest, FirstColonSplitsLaterColonsStayInThePassword) {
  auto db = load("bob:pa:ss:word");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->numUsers(), 1u);
  EXPECT_EQ(pw(*db, "bob"), "pa:ss:word");
}

TEST_F(CredentialsTest, EmptyUserAndEmptyPasswordAreRecords) {
  auto db = load(":nouser carol:");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->numUsers(), 2u);
  EXPECT_EQ(pw(*db, ""), "nouser");
  EXPECT_EQ(pw(*db, "carol"), "");
}

TEST_F(CredentialsTest, TokensWithoutColonAreSkippedAndReadingGoesOn) {
  auto db = load("# comment-like nocolon dave:one\n#erin:two\n");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->numUsers(), 2u);
  EXPECT_EQ(pw(*db, "dave"), "one");
  EXPECT_EQ(pw(*db, "#erin"), "two");  // no comment syntax
  EXPECT_EQ(pw(*db, "#"), "<none>");
}

TEST_F(CredentialsTest, LaterRecordForTheSameUserWins) {
  auto db = load("frank:old\nfrank:new\n");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->numUsers(), 1u);
  EXPECT_EQ(pw(*db, "frank"), "new");
}

TEST_F(CredentialsTest, AnyWhiteSpaceSeparatesRecords) {
  auto db = load(
      "  a:1 b:2\tc:3\n\n\r\nd:4\x0b"
      "e:5\x0c"
      "f:6");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->numUsers(), 6u);
  EXPECT_EQ(pw(*db, "a"), "1");
  EXPECT_EQ(pw(*db, "c"), "3");
  EXPECT_EQ(pw(*db, "d"), "4");
  EXPECT_EQ(pw(*db, "f"), "6");
}

TEST_F(CredentialsTest, OverLongTokenIsReadInFullWithoutOverrun) {
  // 127 characters is the classic limit; longer tokens are taken whole, never
  // cut into several records and never written past a fixed buffer.
  std::string longPassword(400, 'p');
  std::string exact127 = "u127:" + std::string(122, 'q');
  ASSERT_EQ(exact127.size(), 127u);
  std::string longNoColon(1000, 'x');
  auto db = load("long:" + longPassword + " " + exact127 + " " + longNoColon + ":" + " " + std::string(300, 'y') +
                 " after:ok\n");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(pw(*db, "long"), longPassword);
  EXPECT_EQ(pw(*db, "u127"), std::string(122, 'q'));
  EXPECT_EQ(pw(*db, longNoColon.c_str()), "");
  EXPECT_EQ(pw(*db, "after"), "ok");
  EXPECT_EQ(db->numUsers(), 4u);  // the 300-character token without a colon is no record
}

TEST_F(CredentialsTest, EmptyFileGivesAnEmptyDatabase) {
  auto db = load("");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->numUsers(), 0u);
  EXPECT_EQ(pw(*db, ""), "<none>");
}

TEST_F(CredentialsTest, MissingFileGivesNullAfterEveryAttempt) {
  int64_t t0 = daemontest::nowMs();
  daemontest::CaptureFd out(1), err(2);
  UserAuthenticationDatabase* db = loadCredentials(path.c_str(), 4, 50);
  std::string o = out.text(), e = err.text();
  out.restore();
  err.restore();
  EXPECT_EQ(db, nullptr);
  EXPECT_GE(daemontest::nowMs() - t0, 4 * 50);  // every failed attempt is followed by its pause
  EXPECT_EQ(o, "");
  EXPECT_EQ(e, "");
}

TEST_F(CredentialsTest, LoaderWritesNothing) {
  write("g:h\nbad\n");
  daemontest::CaptureFd out(1), err(2);
  std::unique_ptr<UserAuthenticationDatabase> db(loadCredentials(path.c_str(), 1, 10));
  std::string o = out.text(), e = err.text();
  out.restore();
  err.restore();
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(o, "");
  EXPECT_EQ(e, "");
}

TEST_F(CredentialsTest, FileAppearingWhileTheLoaderWaitsIsRead) {
  // The loader retries every 20 ms for up to 4 s; the file appears after the
  // loader has started and found nothing.
  std::thread creator([this] {
    int64_t deadline = daemontest::nowMs() + 200;
    while (daemontest::nowMs() < deadline) std::this_thread::yield();
    FILE* f = fopen((path + ".tmp").c_str(), "w");
    fputs("late:comer\n", f);
    fclose(f);
    rename((path + ".tmp").c_str(), path.c_str());
  });
  std::unique_ptr<UserAuthenticationDatabase> db(loadCredentials(path.c_str(), 200, 20));
  creator.join();
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(pw(*db, "late"), "comer");
}

TEST(CredentialsBuiltIn, ProductionLoaderUsesTheFixedPath) {
  // Without /var/etc/httppasswd the production loader would wait 40 s; only
  // check that the built-in settings name the fixed path and timing.
  Settings s;
  EXPECT_STREQ(s.credentialsFile, "/var/etc/httppasswd");
  EXPECT_EQ(s.credentialsAttempts, 40u);
  EXPECT_EQ(s.credentialsRetryMs, 1000u);
}

}  // namespace
