#ifndef OSTRA_OUT_PACKET_BUFFER_HH
#define OSTRA_OUT_PACKET_BUFFER_HH

// Sizing of the buffers in which RTP sinks assemble outgoing frames.
class OutPacketBuffer {
public:
  // Largest frame an RTP sink (or the H.264 fragmenter) can take, in bytes.
  // Read when a sink is created; default 60000. The daemon raises it before
  // any sink exists.
  static unsigned maxSize;
};

#endif
