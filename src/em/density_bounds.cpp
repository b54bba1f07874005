#include "em/density_bounds.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "em/e_step_wide.h"
#include "em/em_constants.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zelmor {

namespace {

constexpr int kMaxSweeps = 60;
// Below this share of the matrix's size the off-diagonal part is done with.
constexpr double kConvergedShare = 1e-15;
// Rounding of the rotations themselves, relative to the matrix's size per
// dimension: far above what double rotations lose, far below any margin that
// matters for skipping.
constexpr double kRotationRounding = 1e-12;

double offDiagonalNorm(const std::vector<double>& a, int64_t d) {
  double sum = 0.0;
  for (int64_t i = 0; i < d; ++i) {
    for (int64_t j = 0; j < i; ++j) sum += 2.0 * a[i * d + j] * a[i * d + j];
  }
  return std::sqrt(sum);
}

double frobeniusNorm(const std::vector<double>& a) {
  double sum = 0.0;
  for (const double v : a) sum += v * v;
  return std::sqrt(sum);
}

// Cyclic Jacobi rotations until the off-diagonal part is negligible. V, when
// given (d x d, row-major, starting as the identity), collects the rotations:
// column i is then the eigenvector of diagonal entry i.
void diagonalise(std::vector<double>& a, int64_t d, double frobenius, std::vector<double>* V) {
  for (int sweep = 0; sweep < kMaxSweeps && offDiagonalNorm(a, d) > kConvergedShare * frobenius; ++sweep) {
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
        if (V != nullptr) {
          for (int64_t k = 0; k < d; ++k) {
            const double vkp = (*V)[k * d + p];
            const double vkq = (*V)[k * d + q];
            (*V)[k * d + p] = c * vkp - s * vkq;
            (*V)[k * d + q] = s * vkp + c * vkq;
          }
        }
      }
    }
  }
}

// Lower bound of the smallest eigenvalue of a diagonalised matrix: every
// eigenvalue lies within the off-diagonal norm of a diagonal entry.
double smallestDiagonalLowerBound(const std::vector<double>& a, int64_t d, double frobenius) {
  double smallest = a[0];
  for (int64_t i = 1; i < d; ++i) smallest = std::min(smallest, a[i * d + i]);
  return smallest - offDiagonalNorm(a, d) - kRotationRounding * d * frobenius;
}

// Unpacks into a dense double matrix; false when an entry is not finite.
bool unpack(const float* packed, int64_t d, std::vector<double>& a) {
  a.assign(static_cast<size_t>(d * d), 0.0);
  for (int64_t i = 0; i < d; ++i) {
    for (int64_t j = 0; j <= i; ++j) {
      const double value = packed[i * (i + 1) / 2 + j];
      if (!std::isfinite(value)) return false;
      a[i * d + j] = a[j * d + i] = value;
    }
  }
  return true;
}

float roundedDown(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) > x) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return f;
}

float roundedUp(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

}  // namespace

double smallestEigenvalueLowerBound(const float* packed, int32_t d, std::vector<double>& a) {
  if (!unpack(packed, d, a)) return std::numeric_limits<double>::quiet_NaN();
  const double frobenius = frobeniusNorm(a);
  if (!std::isfinite(frobenius)) return std::numeric_limits<double>::quiet_NaN();
  diagonalise(a, d, frobenius, nullptr);
  return smallestDiagonalLowerBound(a, d, frobenius);
}

double zeroDensityThreshold(float normaliser) {
  const double cutoff = kDensityCutoff;
  if (!(normaliser > 0.0f) || !std::isfinite(normaliser)) return cutoff;
  // exp(-D/2) / n <= 2^-151 rounds to 0 as a float, with room for the
  // exponential's and the division's rounding; 0.01 covers the logarithms.
  const double underflow = 2.0 * (151.0 * std::log(2.0) - std::log(static_cast<double>(normaliser))) + 0.01;
  return std::min(cutoff, underflow);
}

