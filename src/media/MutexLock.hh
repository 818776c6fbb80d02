#ifndef OSTRA_MUTEX_LOCK_HH
#define OSTRA_MUTEX_LOCK_HH

#include <pthread.h>

// Scoped lock over a POSIX mutex. A null mutex makes it do nothing.
class MutexLock {
public:
  explicit MutexLock(pthread_mutex_t* mutex);
  ~MutexLock();

  MutexLock(MutexLock const&) = delete;
  MutexLock& operator=(MutexLock const&) = delete;

private:
  pthread_mutex_t* fMutex;
};

#endif
