#include <errno.h>
#include <sys/socket.h>

#include "ByteTransport.hh"

ssize_t SocketTransport::read(unsigned char* buf, size_t size) {
  ssize_t n = recv(fSocket, buf, size, 0);
  if (n >= 0) return n;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : 0;
}

ssize_t SocketTransport::writeBurst(struct iovec const* iov, size_t count, bool& blocked) {
  blocked = false;
  if (count == 0) return 0;
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += iov[i].iov_len;
  struct msghdr msg {};
  msg.msg_iov = const_cast<struct iovec*>(iov);
  msg.msg_iovlen = count;
  ssize_t n;
  do {
    n = ::sendmsg(fSocket, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    n = 0;
  }
  blocked = static_cast<size_t>(n) < total;
  return n;
}
