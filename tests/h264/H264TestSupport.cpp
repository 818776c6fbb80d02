#include "H264TestSupport.hh"

#include "H265VideoStreamFramer.hh"

#include <algorithm>

namespace h264test {

std::vector<Bytes> splitAnnexB(Bytes const& stream) {
  std::vector<Bytes> nals;
  size_t i = 0;
  size_t const n = stream.size();
  // Skip to just after the first 00 00 00 01.
  bool found = false;
  for (; i + 4 <= n; ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 0 && stream[i + 3] == 1) {
      i += 4;
      found = true;
      break;
    }
  }
  if (!found) return nals;
  size_t start = i;
  auto finish = [&](size_t end) {
    while (end > start && stream[end - 1] == 0) --end;
    if (end > start) nals.emplace_back(stream.begin() + long(start), stream.begin() + long(end));
  };
  while (i + 3 <= n) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      finish(i);
      i += 3;
      start = i;
    } else {
      ++i;
    }
  }
  finish(n);
  return nals;
}

ChunkSource::ChunkSource(UsageEnvironment& env, Bytes data, std::vector<unsigned> chunkSizes, unsigned maxFrame)
    : FramedSource(env), fData(std::move(data)), fChunkSizes(std::move(chunkSizes)), fMaxFrame(maxFrame) {
  if (fChunkSizes.empty()) fChunkSizes.push_back(0);
  fStart = std::chrono::steady_clock::now();
}

ChunkSource::ChunkSource(UsageEnvironment& env, Producer producer, std::vector<unsigned> chunkSizes, unsigned maxFrame)
    : FramedSource(env), fProducer(std::move(producer)), fChunkSizes(std::move(chunkSizes)), fMaxFrame(maxFrame) {
  if (fChunkSizes.empty()) fChunkSizes.push_back(0);
  fStart = std::chrono::steady_clock::now();
}

ChunkSource::~ChunkSource() { envir().taskScheduler().unscheduleDelayedTask(fTask); }

void ChunkSource::setSchedule(std::vector<int64_t> offsetsUs) {
  fOffsetsUs = std::move(offsetsUs);
  fStart = std::chrono::steady_clock::now();
}

void ChunkSource::doGetNextFrame() {
  requestedSizes.push_back(fMaxSize);
  int64_t delay = 0;
  if (fChunkIndex < fOffsetsUs.size()) {
    auto const elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - fStart).count();
    delay = std::max<int64_t>(0, fOffsetsUs[fChunkIndex] - elapsed);
  }
  fTask = envir().taskScheduler().scheduleDelayedTask(delay, deliver, this);
}

void ChunkSource::deliver(void* clientData) {
  auto* self = static_cast<ChunkSource*>(clientData);
  self->fTask = nullptr;
  self->deliver1();
}

void ChunkSource::deliver1() {
  unsigned want = fChunkSizes[fChunkIndex % fChunkSizes.size()];
  if (want == 0 || want > fMaxSize) want = fMaxSize;
  size_t n = 0;
  if (fProducer) {
    n = fProducer(fTo, want);
  } else {
    n = std::min<size_t>(want, fData.size() - fPos);
    if (n > 0) std::memcpy(fTo, fData.data() + fPos, n);
    fPos += n;
  }
  if (n == 0) {
    ++closures;
    fFrameSize = 0;
    handleClosure();
    return;
  }
  ++fChunkIndex;
  bytesDelivered += n;
  fFrameSize = unsigned(n) + fOverReport;
  gettimeofday(&fPresentationTime, nullptr);
  deliveryTimes.push_back(toMicros(fPresentationTime));
  afterGetting(this);
}

void Collector::start() {
  source->getNextFrame(buffer.data(), unsigned(buffer.size()), afterGetting, this, onClose, this);
}

void Collector::afterGetting(void* selfPtr, unsigned frameSize, unsigned numTruncatedBytes, struct timeval pt,
                             unsigned durationInMicroseconds) {
  auto* self = static_cast<Collector*>(selfPtr);
  NalRecord rec;
  rec.size = frameSize;
  rec.truncated = numTruncatedBytes;
  rec.ptUs = toMicros(pt);
  rec.durationUs = durationInMicroseconds;
  rec.pictureEnd = self->framer != nullptr && self->framer->pictureEndMarker();
  if (self->keepBytes) rec.bytes.assign(self->buffer.begin(), self->buffer.begin() + frameSize);
  if (self->check) self->check(rec, self->buffer.data());
  self->units.push_back(std::move(rec));
  self->start();  // at once, from inside the callback, as an RTP sink may
}

void Collector::onClose(void* selfPtr) {
  auto* self = static_cast<Collector*>(selfPtr);
  self->closed = true;
  ++self->closures;
}

void H264Test::SetUp() {
  scheduler = BasicTaskScheduler::createNew(10000);
  env = BasicUsageEnvironment::createNew(*scheduler);
}

void H264Test::TearDown() {
  env->reclaim();
  delete scheduler;
}

bool H264Test::runUntil(std::function<bool()> const& done, int timeoutMs) {
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    scheduler->SingleStep();
  }
  return true;
}

