// One E-step pass, the parallel version. Points are read in blocks; the
// densities, responsibilities, item lists and PRlx rows of a block's points are
// computed in parallel (each point's arithmetic exactly as in the plain pass),
// then the block's weighted sums are added per microcluster, in point order, so
// every sum sees its terms in the same order as the plain pass. Densities that
// a bound proves zero are not computed, and responsibilities of zero add
// nothing to any sum.
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "em/density_bounds.h"
#include "em/e_step_kernels.h"
#include "em/e_step_wide.h"
#include "em/em_constants.h"
#include "model/cluster_model.h"
#include "model/parallel_reader.h"
#include "model/thread_pool.h"

namespace zelmor {

namespace {

constexpr int64_t kBlockPoints = 16384;
constexpr int64_t kChunkPoints = 128;
// Differences of values up to this size cannot overflow a float, so a zero
// responsibility times a difference is zero. Larger values go the plain way.
constexpr float kSafeMagnitude = 1.7e38f;

// A density to compute: point (within its chunk), list position, microcluster.
struct Candidate {
  int32_t point;
  int32_t position;
  int32_t cluster;
  float density;
};

// One nonzero responsibility of a point of the block.
struct Share {
  int32_t point;
  int32_t cluster;
  float r;
  bool safe;  // finite r and finite differences: the vector kernels apply
};

struct WorkerScratch {
  std::vector<float> t;
  std::vector<double> laneScratch;
  std::vector<double> inverseFull;
  std::unique_ptr<WideAccumulator> accumulator;
  std::vector<float> lengths;
  std::vector<float> projections;
  std::vector<uint8_t> needed;
  std::vector<int32_t> positions;
  std::vector<Candidate> candidates;
  std::vector<int32_t> pointStart;
  std::vector<uint8_t> pointSafe;
  std::vector<int32_t> clusterStart;
  std::vector<int32_t> byCluster;
  std::vector<float> dense;
  std::vector<uint8_t> nonzeroFlag;
  std::vector<std::pair<float, int32_t>> ranked;
  std::vector<double> eigenScratch;
  int64_t firstPoint = 0;
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
  const bool wide = hasWideKernels();

  ThreadPool& pool = runThreadPool();
  std::vector<WorkerScratch> scratch(static_cast<size_t>(pool.threadCount()));
  for (WorkerScratch& s : scratch) {
    s.t.resize(static_cast<size_t>(d));
    s.laneScratch.resize(static_cast<size_t>(d) * kDensityLanes);
    s.inverseFull.resize(static_cast<size_t>(d) * d);
    s.accumulator = std::make_unique<WideAccumulator>(d);
    s.lengths.resize(static_cast<size_t>(K));
    s.projections.resize(static_cast<size_t>(K));
    s.needed.resize(static_cast<size_t>(K));
    s.positions.resize(static_cast<size_t>(m));
    s.pointStart.resize(kChunkPoints + 1);
    s.pointSafe.resize(kChunkPoints);
    s.clusterStart.resize(static_cast<size_t>(K) + 1);
    s.dense.assign(static_cast<size_t>(K), 0.0f);
    s.nonzeroFlag.assign(static_cast<size_t>(K), 0);
  }

  // In the first iteration every inverse is the identity, whose form is a
  // plain sum of squares.
  std::vector<uint8_t> identityInverse(static_cast<size_t>(K));
  for (int64_t k = 0; k < K; ++k) identityInverse[k] = isIdentity(covariances + k * packed, d);

  SkipTable table;
  table.K = K;
  table.d = d;
  table.meansByDim.resize(static_cast<size_t>(K) * d);
  table.axesByDim.resize(static_cast<size_t>(K) * d);
  table.lengthScale.resize(static_cast<size_t>(K));
  table.axisScale.resize(static_cast<size_t>(K));
  table.threshold.resize(static_cast<size_t>(K));
  {
    std::vector<float> axes(static_cast<size_t>(K) * d);
    pool.run(K, [&](int64_t k, int worker) {
      const SkipBound bound = makeSkipBound(covariances + k * packed, normalisers[k], d, axes.data() + k * d,
                                            scratch[worker].eigenScratch);
      table.lengthScale[k] = bound.lengthScale;
      table.axisScale[k] = bound.axisScale;
      table.threshold[k] = bound.threshold;
    });
    for (int64_t k = 0; k < K; ++k) {
      for (int64_t j = 0; j < d; ++j) {
        table.meansByDim[j * K + k] = means[k * d + j];
        table.axesByDim[j * K + k] = axes[k * d + j];
      }
    }
  }

