// Numbers that shape the EM fit.
#pragma once

namespace zelmor {

// Start value of the log-likelihood; an epsilon_likelihood at least this large
// means no iteration runs.
constexpr float kInitialLogLikelihood = 100000.0f;
// 2·π as the density normaliser has always taken it, raised to the power d.
constexpr double kGaussBase = 6.28;
// Above this, the normaliser factor is replaced by kGaussFactorCap.
constexpr double kGaussFactorLimit = 1000000.0;
constexpr float kGaussFactorCap = 10000000.0f;
// Quadratic forms at or beyond this give density 0 without an exponential.
constexpr float kDensityCutoff = 600.0f;
// Later passes scale each point's log-density by this.
constexpr double kLaterPassLogScale = 0.01;
// Covariance entries below this in absolute value are clamped: the diagonal up
// to it, the rest to zero, so that no covariance collapses.
constexpr double kCovarianceFloor = 0.001;

}  // namespace zelmor
