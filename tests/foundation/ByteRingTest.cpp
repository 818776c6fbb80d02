// ByteRing: the output queue of TCP connections. Bytes come out in the order
// they went in across wrap-around and growth, and a large enough ring does
// not reallocate.
#include <sys/uio.h>

#include <deque>
#include <vector>

#include <gtest/gtest.h>

#include "ByteRing.hh"

namespace {

// Takes up to 'n' bytes off the ring through its pieces, as a writev would.
std::vector<unsigned char> take(ByteRing& ring, size_t n) {
  struct iovec iov[2];
  int pieces = ring.pieces(iov);
  std::vector<unsigned char> out;
  for (int i = 0; i < pieces && out.size() < n; ++i) {
    auto const* p = static_cast<unsigned char const*>(iov[i].iov_base);
    size_t k = std::min(iov[i].iov_len, n - out.size());
    out.insert(out.end(), p, p + k);
  }
  ring.consume(out.size());
  return out;
}

TEST(ByteRingTest, OrderSurvivesWrapAroundAndGrowthWhileWrapped) {
  ByteRing ring(100);
  EXPECT_EQ(ring.capacity(), 100u);
  struct iovec iov[2];
  EXPECT_EQ(ring.pieces(iov), 0);

  std::deque<unsigned char> model;
  unsigned char next = 0;
  auto put = [&](size_t n) {
    std::vector<unsigned char> v(n);
    for (auto& b : v) b = next++;
    ring.append(v.data(), v.size());
    model.insert(model.end(), v.begin(), v.end());
  };
  auto get = [&](size_t n) {
    auto got = take(ring, n);
    ASSERT_EQ(got.size(), std::min(n, model.size()));
    for (unsigned char b : got) {
      ASSERT_EQ(b, model.front());
      model.pop_front();
    }
  };

  // Wrap around the fixed capacity many times without growing.
  for (int round = 0; round < 50; ++round) {
    put(37);
    get(30);
    put(60);
    get(67);
    ASSERT_TRUE(ring.empty());
    ASSERT_EQ(ring.capacity(), 100u) << "round " << round;
  }
  // Leave the queue wrapped (head near the end), then outgrow it.
  put(90);
  get(80);
  put(50);  // 60 queued, split across the end of the buffer
  ASSERT_EQ(ring.pieces(iov), 2);
  put(500);  // does not fit: grows, keeps the order
  EXPECT_GE(ring.capacity(), 560u);
  EXPECT_EQ(ring.size(), 560u);
  get(1000);
  EXPECT_TRUE(ring.empty());
  // An emptied ring starts again at the front: one piece.
  put(10);
  EXPECT_EQ(ring.pieces(iov), 1);
  get(10);
}

TEST(ByteRingTest, StartsEmptyAndGrowsOnlyWhenNeeded) {
  ByteRing ring;
  EXPECT_EQ(ring.capacity(), 0u);
  unsigned char bytes[3000];
  for (unsigned i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(i);
  ring.append(nullptr, 0);  // nothing to add: no allocation
  EXPECT_EQ(ring.capacity(), 0u);
  ring.reserveFree(sizeof bytes);
  size_t const cap = ring.capacity();
  ASSERT_GE(cap, sizeof bytes);
  // A steady flow below the capacity never reallocates.
  for (int i = 0; i < 1000; ++i) {
    ring.append(bytes, sizeof bytes);
    struct iovec iov[2];
    ASSERT_GE(ring.pieces(iov), 1);
    auto got = take(ring, 1000);
    ASSERT_EQ(got[0], static_cast<unsigned char>(0));
    auto rest = take(ring, sizeof bytes);
    ASSERT_EQ(rest.size(), sizeof bytes - 1000);
    ASSERT_EQ(rest.back(), bytes[sizeof bytes - 1]);
    ASSERT_EQ(ring.capacity(), cap);
  }
}

}  // namespace
