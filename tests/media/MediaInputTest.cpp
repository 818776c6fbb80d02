// The media input hub and its producer sources over real loopback sockets and
// the real event loop, against a fake producer.
#include <sys/socket.h>
#include <sys/time.h>

#include "MediaTestSupport.hh"

using daemontest::CaptureFd;
using daemontest::countOf;
using daemontest::FakeProducer;
using namespace mediatest;

namespace {

uint16_t videoPort(int channel) { return static_cast<uint16_t>(kVideoBasePort + channel); }

}  // namespace

TEST_F(MediaInputTest, SameSourceTwiceUsesOneConnection) {
  int ch = freeChannel();
  ASSERT_GE(ch, 0);
  FakeProducer producer(videoPort(ch));
  ASSERT_TRUE(producer.listening());
  makeHub(ch);
  ASSERT_NE(hub, nullptr);
  EXPECT_FALSE(hub->hasVideoSource());

  RealVideoSource* first = hub->videoSource();
  RealVideoSource* second = hub->videoSource();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_TRUE(hub->hasVideoSource());
  EXPECT_GE(first->fileNo(), 0);
  EXPECT_EQ(producer.acceptPending(1000), 1);
  EXPECT_EQ(producer.acceptPending(0), 0);  // the connect is complete when the getter returns
  EXPECT_EQ(first->channel(), ch);
  Medium::close(first);
}

TEST_F(MediaInputTest, DestroyedSourceEmptiesSlotAndNextGetterReconnects) {
  int ch = freeChannel();
  FakeProducer producer(videoPort(ch));
  ASSERT_TRUE(producer.listening());
  makeHub(ch);

  RealVideoSource* first = hub->videoSource();
  ASSERT_EQ(producer.acceptPending(1000), 1);
  Medium::close(first);
  EXPECT_FALSE(hub->hasVideoSource());
  size_t fromDaemon = 0;
  EXPECT_TRUE(producer.peerClosed(0, 2000, &fromDaemon));  // the destructor closed the connection
  EXPECT_EQ(fromDaemon, 0u);                               // and nothing was ever sent to the producer

  RealVideoSource* second = hub->videoSource();
  ASSERT_NE(second, nullptr);
  EXPECT_GE(second->fileNo(), 0);
  EXPECT_EQ(producer.acceptPending(1000), 1);
  EXPECT_EQ(producer.numAccepted(), 2u);
  Medium::close(second);
}

TEST_F(MediaInputTest, VideoAndAudioSlotsAreIndependent) {
  if (!isolated() && !daemontest::portFree(kAudioPort)) GTEST_SKIP() << "audio port 13132 is taken on this host";
  int ch = freeChannel(5);
  FakeProducer video(videoPort(ch));
  FakeProducer audio(kAudioPort);
  ASSERT_TRUE(video.listening());
  ASSERT_TRUE(audio.listening());
  makeHub(ch);

  RealVideoSource* v = hub->videoSource();
  RealAudioSource* a = hub->audioSource();
  ASSERT_NE(v, nullptr);
  ASSERT_NE(a, nullptr);
  EXPECT_NE(static_cast<void*>(v), static_cast<void*>(a));
  EXPECT_EQ(video.acceptPending(1000), 1);
  EXPECT_EQ(audio.acceptPending(1000), 1);

  Medium::close(a);
  EXPECT_FALSE(hub->hasAudioSource());
  EXPECT_TRUE(hub->hasVideoSource());
  EXPECT_EQ(hub->videoSource(), v);
  EXPECT_EQ(video.acceptPending(0), 0);
  EXPECT_TRUE(audio.peerClosed(0, 2000));

  RealAudioSource* a2 = hub->audioSource();
  EXPECT_EQ(audio.acceptPending(1000), 1);
  Medium::close(v);
  EXPECT_FALSE(hub->hasVideoSource());
  EXPECT_EQ(hub->audioSource(), a2);
  EXPECT_EQ(audio.acceptPending(0), 0);
  Medium::close(a2);
}

