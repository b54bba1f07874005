// Choice of starting centres: reproducibility, sampling without replacement,
// uniformity, D-squared sampling that never repeats a point while distinct
// points remain, the data-file errors that stop it, and the column statistics
// behind standardisation and the warning about the data's scale.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/tool_support.h"
#include "seed/seeding.h"
#include "support/test_support.h"

namespace zelmor::tools {
namespace {

// N points of d values; point i holds i, 10 i, 100 i ... so its position can be read back.
std::string countingData(int N, int d) {
  std::string text;
  for (int i = 0; i < N; ++i) {
    double scale = 1.0;
    for (int j = 0; j < d; ++j, scale *= 10.0) text += std::to_string(i * scale) + (j + 1 < d ? "\t" : "\n");
  }
  return text;
}

Centres choose(SeedMethod method, const std::string& text, int32_t d, int32_t K, uint64_t seed) {
  PointStream in(d);
  in.openText(text);
  Rng rng(seed);
  return chooseCentres(method, in, "data.txt", K, rng);
}

std::string errorOf(SeedMethod method, const std::string& text, int32_t d, int32_t K) {
  try {
    choose(method, text, d, K, 1);
  } catch (const ToolError& e) {
    return e.what();
  }
  return "";
}

TEST(UniformSeeding, SameSeedSameCentresAndAnotherSeedOthers) {
  const std::string data = countingData(500, 3);
  const Centres a = choose(SeedMethod::Uniform, data, 3, 20, 42);
  const Centres b = choose(SeedMethod::Uniform, data, 3, 20, 42);
  const Centres c = choose(SeedMethod::Uniform, data, 3, 20, 43);
  EXPECT_EQ(a.positions, b.positions);
  EXPECT_EQ(a.values, b.values);
  EXPECT_NE(a.positions, c.positions);
  EXPECT_EQ(a.pointsRead, 500);
}

TEST(UniformSeeding, DistinctPointsInFileOrderWithTheirOwnValues) {
  const std::string data = countingData(40, 2);
  for (uint64_t seed = 0; seed < 50; ++seed) {
    const Centres c = choose(SeedMethod::Uniform, data, 2, 12, seed);
    ASSERT_EQ(c.positions.size(), 12u);
    for (size_t i = 0; i < c.positions.size(); ++i) {
      if (i > 0) {
        ASSERT_LT(c.positions[i - 1], c.positions[i]) << "seed " << seed;
      }
      EXPECT_EQ(c.values[2 * i], static_cast<float>(c.positions[i]));
      EXPECT_EQ(c.values[2 * i + 1], static_cast<float>(10 * c.positions[i]));
    }
  }
  // K = N takes every point once.
  const Centres all = choose(SeedMethod::Uniform, data, 2, 40, 7);
  for (int64_t i = 0; i < 40; ++i) EXPECT_EQ(all.positions[static_cast<size_t>(i)], i);
}

TEST(UniformSeeding, EveryPointIsEquallyLikely) {
  // 3 of 10 points, 4000 times: each point is expected 1200 times, with a
  // standard deviation of 29; a reservoir that favours early or late points
  // misses by far more.
  const std::string data = countingData(10, 1);
  std::vector<int> hits(10, 0);
  for (uint64_t seed = 0; seed < 4000; ++seed) {
    for (int64_t p : choose(SeedMethod::Uniform, data, 1, 3, seed).positions) ++hits[static_cast<size_t>(p)];
  }
  for (int p = 0; p < 10; ++p) EXPECT_NEAR(hits[static_cast<size_t>(p)], 1200, 150) << "point " << p;
}

// Six distinct points, each repeated 20 times, interleaved.
std::string repeatedData() {
  const char* rows[] = {"0 0", "1 0", "0 1", "5 5", "-3 2", "2 -4"};
  std::string text;
  for (int r = 0; r < 20; ++r) {
    for (const char* row : rows) text += std::string(row) + "\n";
  }
  return text;
}

TEST(DSquaredSeeding, NeverRepeatsAPointWhileDistinctPointsRemain) {
  const std::string data = repeatedData();
  for (uint64_t seed = 0; seed < 200; ++seed) {
    const Centres c = choose(SeedMethod::DSquared, data, 2, 6, seed);
    std::set<std::pair<float, float>> distinct;
    for (size_t i = 0; i < 6; ++i) distinct.insert({c.values[2 * i], c.values[2 * i + 1]});
    ASSERT_EQ(distinct.size(), 6u) << "seed " << seed;
    EXPECT_FALSE(c.ranOutOfDistinctPoints);
  }
  // Two more centres than distinct points: all six values, then repeats of
  // them at positions not yet taken, and a warning flag.
  const Centres c = choose(SeedMethod::DSquared, data, 2, 8, 3);
  std::set<int64_t> positions(c.positions.begin(), c.positions.end());
  std::set<std::pair<float, float>> distinct;
  for (size_t i = 0; i < 8; ++i) distinct.insert({c.values[2 * i], c.values[2 * i + 1]});
  EXPECT_EQ(positions.size(), 8u);
  EXPECT_EQ(distinct.size(), 6u);
  EXPECT_TRUE(c.ranOutOfDistinctPoints);
  EXPECT_EQ(countRepeatedCentres(c), 2);
}

TEST(DSquaredSeeding, FarPointsAreFavouredAndRunsRepeat) {
  // 60 points near the origin and one far away: D-squared sampling picks the
  // far one almost surely, where a uniform sample of 2 would rarely.
  std::string data;
  for (int i = 0; i < 60; ++i) data += std::to_string(0.001 * i) + " 0\n";
  data += "100 100\n";
  int farChosen = 0;
  for (uint64_t seed = 0; seed < 100; ++seed) {
    const Centres c = choose(SeedMethod::DSquared, data, 2, 2, seed);
    if (c.positions.back() == 60) ++farChosen;
  }
  EXPECT_EQ(farChosen, 100);
  EXPECT_EQ(choose(SeedMethod::DSquared, data, 2, 5, 9).positions,
            choose(SeedMethod::DSquared, data, 2, 5, 9).positions);
}

TEST(SeedingErrors, NameTheFileAndTheProblem) {
  for (SeedMethod method : {SeedMethod::Uniform, SeedMethod::DSquared}) {
    EXPECT_EQ(errorOf(method, countingData(4, 2), 2, 5),
              "data.txt: holds 4 points, fewer than the 5 centres asked for");
    EXPECT_EQ(errorOf(method, " \n\n", 2, 1), "data.txt: holds no points");
    EXPECT_EQ(errorOf(method, "1 2\n3 x\n", 2, 1), "data.txt: point 2, value 2 of 2 (line 2): \"x\" is not a number");
    EXPECT_EQ(errorOf(method, "1 2\n3 nan\n", 2, 1),
              "data.txt: point 2, value 2 of 2 (line 2): \"nan\" is not a finite number");
    EXPECT_EQ(errorOf(method, "1 2\n3 4\n5\n", 2, 1),
              "data.txt: the file ends inside point 3, value 2 of 2 (line 3); every point must hold #dimension "
              "numbers");
  }
}

TEST(CentreFile, NineSignificantDigitsWithoutATrailingTabAndExactRepeats) {
  Centres c;
  c.d = 2;
  c.positions = {0, 1, 2, 3};
  c.values = {1.5f, -2.0f, 1.0000001f, 3e-7f, 1.0000002f, 3e-7f, 1.0000001f, 3e-7f};
  test::TempDir dir;
  {
    TextWriter out;
    ASSERT_TRUE(out.open(dir.file("m.txt").c_str()));
    writeCentres(out, c);
    out.close();
  }
  EXPECT_EQ(test::readFile(dir.file("m.txt")),
            "1.5\t-2\n1.00000012\t3.00000011e-07\n1.00000024\t3.00000011e-07\n1.00000012\t3.00000011e-07\n");
  EXPECT_EQ(countRepeatedCentres(c), 1);  // the last repeats the second; the third differs in the last bit
}

TEST(ColumnStats, MeansScalesAndStandardisedValues) {
  // A large offset costs no digits; a constant column keeps scale 1 and becomes 0.
  ColumnStats s(3);
  for (float x : {1e6f + 1, 1e6f + 2, 1e6f + 3, 1e6f + 4}) {
    const float point[] = {x, 7.0f, -x / 1e6f};
    s.add(point);
  }
  EXPECT_EQ(s.count(), 4);
  EXPECT_DOUBLE_EQ(s.mean(0), 1e6 + 2.5);
  EXPECT_DOUBLE_EQ(s.sd(0), std::sqrt(1.25));
  EXPECT_EQ(s.sd(1), 0.0);
  EXPECT_EQ(s.scale(1), 1.0);
  EXPECT_EQ(s.standardise(1, 7.0f), 0.0f);
  EXPECT_FLOAT_EQ(s.standardise(0, 1e6f + 4), static_cast<float>(1.5 / std::sqrt(1.25)));
  EXPECT_EQ(s.widest(), 0u);
  EXPECT_NEAR(s.spread(false), std::sqrt(1.25 + 1.25e-12), 1e-9);
  EXPECT_EQ(s.spread(true), std::sqrt(2.0));  // two columns that vary
}

TEST(ColumnStats, CentresInStandardisedUnitsAreThoseOfTheirPoints) {
  const std::string data = countingData(30, 3);
  for (SeedMethod method : {SeedMethod::Uniform, SeedMethod::DSquared}) {
    const Centres raw = choose(method, data, 3, 5, 4);
    PointStream in(3);
    in.openText(data);
    Rng rng(4);
    const Centres c = chooseCentres(method, in, "data.txt", 5, rng, true);
    EXPECT_TRUE(c.standardised);
    if (method == SeedMethod::Uniform) {
      EXPECT_EQ(c.positions, raw.positions);  // units do not change the draw
    }
    for (size_t i = 0; i < 5; ++i) {
      const float p = static_cast<float>(c.positions[i]);
      EXPECT_EQ(c.values[3 * i], c.stats.standardise(0, p));
      EXPECT_EQ(c.values[3 * i + 2], c.stats.standardise(2, 100 * p));
    }
  }
}

TEST(ColumnStats, StandardisedCopyAndScaleFile) {
  test::TempDir dir;
  const std::string data = "1 10 5\n3 30 5\n";
  PointStream first(3);
  first.openText(data);
  Rng rng(1);
  const Centres c = chooseCentres(SeedMethod::Uniform, first, "data.txt", 1, rng, true);
  PointStream again(3);
  again.openText(data);
  TextWriter copy, scales;
  ASSERT_TRUE(copy.open(dir.file("z.txt").c_str()));
  ASSERT_TRUE(scales.open(dir.file("z.txt.scale").c_str()));
  writeStandardised(again, "data.txt", c.stats, copy);
  writeScales(scales, c.stats);
  copy.close();
  scales.close();
  EXPECT_EQ(test::readFile(dir.file("z.txt")), "-1\t-1\t0\n1\t1\t0\n");
  EXPECT_EQ(test::readFile(dir.file("z.txt.scale")), "2\t20\t5\n1\t10\t1\n");

  PointStream changed(3);
  changed.openText(data + "5 50 5\n");
  TextWriter other;
  ASSERT_TRUE(other.open(dir.file("y.txt").c_str()));
  EXPECT_THROW(writeStandardised(changed, "data.txt", c.stats, other), ToolError);
  other.abandon();
}

TEST(SpreadWarning, OnlyFarOutsideTheWorkableRange) {
  // Points +-s in every one of d columns: a spread of s * sqrt(d).
  struct Case {
    double s;
    int d;
    bool standardise;
    const char* expected;  // a part of the warning, or "" for none
  };
  const Case cases[] = {
      {0.01, 2, false, "lie 0.0141 from their mean (root mean square; widest: dimension 0, standard deviation 0.01)"},
      {0.01, 2, false, "below it the microclusters collapse into one mean.\n"},
      {0.01, 2, false, "or multiply every value by about 200.\n"},
      {0.4, 2, false, ""},
      {3, 10, false, ""},
      {14, 2, false, ""},
      {300, 4, false, "beyond it many points may lie out of reach of every microcluster.\n"},
      {300, 4, false,
       "run again with --standardize FILE and give zelmor FILE and these centres, or divide every "
       "value by about 200.\n"},
      {300, 4, true, ""},
      {1e5, 1, false, "divide every value by about 50000.\n"},
      {1, 500, true, "the standardised points of data.txt lie 22.4 from their mean (root mean square).\n"},
      {1, 500, true, "divide every value of z.txt and of the centres by about 10, or use fewer columns.\n"},
  };
  for (const Case& c : cases) {
    std::string data;
    for (int sign : {-1, 1}) {
      for (int j = 0; j < c.d; ++j) data += std::to_string(sign * c.s) + (j + 1 < c.d ? " " : "\n");
    }
    PointStream in(c.d);
    in.openText(data);
    Rng rng(1);
    const std::string warning =
        spreadWarning(chooseCentres(SeedMethod::Uniform, in, "data.txt", 1, rng, c.standardise), "data.txt", "z.txt");
    if (*c.expected == '\0') {
      EXPECT_EQ(warning, "") << c.s << " x " << c.d;
    } else {
      EXPECT_NE(warning.find(c.expected), std::string::npos) << warning;
      EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 3) << warning;
    }
  }
}

}  // namespace
}  // namespace zelmor::tools
