// Unit tests of the packed symmetric-matrix kernels: determinant, in-place
// inversion and Jacobi eigen-decomposition.
#include "linalg/packed_matrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace zelmor {
namespace {

using Packed = std::vector<float>;
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kFloatMax = std::numeric_limits<float>::max();

Packed diagonal(const std::vector<float>& values) {
  const int d = static_cast<int>(values.size());
  Packed a(d * (d + 1) / 2, 0.0f);
  for (int i = 0; i < d; ++i) a[packedIndex(i, i)] = values[i];
  return a;
}

Packed identity(int d) { return diagonal(std::vector<float>(d, 1.0f)); }

double at(const Packed& a, int i, int j) { return a[packedIndex(i, j)]; }

// Symmetric positive definite: M * M^T + d * I, scaled.
Packed randomSpd(int d, std::mt19937& rng, double scale = 1.0) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> m(d * d);
  for (double& x : m) x = u(rng);
  Packed a(d * (d + 1) / 2);
  for (int i = 0; i < d; ++i) {
    for (int j = 0; j <= i; ++j) {
      double s = (i == j) ? d : 0.0;
      for (int k = 0; k < d; ++k) s += m[i * d + k] * m[j * d + k];
      a[packedIndex(i, j)] = static_cast<float>(scale * s);
    }
  }
  return a;
}

// Symmetric and indefinite, its largest entries off the diagonal: noise in
// [-1, 1] plus entries of weight d + 1..2 and random sign at (i, j) for pairs
// of a shuffled order, so that complete pivoting exchanges different rows
// and columns.
Packed randomPermutedIndefinite(int d, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<int> order(d);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), rng);
  Packed a(d * (d + 1) / 2);
  for (float& x : a) x = static_cast<float>(u(rng));
  for (int t = 0; t < d; t += 2) {  // an odd one out pairs with itself
    const float big = static_cast<float>((u(rng) < 0 ? -1.0 : 1.0) * (d + 1.5 + 0.5 * u(rng)));
    a[packedIndex(order[t], order[std::min(t + 1, d - 1)])] = big;
  }
  return a;
}

double determinantOf(const Packed& a, int d) {
  std::vector<float> work(d * d, -7.0f);
  return packedDeterminant(a.data(), d, work.data());
}

void invert(Packed& a, int d, int count = 1) {
  std::vector<float> work(d * d);
  std::vector<int16_t> rowPivots(d), colPivots(d);
  invertPackedRun(a.data(), d, count, work.data(), rowPivots.data(), colPivots.data());
}

// Runs the eigen-decomposition on `a` in place and returns V (d x d, row-major).
std::vector<float> orient(Packed& a, int d, int basedim = 0) {
  std::vector<float> scratch(d * (d + 4), -3.0f);
  computeOrientation(a.data(), d, basedim, scratch.data());
  return std::vector<float>(scratch.begin(), scratch.begin() + d * d);
}

double frobenius(const Packed& a, int d) {
  double s = 0;
  for (int i = 0; i < d; ++i)
    for (int j = 0; j < d; ++j) s += at(a, i, j) * at(a, i, j);
  return std::sqrt(s);
}

// Largest |(A X - I)(i, j)|.
double productErrorFromIdentity(const Packed& a, const Packed& x, int d) {
  double worst = 0;
  for (int i = 0; i < d; ++i) {
    for (int j = 0; j < d; ++j) {
      double s = (i == j) ? -1.0 : 0.0;
      for (int k = 0; k < d; ++k) s += at(a, i, k) * at(x, k, j);
      worst = std::max(worst, std::fabs(s));
    }
  }
  return worst;
}

// 8 x 8, unit diagonal (equal diagonal entries at the first rotation),
// off-diagonal 1/(i + 2j + 3) with every third sign flipped.
Packed fingerprintMatrix() {
  const int d = 8;
  Packed a(d * (d + 1) / 2);
  for (int i = 0; i < d; ++i) {
    for (int j = 0; j < i; ++j) {
      a[packedIndex(i, j)] = 1.0f / static_cast<float>(i + 2 * j + 3) * ((i + j) % 3 ? 1.0f : -1.0f);
    }
    a[packedIndex(i, i)] = 1.0f;
  }
  return a;
}

// Hash of the bit patterns: a one-ulp change in any entry shows.
uint64_t fingerprint(const std::vector<float>& values) {
  uint64_t hash = 0;
  for (float v : values) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    hash = hash * 1000003u + bits;
  }
  return hash;
}

// ---------------------------------------------------------------- determinant

