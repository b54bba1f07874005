// Text form of the numbers in the output files: C's "%f" (six decimals).
#pragma once

#include <cstddef>

namespace zelmor {

// Longest text formatFixed6 can produce for any finite double, plus room.
constexpr size_t kFixed6BufferSize = 400;

// Writes `value` as printf("%f") would, without a terminating NUL, into `out`
// (at least kFixed6BufferSize chars). Returns the number of chars written.
size_t formatFixed6(double value, char* out);

// The same through the C library's printf, the reference formatFixed6 is
// tested against.
size_t formatFixed6Reference(double value, char* out);

}  // namespace zelmor
