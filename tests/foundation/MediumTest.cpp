// Media objects: the name registry, close(), framed sources and filters.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "BasicUsageEnvironment.hh"
#include "FramedFilter.hh"

namespace {

struct Counters {
  int destroyed = 0;
  int doGet = 0;
  int stops = 0;
};

// A source that answers each request synchronously or later, as told.
class TestSource : public FramedSource {
public:
  static TestSource* createNew(UsageEnvironment& env, Counters& c) { return new TestSource(env, c); }
  void deliver(char const* bytes, unsigned n) {
    unsigned k = n < fMaxSize ? n : fMaxSize;
    memcpy(fTo, bytes, k);
    fFrameSize = k;
    fNumTruncatedBytes = n - k;
    fPresentationTime.tv_sec = 42;
    fDurationInMicroseconds = 1234;
    afterGetting(this);
  }
  unsigned maxSize() const { return fMaxSize; }
  unsigned truncated() const { return fNumTruncatedBytes; }
  unsigned duration() const { return fDurationInMicroseconds; }

private:
  TestSource(UsageEnvironment& env, Counters& c) : FramedSource(env), fC(c) {}
  ~TestSource() override { ++fC.destroyed; }
  void doGetNextFrame() override { ++fC.doGet; }
  void doStopGettingFrames() override { ++fC.stops; }
  Counters& fC;
};

class PassFilter : public FramedFilter {
public:
  static PassFilter* createNew(UsageEnvironment& env, FramedSource* in, Counters& c) {
    return new PassFilter(env, in, c);
  }

private:
  PassFilter(UsageEnvironment& env, FramedSource* in, Counters& c) : FramedFilter(env, in), fC(c) {}
  ~PassFilter() override { ++fC.destroyed; }
  void doGetNextFrame() override {
    fInputSource->getNextFrame(fTo, fMaxSize, afterInput, this, FramedSource::handleClosure, this);
  }
  static void afterInput(void* p, unsigned size, unsigned trunc, struct timeval pt, unsigned dur) {
    auto* self = static_cast<PassFilter*>(p);
    self->fFrameSize = size;
    self->fNumTruncatedBytes = trunc;
    self->fPresentationTime = pt;
    self->fDurationInMicroseconds = dur;
    afterGetting(self);
  }
  Counters& fC;
};

struct Reader {
  int frames = 0;
  int closures = 0;
  unsigned lastSize = 0, lastTrunc = 0, lastDur = 0;
  long lastSec = 0;
  static void after(void* p, unsigned size, unsigned trunc, struct timeval pt, unsigned dur) {
    auto* r = static_cast<Reader*>(p);
    ++r->frames;
    r->lastSize = size;
    r->lastTrunc = trunc;
    r->lastDur = dur;
    r->lastSec = pt.tv_sec;
  }
  static void closed(void* p) { ++static_cast<Reader*>(p)->closures; }
};

class MediumTest : public ::testing::Test {
protected:
  void SetUp() override {
    sched = BasicTaskScheduler::createNew(10000);
    env = BasicUsageEnvironment::createNew(*sched);
  }
  void TearDown() override {
    EXPECT_EQ(numRegisteredMedia(*env), 0u);
    EXPECT_TRUE(env->reclaim());
    delete sched;
  }
  BasicTaskScheduler* sched;
  UsageEnvironment* env;
};

TEST_F(MediumTest, RegistryLookupAndClose) {
  Counters c;
  TestSource* a = TestSource::createNew(*env, c);
  TestSource* b = TestSource::createNew(*env, c);
  EXPECT_STRNE(a->name(), b->name());
  EXPECT_EQ(numRegisteredMedia(*env), 2u);
  Medium* found = nullptr;
  ASSERT_TRUE(Medium::lookupByName(*env, a->name(), found));
  EXPECT_EQ(found, a);
  FramedSource* fs = nullptr;
  ASSERT_TRUE(FramedSource::lookupByName(*env, b->name(), fs));
  EXPECT_EQ(fs, b);
  std::string aName = a->name();
  Medium::close(a);
  EXPECT_FALSE(Medium::lookupByName(*env, aName.c_str(), found));
  EXPECT_EQ(found, nullptr);
  Medium::close(*env, aName.c_str());  // already gone: nothing happens
  Medium::close(*env, b->name());
  Medium::close(nullptr);
  EXPECT_EQ(c.destroyed, 2);
}

TEST_F(MediumTest, GetNextFrameResetsFieldsAndDeliversThroughFilter) {
  Counters c;
  TestSource* src = TestSource::createNew(*env, c);
  PassFilter* filter = PassFilter::createNew(*env, src, c);
  unsigned char buf[4];
  Reader r;
  filter->getNextFrame(buf, sizeof buf, Reader::after, &r, Reader::closed, &r);
  EXPECT_TRUE(filter->isCurrentlyAwaitingData());
  EXPECT_TRUE(src->isCurrentlyAwaitingData());
  EXPECT_EQ(src->maxSize(), 4u);
  src->deliver("abcdef", 6);
  EXPECT_EQ(r.frames, 1);
  EXPECT_EQ(r.lastSize, 4u);
  EXPECT_EQ(r.lastTrunc, 2u);
  EXPECT_EQ(r.lastDur, 1234u);
  EXPECT_EQ(r.lastSec, 42);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "abcd");
  EXPECT_FALSE(filter->isCurrentlyAwaitingData());
  // A new request starts with the duration and truncation count cleared.
  filter->getNextFrame(buf, sizeof buf, Reader::after, &r, Reader::closed, &r);
  EXPECT_EQ(src->truncated(), 0u);
  EXPECT_EQ(src->duration(), 0u);
  // Closure travels through the filter to the reader.
  src->handleClosure();
  EXPECT_EQ(r.closures, 1);
  EXPECT_EQ(r.frames, 1);
  // Closing the filter closes its input exactly once.
  Medium::close(filter);
  EXPECT_EQ(c.destroyed, 2);
}

TEST_F(MediumTest, StopGettingFramesForgetsTheReaderAndStopsTheInput) {
  Counters c;
  TestSource* src = TestSource::createNew(*env, c);
  PassFilter* filter = PassFilter::createNew(*env, src, c);
  unsigned char buf[8];
  Reader r;
  filter->getNextFrame(buf, sizeof buf, Reader::after, &r, Reader::closed, &r);
  filter->stopGettingFrames();
  EXPECT_EQ(c.stops, 1);
  EXPECT_FALSE(filter->isCurrentlyAwaitingData());
  EXPECT_FALSE(src->isCurrentlyAwaitingData());
  src->handleClosure();  // nobody listens any more
  EXPECT_EQ(r.closures, 0);
  Medium::close(filter);
}

TEST_F(MediumTest, ReadingTwiceAtOnceAborts) {
  Counters c;
  TestSource* src = TestSource::createNew(*env, c);
  unsigned char buf[8];
  Reader r;
  src->getNextFrame(buf, sizeof buf, Reader::after, &r, Reader::closed, &r);
  EXPECT_DEATH(src->getNextFrame(buf, sizeof buf, Reader::after, &r, Reader::closed, &r),
               "attempting to read more than once");
  src->stopGettingFrames();
  Medium::close(src);
}

}  // namespace
