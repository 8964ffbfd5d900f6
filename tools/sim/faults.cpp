#include "sim/faults.h"

namespace pelvane::sim {

std::uint8_t LineNoise::Pass(std::uint8_t byte) {
  if (rate_ <= 0.0 || !active_) return byte;
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  if (chance(rng_) >= rate_) return byte;
  // A non-zero mask, so that a garbled byte really differs.
  std::uniform_int_distribution<int> mask(1, 255);
  ++garbled_;
  return static_cast<std::uint8_t>(byte ^ mask(rng_));
}

}  // namespace pelvane::sim
