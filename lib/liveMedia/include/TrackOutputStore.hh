#ifndef OSTRA_TRACK_OUTPUT_STORE_HH
#define OSTRA_TRACK_OUTPUT_STORE_HH

#include <cstddef>
#include <cstdint>
#include <vector>

// The recent RTP and RTCP packets of one track, kept once for every client
// that receives the track interleaved on its RTSP connection. Each packet is
// stored with four bytes of room in front of it for the interleave header
// ('$', channel, 16-bit length), so a connection writes header and packet
// straight from here with one iovec. Readers (the connections) keep only a
// position; nothing is copied per client.
//
// The store keeps a bounded window: packets older than the window's time or
// beyond its bytes (whichever is smaller) are evicted, and packets that every
// reader has passed are evicted at once, so a store whose readers keep up
// holds nothing between bursts. A reader left behind the window is moved
// forward to the next key point (the first packet of a unit that a decoder
// can start from: an access unit with an IDR picture and the parameter sets
// before it, an intra-coded MPEG-4 frame with its configuration, any audio
// packet).
//
// Positions count packets from 0 for the life of the store.
class TrackOutputStore {
public:
  enum class Kind : uint8_t { RTP = 0, RTCP = 1 };

  struct Window {
    int64_t micros = 8000000;        // packets older than this are evicted
    size_t bytes = 4 * 1024 * 1024;  // packet bytes kept at most
    unsigned packets = 8192;         // packets kept at most
  };

  // The largest packet the store takes (larger ones go to each client alone).
  static constexpr unsigned kMaxPacketSize = 2048;
  static constexpr unsigned kHeaderRoom = 4;
  // Bytes at the front of the buffer kept mapped when the store empties:
  // room for the bursts of a stream whose readers keep up (a key frame).
  static constexpr size_t kWarmBytes = 256 * 1024;

  // Who reads the store: told when a burst of packets has been stored and
  // when the store goes away.
  class Reader {
  public:
    virtual void storeHasData(TrackOutputStore& store) = 0;
    virtual void storeClosing(TrackOutputStore& store) = 0;
    // The oldest position this reader still needs (end() when none).
    virtual uint64_t oldestNeeded(TrackOutputStore const& store) const = 0;

  protected:
    ~Reader() = default;
  };

  struct Packet {
    uint32_t offset;  // of the header room in the byte buffer
    uint16_t size;    // packet bytes, without the header room
    Kind kind;
    bool keyPoint;
    uint64_t order;    // place in the process-wide output order
    uint64_t bytePos;  // packet bytes stored before this one
    int64_t storedAt;  // monotonic microseconds
  };

  explicit TrackOutputStore(Window const& window);
  TrackOutputStore() : TrackOutputStore(Window{}) {}
  ~TrackOutputStore();

  void addReader(Reader* reader);
  void removeReader(Reader* reader);
  bool hasReaders() const { return !fReaders.empty(); }

  // Stores a copy of a packet (size <= kMaxPacketSize). 'startsUnit': it
  // opens a unit (access unit, frame); 'keyPoint': a decoder can start at it.
  void append(Kind kind, unsigned char const* data, unsigned size, bool startsUnit, bool keyPoint);
  // The unit opened last turned out to be a key point (its IDR came after
  // the parameter sets that opened it).
  void markOpenUnitKeyPoint();
  // Ends a burst: the readers hear of the new packets, then what none of
  // them needs any more is evicted.
  void commit();

  Window const& window() const { return fWindow; }
  uint64_t front() const { return fFront; }
  uint64_t end() const { return fEnd; }
  // Start of the unit still being stored: it may yet become a key point.
  uint64_t openUnit() const { return fOpenUnit; }
  Packet const& at(uint64_t pos) const { return fIndex[pos % fIndexSize]; }
  // Header room followed by the packet's bytes.
  unsigned char* framed(Packet const& p) { return fBytes + p.offset; }
  // Packet bytes from 'pos' to the end.
  uint64_t backlogBytes(uint64_t pos) const { return fEndBytes - (pos < fEnd ? at(pos).bytePos : fEndBytes); }

  uint64_t numEvictedUnread() const { return fNumEvictedUnread; }

  // One ever-increasing order shared by every store and every connection's
  // own queue: what was produced first is written first.
  static uint64_t nextOrder() { return ++sOrder; }

private:
  TrackOutputStore(TrackOutputStore const&) = delete;
  TrackOutputStore& operator=(TrackOutputStore const&) = delete;

  void allocate();
  // Gives back to the system the pages of the byte buffer beyond the first
  // kWarmBytes that a backlog touched; called when the store has emptied.
  void releaseIdlePages();
  void evictFront(bool unread);
  void evictUnneeded();
  void evictForRoom(unsigned framedSize, int64_t now);
  bool fits(size_t at, unsigned framedSize) const;

  Window fWindow;
  // Index and bytes, mapped with the first reader and unmapped with the store:
  // its pages go back to the system when the stream ends. The pages a backlog
  // touched beyond what bursts of readers that keep up need go back as soon
  // as the store has emptied again (a drained backlog, the last reader gone).
  void* fMapping = nullptr;
  size_t fMappingSize = 0;
  Packet* fIndex = nullptr;
  unsigned char* fBytes = nullptr;
  size_t fBytesSize;
  unsigned fIndexSize;
  uint64_t fFront = 0, fEnd = 0, fOpenUnit = 0;
  uint64_t fEndBytes = 0;
  size_t fWriteAt = 0;  // where the next packet goes in fBytes
  size_t fTouched = 0;  // bytes of fBytes written since its pages were last given back
  uint64_t fNumEvictedUnread = 0;
  std::vector<Reader*> fReaders;
  bool fNotifying = false;
  bool fInBurst = false;  // packets appended since the last commit

  static uint64_t sOrder;
};

#endif
