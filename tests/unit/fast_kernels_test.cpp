// The fast kernels against their plain twins, in the table of every
// instruction set this processor runs: the same bits on random inputs, sizes
// that are not multiples of the vector width, zeros, and points that no
// microcluster reaches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "fit/density_bounds.h"
#include "fit/needed_densities.h"
#include "kernels/density_constants.h"
#include "kernels/e_step_kernels.h"
#include "kernels/e_step_wide.h"
#include "kernels/expand_kernels.h"
#include "kernels/kernel_table.h"
#include "runtime/thread_pool.h"

namespace zelmor {
namespace {

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(KernelTable, ChoosesTheRequestedSetOrTheBestWithAWarning) {
  const std::vector<Isa> supported = supportedIsas();
  ASSERT_EQ(supported.front(), Isa::Scalar);
  for (const Isa isa : supported) {
    EXPECT_EQ(kernelTable(isa).isa, isa);
    const IsaChoice choice = chooseIsa(isaName(isa));
    EXPECT_EQ(choice.isa, isa);
    EXPECT_EQ(choice.warning, "");
  }
  struct Case {
    const char* requested;
    bool warns;
  };
  for (const Case c : {Case{nullptr, false}, Case{"", false}, Case{"avx1024", true}, Case{"AVX2", true}}) {
    const IsaChoice choice = chooseIsa(c.requested);
    EXPECT_EQ(choice.isa, bestIsa());
    EXPECT_EQ(choice.warning.empty(), !c.warns) << choice.warning;
  }
}

// A random symmetric positive definite matrix, packed, with eigenvalues spread
// over `spread` orders of magnitude (elongated microclusters).
std::vector<float> randomInverse(int d, double spread, std::mt19937& random) {
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> B(static_cast<size_t>(d) * d);
  for (double& v : B) v = normal(random);
  // Gram-Schmidt for an orthonormal basis.
  for (int i = 0; i < d; ++i) {
    for (int k = 0; k < i; ++k) {
      double dot = 0;
      for (int r = 0; r < d; ++r) dot += B[r * d + i] * B[r * d + k];
      for (int r = 0; r < d; ++r) B[r * d + i] -= dot * B[r * d + k];
    }
    double norm = 0;
    for (int r = 0; r < d; ++r) norm += B[r * d + i] * B[r * d + i];
    for (int r = 0; r < d; ++r) B[r * d + i] /= std::sqrt(norm);
  }
  std::vector<double> lambda(d);
  for (double& l : lambda) l = std::pow(10.0, spread * unit(random));
  std::vector<float> packed;
  for (int i = 0; i < d; ++i) {
    for (int j = 0; j <= i; ++j) {
      double v = 0;
      for (int k = 0; k < d; ++k) v += B[i * d + k] * lambda[k] * B[j * d + k];
      packed.push_back(static_cast<float>(v));
    }
  }
  return packed;
}

TEST(WideKernels, DensitiesMatchThePlainKernel) {
  for (const Isa isa : supportedIsas()) {
    const KernelTable& kernels = kernelTable(isa);
    std::mt19937 random(11);
    std::uniform_real_distribution<float> coordinate(-3.0f, 3.0f);
    for (int d = 1; d <= 13; ++d) {
      std::vector<double> full(static_cast<size_t>(d) * d);
      std::vector<double> lanes(static_cast<size_t>(d) * kDensityLanes);
      std::vector<float> t(d);
      for (int trial = 0; trial < 40; ++trial) {
        const std::vector<float> inverse = randomInverse(d, 3.0, random);
        std::vector<float> mean(d);
        for (float& v : mean) v = coordinate(random);
        widenInverse(inverse.data(), d, full.data());
        const float normaliser = trial % 3 == 0 ? 1.0f : 0.37f;
        for (int count = 1; count <= kDensityLanes; ++count) {
          std::vector<std::vector<float>> points(count, std::vector<float>(d));
          const float* pointers[kDensityLanes];
          for (int l = 0; l < count; ++l) {
            for (float& v : points[l]) v = trial % 5 == 0 ? mean[&v - points[l].data()] : coordinate(random);
            pointers[l] = points[l].data();
          }
          // The same points picked out, and read in order from columns.
          float wide[kDensityLanes], fromColumns[kDensityLanes];
          kernels.pointDensities(pointers, count, mean.data(), full.data(), normaliser, d, wide, lanes.data());
          std::vector<float> columns(static_cast<size_t>(d) * kDensityLanes, 0.0f);
          for (int l = 0; l < count; ++l) {
            for (int i = 0; i < d; ++i) columns[i * kDensityLanes + l] = points[l][i];
          }
          kernels.columnDensities(columns.data(), kDensityLanes, count, mean.data(), full.data(), normaliser, d,
                                  fromColumns, lanes.data());
          for (int l = 0; l < count; ++l) {
            const float plain = pointDensity(pointers[l], mean.data(), inverse.data(), normaliser, d, t.data());
            ASSERT_TRUE(sameBits(wide[l], plain) && sameBits(fromColumns[l], plain))
                << isaName(isa) << " d=" << d << " lane " << l << ": " << wide[l] << ", " << fromColumns[l] << " vs "
                << plain;
          }
        }
      }
    }
  }
}

// The vector exponential stands in for the C library's only where the float
// density is pinned: forms across the whole range up to past the cut-off,
// normalisers that move the underflow, overflow the quotient or are not a
// number, through both density kernels.
TEST(WideKernels, DensitiesFromTheVectorExponentialMatchThePlainKernels) {
  const float normalisers[] = {
      1.0f, 0.37f, 1e-30f, 3e38f, 1e-45f, 0.0f, -2.0f, std::numeric_limits<float>::infinity(), std::nanf("")};
  constexpr int d = 3;
  std::vector<double> full(d * d), lanes(d * kDensityLanes);
  const std::vector<float> identity = {1.0f, 0.0f, 1.0f, 0.0f, 0.0f, 1.0f};
  widenInverse(identity.data(), d, full.data());
  std::vector<float> t(d), mean = {0.25f, -1.0f, 3.0f};
  std::mt19937 random(17);
  std::uniform_real_distribution<float> form(0.0f, 700.0f);
  for (const Isa isa : supportedIsas()) {
    const KernelTable& kernels = kernelTable(isa);
    for (const float normaliser : normalisers) {
      for (int trial = 0; trial < 3000; ++trial) {
        float points[kDensityLanes][d];
        const float* pointers[kDensityLanes];
        const int count = 1 + trial % kDensityLanes;
        for (int l = 0; l < count; ++l) {
          const float r = std::sqrt(form(random) / 3.0f);
          for (int i = 0; i < d; ++i) points[l][i] = mean[i] + (i == l % d ? -r : r);
          pointers[l] = points[l];
        }
        float general[kDensityLanes], unit[kDensityLanes], unitColumns[kDensityLanes];
        kernels.pointDensities(pointers, count, mean.data(), full.data(), normaliser, d, general, lanes.data());
        kernels.identityDensities(pointers, count, mean.data(), normaliser, d, unit, lanes.data());
        float columns[d * kDensityLanes] = {};
        for (int l = 0; l < count; ++l) {
          for (int i = 0; i < d; ++i) columns[i * kDensityLanes + l] = points[l][i];
        }
        kernels.columnIdentityDensities(columns, kDensityLanes, count, mean.data(), normaliser, d, unitColumns);
        for (int l = 0; l < count; ++l) {
          const float plain = pointDensity(pointers[l], mean.data(), identity.data(), normaliser, d, t.data());
          ASSERT_TRUE(sameBits(general[l], plain) && sameBits(unit[l], plain) && sameBits(unitColumns[l], plain))
              << isaName(isa) << " normaliser " << normaliser << ": " << general[l] << ", " << unit[l] << ", "
              << unitColumns[l] << " vs " << plain;
        }
      }
    }
  }
}

// The counted ranking against the sort: lengths around the vector width and
// the counting limit, all values distinct, many equal (the full rule), and a
// zero among them (the sort then takes over).
TEST(WideKernels, RankingMatchesTheSort) {
  struct Case {
    int64_t n;
    int distinctValues;  // 0: any float in (0, 1]
    bool withZero;
  };
  const Case cases[] = {{0, 0, false},   {1, 0, false},   {7, 0, false},   {8, 3, false},
                        {9, 0, false},   {100, 0, false}, {100, 5, false}, {128, 2, false},
                        {129, 0, false}, {200, 4, false}, {50, 0, true}};
  std::mt19937 random(18);
  for (const Isa isa : supportedIsas()) {
    for (const Case& c : cases) {
      for (int trial = 0; trial < 20; ++trial) {
        std::vector<int32_t> ids(300);
        std::iota(ids.begin(), ids.end(), 0);
        std::shuffle(ids.begin(), ids.end(), random);
        std::vector<float> values(c.n);
        for (float& v : values) {
          v = c.distinctValues == 0 ? std::uniform_real_distribution<float>(1e-30f, 1.0f)(random)
                                    : 0.125f * (1 + static_cast<int>(random() % c.distinctValues));
        }
        if (c.withZero) values[c.n / 2] = 0.0f;
        std::vector<float> fastValues(c.n), plainValues(c.n);
        std::vector<int32_t> fastIds(c.n), plainIds(c.n);
        kernelTable(isa).rankAscending(values.data(), ids.data(), c.n, fastValues.data(), fastIds.data());
        kernelTable(Isa::Scalar).rankAscending(values.data(), ids.data(), c.n, plainValues.data(), plainIds.data());
        ASSERT_EQ(fastIds, plainIds) << isaName(isa) << " n=" << c.n;
        ASSERT_EQ(fastValues, plainValues) << isaName(isa) << " n=" << c.n;
        ASSERT_TRUE(std::is_sorted(plainValues.begin(), plainValues.end()));
      }
    }
  }
}

// Responsibilities from densities: every length up to two vectors and more,
// sums that make the quotients overflow, underflow or come out subnormal.
TEST(WideKernels, DividedSharesMatchThePlainKernel) {
  std::mt19937 random(19);
  std::uniform_real_distribution<float> density(0.0f, 1.0f);
  for (const Isa isa : supportedIsas()) {
    for (const double sum : {1.0, 3.7, 1e-300, 1e300, 1e-40, 1e45}) {
      for (int64_t count = 0; count <= 19; ++count) {
        std::vector<float> fast(count), plain(count);
        for (int64_t i = 0; i < count; ++i) fast[i] = plain[i] = i % 5 == 4 ? 3e38f : density(random);
        kernelTable(isa).divideShares(fast.data(), count, sum);
        kernelTable(Isa::Scalar).divideShares(plain.data(), count, sum);
        for (int64_t i = 0; i < count; ++i) ASSERT_TRUE(sameBits(fast[i], plain[i])) << isaName(isa) << " " << sum;
      }
    }
  }
}

// Co-sharing rows: every length up to two vectors and more, levels and
// products from subnormal to near overflow.
TEST(WideKernels, RowProductsMatchThePlainKernel) {
  std::mt19937 random(23);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (const Isa isa : supportedIsas()) {
    for (const double factor : {0.5, 1e-30, 3e38, 1e-45}) {
      for (int64_t count = 0; count <= 19; ++count) {
        std::vector<float> fast(count), plain(count);
        std::vector<double> values(count);
        for (int64_t k = 0; k < count; ++k) {
          fast[k] = plain[k] = k % 3 == 0 ? 0.0f : unit(random) * (k % 4 == 1 ? 1e-40f : 2e38f);
          values[k] = k % 5 == 2 ? 0.0 : unit(random);
        }
        kernelTable(isa).addRowProducts(fast.data(), values.data(), count, factor);
        kernelTable(Isa::Scalar).addRowProducts(plain.data(), values.data(), count, factor);
        for (int64_t k = 0; k < count; ++k) ASSERT_TRUE(sameBits(fast[k], plain[k])) << isaName(isa) << " " << factor;
      }
    }
  }
}

TEST(IdentityDensity, MatchesTheFullFormWithAnIdentityInverse) {
  std::mt19937 random(15);
  std::uniform_real_distribution<float> coordinate(-12.0f, 12.0f);
  for (int d = 1; d <= 12; ++d) {
    std::vector<float> identity(d * (d + 1) / 2, 0.0f), t(d), x(d), mean(d);
    for (int i = 0; i < d; ++i) identity[i * (i + 3) / 2] = 1.0f;
    ASSERT_TRUE(isIdentity(identity.data(), d));
    for (int n = 0; n < 500; ++n) {
      for (int i = 0; i < d; ++i) {
        x[i] = coordinate(random);
        mean[i] = n % 9 == 0 ? x[i] : coordinate(random);  // zero differences too
      }
      const float normaliser = n % 2 ? 1.0f : 0.25f;
      ASSERT_TRUE(sameBits(identityDensity(x.data(), mean.data(), normaliser, d),
                           pointDensity(x.data(), mean.data(), identity.data(), normaliser, d, t.data())));
    }
    identity[0] = 0.999f;
    EXPECT_FALSE(isIdentity(identity.data(), d));
  }
}

TEST(WideKernels, AccumulationMatchesThePlainKernel) {
  std::mt19937 random(12);
  std::uniform_real_distribution<float> coordinate(-5.0f, 5.0f);
  std::uniform_real_distribution<float> share(0.0f, 1.0f);
  int packedRuns = 0;
  for (const Isa isa : supportedIsas()) {
    for (int d = 1; d <= 18; ++d) {
      const int packed = d * (d + 1) / 2;
      std::vector<float> mean(d), uXPlain(d, 0.0f), uXWide(d, 0.0f), t(d);
      std::vector<float> scatterPlain(packed, 0.0f), scatterWide(packed, 0.0f);
      float wPlain = 0.0f, wWide = 0.0f;
      for (float& v : mean) v = coordinate(random);
      WideAccumulator acc(d, kernelTable(isa));
      packedRuns += acc.usesPackedOrder();
      for (int run = 0; run < 3; ++run) {
        // Sums carried over from an earlier run of points, as between blocks.
        acc.load(uXWide.data(), wWide, scatterWide.data());
        // Points one at a time and in runs of every length up to 13.
        std::vector<std::vector<float>> pending;
        std::vector<float> shares;
        auto flush = [&] {
          std::vector<const float*> batch;
          for (const auto& p : pending) batch.push_back(p.data());
          acc.addRun(batch.data(), shares.data(), static_cast<int64_t>(batch.size()), mean.data());
          pending.clear();
          shares.clear();
        };
        for (int n = 0; n < 100; ++n) {
          std::vector<float> x(d);
          for (float& v : x) v = coordinate(random);
          const float r = n % 7 == 0 ? 1e-30f : share(random);
          accumulatePoint(x.data(), mean.data(), r, d, t.data(), uXPlain.data(), wPlain, scatterPlain.data());
          if (n % 3 == 0) {
            flush();
            acc.add(x.data(), mean.data(), r);
            continue;
          }
          pending.push_back(x);
          shares.push_back(r);
          if (pending.size() == static_cast<size_t>(1 + n % 13)) flush();
        }
        flush();
        acc.store(uXWide.data(), wWide, scatterWide.data());
      }
      ASSERT_TRUE(sameBits(wPlain, wWide));
      for (int i = 0; i < d; ++i) ASSERT_TRUE(sameBits(uXPlain[i], uXWide[i])) << "d=" << d;
      for (int i = 0; i < packed; ++i) {
        ASSERT_TRUE(sameBits(scatterPlain[i], scatterWide[i])) << isaName(isa) << " d=" << d << " " << i;
      }
    }
  }
  // Up to 16 dimensions the 512-bit table packs the sums, up to 8 the 256-bit one.
  int expectedPacked = 0;
  for (const Isa isa : supportedIsas()) expectedPacked += isa == Isa::Avx512 ? 16 : isa == Isa::Avx2 ? 8 : 0;
  EXPECT_EQ(packedRuns, expectedPacked);
}

TEST(SkipBound, NeverSkipsADensityThatIsNotZero) {
  std::mt19937 random(13);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<double> scratch;
  int skipped = 0;
  for (int d = 1; d <= 9; ++d) {
    std::vector<float> t(d);
    for (int trial = 0; trial < 60; ++trial) {
      const std::vector<float> inverse = randomInverse(d, trial % 2 == 0 ? 1.0 : 4.0, random);
      const float normaliser = trial % 3 == 0 ? 1.0f : (trial % 3 == 1 ? 1e-3f : 40.0f);
      std::vector<float> axis(d);
      const SkipBound bound = makeSkipBound(inverse.data(), normaliser, d, axis.data(), scratch);
      std::vector<float> mean(d, 0.0f);
      for (int n = 0; n < 400; ++n) {
        // Points at every distance, many close to where densities vanish.
        const float scale = std::pow(10.0f, 2.0f * unit(random));
        std::vector<float> x(d);
        for (float& v : x) v = scale * unit(random);
        float length = 0.0f, projection = 0.0f;
        for (int j = 0; j < d; ++j) {
          length += x[j] * x[j];
          projection += axis[j] * x[j];
        }
        if (!isSurelyZero(length, projection, bound)) continue;
        ++skipped;
        ASSERT_EQ(pointDensity(x.data(), mean.data(), inverse.data(), normaliser, d, t.data()), 0.0f)
            << "d=" << d << " trial " << trial;
      }
    }
  }
  EXPECT_GT(skipped, 10000);  // the bound does skip
}

// K microclusters with random elongated inverses and means in [-5, 5]^d.
struct RandomTable {
  std::vector<float> means, axes;
  std::vector<SkipBound> bounds;
  SkipTable table;
};

RandomTable randomTable(int K, int d, std::mt19937& random, float meanSpread = 5.0f) {
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<double> scratch;
  RandomTable r{std::vector<float>(K * d), std::vector<float>(K * d), std::vector<SkipBound>(K), {}};
  for (int k = 0; k < K; ++k) {
    const std::vector<float> inverse = randomInverse(d, 2.0, random);
    // Normalisers of both sizes move the threshold below the cut-off.
    r.bounds[k] = makeSkipBound(inverse.data(), k % 2 == 0 ? 1.0f : 1e30f, d, r.axes.data() + k * d, scratch);
    for (int j = 0; j < d; ++j) r.means[k * d + j] = meanSpread * unit(random);
  }
  buildSkipTable(r.means.data(), r.axes.data(), r.bounds.data(), K, d, r.table);
  return r;
}

bool singleTestSkips(const float* x, const RandomTable& r, int k, int d) {
  float length = 0.0f, projection = 0.0f;
  for (int j = 0; j < d; ++j) {
    const float diff = x[j] - r.means[k * d + j];
    length += diff * diff;
    projection += r.axes[k * d + j] * diff;
  }
  return isSurelyZero(length, projection, r.bounds[k]);
}

TEST(SkipTable, TheVectorTestFindsWhatTheSingleTestFinds) {
  std::mt19937 random(16);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  for (int d : {1, 3, 8}) {
    for (int K : {1, 7, 8, 13, 31, 32, 33, 40, 100}) {
      const RandomTable r = randomTable(K, d, random);
      std::vector<int32_t> fast(K);
      for (int n = 0; n < 200; ++n) {
        std::vector<float> x(d);
        for (float& v : x) v = 30.0f * unit(random);
        std::vector<int32_t> expected;
        for (int k = 0; k < K; ++k) {
          if (!singleTestSkips(x.data(), r, k, d)) expected.push_back(k);
        }
        for (const Isa isa : supportedIsas()) {
          const int64_t count = kernelTable(isa).collectNeededDensities(x.data(), r.table, fast.data());
          ASSERT_EQ(std::vector<int32_t>(fast.begin(), fast.begin() + count), expected)
              << isaName(isa) << " d=" << d << " K=" << K;
        }
      }
    }
  }
}

TEST(SkipTable, ASelectionTestsItsMicroclustersAsTheWholeTableDoes) {
  std::mt19937 random(17);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  const RandomTable r = randomTable(45, 5, random);
  const std::vector<int32_t> ids = {2, 3, 5, 8, 13, 21, 34, 44, 0};
  SkipTable part;
  selectSkipTable(r.table, ids.data(), static_cast<int64_t>(ids.size()), part);
  std::vector<int32_t> found(ids.size());
  for (int n = 0; n < 300; ++n) {
    std::vector<float> x(5);
    for (float& v : x) v = 10.0f * unit(random);
    const int64_t count = kernelTable(bestIsa()).collectNeededDensities(x.data(), part, found.data());
    std::vector<int32_t> expected;
    for (size_t i = 0; i < ids.size(); ++i) {
      if (!singleTestSkips(x.data(), r, ids[i], 5)) expected.push_back(static_cast<int32_t>(i));
    }
    ASSERT_EQ(std::vector<int32_t>(found.begin(), found.begin() + count), expected);
  }
}

// Points around a centre, some pushed out to the ball's edge, at scales from
// far inside a microcluster to far beyond it.
std::vector<float> randomGroup(int count, int d, const std::vector<float>& centre, float spread, std::mt19937& random) {
  std::normal_distribution<float> normal;
  std::vector<float> points(static_cast<size_t>(count) * d);
  for (int i = 0; i < count; ++i) {
    for (int j = 0; j < d; ++j) points[i * d + j] = centre[j] + spread * normal(random);
  }
  return points;
}

TEST(PointBall, RulesOutOnlyWhatTheTestOfEveryPointInItRulesOut) {
  std::mt19937 random(18);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  int64_t ruledOut = 0;
  for (int d : {1, 2, 5, 8}) {
    const int K = 40;
    for (int trial = 0; trial < 30; ++trial) {
      const float scale = std::pow(10.0f, 3.0f * unit(random));
      const RandomTable r = randomTable(K, d, random, 5.0f * scale);
      std::vector<double> scratch(2 * K);
      std::vector<int32_t> survivors(K);
      for (int g = 0; g < 20; ++g) {
        std::vector<float> centre(d);
        const int around = static_cast<int>(random() % K);
        for (int j = 0; j < d; ++j) centre[j] = r.means[around * d + j] + scale * unit(random);
        const int count = 1 + static_cast<int>(random() % 64);
        std::vector<float> points = randomGroup(count, d, centre, scale * std::pow(10.0f, unit(random)), random);
        std::vector<int32_t> members(count);
        for (int i = 0; i < count; ++i) members[i] = i;
        PointBall ball;
        makePointBall(points.data(), members.data(), count, d, ball);
        // Float points on the ball's edge (within rounding) join the group's.
        for (int e = 0; e < 8; ++e) {
          std::vector<double> direction(d);
          double norm = 0.0;
          for (double& v : direction) {
            v = unit(random);
            norm += v * v;
          }
          for (int j = 0; j < d; ++j) {
            points.push_back(
                static_cast<float>(ball.center[j] + ball.radius * (1.0 - 1e-6) * direction[j] / std::sqrt(norm)));
          }
        }
        const int64_t kept = ballSurvivors(ball, r.table, survivors.data(), scratch.data());
        ASSERT_TRUE(std::is_sorted(survivors.begin(), survivors.begin() + kept));
        std::vector<uint8_t> survived(K, 0);
        for (int64_t i = 0; i < kept; ++i) survived[survivors[i]] = 1;
        for (int k = 0; k < K; ++k) {
          if (survived[k] != 0) continue;
          ++ruledOut;
          for (size_t i = 0; i < points.size() / d; ++i) {
            ASSERT_TRUE(singleTestSkips(points.data() + i * d, r, k, d)) << "d=" << d << " trial " << trial;
          }
        }
      }
    }
  }
  EXPECT_GT(ruledOut, 5000);  // the ball test does rule out
}

TEST(PointBall, KeepsEveryMicroclusterItCannotBound) {
  std::mt19937 random(19);
  RandomTable r = randomTable(9, 3, random);
  // A bound that never skips, thresholds below 1 and scales large enough to
  // overflow the float test: none of them may be ruled out by a ball.
  r.bounds[0] = SkipBound{};
  r.bounds[1].threshold = 0.5f;
  r.bounds[2].lengthScale = 1e37f;
  buildSkipTable(r.means.data(), r.axes.data(), r.bounds.data(), 9, 3, r.table);
  PointBall ball;
  ball.center = {1e30, -1e30, 1e30};
  ball.radius = 1.0;
  std::vector<double> scratch(18);
  std::vector<int32_t> survivors(9);
  const int64_t kept = ballSurvivors(ball, r.table, survivors.data(), scratch.data());
  ASSERT_GE(kept, 3);
  EXPECT_EQ(std::vector<int32_t>(survivors.begin(), survivors.begin() + 3), (std::vector<int32_t>{0, 1, 2}));
}

TEST(NeededDensities, FindsTheSameMicroclustersAsTestingEveryPointAgainstTheWholeTable) {
  std::mt19937 random(20);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  int longLists = 0;
  const KernelTable& plainKernels = kernelTable(Isa::Scalar);
  for (int threads : {1, 3}) {
    ThreadPool pool(threads);
    const KernelTable& kernels = kernelTable(threads == 1 ? Isa::Scalar : bestIsa());
    for (int d : {2, 6}) {
      const int K = 37;
      const RandomTable r = randomTable(K, d, random);
      const int count = 3000;
      std::vector<float> points(count * d);
      std::vector<uint8_t> safe(count, 1);
      std::vector<int16_t> near(count);
      for (int p = 0; p < count; ++p) {
        const int around = static_cast<int>(random() % K);
        const float spread = p % 10 == 0 ? 20.0f : 0.7f;
        for (int j = 0; j < d; ++j) points[p * d + j] = r.means[around * d + j] + spread * unit(random);
        // Right, wrong and missing hints, and points with a coordinate that
        // is not a number.
        near[p] = static_cast<int16_t>(p % 7 == 0 ? -1 : (p % 5 == 0 ? random() % K : around));
        if (p % 97 == 0) {
          points[p * d] = NAN;
          safe[p] = 0;
        }
      }
      NeededDensities needed(r.table, pool.threadCount(), kernels);
      needed.find(points.data(), safe.data(), near.data(), count, pool);
      std::vector<int32_t> expected(K);
      for (int p = 0; p < count; ++p) {
        ASSERT_EQ(needed.all(p), safe[p] == 0);
        if (safe[p] == 0) continue;
        longLists += needed.size(p) > 15;
        const int64_t n = plainKernels.collectNeededDensities(points.data() + p * d, r.table, expected.data());
        ASSERT_EQ(std::vector<int32_t>(needed.ids(p), needed.ids(p) + needed.size(p)),
                  std::vector<int32_t>(expected.begin(), expected.begin() + n))
            << "point " << p << " d=" << d;
      }
    }
  }
  EXPECT_GT(longLists, 10);  // lists longer than a point's own slot
}

// A microcluster of enormous variance still reaches points whose squared
// distance overflows a float: the test must not read the infinity as a proof.
TEST(SkipTable, NeverSkipsWhereTheSquaredLengthOverflows) {
  struct Case {
    float inverse, x;
  };
  const Case cases[] = {{1e-37f, 2e19f}, {3e-39f, -3e19f}, {1e-40f, 1e20f}, {2e-45f, 3e19f}};
  std::vector<double> scratch;
  for (const Case& c : cases) {
    const float normaliser = static_cast<float>(std::sqrt(kGaussBase / c.inverse));
    const float mean = 0.0f;
    float t = 0.0f;
    ASSERT_NE(pointDensity(&c.x, &mean, &c.inverse, normaliser, 1, &t), 0.0f) << c.x;
    for (const int K : {1, 9, 33}) {
      std::vector<float> means(K, 0.0f), axes(K);
      std::vector<SkipBound> bounds(K);
      for (int k = 0; k < K; ++k) bounds[k] = makeSkipBound(&c.inverse, normaliser, 1, axes.data() + k, scratch);
      SkipTable table;
      buildSkipTable(means.data(), axes.data(), bounds.data(), K, 1, table);
      std::vector<int32_t> needed(K);
      for (const Isa isa : supportedIsas()) {
        EXPECT_EQ(kernelTable(isa).collectNeededDensities(&c.x, table, needed.data()), K) << isaName(isa) << c.x;
      }
      EXPECT_FALSE(isSurelyZero(std::numeric_limits<float>::infinity(), 0.0f, bounds[0]));
    }
  }
}

TEST(SkipBound, NeverSkipsForMatricesItCannotBound) {
  std::vector<double> scratch;
  float axis[2];
  const float nanMatrix[3] = {1.0f, NAN, 1.0f};
  const float negative[3] = {-1.0f, 0.5f, -2.0f};
  for (const float* inverse : {nanMatrix, negative}) {
    const SkipBound bound = makeSkipBound(inverse, 1.0f, 2, axis, scratch);
    EXPECT_FALSE(isSurelyZero(1e30f, 0.0f, bound));
  }
}

}  // namespace
}  // namespace zelmor
