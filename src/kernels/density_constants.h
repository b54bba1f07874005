// Numbers of the density and M-step arithmetic.
#pragma once

namespace zelmor {

// 2·π as the density normaliser has always taken it, raised to the power d.
constexpr double kGaussBase = 6.28;
// Above this, the normaliser factor is replaced by kGaussFactorCap.
constexpr double kGaussFactorLimit = 1000000.0;
constexpr float kGaussFactorCap = 10000000.0f;
// Quadratic forms at or beyond this give density 0 without an exponential.
constexpr float kDensityCutoff = 600.0f;
// Covariance entries below this in absolute value are clamped: the diagonal up
// to it, the rest to zero, so that no covariance collapses.
constexpr double kCovarianceFloor = 0.001;

}  // namespace zelmor
