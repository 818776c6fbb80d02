#include <random>

#include "RTPConstants.hh"

namespace ostra_rtp {

namespace {
std::mt19937& generator() {
  // Seeded once per process from the system's entropy source; SSRCs, first
  // sequence numbers and timestamp bases must differ between sinks and runs.
  static std::mt19937 gen = [] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937(seq);
  }();
  return gen;
}
}  // namespace

uint32_t random32() { return static_cast<uint32_t>(generator()()); }

double randomUnit() { return std::uniform_real_distribution<double>(0.0, 1.0)(generator()); }

}  // namespace ostra_rtp
