#include "InterleavedSocketWriter.hh"

#include <errno.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "MonotonicClock.hh"

namespace {

constexpr size_t kLargestFrame = 4 + 65535;

}  // namespace

InterleavedSocketWriter::InterleavedSocketWriter(UsageEnvironment& env, int socketNum, Limits const& limits,
                                                 Listener* listener)
    : fEnv(env),
      fOwnTransport(socketNum),
      fTransport(&fOwnTransport),
      fSocketNum(socketNum),
      fListener(listener),
      fFrameBacklog(std::max(limits.frameBacklog, kLargestFrame)),
      fDataBacklog(limits.dataBacklog != 0 ? limits.dataBacklog : 2 * fFrameBacklog),
      fFirstAllocation(limits.firstAllocation != 0 ? limits.firstAllocation : std::min(fFrameBacklog, fDataBacklog)) {}

InterleavedSocketWriter::InterleavedSocketWriter(UsageEnvironment& env, ByteTransport& transport, Limits const& limits,
                                                 Listener* listener)
    : InterleavedSocketWriter(env, transport.socketNum(), limits, listener) {
  fTransport = &transport;
}

InterleavedSocketWriter::InterleavedSocketWriter(UsageEnvironment& env, int socketNum, unsigned queueCapacity)
    : InterleavedSocketWriter(env, socketNum, Limits{queueCapacity, 0, 0}, nullptr) {}

InterleavedSocketWriter::~InterleavedSocketWriter() {
  for (Subscription const& s : fSubs) s.store->removeReader(this);
  if (fWantWritable && fListener == nullptr && fSocketNum >= 0)
    fEnv.taskScheduler().disableBackgroundHandling(fSocketNum);
}

void InterleavedSocketWriter::setPeerName(char const* name) {
  std::snprintf(fPeerName, sizeof fPeerName, "%s", name == nullptr ? "" : name);
}

void InterleavedSocketWriter::setWantWritable(bool want) {
  if (want == fWantWritable) return;
  fWantWritable = want;
  if (fListener != nullptr) {
    fListener->writableInterestChanged(want);
  } else if (fSocketNum >= 0) {
    fEnv.taskScheduler().setBackgroundHandling(fSocketNum, want ? SOCKET_WRITABLE : 0, writableHandler, this);
  }
}

void InterleavedSocketWriter::writableHandler(void* clientData, int /*mask*/) {
  static_cast<InterleavedSocketWriter*>(clientData)->flush();
}

void InterleavedSocketWriter::fail() {
  if (fFailed) return;
  fFailed = True;
  fQueue.clear();
  fItems.clear();
  fItemHead = 0;
  fOwnInProgress = false;
  fTailSize = fTailSent = 0;
  setWantWritable(false);
  if (fListener != nullptr) fListener->writerFailed();
}

// ---- Stores ------------------------------------------------------------------

void InterleavedSocketWriter::attachStore(TrackOutputStore& store, TrackOutputStore::Kind kind,
                                          unsigned char channelId) {
  int const k = static_cast<int>(kind);
  for (Subscription& s : fSubs) {
    if (s.store == &store && s.channel[k] < 0) {
      s.channel[k] = channelId;
      return;
    }
  }
  // A new reader starts with whatever packet comes next.
  Subscription s{&store, {-1, -1}, store.end(), store.end()};
  s.channel[k] = channelId;
  fSubs.push_back(s);
  store.addReader(this);
  streamingChanged();
}

void InterleavedSocketWriter::streamingChanged() { fTransport->setStreaming(!fSubs.empty()); }

void InterleavedSocketWriter::detachStore(TrackOutputStore& store, TrackOutputStore::Kind kind,
                                          unsigned char channelId) {
  int const k = static_cast<int>(kind);
  for (size_t i = 0; i < fSubs.size(); ++i) {
    Subscription& s = fSubs[i];
    if (s.store != &store || s.channel[k] != channelId) continue;
    s.channel[k] = -1;
    if (s.channel[0] < 0 && s.channel[1] < 0) {
      fSubs.erase(fSubs.begin() + static_cast<std::ptrdiff_t>(i));
      bool stillReading = false;
      for (Subscription const& other : fSubs) stillReading = stillReading || other.store == &store;
      if (!stillReading) store.removeReader(this);
      streamingChanged();
    }
    return;
  }
}

