// The MIKEY codec and the KeyMgmt header against what GStreamer's rtspsrc
// (Debian 12, 1.22) sent in a SETUP of RTP/SAVP to the daemon.
#include <gtest/gtest.h>

#include "MikeyMessage.hh"

namespace {

// rtspsrc's KeyMgmt header: its own SRTCP key for the receiver reports it sends.
char const kGStreamerKeyMgmt[] =
    "prot=mikey;uri=\"rtsps://127.0.0.1:8322/ch01/track1\";data=\"AQAFAHrL/FQBAAAP4b1rAAAAAAsA7sPPJ7cXm/0KEJmv1r+s0l00"
    "ck838e5zSNQBAAAAFQABAQEBEAIBAQMBCgcBAQgBAQoBAQAAACIAIAAev3Gwd5bhY7tqA4i5eigpRNeJUb51TQpLUDYi93fJAA==\"";
unsigned char const kGStreamerKey[30] = {0xbf, 0x71, 0xb0, 0x77, 0x96, 0xe1, 0x63, 0xbb, 0x6a, 0x03,
                                         0x88, 0xb9, 0x7a, 0x28, 0x29, 0x44, 0xd7, 0x89, 0x51, 0xbe,
                                         0x75, 0x4d, 0x0a, 0x4b, 0x50, 0x36, 0x22, 0xf7, 0x77, 0xc9};

bool parse(std::string const& m, MikeySRTPKey& key) {
  return parseMikeyMessage(reinterpret_cast<unsigned char const*>(m.data()), m.size(), key);
}

std::string ours() {
  MikeySRTPKey key;
  key.csbId = 0x01020304;
  key.ssrc = 0xCAFEBABE;
  key.roc = 7;
  for (unsigned i = 0; i < sizeof key.master; ++i) key.master[i] = static_cast<unsigned char>(i * 7 + 1);
  unsigned char rand[16] = {1, 2, 3};
  return buildMikeyMessage(key, rand, 0xE1234567890ABCDEull);
}

}  // namespace

TEST(Mikey, ReadsGStreamersKeyMgmtHeader) {
  std::string mikey;
  ASSERT_TRUE(parseKeyMgmtHeader(kGStreamerKeyMgmt, mikey));
  MikeySRTPKey key;
  ASSERT_TRUE(parse(mikey, key));
  EXPECT_EQ(key.csbId, 0x7acbfc54u);
  EXPECT_EQ(key.ssrc, 0x0fe1bd6bu);
  EXPECT_EQ(key.roc, 0u);
  EXPECT_EQ(0, memcmp(key.master, kGStreamerKey, sizeof key.master));
}

TEST(Mikey, WhatItBuildsItReadsBack) {
  MikeySRTPKey key;
  ASSERT_TRUE(parse(ours(), key));
  EXPECT_EQ(key.csbId, 0x01020304u);
  EXPECT_EQ(key.ssrc, 0xCAFEBABEu);
  EXPECT_EQ(key.roc, 7u);
  EXPECT_EQ(key.master[29], 29 * 7 + 1);
  std::string line = keyMgmtSDPLine(ours());
  ASSERT_EQ(line.rfind("a=key-mgmt:mikey ", 0), 0u);
  ASSERT_EQ(line.substr(line.size() - 2), "\r\n");
  std::string decoded;
  ASSERT_TRUE(base64Decode(line.substr(17, line.size() - 19), decoded));
  EXPECT_EQ(decoded, ours());
}

TEST(Mikey, RefusesOtherMessagesAndEveryTruncation) {
  MikeySRTPKey key;
  std::string m = ours();
  for (size_t n = 0; n < m.size(); ++n) EXPECT_FALSE(parse(m.substr(0, n), key)) << n;
  EXPECT_FALSE(parse(m + '\0', key));
  // Offsets in our message: the header 0-18, T 19-28, RAND 29-46, SP 47-78 (its values from 54 on, every
  // third byte), KEMAC from 79 (encryption algorithm at 80), the MAC algorithm last.
  struct Change {
    size_t at;
    unsigned char value;
    char const* what;
  } const changes[] = {
      {0, 2, "version"},      {1, 1, "public-key data type"}, {8, 0, "no crypto session"},
      {9, 1, "ID map type"},  {20, 9, "timestamp type"},      {54, 2, "AES-F8"},
      {57, 32, "key length"}, {80, 1, "encrypted key data"},  {m.size() - 1, 1, "a MAC"},
  };
  for (Change const& c : changes) {
    std::string bad = m;
    ASSERT_LT(c.at, bad.size());
    bad[c.at] = static_cast<char>(c.value);
    EXPECT_FALSE(parse(bad, key)) << c.what;
  }
}

TEST(KeyMgmtHeader, FindsTheMikeySpecAndItsData) {
  std::string mikey;
  EXPECT_TRUE(parseKeyMgmtHeader("prot=other;data=\"AAAA\", prot=MIKEY; uri=\"rtsp://h/a,b\"; data=AQID", mikey));
  EXPECT_EQ(mikey, std::string("\x01\x02\x03"));
  for (char const* bad : {"", "prot=mikey", "prot=mikey;data=\"\"", "prot=mikey;data=\"A*B=\"", "data=AQID",
                          "prot=other;data=AQID", "prot=mikey;data=AQI"}) {
    EXPECT_FALSE(parseKeyMgmtHeader(bad, mikey)) << bad;
  }
}
