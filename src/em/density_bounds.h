// Safe shortcuts for densities that are certainly zero. A point far from a
// microcluster has a quadratic form so large that its density is 0 (beyond the
// cut-off, or an exponential that underflows a float). The squared Euclidean
// length of the point's difference from the mean, times a lower bound of the
// inverse covariance's smallest eigenvalue, bounds that form from below; when
// the bound already reaches the zero-density threshold, the form need not be
// computed.
#pragma once

#include <cstdint>
#include <vector>

namespace zelmor {

// A lower bound of the smallest eigenvalue of the packed d x d matrix, or a
// value <= 0 (or not a number) when none can be given. Eigenvalues are found
// by cyclic Jacobi rotations in double; the bound subtracts the remaining
// off-diagonal norm and the rotations' rounding.
double smallestEigenvalueLowerBound(const float* packed, int32_t d, std::vector<double>& scratch);

// The quadratic form D at or beyond which the density of a microcluster with
// this normaliser is 0 once stored as a float: the cut-off, or earlier when
// exp(-D/2) / normaliser falls below half the smallest float.
double zeroDensityThreshold(float normaliser);

// Per-microcluster test values for `isSurelyZero`: `scale` is the eigenvalue
// bound shrunk by every rounding between the float difference vector, its
// float squared length and the form computed from them; `threshold` the
// threshold above, rounded up to a float. A scale of 0 never skips.
struct SkipBound {
  float scale;
  float threshold;
};

SkipBound makeSkipBound(const float* inverse, float normaliser, int32_t d, std::vector<double>& scratch);

// True when a point whose float differences from the mean have the float
// squared length `lengthSquared` certainly has density 0.
inline bool isSurelyZero(float lengthSquared, const SkipBound& bound) {
  return lengthSquared * bound.scale >= bound.threshold;
}

}  // namespace zelmor
