#include "em/density_bounds.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "em/em_constants.h"

namespace zelmor {

namespace {

constexpr int kMaxSweeps = 60;
// Below this share of the matrix's size the off-diagonal part is done with.
constexpr double kConvergedShare = 1e-15;
// Rounding of the rotations themselves, relative to the matrix's size per
// dimension: far above what double rotations lose, far below any margin that
// matters for skipping.
constexpr double kRotationRounding = 1e-12;

}  // namespace

double smallestEigenvalueLowerBound(const float* packed, int32_t d, std::vector<double>& a) {
  const double notANumber = std::numeric_limits<double>::quiet_NaN();
  a.assign(static_cast<size_t>(d) * d, 0.0);
  double frobenius = 0.0;
  for (int64_t i = 0; i < d; ++i) {
    for (int64_t j = 0; j <= i; ++j) {
      const double value = packed[i * (i + 1) / 2 + j];
      if (!std::isfinite(value)) return notANumber;
      a[i * d + j] = a[j * d + i] = value;
      frobenius += (i == j ? 1.0 : 2.0) * value * value;
    }
  }
  frobenius = std::sqrt(frobenius);
  if (!std::isfinite(frobenius)) return notANumber;

  auto offNorm = [&] {
    double sum = 0.0;
    for (int64_t i = 0; i < d; ++i) {
      for (int64_t j = 0; j < i; ++j) sum += 2.0 * a[i * d + j] * a[i * d + j];
    }
    return std::sqrt(sum);
  };
  for (int sweep = 0; sweep < kMaxSweeps && offNorm() > kConvergedShare * frobenius; ++sweep) {
    for (int64_t p = 0; p < d; ++p) {
      for (int64_t q = p + 1; q < d; ++q) {
        const double apq = a[p * d + q];
        if (apq == 0.0) continue;
        const double theta = (a[q * d + q] - a[p * d + p]) / (2.0 * apq);
        const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        for (int64_t k = 0; k < d; ++k) {
          const double akp = a[k * d + p];
          const double akq = a[k * d + q];
          a[k * d + p] = c * akp - s * akq;
          a[k * d + q] = s * akp + c * akq;
        }
        for (int64_t k = 0; k < d; ++k) {
          const double apk = a[p * d + k];
          const double aqk = a[q * d + k];
          a[p * d + k] = c * apk - s * aqk;
          a[q * d + k] = s * apk + c * aqk;
        }
      }
    }
  }
  double smallest = a[0];
  for (int64_t i = 1; i < d; ++i) smallest = std::min(smallest, a[i * d + i]);
  // Every eigenvalue lies within the off-diagonal norm of a diagonal entry.
  return smallest - offNorm() - kRotationRounding * d * frobenius;
}

double zeroDensityThreshold(float normaliser) {
  const double cutoff = kDensityCutoff;
  if (!(normaliser > 0.0f) || !std::isfinite(normaliser)) return cutoff;
  // exp(-D/2) / n <= 2^-151 rounds to 0 as a float, with room for the
  // exponential's and the division's rounding; 0.01 covers the logarithms.
  const double underflow = 2.0 * (151.0 * std::log(2.0) - std::log(static_cast<double>(normaliser))) + 0.01;
  return std::min(cutoff, underflow);
}

SkipBound makeSkipBound(const float* inverse, float normaliser, int32_t d, std::vector<double>& scratch) {
  SkipBound bound{0.0f, kDensityCutoff};
  const double lowest = smallestEigenvalueLowerBound(inverse, d, scratch);
  if (!(lowest > 0.0)) return bound;
  // Largest absolute row sum: bounds |t|ᵀ|A||t| / |t|², the size of the terms
  // whose float rounding the computed form suffers.
  double rowSumMax = 0.0;
  for (int64_t i = 0; i < d; ++i) {
    double rowSum = 0.0;
    for (int64_t j = 0; j < d; ++j) {
      rowSum += std::fabs(static_cast<double>(inverse[i >= j ? i * (i + 1) / 2 + j : j * (j + 1) / 2 + i]));
    }
    rowSumMax = std::max(rowSumMax, rowSum);
  }
  const double unit = std::ldexp(1.0, -21);
  // The computed form loses at most (d + 2)·2^-24 of rowSumMax·|t|²; the float
  // differences and their float squared length lose under (d + 8)·2^-22 of
  // |t|²; the float product of length and scale one more rounding.
  const double formLoss = (d + 2) * std::ldexp(1.0, -23) * rowSumMax;
  const double shrunk = (lowest - formLoss) * (1.0 - (d + 16) * unit);
  if (!(shrunk > 0.0)) return bound;
  bound.scale = static_cast<float>(shrunk);
  if (static_cast<double>(bound.scale) > shrunk) bound.scale = std::nextafter(bound.scale, 0.0f);
  const double threshold = zeroDensityThreshold(normaliser);
  bound.threshold = static_cast<float>(threshold);
  if (static_cast<double>(bound.threshold) < threshold) {
    bound.threshold = std::nextafter(bound.threshold, std::numeric_limits<float>::infinity());
  }
  return bound;
}

}  // namespace zelmor
