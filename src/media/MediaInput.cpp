#include "MediaInput.hh"

#include <new>

#include "MutexLock.hh"
#include "RealAudioSource.hh"
#include "RealVideoSource.hh"

MediaInput* MediaInput::createNew(UsageEnvironment& env, int channel) {
  return new (std::nothrow) MediaInput(env, channel);
}

MediaInput::MediaInput(UsageEnvironment& env, int channel) : Medium(env), fChannel(channel) {
  pthread_mutex_init(&fMutex, nullptr);
}

MediaInput::~MediaInput() {
  // The sources are not touched: by now they belong to the library's streams or are gone.
  pthread_mutex_destroy(&fMutex);
}

RealVideoSource* MediaInput::videoSource() {
  MutexLock lock(&fMutex);
  if (fVideoSource == nullptr) {
    // Stored whether or not the connection succeeded; a throwing constructor
    // leaves the slot untouched and the lock is released on the way out.
    fVideoSource = new RealVideoSource(envir(), this, fChannel);
  }
  return fVideoSource;
}

RealAudioSource* MediaInput::audioSource() {
  MutexLock lock(&fMutex);
  if (fAudioSource == nullptr) fAudioSource = new RealAudioSource(envir(), this);
  return fAudioSource;
}

RealVideoSource* MediaInput::privateVideoSource() {
  MutexLock lock(&fMutex);
  return new RealVideoSource(envir(), this, fChannel);
}

RealAudioSource* MediaInput::privateAudioSource() {
  MutexLock lock(&fMutex);
  return new RealAudioSource(envir(), this);
}

bool MediaInput::hasVideoSource() {
  MutexLock lock(&fMutex);
  return fVideoSource != nullptr;
}

bool MediaInput::hasAudioSource() {
  MutexLock lock(&fMutex);
  return fAudioSource != nullptr;
}
