// The RTSP server's random draws: session ids that do not predict one
// another, and nothing created or challenged without random bytes.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ServerTestSupport.hh"
#include "SystemRandom.hh"

using namespace rtsptest;

namespace {

// The output of a 32-bit Mersenne Twister (std::mt19937) that follows the 624
// outputs in 'seen': untempering each gives the generator's state, and one
// step of its recurrence gives the next output.
uint32_t predictNextMT19937(std::vector<uint32_t> const& seen) {
  auto untemper = [](uint32_t y) {
    y ^= y >> 18;
    y ^= (y << 15) & 0xefc60000u;
    uint32_t x = y;
    for (int i = 0; i < 5; ++i) x = y ^ ((x << 7) & 0x9d2c5680u);
    y = x;
    x = y;
    for (int i = 0; i < 3; ++i) x = y ^ (x >> 11);
    return x;
  };
  std::vector<uint32_t> state;
  for (size_t i = seen.size() - 624; i < seen.size(); ++i) state.push_back(untemper(seen[i]));
  uint32_t y = (state[0] & 0x80000000u) | (state[1] & 0x7fffffffu);
  uint32_t v = state[397] ^ (y >> 1) ^ ((y & 1u) ? 0x9908b0dfu : 0u);
  v ^= v >> 11;
  v ^= (v << 7) & 0x9d2c5680u;
  v ^= (v << 15) & 0xefc60000u;
  v ^= v >> 18;
  return v;
}

bool failingRandomSource(void*, size_t) { return false; }

TEST_F(RTSPServerTest, SessionIdsDoNotPredictOneAnother) {
  // The predictor does find the next output of a Mersenne Twister.
  std::mt19937 twister(20240601u);
  std::vector<uint32_t> outputs;
  for (int i = 0; i < 624; ++i) outputs.push_back(twister());
  ASSERT_EQ(predictNextMT19937(outputs), twister());

  start(18640);
  RawClient c(loop, port);
  std::vector<uint32_t> ids;
  for (int i = 0; i < 625; ++i) {
    std::string id = sessionId(setupUDP(c, 1, 43000));
    ASSERT_EQ(id.size(), 8u) << i;
    ASSERT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;
    ids.push_back(static_cast<uint32_t>(std::stoul(id, nullptr, 16)));
    ASSERT_EQ(c.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + id + "\r\n\r\n").substr(0, 15),
              "RTSP/1.0 200 OK");
  }
  uint32_t last = ids.back();
  ids.pop_back();
  EXPECT_NE(predictNextMT19937(ids), last) << "the 625th session id was predicted from the 624 before it";
}

TEST_F(RTSPServerTest, WithoutRandomBytesNothingIsCreatedOrChallenged) {
  db = std::make_unique<UserAuthenticationDatabase>();
  start(18641);
  RawClient c(loop, port);
  setSystemRandomSourceForTesting(failingRandomSource);
  // No nonce can be drawn: no challenge, and no stale nonce stays valid.
  std::string r = c.request("DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  setSystemRandomSourceForTesting(nullptr);
  EXPECT_EQ(normalizeDate(r), "RTSP/1.0 500 Internal Server Error\r\nCSeq: 1\r\nDate: <date>\r\n\r\n");
  EXPECT_EQ(c.request("DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 2\r\n\r\n").substr(0, 12), "RTSP/1.0 401");

  // No session id can be drawn: the SETUP is refused and creates nothing.
  Medium::close(server);
  db.reset();
  start(18642);
  RawClient d(loop, port);
  setSystemRandomSourceForTesting(failingRandomSource);
  r = setupUDP(d, 3, 43010);
  setSystemRandomSourceForTesting(nullptr);
  EXPECT_EQ(normalizeDate(r), "RTSP/1.0 500 Internal Server Error\r\nCSeq: 3\r\nDate: <date>\r\n\r\n");
  EXPECT_EQ(counters.created, 0);
  std::string id = sessionId(setupUDP(d, 4, 43010));
  EXPECT_EQ(id.size(), 8u);
  EXPECT_EQ(counters.alive, 1);
}

}  // namespace
