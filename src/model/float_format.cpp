#include "model/float_format.h"

#include <charconv>
#include <cstdio>

namespace zelmor {

size_t formatFixed6(double value, char* out) {
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
