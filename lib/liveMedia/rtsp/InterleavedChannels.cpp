#include "InterleavedChannels.hh"

bool chooseInterleavedChannels(InterleavedChannelSet const& taken, InterleavedChannelPair const* requested,
                               unsigned ownTracks, InterleavedChannelPair& chosen) {
  if (requested != nullptr) {
    if (taken.test(requested->rtp) || taken.test(requested->rtcp)) return false;
    chosen = *requested;
    return true;
  }
  unsigned const pairs = 128;
  unsigned const first = ownTracks % pairs;
  for (unsigned i = 0; i < pairs; ++i) {
    unsigned rtp = 2 * ((first + i) % pairs);
    if (taken.test(rtp) || taken.test(rtp + 1)) continue;
    chosen.rtp = static_cast<unsigned char>(rtp);
    chosen.rtcp = static_cast<unsigned char>(rtp + 1);
    return true;
  }
  return false;
}
