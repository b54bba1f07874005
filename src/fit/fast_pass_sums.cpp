// The fast pass's M-step sums: each microcluster's over a block's shares, in
// point order, the signs of zero sums as the plain pass leaves them.
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "fit/fast_pass.h"
#include "kernels/e_step_kernels.h"

namespace zelmor::fast_pass {

namespace {

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
                          const std::vector<std::vector<Share>>& byCluster, const int32_t* clusterStart, int64_t chunks,
                          int64_t K, int64_t k, float* sumX) {
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

void FastPass::addBlockSums(int64_t task, int worker, int64_t count, int64_t chunks) {
  if (task == 0) {
    for (int64_t p = 0; p < count; ++p) {
      if (hasLogShare_[p]) logLikelihood_ = static_cast<float>(logLikelihood_ + logShare_[p]);
    }
    return;
  }
  addMicroclusterSums(task - 1, scratch_[worker], count, chunks);
}

// Microcluster k's sums over the block's shares, in point order.
void FastPass::addMicroclusterSums(int64_t k, WorkerScratch& s, int64_t count, int64_t chunks) {
  const float* mean = model_.means + k * d_;
  float* sumX = sums_.sumX.data() + k * d_;
  float* sumXXT = sums_.scatter.data() + k * packed_;
  float& weightSum = sums_.weightSums[k];
  const float* points = points_.data();
  std::copy(sumX, sumX + d_, s.startX.data());
  auto shares = [&](int64_t c) {
    const int32_t* start = chunkClusterStart_.data() + c * (K_ + 1);
    return std::pair<const Share*, const Share*>(chunkByCluster_[c].data() + start[k],
                                                 chunkByCluster_[c].data() + start[k + 1]);
  };
  if (!wide_) {
    for (int64_t c = 0; c < chunks; ++c) {
      for (auto [share, end] = shares(c); share < end; ++share) {
        accumulatePoint(points + int64_t{share->point} * d_, mean, share->r, d_, s.t.data(), sumX, weightSum, sumXXT);
      }
    }
  } else {
    // The sums of one microcluster stay in the worker's own memory (or
    // registers) while they grow, which also keeps threads off each other's
    // cache lines. Runs of ordinary shares go to the vector kernel at once.
    WideAccumulator& acc = *s.accumulator;
    int64_t pending = 0;
    auto flush = [&] {
      acc.addRun(s.runPoints.data(), s.runShares.data(), pending, mean);
      pending = 0;
    };
    acc.load(sumX, weightSum, sumXXT);
    for (int64_t c = 0; c < chunks; ++c) {
      for (auto [share, end] = shares(c); share < end; ++share) {
        const float* x = points + int64_t{share->point} * d_;
        // Finite r and a point with finite differences: the vector kernel.
        if (safe_[share->point] != 0 && std::isfinite(share->r)) {
          s.runPoints[pending] = x;
          s.runShares[pending] = share->r;
          if (++pending == kRunShares) flush();
          continue;
        }
        flush();
        acc.store(sumX, weightSum, sumXXT);
        accumulatePoint(x, mean, share->r, d_, s.t.data(), sumX, weightSum, sumXXT);
        acc.load(sumX, weightSum, sumXXT);
      }
    }
    flush();
    acc.store(sumX, weightSum, sumXXT);
  }
  replaySignedZeroSums(points, count, d_, s.startX.data(), chunkByCluster_, chunkClusterStart_.data(), chunks, K_, k,
                       sumX);
}

}  // namespace zelmor::fast_pass
