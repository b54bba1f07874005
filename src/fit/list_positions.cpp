#include "fit/list_positions.h"

namespace zelmor {

int64_t listPositions(const int16_t* needed, int64_t count, const int16_t* items, int64_t m, uint8_t* flags,
                      int32_t* positions) {
  for (int64_t i = 0; i < count; ++i) flags[needed[i]] = 1;
  int64_t found = 0;
  for (int64_t q = 0; q < m; ++q) {
    if (flags[items[q]] != 0) positions[found++] = static_cast<int32_t>(q);
  }
  for (int64_t i = 0; i < count; ++i) flags[needed[i]] = 0;
  return found;
}

}  // namespace zelmor
