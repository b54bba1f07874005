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

#include "kernels/skip_table.h"

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

// Fills `table` from K means and axes (rows of d) and their bounds.
void buildSkipTable(const float* means, const float* axes, const SkipBound* bounds, int64_t K, int32_t d,
                    SkipTable& table);

// The part of `from` that concerns the listed microclusters, in list order.
void selectSkipTable(const SkipTable& from, const int32_t* ids, int64_t count, SkipTable& to);

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
// ball might pass KernelTable::collectNeededDensities, in ascending order, and returns how
// many: for every other microcluster the test of every point in the ball
// would find the density surely 0. `scratch` holds 2K doubles.
int64_t ballSurvivors(const PointBall& ball, const SkipTable& table, int32_t* survivors, double* scratch);

inline bool isSurelyZero(float lengthSquared, float projection, const SkipBound& bound) {
  return passesSkipTest(lengthSquared, projection, bound.lengthScale, bound.axisScale, bound.threshold);
}

}  // namespace zelmor
