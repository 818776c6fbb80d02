#include "MultiFramedRTPSink.hh"

#include <time.h>

#include <algorithm>
#include <cstring>

#include "OutPacketBuffer.hh"
#include "RTPConstants.hh"

using ostra_rtp::kHeaderSize;
using ostra_rtp::kMaxPacketSize;
using ostra_rtp::kPreferredPacketSize;

MultiFramedRTPSink::MultiFramedRTPSink(UsageEnvironment& env, Groupsock* rtpgs, unsigned char rtpPayloadType,
                                       unsigned rtpTimestampFrequency, char const* rtpPayloadFormatName,
                                       unsigned numChannels)
    : RTPSink(env, rtpgs, rtpPayloadType, rtpTimestampFrequency, rtpPayloadFormatName, numChannels),
      fFrameBufferSize(std::max(OutPacketBuffer::maxSize, kMaxPacketSize)) {
  fFrameBuffer.reset(new unsigned char[fFrameBufferSize]);
  fPacket.reset(new unsigned char[kMaxPacketSize]);
}

MultiFramedRTPSink::~MultiFramedRTPSink() { envir().taskScheduler().unscheduleDelayedTask(fNextTask); }

Boolean MultiFramedRTPSink::allowMultipleFramesPerPacket() const { return False; }

unsigned MultiFramedRTPSink::frameRequestSize(unsigned /*roomInPacket*/) const { return fFrameBufferSize; }

Boolean MultiFramedRTPSink::frameEndsWithMarker(unsigned char const* /*frame*/, unsigned /*frameSize*/) {
  return False;
}

unsigned MultiFramedRTPSink::packFragment(unsigned char const* frame, unsigned frameSize, unsigned offset,
                                          unsigned char* out, unsigned room, unsigned& consumed) {
  unsigned n = std::min(room, frameSize - offset);
  std::memcpy(out, frame + offset, n);
  consumed = n;
  return n;
}

int64_t MultiFramedRTPSink::monotonicMicros() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

Boolean MultiFramedRTPSink::continuePlaying() {
  resetPacket();
  fHaveFrame = False;
  fNextSendTime = monotonicMicros();
  step();
  return True;
}

void MultiFramedRTPSink::stopPlaying() {
  envir().taskScheduler().unscheduleDelayedTask(fNextTask);
  resetPacket();
  fHaveFrame = False;
  MediaSink::stopPlaying();
}

void MultiFramedRTPSink::resetPacket() {
  fPacketLen = 0;
  fFramesInPacket = 0;
  fPacketMarker = False;
  fPacketDurations = 0;
}

void MultiFramedRTPSink::step() {
  if (fSource == nullptr) return;
  if (fHaveFrame) {
    packFrame();
    return;
  }
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
  fFrameMarker = frameEndsWithMarker(fFrameBuffer.get(), fFrameSize);
  if (fFrameSize == 0) {
    // Nothing to send; its duration still counts for the pacing.
    fPacketDurations += fFrameDuration;
    if (fFramesInPacket > 0) {
      step();
    } else {
      fNextSendTime += fPacketDurations;
      fPacketDurations = 0;
      scheduleNext();
    }
    return;
  }
  fHaveFrame = True;
  packFrame();
}

void MultiFramedRTPSink::packFrame() {
  if (fPacketLen > 0) {
    // The packet already carries whole frames: this one joins it only whole.
    if (fFrameOffset == 0 && allowMultipleFramesPerPacket() && fFrameSize <= kMaxPacketSize - fPacketLen) {
      std::memcpy(fPacket.get() + fPacketLen, fFrameBuffer.get(), fFrameSize);
      fPacketLen += fFrameSize;
      ++fFramesInPacket;
      fPacketMarker = fFrameMarker;
      fPacketDurations += fFrameDuration;
      fHaveFrame = False;
      if (fPacketLen >= kPreferredPacketSize) {
        sendPacket();
        scheduleNext();
      } else {
        step();
      }
      return;
    }
    // Send what we have; the held frame starts the next packet.
    sendPacket();
    scheduleNext();
    return;
  }

  // A fresh packet for (the next piece of) the held frame.
  fPacketLen = kHeaderSize;
  fPacketTimestamp = convertToRTPTimestamp(fFramePresentationTime);
  fPacketPresentationTime = fFramePresentationTime;
  unsigned consumed = 0;
  unsigned written = packFragment(fFrameBuffer.get(), fFrameSize, fFrameOffset, fPacket.get() + kHeaderSize,
                                  kMaxPacketSize - kHeaderSize, consumed);
  if (consumed == 0) consumed = fFrameSize - fFrameOffset;  // a hook that used nothing would loop for ever
  fPacketLen += written;
  fFrameOffset = std::min(fFrameSize, fFrameOffset + consumed);
  ++fFramesInPacket;
  if (fFrameOffset < fFrameSize) {
    // A fragment: send it now, the rest follows.
    fPacketMarker = False;
    sendPacket();
    scheduleNext();
    return;
  }
  fHaveFrame = False;
  fPacketMarker = fFrameMarker;
  fPacketDurations += fFrameDuration;
  if (fFrameOffset == written && allowMultipleFramesPerPacket() && fPacketLen < kPreferredPacketSize) {
    step();  // room for more whole frames
    return;
  }
  sendPacket();
  scheduleNext();
}

void MultiFramedRTPSink::sendPacket() {
  unsigned char* p = fPacket.get();
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
  fRTPInterface.sendPacket(p, fPacketLen);
  ++fSeqNo;
  ++fPacketCount;
  fOctetCount += fPacketLen - kHeaderSize;
  fLastPresentationTime = fPacketPresentationTime;
  fNextSendTime += fPacketDurations;
  resetPacket();
}

void MultiFramedRTPSink::scheduleNext() {
  int64_t delay = fNextSendTime - monotonicMicros();
  if (delay < 0) delay = 0;  // behind: at once
  envir().taskScheduler().unscheduleDelayedTask(fNextTask);
  fNextTask = envir().taskScheduler().scheduleDelayedTask(delay, sendNext, this);
}

void MultiFramedRTPSink::sendNext(void* clientData) {
  auto* sink = static_cast<MultiFramedRTPSink*>(clientData);
  sink->fNextTask = nullptr;
  sink->step();
}

void MultiFramedRTPSink::ourHandleClosure(void* clientData) {
  auto* sink = static_cast<MultiFramedRTPSink*>(clientData);
  // Whole frames still waiting in the packet go out first.
  if (sink->fPacketLen > 0) sink->sendPacket();
  sink->envir().taskScheduler().unscheduleDelayedTask(sink->fNextTask);
  sink->fHaveFrame = False;
  sink->onSourceClosure();  // may close this sink
}