void InterleavedSocketWriter::storeClosing(TrackOutputStore& store) {
  fSubs.erase(std::remove_if(fSubs.begin(), fSubs.end(), [&](Subscription const& s) { return s.store == &store; }),
              fSubs.end());
  streamingChanged();
}

uint64_t InterleavedSocketWriter::oldestNeeded(TrackOutputStore const& store) const {
  uint64_t oldest = store.end();
  if (fFailed) return oldest;
  for (Subscription const& s : fSubs) {
    if (s.store == &store) oldest = std::min(oldest, s.pos);
  }
  return oldest;
}

void InterleavedSocketWriter::storeHasData(TrackOutputStore& store) {
  if (fFailed) return;
  // A reader whose socket is full may have fallen behind meanwhile.
  for (Subscription& s : fSubs) {
    if (s.store == &store) settle(s);
  }
  if (!fWantWritable) flush();
}

void InterleavedSocketWriter::settle(Subscription& s) {
  TrackOutputStore& st = *s.store;
  if (s.pos < st.front()) {  // evicted before it was written: out of the window
    if (!s.waiting) s.skipFrom = s.pos;
    s.waiting = true;
    s.pos = st.front();
  }
  if (!s.waiting) {
    // Packets not meant for this writer (the other kind) are passed over.
    while (s.pos < st.end() && s.channel[static_cast<int>(st.at(s.pos).kind)] < 0) ++s.pos;
    if (st.backlogBytes(s.pos) > fFrameBacklog) {
      s.waiting = true;
      s.skipFrom = s.pos;
    }
  }
  if (s.waiting) resumeAtKeyPoint(s);
}

void InterleavedSocketWriter::resumeAtKeyPoint(Subscription& s) {
  TrackOutputStore& st = *s.store;
  bool const rtcpOnly = s.channel[static_cast<int>(TrackOutputStore::Kind::RTP)] < 0;
  // The reader resumes with half of what it may lag behind still ahead of it,
  // so a reader that stays slow is not moved on with every new packet.
  uint64_t const maxBacklog = std::min<uint64_t>(fFrameBacklog, st.window().bytes) / 2;
  int64_t const oldest = monotonicMicros() - st.window().micros / 2;
  while (s.pos < st.end()) {
    TrackOutputStore::Packet const& p = st.at(s.pos);
    bool const ours = s.channel[static_cast<int>(p.kind)] >= 0;
    if ((p.keyPoint || rtcpOnly) && ours && st.backlogBytes(s.pos) <= maxBacklog && p.storedAt >= oldest) {
      s.waiting = false;
      noteSkip(static_cast<unsigned>(s.pos - s.skipFrom));
      return;
    }
    if (s.pos == st.openUnit() && !p.keyPoint) return;  // the unit may still turn out to be one
    ++s.pos;
  }
}

void InterleavedSocketWriter::noteSkip(unsigned skipped) {
  fNumDroppedFrames += skipped;
  ++fNumSkips;
  fSkippedUnreported += skipped;
  // One line for a skip; a reader that keeps falling behind is reported at
  // most every few seconds, with the packets skipped meanwhile.
  int64_t const now = monotonicMicros();
  if (fPeerName[0] == '\0' || (fLastSkipReport != 0 && now - fLastSkipReport < kSkipReportInterval)) return;
  fEnv << "Interleaved client " << fPeerName << " fell behind the output window: " << fSkippedUnreported
       << " packets skipped, resumed at a key frame\n";
  fSkippedUnreported = 0;
  fLastSkipReport = now;
}

// ---- Writing -----------------------------------------------------------------

bool InterleavedSocketWriter::nothingPending() const {
  if (!fQueue.empty() || fTailSent < fTailSize || fTransport->holdsOutput()) return false;
  for (Subscription const& s : fSubs) {
    if (!s.waiting && s.pos < s.store->end()) return false;
  }
  return true;
}

size_t InterleavedSocketWriter::queuedBytes() const {
  size_t n = fQueue.size() + (fTailSize - fTailSent);
  for (Subscription const& s : fSubs) {
    if (!s.waiting) n += static_cast<size_t>(s.store->backlogBytes(s.pos));
  }
  return n;
}

