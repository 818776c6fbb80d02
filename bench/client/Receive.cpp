// Counting a client's RTP packets and recording access units, from interleaved
// frames or from batches of UDP datagrams.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "Handshake.hh"
#include "Receive.hh"

namespace ostra_bench {

namespace {

void countNals(UnitRec& u, uint8_t const* pl, size_t len) {
  if (len < 1) return;
  int type = pl[0] & 0x1f;
  if (type >= 1 && type <= 23) {
    u.nals0++;
    u.nalBytes0 += len;
  } else if (type == 24) {  // STAP-A
    size_t o = 1;
    while (o + 2 <= len) {
      size_t n = (size_t(pl[o]) << 8) | pl[o + 1];
      o += 2;
      if (o + n > len) break;
      u.nals0++;
      u.nalBytes0 += n;
      o += n;
    }
  } else if (type == 28 && len >= 2) {  // FU-A
    if (pl[1] & 0x80) {
      u.nals0++;
      u.nalBytes0 += 1;
    }
    u.nalBytes0 += len - 2;
  }
}

}  // namespace

void onRtp(Bench& b, Client& c, uint8_t const* p, size_t len, int64_t arrivalNs) {
  if (len < 12 || (p[0] >> 6) != 2) return;
  uint16_t seq = uint16_t((p[2] << 8) | p[3]);
  if (!c.haveSeq) {
    c.haveSeq = true;
    c.c.maxExt = seq;
    c.lastSeq = seq;
  } else {
    int16_t d = int16_t(seq - c.lastSeq);
    if (d > 0) {
      if (seq < c.lastSeq) c.cycles += 65536;
      int64_t ext = c.cycles + seq;
      if (d > 1) {
        c.c.gaps++;
        c.c.missing += uint64_t(d - 1);
      }
      c.c.maxExt = std::max(c.c.maxExt, ext);
      c.lastSeq = seq;
    }
  }
  if (c.c.packets == 0) c.lastSeq = seq;
  c.c.packets++;
  c.c.bytes += len;
  if (!b.recordUnits || !b.windowOpen) return;
  size_t hl = 12 + 4 * size_t(p[0] & 0x0f);
  if (p[0] & 0x10) {  // header extension
    if (len < hl + 4) return;
    hl += 4 + 4 * ((size_t(p[hl + 2]) << 8) | p[hl + 3]);
  }
  if (len < hl) return;
  size_t plen = len - hl;
  if (p[0] & 0x20) plen -= std::min<size_t>(plen, p[len - 1]);
  uint32_t ts = (uint32_t(p[4]) << 24) | (uint32_t(p[5]) << 16) | (uint32_t(p[6]) << 8) | p[7];
  auto it = b.units.find(ts);
  if (it == b.units.end()) {
    it = b.units.emplace(ts, UnitRec{}).first;
    it->second.first = arrivalNs;
    b.unitOrder.push_back(ts);
  }
  UnitRec& u = it->second;
  u.first = std::min(u.first, arrivalNs);
  u.last = std::max(u.last, arrivalNs);
  u.pktsAll++;
  if (!c.haveUnit || c.unitTs != ts) u.firstAtLast = std::max(u.firstAtLast, arrivalNs);
  c.haveUnit = true;
  c.unitTs = ts;
  if (p[1] & 0x80) {
    u.markerFirst = u.markerFirst == 0 ? arrivalNs : std::min(u.markerFirst, arrivalNs);
    u.markerLast = std::max(u.markerLast, arrivalNs);
  }
  if (c.idx == b.firstPlaying) {
    u.pkts0++;
    if (p[1] & 0x80) u.marker = true;
    countNals(u, p + hl, plen);
  }
}

void readTcp(Bench& b, Client& c, int64_t now) {
  for (int rounds = 0; rounds < 8 && c.state != State::Failed; ++rounds) {
    if (c.inLen == c.in.size()) {
      fail(b, c, "input buffer full");
      return;
    }
    ssize_t n = recv(c.fd, c.in.data() + c.inLen, c.in.size() - c.inLen, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return;
      fail(b, c, std::string("recv: ") + std::strerror(errno));
      return;
    }
    if (n == 0) {
      fail(b, c, "server closed the connection");
      return;
    }
    c.inLen += size_t(n);
    int64_t arrival = b.recordUnits ? nowNs(CLOCK_REALTIME) : 0;
    drainInput(b, c, now, arrival);
  }
}

void readUdp(Bench& b, Client& c, int fd, bool rtp, RecvBatch& rb) {
  for (int rounds = 0; rounds < 16; ++rounds) {
    for (int i = 0; i < kBatch; ++i) {
      rb.iov[i] = {rb.data[i], kPktSize};
      std::memset(&rb.msgs[i].msg_hdr, 0, sizeof(msghdr));
      rb.msgs[i].msg_hdr.msg_iov = &rb.iov[i];
      rb.msgs[i].msg_hdr.msg_iovlen = 1;
      if (b.recordUnits) {
        rb.msgs[i].msg_hdr.msg_control = rb.ctrl[i];
        rb.msgs[i].msg_hdr.msg_controllen = sizeof rb.ctrl[i];
      }
    }
    int n = recvmmsg(fd, rb.msgs, kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) return;
    if (rtp) {
      int64_t fallback = b.recordUnits ? nowNs(CLOCK_REALTIME) : 0;
      for (int i = 0; i < n; ++i) {
        int64_t arrival = fallback;
        if (b.recordUnits) {
          for (cmsghdr* cm = CMSG_FIRSTHDR(&rb.msgs[i].msg_hdr); cm; cm = CMSG_NXTHDR(&rb.msgs[i].msg_hdr, cm))
            if (cm->cmsg_level == SOL_SOCKET && cm->cmsg_type == SCM_TIMESTAMPNS) {
              timespec ts;
              std::memcpy(&ts, CMSG_DATA(cm), sizeof ts);
              arrival = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            }
        }
        onRtp(b, c, rb.data[i], rb.msgs[i].msg_len, arrival);
      }
    }
    if (n < kBatch) return;
  }
}

}  // namespace ostra_bench
