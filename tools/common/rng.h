// Random numbers of the companion tools, built on the 64-bit Mersenne twister
// alone: its output sequence is fixed by the C++ standard, whereas the
// library's distributions differ between implementations, so a --seed gives
// the same files with every compiler.
#pragma once

#include <cstdint>
#include <random>

namespace zelmor::tools {

class Rng {
 public:
  explicit Rng(uint64_t seed) : engine_(seed) {}

  uint64_t bits() { return engine_(); }
  // Uniform in [0, 1), with 53 random bits.
  double uniform();
  // Uniform integer in [0, n), n > 0, without modulo bias.
  uint64_t below(uint64_t n);
  // Standard normal (Box-Muller, one value per call).
  double gaussian();

 private:
  std::mt19937_64 engine_;
};

// A seed for runs without --seed.
uint64_t freshSeed();

}  // namespace zelmor::tools