TEST(PackedDeterminant, IdentityIsExactlyOne) {
  for (int d = 1; d <= 8; ++d) EXPECT_EQ(determinantOf(identity(d), d), 1.0) << "d=" << d;
}

TEST(PackedDeterminant, ExactSmallCases) {
  EXPECT_EQ(determinantOf({1, 2, 1}, 2), -3.0);  // indefinite: the sign is kept
  EXPECT_EQ(determinantOf({-2.5f}, 1), -2.5);
  // A tiny but not negligible leading pivot is divided by: det ~ -1, no floor.
  EXPECT_NEAR(determinantOf({1e-12f, 1, 1}, 2), -1.0, 1e-6);
}

// Bits fixed by the order of operations: float multipliers and updates, the
// product in double.
TEST(PackedDeterminant, RoundsAsItStoresAndLeavesItsInput) {
  const Packed a = {2.0f, 0.3f, 1.5f, -0.7f, 0.1f, 3.0f, 0.2f, 0.9f, -0.4f, 2.5f}, copy = a;
  EXPECT_EQ(determinantOf(a, 4), 0x1.de6e9ba909704p+3);
  EXPECT_EQ(a, copy);
  EXPECT_EQ(determinantOf(fingerprintMatrix(), 8), 0x1.3ee1179915658p-1);
}

TEST(PackedDeterminant, FloorValues) {
  // A vanishing pivot of passes 0..d-2 (zero, below 2^-53, or not a number).
  EXPECT_EQ(determinantOf({0, 1, 0}, 2), 0.00001);
  EXPECT_EQ(determinantOf({1e-20f, 1, 0}, 2), 0.00001);
  EXPECT_EQ(determinantOf({kNaN, 1, 1}, 2), 0.00001);
  EXPECT_EQ(determinantOf({4, 2, 1, 0, 0, 3}, 3), 0.00001);  // second pivot is 1 - 0.5 * 2 = 0
  // The last pivot is not tested; a vanishing product gives the other floor.
  EXPECT_EQ(determinantOf({1, 1, 1}, 2), 1e-6);
  EXPECT_EQ(determinantOf(diagonal(std::vector<float>(10, 1e-3f)), 10), 1e-6);
  EXPECT_EQ(determinantOf({0.0f}, 1), 1e-6);
  EXPECT_EQ(determinantOf({1e-20f}, 1), 1e-6);
  EXPECT_EQ(determinantOf({kNaN}, 1), 1e-6);
  // The product is tested with its sign: 1 - 1e-16 is not 1 in double.
  EXPECT_EQ(determinantOf({1e-16f}, 1), 1e-6);
  EXPECT_EQ(determinantOf({-1e-16f}, 1), static_cast<double>(-1e-16f));
}

// --------------------------------------------------------------------- inverse

TEST(PackedInversion, IdentityStaysExactlyIdentityTwice) {
  for (int d = 1; d <= 6; ++d) {
    Packed a = identity(d);
    invert(a, d);
    EXPECT_EQ(a, identity(d)) << "d=" << d;
    invert(a, d);
    EXPECT_EQ(a, identity(d)) << "d=" << d;
  }
}

TEST(PackedInversion, ExactResultsThroughPivotExchanges) {
  Packed a = diagonal({0.5f, 0.25f});
  invert(a, 2);
  EXPECT_EQ(a, diagonal({2.0f, 4.0f}));
  // diag(1, 2): pass 0 takes (1, 1) and exchanges rows and columns 0 and 1.
  a = diagonal({1.0f, 2.0f});
  invert(a, 2);
  EXPECT_EQ(a, diagonal({1.0f, 0.5f}));
  // Zero diagonal: only pivoting makes it invertible.
  a = {0, 2, 0, 0, 0, 4};
  invert(a, 3);
  EXPECT_EQ(a, Packed({0, 0.5f, 0, 0, 0, 0.25f}));
  // Pass 0 takes (0, 2): a column exchange alone, undone as a row exchange.
  a = {1, 0, 2, 3, 0, 1};
  invert(a, 3);
  const Packed expected = {-0.125f, 0, 0.5f, 0.375f, 0, -0.125f};
  for (size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], expected[i], 1e-7) << "entry " << i;
}

