#include "Base64StreamDecoder.hh"

namespace {

constexpr signed char kSkip = -2;
constexpr signed char kPad = -3;
constexpr signed char kBad = -1;

// The six-bit value of each byte, or kSkip, kPad, kBad.
struct Alphabet {
  signed char value[256];
  constexpr Alphabet() : value() {
    for (int i = 0; i < 256; ++i) value[i] = kBad;
    for (int i = 0; i < 26; ++i) {
      value['A' + i] = static_cast<signed char>(i);
      value['a' + i] = static_cast<signed char>(26 + i);
    }
    for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<signed char>(52 + i);
    value['+'] = 62;
    value['/'] = 63;
    value['='] = kPad;
    value[' '] = value['\t'] = value['\r'] = value['\n'] = kSkip;
  }
};

constexpr Alphabet kAlphabet;

}  // namespace

size_t Base64StreamDecoder::decode(unsigned char const* in, size_t inSize, unsigned char* out, size_t outCapacity,
                                   size_t& consumed) {
  size_t written = 0;
  size_t i = 0;
  for (; i < inSize && !fFailed; ++i) {
    signed char v = kAlphabet.value[in[i]];
    if (v == kSkip) continue;
    if (v == kPad) {
      // "xx==" and "xxx=" end a group; '=' anywhere else is an error.
      if (fAwaitPad) {
        fAwaitPad = false;
        fCount = 0;
      } else if (fCount == 2) {
        fAwaitPad = true;
      } else if (fCount == 3) {
        fCount = 0;
      } else {
        fFailed = true;
      }
      continue;
    }
    if (v == kBad || fAwaitPad) {
      fFailed = true;
      continue;
    }
    // The first character of a group completes no byte; each later one does.
    if (fCount > 0 && written == outCapacity) break;
    unsigned value = static_cast<unsigned>(v);
    if (fCount == 1) {
      out[written++] = static_cast<unsigned char>((fBits << 2) | (value >> 4));
    } else if (fCount == 2) {
      out[written++] = static_cast<unsigned char>(((fBits & 0x0F) << 4) | (value >> 2));
    } else if (fCount == 3) {
      out[written++] = static_cast<unsigned char>(((fBits & 0x03) << 6) | value);
    }
    fBits = value;
    fCount = (fCount + 1) & 3;
  }
  // The byte that failed counts as taken: nothing after it is read.
  consumed = i;
  return written;
}
