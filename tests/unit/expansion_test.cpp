// The steps after the EM loop: coverage, membership choice, co-sharing
// levels, and the chains of the expansion.
#include "expand/expansion.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

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

// The expansion over co-sharing levels set by hand: (level, index) of every
// placement, and the calls that report each.
TEST(ExpandChains, OrdersMicroclustersIntoChains) {
  using Placements = std::vector<std::pair<float, int32_t>>;
  struct Case {
    const char* name;
    int32_t K;
    std::vector<float> levels;  // (1,0), (2,0), (2,1), (3,0), (3,1), (3,2)
    float epsilon;
    Placements expected;
  };
  const std::vector<Case> cases = {
      {"a negative threshold makes one chain", 4, {0, 0, 0, 0, 0, 0}, -1.0f, {{-1, 0}, {0, 1}, {0, 2}, {0, 3}}},
      {"a threshold above every level makes chains of one", 3, {5, 2, 7}, 7.0f, {{-1, 0}, {-1, 1}, {-1, 2}}},
      // 0-1 strong; 2 is linked only to 1; 3 to nothing above the threshold.
      {"members join through their best link to the chain",
       4,
       {5, 0.5f, 3, 0.2f, 0.1f, 0.9f},
       1.0f,
       {{-1, 0}, {5, 1}, {3, 2}, {-1, 3}}},
      {"equal levels take the lower index first", 4, {2, 4, 0, 4, 0, 0}, 1.0f, {{-1, 0}, {4, 2}, {4, 3}, {2, 1}}},
      {"a level equal to the threshold does not qualify", 2, {1.5f}, 1.5f, {{-1, 0}, {-1, 1}}},
      {"one microcluster", 1, {}, 0.0f, {{-1, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> levels = c.levels;
    std::vector<int32_t> reported;
    const zelmor::Expansion expansion =
        expandChains(levels.data(), c.K, c.epsilon, [&](int32_t k, float, int32_t placed) {
          reported.push_back(k);
          EXPECT_EQ(placed, static_cast<int32_t>(reported.size()));
        });
    Placements placements;
    for (size_t i = 0; i < expansion.order.size(); ++i)
      placements.emplace_back(expansion.levels[i], expansion.order[i]);
    EXPECT_EQ(placements, c.expected);
    EXPECT_EQ(reported, expansion.order);
    int32_t chained = 0;
    for (const int32_t size : expansion.chainSizes) chained += size;
    EXPECT_EQ(chained, c.K);
  }
}

}  // namespace
}  // namespace zelmor
