#ifndef OSTRA_RTP_INTERFACE_HH
#define OSTRA_RTP_INTERFACE_HH

#include <vector>

#include "Groupsock.hh"

// The writing side of an RTSP connection that carries interleaved RTP/RTCP.
// Implemented by the RTSP server's client connection.
class InterleavedChannelWriter {
public:
  // Queues "$", 'channelId', the 16-bit length and 'data' as one unit: either
  // the whole frame goes out (possibly later, from the event loop) or none of
  // it does. Never blocks. Returns false when the frame was dropped because
  // the peer is not keeping up or the connection is gone.
  virtual Boolean writeInterleavedFrame(unsigned char channelId, unsigned char const* data, unsigned size) = 0;

protected:
  virtual ~InterleavedChannelWriter() = default;
};

// Where an RTP or RTCP stream's packets go: the UDP destinations of a
// Groupsock plus any number of interleaved TCP channels.
class RTPInterface {
public:
  explicit RTPInterface(Groupsock* gs) : fGS(gs) {}

  Groupsock* gs() const { return fGS; }

  void addStreamSocket(InterleavedChannelWriter* writer, unsigned char channelId);
  // Removes one channel of 'writer' (255 is a channel like any other).
  void removeStreamSocket(InterleavedChannelWriter* writer, unsigned char channelId);
  unsigned numStreamSockets() const { return static_cast<unsigned>(fStreams.size()); }

  // Sends one packet to every UDP destination and every interleaved channel.
  // Returns false if any destination failed to take it.
  Boolean sendPacket(unsigned char const* packet, unsigned size);

private:
  struct Stream {
    InterleavedChannelWriter* writer;
    unsigned char channelId;
  };
  Groupsock* fGS;
  std::vector<Stream> fStreams;
};

#endif
