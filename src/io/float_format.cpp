#include "io/float_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace zelmor {

namespace {

// Below 2^33, a float times 10^6 stays below 2^53: an exact double.
constexpr double kScaledExactLimit = 8589934592.0;
constexpr uint64_t kMicro = 1000000;
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

void writePair(uint64_t pair, char* out) {
  out[0] = kDigitPairs[2 * pair];
  out[1] = kDigitPairs[2 * pair + 1];
}

}  // namespace

size_t formatFixed6(double value, char* out) {
  if (std::fabs(value) < kScaledExactLimit && static_cast<double>(static_cast<float>(value)) == value) {
    // The values of the files are floats: times 10^6 they are exact, and
    // rounding to the nearest integer, ties to even, is printf's rounding of
    // the exact decimal expansion to six places.
    const uint64_t micros = static_cast<uint64_t>(std::nearbyint(std::fabs(value) * 1e6));
    char* at = out;
    if (std::signbit(value)) *at++ = '-';
    at = std::to_chars(at, out + kFixed6BufferSize, micros / kMicro).ptr;
    *at++ = '.';
    const uint64_t fraction = micros % kMicro;
    writePair(fraction / 10000, at);
    writePair(fraction / 100 % 100, at + 2);
    writePair(fraction % 100, at + 4);
    return static_cast<size_t>(at + 6 - out);
  }
  // to_chars with a precision gives the exact decimal expansion rounded as
  // printf rounds it, many times faster; the tests hold the two together.
  const auto result = std::to_chars(out, out + kFixed6BufferSize, value, std::chars_format::fixed, 6);
  if (result.ec == std::errc()) return static_cast<size_t>(result.ptr - out);
  const int n = std::snprintf(out, kFixed6BufferSize, "%f", value);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

size_t formatFixed6Reference(double value, char* out) {
  const int n = std::snprintf(out, kFixed6BufferSize, "%f", value);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

}  // namespace zelmor
