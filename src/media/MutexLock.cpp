#include "MutexLock.hh"

MutexLock::MutexLock(pthread_mutex_t* mutex) : fMutex(mutex) {
  if (fMutex != nullptr) pthread_mutex_lock(fMutex);
}

MutexLock::~MutexLock() {
  if (fMutex != nullptr) pthread_mutex_unlock(fMutex);
}
