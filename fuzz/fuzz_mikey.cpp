// The MIKEY codec and the KeyMgmt header on arbitrary bytes: the input as a
// MIKEY message and as a KeyMgmt header value.
//
// Checked besides memory safety: a message that parses, built again from
// what was read, reads back to the same key, SSRC, rollover counter and
// bundle id; a header that yields a message yields one no longer than its text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "MikeyMessage.hh"

namespace {
void check(bool condition) {
  if (!condition) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  MikeySRTPKey key;
  if (parseMikeyMessage(data, size, key)) {
    unsigned char rand[16] = {};
    std::string again = buildMikeyMessage(key, rand, 0);
    MikeySRTPKey back;
    check(parseMikeyMessage(reinterpret_cast<unsigned char const*>(again.data()), again.size(), back));
    check(back.csbId == key.csbId && back.ssrc == key.ssrc && back.roc == key.roc &&
          std::memcmp(back.master, key.master, sizeof key.master) == 0);
  }
  std::string mikey;
  std::string_view text(reinterpret_cast<char const*>(data), size);
  if (parseKeyMgmtHeader(text, mikey)) {
    check(mikey.size() <= size);
    parseMikeyMessage(reinterpret_cast<unsigned char const*>(mikey.data()), mikey.size(), key);
  }
  return 0;
}
