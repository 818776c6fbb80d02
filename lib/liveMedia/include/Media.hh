#ifndef OSTRA_MEDIA_HH
#define OSTRA_MEDIA_HH

#include "UsageEnvironment.hh"

// Base of every media object. Each medium gets a name unique within its
// environment and is registered under it; media are destroyed only through
// Medium::close, which unregisters them first.
class Medium {
public:
  static Boolean lookupByName(UsageEnvironment& env, char const* mediumName, Medium*& resultMedium);
  static void close(UsageEnvironment& env, char const* mediumName);
  static void close(Medium* medium);  // null is ignored

  UsageEnvironment& envir() const { return fEnviron; }
  char const* name() const { return fMediumName; }

  // Type tests.
  virtual Boolean isSource() const;
  virtual Boolean isSink() const;
  virtual Boolean isRTCPInstance() const;
  virtual Boolean isRTSPServer() const;
  virtual Boolean isMediaSession() const;
  virtual Boolean isServerMediaSession() const;

protected:
  explicit Medium(UsageEnvironment& env);
  virtual ~Medium();

private:
  Medium(Medium const&) = delete;
  Medium& operator=(Medium const&) = delete;

  UsageEnvironment& fEnviron;
  char fMediumName[32];
};

// Number of media registered in 'env' (for tests and leak checks).
unsigned numRegisteredMedia(UsageEnvironment& env);

#endif