TEST(PackedInversion, RoundsAsItStores) {
  // |3| ties three times in pass 0; (0, 0) must win. Any other pivot gives
  // -0x1.555556p-3 in the first entry.
  Packed a = {3, 3, 1};
  invert(a, 2);
  EXPECT_EQ(a, Packed({-0x1.555554p-3f, 0.5f, -0.5f}));

  // Indefinite, pivots found both on and off the diagonal.
  const int d = 6;
  a.assign(d * (d + 1) / 2, 0.0f);
  for (int i = 0; i < d; ++i) {
    for (int j = 0; j < i; ++j) a[packedIndex(i, j)] = 1.0f / static_cast<float>(i + j + 1);
    a[packedIndex(i, i)] = (i % 2 ? 1.0f : -1.0f) * (0.25f + 0.125f * static_cast<float>(i));
  }
  invert(a, d);
  EXPECT_EQ(
      a, Packed({-0x1.171146p+0f, 0x1.792f62p+0f,  0x1.29d0acp-1f,  -0x1.ea6f60p-10f, 0x1.e6d11ep-1f,  -0x1.7ecb10p+0f,
                 -0x1.1bfb78p-5f, -0x1.0be134p+0f, 0x1.89bc4cp-4f,  0x1.ec0ffep+0f,   0x1.b0ddacp-6f,  0x1.e28574p-2f,
                 -0x1.a1f6d4p-5f, 0x1.5ba666p-4f,  -0x1.35c92ap+0f, -0x1.0019fcp-5f,  -0x1.bacb7ep-2f, 0x1.aceacap-5f,
                 -0x1.70e974p-4f, 0x1.b0e404p-5f,  0x1.37a2dap+0f}));
}

TEST(PackedInversion, ProductWithInputIsIdentity) {
  std::mt19937 rng(2024);
  for (int d = 1; d <= 12; ++d) {
    for (int trial = 0; trial < 4; ++trial) {
      // Includes covariances far below 1 and indefinite ones pivoted off the diagonal.
      const Packed a = trial == 0   ? randomSpd(d, rng)
                       : trial == 1 ? randomSpd(d, rng, 0.001)
                                    : randomPermutedIndefinite(d, rng);
      Packed x = a;
      invert(x, d);
      const double condition = frobenius(a, d) * frobenius(x, d);
      EXPECT_LT(productErrorFromIdentity(a, x, d), 8 * d * condition * 0x1p-24) << "d=" << d << " trial " << trial;
    }
  }
}

