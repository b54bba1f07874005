// Where a point's needed microclusters stand in its item list, in list order.
// The first pass leaves every list in one shape: the microclusters of zero
// first-pass responsibility in descending index order, then its `tail`, the
// others by ascending responsibility. So a microcluster outside the tail
// stands after every other one outside it with a higher index, and a short
// tail is all a later pass needs to know of the list.
#pragma once

#include <cstdint>

namespace zelmor {

// The longest tail KernelTable::tailListPositions takes.
constexpr int64_t kShortTail = 16;

// By a scan of the whole list `items` (m entries): writes the positions of the
// `count` microclusters of `needed` in ascending order and returns how many.
// `flags` is K bytes of zeros, left zero. Any list shape; the reference of
// KernelTable::tailListPositions.
int64_t listPositions(const int16_t* needed, int64_t count, const int16_t* items, int64_t m, uint8_t* flags,
                      int32_t* positions);

}  // namespace zelmor