  std::vector<float> points(static_cast<size_t>(kBlockPoints) * d);
  std::vector<double> logShare(kBlockPoints);
  std::vector<uint8_t> hasLogShare(kBlockPoints);
  const int64_t maxChunks = (kBlockPoints + kChunkPoints - 1) / kChunkPoints;
  std::vector<std::vector<Share>> chunkShares(maxChunks);
  std::vector<int64_t> clusterStart(static_cast<size_t>(K) + 1);
  std::vector<Share> byCluster;

  // The densities a chunk's points need: every microcluster the bound cannot
  // rule out, in each point's evaluation order.
  auto collectCandidates = [&](int64_t first, int64_t end, int64_t block, WorkerScratch& s) {
    s.candidates.clear();
    s.firstPoint = first;
    for (int64_t p = first; p < end; ++p) {
      const float* x = points.data() + p * d;
      const bool safe = allSafe(x, d);
      s.pointSafe[p - first] = safe;
      s.pointStart[p - first] = static_cast<int32_t>(s.candidates.size());
      uint8_t* needed = s.needed.data();
      if (safe) {
        markNeededDensities(x, table, s.lengths.data(), s.projections.data(), needed);
      } else {
        std::fill(needed, needed + K, uint8_t{1});
      }
      // Every position is written and only the needed ones are kept: few
      // are needed, in no pattern a branch could learn.
      int32_t* kept = s.positions.data();
      int64_t count = 0;
      if (firstPass) {
        for (int64_t q = 0; q < m; ++q) {
          kept[count] = static_cast<int32_t>(q);
          count += needed[q];
        }
      } else {
        const int16_t* items = tmp_ItemList[block + p].items;
        for (int64_t q = 0; q < m; ++q) {
          kept[count] = static_cast<int32_t>(q);
          count += needed[items[q]];
        }
      }
      for (int64_t i = 0; i < count; ++i) {
        const int32_t q = kept[i];
        const int32_t g = firstPass ? q : tmp_ItemList[block + p].items[q];
        s.candidates.push_back(Candidate{static_cast<int32_t>(p), q, g, 0.0f});
      }
    }
    s.pointStart[end - first] = static_cast<int32_t>(s.candidates.size());
  };

  // Densities of the candidates, microcluster by microcluster so that several
  // points share one pass over the inverse covariance.
  auto computeDensities = [&](WorkerScratch& s) {
    std::vector<Candidate>& cand = s.candidates;
    if (!wide) {
      for (Candidate& c : cand) {
        c.density = pointDensity(points.data() + int64_t{c.point} * d, means + int64_t{c.cluster} * d,
                                 covariances + c.cluster * packed, normalisers[c.cluster], d, s.t.data());
      }
      return;
    }
    std::fill(s.clusterStart.begin(), s.clusterStart.end(), 0);
    for (const Candidate& c : cand) ++s.clusterStart[c.cluster + 1];
    for (int64_t k = 0; k < K; ++k) s.clusterStart[k + 1] += s.clusterStart[k];
    s.byCluster.resize(cand.size());
    for (size_t i = 0; i < cand.size(); ++i) s.byCluster[s.clusterStart[cand[i].cluster]++] = static_cast<int32_t>(i);
    // clusterStart[k] now marks the end of microcluster k's run.
    for (int64_t k = 0; k < K; ++k) {
      const int32_t begin = k == 0 ? 0 : s.clusterStart[k - 1];
      const int32_t end = s.clusterStart[k];
      if (begin == end) continue;
      const float* mean = means + k * d;
      if (identityInverse[k]) {
        for (int32_t i = begin; i < end; ++i) {
          Candidate& c = cand[s.byCluster[i]];
          const float* x = points.data() + int64_t{c.point} * d;
          c.density = s.pointSafe[c.point - s.firstPoint]
                          ? identityDensity(x, mean, normalisers[k], d)
                          : pointDensity(x, mean, covariances + k * packed, normalisers[k], d, s.t.data());
        }
        continue;
      }
      widenInverse(covariances + k * packed, d, s.inverseFull.data());
      for (int32_t i = begin; i < end; i += kDensityLanes) {
        const int count = std::min<int32_t>(kDensityLanes, end - i);
        const float* lanes[kDensityLanes];
        float densities[kDensityLanes];
        for (int l = 0; l < count; ++l) lanes[l] = points.data() + int64_t{cand[s.byCluster[i + l]].point} * d;
        pointDensitiesWide(lanes, count, mean, s.inverseFull.data(), normalisers[k], d, densities,
                           s.laneScratch.data());
        for (int l = 0; l < count; ++l) cand[s.byCluster[i + l]].density = densities[l];
      }
    }
  };

