#ifndef OSTRA_RTP_INTERFACE_HH
#define OSTRA_RTP_INTERFACE_HH

#include <sys/uio.h>

#include <memory>
#include <vector>

#include "Groupsock.hh"
#include "TrackOutputStore.hh"

// The writing side of an RTSP connection that carries interleaved RTP/RTCP.
// Implemented by the RTSP server's client connection.
class InterleavedChannelWriter {
public:
  // Queues "$", 'channelId', the 16-bit length and 'data' as one unit: either
  // the whole frame goes out (possibly later, from the event loop) or none of
  // it does. Never blocks. Returns false when the frame was dropped because
  // the peer is not keeping up or the connection is gone.
  virtual Boolean writeInterleavedFrame(unsigned char channelId, unsigned char const* data, unsigned size) = 0;
  // From now on the packets of 'kind' in 'store' go out on 'channelId',
  // written straight from the store; detachStore undoes it.
  virtual void attachStore(TrackOutputStore& store, TrackOutputStore::Kind kind, unsigned char channelId) = 0;
  virtual void detachStore(TrackOutputStore& store, TrackOutputStore::Kind kind, unsigned char channelId) = 0;

protected:
  virtual ~InterleavedChannelWriter() = default;
};

// A second fan-out that sees every packet of this one (the SRTP step: it
// protects each packet once and sends it on to its own destinations).
class RTPInterfaceTap {
public:
  virtual void stage(unsigned char const* packet, unsigned size, bool startsUnit, bool keyPoint) = 0;
  virtual void markUnitKeyPoint() = 0;
  virtual Boolean flush() = 0;
  virtual Boolean sendLast(unsigned char const* packet, unsigned size) = 0;
  virtual bool hasReceivers() const = 0;

protected:
  virtual ~RTPInterfaceTap() = default;
};

// Where an RTP or RTCP stream's packets go: the UDP destinations of a
// Groupsock plus any number of interleaved TCP channels. Interleaved clients
// read one output store, kept once however many they are.
//
// Packets due at the same moment go out as one burst: stagePacket() collects
// them (the caller keeps their bytes unchanged until flushBurst()), and
// flushBurst() sends all of them to every UDP destination with as few
// system calls as the kernel allows and lets every interleaved client write
// them with one call.
class RTPInterface {
public:
  // RTCP shares the output store of its RTP stream ('storeOwner'), so each
  // connection gets a stream's RTP and RTCP in the order they were sent.
  explicit RTPInterface(Groupsock* gs, TrackOutputStore::Kind kind = TrackOutputStore::Kind::RTP,
                        RTPInterface* storeOwner = nullptr);
  ~RTPInterface();

  Groupsock* gs() const { return fGS; }

  void addStreamSocket(InterleavedChannelWriter* writer, unsigned char channelId);
  // Removes one channel of 'writer' (255 is a channel like any other).
  void removeStreamSocket(InterleavedChannelWriter* writer, unsigned char channelId);
  unsigned numStreamSockets() const { return static_cast<unsigned>(fStreams.size()); }

  // Sends one packet to every UDP destination and every interleaved channel
  // (a burst of one; a decoder may start at it). Returns false if any UDP
  // destination failed to take it.
  Boolean sendPacket(unsigned char const* packet, unsigned size);

  // The same for the stream's last packet (its BYE): interleaved clients get
  // it in their own queues, so it outlives the output store.
  Boolean sendLastPacket(unsigned char const* packet, unsigned size);

  // Most packets in one burst; stagePacket flushes a full burst itself.
  static constexpr unsigned kMaxBurst = 128;
  // Adds a packet to the burst. 'startsUnit': it opens an access unit or
  // frame; 'keyPoint': a decoder can start at it.
  void stagePacket(unsigned char const* packet, unsigned size, bool startsUnit, bool keyPoint);
  // The unit opened last carries a key picture after all.
  void markUnitKeyPoint();
  Boolean flushBurst();
  unsigned numStagedPackets() const { return fNumStaged; }

  // The store interleaved clients read (null before the first one).
  TrackOutputStore* outputStore() const;

  // Whether anyone gets the packets: a UDP destination, an interleaved
  // channel, or a receiver of the tap.
  bool hasReceivers() const;

  // From now on every packet goes to 'tap' too (null: no more).
  void setTap(RTPInterfaceTap* tap) { fTap = tap; }

private:
  RTPInterface(RTPInterface const&) = delete;
  RTPInterface& operator=(RTPInterface const&) = delete;

  TrackOutputStore& ensureStore();
  // Each interleaved client's own copy, through its connection's queue.
  Boolean writeToEachChannel(unsigned char const* packet, unsigned size);

  struct Stream {
    InterleavedChannelWriter* writer;
    unsigned char channelId;
  };
  Groupsock* fGS;
  TrackOutputStore::Kind fKind;
  RTPInterface* fStoreOwner;
  std::unique_ptr<TrackOutputStore> fStore;  // with no store owner: made for the first interleaved client
  std::vector<Stream> fStreams;
  struct iovec fStaged[kMaxBurst];
  unsigned fNumStaged = 0;
  Boolean fBurstOK = True;
  RTPInterfaceTap* fTap = nullptr;
};

#endif