TEST_F(MediaInputTest, ChannelSelectsVideoPortButNotAudioPort) {
  if (!isolated() && !daemontest::portFree(kAudioPort)) GTEST_SKIP() << "audio port 13132 is taken on this host";
  // Channel 2 means video on 13034; the audio port stays 13132.
  int ch = isolated() ? 2 : freeChannel(2);
  FakeProducer wrong(videoPort(0));  // must not be used by a channel-2 hub (may fail to listen if taken)
  FakeProducer video(videoPort(ch));
  FakeProducer audio(kAudioPort);
  ASSERT_TRUE(video.listening());
  makeHub(ch);
  EXPECT_EQ(hub->channel(), ch);

  RealVideoSource* v = hub->videoSource();
  RealAudioSource* a = hub->audioSource();
  EXPECT_GE(v->fileNo(), 0);
  EXPECT_GE(a->fileNo(), 0);
  EXPECT_EQ(video.acceptPending(1000), 1);
  EXPECT_EQ(audio.acceptPending(1000), 1);
  if (wrong.listening()) {
    EXPECT_EQ(wrong.acceptPending(0), 0);
  }

  // The connection really goes to 13032 + channel.
  struct sockaddr_in peer {};
  socklen_t len = sizeof peer;
  ASSERT_EQ(getpeername(v->fileNo(), reinterpret_cast<sockaddr*>(&peer), &len), 0);
  EXPECT_EQ(ntohs(peer.sin_port), videoPort(ch));
  EXPECT_EQ(ntohl(peer.sin_addr.s_addr), INADDR_LOOPBACK);
  Medium::close(v);
  Medium::close(a);
}

