// Heap blocks of the run, sized in 64-bit arithmetic. A request whose byte count
// does not fit is a failed request (nullptr), never a wrapped size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <utility>

#include "runtime/error.h"

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

// An array that owns its storage: `count` elements of a trivially copyable
// type, left uninitialised (pages are touched only as the run fills them).
// A request that cannot be met throws an Error of kind Memory whose message
// names the array, as the program prints it.
template <typename T>
class Buffer {
 public:
  Buffer() = default;
  Buffer(int64_t count, const char* failureMessage) : data_(allocArray<T>(count)), size_(count) {
    if (data_ == nullptr) throw Error(ErrorKind::Memory, failureMessage, kExitFailure);
  }
  ~Buffer() { std::free(data_); }
  Buffer(Buffer&& other) noexcept : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  T* data() { return data_; }
  const T* data() const { return data_; }
  int64_t size() const { return size_; }
  bool empty() const { return data_ == nullptr; }
  T& operator[](int64_t i) { return data_[i]; }
  const T& operator[](int64_t i) const { return data_[i]; }
  // Gives the storage back at once.
  void reset() { *this = Buffer(); }

 private:
  T* data_ = nullptr;
  int64_t size_ = 0;
};

// Element counts of the packed shapes.
inline int64_t packedSymLength(int64_t d) { return (d + 1) * d / 2; }
inline int64_t packedStrictLowerLength(int64_t k) { return k > 1 ? k * (k - 1) / 2 : 0; }

}  // namespace zelmor