void InterleavedSocketWriter::flush() {
  if (fFailed || fSocketNum < 0 || fFlushing) return;
  fFlushing = true;
  for (Subscription& s : fSubs) settle(s);
  // One thread: one set of pieces serves every writer.
  static struct iovec iov[kMaxPieces];
  static Planned items[kMaxPieces];
  bool socketFull = false;
  for (;;) {
    size_t numItems = 0;
    bool complete = false;
    size_t const n = plan(iov, items, numItems, complete);
    bool blocked = false;
    if (n == 0) {
      // What the transport took before may still wait in it.
      if (fTransport->holdsOutput() && fTransport->writeBurst(nullptr, 0, blocked) < 0) {
        fFlushing = false;
        fail();
        return;
      }
      socketFull = blocked;
      break;
    }
    ssize_t const w = fTransport->writeBurst(iov, n, blocked);
    if (w < 0) {
      fFlushing = false;
      fail();
      return;
    }
    consume(static_cast<size_t>(w), items, numItems);
    if (blocked) {
      socketFull = true;
      break;
    }
    if (complete) break;
  }
  fFlushing = false;
  setWantWritable(socketFull);
}

size_t InterleavedSocketWriter::plan(struct iovec* iov, Planned* items, size_t& numItems, bool& complete) {
  size_t n = 0, bytes = 0;
  numItems = 0;
  complete = false;
  if (fTailSent < fTailSize) {
    iov[n++] = iovec{fTail + fTailSent, fTailSize - fTailSent};
    items[numItems++] = Planned{Planned::What::Tail, nullptr, 0, fTailSize - fTailSent};
  }
  for (Subscription& s : fSubs) s.planned = s.pos;
  size_t ownIndex = fItemHead, ownOffset = 0;
  while (n + 2 <= kMaxPieces && bytes < kMaxWriteBytes) {
    // Whatever was produced first goes first; a partly written own item
    // before anything else.
    bool own = ownIndex < fItems.size();
    uint64_t best = own ? fItems[ownIndex].order : UINT64_MAX;
    Subscription* from = nullptr;
    if (!(own && fOwnInProgress && ownIndex == fItemHead)) {
      for (Subscription& s : fSubs) {
        if (s.waiting) continue;
        TrackOutputStore& st = *s.store;
        while (s.planned < st.end() && s.channel[static_cast<int>(st.at(s.planned).kind)] < 0) ++s.planned;
        if (s.planned < st.end() && st.at(s.planned).order < best) {
          best = st.at(s.planned).order;
          from = &s;
        }
      }
    }
    if (from != nullptr) {
      n = planPacket(*from, iov, n, items, numItems);
      bytes += items[numItems - 1].size;
    } else if (own) {
      size_t const size = fItems[ownIndex].size;
      n += static_cast<size_t>(fQueue.pieces(ownOffset, size, iov + n));
      items[numItems++] = Planned{Planned::What::Own, nullptr, 0, size};
      ownOffset += size;
      ++ownIndex;
      bytes += size;
    } else {
      complete = true;
      break;
    }
  }
  return n;
}

size_t InterleavedSocketWriter::planPacket(Subscription& s, struct iovec* iov, size_t n, Planned* items,
                                           size_t& numItems) {
  // Interleave headers of packets whose stored header names another channel.
  static unsigned char headers[kMaxPieces][TrackOutputStore::kHeaderRoom];
  TrackOutputStore& st = *s.store;
  TrackOutputStore::Packet const& p = st.at(s.planned);
  unsigned char* framed = st.framed(p);
  unsigned char const channel = static_cast<unsigned char>(s.channel[static_cast<int>(p.kind)]);
  size_t const size = TrackOutputStore::kHeaderRoom + p.size;
  if (framed[1] == channel) {
    iov[n++] = iovec{framed, size};
  } else {
    unsigned char* h = headers[n];
    h[0] = '$';
    h[1] = channel;
    h[2] = framed[2];
    h[3] = framed[3];
    iov[n++] = iovec{h, TrackOutputStore::kHeaderRoom};
    iov[n++] = iovec{framed + TrackOutputStore::kHeaderRoom, p.size};
  }
  items[numItems++] = Planned{Planned::What::Packet, &s, s.planned, size};
  ++s.planned;
  return n;
}

void InterleavedSocketWriter::consume(size_t written, Planned const* items, size_t numItems) {
  for (size_t i = 0; i < numItems; ++i) {
    Planned const& it = items[i];
    if (written >= it.size) {
      written -= it.size;
      if (it.what == Planned::What::Tail) {
        fTailSize = fTailSent = 0;
      } else if (it.what == Planned::What::Own) {
        popOwnItem(it.size);
      } else {
        it.sub->pos = it.pos + 1;
        ++fNumFramesWritten;
      }
      continue;
    }
    if (written > 0) {
      if (it.what == Planned::What::Tail) {
        fTailSent += written;
      } else if (it.what == Planned::What::Own) {
        fQueue.consume(written);
        fItems[fItemHead].size -= written;
        fOwnInProgress = true;
      } else {
        keepCutPacket(it, written);
      }
    }
    return;
  }
}

