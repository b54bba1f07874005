// The compact state of the fast configuration: lists kept as tails, sparse
// rows, and the post-loop kernels that read them, held to the dense
// reference.
#include "fit/compact_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "expand/co_sharing.h"
#include "fit/fit_state.h"
#include "fit/list_positions.h"
#include "kernels/expand_kernels.h"
#include "kernels/kernel_table.h"
#include "kernels/sparse_expand.h"
#include "runtime/thread_pool.h"

namespace zelmor {
namespace {

// A random tail of `length` distinct microclusters of K.
std::vector<int16_t> randomTail(int32_t K, int64_t length, std::mt19937& random) {
  std::vector<int16_t> all(static_cast<size_t>(K));
  for (int32_t k = 0; k < K; ++k) all[k] = static_cast<int16_t>(k);
  std::shuffle(all.begin(), all.end(), random);
  all.resize(static_cast<size_t>(length));
  return all;
}

TEST(CompactLists, ListsAndPositionsAreThoseOfTheWholeList) {
  std::mt19937 random(3);
  // K below and above 256 (bytes, words); segments short enough to be
  // crossed many times.
  for (const int32_t K : {1, 5, 40, 300, 1000}) {
    SCOPED_TRACE(K);
    const int64_t N = 200;
    CompactLists lists(N, K, 7);
    std::vector<std::vector<int16_t>> tails;
    for (int64_t p = 0; p < N; ++p) {
      const int64_t length = p % 4 == 0 ? K : p % 4 == 1 ? std::min<int64_t>(K, p % 17) : random() % (K + 1);
      tails.push_back(randomTail(K, length, random));
      lists.set(p, tails[p].data(), length);
    }
    // The tails alone are kept: a byte an entry where K <= 256, above that
    // each entry's rank among the microclusters not yet listed, in the bits
    // it needs (at most 9 at K = 300, 10 at 1000, fewer towards the end).
    int64_t keptBits = 0;
    for (const auto& t : tails) {
      const int64_t length = static_cast<int64_t>(t.size());
      keptBits += K > 256 ? lists.rankedBits(length) : 8 * length;
    }
    if (K > 256) {
      EXPECT_LT(lists.rankedBits(K), int64_t{K} * std::bit_width(static_cast<uint32_t>(K - 1)));
    }
    EXPECT_GE(lists.bytesUsed(), N * 8 + keptBits / 8);
    // Each span may leave the end of a segment unused.
    const int64_t waste = K > 256 ? lists.rankedBits(K) : (std::max(7, K) - 1) * 8;
    EXPECT_LE(lists.bytesUsed(), N * 8 + (keptBits + N * waste + 7) / 8);
    TailPositions map(K);
    std::vector<int16_t> items(K), tail(K), clusters(K);
    std::vector<int32_t> expected(K), positions(K);
    std::vector<uint8_t> flags(K, 0);
    for (int64_t p = 0; p < N; ++p) {
      const int64_t t = lists.tailLength(p);
      ASSERT_EQ(t, static_cast<int64_t>(tails[p].size()));
      lists.expand(p, items.data(), flags.data());
      ASSERT_TRUE(std::equal(tails[p].begin(), tails[p].end(), items.begin() + (K - t)));
      for (int64_t q = 1; q < K - t; ++q) ASSERT_GT(items[q - 1], items[q]);  // the rest, descending
      // Any needed set (ascending) finds the positions the scan finds.
      std::vector<int16_t> needed = randomTail(K, random() % (K + 1), random);
      std::sort(needed.begin(), needed.end());
      const int64_t count = static_cast<int64_t>(needed.size());
      const int64_t found = listPositions(needed.data(), count, items.data(), K, flags.data(), expected.data());
      lists.copyTail(p, tail.data());
      map.load(tail.data(), t);
      ASSERT_EQ(map.inListOrder(needed.data(), count, positions.data(), clusters.data()), found);
      map.unload();
      for (int64_t i = 0; i < found; ++i) {
        ASSERT_EQ(positions[i], expected[i]);
        ASSERT_EQ(clusters[i], items[expected[i]]);
      }
      if (t <= kShortTail) {
        ASSERT_EQ(kernelTable(bestIsa()).tailListPositions(needed.data(), count, tail.data(), t, K, positions.data(),
                                                           clusters.data()),
                  found);
        for (int64_t i = 0; i < found; ++i) ASSERT_EQ(positions[i], expected[i]);
      }
    }
  }
}

// Dense rows (as the plain reference keeps them) and the same rows sparse.
struct Rows {
  int64_t N, m;
  std::vector<float> dense;
  std::vector<int16_t> items;
  std::unique_ptr<CompactState> compact;  // lists kept whole
};

Rows randomRows(int64_t N, int64_t m, std::mt19937& random, int64_t nanRow) {
  Rows rows{N, m, std::vector<float>(N * m, 0.0f), std::vector<int16_t>(N * m), nullptr};
  rows.compact = std::make_unique<CompactState>(N, static_cast<int32_t>(m));
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<int16_t> positions, clusters;
  std::vector<float> values;
  for (int64_t i = 0; i < N; ++i) {
    float* row = rows.dense.data() + i * m;
    int16_t* items = rows.items.data() + i * m;
    const std::vector<int16_t> list = randomTail(static_cast<int32_t>(m), m, random);
    std::copy(list.begin(), list.end(), items);
    // Some rows so full that they are kept whole.
    const float share = i % 7 == 3 ? 0.9f : 0.2f;
    for (int64_t j = 0; i % 11 != 0 && j < m; ++j) row[j] = unit(random) < share ? unit(random) * 1e-3f : 0.0f;
    if (i % 5 == 0 && m > 1) row[i % m] = row[(i + 1) % m] = 0.5f;  // a tie
    if (i == nanRow) row[m / 2] = std::numeric_limits<float>::quiet_NaN();
    const bool whole = i == nanRow;
    positions.clear(), clusters.clear(), values.clear();
    for (int64_t j = 0; j < m; ++j) {
      if (row[j] == 0.0f && !whole) continue;
      positions.push_back(static_cast<int16_t>(j)), clusters.push_back(items[j]), values.push_back(row[j]);
    }
    rows.compact->lists.set(i, items, m);
    rows.compact->values.set(i, positions.data(), clusters.data(), values.data(), static_cast<int64_t>(values.size()));
  }
  return rows;
}

TEST(SparsePostLoopKernels, MatchThePlainOnesOnDenseRows) {
  std::mt19937 random(5);
  for (const auto& [N, m, nanRow] : std::vector<std::tuple<int64_t, int64_t, int64_t>>{
           {1, 1, -1}, {7, 3, -1}, {9000, 37, -1}, {1500, 300, -1}, {300, 20, 123}}) {
    SCOPED_TRACE(std::to_string(N) + "x" + std::to_string(m));
    const Rows rows = randomRows(N, m, random, nanRow);
    const SparseRowReader reader = compactRows(*rows.compact);
    const double plainCoverage = coverageSumPlain(rows.dense.data(), N, m);
    std::vector<float> plainLevels(m * (m - 1) / 2, 0.0f);
    SparseRowScratch scratch(m);
    for (int64_t i = 0; i < N; ++i) {
      addCoSharingPlain(rows.dense.data() + i * m, rows.items.data() + i * m, m, plainLevels.data());
      ASSERT_EQ(mostProbableCluster(reader(i, scratch)),
                mostProbableClusterPlain(rows.dense.data() + i * m, rows.items.data() + i * m, m));
    }
    for (const int threads : {1, 2, 7}) {
      ThreadPool pool(threads);
      for (const int64_t band : {int64_t{1}, int64_t{1000}, kCoverageBandValues}) {
        const double coverage = coverageSum(reader, N, m, pool, band);
        EXPECT_TRUE(coverage == plainCoverage || (std::isnan(coverage) && std::isnan(plainCoverage)));
      }
      // Rows nine tenths full add whole rows of products where vectors pay.
      for (const Isa isa : supportedIsas()) {
        std::vector<float> levels(m * (m - 1) / 2, 0.0f);
        addCoSharing(reader, N, m, levels.data(), pool, kernelTable(isa));
        EXPECT_TRUE(levels.empty() ||
                    std::memcmp(levels.data(), plainLevels.data(), levels.size() * sizeof(float)) == 0)
            << isaName(isa);
      }
    }
  }
}

}  // namespace
}  // namespace zelmor
