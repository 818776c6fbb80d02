// The H.264 framer over arbitrary bytes, read in chunks whose sizes come from
// the input, with a reader buffer whose size comes from the input: it must
// deliver and end the stream without reading or writing out of bounds.
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "BasicUsageEnvironment.hh"
#include "H264VideoStreamFramer.hh"
#include "H265Bits.hh"
#include "H265VideoStreamFramer.hh"

// fuzz_h265_framer builds this file for H.265.
#ifndef FUZZ_H265
#define FUZZ_H265 0
#endif

namespace {

class BytesSource : public FramedSource {
public:
  BytesSource(UsageEnvironment& env, uint8_t const* data, size_t size, unsigned chunk)
      : FramedSource(env), fData(data), fSize(size), fChunk(chunk) {}
  ~BytesSource() override { envir().taskScheduler().unscheduleDelayedTask(fTask); }
  unsigned maxFrameSize() const override { return 500000; }

protected:
  void doGetNextFrame() override { fTask = envir().taskScheduler().scheduleDelayedTask(0, deliver, this); }

private:
  static void deliver(void* p) {
    auto* s = static_cast<BytesSource*>(p);
    s->fTask = nullptr;
    size_t const n = std::min<size_t>({size_t(s->fChunk), s->fSize - s->fPos, size_t(s->fMaxSize)});
    if (n == 0) {
      s->handleClosure();
      return;
    }
    std::memcpy(s->fTo, s->fData + s->fPos, n);
    s->fPos += n;
    s->fFrameSize = unsigned(n);
    gettimeofday(&s->fPresentationTime, nullptr);
    afterGetting(s);
  }

  uint8_t const* fData;
  size_t fSize;
  size_t fPos = 0;
  unsigned fChunk;
  TaskScheduler::TaskToken fTask = nullptr;
};

struct Reader {
  FramedSource* source;
  std::vector<uint8_t> buffer;
  bool closed = false;
  unsigned units = 0;
  void start() { source->getNextFrame(buffer.data(), unsigned(buffer.size()), after, this, onClose, this); }
  static void after(void* p, unsigned frameSize, unsigned, struct timeval, unsigned) {
    auto* r = static_cast<Reader*>(p);
    if (frameSize > r->buffer.size()) __builtin_trap();
    ++r->units;
    r->start();
  }
  static void onClose(void* p) { static_cast<Reader*>(p)->closed = true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  static BasicTaskScheduler* scheduler = BasicTaskScheduler::createNew(1000);
  static UsageEnvironment* env = BasicUsageEnvironment::createNew(*scheduler);
  if (size < 3) return 0;
  unsigned const chunk = 1u + data[0] % 64u;
  unsigned const bufferSize = 1u + unsigned(data[1]) * 16u;
  bool const startCodes = data[2] & 1;
  auto* source = new BytesSource(*env, data + 3, size - 3, chunk);
#if FUZZ_H265
  // The SPS reader on its own too (the framer reads only what carries an SPS header).
  h265::SpsInfo info;
  h265::parseSps(data + 3, size - 3, info);
  H264or5VideoStreamFramer* framer = H265VideoStreamFramer::createNew(*env, source, startCodes, data[2] & 2);
#else
  H264or5VideoStreamFramer* framer = H264VideoStreamFramer::createNew(*env, source, startCodes, data[2] & 2);
#endif
  Reader reader{framer, std::vector<uint8_t>(bufferSize)};
  reader.start();
  for (size_t steps = 0; !reader.closed && steps < 4 * size + 100; ++steps) scheduler->SingleStep(1);
  if (!reader.closed) __builtin_trap();  // the end of the input must end the stream
  Medium::close(framer);
  return 0;
}
