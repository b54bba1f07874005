// Uniform, integer and Gaussian draws from raw 64-bit outputs.
#include "common/rng.h"

#include <cmath>
#include <numbers>

namespace zelmor::tools {

double Rng::uniform() { return static_cast<double>(bits() >> 11) * 0x1.0p-53; }

uint64_t Rng::below(uint64_t n) {
  // Draws below 2^64 mod n are rejected, so every remainder is equally likely.
  const uint64_t reject = (0 - n) % n;
  for (;;) {
    const uint64_t x = bits();
    if (x >= reject) return x % n;
  }
}

double Rng::gaussian() {
  const double u1 = 1.0 - uniform();  // in (0, 1], so the logarithm is finite
  const double u2 = uniform();
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

uint64_t freshSeed() {
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}

}  // namespace zelmor::tools
