#include "fit/density_bounds.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/density_constants.h"

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

// The ball test. For a point x within the ball (centre c, radius r) and a
// microcluster with mean m, unit axis u, scales b, a and threshold T, exact
// arithmetic gives |x - m| >= |c - m| - r =: g, |x - m| <= |c - m| + r =: f
// and |u·(x - m)| <= |u·(c - m)| + |u| r. The point's own float test
// (KernelTable::collectNeededDensities) rounds d differences, d squares or products and
// d - 1 sums, each by at most 2^-24 of its size, so with e = (d + 3)·2^-24
// its length L and projection p satisfy
//   L >= (1 - e)·|x - m|²,   |p| <= |u·(x - m)| + e·|u|·|x - m|,
// up to amounts below the smallest float, and its products lose at most
// 3·2^-24 more. When the bounds below keep every float value of the test
// finite, and the ball test finds
//   g²·b·(1 - E) - reach²·(1 + E)·a >= T·(1 + E) + slack,   E = (d + 8)·2^-22,
// with reach the projection bound plus E·|u|·f, then every float test of a
// point of the ball finds L·b - p²·a >= T, so it skips the microcluster too,
// and its density is 0. E exceeds e by more than 2^-40, which covers the
// double rounding of the ball test itself; `doubleRounding` covers the
// distances and projections of the centre computed in double.
constexpr int64_t kTableLanes = kSkipTableLanes;
constexpr double kFloatTestLimit = 0x1p126;
// Amounts lost below the smallest double (a square root of d of them) and
// below the smallest float, and the slack they leave in the test.
constexpr double kLostBelowDoubles = 0x1p-500;
constexpr double kLostBelowFloats = 0x1p-100;
constexpr double kAbsoluteSlack = 0x1p-100;
constexpr double kLargestAxisNorm = 2.0;

// Relative rounding of a double sum of d squares or products, and of its
// square root, with a factor of two to spare.
double doubleRounding(int64_t d) { return static_cast<double>(d + 8) * 0x1p-52; }

// E above.
double floatTestLoss(int64_t d) { return static_cast<double>(d + 8) * 0x1p-22; }

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

// The bound along the eigenvector u of the smallest eigenvalue: |t|²·λ2 less
// (λ2 - λ1)·(u·t)², less what the computed pair and the float test cost.
struct AxisBound {
  double bound = -std::numeric_limits<double>::infinity();  // none for d < 2
  double gap = 0.0;
  std::vector<float> axis;
};

AxisBound boundWithAxis(const std::vector<double>& A, const std::vector<double>& diagonal, const std::vector<double>& V,
                        int64_t d, double frobenius, double formLoss, double projectionLoss) {
  AxisBound result;
  if (d < 2) return result;
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
  result.bound = lambda2 - shortfall - formLoss - 3.0 * gap * projectionLoss * uNorm2;
  result.gap = gap;
  result.axis = std::move(u);
  return result;
}

}  // namespace

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
  const AxisBound withAxis = boundWithAxis(A, diagonal, V, d, frobenius, formLoss, projectionLoss);
  if (std::isfinite(withAxis.bound) && std::isfinite(withAxis.gap) && withAxis.bound > b && withAxis.gap >= 0.0) {
    b = withAxis.bound;
    c = withAxis.gap;
    std::copy(withAxis.axis.begin(), withAxis.axis.end(), axis);
  }
  if (!(b > 0.0) || !std::isfinite(b)) {
    std::fill(axis, axis + d, 0.0f);
    return bound;
  }
  // The float products and the difference of the test round too: shrink the
  // length scale, grow the axis scale and the threshold by a little more.
  // Rounded in the safe direction, a length scale below the smallest float
  // becomes a denormal or 0 (the test is then only harder to pass), and an
  // axis scale beyond the largest float becomes infinite (the test value is
  // then -inf or not a number, and never passes).
  bound.lengthScale = roundedDown(b / (1.0 + lengthLoss) * (1.0 - std::ldexp(1.0, -21)));
  bound.axisScale = roundedUp(c * (1.0 + std::ldexp(1.0, -21)));
  bound.threshold = roundedUp(zeroDensityThreshold(normaliser) * (1.0 + std::ldexp(1.0, -22)));
  return bound;
}

void buildSkipTable(const float* means, const float* axes, const SkipBound* bounds, int64_t K, int32_t d,
                    SkipTable& table) {
  table.K = K;
  table.d = d;
  table.stride = (K + kTableLanes - 1) / kTableLanes * kTableLanes;
  table.meansByDim.assign(static_cast<size_t>(table.stride * d), 0.0f);
  table.axesByDim.assign(static_cast<size_t>(table.stride * d), 0.0f);
  // The padding lanes are computed but never reported.
  table.lengthScale.assign(static_cast<size_t>(table.stride), 0.0f);
  table.axisScale.assign(static_cast<size_t>(table.stride), 0.0f);
  table.threshold.assign(static_cast<size_t>(table.stride), 0.0f);
  table.axisNorm.resize(static_cast<size_t>(K));
  for (int64_t k = 0; k < K; ++k) {
    double norm2 = 0.0;
    for (int64_t j = 0; j < d; ++j) {
      table.meansByDim[j * table.stride + k] = means[k * d + j];
      table.axesByDim[j * table.stride + k] = axes[k * d + j];
      norm2 += static_cast<double>(axes[k * d + j]) * axes[k * d + j];
    }
    table.lengthScale[k] = bounds[k].lengthScale;
    table.axisScale[k] = bounds[k].axisScale;
    table.threshold[k] = bounds[k].threshold;
    table.axisNorm[k] = std::sqrt(norm2) * (1.0 + doubleRounding(d));
  }
}