SkipBound makeSkipBound(const float* inverse, float normaliser, int32_t dim, float* axis,
                        std::vector<double>& scratch) {
  const int64_t d = dim;
  SkipBound bound;
  std::fill(axis, axis + d, 0.0f);
  std::vector<double>& A = scratch;
  if (!unpack(inverse, d, A)) return bound;
  const double frobenius = frobeniusNorm(A);
  if (!std::isfinite(frobenius) || frobenius == 0.0) return bound;

  // Largest absolute row sum: bounds |t|ᵀ|A||t| / |t|², the size of the terms
  // whose float rounding the computed form suffers: at most (d + 2)·2^-24 of it.
  double rowSumMax = 0.0;
  for (int64_t i = 0; i < d; ++i) {
    double rowSum = 0.0;
    for (int64_t j = 0; j < d; ++j) rowSum += std::fabs(A[i * d + j]);
    rowSumMax = std::max(rowSumMax, rowSum);
  }
  const double formLoss = (d + 2) * std::ldexp(1.0, -23) * rowSumMax;
  // The float differences, their squared length and their projection lose
  // less than these shares of |t|² and |u||t| against the form's own t.
  const double lengthLoss = (d + 8) * std::ldexp(1.0, -22);
  const double projectionLoss = (d + 8) * std::ldexp(1.0, -22);

  std::vector<double> diagonal(A);
  std::vector<double> V(static_cast<size_t>(d * d), 0.0);
  for (int64_t i = 0; i < d; ++i) V[i * d + i] = 1.0;
  diagonalise(diagonal, d, frobenius, &V);
  const double lowest = smallestDiagonalLowerBound(diagonal, d, frobenius);

  double b = lowest - formLoss;
  double c = 0.0;
  if (d >= 2) {
    int64_t first = 0;
    for (int64_t i = 1; i < d; ++i) {
      if (diagonal[i * d + i] < diagonal[first * d + first]) first = i;
    }
    int64_t second = first == 0 ? 1 : 0;
    for (int64_t i = 0; i < d; ++i) {
      if (i != first && diagonal[i * d + i] < diagonal[second * d + second]) second = i;
    }
    const double lambda1 = diagonal[first * d + first];
    const double lambda2 = diagonal[second * d + second];
    const double gap = lambda2 - lambda1;
    std::vector<float> u(static_cast<size_t>(d));
    double uNorm2 = 0.0;
    for (int64_t i = 0; i < d; ++i) {
      u[i] = static_cast<float>(V[i * d + first]);
      uNorm2 += static_cast<double>(u[i]) * u[i];
    }
    // A - λ2·I + gap·u·uᵀ is positive semidefinite for exact eigenpairs; its
    // smallest eigenvalue, bounded from below, is what the computed pair
    // costs. Forming it in double costs a few units of the last place.
    std::vector<double> M(A);
    for (int64_t i = 0; i < d; ++i) {
      M[i * d + i] -= lambda2;
      for (int64_t j = 0; j < d; ++j) M[i * d + j] += gap * u[i] * static_cast<double>(u[j]);
    }
    const double mFrobenius = frobeniusNorm(M);
    diagonalise(M, d, mFrobenius, nullptr);
    const double formation = 8.0 * d * std::ldexp(1.0, -52) * (frobenius + std::fabs(lambda2) + gap * uNorm2);
    const double shortfall = std::max(0.0, -smallestDiagonalLowerBound(M, d, mFrobenius)) + formation;
    const double withAxis = lambda2 - shortfall - formLoss - 3.0 * gap * projectionLoss * uNorm2;
    if (std::isfinite(withAxis) && std::isfinite(gap) && withAxis > b && gap >= 0.0) {
      b = withAxis;
      c = gap;
      std::copy(u.begin(), u.end(), axis);
    }
  }
  if (!(b > 0.0) || !std::isfinite(b)) {
    std::fill(axis, axis + d, 0.0f);
    return bound;
  }
  // The float products and the difference of the test round too: shrink the
  // length scale, grow the axis scale and the threshold by a little more.
  bound.lengthScale = roundedDown(b / (1.0 + lengthLoss) * (1.0 - std::ldexp(1.0, -21)));
  bound.axisScale = roundedUp(c * (1.0 + std::ldexp(1.0, -21)));
  bound.threshold = roundedUp(zeroDensityThreshold(normaliser) * (1.0 + std::ldexp(1.0, -22)));
  return bound;
}

