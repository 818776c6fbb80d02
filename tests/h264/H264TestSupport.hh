// Shared pieces of the H.264 framing tests: an event loop fixture, a source
// that delivers prepared bytes in chunks of chosen sizes (announcing the live
// video source's 500000-byte maximum frame), a reader that records what the
// framer delivers, and Annex B stream builders.
#ifndef OSTRA_H264_TEST_SUPPORT_HH
#define OSTRA_H264_TEST_SUPPORT_HH

#include <sys/time.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "BasicUsageEnvironment.hh"
#include "FramedSource.hh"
#include "H264VideoStreamFramer.hh"

namespace h264test {

using Bytes = std::vector<uint8_t>;

inline int64_t toMicros(struct timeval const& tv) { return int64_t(tv.tv_sec) * 1000000 + tv.tv_usec; }

// Real sequence parameter sets written by x264 for 30 fps input
// (VUI timing: num_units_in_tick 1, time_scale 60).
inline Bytes spsBaseline30() {  // 64x48, profile 66
  return {0x67, 0x42, 0xc0, 0x0a, 0xda, 0x11, 0xec, 0x04, 0x40, 0x00, 0x00,
          0x03, 0x00, 0x40, 0x00, 0x00, 0x0f, 0x03, 0xc4, 0x89, 0xa8};
}
inline Bytes spsHigh30() {  // 64x48, profile 100, 4:2:0
  return {0x67, 0x64, 0x00, 0x0a, 0xac, 0xd9, 0x44, 0x7b, 0x01, 0x10, 0x00, 0x00,
          0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0xc0, 0xf1, 0x22, 0x59, 0x60};
}
inline Bytes spsHigh444_30() {  // 64x48, profile 244, 4:4:4
  return {0x67, 0xf4, 0x00, 0x0a, 0x91, 0x96, 0x84, 0x7b, 0x01, 0x10, 0x00, 0x00,
          0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0xc8, 0xf1, 0x22, 0x6a};
}
inline Bytes ppsBaseline() { return {0x68, 0xce, 0x0f, 0xc8}; }

// Real H.265 parameter sets written by x265 for 64x64 input at 30 fps (VUI
// timing: num_units_in_tick 1, time_scale 30).
inline Bytes h265Sps30() {  // Main, 4:2:0
  return {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00, 0x03, 0x00,
          0x00, 0x03, 0x00, 0x1e, 0xa0, 0x20, 0x81, 0x05, 0x96, 0x56, 0x69, 0x24, 0xca, 0xf0,
          0x16, 0x80, 0x80, 0x00, 0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x0f, 0x04};
}
inline Bytes h265Sps444_30() {  // range extensions, 4:4:4
  return {0x42, 0x01, 0x01, 0x04, 0x08, 0x00, 0x00, 0x03, 0x00, 0x9e, 0x08, 0x00, 0x00, 0x03,
          0x00, 0x00, 0x1e, 0x90, 0x04, 0x10, 0x20, 0xb2, 0xca, 0xcd, 0x24, 0x99, 0x5e, 0x02,
          0xd0, 0x10, 0x00, 0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x01, 0xe0, 0x80};
}
inline Bytes h265SpsTwoLayers30() {  // two temporal sub-layers
  return {0x42, 0x01, 0x02, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00, 0x03, 0x00, 0x00,
          0x03, 0x00, 0x1e, 0x00, 0x00, 0xa0, 0x20, 0x81, 0x05, 0x96, 0x56, 0x62, 0xb3, 0x49, 0x26,
          0x57, 0x80, 0xb4, 0x04, 0x00, 0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0x78, 0x20};
}
inline Bytes h265Vps() {
  return {0x40, 0x01, 0x0c, 0x01, 0xff, 0xff, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00,
          0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x1e, 0x95, 0x98, 0x09};
}
inline Bytes h265Pps() { return {0x44, 0x01, 0xc1, 0x72, 0xb4, 0x62, 0x40}; }

// An H.265 slice segment: two-byte header of 'type', first_slice_segment_in_pic_flag,
// then 'bodySize' payload bytes that never form 00 00.
inline Bytes h265Slice(unsigned type, bool firstInPicture, size_t bodySize, uint8_t seed = 1) {
  Bytes nal{uint8_t(type << 1), 0x01, uint8_t(firstInPicture ? 0xC0 : 0x40)};
  for (size_t i = 0; i < bodySize; ++i) nal.push_back(uint8_t((i * 31 + seed) % 255 + 1));
  return nal;
}

// A slice NAL unit: header byte, then first_mb_in_slice as ue(v), then
// 'bodySize' payload bytes that never form 00 00.
inline Bytes slice(uint8_t header, unsigned firstMb, size_t bodySize, uint8_t seed = 1) {
  Bytes nal{header};
  // ue(v) of firstMb, padded with 1 bits to a whole byte (so no zero byte appears).
  uint32_t const codeNum = firstMb + 1;
  unsigned bits = 0;
  for (uint32_t v = codeNum; v != 0; v >>= 1) ++bits;
  unsigned const total = 2 * bits - 1;
  uint64_t acc = codeNum;  // leading zeros are implicit
  unsigned const padded = (total + 7) / 8 * 8;
  acc = (acc << (padded - total)) | ((1u << (padded - total)) - 1u);
  for (int i = int(padded) - 8; i >= 0; i -= 8) nal.push_back(uint8_t(acc >> i));
  for (size_t i = 0; i < bodySize; ++i) nal.push_back(uint8_t((i * 31 + seed) % 255 + 1));
  return nal;
}

struct StreamBuilder {
  Bytes bytes;
  StreamBuilder& raw(Bytes const& b) {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
  }
  StreamBuilder& nal4(Bytes const& nal) {
    raw({0, 0, 0, 1});
    return raw(nal);
  }
  StreamBuilder& nal3(Bytes const& nal) {
    raw({0, 0, 1});
    return raw(nal);
  }
};

// Splits an Annex B stream the plain way (for comparison): bytes before the
// first 00 00 00 01 are dropped, NAL units end at the next 00 00 01, and
// zero bytes before a start code do not belong to the NAL unit.
std::vector<Bytes> splitAnnexB(Bytes const& stream);

// A source of prepared bytes. Each request is answered from the event loop
// with the next chunk (sizes taken in turn from 'chunkSizes'; 0 means "as much
// as asked for"), optionally at fixed times. At the end of the data every
// request is answered with a closure.
class ChunkSource : public FramedSource {
public:
  using Producer = std::function<size_t(uint8_t* to, size_t maxSize)>;

