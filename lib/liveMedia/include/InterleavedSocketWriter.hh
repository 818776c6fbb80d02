#ifndef OSTRA_INTERLEAVED_SOCKET_WRITER_HH
#define OSTRA_INTERLEAVED_SOCKET_WRITER_HH

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ByteRing.hh"
#include "ByteTransport.hh"
#include "RTPInterface.hh"
#include "TrackOutputStore.hh"

// The output side of an RTSP connection: interleaved RTP/RTCP frames ("$",
// channel, 16-bit length, data; RFC 2326 section 10.12) and the connection's
// other bytes (RTSP answers), written to a non-blocking TCP socket without
// ever blocking.
//
// The packets of the tracks the connection receives are not copied: the
// writer keeps a position in each track's output store and writes header and
// packet from there, all that is due with one call. Everything else (answers,
// and frames handed over one by one) waits in the writer's own queue when
// the socket does not take it at once. Both go out in the order they were
// produced, so an answer never cuts into a frame and keeps its place among
// the packets around it. Answers are never dropped: a peer that lets more
// than the data backlog of them pile up is given up on (the writer fails).
// A reader that falls behind a store's window, or further behind than the
// frame backlog, is moved forward to the next key point: it loses whole
// units, its decoder sees no broken picture, and the skip is counted (and
// reported in one line on the environment when the writer has a peer name).
//
// Writable events: the socket usually has a read handler of its owner (the
// RTSP connection), so the writer tells its listener when it needs
// SOCKET_WRITABLE; the owner arms its socket accordingly and calls flush()
// when the socket is writable. The listener also hears when the writer fails.
// Without a listener the writer arms the socket itself (for a socket nobody
// else handles).
class InterleavedSocketWriter : public InterleavedChannelWriter, private TrackOutputStore::Reader {
public:
  class Listener {
  public:
    virtual void writableInterestChanged(bool wantWritable) = 0;
    // The peer is gone or fell too far behind; called once.
    virtual void writerFailed() = 0;

  protected:
    ~Listener() = default;
  };

  struct Limits {
    // Bytes a reader may be behind in a store (or frames in the own queue)
    // before it is moved forward (at least one largest frame, 65539 bytes).
    size_t frameBacklog = 262144;
    // Queued bytes of the own queue past which the writer fails (0: twice the
    // frame backlog).
    size_t dataBacklog = 0;
    // The own queue's first allocation, made when it is first needed (0: the
    // frame backlog). It grows, doubling, only for a peer that falls behind.
    size_t firstAllocation = 0;
  };

  // 'socketNum' is not owned.
  InterleavedSocketWriter(UsageEnvironment& env, int socketNum, Limits const& limits, Listener* listener = nullptr);
  // Writes through 'transport' (not owned; a listener is required).
  InterleavedSocketWriter(UsageEnvironment& env, ByteTransport& transport, Limits const& limits, Listener* listener);
  // A writer whose frame backlog is 'queueCapacity' bytes.
  explicit InterleavedSocketWriter(UsageEnvironment& env, int socketNum, unsigned queueCapacity = 262144);
  ~InterleavedSocketWriter() override;

  Boolean writeInterleavedFrame(unsigned char channelId, unsigned char const* data, unsigned size) override;
  void attachStore(TrackOutputStore& store, TrackOutputStore::Kind kind, unsigned char channelId) override;
  void detachStore(TrackOutputStore& store, TrackOutputStore::Kind kind, unsigned char channelId) override;
  // Queues other bytes for the connection; never dropped. Returns false when
  // the writer has failed (now or before).
  Boolean writeData(unsigned char const* data, size_t size);

  // Sends as much of what is due as the socket takes now.
  void flush();

  // Names the peer in the line that reports a skip ("address:port").
  void setPeerName(char const* name);

