#include "TrackOutputStore.hh"
#include "MonotonicClock.hh"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

uint64_t TrackOutputStore::sOrder = 0;

TrackOutputStore::TrackOutputStore(Window const& window)
    : fWindow(window),
      // Room for the window's bytes, each packet's header room, and what a
      // wrap-around leaves unused at the end of the buffer.
      fBytesSize(window.bytes + size_t(kHeaderRoom) * window.packets + 2 * (kMaxPacketSize + kHeaderRoom)),
      fIndexSize(std::max(window.packets, 2u)) {}

TrackOutputStore::~TrackOutputStore() {
  // Indexed loop: a reader may leave from inside the call.
  std::vector<Reader*> readers;
  readers.swap(fReaders);
  for (Reader* r : readers) r->storeClosing(*this);
  if (fMapping != nullptr) munmap(fMapping, fMappingSize);
}

void TrackOutputStore::allocate() {
  if (fMapping != nullptr) return;
  // Pages are touched only as far as the backlog reaches: the buffer restarts
  // at its front whenever the store empties.
  size_t const indexBytes = sizeof(Packet) * fIndexSize;
  size_t const size = indexBytes + fBytesSize;
  void* m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return;  // no room: the store takes nothing, its readers get nothing
  fMapping = m;
  fMappingSize = size;
  fIndex = static_cast<Packet*>(m);
  fBytes = static_cast<unsigned char*>(m) + indexBytes;
}

void TrackOutputStore::releaseIdlePages() {
  if (fTouched <= kWarmBytes) return;
  // Whole pages only, from the first one past the warm front to the last one touched.
  uintptr_t const page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t const base = reinterpret_cast<uintptr_t>(fBytes);
  uintptr_t const from = (base + kWarmBytes + page - 1) & ~(page - 1);
  uintptr_t const to = (base + fTouched + page - 1) & ~(page - 1);
  fTouched = kWarmBytes;
  if (to > from) (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

void TrackOutputStore::addReader(Reader* reader) {
  if (std::find(fReaders.begin(), fReaders.end(), reader) != fReaders.end()) return;
  allocate();
  fReaders.push_back(reader);
}

void TrackOutputStore::removeReader(Reader* reader) {
  auto it = std::find(fReaders.begin(), fReaders.end(), reader);
  if (it == fReaders.end()) return;
  fReaders.erase(it);
  if (fReaders.empty()) {
    fFront = fEnd;
    fWriteAt = 0;
    releaseIdlePages();
  }
}

bool TrackOutputStore::fits(size_t at, unsigned framedSize) const {
  if (at + framedSize > fBytesSize) return false;
  if (fFront == fEnd) return true;
  size_t frontAt = this->at(fFront).offset;
  bool wrapped = fWriteAt <= frontAt;
  if (wrapped) return at >= fWriteAt && at + framedSize <= frontAt;
  return at >= fWriteAt || at + framedSize <= frontAt;
}

void TrackOutputStore::evictFront(bool unread) {
  ++fFront;
  if (unread) ++fNumEvictedUnread;
  if (fFront == fEnd) {
    fWriteAt = 0;
    releaseIdlePages();  // a comparison, unless a backlog went past the warm front
  }
}

void TrackOutputStore::evictForRoom(unsigned framedSize, int64_t now) {
  while (fFront < fEnd) {
    Packet const& oldest = at(fFront);
    bool tooOld = now - oldest.storedAt > fWindow.micros;
    bool tooMany = fEnd - fFront >= fIndexSize;
    bool tooMuch = fEndBytes - oldest.bytePos + (framedSize - kHeaderRoom) > fWindow.bytes;
    bool noRoom = !fits(fWriteAt, framedSize) && !fits(0, framedSize);
    if (!tooOld && !tooMany && !tooMuch && !noRoom) break;
    evictFront(true);
  }
}

void TrackOutputStore::evictUnneeded() {
  uint64_t needed = fEnd;
  for (Reader* r : fReaders) needed = std::min(needed, r->oldestNeeded(*this));
  // The open unit stays while anyone waits for a key point in it.
  while (fFront < needed) evictFront(false);
}

void TrackOutputStore::append(Kind kind, unsigned char const* data, unsigned size, bool startsUnit, bool keyPoint) {
  if (!fBytes || size > kMaxPacketSize) return;
  if (!fInBurst) {
    // What the readers wrote since the last burst goes first: a store they
    // emptied starts again at the front of its buffer.
    fInBurst = true;
    evictUnneeded();
  }
  unsigned const framedSize = kHeaderRoom + size;
  int64_t const now = monotonicMicros();
  evictForRoom(framedSize, now);
  size_t at = fits(fWriteAt, framedSize) ? fWriteAt : 0;
  unsigned char* p = fBytes + at;
  p[0] = '$';
  p[1] = 0;  // the channel: each connection writes its own
  p[2] = static_cast<unsigned char>(size >> 8);
  p[3] = static_cast<unsigned char>(size);
  std::memcpy(p + kHeaderRoom, data, size);
  Packet& entry = fIndex[fEnd % fIndexSize];
  entry.offset = static_cast<uint32_t>(at);
  entry.size = static_cast<uint16_t>(size);
  entry.kind = kind;
  entry.keyPoint = keyPoint;
  entry.order = nextOrder();
  entry.bytePos = fEndBytes;
  entry.storedAt = now;
  if (startsUnit) fOpenUnit = fEnd;
  ++fEnd;
  fEndBytes += size;
  fWriteAt = at + framedSize;
  fTouched = std::max(fTouched, fWriteAt);
}

void TrackOutputStore::markOpenUnitKeyPoint() {
  if (fOpenUnit >= fFront && fOpenUnit < fEnd) fIndex[fOpenUnit % fIndexSize].keyPoint = true;
}

void TrackOutputStore::commit() {
  if (fNotifying) return;
  fNotifying = true;
  // Indexed loop: a reader may leave from inside the call.
  for (size_t i = 0; i < fReaders.size(); ++i) fReaders[i]->storeHasData(*this);
  fNotifying = false;
  fInBurst = false;
  evictUnneeded();
}
