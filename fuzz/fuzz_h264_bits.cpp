// Bit-level H.264 readers on arbitrary bytes: no read outside the input, no
// undefined behaviour, consistent emulation-prevention removal.
#include <cstdint>
#include <cstring>
#include <vector>

#include "H264Bits.hh"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  // The same bytes as an SPS (header forced) and as a slice.
  std::vector<uint8_t> nal(data, data + size);
  if (!nal.empty()) nal[0] = uint8_t((nal[0] & 0xE0) | 7);
  h264::SpsInfo info;
  h264::parseSps(nal.data(), nal.size(), info);
  uint32_t firstMb;
  h264::parseFirstMbInSlice(data, size, firstMb);

  // Removal: the result never holds 00 00 03 from an escape, and reading the
  // escaped bytes with the skipping reader gives the same bits.
  std::vector<uint8_t> rbsp(size);
  size_t const n = h264::removeEmulationPrevention(data, size, rbsp.data(), rbsp.size());
  if (n > size) __builtin_trap();
  h264::BitReader direct(rbsp.data(), n);
  h264::BitReader skipping(data, size, true);
  for (size_t i = 0; i < n; ++i) {
    if (direct.readBits(8) != skipping.readBits(8)) __builtin_trap();
  }

  // Mixed reads until the end.
  h264::BitReader br(data, size, size > 0 && (data[0] & 1));
  for (int i = 0; i < 64 && !br.overrun(); ++i) {
    switch (i % 4) {
      case 0:
        br.readUE();
        break;
      case 1:
        br.readSE();
        break;
      case 2:
        br.readBits(unsigned(i) % 33);
        break;
      default:
        br.skipBits(unsigned(i) * 3);
        break;
    }
  }
  return 0;
}
