// Safe shortcuts for densities that are certainly zero. A point far from a
// microcluster has a quadratic form so large that its density is 0 (beyond the
// cut-off, or an exponential that underflows a float). A cheap lower bound of
// that form, from the point's difference t to the mean, decides whether the
// form need be computed at all:
//   Q >= b·|t|² - c·(u·t)²,
// where u is the inverse covariance's eigenvector of smallest eigenvalue
// (the microcluster's long axis), b about the second smallest eigenvalue and
// c the gap between the two. Every rounding on the way, of the eigenvalues,
// of the float differences and sums and of the form itself, is paid for by
// shrinking b and growing c, so the bound never skips a nonzero density.
#pragma once

#include <cstdint>
#include <limits>
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

// The test values of one microcluster: a point with float differences t from
// the mean, float squared length L = Σ t_i² and float projection a = Σ axis_i t_i
// certainly has density 0 when L·lengthScale - (a·a)·axisScale >= threshold,
// all in float. The default never skips.
struct SkipBound {
  float lengthScale = 0.0f;
  float axisScale = 0.0f;
  float threshold = std::numeric_limits<float>::infinity();
};

// Builds the bound from the packed inverse covariance; `axis` receives the d
// components of u (zeros when only the plain eigenvalue bound is used).
SkipBound makeSkipBound(const float* inverse, float normaliser, int32_t d, float* axis, std::vector<double>& scratch);

// The bounds of all K microclusters, laid out for testing one point against
// all of them at once: means and axes as d rows of K, the scales and
// thresholds as rows of K.
struct SkipTable {
  int64_t K = 0;
  int32_t d = 0;
  std::vector<float> meansByDim;
  std::vector<float> axesByDim;
  std::vector<float> lengthScale;
  std::vector<float> axisScale;
  std::vector<float> threshold;
};

// For one point x: needed[k] = 1 unless microcluster k's density is surely 0.
// `lengths` and `projections` are K floats of scratch.
void markNeededDensities(const float* x, const SkipTable& table, float* lengths, float* projections,
                         uint8_t* needed);

inline bool isSurelyZero(float lengthSquared, float projection, const SkipBound& bound) {
  return lengthSquared * bound.lengthScale - (projection * projection) * bound.axisScale >= bound.threshold;
}

}  // namespace zelmor