void InterleavedSocketWriter::keepCutPacket(Planned const& item, size_t written) {
  // The socket took the packet's start: the rest must follow before anything
  // else, whatever the store evicts meanwhile.
  Subscription& s = *item.sub;
  TrackOutputStore::Packet const& p = s.store->at(item.pos);
  unsigned char const* framed = s.store->framed(p);
  std::memcpy(fTail, framed, TrackOutputStore::kHeaderRoom + p.size);
  fTail[1] = static_cast<unsigned char>(s.channel[static_cast<int>(p.kind)]);
  fTailSize = TrackOutputStore::kHeaderRoom + p.size;
  fTailSent = written;
  s.pos = item.pos + 1;
  ++fNumFramesWritten;
}

void InterleavedSocketWriter::popOwnItem(size_t size) {
  fQueue.consume(size);
  if (fItems[fItemHead].frame) ++fNumFramesWritten;
  fOwnInProgress = false;
  if (++fItemHead == fItems.size()) {
    fItems.clear();  // keeps the capacity
    fItemHead = 0;
  } else if (fItemHead >= 64 && 2 * fItemHead >= fItems.size()) {
    fItems.erase(fItems.begin(), fItems.begin() + static_cast<std::ptrdiff_t>(fItemHead));
    fItemHead = 0;
  }
}

void InterleavedSocketWriter::pushOwnItem(size_t size, bool frame) {
  fItems.push_back(OwnItem{TrackOutputStore::nextOrder(), size, frame});
}

void InterleavedSocketWriter::enqueue(unsigned char const* data, size_t size) {
  if (size == 0) return;
  if (fQueue.capacity() == 0) fQueue.reserveFree(std::max(size, fFirstAllocation));
  fQueue.append(data, size);
}

bool InterleavedSocketWriter::writeThrough(unsigned char const* a, size_t aSize, unsigned char const* b, size_t bSize,
                                           bool frame) {
  struct iovec iov[2] = {{const_cast<unsigned char*>(a), aSize}, {const_cast<unsigned char*>(b), bSize}};
  bool blocked = false;
  ssize_t const n = fTransport->writeBurst(iov, bSize > 0 ? 2 : 1, blocked);
  if (n < 0) {
    fail();
    return false;
  }
  size_t const written = static_cast<size_t>(n);
  if (written == aSize + bSize) {
    if (frame) ++fNumFramesWritten;
    if (blocked) setWantWritable(true);  // the transport still holds some of it
    return true;
  }
  // The rest waits in the queue, so it goes out whole and before anything else.
  if (written < aSize) {
    enqueue(a + written, aSize - written);
    enqueue(b, bSize);
  } else {
    enqueue(b + (written - aSize), aSize + bSize - written);
  }
  pushOwnItem(aSize + bSize - written, frame);
  fOwnInProgress = written > 0;
  setWantWritable(true);
  return true;
}

Boolean InterleavedSocketWriter::writeInterleavedFrame(unsigned char channelId, unsigned char const* data,
                                                       unsigned size) {
  if (fFailed || fSocketNum < 0 || size > 0xFFFF) {
    ++fNumDroppedFrames;
    return False;
  }
  unsigned char header[4] = {'$', channelId, static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
  if (nothingPending()) {
    if (!writeThrough(header, 4, data, size, true)) {
      ++fNumDroppedFrames;
      return False;
    }
    return True;
  }
  if (fQueue.size() + 4 + size > fFrameBacklog) {  // the peer is not keeping up
    ++fNumDroppedFrames;
    return False;
  }
  enqueue(header, 4);
  enqueue(data, size);
  pushOwnItem(4 + size, true);
  if (!fWantWritable) flush();
  return !fFailed;
}

Boolean InterleavedSocketWriter::writeData(unsigned char const* data, size_t size) {
  if (fFailed || fSocketNum < 0) return False;
  if (size == 0) return True;
  if (nothingPending()) return writeThrough(data, size, nullptr, 0, false);
  enqueue(data, size);
  pushOwnItem(size, false);
  if (fQueue.size() > fDataBacklog) {
    fail();
    return False;
  }
  if (!fWantWritable) flush();
  return !fFailed;
}
