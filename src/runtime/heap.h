// Heap blocks of the run, sized in 64-bit arithmetic. A request whose byte count
// does not fit is a failed request (nullptr), never a wrapped size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace zelmor {

// Returns a block of `count` elements, or nullptr when the count is negative,
// its byte size overflows, or the heap refuses. A request for zero elements
// succeeds (it returns a valid, unusable block), so an empty array is obtained.
template <typename T>
T* allocArray(int64_t count) {
  if (count < 0) return nullptr;
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T);
  if (static_cast<uint64_t>(count) > limit) return nullptr;
  const size_t bytes = static_cast<size_t>(count) * sizeof(T);
  return static_cast<T*>(std::malloc(bytes == 0 ? 1 : bytes));
}

template <typename T>
void releaseArray(T*& block) {
  std::free(block);
  block = nullptr;
}

// Element counts of the packed shapes.
inline int64_t packedSymLength(int64_t d) { return (d + 1) * d / 2; }
inline int64_t packedStrictLowerLength(int64_t k) { return k > 1 ? k * (k - 1) / 2 : 0; }

}  // namespace zelmor
