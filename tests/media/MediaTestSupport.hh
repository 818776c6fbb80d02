// Common fixture of the media input tests: an event loop, a hub on a channel
// whose video port is free, and a reader that records what a source delivers.
#ifndef OSTRA_MEDIA_TEST_SUPPORT_HH
#define OSTRA_MEDIA_TEST_SUPPORT_HH

#include <gtest/gtest.h>

#include <vector>

#include "../support/DaemonTestUtil.hh"
#include "BasicUsageEnvironment.hh"
#include "MediaInput.hh"
#include "RealAudioSource.hh"
#include "RealVideoSource.hh"

namespace mediatest {

constexpr uint16_t kVideoBasePort = 13032;
constexpr uint16_t kAudioPort = 13132;

// True when the test process runs in a network namespace of its own.
bool isolated();

// Picks a channel whose video port (13032 + channel) is free, starting at 'first'.
int freeChannel(int first = 0);

// Records the deliveries of one source.
struct Reader {
  FramedSource* source = nullptr;
  std::vector<unsigned char> buffer = std::vector<unsigned char>(4096);
  unsigned maxSize = 4096;
  int deliveries = 0;
  int closures = 0;
  unsigned lastSize = 0;
  unsigned lastTruncated = 0;
  struct timeval lastTime {};
  std::vector<unsigned char> data;

  void request() { source->getNextFrame(buffer.data(), maxSize, &Reader::afterGetting, this, &Reader::onClose, this); }
  static void afterGetting(void* self, unsigned frameSize, unsigned numTruncatedBytes, struct timeval pt,
                           unsigned /*durationInMicroseconds*/) {
    Reader* r = static_cast<Reader*>(self);
    ++r->deliveries;
    r->lastSize = frameSize;
    r->lastTruncated = numTruncatedBytes;
    r->lastTime = pt;
    r->data.insert(r->data.end(), r->buffer.begin(), r->buffer.begin() + frameSize);
  }
  static void onClose(void* self) { ++static_cast<Reader*>(self)->closures; }
};

class MediaInputTest : public ::testing::Test {
protected:
  void SetUp() override {
    scheduler = BasicTaskScheduler::createNew(10000);
    env = BasicUsageEnvironment::createNew(*scheduler);
  }
  void TearDown() override {
    if (hub != nullptr) Medium::close(hub);
    env->reclaim();
    delete scheduler;
  }
  MediaInput* makeHub(int channel) {
    hub = MediaInput::createNew(*env, channel);
    return hub;
  }
  bool runUntil(std::function<bool()> const& done, int timeoutMs = 5000) {
    return daemontest::runUntil(*scheduler, done, timeoutMs);
  }

  BasicTaskScheduler* scheduler = nullptr;
  UsageEnvironment* env = nullptr;
  MediaInput* hub = nullptr;
};

}  // namespace mediatest

#endif
