// The layout the skip test of the E-step reads: the bounds of K
// microclusters arranged for testing one point against all of them at once
// (how the bounds are made is the business of fit/density_bounds.h).
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace zelmor {

// The bounds of K microclusters, laid out for testing one point against all
// of them at once: means and axes as d rows of `stride` floats (K rounded up
// to whole vectors, the padding never tested), the scales and thresholds as
// rows of K. axisNorm holds an upper bound of each axis's length.
struct SkipTable {
  int64_t K = 0;
  int64_t stride = 0;
  int32_t d = 0;
  std::vector<float> meansByDim;
  std::vector<float> axesByDim;
  std::vector<float> lengthScale;
  std::vector<float> axisScale;
  std::vector<float> threshold;
  std::vector<double> axisNorm;
};

// Microclusters of a SkipTable row are padded to a multiple of this.
constexpr int64_t kSkipTableLanes = 8;

// The test itself, for one microcluster. Its rounding is bounded only while
// every float value on the way stays finite: a squared length that overflows
// to infinity says nothing about the form (a point at squared distance 1e39
// from a microcluster of variance 1e37 has a form of 100), and the product
// with a scale below 1 would still be infinite. Every overflow on the way
// leaves the value infinite or not a number (a finite value on the way can
// only come from finite ones), so a test value above the largest float
// proves nothing and the density is computed instead.
inline bool passesSkipTest(float lengthSquared, float projection, float lengthScale, float axisScale, float threshold) {
  const float test = lengthSquared * lengthScale - (projection * projection) * axisScale;
  return test >= threshold && test <= std::numeric_limits<float>::max();
}

}  // namespace zelmor
