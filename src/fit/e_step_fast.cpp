// One E-step pass, the parallel version. Points are read in blocks. For each
// block: first the densities each point needs (those a bound cannot prove to
// be 0), then in runs of points in parallel the densities, responsibilities,
// item lists and rows of responsibilities (each point's arithmetic exactly as in the plain
// pass), then the block's weighted sums, per microcluster and in point order,
// so every sum sees its terms in the same order as the plain pass.
// Responsibilities of zero add nothing to any sum.
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "core/cluster_model.h"
#include "fit/density_bounds.h"
#include "fit/em_constants.h"
#include "fit/list_positions.h"
#include "fit/needed_densities.h"
#include "io/parallel_reader.h"
#include "kernels/e_step_kernels.h"
#include "kernels/e_step_wide.h"
#include "kernels/expand_kernels.h"
#include "kernels/kernel_table.h"
#include "runtime/heap.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

constexpr int64_t kBlockPoints = 16384;
// Points of one parallel run; more for many microclusters, whose per-run
// tables grow with K.
constexpr int64_t kChunkPoints = 128;
// Full inverses kept for a whole pass up to this many doubles (32 MB).
constexpr int64_t kKeptInverseDoubles = int64_t{4} << 20;
// Shares handed to the vector sums at once.
constexpr int64_t kRunShares = 256;
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

// One nonzero responsibility of a point of the block (points of a block and
// microclusters both fit 16 bits).
struct Share {
  uint16_t point;
  int16_t cluster;
  float r;
};
static_assert(kBlockPoints <= 65536);

struct WorkerScratch {
  std::vector<float> t;
  std::vector<double> laneScratch;
  std::vector<double> inverseFull;
  std::unique_ptr<WideAccumulator> accumulator;
  std::vector<const float*> runPoints;
  std::vector<float> runShares;
  std::vector<uint8_t> flags;
  std::vector<int32_t> positions;
  std::vector<int16_t> clusters;
  std::vector<Candidate> candidates;
  std::vector<int32_t> pointStart;
  std::vector<uint8_t> pointSafe;
  std::vector<int32_t> clusterStart;
  std::vector<int32_t> byCluster;
  std::vector<float> dense;
  std::vector<uint8_t> nonzeroFlag;
  std::vector<std::pair<float, int32_t>> ranked;
  std::vector<double> eigenScratch;
  std::vector<float> startX;
  int64_t firstPoint = 0;
};

bool allSafe(const float* values, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    if (!(std::fabs(values[i]) <= kSafeMagnitude)) return false;
  }
  return true;
}

// Zero shares are left out of the M-step sums, which changes none of them
// but for the sign of a zero: where a mean sum uX stands at -0 (a term too
// small for a float, below zero), the plain pass goes on adding x·0, and one
// such +0 (from x >= +0) turns the sum into +0. A nonzero term makes both
// sums equal again, so the two can differ at the end of a block only where
// the sum there is -0; each such sum is added up again from its value at the
// start of the block, every point of the block in turn, zero shares included,
// exactly as accumulatePoint adds it. (The sums of squares need no such care:
// the M-step turns every covariance entry near zero into the floor or +0.)
void replaySignedZeroSums(const float* points, int64_t count, int32_t d, const float* startX,
                          const std::vector<std::vector<Share>>& byCluster, const int32_t* clusterStart,
                          int64_t chunks, int64_t K, int64_t k, float* sumX) {
  for (int64_t i = 0; i < d; ++i) {
    if (!(sumX[i] == 0.0f && std::signbit(sumX[i]))) continue;
    float sum = startX[i];
    int64_t p = 0;
    auto addUpTo = [&](int64_t end, float r) {
      for (; p < end; ++p) sum = static_cast<float>(sum + static_cast<double>(points[p * d + i]) * 0.0f);
      if (p < count) sum = static_cast<float>(sum + static_cast<double>(points[p * d + i]) * r);
      ++p;
    };
    for (int64_t c = 0; c < chunks; ++c) {
      const int32_t* start = clusterStart + c * (K + 1);
      for (int64_t at = start[k]; at < start[k + 1]; ++at) addUpTo(byCluster[c][at].point, byCluster[c][at].r);
    }
    addUpTo(count, 0.0f);
    sumX[i] = sum;
  }
}

}  // namespace

