// Positions of a point's needed microclusters from the tail of its list, in
// every instruction set's table, against a scan of the whole list.
#include "fit/list_positions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "kernels/kernel_table.h"

namespace zelmor {
namespace {

// A list of the first pass's shape: the microclusters outside the tail in
// descending order, then the tail in any order.
std::vector<int16_t> firstPassList(int K, int tail, std::mt19937& random, std::vector<int16_t>& tailItems) {
  std::vector<int16_t> all(K);
  std::iota(all.begin(), all.end(), int16_t{0});
  std::shuffle(all.begin(), all.end(), random);
  tailItems.assign(all.begin(), all.begin() + tail);
  std::vector<int16_t> rest(all.begin() + tail, all.end());
  std::sort(rest.begin(), rest.end(), std::greater<>());
  rest.insert(rest.end(), tailItems.begin(), tailItems.end());
  return rest;
}

TEST(ListPositions, TheTailGivesWhatAScanOfTheWholeListFinds) {
  std::mt19937 random(21);
  for (int K : {1, 2, 7, 8, 9, 40, 300}) {
    std::vector<uint8_t> flags(K, 0);
    for (int tail = 0; tail <= std::min<int>(K, kShortTail); ++tail) {
      for (int trial = 0; trial < 50; ++trial) {
        std::vector<int16_t> tailItems;
        const std::vector<int16_t> items = firstPassList(K, tail, random, tailItems);
        // Needed: none, all, or a random share, mixing the tail and the rest.
        std::vector<int16_t> needed;
        const double share = trial == 0 ? 0.0 : trial == 1 ? 1.0 : std::uniform_real_distribution<>(0, 1)(random);
        for (int g = 0; g < K; ++g) {
          if (std::bernoulli_distribution(share)(random)) needed.push_back(static_cast<int16_t>(g));
        }
        const int64_t count = static_cast<int64_t>(needed.size());
        std::vector<int32_t> expected(K), positions(K);
        std::vector<int16_t> clusters(K);
        const int64_t scanned = listPositions(needed.data(), count, items.data(), K, flags.data(), expected.data());
        ASSERT_EQ(scanned, count);
        ASSERT_TRUE(std::all_of(flags.begin(), flags.end(), [](uint8_t f) { return f == 0; }));
        for (const Isa isa : supportedIsas()) {
          const int64_t found = kernelTable(isa).tailListPositions(needed.data(), count, tailItems.data(), tail, K,
                                                                   positions.data(), clusters.data());
          ASSERT_EQ(found, count) << isaName(isa) << " K=" << K << " tail=" << tail;
          for (int64_t i = 0; i < found; ++i) {
            ASSERT_EQ(positions[i], expected[i]) << isaName(isa) << " K=" << K << " tail=" << tail << " entry " << i;
            ASSERT_EQ(clusters[i], items[positions[i]]);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace zelmor
