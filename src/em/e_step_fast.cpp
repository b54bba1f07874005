// One E-step pass, the parallel version. Points are read in blocks; the
// densities, responsibilities, item lists and PRlx rows of a block's points are
// computed in parallel (each point's arithmetic exactly as in the plain pass),
// then the block's weighted sums are added per microcluster, in point order, so
// every sum sees its terms in the same order as the plain pass. Densities that
// are certainly zero are skipped by a bound, and responsibilities of zero add
// nothing to any sum.
#include <algorithm>
#include <cmath>
#include <vector>

#include "em/density_bounds.h"
#include "em/e_step_kernels.h"
#include "em/em_constants.h"
#include "model/cluster_model.h"
#include "model/input_files.h"
#include "model/thread_pool.h"

namespace zelmor {

namespace {

constexpr int64_t kBlockPoints = 16384;
constexpr int64_t kChunkPoints = 128;
// Differences of values up to this size cannot overflow a float, so a zero
// responsibility times a difference is zero. Larger values go the plain way.
constexpr float kSafeMagnitude = 1.7e38f;

// One nonzero responsibility of a point of the block.
struct Share {
  int32_t point;
  int32_t cluster;
  float r;
};

struct WorkerScratch {
  std::vector<float> t;
  std::vector<float> lengths;
  std::vector<float> densities;
  std::vector<int32_t> clusters;
  std::vector<int32_t> positions;
  std::vector<float> dense;
  std::vector<uint8_t> nonzeroFlag;
  std::vector<std::pair<float, int32_t>> ranked;
  std::vector<double> eigenScratch;
};

bool allSafe(const float* values, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    if (!(std::fabs(values[i]) <= kSafeMagnitude)) return false;
  }
  return true;
}

}  // namespace

