// The "%f" text of the output files: the fast formatter against printf.
#include "io/float_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace zelmor {
namespace {

std::string fast(double v) {
  char buffer[kFixed6BufferSize];
  return std::string(buffer, formatFixed6(v, buffer));
}

std::string reference(double v) {
  char buffer[kFixed6BufferSize];
  return std::string(buffer, formatFixed6Reference(v, buffer));
}

TEST(FormatFixed6, MatchesPrintfOnEdgeValues) {
  const float floatMax = std::numeric_limits<float>::max();
  for (double v : {0.0,
                   -0.0,
                   1.0,
                   -1.0,
                   0.5,
                   0.0000005,
                   0.0000015,
                   0.0000025,
                   -0.0000005,
                   1e-7,
                   -1e-7,
                   1e-300,
                   -1e-300,
                   0.0078125,
                   0.0234375,
                   2.5e-6,
                   123456.7890625,
                   1e15,
                   1e22,
                   1e30,
                   -1e30,
                   static_cast<double>(floatMax),
                   -static_cast<double>(floatMax),
                   255.0 * floatMax,
                   255.0 * static_cast<double>(std::sqrt(0.5f)),
                   std::numeric_limits<double>::denorm_min(),
                   static_cast<double>(std::numeric_limits<float>::denorm_min())}) {
    EXPECT_EQ(fast(v), reference(v)) << v;
  }
  EXPECT_EQ(fast(-0.0), "-0.000000");
}

TEST(FormatFixed6, MatchesPrintfOnRandomFloatsAndProducts) {
  std::mt19937 random(21);
  std::uniform_int_distribution<uint32_t> bits;
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (int n = 0; n < 200000; ++n) {
    // Every float bit pattern is a value the files hold ...
    uint32_t pattern = bits(random);
    float f;
    std::memcpy(&f, &pattern, sizeof f);
    if (!std::isfinite(f)) continue;
    ASSERT_EQ(fast(f), reference(f)) << f;
    // ... and so are values of everyday size, and 255 times a float.
    const float everyday = static_cast<float>(unit(random) * std::pow(10.0, n % 9 - 3));
    ASSERT_EQ(fast(everyday), reference(everyday)) << everyday;
    ASSERT_EQ(fast(255.0 * static_cast<double>(everyday)), reference(255.0 * static_cast<double>(everyday)));
    // Binary fractions: many lie exactly halfway between two six-place
    // decimals (odd multiples of 2^-7, say), where the rounding goes to even.
    const double binary = std::ldexp(static_cast<double>(static_cast<int32_t>(bits(random) >> 8)), -(n % 30));
    ASSERT_EQ(fast(binary), reference(binary)) << binary;
    ASSERT_EQ(fast(-binary), reference(-binary)) << -binary;
  }
  // Right at the edge of the scaled shortcut.
  for (double v : {8589934591.0, 8589934592.0, 8589935616.0, 8589933568.0, 4294967295.5, 0.9999995, 0.0000005}) {
    EXPECT_EQ(fast(v), reference(v)) << v;
  }
}

}  // namespace
}  // namespace zelmor
