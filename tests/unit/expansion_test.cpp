// The steps after the EM loop: coverage, membership choice, co-sharing
// levels, and the chains of the expansion with their progress line.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/cluster_model.h"
#include "kernels/expand_kernels.h"
#include "linalg/packed_matrix.h"
#include "runtime/heap.h"
#include "support/test_support.h"

namespace zelmor {
namespace {

TEST(CoverageSum, AddsEveryResponsibility) {
  const float responsibilities[6] = {0.25f, 0.75f, 0.0f, 0.0f, 0.5f, 0.5f};
  EXPECT_EQ(coverageSumPlain(responsibilities, 3, 2), 2.0);
  EXPECT_EQ(coverageSumPlain(responsibilities, 0, 2), 0.0);
}

TEST(MostProbableCluster, EarliestPositionWinsAndUnreachedPointsGetMinusOne) {
  const int16_t items[4] = {3, 1, 0, 2};
  const float tie[4] = {0.1f, 0.4f, 0.4f, 0.1f};
  EXPECT_EQ(mostProbableClusterPlain(tie, items, 4), 1);
  const float zeros[4] = {0, 0, 0, 0};
  EXPECT_EQ(mostProbableClusterPlain(zeros, items, 4), -1);
  const float last[4] = {0.0f, 0.1f, 0.2f, 0.7f};
  EXPECT_EQ(mostProbableClusterPlain(last, items, 4), 2);
}

TEST(AddCoSharing, EqualSplitsGiveAQuarterPerPoint) {
  // K = 3; every point splits equally between microclusters 0 and 2.
  std::vector<float> coShareLevels(3, 0.0f);
  const int16_t items[3] = {1, 2, 0};
  const float row[3] = {0.0f, 0.5f, 0.5f};
  const int N = 40;
  for (int i = 0; i < N; ++i) addCoSharingPlain(row, items, 3, coShareLevels.data());
  EXPECT_EQ(coShareLevels[strictLowerIndex(0, 2)], N / 4.0f);
  EXPECT_EQ(coShareLevels[strictLowerIndex(0, 1)], 0.0f);
  EXPECT_EQ(coShareLevels[strictLowerIndex(1, 2)], 0.0f);
  // The order of the microclusters within a list does not matter.
  std::vector<float> other(3, 0.0f);
  const int16_t reversed[3] = {0, 2, 1};
  const float reversedRow[3] = {0.5f, 0.5f, 0.0f};
  for (int i = 0; i < N; ++i) addCoSharingPlain(reversedRow, reversed, 3, other.data());
  EXPECT_EQ(other, coShareLevels);
}

// A model of K microclusters in d = 1 with identity covariances, its co-sharing
// matrix set by hand, ready for the expansion.
class Expansion : public ::testing::Test {
 protected:
  void build(int32_t K, const std::vector<float>& levels) {
    std::string centres;
    for (int32_t k = 0; k < K; ++k) centres += std::to_string(k) + "\n";
    test::writeFile(dir.file("microclus.txt"), centres);
    RunSettings settings;
    settings.microclusFile = dir.file("microclus.txt");
    settings.K = K;
    settings.d = 1;
    settings.N = 1;
    model = std::make_unique<ClusterModel>(settings);
    model->coShareLevels = allocArray<float>(packedStrictLowerLength(K));
    for (size_t i = 0; i < levels.size(); ++i) model->coShareLevels[i] = levels[i];
  }

  // Runs the expansion; returns the (level, index) heads of the records.
  std::vector<std::pair<std::string, int>> expand(float epsilon, std::string* progress = nullptr) {
    const std::string path = dir.file("output_expand.txt");
    ::testing::internal::CaptureStdout();
    model->expandClusters(OutputTarget{path, path}, epsilon);
    const std::string console = ::testing::internal::GetCapturedStdout();
    if (progress != nullptr) *progress = console;
    std::vector<std::pair<std::string, int>> heads;
    for (const std::string& line : test::splitLines(test::readFile(path))) {
      const size_t blank = line.find(' ');
      heads.emplace_back(line.substr(0, blank), std::stoi(line.substr(blank + 1)));
      EXPECT_EQ(line.substr(line.size() - 12), " 255.000000 ") << line;
    }
    return heads;
  }

  test::TempDir dir;
  std::unique_ptr<ClusterModel> model;
};

using Heads = std::vector<std::pair<std::string, int>>;

TEST_F(Expansion, NegativeThresholdMakesOneChain) {
  // Levels of (1,0), (2,0), (2,1), (3,0), (3,1), (3,2).
  build(4, {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f});
  EXPECT_EQ(expand(-1.0f), (Heads{{"-1.000000", 0}, {"0.000000", 1}, {"0.000000", 2}, {"0.000000", 3}}));
}

TEST_F(Expansion, ThresholdAboveEveryLevelMakesChainsOfOne) {
  build(3, {5.0f, 2.0f, 7.0f});
  EXPECT_EQ(expand(7.0f), (Heads{{"-1.000000", 0}, {"-1.000000", 1}, {"-1.000000", 2}}));
}

TEST_F(Expansion, MembersJoinThroughTheirBestLinkToTheChain) {
  // 0-1 strong; 2 is linked only to 1; 3 to nothing above the threshold.
  // (1,0)=5, (2,0)=0.5, (2,1)=3, (3,0)=0.2, (3,1)=0.1, (3,2)=0.9
  build(4, {5.0f, 0.5f, 3.0f, 0.2f, 0.1f, 0.9f});
  EXPECT_EQ(expand(1.0f), (Heads{{"-1.000000", 0}, {"5.000000", 1}, {"3.000000", 2}, {"-1.000000", 3}}));
}

TEST_F(Expansion, EqualLevelsTakeTheLowerIndexFirst) {
  // (1,0)=2, (2,0)=4, (2,1)=0, (3,0)=4, (3,1)=0, (3,2)=0
  build(4, {2.0f, 4.0f, 0.0f, 4.0f, 0.0f, 0.0f});
  EXPECT_EQ(expand(1.0f), (Heads{{"-1.000000", 0}, {"4.000000", 2}, {"4.000000", 3}, {"2.000000", 1}}));
}

TEST_F(Expansion, ALevelEqualToTheThresholdDoesNotQualify) {
  build(2, {1.5f});
  EXPECT_EQ(expand(1.5f), (Heads{{"-1.000000", 0}, {"-1.000000", 1}}));
}

TEST_F(Expansion, ProgressLineIsRewrittenInPlace) {
  std::string progress;
  build(1, {});
  expand(0.0f, &progress);
  EXPECT_EQ(progress, "\r\t100% [1 of 1 microclusters]");
  build(3, {0.0f, 0.0f, 0.0f});
  expand(0.0f, &progress);
  EXPECT_EQ(progress, "\r\t33% [1 of 3 microclusters]\r\t66% [2 of 3 microclusters]\r\t100% [3 of 3 microclusters]");
}

}  // namespace
}  // namespace zelmor