void ClusterModel::eStepPassFast(int32_t iteration, float& logLikelihood, float* tempv, float* pointResponsibilities) {
  const int32_t d = dimNum;
  const int32_t K = clusterNum;
  const int64_t m = itemNum;
  const int64_t packed = packedLen;
  const bool firstPass = iteration == 1;

  // Means that are not finite (or huge) poison the sums even where a
  // responsibility is zero; the plain pass reproduces that exactly.
  bestHintsCurrent = false;
  if (!allSafe(means, int64_t{K} * d)) {
    eStepPassPlain(iteration, logLikelihood, tempv, pointResponsibilities);
    return;
  }
  if (firstPass) allocateItemStorage();
  if (pointHints == nullptr) {
    // Without room for hints the pass only finds its densities more slowly.
    pointHints = allocArray<PointHint>(dataNum);
    if (pointHints != nullptr) std::fill(pointHints, pointHints + dataNum, PointHint{-1, -1, {}});
  }
  const KernelTable& kernels = kernelTable(settings.isa);
  const bool wide = kernels.isa != Isa::Scalar;
  const bool keepFullInverses = wide && int64_t{K} * d * d <= kKeptInverseDoubles;
  const int64_t chunkPoints = std::max<int64_t>(kChunkPoints, (K + 7) / 8);

  ThreadPool& pool = runThreadPool();
  std::vector<WorkerScratch> scratch(static_cast<size_t>(pool.threadCount()));
  for (WorkerScratch& s : scratch) {
    s.t.resize(static_cast<size_t>(d));
    s.startX.resize(static_cast<size_t>(d));
    s.laneScratch.resize(static_cast<size_t>(d) * kDensityLanes);
    if (!keepFullInverses) s.inverseFull.resize(static_cast<size_t>(d) * d);
    s.accumulator = std::make_unique<WideAccumulator>(d, kernels);
    s.runPoints.resize(kRunShares);
    s.runShares.resize(kRunShares);
    s.flags.assign(static_cast<size_t>(K), 0);
    s.positions.resize(static_cast<size_t>(K));
    s.clusters.resize(static_cast<size_t>(K));
    s.pointStart.resize(static_cast<size_t>(chunkPoints) + 1);
    s.pointSafe.resize(static_cast<size_t>(chunkPoints));
    s.clusterStart.resize(static_cast<size_t>(K) + 1);
    s.dense.assign(static_cast<size_t>(K), 0.0f);
    s.nonzeroFlag.assign(static_cast<size_t>(K), 0);
  }

  // In the first iteration every inverse is the identity, whose form is a
  // plain sum of squares: for a point with finite differences the zero
  // entries add 0·t = ±0 to each row sum, which changes nothing. Points with
  // larger values take the general kernel, where 0·inf is not a number.
  std::vector<uint8_t> identityInverse(static_cast<size_t>(K));
  for (int64_t k = 0; k < K; ++k) identityInverse[k] = isIdentity(covariances + k * packed, d);

  SkipTable table;
  {
    std::vector<float> axes(static_cast<size_t>(K) * d);
    std::vector<SkipBound> bounds(static_cast<size_t>(K));
    pool.run(K, [&](int64_t k, int worker) {
      bounds[k] =
          makeSkipBound(covariances + k * packed, normalisers[k], d, axes.data() + k * d, scratch[worker].eigenScratch);
    });
    buildSkipTable(means, axes.data(), bounds.data(), K, d, table);
  }
  NeededDensities neededDensities(table, pool.threadCount(), kernels);
  // Every inverse as the full matrix of doubles the vector densities read,
  // made once a pass unless there are too many of them to keep.
  std::vector<double> inverseFullAll;
  if (keepFullInverses) {
    inverseFullAll.resize(static_cast<size_t>(K) * d * d);
    pool.run(K, [&](int64_t k, int) { widenInverse(covariances + k * packed, d, inverseFullAll.data() + k * d * d); });
  }

  std::vector<float> points(static_cast<size_t>(kBlockPoints) * d);
  std::vector<uint8_t> safe(kBlockPoints);
  std::vector<int16_t> near(kBlockPoints);
  std::vector<double> logShare(kBlockPoints);
  std::vector<uint8_t> hasLogShare(kBlockPoints);
  const int64_t maxChunks = (kBlockPoints + chunkPoints - 1) / chunkPoints;
  std::vector<std::vector<Share>> chunkShares(maxChunks);
  std::vector<std::vector<Share>> chunkByCluster(maxChunks);
  // Row c: where each microcluster's shares start in chunk c's sorted list.
  std::vector<int32_t> chunkClusterStart(static_cast<size_t>(maxChunks) * (K + 1));

  // The densities a run of points needs, in each point's evaluation order:
  // its list order.
  auto collectCandidates = [&](int64_t first, int64_t end, int64_t block, WorkerScratch& s) {
    s.candidates.clear();
    s.firstPoint = first;
    for (int64_t p = first; p < end; ++p) {
      const int64_t P = block + p;
      auto add = [&](int64_t q, int32_t g) {
        s.candidates.push_back(Candidate{static_cast<int32_t>(p), static_cast<int32_t>(q), g, 0.0f});
      };
      s.pointSafe[p - first] = safe[p];
      s.pointStart[p - first] = static_cast<int32_t>(s.candidates.size());
      const int16_t* items = firstPass ? nullptr : tmp_ItemList[P].items;
      if (neededDensities.all(p)) {
        for (int64_t q = 0; q < m; ++q) add(q, firstPass ? static_cast<int32_t>(q) : items[q]);
        continue;
      }
      const int16_t* needed = neededDensities.ids(p);
      const int64_t count = neededDensities.size(p);
      if (firstPass) {
        // Lists are in microcluster order in the first pass.
        for (int64_t i = 0; i < count; ++i) add(needed[i], needed[i]);
        continue;
      }
      const int64_t tail = pointHints != nullptr ? pointHints[P].tail : -1;
      int32_t* positions = s.positions.data();
      if (tail >= 0 && tail <= kShortTail) {
        // A short tail is kept with the hint: no visit to the list itself.
        const int16_t* tailItems = tail <= PointHint::kTailItems ? pointHints[P].tailItems : items + (m - tail);
        const int64_t found =
            kernels.tailListPositions(needed, count, tailItems, tail, m, positions, s.clusters.data());
        for (int64_t i = 0; i < found; ++i) add(positions[i], s.clusters[i]);
      } else {
        const int64_t found = listPositions(needed, count, items, m, s.flags.data(), positions);
        for (int64_t i = 0; i < found; ++i) add(positions[i], items[positions[i]]);
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
      const double* inverseFull = inverseFullAll.data() + k * d * d;
      if (!keepFullInverses) {
        widenInverse(covariances + k * packed, d, s.inverseFull.data());
        inverseFull = s.inverseFull.data();
      }
      for (int32_t i = begin; i < end; i += kDensityLanes) {
        const int count = std::min<int32_t>(kDensityLanes, end - i);
        const float* lanes[kDensityLanes];
        float densities[kDensityLanes];
        for (int l = 0; l < count; ++l) lanes[l] = points.data() + int64_t{cand[s.byCluster[i + l]].point} * d;
        kernels.pointDensities(lanes, count, mean, inverseFull, normalisers[k], d, densities, s.laneScratch.data());
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
      // A zero density adds nothing to the point's sum or sums: densities are
      // never -0 (the normalisers are +0 or more, or not a number), the sum
      // starts at +0, and for a point with finite differences 0·x is a zero
      // (for the sign of the mean sums see replaySignedZeroSums).
      evaluated = std::remove_if(cand, cand + evaluated, [](const Candidate& c) { return c.density == 0.0f; }) - cand;
    }
    double sum = 0.0;
    for (int64_t i = 0; i < evaluated; ++i) sum += cand[i].density;
    hasLogShare[p] = sum > 0.0;
    if (sum > 0.0) logShare[p] = firstPass ? std::log(sum) : kLaterPassLogScale * std::log(sum);

    // Responsibilities of the evaluated microclusters; every other one is 0.
    bool ordinary = true;
    float largest = 0.0f;
    int32_t nearest = -1;
    for (int64_t i = 0; i < evaluated; ++i) {
      const float r = sum > 0.0 ? static_cast<float>(cand[i].density / sum) : 0.0f;
      cand[i].density = r;
      if (!std::isfinite(r)) ordinary = false;
      if (r != 0.0f || !safe) {
        out.push_back(Share{static_cast<uint16_t>(p), static_cast<int16_t>(cand[i].cluster), r});
      }
      if (r > largest) {
        largest = r;
        nearest = cand[i].cluster;
      }
    }
    // In list order (later passes) the first of equal largest is the best;
    // the first pass's list order comes below.
    if (pointHints != nullptr) pointHints[P].best = static_cast<int16_t>(nearest);

    float* row = responsibilities + P * m;
    if (!firstPass) {
      std::fill(row, row + m, 0.0f);
      for (int64_t i = 0; i < evaluated; ++i) row[cand[i].position] = cand[i].density;
      return;
    }
    ItemList& list = tmp_ItemList[P];
    list.items = itemStorage + P * m;
    if (!ordinary) {
      // Values that are not numbers order the list in their own way.
      for (int64_t i = 0; i < evaluated; ++i) s.dense[cand[i].cluster] = cand[i].density;
      buildItemList(s.dense.data(), K, list.items);
      for (int64_t q = 0; q < m; ++q) row[q] = s.dense[list.items[q]];
      for (int64_t i = 0; i < evaluated; ++i) s.dense[cand[i].cluster] = 0.0f;
      if (pointHints != nullptr)
        pointHints[P].best = static_cast<int16_t>(mostProbableClusterPlain(row, list.items, m));
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
    if (pointHints != nullptr) {
      PointHint& hint = pointHints[P];
      // The list ends in the ranked ones; among equal largest the first in
      // the list is the best.
      size_t first = s.ranked.size();
      while (first > 0 && s.ranked[first - 1].first == s.ranked.back().first) --first;
      hint.best = static_cast<int16_t>(s.ranked.empty() ? -1 : s.ranked[first].second);
      hint.tail = static_cast<int16_t>(s.ranked.size());
      for (size_t i = 0; i < s.ranked.size() && i < PointHint::kTailItems; ++i) {
        hint.tailItems[i] = static_cast<int16_t>(s.ranked[i].second);
      }
    }
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

  ParallelPointReader reader(dataFile, d, dataNum, "datafile not opened!", pool, kernels);
  int64_t block = 0;
  for (;;) {
    const int64_t count = reader.readPoints(points.data(), kBlockPoints);
    if (count == 0) break;
    for (int64_t p = 0; p < count; ++p) {
      safe[p] = allSafe(points.data() + p * d, d);
      near[p] = firstPass || pointHints == nullptr ? int16_t{-1} : pointHints[block + p].best;
    }
    neededDensities.find(points.data(), safe.data(), near.data(), count, pool);

    const int64_t chunks = (count + chunkPoints - 1) / chunkPoints;
    pool.run(chunks, [&](int64_t c, int worker) {
      WorkerScratch& s = scratch[worker];
      std::vector<Share>& out = chunkShares[c];
      out.clear();
      const int64_t first = c * chunkPoints;
      const int64_t end = std::min(count, first + chunkPoints);
      collectCandidates(first, end, block, s);
      computeDensities(s);
      for (int64_t p = first; p < end; ++p) finishPoint(p, p - first, block, s, out);
      // The run's shares by microcluster, each microcluster's in point order.
      int32_t* start = chunkClusterStart.data() + c * (K + 1);
      std::fill(start, start + K + 1, 0);
      for (const Share& share : out) ++start[share.cluster + 1];
      for (int64_t k = 0; k < K; ++k) start[k + 1] += start[k];
      std::vector<Share>& sorted = chunkByCluster[c];
      sorted.resize(out.size());
      s.clusterStart.assign(start, start + K);
      for (const Share& share : out) sorted[s.clusterStart[share.cluster]++] = share;
    });

    // Each microcluster's sums take the block's runs in order, so its terms
    // come in point order. The log-likelihood, a sum in point order too, is
    // one more task, handed out first.
    pool.run(K + 1, [&](int64_t task, int worker) {
      if (task == 0) {
        for (int64_t p = 0; p < count; ++p) {
          if (hasLogShare[p]) logLikelihood = static_cast<float>(logLikelihood + logShare[p]);
        }
        return;
      }
      const int64_t k = task - 1;
      WorkerScratch& s = scratch[worker];
      const float* mean = means + k * d;
      float* sumX = uX + k * d;
      float* sumXXT = uXXT + k * packed;
      float* startX = s.startX.data();
      std::copy(sumX, sumX + d, startX);
      auto finishSums = [&] {
        replaySignedZeroSums(points.data(), count, d, startX, chunkByCluster, chunkClusterStart.data(), chunks, K, k,
                             sumX);
      };
      if (!wide) {
        for (int64_t c = 0; c < chunks; ++c) {
          const int32_t* start = chunkClusterStart.data() + c * (K + 1);
          for (int64_t i = start[k]; i < start[k + 1]; ++i) {
            const Share& share = chunkByCluster[c][i];
            accumulatePoint(points.data() + int64_t{share.point} * d, mean, share.r, d, s.t.data(), sumX, weightSums[k],
                            sumXXT);
          }
        }
        finishSums();
        return;
      }
      // The sums of one microcluster stay in the worker's own memory (or
      // registers) while they grow, which also keeps threads off each other's
      // cache lines. Runs of ordinary shares go to the vector kernel at once.
      WideAccumulator& acc = *s.accumulator;
      int64_t pending = 0;
      auto flush = [&] {
        acc.addRun(s.runPoints.data(), s.runShares.data(), pending, mean);
        pending = 0;
      };
      acc.load(sumX, weightSums[k], sumXXT);
      for (int64_t c = 0; c < chunks; ++c) {
        const int32_t* start = chunkClusterStart.data() + c * (K + 1);
        for (int64_t i = start[k]; i < start[k + 1]; ++i) {
          const Share& share = chunkByCluster[c][i];
          const float* x = points.data() + int64_t{share.point} * d;
          // Finite r and a point with finite differences: the vector kernel.
          if (safe[share.point] != 0 && std::isfinite(share.r)) {
            s.runPoints[pending] = x;
            s.runShares[pending] = share.r;
            if (++pending == kRunShares) flush();
            continue;
          }
          flush();
          acc.store(sumX, weightSums[k], sumXXT);
          accumulatePoint(x, mean, share.r, d, s.t.data(), sumX, weightSums[k], sumXXT);
          acc.load(sumX, weightSums[k], sumXXT);
        }
      }
      flush();
      acc.store(sumX, weightSums[k], sumXXT);
      finishSums();
    });
    block += count;
  }
  // Every point's best is the largest of its responsibilities as they now
  // stand, the first in list order among equals.
  bestHintsCurrent = pointHints != nullptr;
}

}  // namespace zelmor
