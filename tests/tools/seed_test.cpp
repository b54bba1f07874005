// Choice of starting centres: reproducibility, sampling without replacement,
// uniformity, D-squared sampling that never repeats a point while distinct
// points remain, and the data-file errors that stop it.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/tool_support.h"
#include "seed/seeding.h"

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

TEST(CentreFile, RepeatsAreSeenAtSixDecimals) {
  Centres c;
  c.d = 2;
  c.positions = {0, 1, 2};
  c.values = {1.5f, -2.0f, 1.0000001f, 3.0f, 1.0000002f, 3.0f};
  EXPECT_EQ(countRepeatedCentres(c), 1);  // the last two print alike
}

}  // namespace
}  // namespace zelmor::tools
