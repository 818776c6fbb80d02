#include "SystemRandom.hh"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

namespace {

SystemRandomSource gSourceForTesting = nullptr;

// A kernel without getrandom (before 3.17) still has /dev/urandom.
bool readURandom(unsigned char* p, size_t size) {
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return done == size;
}

}  // namespace

bool systemRandomBytes(void* buf, size_t size) {
  if (gSourceForTesting != nullptr) return gSourceForTesting(buf, size);
  auto* p = static_cast<unsigned char*>(buf);
  size_t done = 0;
  while (done < size) {
    // GRND_NONBLOCK: the event loop never waits for the pool; before it is
    // initialised (early after boot) the call fails with EAGAIN.
    ssize_t n = ::getrandom(p + done, size - done, GRND_NONBLOCK);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ENOSYS) return readURandom(p + done, size - done);
    return false;
  }
  return true;
}

void setSystemRandomSourceForTesting(SystemRandomSource source) { gSourceForTesting = source; }
