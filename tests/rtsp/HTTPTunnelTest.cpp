// RTSP over HTTP, the pure parts: the base64 stream decoder and the table of
// tunnels by cookie (the requests and the wire are covered end to end).
#include <gtest/gtest.h>

#include <string>

#include "Base64StreamDecoder.hh"
#include "HTTPTunnelTable.hh"

namespace {

// Decodes 'text' in pieces of 'piece' characters into outputs of 'room' bytes.
std::string decode(std::string const& text, size_t piece, size_t room, bool* failed = nullptr) {
  Base64StreamDecoder d;
  std::string result;
  unsigned char out[64];
  for (size_t pos = 0, used = 0; pos < text.size() && !d.failed(); pos += used) {
    auto const* in = reinterpret_cast<unsigned char const*>(text.data()) + pos;
    result.append(reinterpret_cast<char*>(out), d.decode(in, std::min(piece, text.size() - pos), out, room, used));
  }
  if (failed != nullptr) *failed = d.failed();
  return result;
}

TEST(Base64StreamDecoder, SplitAnywhereAcrossGroupsPaddingAndLinesAndFailsOnAnythingElse) {
  // Requests encoded one by one (padding between them) or as one stream, with line ends.
  std::string const text = "T1BUSU9OUyAqIFJUU1AvMS4wDQpDU2VxOiAxDQoNCg==\r\nUExBWQ==\nYQ== TWFuQUI=";
  for (size_t piece = 1; piece <= text.size(); ++piece) {
    for (size_t room : {1, 2, 3, 64}) {
      EXPECT_EQ(decode(text, piece, room), "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\nPLAYaManAB") << piece << " " << room;
    }
  }
  // Bytes decoded before the failure, which nothing after it undoes.
  for (auto [bad, before] : {std::pair{"QU!J", "A"}, {"=QUJ", ""}, {"Q===", ""}, {"QQ=A", "A"}, {"QUJ-", "AB"}}) {
    bool failed = false;
    EXPECT_EQ(decode(std::string(bad) + "QUJD", 1, 64, &failed), before) << bad;
    EXPECT_TRUE(failed) << bad;
  }
}

TEST(HTTPTunnelTable, OneInputAtATimeAndTheTunnelEndsWithItsOutput) {
  HTTPTunnelTable t;
  char halves[3];  // addresses only: the table never uses its connections
  auto* get = reinterpret_cast<RTSPClientConnection*>(&halves[0]);
  auto* post = reinterpret_cast<RTSPClientConnection*>(&halves[1]);
  auto* other = reinterpret_cast<RTSPClientConnection*>(&halves[2]);
  EXPECT_EQ(t.join("c", post), HTTPTunnelTable::Join::NoTunnel);
  ASSERT_TRUE(t.open("c", get));
  EXPECT_FALSE(t.open("c", other));  // the cookie is in use
  EXPECT_FALSE(t.open("d", get));    // a connection is one tunnel's half only
  EXPECT_EQ(t.join("c", get), HTTPTunnelTable::Join::Busy);
  ASSERT_EQ(t.join("c", post), HTTPTunnelTable::Join::Joined);
  EXPECT_EQ(t.join("c", other), HTTPTunnelTable::Join::Busy);
  EXPECT_TRUE(t.outputOf(post) == get && t.inputOf(get) == post && t.outputOf(get) == nullptr);
  // The input half ends alone; another may follow.
  EXPECT_EQ(t.remove(post), nullptr);
  EXPECT_TRUE(t.outputOf(post) == nullptr && t.inputOf(get) == nullptr);
  ASSERT_EQ(t.join("c", other), HTTPTunnelTable::Join::Joined);
  // The output half ends the tunnel and hands back its input half; the cookie is free again.
  EXPECT_EQ(t.remove(get), other);
  EXPECT_TRUE(t.numTunnels() == 0 && t.outputOf(other) == nullptr && t.remove(other) == nullptr);
  EXPECT_TRUE(t.open("c", post));
}

}  // namespace
