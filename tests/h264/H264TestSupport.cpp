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

}  // namespace h264test
