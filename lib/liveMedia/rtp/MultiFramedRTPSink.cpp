#include "MultiFramedRTPSink.hh"

#include <algorithm>
#include <cstring>

#include "MonotonicClock.hh"
#include "OutPacketBuffer.hh"
#include "RTPConstants.hh"

using ostra_rtp::kHeaderSize;
using ostra_rtp::kMaxPacketSize;
using ostra_rtp::kPreferredPacketSize;

static_assert(ostra_rtp::kMaxPacketSize == 1456, "a burst slot holds one largest packet");

MultiFramedRTPSink::MultiFramedRTPSink(UsageEnvironment& env, Groupsock* rtpgs, unsigned char rtpPayloadType,
                                       unsigned rtpTimestampFrequency, char const* rtpPayloadFormatName,
                                       unsigned numChannels)
    : RTPSink(env, rtpgs, rtpPayloadType, rtpTimestampFrequency, rtpPayloadFormatName, numChannels),
      fFrameBufferSize(std::max(OutPacketBuffer::maxSize, kMaxPacketSize)) {
  fFrameBuffer.reset(new unsigned char[fFrameBufferSize]);
  // Pages of slots that no burst reaches are never touched.
  fPackets.reset(new unsigned char[kBurstSlots * kSlotSize]);
}

MultiFramedRTPSink::~MultiFramedRTPSink() { envir().taskScheduler().unscheduleDelayedTask(fNextTask); }

Boolean MultiFramedRTPSink::allowMultipleFramesPerPacket() const { return False; }

unsigned MultiFramedRTPSink::frameRequestSize(unsigned /*roomInPacket*/) const { return fFrameBufferSize; }

Boolean MultiFramedRTPSink::frameEndsWithMarker(unsigned char const* /*frame*/, unsigned /*frameSize*/) {
  return False;
}

Boolean MultiFramedRTPSink::frameIsKeyPoint(unsigned char const* /*frame*/, unsigned /*frameSize*/) { return True; }

unsigned MultiFramedRTPSink::packFragment(unsigned char const* frame, unsigned frameSize, unsigned offset,
                                          unsigned char* out, unsigned room, unsigned& consumed) {
  unsigned n = std::min(room, frameSize - offset);
  std::memcpy(out, frame + offset, n);
  consumed = n;
  return n;
}

Boolean MultiFramedRTPSink::continuePlaying() {
  resetPacket();
  fHaveFrame = False;
  fArrived = false;
  fNextSendTime = monotonicMicros();
  run();
  return True;
}

void MultiFramedRTPSink::stopPlaying() {
  envir().taskScheduler().unscheduleDelayedTask(fNextTask);
  resetPacket();
  fHaveFrame = False;
  fArrived = false;
  MediaSink::stopPlaying();
}

void MultiFramedRTPSink::resetPacket() {
  fPacketLen = 0;
  fFramesInPacket = 0;
  fPacketMarker = False;
  fPacketHasKeyFrame = False;
  fPacketDurations = 0;
}

void MultiFramedRTPSink::run() {
  if (fRunning) return;  // a frame delivered from inside getNextFrame: the loop takes it
  fRunning = true;
  fStagedThisRun = 0;
  for (;;) {
    if (fSource == nullptr) break;  // stopped
    Next next;
    if (fArrived) {
      fArrived = false;
      next = takeFrame();
    } else if (fHaveFrame) {
      next = packFrame();
    } else {
      requestFrame();  // may deliver at once, or end the source
      if (fSourceClosed) {
        fRunning = false;
        finishAfterClosure();  // may close this sink: nothing after it
        return;
      }
      if (fArrived) continue;
      break;  // the frame comes later, from the event loop
    }
    if (next == Next::Pace) {
      int64_t const delay = fNextSendTime - monotonicMicros();
      // Not due yet; or a long catch-up, which yields to the loop between bursts.
      if (delay > 0 || fStagedThisRun >= kBurstSlots) {
        envir().taskScheduler().unscheduleDelayedTask(fNextTask);
        fNextTask = envir().taskScheduler().scheduleDelayedTask(delay > 0 ? delay : 0, sendNext, this);
        break;
      }
    }
  }
  endBurst();
  fRunning = false;
}

