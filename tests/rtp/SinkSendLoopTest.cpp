// The sink's direct send loop (packets due at once go out without a pass of
// the event loop in between) with sources that deliver synchronously.

#include <memory>

#include "RtpTestSupport.hh"
#include "SimpleRTPSink.hh"

using namespace rtptest;

namespace {

// Delivers 'count' frames from inside doGetNextFrame() itself (no task), then
// closes from inside it too: every request is answered before getNextFrame()
// returns.
class SyncSource : public FramedSource {
public:
  static SyncSource* createNew(UsageEnvironment& env, unsigned count, unsigned size) {
    return new SyncSource(env, count, size);
  }
  unsigned delivered = 0;

protected:
  SyncSource(UsageEnvironment& env, unsigned count, unsigned size) : FramedSource(env), fCount(count), fSize(size) {}
  void doGetNextFrame() override {
    if (delivered == fCount) {
      handleClosure();
      return;
    }
    unsigned n = fSize < fMaxSize ? fSize : fMaxSize;
    for (unsigned i = 0; i < n; ++i) fTo[i] = static_cast<unsigned char>(delivered + i);
    fFrameSize = n;
    fNumTruncatedBytes = 0;
    fPresentationTime = tv(100, 0);
    fDurationInMicroseconds = 0;  // always due: nothing paces these frames
    ++delivered;
    afterGetting(this);
  }

private:
  unsigned fCount, fSize;
};

class SinkSendLoopTest : public LoopTest {
protected:
  void SetUp() override {
    LoopTest::SetUp();
    receiver = std::make_unique<UdpReceiver>(*env);
    gs = std::make_unique<Groupsock>(*env, Port(0));
    ASSERT_GE(gs->socketNum(), 0);
    gs->addDestination(receiver->loopback(), Port(receiver->port()), 1);
  }
  void TearDown() override {
    Medium::close(sink);
    Medium::close(source);
    gs.reset();
    receiver.reset();
    LoopTest::TearDown();
  }
  // Closes the sink from inside its end-of-source callback, as a session
  // tearing itself down would.
  static void closeSinkAfterPlaying(void* cd) {
    auto* self = static_cast<SinkSendLoopTest*>(cd);
    Medium::close(self->sink);
    self->sink = nullptr;
    self->ended = true;
  }
  static void afterPlaying(void* cd) { static_cast<SinkSendLoopTest*>(cd)->ended = true; }

  std::unique_ptr<UdpReceiver> receiver;
  std::unique_ptr<Groupsock> gs;
  MediaSource* source = nullptr;
  MultiFramedRTPSink* sink = nullptr;
  bool ended = false;
};

TEST_F(SinkSendLoopTest, SynchronousSourceIsSentInOrderAndMayCloseTheSinkFromInsideTheLoop) {
  // Thousands of frames all due at once, each answered synchronously: the
  // stack must not grow with them, every packet goes out once and in order,
  // and the sink closed from inside its own send loop is not touched again.
  constexpr unsigned kFrames = 3000;
  auto* sync = SyncSource::createNew(*env, kFrames, 40);
  source = sync;
  sink = SimpleRTPSink::createNew(*env, gs.get(), 96, 90000, "video", "X-TEST", 1, False, True);
  ASSERT_TRUE(sink->startPlaying(*sync, closeSinkAfterPlaying, this));
  ASSERT_TRUE(runUntil([&] { return ended && receiver->packets.size() == kFrames; }, 20000))
      << "received " << receiver->packets.size() << " of " << kFrames;
  EXPECT_EQ(sink, nullptr);
  EXPECT_EQ(sync->delivered, kFrames);
  RtpHeader first;
  ASSERT_TRUE(parseRtp(receiver->packets[0], first));
  for (unsigned i = 0; i < kFrames; ++i) {
    RtpHeader h;
    ASSERT_TRUE(parseRtp(receiver->packets[i], h));
    ASSERT_EQ(h.seq, uint16_t(first.seq + i)) << "packet " << i;
    ASSERT_EQ(receiver->packets[i].size(), 12u + 40u);
    EXPECT_EQ(receiver->packets[i][12], static_cast<uint8_t>(i)) << "frame " << i << " in packet " << i;
  }
}

TEST_F(SinkSendLoopTest, StopPlayingFromOutsideEndsTheLoop) {
  // An endless synchronous source: the sink keeps yielding to the event loop
  // (the loop is bounded), so stopPlaying() from an event-loop task stops it.
  auto* sync = SyncSource::createNew(*env, 0xFFFFFFFFu, 20);
  source = sync;
  sink = SimpleRTPSink::createNew(*env, gs.get(), 96, 90000, "video", "X-TEST", 1, False, True);
  ASSERT_TRUE(sink->startPlaying(*sync, afterPlaying, this));
  ASSERT_TRUE(runUntil([&] { return receiver->packets.size() >= 500; }, 10000));
  sink->stopPlaying();
  unsigned const sent = sink->packetCount();
  ASSERT_TRUE(runUntil([&] { return receiver->packets.size() == sent; }));
  runFor(50);  // no packet follows stopPlaying()
  EXPECT_EQ(sink->packetCount(), sent);
  EXPECT_EQ(receiver->packets.size(), sent);
  EXPECT_FALSE(ended);
}

}  // namespace
