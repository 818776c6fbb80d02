// One connection to the daemon: writing its backlog of due units, reading (and ignoring) what arrives, closing.
#include "Connection.hh"

#include "Report.hh"

#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace ostra_producer {

namespace {

int64_t realtimeNs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

void closeConnection(Producer& p, Connection& c, char const* reason) {
  if (c.dead) return;
  c.dead = true;
  close(c.fd);
  c.fd = -1;
  Medium& m = *c.medium;
  m.totalUnits += c.unitsSent;
  m.totalBytes += c.bytesSent;
  m.totalDropped += c.dropped;
  reportLine(p,
             "ostra-producer: close %s conn=%u reason=%s units=%llu bytes=%llu writes=%llu max_write=%zu "
             "dropped=%llu\n",
             m.name.c_str(), c.id, reason, c.unitsSent, c.bytesSent, c.writes, c.largestWrite, c.dropped);
}

void reapConnections(Medium& m) {
  size_t j = 0;
  for (size_t i = 0; i < m.conns.size(); ++i)
    if (!m.conns[i]->dead) m.conns[j++] = std::move(m.conns[i]);
  m.conns.resize(j);
}

// Writes as much of the connection's backlog as the socket takes, one unit (or one --chunk piece) per send.
void flush(Producer& p, Connection& c) {
  while (c.count > 0 && !c.dead) {
    Pending& u = c.ring[c.head];
    iovec iov[4];
    int n = 0;
    size_t skip = u.written;
    size_t room = p.opt.chunk ? p.opt.chunk : u.total;
    for (int i = 0; i < u.nseg && room > 0; ++i) {
      Segment const& s = u.seg[i];
      if (skip >= s.size) {
        skip -= s.size;
        continue;
      }
      size_t len = std::min(s.size - skip, room);
      iov[n].iov_base = const_cast<uint8_t*>(s.data + skip);
      iov[n].iov_len = len;
      ++n;
      room -= len;
      skip = 0;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(n);
    const int64_t startNs = (p.timestamps && c.medium->timestamped && u.written == 0) ? realtimeNs() : 0;
    ssize_t r = sendmsg(c.fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      closeConnection(p, c, errno == EPIPE || errno == ECONNRESET ? "peer-closed" : "write-error");
      return;
    }
    if (startNs) std::fprintf(p.timestamps, "%llu %lld %zu\n", u.index, static_cast<long long>(startNs), u.total);
    c.writes++;
    c.bytesSent += static_cast<size_t>(r);
    c.largestWrite = std::max(c.largestWrite, static_cast<size_t>(r));
    u.written += static_cast<size_t>(r);
    if (u.written < u.total) continue;
    c.queuedBytes -= u.total;
    c.head = (c.head + 1) % c.ring.size();
    c.count--;
    c.unitsSent++;
    if (p.opt.closeAfter && c.unitsSent >= p.opt.closeAfter) {
      closeConnection(p, c, "close-after");
      return;
    }
  }
}

// The daemon never writes on its producer links; whatever arrives is read and ignored, end of stream closes.
void readConnection(Producer& p, Connection& c) {
  uint8_t scratch[4096];
  for (;;) {
    ssize_t r = recv(c.fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (r > 0) continue;
    if (r == 0) {
      closeConnection(p, c, "peer-closed");
      return;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) closeConnection(p, c, "read-error");
    return;
  }
}

}  // namespace ostra_producer