void selectSkipTable(const SkipTable& from, const int32_t* ids, int64_t count, SkipTable& to) {
  to.K = count;
  to.d = from.d;
  to.stride = (count + kTableLanes - 1) / kTableLanes * kTableLanes;
  to.meansByDim.assign(static_cast<size_t>(to.stride * to.d), 0.0f);
  to.axesByDim.assign(static_cast<size_t>(to.stride * to.d), 0.0f);
  // The padding lanes are computed but never reported.
  to.lengthScale.assign(static_cast<size_t>(to.stride), 0.0f);
  to.axisScale.assign(static_cast<size_t>(to.stride), 0.0f);
  to.threshold.assign(static_cast<size_t>(to.stride), 0.0f);
  to.axisNorm.resize(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    const int64_t k = ids[i];
    for (int64_t j = 0; j < to.d; ++j) {
      to.meansByDim[j * to.stride + i] = from.meansByDim[j * from.stride + k];
      to.axesByDim[j * to.stride + i] = from.axesByDim[j * from.stride + k];
    }
    to.lengthScale[i] = from.lengthScale[k];
    to.axisScale[i] = from.axisScale[k];
    to.threshold[i] = from.threshold[k];
    to.axisNorm[i] = from.axisNorm[k];
  }
}

void makePointBall(const float* points, const int32_t* members, int64_t count, int32_t d, PointBall& ball) {
  ball.center.assign(static_cast<size_t>(d), 0.0);
  for (int64_t i = 0; i < count; ++i) {
    const float* x = points + int64_t{members[i]} * d;
    for (int64_t j = 0; j < d; ++j) ball.center[j] += x[j];
  }
  for (int64_t j = 0; j < d; ++j) ball.center[j] /= static_cast<double>(count);
  double largest = 0.0;
  for (int64_t i = 0; i < count; ++i) {
    const float* x = points + int64_t{members[i]} * d;
    double distance2 = 0.0;
    for (int64_t j = 0; j < d; ++j) {
      const double t = x[j] - ball.center[j];
      distance2 += t * t;
    }
    largest = std::max(largest, distance2);
  }
  // The computed distance may fall short of the exact one by the rounding of
  // d squares and sums and a square root, and by squares lost below the
  // smallest double.
  ball.radius = std::sqrt(largest) * (1.0 + doubleRounding(d)) + kLostBelowDoubles;
}

int64_t ballSurvivors(const PointBall& ball, const SkipTable& table, int32_t* survivors, double* scratch) {
  const int64_t K = table.K;
  const int64_t stride = table.stride;
  const int32_t d = table.d;
  const double radius = ball.radius;
  // Distances and projections of the centre, dimension by dimension.
  double* distance2 = scratch;
  double* projection = scratch + K;
  std::fill(distance2, distance2 + K, 0.0);
  std::fill(projection, projection + K, 0.0);
  for (int64_t j = 0; j < d; ++j) {
    const double c = ball.center[j];
    const float* means = table.meansByDim.data() + j * stride;
    const float* axes = table.axesByDim.data() + j * stride;
    for (int64_t k = 0; k < K; ++k) {
      const double t = c - means[k];
      distance2[k] += t * t;
      projection[k] += axes[k] * t;
    }
  }
  const double relative = doubleRounding(d);
  const double floatLoss = floatTestLoss(d);
  int64_t count = 0;
  for (int64_t k = 0; k < K; ++k) {
    const double lengthScale = table.lengthScale[k];
    const double axisScale = table.axisScale[k];
    const double threshold = table.threshold[k];
    const double axisNorm = table.axisNorm[k];
    const double centreDistance = std::sqrt(distance2[k]);
    // Over the ball: |x - mean| >= gap, |u·(x - mean)| <= reach, and
    // |x - mean| <= farthest.
    const double gap = centreDistance * (1.0 - relative) - radius;
    const double farthest = centreDistance * (1.0 + relative) + radius + kLostBelowDoubles;
    const double reach = std::fabs(projection[k]) + axisNorm * (radius + farthest * relative) +
                         floatLoss * axisNorm * farthest + kLostBelowFloats;
    // At the edges of the float range: the points and the centre are finite
    // (points with values beyond half the largest float never come here), so
    // every double above is finite, and the scales and threshold are finite
    // floats by construction. `bounded` keeps the float test of every point
    // of the ball away from overflow (its squared length, its products and
    // its difference stay below 2^126), where the rounding bounds above hold;
    // amounts lost below the smallest float are paid by the slack. A scale
    // that rounded to 0 or a denormal only makes the test harder to pass.
    const double shortest2 = gap > 0.0 ? gap * gap : 0.0;
    const double longest2 = farthest * farthest * (1.0 + floatLoss);
    const double reach2 = reach * reach * (1.0 + floatLoss);
    const bool bounded = threshold >= 1.0 && threshold < kFloatTestLimit && lengthScale <= kFloatTestLimit &&
                         axisNorm <= kLargestAxisNorm && axisScale <= kFloatTestLimit &&
                         longest2 * std::max(1.0, lengthScale) <= kFloatTestLimit &&
                         reach2 * std::max(1.0, axisScale) <= kFloatTestLimit;
    const bool surelyZero =
        bounded && shortest2 * lengthScale * (1.0 - floatLoss) - reach2 * axisScale >=
                       threshold * (1.0 + floatLoss) + kAbsoluteSlack * (1.0 + lengthScale + axisScale);
    if (!surelyZero) survivors[count++] = static_cast<int32_t>(k);
  }
  return count;
}

}  // namespace zelmor