  int socketNum() const { return fSocketNum; }
  // Bytes waiting: the own queue, a cut packet, and what the stores hold
  // that this writer has not written yet.
  size_t queuedBytes() const;
  // Frames this writer did not deliver: dropped from the own queue or skipped
  // in a store.
  unsigned numDroppedFrames() const { return fNumDroppedFrames; }
  unsigned numFramesWritten() const { return fNumFramesWritten; }
  // Times a store reader was moved forward to a key point.
  unsigned numSkips() const { return fNumSkips; }
  // True once a write failed for another reason than a full socket buffer
  // (peer gone), or the data backlog was exceeded; everything is dropped from
  // then on.
  Boolean failed() const { return fFailed; }

private:
  InterleavedSocketWriter(InterleavedSocketWriter const&) = delete;
  InterleavedSocketWriter& operator=(InterleavedSocketWriter const&) = delete;

  // One write carries at most this many pieces (IOV_MAX) and about this many bytes.
  static constexpr size_t kMaxPieces = 1024;
  static constexpr size_t kMaxWriteBytes = 256 * 1024;

  // A position in one store with the channels its RTP and RTCP go out on.
  struct Subscription {
    TrackOutputStore* store;
    int channel[2];  // by Kind; -1: not sent to this writer
    uint64_t pos;
    uint64_t planned;      // while a write is being built
    bool waiting = false;  // for a key point, after falling behind
    uint64_t skipFrom = 0;
  };
  // A piece of the own queue: answer bytes or one frame.
  struct OwnItem {
    uint64_t order;
    size_t size;
    bool frame;
  };
  // What one write carries, in order.
  struct Planned {
    enum class What : uint8_t { Tail, Own, Packet } what;
    Subscription* sub;
    uint64_t pos;
    size_t size;
  };

  void storeHasData(TrackOutputStore& store) override;
  void storeClosing(TrackOutputStore& store) override;
  uint64_t oldestNeeded(TrackOutputStore const& store) const override;

  bool nothingPending() const;
  void settle(Subscription& s);
  void resumeAtKeyPoint(Subscription& s);
  void noteSkip(unsigned skipped);
  size_t plan(struct iovec* iov, Planned* items, size_t& numItems, bool& complete);
  size_t planPacket(Subscription& s, struct iovec* iov, size_t n, Planned* items, size_t& numItems);
  void consume(size_t written, Planned const* items, size_t numItems);
  void keepCutPacket(Planned const& item, size_t written);
  void popOwnItem(size_t size);

  void streamingChanged();
  // Writes a then b (either may be empty) straight through, queueing the rest.
  bool writeThrough(unsigned char const* a, size_t aSize, unsigned char const* b, size_t bSize, bool frame);
  void enqueue(unsigned char const* data, size_t size);
  void pushOwnItem(size_t size, bool frame);
  void fail();
  void setWantWritable(bool want);
  static void writableHandler(void* clientData, int mask);

  UsageEnvironment& fEnv;
  SocketTransport fOwnTransport;  // when made for a plain socket
  ByteTransport* fTransport;
  int fSocketNum;
  Listener* fListener;
  size_t fFrameBacklog;
  size_t fDataBacklog;
  size_t fFirstAllocation;
  ByteRing fQueue;  // allocated when first needed; grows to the largest backlog, then stays
  std::vector<OwnItem> fItems;
  size_t fItemHead = 0;
  bool fOwnInProgress = false;  // the first own item is partly written
  std::vector<Subscription> fSubs;
  // The rest of a packet whose start the socket took: it goes out next.
  unsigned char fTail[TrackOutputStore::kHeaderRoom + TrackOutputStore::kMaxPacketSize];
  size_t fTailSize = 0, fTailSent = 0;
  char fPeerName[64] = "";
  bool fWantWritable = false;
  bool fFlushing = false;
  Boolean fFailed = False;
  unsigned fNumDroppedFrames = 0;
  unsigned fNumFramesWritten = 0;
  unsigned fNumSkips = 0;
  unsigned fSkippedUnreported = 0;
  int64_t fLastSkipReport = 0;
  static constexpr int64_t kSkipReportInterval = 5000000;
};

#endif