FramedRun runFramer(BasicTaskScheduler& scheduler, UsageEnvironment& env, Bytes const& stream,
                    std::vector<unsigned> const& chunkSizes, bool includeStartCode, bool useWallClock, int hNumber) {
  auto* source = new ChunkSource(env, stream, chunkSizes);
  H264or5VideoStreamFramer* framer =
      hNumber == 265 ? static_cast<H264or5VideoStreamFramer*>(
                           H265VideoStreamFramer::createNew(env, source, includeStartCode, useWallClock))
                     : H264VideoStreamFramer::createNew(env, source, includeStartCode, useWallClock);
  Collector reader;
  reader.source = framer;
  reader.framer = framer;
  reader.start();
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!reader.closed && std::chrono::steady_clock::now() < deadline) scheduler.SingleStep();
  FramedRun run;
  run.units = std::move(reader.units);
  run.sourceClosures = source->closures;
  run.readerClosed = reader.closed;
  run.requestedSizes = source->requestedSizes;
  Medium::close(framer);  // closes the source too
  return run;
}

// A stream exercising the end-of-access-unit rules, with 3- and 4-byte start
// codes, trailing zeros, emulation-prevention bytes and leading garbage.
Expected referenceStream() {
  Expected e;
  StreamBuilder b;
  b.raw({0x12, 0x00, 0x00, 0x01, 0x67, 0x00, 0x00});  // junk, including a 3-byte start code
  auto add = [&](Bytes const& nal, bool endsAu, bool threeByte = false, unsigned trailingZeros = 0) {
    if (threeByte) {
      b.nal3(nal);
    } else {
      b.nal4(nal);
    }
    b.raw(Bytes(trailingZeros, 0));
    e.nals.push_back(nal);
    e.ends.push_back(endsAu);
  };
  add(spsBaseline30(), false);
  add(ppsBaseline(), false);
  add({0x06, 0x05, 0x02, 0xAA, 0xBB, 0x80}, false);  // SEI
  add(slice(0x65, 0, 40, 3), false);                 // IDR, first slice
  add(slice(0x65, 10, 30, 4), true, true, 2);        // IDR, second slice; next picture follows
  add(slice(0x41, 0, 50, 5), false);                 // P; filler follows
  add({0x0C, 0xFF, 0xFF, 0xFF, 0x80}, true);         // filler data ends the access unit
  add(spsBaseline30(), false);
  add(ppsBaseline(), false);
  add(slice(0x65, 0, 20, 6), true);                                               // next is an AUD
  add({0x09, 0xF0}, false);                                                       // AUD from the producer
  add({0x41, 0xFF, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x00, 0x12}, true);  // escaped payload
  add(slice(0x41, 0, 2, 7), false, true);                                         // end of sequence follows
  add({0x0A}, true);                                                              // end of sequence
  add(slice(0x65, 0, 10, 8), true, false, 2);                                     // last unit of the input
  e.stream = b.bytes;
  return e;
}

// The same rules the H.265 way: VPS, SPS, PPS, AUD and prefix SEI after a
// slice segment begin an access unit, first_slice_segment_in_pic_flag begins
// a picture, suffix SEI and filler data belong to the unit before.
Expected referenceStream265() {
  Expected e;
  StreamBuilder b;
  b.raw({0x12, 0x00, 0x00, 0x01, 0x42, 0x00, 0x00});  // junk, including a 3-byte start code
  auto add = [&](Bytes const& nal, bool endsAu, bool threeByte = false, unsigned trailingZeros = 0) {
    if (threeByte) {
      b.nal3(nal);
    } else {
      b.nal4(nal);
    }
    b.raw(Bytes(trailingZeros, 0));
    e.nals.push_back(nal);
    e.ends.push_back(endsAu);
  };
  add(h265Vps(), false);
  add(h265Sps30(), false);
  add(h265Pps(), false);
  add({0x4E, 0x01, 0x05, 0x02, 0xAA, 0xBB, 0x80}, false);  // prefix SEI
  add(h265Slice(19, true, 40, 3), false);                  // IDR_W_RADL, first slice segment
  add(h265Slice(19, false, 30, 4), true, true, 2);         // second segment; next picture follows
  add(h265Slice(1, true, 50, 5), false);                   // TRAIL_R; suffix SEI follows
  add({0x50, 0x01, 0x05, 0x01, 0xCC, 0x80}, true);         // suffix SEI ends the access unit
  add(h265Vps(), false);
  add(h265Sps30(), false);
  add(h265Pps(), false);
  add(h265Slice(21, true, 20, 6), true);                                                 // CRA; next is an AUD
  add({0x46, 0x01, 0x50}, false);                                                        // AUD from the producer
  add({0x02, 0x01, 0xFF, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x00, 0x12}, false);  // escaped TRAIL_R
  add({0x4C, 0x01, 0xFF, 0xFF, 0x80}, true);                                             // filler data ends it
  add(h265Slice(1, true, 2, 7), false, true);                                            // end of sequence follows
  add({0x48, 0x01}, true);                                                               // end of sequence
  add(h265Slice(20, true, 10, 8), true, false, 2);  // IDR_N_LP, last unit of the input
  e.stream = b.bytes;
  return e;
}

}  // namespace h264test