void MultiFramedRTPSink::endBurst() {
  fRTPInterface.flushBurst();
  fSlot = 0;
}

void MultiFramedRTPSink::requestFrame() {
  unsigned room = fPacketLen == 0 ? kMaxPacketSize - kHeaderSize : kMaxPacketSize - fPacketLen;
  unsigned request = std::min(frameRequestSize(room), fFrameBufferSize);
  if (request == 0) request = 1;
  fSource->getNextFrame(fFrameBuffer.get(), request, afterGettingFrame, this, ourHandleClosure, this);
}

void MultiFramedRTPSink::afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                           struct timeval presentationTime, unsigned durationInMicroseconds) {
  static_cast<MultiFramedRTPSink*>(clientData)
      ->afterGettingFrame1(frameSize, numTruncatedBytes, presentationTime, durationInMicroseconds);
}

void MultiFramedRTPSink::afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes,
                                            struct timeval presentationTime, unsigned durationInMicroseconds) {
  if (numTruncatedBytes > 0) {
    ++fNumTruncatedFrames;
    envir() << "MultiFramedRTPSink::afterGettingFrame1(): the input frame was too large for our buffer size ("
            << fFrameBufferSize << "); " << numTruncatedBytes
            << " bytes of trailing data were dropped. Raise OutPacketBuffer::maxSize before creating the sink.\n";
  }
  fFrameSize = std::min(frameSize, fFrameBufferSize);
  fFrameOffset = 0;
  fFramePresentationTime = presentationTime;
  fFrameDuration = durationInMicroseconds;
  // The hooks look at the source, which still describes this frame.
  fFrameMarker = frameEndsWithMarker(fFrameBuffer.get(), fFrameSize);
  fFrameIsKey = fFrameSize > 0 && frameIsKeyPoint(fFrameBuffer.get(), fFrameSize);
  fArrived = true;
  run();
}

MultiFramedRTPSink::Next MultiFramedRTPSink::takeFrame() {
  if (fFrameSize == 0) {
    // Nothing to send; its duration still counts for the pacing.
    fPacketDurations += fFrameDuration;
    if (fFramesInPacket > 0) return Next::Pack;
    fNextSendTime += fPacketDurations;
    fPacketDurations = 0;
    return Next::Pace;
  }
  fHaveFrame = True;
  return packFrame();
}

MultiFramedRTPSink::Next MultiFramedRTPSink::packFrame() {
  unsigned char* const out = packet();
  if (fPacketLen > 0) {
    // The packet already carries whole frames: this one joins it only whole.
    if (fFrameOffset == 0 && allowMultipleFramesPerPacket() && fFrameSize <= kMaxPacketSize - fPacketLen) {
      std::memcpy(out + fPacketLen, fFrameBuffer.get(), fFrameSize);
      fPacketLen += fFrameSize;
      ++fFramesInPacket;
      fPacketMarker = fFrameMarker;
      fPacketHasKeyFrame = fPacketHasKeyFrame || fFrameIsKey;
      fPacketDurations += fFrameDuration;
      fHaveFrame = False;
      if (fPacketLen < kPreferredPacketSize) return Next::Pack;
      stagePacket();
      return Next::Pace;
    }
    // Send what we have; the held frame starts the next packet.
    stagePacket();
    return Next::Pace;
  }

  // A fresh packet for (the next piece of) the held frame.
  fPacketLen = kHeaderSize;
  fPacketTimestamp = convertToRTPTimestamp(fFramePresentationTime);
  fPacketPresentationTime = fFramePresentationTime;
  fPacketHasKeyFrame = fFrameIsKey;
  unsigned consumed = 0;
  unsigned written = packFragment(fFrameBuffer.get(), fFrameSize, fFrameOffset, out + kHeaderSize,
                                  kMaxPacketSize - kHeaderSize, consumed);
  if (consumed == 0) consumed = fFrameSize - fFrameOffset;  // a hook that used nothing would loop for ever
  fPacketLen += written;
  fFrameOffset = std::min(fFrameSize, fFrameOffset + consumed);
  ++fFramesInPacket;
  if (fFrameOffset < fFrameSize) {
    // A fragment: it goes now, the rest follows.
    fPacketMarker = False;
    stagePacket();
    return Next::Pace;
  }
  fHaveFrame = False;
  fPacketMarker = fFrameMarker;
  fPacketDurations += fFrameDuration;
  if (fFrameOffset == written && allowMultipleFramesPerPacket() && fPacketLen < kPreferredPacketSize) {
    return Next::Pack;  // room for more whole frames
  }
  stagePacket();
  return Next::Pace;
}

