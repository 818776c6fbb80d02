// The live timeline of a medium: joining at key units, the bounded backlog and its overflow.
#include "Timeline.hh"

#include "Connection.hh"

#include <algorithm>

namespace ostra_producer {

namespace {

// Builds the unit at position `index` of the medium's timeline.
Pending makeUnit(Producer const& p, Medium const& m, unsigned long long index, bool joining) {
  Pending u;
  u.index = index;
  auto add = [&u](void const* data, size_t size) {
    if (size == 0) return;
    u.seg[u.nseg].data = static_cast<const uint8_t*>(data);
    u.seg[u.nseg].size = size;
    u.nseg++;
    u.total += size;
  };
  if (m.isVideo) {
    VideoClip const& clip = *m.clip;
    const size_t i = static_cast<size_t>(index % clip.units.size());
    StreamUnit const& su = clip.units[i];
    if (joining && !clip.unitHasHeaders[i]) add(clip.headers.data(), clip.headers.size());
    add(clip.bytes.data() + su.offset, su.size);
    if (su.key) {
      add(p.bigNalPad.data(), p.bigNalPad.size());
      add(p.bigUnitPad.data(), p.bigUnitPad.size());
    }
  } else {
    const size_t total = p.tone.size();
    const size_t start = static_cast<size_t>((index * p.samplesPerChunk) % total);
    const size_t first = std::min(p.samplesPerChunk, total - start);
    add(p.tone.data() + start, first * 2);
    add(p.tone.data(), (p.samplesPerChunk - first) * 2);  // wraps around the one-second table
  }
  return u;
}

}  // namespace

// One step of a medium's timeline: the unit becomes due on every connection that has joined (or joins now).
void tick(Producer& p, Medium& m) {
  unsigned long long const index = m.index++;
  bool const key = m.isVideo ? m.clip->units[static_cast<size_t>(index % m.clip->units.size())].key : true;
  for (auto& cp : m.conns) {
    Connection& c = *cp;
    if (c.dead) continue;
    if (p.opt.closeAfter && c.unitsQueued >= p.opt.closeAfter) continue;
    bool joining = false;
    if (!c.joined) {
      if (!key) continue;
      c.joined = joining = true;
    }
    Pending u = makeUnit(p, m, index, joining);
    if (c.count > 0 && (c.count == c.ring.size() || c.queuedBytes + u.total > p.opt.backlogBytes)) {
      // Backlog overflow: keep the unit being written, drop the rest and re-join at a key unit.
      bool const keepHead = c.ring[c.head].written > 0;
      const size_t keep = keepHead ? 1 : 0;
      c.dropped += c.count - keep;
      c.unitsQueued -= c.count - keep;
      c.count = keep;
      c.queuedBytes = keepHead ? c.ring[c.head].total : 0;
      if (!key) {
        c.joined = false;
        continue;
      }
      u = makeUnit(p, m, index, true);
    }
    c.ring[(c.head + c.count) % c.ring.size()] = u;
    c.count++;
    c.queuedBytes += u.total;
    c.unitsQueued++;
    flush(p, c);
  }
  reapConnections(m);
}

}  // namespace ostra_producer