TEST_F(MediaInputTest, SocketOptionsOfTheProducerLink) {
  int ch = freeChannel();
  FakeProducer producer(videoPort(ch));
  makeHub(ch);
  RealVideoSource* v = hub->videoSource();
  ASSERT_GE(v->fileNo(), 0);
  struct timeval tv {};
  socklen_t len = sizeof tv;
  ASSERT_EQ(getsockopt(v->fileNo(), SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, 1);
  EXPECT_EQ(tv.tv_usec, 0);
  int rcvbuf = 0;
  len = sizeof rcvbuf;
  ASSERT_EQ(getsockopt(v->fileNo(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len), 0);
  // The kernel caps the request at net.core.rmem_max (and doubles it); it must
  // at least have been raised above the usual default.
  EXPECT_GT(rcvbuf, 131072);
  EXPECT_EQ(v->maxFrameSize(), 500000u);
  Medium::close(v);
}

TEST_F(MediaInputTest, DeadSourceIsStillReturnedUntilClosed) {
  int ch = freeChannel();  // nobody listens on its port
  makeHub(ch);
  CaptureFd err(2);
  RealVideoSource* v = hub->videoSource();
  RealVideoSource* again = hub->videoSource();
  std::string text = err.text();
  err.restore();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v, again);
  EXPECT_EQ(v->fileNo(), -1);
  EXPECT_EQ(countOf(text, "RealMediaSource::mediaConnect connect() error!\n"), 1u) << text;
  EXPECT_TRUE(hub->hasVideoSource());

  // Once it is closed, the next getter tries again.
  Medium::close(v);
  EXPECT_FALSE(hub->hasVideoSource());
  FakeProducer producer(videoPort(ch));
  ASSERT_TRUE(producer.listening());
  RealVideoSource* fresh = hub->videoSource();
  EXPECT_GE(fresh->fileNo(), 0);
  EXPECT_EQ(producer.acceptPending(1000), 1);
  Medium::close(fresh);
}

TEST_F(MediaInputTest, AudioSourceHasNoKnownMaximumFrameSize) {
  if (!isolated() && !daemontest::portFree(kAudioPort)) GTEST_SKIP() << "audio port 13132 is taken on this host";
  makeHub(freeChannel());
  CaptureFd err(2);
  RealAudioSource* a = hub->audioSource();  // no producer: dead, but still a source
  err.restore();
  EXPECT_EQ(a->maxFrameSize(), 0u);
  EXPECT_EQ(a->fileNo(), -1);
  Medium::close(a);
}

TEST_F(MediaInputTest, PrivateSourceHasItsOwnConnectionAndLeavesTheSlotAlone) {
  int ch = freeChannel();
  FakeProducer producer(videoPort(ch));
  makeHub(ch);
  RealVideoSource* live = hub->videoSource();
  ASSERT_EQ(producer.acceptPending(1000), 1);
  RealVideoSource* own = hub->privateVideoSource();
  ASSERT_NE(own, live);
  EXPECT_GE(own->fileNo(), 0);
  ASSERT_EQ(producer.acceptPending(1000), 1);
  Medium::close(own);
  EXPECT_TRUE(producer.peerClosed(1, 2000));
  EXPECT_TRUE(hub->hasVideoSource());
  EXPECT_EQ(hub->videoSource(), live);
  EXPECT_EQ(producer.acceptPending(0), 0);

  // The live one still streams.
  Reader reader;
  reader.source = live;
  reader.request();
  ASSERT_TRUE(producer.send(0, "abc", 3));
  EXPECT_TRUE(runUntil([&] { return reader.deliveries == 1; }));
  EXPECT_EQ(reader.lastSize, 3u);
  Medium::close(live);
}

TEST_F(MediaInputTest, EachReadDeliversOneReceive) {
  int ch = freeChannel();
  FakeProducer producer(videoPort(ch));
  makeHub(ch);
  RealVideoSource* v = hub->videoSource();
  ASSERT_EQ(producer.acceptPending(1000), 1);

  Reader reader;
  reader.source = v;
  reader.request();
  // Nothing is read before data arrives.
  for (int i = 0; i < 3; ++i) scheduler->SingleStep(1000);
  EXPECT_EQ(reader.deliveries, 0);

  // A chunk of one byte is delivered as a frame of one byte, time-stamped on arrival.
  struct timeval before {};
  gettimeofday(&before, nullptr);
  unsigned char one = 0x42;
  ASSERT_TRUE(producer.send(0, &one, 1));
  ASSERT_TRUE(runUntil([&] { return reader.deliveries == 1; }));
  struct timeval after {};
  gettimeofday(&after, nullptr);
  EXPECT_EQ(reader.lastSize, 1u);
  EXPECT_EQ(reader.lastTruncated, 0u);
  ASSERT_EQ(reader.data.size(), 1u);
  EXPECT_EQ(reader.data[0], 0x42);
  auto us = [](struct timeval const& t) { return int64_t(t.tv_sec) * 1000000 + t.tv_usec; };
  EXPECT_GE(us(reader.lastTime), us(before));
  EXPECT_LE(us(reader.lastTime), us(after));

  // A chunk larger than the reader's room: one receive fills the room, the
  // rest waits for the next request.
  std::vector<unsigned char> big(100);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i);
  ASSERT_TRUE(producer.send(0, big.data(), big.size()));
  reader.maxSize = 40;
  reader.request();
  ASSERT_TRUE(runUntil([&] { return reader.deliveries == 2; }));
  EXPECT_EQ(reader.lastSize, 40u);
  reader.maxSize = 4096;
  while (reader.data.size() < 101) {
    int before = reader.deliveries;
    reader.request();
    ASSERT_TRUE(runUntil([&] { return reader.deliveries == before + 1; }));
  }
  EXPECT_EQ(reader.data.size(), 101u);
  EXPECT_TRUE(std::equal(big.begin(), big.end(), reader.data.begin() + 1));
  EXPECT_EQ(reader.closures, 0);
  Medium::close(v);
}

