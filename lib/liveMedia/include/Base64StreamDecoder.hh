#ifndef OSTRA_BASE64_STREAM_DECODER_HH
#define OSTRA_BASE64_STREAM_DECODER_HH

#include <cstddef>

// Decodes a base64 stream (RFC 4648, the standard alphabet) that arrives in
// pieces split anywhere, also inside a four-character group: the body of an
// RTSP-over-HTTP tunnel's POST. Blanks and line ends between characters are
// skipped. '=' padding ends a group and a new group may follow (clients
// encode each request on its own). Each character yields at most one byte,
// as soon as its bits complete it, so output of any size can be filled to
// the last byte. Any other byte, or padding in the wrong place, is an error:
// the decoder stops there and stays failed. Pure: no allocation, no I/O.
class Base64StreamDecoder {
public:
  // Decodes 'in' into 'out' until the input is used up, 'outCapacity' bytes
  // are written, or an error. 'consumed' gets the input bytes taken (all of
  // them unless the output filled or the stream failed). Returns the bytes
  // written.
  size_t decode(unsigned char const* in, size_t inSize, unsigned char* out, size_t outCapacity, size_t& consumed);

  bool failed() const { return fFailed; }
  // Whether a group is open (characters taken that have not ended a group).
  bool midGroup() const { return fCount != 0; }
  void reset() { *this = Base64StreamDecoder(); }

private:
  unsigned fBits = 0;      // the six bits of the previous character
  unsigned fCount = 0;     // characters of the current group taken (0-3)
  bool fAwaitPad = false;  // after "xx=": the group's second '=' is due
  bool fFailed = false;
};

#endif