TEST(PackedInversion, InvertingTwiceGivesTheInputBack) {
  std::mt19937 rng(7);
  for (int d = 1; d <= 12; ++d) {
    const Packed a = randomSpd(d, rng);
    Packed x = a;
    invert(x, d);
    invert(x, d);
    for (size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(x[i], a[i], 1e-5 * frobenius(a, d)) << "d=" << d;
  }
}

TEST(PackedInversion, RunInvertsEachBlockOnItsOwn) {
  std::mt19937 rng(3);
  const int d = 4;
  const size_t block = d * (d + 1) / 2;
  Packed run;
  std::vector<Packed> singles;
  for (int b = 0; b < 3; ++b) {
    Packed m = b == 1 ? randomPermutedIndefinite(d, rng) : randomSpd(d, rng);
    run.insert(run.end(), m.begin(), m.end());
    invert(m, d);
    singles.push_back(m);
  }
  run.push_back(42.0f);  // beyond the run
  invert(run, d, 3);
  for (int b = 0; b < 3; ++b) EXPECT_EQ(Packed(run.begin() + b * block, run.begin() + (b + 1) * block), singles[b]);
  EXPECT_EQ(run.back(), 42.0f);

  const Packed before = run;
  invert(run, d, 0);
  EXPECT_EQ(run, before);
  invert(run, d, -1);
  EXPECT_EQ(run, before);
}

// ------------------------------------------------------------ eigenvectors

TEST(PackedOrientation, TwoByTwoRotation) {
  const float v = static_cast<float>(std::sqrt(0.5));
  Packed a = {2, 1, 2};
  std::vector<float> V = orient(a, 2, 0);
  EXPECT_EQ(V, std::vector<float>({v, v, -v, v}));  // columns (v, -v) and (v, v)
  EXPECT_EQ(a[0], 1.0f);
  EXPECT_EQ(a[2], 3.0f);
  EXPECT_GT(std::fabs(a[1]), 0.0f);  // the rotated pivot keeps its residue
  EXPECT_LE(std::fabs(a[1]), 1e-6f);

  a = {2, 1, 2};
  V = orient(a, 2, 1);
  EXPECT_EQ(V, std::vector<float>({-v, v, v, v}));  // first column negated
}

TEST(PackedOrientation, SortByAbsoluteValue) {
  Packed a = diagonal({3, 1});
  std::vector<float> V = orient(a, 2, 0);
  EXPECT_EQ(a, diagonal({1, 3}));
  EXPECT_EQ(V, std::vector<float>({0, 1, 1, 0}));
  EXPECT_FALSE(std::signbit(V[0]));  // a zero component is not negated

  // Equal absolute values keep their order.
  a = diagonal({2, -2});
  EXPECT_EQ(orient(a, 2, 0), std::vector<float>({1, 0, 0, 1}));
  EXPECT_EQ(a, diagonal({2, -2}));

  // A pair with a not-a-number is exchanged.
  a = diagonal({1, kNaN});
  EXPECT_EQ(orient(a, 2, 0), std::vector<float>({0, 1, 1, 0}));
  EXPECT_TRUE(std::isnan(a[0]));
  EXPECT_EQ(a[2], 1.0f);
}

TEST(PackedOrientation, NoRotationAtOrBelowThreshold) {
  Packed a = {1, 1e-6f, 2, 0, -1e-6f, 5};
  const Packed before = a;
  EXPECT_EQ(orient(a, 3, 0), std::vector<float>({1, 0, 0, 0, 1, 0, 0, 0, 1}));
  EXPECT_EQ(a, before);

  const float justAbove = std::nextafter(1e-6f, 1.0f);
  a = {1, justAbove, 5};
  orient(a, 2, 0);
  EXPECT_NE(a[1], justAbove);  // rotated
}

TEST(PackedOrientation, SingleDimension) {
  Packed a = {-5};
  EXPECT_EQ(orient(a, 1, 0), std::vector<float>({1}));
  EXPECT_EQ(a, Packed({-5}));
}

// Checks the decomposition of `original` found in `rotated` and V.
void expectEigenDecomposition(const Packed& original, const Packed& rotated, const std::vector<float>& V, int d,
                              int basedim) {
  const double scale = frobenius(original, d);
  for (int i = 0; i < d; ++i) {
    for (int j = 0; j < i; ++j) EXPECT_LE(std::fabs(at(rotated, i, j)), 1e-6) << i << "," << j;
  }
  for (int k = 0; k + 1 < d; ++k) EXPECT_LE(std::fabs(at(rotated, k, k)), std::fabs(at(rotated, k + 1, k + 1)));
  for (int k = 0; k < d; ++k) EXPECT_GE(V[basedim * d + k], 0.0f);
  for (int i = 0; i < d; ++i) {
    for (int j = 0; j < d; ++j) {
      double gram = 0, rebuilt = 0;
      for (int k = 0; k < d; ++k) {
        gram += static_cast<double>(V[k * d + i]) * V[k * d + j];
        rebuilt += static_cast<double>(V[i * d + k]) * at(rotated, k, k) * V[j * d + k];
      }
      EXPECT_NEAR(gram, i == j ? 1.0 : 0.0, 1e-5 * d) << "V^T V at " << i << "," << j;
      EXPECT_NEAR(rebuilt, at(original, i, j), 1e-5 * d * scale) << "V D V^T at " << i << "," << j;
    }
  }
}

TEST(PackedOrientation, ThreeByThreeExample) {
  const Packed original = {4, 1, 3, 0.5f, 0.2f, 2};
  Packed a = original;
  const std::vector<float> V = orient(a, 3, 0);
  expectEigenDecomposition(original, a, V, 3, 0);
  for (int i = 0; i < 3; ++i) EXPECT_GT(V[i * 3 + 2], 0.0f) << "principal axis component " << i;
  // The printed digits depend on every rounding of the rotations.
  EXPECT_EQ(std::vector<float>({a[0], a[2], a[5]}),
            std::vector<float>({0x1.e14d5ep+0f, 0x1.32fce8p+1f, 0x1.2e2e32p+2f}));
  EXPECT_EQ(V, std::vector<float>({0x1.031d86p-2f, 0x1.ed8434p-2f, 0x1.ad7faep-1f, -0x1.b5c502p-5f, -0x1.b7b444p-1f,
                                   0x1.04dff0p-1f, -0x1.ee94b2p-1f, 0x1.63db5ap-3f, 0x1.884f32p-3f}));
}

// Bits fixed by the rotation formulas: equal diagonal entries (sigma = +1),
// tied pivots (the first met wins), half differences a float cannot hold.
TEST(PackedOrientation, RoundsAsItStores) {
  Packed a = {2, 1, 2, 1, 1, 2};
  std::vector<float> V = orient(a, 3, 0);
  // The residues below the diagonal feed later rotations.
  EXPECT_EQ(a, Packed({1.0f, 0x1.0715a8p-53f, 1.0f, 0x1.fe05eep-55f, 0x1.8p-53f, 4.0f}));
  EXPECT_EQ(V, std::vector<float>({0x1.6a09e6p-1f, 0x1.a20bd6p-2f, 0x1.279a74p-1f, -0x1.6a09e6p-1f, 0x1.a20bd6p-2f,
                                   0x1.279a74p-1f, 0.0f, -0x1.a20bd8p-1f, 0x1.279a74p-1f}));

  a = fingerprintMatrix();
  V = orient(a, 8, 3);
  EXPECT_EQ(fingerprint(V), 0x5d74c43208e74251u);
  EXPECT_EQ(fingerprint(a), 0x8e0e24e88b57f8b6u);  // the rotation residues below the diagonal included
}

TEST(PackedOrientation, RandomPositiveDefiniteMatrices) {
  std::mt19937 rng(99);
  for (int d = 1; d <= 12; ++d) {
    for (int trial = 0; trial < 3; ++trial) {
      const Packed original = randomSpd(d, rng, trial == 2 ? 0.01 : 1.0);
      Packed a = original;
      const int basedim = static_cast<int>(rng() % d);
      const std::vector<float> V = orient(a, d, basedim);
      SCOPED_TRACE("d=" + std::to_string(d) + " trial " + std::to_string(trial));
      expectEigenDecomposition(original, a, V, d, basedim);

      // The three kernels agree: det = product of eigenvalues, det(A^-1) = 1/det(A).
      double eigenProduct = 1;
      for (int k = 0; k < d; ++k) eigenProduct *= at(a, k, k);
      const double det = determinantOf(original, d);
      EXPECT_NEAR(det / eigenProduct, 1.0, 1e-4);
      Packed inverse = original;
      invert(inverse, d);
      EXPECT_NEAR(det * determinantOf(inverse, d), 1.0, 1e-4);
    }
  }
}

// Inputs with overflow, infinities, not-a-numbers away from (1, 0) and
// subnormals: each call must come back with the search's stopping condition
// met, i.e. entry (1, 0) not a number or every number below the diagonal at
// most 1e-6.
TEST(PackedOrientation, ExtremeInputsTerminate) {
  const float tiny = std::numeric_limits<float>::denorm_min();
  const std::vector<std::pair<int, Packed>> cases = {
      {2, {3e38f, 3e38f, 3e38f}},                                // eigenvalue overflows to infinity
      {2, {kFloatMax, -kFloatMax, kFloatMax}},                   //
      {2, {kInf, 1, 2}},                                         // infinite diagonal entry
      {3, {1, 0.5f, 2, kInf, 1, 3}},                             // infinite pivot
      {4, {1, 0.5f, 2, 0.3f, 0.2f, 3, 0.1f, 0.4f, kNaN, 4}},     // not-a-number at (3, 2)
      {4, {1, 0.5f, 2, 0.3f, 0.2f, kNaN, 0.1f, 0.4f, 0.7f, 4}},  // not-a-number on the diagonal
      {3, {tiny, 1, -tiny, 1e-40f, 2, tiny}},                    // subnormals
      {4, {1e38f, -1e30f, 1e-20f, 1e20f, kFloatMax, -1, 3e38f, 1e-45f, -1e38f, 5e-39f}},  // mixed magnitudes
      {2, {kNaN, 1, 1}},  // NaN diagonal meets a finite pivot
  };
  for (const auto& [d, input] : cases) {
    Packed a = input;
    orient(a, d, d - 1);
    if (std::isnan(at(a, 1, 0))) continue;
    for (int i = 1; i < d; ++i) {
      for (int j = 0; j < i; ++j) {
        const double x = at(a, i, j);
        EXPECT_TRUE(std::isnan(x) || std::fabs(x) <= 1e-6) << "d=" << d << " (" << i << "," << j << ") = " << x;
      }
    }
  }
}

TEST(PackedOrientation, NotANumberAtFirstEntryStopsTheSearch) {
  Packed a = {3, kNaN, 1, 100, 200, 2};
  const std::vector<float> V = orient(a, 3, 0);
  EXPECT_EQ(at(a, 2, 0), 100.0f);  // never rotated
  EXPECT_EQ(at(a, 2, 1), 200.0f);
  EXPECT_EQ(V, std::vector<float>({0, 0, 1, 1, 0, 0, 0, 1, 0}));  // sorted: 1, 2, 3
}

}  // namespace
}  // namespace zelmor
