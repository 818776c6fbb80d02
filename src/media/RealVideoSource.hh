#ifndef OSTRA_REAL_VIDEO_SOURCE_HH
#define OSTRA_REAL_VIDEO_SOURCE_HH

#include "RealMediaSource.hh"

// The producer's video byte stream (H.264 Annex B or MPEG-4 part 2), on
// 127.0.0.1 port 13032 + channel.
class RealVideoSource : public RealMediaSource {
public:
  unsigned maxFrameSize() const override;
  int channel() const { return fChannel; }

protected:
  friend class MediaInput;
  // Connects at once; called by the hub under its mutex.
  RealVideoSource(UsageEnvironment& env, MediaInput* input, int channel);
  ~RealVideoSource() override;

  void readFromFile() override;

  int fChannel;
};

#endif
