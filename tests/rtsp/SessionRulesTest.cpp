// The pure rules about what a request may do to a session: who may act on
// it by its id, and which interleaved channels a track may use.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "InterleavedChannels.hh"
#include "SessionAccess.hh"

namespace {

// The session's client, and three other hosts.
struct Hosts {
  char const* name;
  char const* client;
  char const* others[3];
};
class SessionAccessByAddress : public ::testing::TestWithParam<Hosts> {};

NetAddress address(char const* text) { return NetAddress::fromText(text); }

TEST_P(SessionAccessByAddress, TheOwnConnectionGoesByIdOthersPassWhatASessionOpeningSetupPasses) {
  Hosts const h = GetParam();
  int connectionA = 0, connectionB = 0;  // identities only
  SessionOrigin const opened{&connectionA, address(h.client)};
  for (bool credentials : {false, true}) {
    // Its own connection: by the id alone.
    EXPECT_EQ(sessionAccessFor(opened, {&connectionA, address(h.client)}, credentials), SessionAccess::Granted);
    // Another host: as for an unknown id.
    EXPECT_EQ(sessionAccessFor(opened, {&connectionB, address(h.others[0])}, credentials), SessionAccess::Refused);
    // The same host on another connection: Digest when there are credentials.
    EXPECT_EQ(sessionAccessFor(opened, {&connectionB, address(h.client)}, credentials),
              credentials ? SessionAccess::NeedsDigest : SessionAccess::Granted);
  }
  // Once its connection has closed, every connection is another one.
  SessionOrigin const orphan{nullptr, address(h.client)};
  EXPECT_EQ(sessionAccessFor(orphan, {&connectionA, address(h.client)}, true), SessionAccess::NeedsDigest);
  EXPECT_EQ(sessionAccessFor(orphan, {&connectionA, address(h.others[1])}, false), SessionAccess::Refused);
  // A connection's requests always come from the one address it was accepted from;
  // a mismatch on the session's own connection changes nothing.
  EXPECT_EQ(sessionAccessFor(opened, {&connectionA, address(h.others[2])}, true), SessionAccess::Granted);
}

// IPv6 addresses differ in their last bytes, their first, or only past the
// first 32 bits; a host over IPv4 and over IPv6 is two hosts (its v4-mapped
// form is its IPv4 address).
INSTANTIATE_TEST_SUITE_P(
    Families, SessionAccessByAddress,
    ::testing::Values(Hosts{"IPv4", "10.0.0.5", {"10.0.0.6", "10.0.0.7", "10.0.0.9"}},
                      Hosts{"IPv6", "fd00::5", {"fd00::6", "fd01::5", "fd00:0:0:1::5"}},
                      Hosts{"IPv4ClientAndIPv6", "10.0.0.5", {"::a00:5", "::ffff:10.0.0.6", "fd00::5"}},
                      Hosts{"IPv4MappedClient", "::ffff:10.0.0.5", {"::a00:5", "10.0.0.6", "fe80::5"}}),
    [](::testing::TestParamInfo<Hosts> const& info) { return info.param.name; });

InterleavedChannelSet channels(std::initializer_list<unsigned> list) {
  InterleavedChannelSet s;
  for (unsigned c : list) s.set(c);
  return s;
}

TEST(InterleavedChannels, ARequestedPairIsGrantedOnlyWhenFree) {
  InterleavedChannelPair chosen{9, 9};
  InterleavedChannelPair want{0, 1};
  ASSERT_TRUE(chooseInterleavedChannels(channels({}), &want, 0, chosen));
  EXPECT_EQ(chosen.rtp, 0);
  EXPECT_EQ(chosen.rtcp, 1);
  want = {255, 254};
  ASSERT_TRUE(chooseInterleavedChannels(channels({0, 1}), &want, 0, chosen));
  EXPECT_EQ(chosen.rtp, 255);
  EXPECT_EQ(chosen.rtcp, 254);
  // Either channel taken: refused, 'chosen' untouched.
  for (InterleavedChannelPair w : {InterleavedChannelPair{0, 1}, InterleavedChannelPair{1, 2},
                                   InterleavedChannelPair{7, 255}, InterleavedChannelPair{255, 3}}) {
    EXPECT_FALSE(chooseInterleavedChannels(channels({1, 255}), &w, 0, chosen)) << int(w.rtp) << "-" << int(w.rtcp);
    EXPECT_EQ(chosen.rtp, 255);
  }
}

TEST(InterleavedChannels, WithoutARequestTheLowestFreePairFromTheSessionsOwnNext) {
  InterleavedChannelPair chosen;
  // Alone on its connection: 0-1, 2-3, ... as the session's tracks go.
  for (unsigned own = 0; own < 4; ++own) {
    ASSERT_TRUE(chooseInterleavedChannels(channels({}), nullptr, own, chosen));
    EXPECT_EQ(chosen.rtp, 2 * own);
    EXPECT_EQ(chosen.rtcp, 2 * own + 1);
  }
  // Pairs with a taken channel are skipped.
  ASSERT_TRUE(chooseInterleavedChannels(channels({0, 1, 3, 4}), nullptr, 0, chosen));
  EXPECT_EQ(chosen.rtp, 6);
  // From the top it wraps to the lowest free pair.
  InterleavedChannelSet upper;
  for (unsigned c = 128; c < 256; ++c) upper.set(c);
  upper.set(0);
  ASSERT_TRUE(chooseInterleavedChannels(upper, nullptr, 70, chosen));
  EXPECT_EQ(chosen.rtp, 2);
  // Every pair taken: refused.
  InterleavedChannelSet odd;
  for (unsigned c = 1; c < 256; c += 2) odd.set(c);
  EXPECT_FALSE(chooseInterleavedChannels(odd, nullptr, 0, chosen));
}

}  // namespace
