#ifndef OSTRA_INTERLEAVED_CHANNELS_HH
#define OSTRA_INTERLEAVED_CHANNELS_HH

#include <bitset>

// Which interleaved channels (RFC 2326 section 10.12: 0-255, all of them
// ordinary channel numbers) a track set up on an RTSP connection may use.
// Pure rules: no sockets, no sessions.

// Channels in use on one connection.
using InterleavedChannelSet = std::bitset<256>;

struct InterleavedChannelPair {
  unsigned char rtp = 0, rtcp = 1;
};

// The channels for a track that a session sets up interleaved on a
// connection whose other sessions use 'taken'. A requested pair is granted
// when neither of its channels is taken. Without one (null), the first pair
// 2k, 2k+1 from 2 * 'ownTracks' upwards (then from 0) of which neither
// channel is taken: a session alone on its connection gets 0-1 for its first
// track and 2-3 for its second, and a second session on the connection gets
// the lowest free pair. Returns false, and leaves 'chosen' alone, when the
// requested channels are taken or no pair is free.
bool chooseInterleavedChannels(InterleavedChannelSet const& taken, InterleavedChannelPair const* requested,
                               unsigned ownTracks, InterleavedChannelPair& chosen);

#endif
