#ifndef OSTRA_MEDIA_SOURCE_HH
#define OSTRA_MEDIA_SOURCE_HH

#include "Media.hh"

// Base of every source of media data.
class MediaSource : public Medium {
public:
  static Boolean lookupByName(UsageEnvironment& env, char const* sourceName, MediaSource*& resultSource);

  Boolean isSource() const override;

  virtual Boolean isFramedSource() const;
  virtual Boolean isH264VideoStreamFramer() const;
  virtual Boolean isH265VideoStreamFramer() const;
  virtual Boolean isMPEG4VideoStreamFramer() const;

protected:
  explicit MediaSource(UsageEnvironment& env);
  ~MediaSource() override;
};

#endif