namespace {

void markNeededPlain(const float* x, const SkipTable& table, float* lengths, float* projections, uint8_t* needed) {
  const int64_t K = table.K;
  for (int64_t k = 0; k < K; ++k) {
    lengths[k] = 0.0f;
    projections[k] = 0.0f;
  }
  for (int64_t j = 0; j < table.d; ++j) {
    const float xj = x[j];
    const float* means = table.meansByDim.data() + j * K;
    const float* axes = table.axesByDim.data() + j * K;
    for (int64_t k = 0; k < K; ++k) {
      const float diff = xj - means[k];
      lengths[k] += diff * diff;
      projections[k] += axes[k] * diff;
    }
  }
  for (int64_t k = 0; k < K; ++k) {
    const float test =
        lengths[k] * table.lengthScale[k] - (projections[k] * projections[k]) * table.axisScale[k];
    needed[k] = !(test >= table.threshold[k]);
  }
}

#if defined(__x86_64__)
// Eight microclusters at a time, their sums held in registers across the
// dimensions; the same float expression as the plain loop.
__attribute__((target("avx2"))) void markNeededWide(const float* x, const SkipTable& table, uint8_t* needed) {
  const int64_t K = table.K;
  int64_t k0 = 0;
  for (; k0 + 8 <= K; k0 += 8) {
    __m256 lengths = _mm256_setzero_ps();
    __m256 projections = _mm256_setzero_ps();
    for (int64_t j = 0; j < table.d; ++j) {
      const __m256 diff = _mm256_sub_ps(_mm256_set1_ps(x[j]), _mm256_loadu_ps(table.meansByDim.data() + j * K + k0));
      lengths = _mm256_add_ps(lengths, _mm256_mul_ps(diff, diff));
      projections = _mm256_add_ps(projections, _mm256_mul_ps(_mm256_loadu_ps(table.axesByDim.data() + j * K + k0), diff));
    }
    const __m256 test =
        _mm256_sub_ps(_mm256_mul_ps(lengths, _mm256_loadu_ps(table.lengthScale.data() + k0)),
                      _mm256_mul_ps(_mm256_mul_ps(projections, projections), _mm256_loadu_ps(table.axisScale.data() + k0)));
    const int skip = _mm256_movemask_ps(_mm256_cmp_ps(test, _mm256_loadu_ps(table.threshold.data() + k0), _CMP_GE_OQ));
    for (int l = 0; l < 8; ++l) needed[k0 + l] = ((skip >> l) & 1) == 0;
  }
  for (int64_t k = k0; k < K; ++k) {
    float length = 0.0f;
    float projection = 0.0f;
    for (int64_t j = 0; j < table.d; ++j) {
      const float diff = x[j] - table.meansByDim[j * K + k];
      length += diff * diff;
      projection += table.axesByDim[j * K + k] * diff;
    }
    const float test = length * table.lengthScale[k] - (projection * projection) * table.axisScale[k];
    needed[k] = !(test >= table.threshold[k]);
  }
}
#endif

}  // namespace

void markNeededDensities(const float* x, const SkipTable& table, float* lengths, float* projections,
                         uint8_t* needed) {
#if defined(__x86_64__)
  if (hasWideKernels()) {
    markNeededWide(x, table, needed);
    return;
  }
#endif
  markNeededPlain(x, table, lengths, projections, needed);
}

}  // namespace zelmor
