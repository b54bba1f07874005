// Arithmetic of the steps after the EM loop, as plain functions on arrays.
#pragma once

#include <cstdint>

namespace zelmor {

// Sum of all N x m responsibilities, column by column (list positions outer,
// points inner), in double.
double coverageSumPlain(const float* responsibilities, int64_t N, int64_t m);

// The microcluster at the first list position holding the largest strictly
// positive responsibility of one point, or -1 when none is positive.
int32_t mostProbableClusterPlain(const float* row, const int16_t* items, int64_t m);

// Adds one point's products r(a)·r(b) into the packed strict lower triangle
// `coShareLevels`, for every pair of list positions j < k.
void addCoSharingPlain(const float* row, const int16_t* items, int64_t m, float* coShareLevels);

}  // namespace zelmor