  ChunkSource(UsageEnvironment& env, Bytes data, std::vector<unsigned> chunkSizes, unsigned maxFrame = 500000);
  // Bytes made on demand (for long streams); 0 from the producer ends the data.
  ChunkSource(UsageEnvironment& env, Producer producer, std::vector<unsigned> chunkSizes, unsigned maxFrame = 500000);
  ~ChunkSource() override;

  unsigned maxFrameSize() const override { return fMaxFrame; }

  // Deliver chunk i no earlier than start + offsets[i] microseconds.
  void setSchedule(std::vector<int64_t> offsetsUs);
  // Report this many bytes more than were asked for (a misbehaving source).
  void setOverReport(unsigned extra) { fOverReport = extra; }

  std::vector<unsigned> requestedSizes;  // fMaxSize of each request
  std::vector<int64_t> deliveryTimes;    // wall clock of each delivery (us)
  size_t bytesDelivered = 0;
  unsigned closures = 0;

protected:
  void doGetNextFrame() override;

private:
  static void deliver(void* clientData);
  void deliver1();

  Bytes fData;
  Producer fProducer;
  size_t fPos = 0;
  std::vector<unsigned> fChunkSizes;
  size_t fChunkIndex = 0;
  unsigned fMaxFrame;
  std::vector<int64_t> fOffsetsUs;
  std::chrono::steady_clock::time_point fStart;
  unsigned fOverReport = 0;
  TaskScheduler::TaskToken fTask = nullptr;
};

// Reads a framer (or any source) the way an RTP sink does: asks for the next
// unit from inside the callback.
struct NalRecord {
  Bytes bytes;
  unsigned size = 0;
  unsigned truncated = 0;
  int64_t ptUs = 0;
  unsigned durationUs = 0;
  bool pictureEnd = false;
};

struct Collector {
  FramedSource* source = nullptr;
  H264or5VideoStreamFramer* framer = nullptr;  // when reading a framer: picture-end marks
  Bytes buffer;
  bool keepBytes = true;
  std::function<void(NalRecord const&, uint8_t const*)> check;  // called for every unit
  std::vector<NalRecord> units;
  bool closed = false;
  unsigned closures = 0;

  explicit Collector(size_t bufferSize = 1000000) : buffer(bufferSize) {}
  void start();

  static void afterGetting(void* self, unsigned frameSize, unsigned numTruncatedBytes, struct timeval pt,
                           unsigned durationInMicroseconds);
  static void onClose(void* self);
};

class H264Test : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  bool runUntil(std::function<bool()> const& done, int timeoutMs = 10000);

  BasicTaskScheduler* scheduler = nullptr;
  UsageEnvironment* env = nullptr;
};

// Result of reading one stream through a fresh framer.
struct FramedRun {
  std::vector<NalRecord> units;
  unsigned sourceClosures = 0;
  bool readerClosed = false;
  std::vector<unsigned> requestedSizes;
};

// A stream, its NAL units and which of them end an access unit.
struct Expected {
  Bytes stream;
  std::vector<Bytes> nals;
  std::vector<bool> ends;
};

// A stream exercising the end-of-access-unit rules, with 3- and 4-byte start
// codes, trailing zeros, emulation-prevention bytes and leading garbage:
// H.264, and the same rules the H.265 way.
Expected referenceStream();
Expected referenceStream265();

// Runs 'stream' through a framer over a ChunkSource with the given chunking
// until the reader sees the end. The framer is closed afterwards.
// 'hNumber': 264 reads through an H264VideoStreamFramer, 265 through an
// H265VideoStreamFramer.
FramedRun runFramer(BasicTaskScheduler& scheduler, UsageEnvironment& env, Bytes const& stream,
                    std::vector<unsigned> const& chunkSizes, bool includeStartCode = false, bool useWallClock = false,
                    int hNumber = 264);

}  // namespace h264test

#endif
