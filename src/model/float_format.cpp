#include "model/float_format.h"

#include <cstdio>

namespace zelmor {

size_t formatFixed6(double value, char* out) {
  const int n = std::snprintf(out, kFixed6BufferSize, "%f", value);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

}  // namespace zelmor
