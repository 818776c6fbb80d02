#include "RTPInterface.hh"

void RTPInterface::addStreamSocket(InterleavedChannelWriter* writer, unsigned char channelId) {
  if (writer == nullptr) return;
  for (Stream const& s : fStreams) {
    if (s.writer == writer && s.channelId == channelId) return;
  }
  fStreams.push_back(Stream{writer, channelId});
}

void RTPInterface::removeStreamSocket(InterleavedChannelWriter* writer, unsigned char channelId) {
  for (size_t i = 0; i < fStreams.size();) {
    if (fStreams[i].writer == writer && fStreams[i].channelId == channelId) {
      fStreams.erase(fStreams.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

Boolean RTPInterface::sendPacket(unsigned char const* packet, unsigned size) {
  Boolean ok = True;
  if (fGS != nullptr && fGS->numDestinations() > 0) {
    if (!fGS->output(fGS->env(), packet, size)) ok = False;
  }
  // Indexed loop: a writer may drop its own channel from inside the call when
  // its connection has failed.
  for (size_t i = 0; i < fStreams.size(); ++i) {
    Stream s = fStreams[i];
    if (!s.writer->writeInterleavedFrame(s.channelId, packet, size)) ok = False;
  }
  return ok;
}
