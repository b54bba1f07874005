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

// Fills `table` from K means and axes (rows of d) and their bounds.
void buildSkipTable(const float* means, const float* axes, const SkipBound* bounds, int64_t K, int32_t d,
                    SkipTable& table);

// The part of `from` that concerns the listed microclusters, in list order.
void selectSkipTable(const SkipTable& from, const int32_t* ids, int64_t count, SkipTable& to);

// For one point x with finite coordinates: writes the indices of the table's
// microclusters whose density is not surely 0, in ascending order, and
// returns how many. The plain version is the reference of the vector one.
int64_t collectNeededDensities(const float* x, const SkipTable& table, int32_t* needed);
int64_t collectNeededDensitiesPlain(const float* x, const SkipTable& table, int32_t* needed);

// A ball that holds a group of points: every point lies within `radius` of
// `center`, in exact arithmetic.
struct PointBall {
  std::vector<double> center;
  double radius = 0.0;
};

// The ball of the `count` points (rows of d floats, all finite) whose row
// numbers `members` lists.
void makePointBall(const float* points, const int32_t* members, int64_t count, int32_t d, PointBall& ball);

// Writes the indices of the table's microclusters for which some point of the
// ball might pass collectNeededDensities, in ascending order, and returns how
// many: for every other microcluster the test of every point in the ball
// would find the density surely 0. `scratch` holds 2K doubles.
int64_t ballSurvivors(const PointBall& ball, const SkipTable& table, int32_t* survivors, double* scratch);

// The test itself, for one microcluster. Its rounding is bounded only while
// every float value on the way stays finite: a squared length that overflows
// to infinity says nothing about the form (a point at squared distance 1e39
// from a microcluster of variance 1e37 has a form of 100), and the product
// with a scale below 1 would still be infinite. Every overflow on the way
// leaves the value infinite or not a number (a finite value on the way can
// only come from finite ones), so a test value above the largest float
// proves nothing and the density is computed instead.
inline bool passesSkipTest(float lengthSquared, float projection, float lengthScale, float axisScale,
                           float threshold) {
  const float test = lengthSquared * lengthScale - (projection * projection) * axisScale;
  return test >= threshold && test <= std::numeric_limits<float>::max();
}

inline bool isSurelyZero(float lengthSquared, float projection, const SkipBound& bound) {
  return passesSkipTest(lengthSquared, projection, bound.lengthScale, bound.axisScale, bound.threshold);
}

}  // namespace zelmor