void ClusterModel::eStepPassFast(int32_t iteration, float& logLikelihood, float* tempv, float* tempPRlx) {
  const int32_t d = dimNum;
  const int32_t K = clusterNum;
  const int64_t m = itemNum;
  const int64_t packed = packedLen;
  const bool firstPass = iteration == 1;

  // Means that are not finite (or huge) poison the sums even where a
  // responsibility is zero; the plain pass reproduces that exactly.
  if (!allSafe(means, int64_t{K} * d)) {
    eStepPassPlain(iteration, logLikelihood, tempv, tempPRlx);
    return;
  }
  if (firstPass) allocateItemStorage();

  ThreadPool& pool = runThreadPool();
  std::vector<WorkerScratch> scratch(static_cast<size_t>(pool.threadCount()));
  for (WorkerScratch& s : scratch) {
    s.t.resize(static_cast<size_t>(d));
    s.lengths.resize(static_cast<size_t>(K));
    s.densities.resize(static_cast<size_t>(K));
    s.clusters.resize(static_cast<size_t>(K));
    s.positions.resize(static_cast<size_t>(K));
    s.dense.assign(static_cast<size_t>(K), 0.0f);
    s.nonzeroFlag.assign(static_cast<size_t>(K), 0);
  }

  std::vector<SkipBound> bounds(static_cast<size_t>(K));
  pool.run(K, [&](int64_t k, int worker) {
    bounds[k] = makeSkipBound(covariances + k * packed, normalisers[k], d, scratch[worker].eigenScratch);
  });
  // Means by dimension, so that the squared lengths of one point against all
  // microclusters run along contiguous memory.
  std::vector<float> meansByDim(static_cast<size_t>(K) * d);
  for (int64_t k = 0; k < K; ++k) {
    for (int64_t j = 0; j < d; ++j) meansByDim[j * K + k] = means[k * d + j];
  }

  std::vector<float> points(static_cast<size_t>(kBlockPoints) * d);
  std::vector<double> logShare(kBlockPoints);
  std::vector<uint8_t> hasLogShare(kBlockPoints);
  const int64_t maxChunks = (kBlockPoints + kChunkPoints - 1) / kChunkPoints;
  std::vector<std::vector<Share>> chunkShares(maxChunks);
  std::vector<int64_t> clusterStart(static_cast<size_t>(K) + 1);
  std::vector<Share> byCluster;

  auto processPoint = [&](int64_t p, int64_t block, const float* x, WorkerScratch& s, std::vector<Share>& out) {
    const int64_t P = block + p;
    const bool safe = allSafe(x, d);
    float* lengths = s.lengths.data();
    if (safe) {
      std::fill(lengths, lengths + K, 0.0f);
      for (int64_t j = 0; j < d; ++j) {
        const float xj = x[j];
        const float* column = meansByDim.data() + j * K;
        for (int64_t k = 0; k < K; ++k) {
          const float diff = xj - column[k];
          lengths[k] += diff * diff;
        }
      }
    }
    ItemList& list = tmp_ItemList[P];
    int64_t evaluated = 0;
    for (int64_t q = 0; q < m; ++q) {
      const int32_t g = firstPass ? static_cast<int32_t>(q) : list.items[q];
      if (safe && isSurelyZero(lengths[g], bounds[g])) continue;
      const float density = pointDensity(x, means + int64_t{g} * d, covariances + g * packed, normalisers[g], d,
                                         s.t.data());
      if (density == 0.0f && safe) continue;
      s.densities[evaluated] = density;
      s.clusters[evaluated] = g;
      s.positions[evaluated] = static_cast<int32_t>(q);
      ++evaluated;
    }
    double sum = 0.0;
    for (int64_t i = 0; i < evaluated; ++i) sum += s.densities[i];
    hasLogShare[p] = sum > 0.0;
    if (sum > 0.0) logShare[p] = firstPass ? std::log(sum) : kLaterPassLogScale * std::log(sum);

    // Responsibilities of the evaluated microclusters; every other one is 0.
    bool ordinary = true;
    for (int64_t i = 0; i < evaluated; ++i) {
      const float r = sum > 0.0 ? static_cast<float>(s.densities[i] / sum) : 0.0f;
      s.densities[i] = r;
      if (!std::isfinite(r)) ordinary = false;
      if (r != 0.0f || !safe) out.push_back(Share{static_cast<int32_t>(p), s.clusters[i], r});
    }

    float* row = PRlx + P * m;
    if (!firstPass) {
      std::fill(row, row + m, 0.0f);
      for (int64_t i = 0; i < evaluated; ++i) row[s.positions[i]] = s.densities[i];
      return;
    }
    list.count = static_cast<int32_t>(m);
    list.items = itemStorage + P * m;
    if (!ordinary) {
      // Values that are not numbers order the list in their own way.
      for (int64_t i = 0; i < evaluated; ++i) s.dense[s.clusters[i]] = s.densities[i];
      buildItemList(s.dense.data(), K, list.items);
      for (int64_t q = 0; q < m; ++q) row[q] = s.dense[list.items[q]];
      for (int64_t i = 0; i < evaluated; ++i) s.dense[s.clusters[i]] = 0.0f;
      return;
    }
    // Ascending responsibility, the higher index first among equals: the zeros
    // first in descending index order, then the rest sorted.
    s.ranked.clear();
    for (int64_t i = 0; i < evaluated; ++i) {
      if (s.densities[i] != 0.0f) {
        s.ranked.emplace_back(s.densities[i], s.clusters[i]);
        s.nonzeroFlag[s.clusters[i]] = 1;
      }
    }
    std::sort(s.ranked.begin(), s.ranked.end(), [](const auto& a, const auto& b) {
      return a.first < b.first || (a.first == b.first && a.second > b.second);
    });
    int64_t q = 0;
    for (int32_t k = K - 1; k >= 0; --k) {
      if (s.nonzeroFlag[k] != 0) continue;
      list.items[q] = static_cast<int16_t>(k);
      row[q] = 0.0f;
      ++q;
    }
    for (const auto& [r, g] : s.ranked) {
      list.items[q] = static_cast<int16_t>(g);
      row[q] = r;
      ++q;
      s.nonzeroFlag[g] = 0;
    }
  };

  DataFileReader reader(dataFile, d, dataNum, "datafile not opened!");
  int64_t block = 0;
  for (;;) {
    const int64_t count = reader.readPoints(points.data(), kBlockPoints);
    if (count == 0) break;
    const int64_t chunks = (count + kChunkPoints - 1) / kChunkPoints;
    pool.run(chunks, [&](int64_t c, int worker) {
      std::vector<Share>& out = chunkShares[c];
      out.clear();
      const int64_t end = std::min(count, (c + 1) * kChunkPoints);
      for (int64_t p = c * kChunkPoints; p < end; ++p) processPoint(p, block, points.data() + p * d, scratch[worker], out);
    });

    for (int64_t p = 0; p < count; ++p) {
      if (hasLogShare[p]) logLikelihood = static_cast<float>(logLikelihood + logShare[p]);
    }

    // Regroup the block's shares by microcluster, keeping point order.
    std::fill(clusterStart.begin(), clusterStart.end(), 0);
    for (int64_t c = 0; c < chunks; ++c) {
      for (const Share& share : chunkShares[c]) ++clusterStart[share.cluster + 1];
    }
    for (int64_t k = 0; k < K; ++k) clusterStart[k + 1] += clusterStart[k];
    byCluster.resize(static_cast<size_t>(clusterStart[K]));
    {
      std::vector<int64_t> cursor(clusterStart.begin(), clusterStart.end() - 1);
      for (int64_t c = 0; c < chunks; ++c) {
        for (const Share& share : chunkShares[c]) byCluster[cursor[share.cluster]++] = share;
      }
    }
    pool.run(K, [&](int64_t k, int worker) {
      float* t = scratch[worker].t.data();
      for (int64_t i = clusterStart[k]; i < clusterStart[k + 1]; ++i) {
        const Share& share = byCluster[i];
        accumulatePoint(points.data() + int64_t{share.point} * d, means + k * d, share.r, d, t, uX + k * d,
                        weightSums[k], uXXT + k * packed);
      }
    });
    block += count;
  }
}

}  // namespace zelmor