void MultiFramedRTPSink::stagePacket() {
  unsigned char* p = packet();
  p[0] = 0x80;  // version 2, no padding, no extension, no CSRC
  p[1] = static_cast<unsigned char>((fPacketMarker ? 0x80 : 0x00) | (fRTPPayloadType & 0x7F));
  p[2] = static_cast<unsigned char>(fSeqNo >> 8);
  p[3] = static_cast<unsigned char>(fSeqNo);
  p[4] = static_cast<unsigned char>(fPacketTimestamp >> 24);
  p[5] = static_cast<unsigned char>(fPacketTimestamp >> 16);
  p[6] = static_cast<unsigned char>(fPacketTimestamp >> 8);
  p[7] = static_cast<unsigned char>(fPacketTimestamp);
  p[8] = static_cast<unsigned char>(fSSRC >> 24);
  p[9] = static_cast<unsigned char>(fSSRC >> 16);
  p[10] = static_cast<unsigned char>(fSSRC >> 8);
  p[11] = static_cast<unsigned char>(fSSRC);
  // A unit opens after a marker or with a new timestamp; it is a key point
  // when any of its frames is one (an IDR after the parameter sets).
  bool const startsUnit = fPacketCount == 0 || fLastPacketMarker || fPacketTimestamp != fLastPacketTimestamp;
  if (startsUnit) {
    fUnitIsKey = fPacketHasKeyFrame;
    fRTPInterface.stagePacket(p, fPacketLen, true, fPacketHasKeyFrame);
  } else {
    fRTPInterface.stagePacket(p, fPacketLen, false, false);
    if (fPacketHasKeyFrame && !fUnitIsKey) {
      fUnitIsKey = True;
      fRTPInterface.markUnitKeyPoint();
    }
  }
  fLastPacketMarker = fPacketMarker;
  fLastPacketTimestamp = fPacketTimestamp;
  ++fSeqNo;
  ++fPacketCount;
  fOctetCount += fPacketLen - kHeaderSize;
  fLastPresentationTime = fPacketPresentationTime;
  fNextSendTime += fPacketDurations;
  resetPacket();
  ++fStagedThisRun;
  if (++fSlot == kBurstSlots) endBurst();  // a full burst goes at once
}

void MultiFramedRTPSink::sendNext(void* clientData) {
  auto* sink = static_cast<MultiFramedRTPSink*>(clientData);
  sink->fNextTask = nullptr;
  sink->run();
}

void MultiFramedRTPSink::ourHandleClosure(void* clientData) {
  auto* sink = static_cast<MultiFramedRTPSink*>(clientData);
  if (sink->fRunning) {
    sink->fSourceClosed = true;  // the loop finishes up on its way out
    return;
  }
  sink->finishAfterClosure();
}

void MultiFramedRTPSink::finishAfterClosure() {
  fSourceClosed = false;
  // Whole frames still waiting in the packet go out first.
  if (fPacketLen > 0) stagePacket();
  endBurst();
  envir().taskScheduler().unscheduleDelayedTask(fNextTask);
  fHaveFrame = False;
  onSourceClosure();  // may close this sink
}