  auto finishPoint = [&](int64_t p, int64_t local, int64_t block, WorkerScratch& s, std::vector<Share>& out) {
    const int64_t P = block + p;
    const bool safe = s.pointSafe[local] != 0;
    Candidate* cand = s.candidates.data() + s.pointStart[local];
    int64_t evaluated = s.pointStart[local + 1] - s.pointStart[local];
    if (safe) {
      // A zero density adds nothing to the point's sum or sums.
      evaluated = std::remove_if(cand, cand + evaluated, [](const Candidate& c) { return c.density == 0.0f; }) - cand;
    }
    double sum = 0.0;
    for (int64_t i = 0; i < evaluated; ++i) sum += cand[i].density;
    hasLogShare[p] = sum > 0.0;
    if (sum > 0.0) logShare[p] = firstPass ? std::log(sum) : kLaterPassLogScale * std::log(sum);

    // Responsibilities of the evaluated microclusters; every other one is 0.
    bool ordinary = true;
    for (int64_t i = 0; i < evaluated; ++i) {
      const float r = sum > 0.0 ? static_cast<float>(cand[i].density / sum) : 0.0f;
      cand[i].density = r;
      if (!std::isfinite(r)) ordinary = false;
      if (r != 0.0f || !safe) {
        out.push_back(Share{static_cast<int32_t>(p), cand[i].cluster, r, safe && std::isfinite(r)});
      }
    }

    float* row = PRlx + P * m;
    if (!firstPass) {
      std::fill(row, row + m, 0.0f);
      for (int64_t i = 0; i < evaluated; ++i) row[cand[i].position] = cand[i].density;
      return;
    }
    ItemList& list = tmp_ItemList[P];
    list.count = static_cast<int32_t>(m);
    list.items = itemStorage + P * m;
    if (!ordinary) {
      // Values that are not numbers order the list in their own way.
      for (int64_t i = 0; i < evaluated; ++i) s.dense[cand[i].cluster] = cand[i].density;
      buildItemList(s.dense.data(), K, list.items);
      for (int64_t q = 0; q < m; ++q) row[q] = s.dense[list.items[q]];
      for (int64_t i = 0; i < evaluated; ++i) s.dense[cand[i].cluster] = 0.0f;
      return;
    }
    // Ascending responsibility, the higher index first among equals: the zeros
    // first in descending index order, then the rest sorted.
    s.ranked.clear();
    for (int64_t i = 0; i < evaluated; ++i) {
      if (cand[i].density != 0.0f) {
        s.ranked.emplace_back(cand[i].density, cand[i].cluster);
        s.nonzeroFlag[cand[i].cluster] = 1;
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

  ParallelPointReader reader(dataFile, d, dataNum, "datafile not opened!", pool);
  int64_t block = 0;
  for (;;) {
    const int64_t count = reader.readPoints(points.data(), kBlockPoints);
    if (count == 0) break;
    const int64_t chunks = (count + kChunkPoints - 1) / kChunkPoints;
    pool.run(chunks, [&](int64_t c, int worker) {
      WorkerScratch& s = scratch[worker];
      std::vector<Share>& out = chunkShares[c];
      out.clear();
      const int64_t first = c * kChunkPoints;
      const int64_t end = std::min(count, first + kChunkPoints);
      collectCandidates(first, end, block, s);
      computeDensities(s);
      for (int64_t p = first; p < end; ++p) finishPoint(p, p - first, block, s, out);
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
      if (clusterStart[k] == clusterStart[k + 1]) return;
      WorkerScratch& s = scratch[worker];
      const float* mean = means + k * d;
      float* sumX = uX + k * d;
      float* sumXXT = uXXT + k * packed;
      if (!wide) {
        for (int64_t i = clusterStart[k]; i < clusterStart[k + 1]; ++i) {
          const Share& share = byCluster[i];
          accumulatePoint(points.data() + int64_t{share.point} * d, mean, share.r, d, s.t.data(), sumX,
                          weightSums[k], sumXXT);
        }
        return;
      }
      // The sums of one microcluster stay in the worker's own memory while
      // they grow, which also keeps threads off each other's cache lines.
      WideAccumulator& acc = *s.accumulator;
      acc.load(sumX, weightSums[k], sumXXT);
      for (int64_t i = clusterStart[k]; i < clusterStart[k + 1]; ++i) {
        const Share& share = byCluster[i];
        const float* x = points.data() + int64_t{share.point} * d;
        if (share.safe) {
          acc.add(x, mean, share.r);
        } else {
          acc.store(sumX, weightSums[k], sumXXT);
          accumulatePoint(x, mean, share.r, d, s.t.data(), sumX, weightSums[k], sumXXT);
          acc.load(sumX, weightSums[k], sumXXT);
        }
      }
      acc.store(sumX, weightSums[k], sumXXT);
    });
    block += count;
  }
}

}  // namespace zelmor