TEST_F(MediaInputTest, ProducerClosingReportsClosureOnce) {
  int ch = freeChannel();
  FakeProducer producer(videoPort(ch));
  makeHub(ch);
  RealVideoSource* v = hub->videoSource();
  ASSERT_EQ(producer.acceptPending(1000), 1);
  Reader reader;
  reader.source = v;
  reader.request();
  CaptureFd err(2);
  producer.closeConn(0);
  bool closed = runUntil([&] { return reader.closures == 1; });
  std::string text = err.text();
  err.restore();
  ASSERT_TRUE(closed);
  EXPECT_EQ(reader.deliveries, 0);
  EXPECT_EQ(countOf(text, "RealVideoSource::readFromFile error, do handleClosure().\n"), 1u) << text;
  // The socket stays open until the source is destroyed; the slot stays live.
  EXPECT_GE(v->fileNo(), 0);
  EXPECT_TRUE(hub->hasVideoSource());
  Medium::close(v);
  EXPECT_FALSE(hub->hasVideoSource());
}

TEST_F(MediaInputTest, AudioClosureLine) {
  if (!isolated() && !daemontest::portFree(kAudioPort)) GTEST_SKIP() << "audio port 13132 is taken on this host";
  FakeProducer producer(kAudioPort);
  ASSERT_TRUE(producer.listening());
  makeHub(freeChannel());
  RealAudioSource* a = hub->audioSource();
  ASSERT_EQ(producer.acceptPending(1000), 1);
  Reader reader;
  reader.source = a;
  reader.request();
  ASSERT_TRUE(producer.send(0, "\x01\x02\x03\x04", 4));
  ASSERT_TRUE(runUntil([&] { return reader.deliveries == 1; }));
  EXPECT_EQ(reader.lastSize, 4u);
  reader.request();
  CaptureFd err(2);
  producer.closeConn(0);
  bool closed = runUntil([&] { return reader.closures == 1; });
  std::string text = err.text();
  err.restore();
  EXPECT_TRUE(closed);
  EXPECT_EQ(countOf(text, "RealAudioSource::readFromFile error, do handleClosure().\n"), 1u) << text;
  Medium::close(a);
}

TEST_F(MediaInputTest, ClosingAnArmedSourceDisarmsItsSocket) {
  int ch = freeChannel();
  FakeProducer producer(videoPort(ch));
  makeHub(ch);
  RealVideoSource* v = hub->videoSource();
  ASSERT_EQ(producer.acceptPending(1000), 1);
  Reader reader;
  reader.source = v;
  reader.request();  // armed
  v->stopGettingFrames();
  Medium::close(v);  // must disarm before closing the socket
  ASSERT_TRUE(producer.send(0, "late", 4));
  // A new connection may reuse the descriptor number; the old handler must be gone.
  FakeProducer other(videoPort(ch));
  for (int i = 0; i < 5; ++i) scheduler->SingleStep(1000);
  EXPECT_EQ(reader.deliveries, 0);
  EXPECT_EQ(reader.closures, 0);
  EXPECT_TRUE(producer.peerClosed(0, 2000));
}

using MediaInputDeathTest = MediaInputTest;

TEST_F(MediaInputDeathTest, ReadingADeadSourceEndsTheProcessWith255) {
#ifndef OSTRA_TEST_EMULATOR
  // A user-mode emulator cannot re-execute the test program (which this
  // style does), so emulated runs keep the default style, a plain fork.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
  int ch = freeChannel();
  makeHub(ch);
  EXPECT_EXIT(
      {
        RealVideoSource* v = hub->videoSource();  // nobody listening: dead source
        Reader reader;
        reader.source = v;
        reader.request();
      },
      ::testing::ExitedWithCode(255),
      "RealMediaSource::mediaConnect connect\\(\\) error!\n(.|\n)*RealMediaSource::doGetNextFrame not fFileNo!\n");
}
