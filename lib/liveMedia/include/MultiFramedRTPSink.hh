#ifndef OSTRA_MULTI_FRAMED_RTP_SINK_HH
#define OSTRA_MULTI_FRAMED_RTP_SINK_HH

#include <cstdint>
#include <memory>

#include "RTPSink.hh"

// An RTP sink that packs frames into packets: several small frames per packet
// where the payload format allows it, a large frame split across packets, and
// sending paced by the frames' durations.
//
// Each frame is read whole into a buffer of OutPacketBuffer::maxSize bytes
// (the size in force when the sink is created), then cut into packets of at
// most 1456 bytes (12 header + 1444 payload). All packets of a frame carry the
// RTP timestamp of its presentation time. After a packet is sent the next one
// is built no earlier than the time playing started plus the durations of all
// frames sent so far; at once when the sink is behind. Packets that are due
// together (the pieces of a frame, and frames whose durations are 0, such as
// the NAL units inside an access unit) are built in one pass of the event
// loop and leave as one burst.
class MultiFramedRTPSink : public RTPSink {
public:
  void stopPlaying() override;

  // Size of the buffer a whole frame must fit in (larger frames are truncated).
  unsigned frameBufferSize() const { return fFrameBufferSize; }
  unsigned numTruncatedFrames() const { return fNumTruncatedFrames; }

protected:
  MultiFramedRTPSink(UsageEnvironment& env, Groupsock* rtpgs, unsigned char rtpPayloadType,
                     unsigned rtpTimestampFrequency, char const* rtpPayloadFormatName, unsigned numChannels = 1);
  ~MultiFramedRTPSink() override;

  Boolean continuePlaying() override;

  // Payload-format hooks.
  // May a whole frame follow another frame in the same packet?
  virtual Boolean allowMultipleFramesPerPacket() const;
  // How many bytes to ask the source for, given the payload room left in the
  // packet being built. By default the whole frame buffer.
  virtual unsigned frameRequestSize(unsigned roomInPacket) const;
  // Called once per frame as it arrives (the source still describes this
  // frame): whether the packet that carries the frame's end gets the marker.
  virtual Boolean frameEndsWithMarker(unsigned char const* frame, unsigned frameSize);
  // Writes the next piece of 'frame', starting at 'offset', into 'out' (at
  // most 'room' bytes, room > 2). Returns the bytes written and sets
  // 'consumed' to the frame bytes used (>= 1). By default a plain copy.
  virtual unsigned packFragment(unsigned char const* frame, unsigned frameSize, unsigned offset, unsigned char* out,
                                unsigned room, unsigned& consumed);
  // Called once per frame as it arrives: whether a decoder can start at the
  // unit (access unit, frame) this frame belongs to. By default every frame.
  virtual Boolean frameIsKeyPoint(unsigned char const* frame, unsigned frameSize);

private:
  // What the burst loop does after a step.
  enum class Next { Pack, Pace };

  static void afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                struct timeval presentationTime, unsigned durationInMicroseconds);
  void afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes, struct timeval presentationTime,
                          unsigned durationInMicroseconds);
  static void ourHandleClosure(void* clientData);
  void finishAfterClosure();
  static void sendNext(void* clientData);

  void run();           // the burst loop: everything due now, then one send
  void requestFrame();  // ask the source for the next frame
  Next takeFrame();     // the frame that arrived
  Next packFrame();     // put (part of) the held frame into the packet
  void stagePacket();   // write the header, add to the burst, account
  void endBurst();
  void resetPacket();
  unsigned char* packet() const { return fPackets.get() + fSlot * kSlotSize; }

  static constexpr unsigned kBurstSlots = RTPInterface::kMaxBurst;
  static constexpr unsigned kSlotSize = 1456;

  std::unique_ptr<unsigned char[]> fFrameBuffer;
  unsigned fFrameBufferSize;
  // One slot per packet of a burst: the bytes stay put until the burst is sent.
  std::unique_ptr<unsigned char[]> fPackets;
  unsigned fSlot = 0;

  // The packet being built.
  unsigned fPacketLen = 0;  // header included; 0 when empty
  unsigned fFramesInPacket = 0;
  uint32_t fPacketTimestamp = 0;
  struct timeval fPacketPresentationTime {};
  Boolean fPacketMarker = False;
  Boolean fPacketHasKeyFrame = False;
  unsigned fPacketDurations = 0;  // durations of the frames ended in this packet

  // The frame held in fFrameBuffer.
  Boolean fHaveFrame = False;
  unsigned fFrameSize = 0;
  unsigned fFrameOffset = 0;  // bytes already packed
  struct timeval fFramePresentationTime {};
  unsigned fFrameDuration = 0;
  Boolean fFrameMarker = False;
  Boolean fFrameIsKey = False;

  // The unit (packets with one timestamp up to a marker) being sent.
  Boolean fLastPacketMarker = True;
  uint32_t fLastPacketTimestamp = 0;
  Boolean fUnitIsKey = False;

  bool fRunning = false;       // inside the burst loop
  bool fArrived = false;       // a frame came and waits to be taken
  bool fSourceClosed = false;  // the source ended while the loop ran
  unsigned fStagedThisRun = 0;
  int64_t fNextSendTime = 0;  // monotonic microseconds
  TaskScheduler::TaskToken fNextTask = nullptr;
  unsigned fNumTruncatedFrames = 0;
};

#endif
