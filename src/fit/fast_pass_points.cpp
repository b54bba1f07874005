// The fast pass's run of points, after their densities: each point's
// log-likelihood share, responsibilities, list (first pass) or kept row, and
// the run's shares sorted by microcluster for the sums.
#include <algorithm>
#include <cmath>
#include <vector>

#include "fit/em_constants.h"
#include "fit/fast_pass.h"
#include "kernels/e_step_kernels.h"
#include "kernels/expand_kernels.h"

namespace zelmor::fast_pass {

// One run of points: their densities, responsibilities and rows, and their
// shares sorted by microcluster for the sums.
void FastPass::processChunk(int64_t c, int worker, int64_t count, int64_t block) {
  WorkerScratch& s = scratch_[worker];
  std::vector<Share>& out = chunkShares_[c];
  out.clear();
  chunkKeep_[c].clear();
  const int64_t first = c * chunkPoints_;
  const int64_t end = std::min(count, first + chunkPoints_);
  collectCandidates(first, end, block, s);
  computeDensities(s);
  for (int64_t p = first; p < end; ++p) finishPoint(p, p - first, block, s, out, chunkKeep_[c]);
  sortChunkShares(c, s);
}

// The run's shares by microcluster, each microcluster's in point order.
void FastPass::sortChunkShares(int64_t c, WorkerScratch& s) {
  const std::vector<Share>& out = chunkShares_[c];
  int32_t* start = chunkClusterStart_.data() + c * (K_ + 1);
  std::fill(start, start + K_ + 1, 0);
  for (const Share& share : out) ++start[share.cluster + 1];
  for (int64_t k = 0; k < K_; ++k) start[k + 1] += start[k];
  std::vector<Share>& sorted = chunkByCluster_[c];
  sorted.resize(out.size());
  s.clusterStart.assign(start, start + K_);
  for (const Share& share : out) sorted[s.clusterStart[share.cluster]++] = share;
}

// One point's log-likelihood share, responsibilities, row and hint; its
// nonzero shares go to `out`.
void FastPass::finishPoint(int64_t p, int64_t local, int64_t block, WorkerScratch& s, std::vector<Share>& out,
                           ChunkKeep& keep) {
  const int64_t P = block + p;
  const bool safe = s.pointSafe[local] != 0;
  Candidate* cand = s.candidates.data() + s.pointStart[local];
  int64_t evaluated = s.pointStart[local + 1] - s.pointStart[local];
  // A zero density adds nothing to the point's sum or sums: densities are
  // never -0 (the normalisers are +0 or more, or not a number), the sum
  // starts at +0, and for a point with finite differences 0·x is a zero (for
  // the sign of the mean sums see replaySignedZeroSums). So the sum may take
  // them in, and a safe point drops them: every candidate is written at the
  // next place, which it keeps where its density is nonzero (zeros come in
  // no pattern a branch could learn).
  float* shares = s.shares.data();
  double sum = 0.0;
  int64_t kept = 0;
  for (int64_t i = 0; i < evaluated; ++i) {
    const Candidate c = cand[i];
    sum += c.density;
    cand[kept] = c;
    shares[kept] = c.density;
    kept += !safe || c.density != 0.0f;
  }
  evaluated = kept;
  hasLogShare_[p] = sum > 0.0;
  if (streaming_) compact_.coverage.setPointSum(P, sum);
  if (sum > 0.0) logShare_[p] = firstPass_ ? std::log(sum) : kLaterPassLogScale * std::log(sum);

  // Responsibilities of the evaluated microclusters; every other one is 0.
  if (sum > 0.0) {
    kernels_.divideShares(shares, evaluated, sum);
  } else {
    std::fill(shares, shares + evaluated, 0.0f);
  }
  bool ordinary = true;
  float largest = 0.0f;
  int32_t nearest = -1;
  for (int64_t i = 0; i < evaluated; ++i) {
    const float r = shares[i];
    cand[i].density = r;
    if (!std::isfinite(r)) ordinary = false;
    if (recordForecast_ && !firstPass_) s.forecast[cand[i].position] += r;
    if (r != 0.0f || !safe) out.push_back(Share{static_cast<uint16_t>(p), static_cast<int16_t>(cand[i].cluster), r});
    if (r > largest) {
      largest = r;
      nearest = cand[i].cluster;
    }
  }
  // In list order (later passes) the first of equal largest is the best;
  // the first pass's list order comes below.
  if (hints_ != nullptr) hints_[P].best = static_cast<int16_t>(nearest);

  if (firstPass_) {
    writeFirstPassList(P, cand, evaluated, ordinary, s, keep);
  } else if (keepValues_) {
    keepRow(P, cand, evaluated, ordinary, s, keep);
  }
}

// A later pass's row of point P, its entries in list order: the nonzero
// ones, or all where one is not a finite number.
void FastPass::keepRow(int64_t P, const Candidate* cand, int64_t evaluated, bool ordinary, WorkerScratch& s,
                       ChunkKeep& keep) {
  const size_t before = keep.values.size();
  if (ordinary) {
    for (int64_t i = 0; i < evaluated; ++i) {
      if (cand[i].density != 0.0f) keep.addValue(cand[i].position, cand[i].cluster, cand[i].density);
    }
  } else {
    compact_.lists.expand(P, s.items.data(), s.flags.data());
    for (int64_t i = 0; i < evaluated; ++i) s.dense[cand[i].position] = cand[i].density;
    for (int64_t q = 0; q < m_; ++q) {
      keep.addValue(static_cast<int32_t>(q), s.items[q], s.dense[q]);
      s.dense[q] = 0.0f;
    }
  }
  keep.valueCount.push_back(static_cast<int32_t>(keep.values.size() - before));
}

// The first pass's list of point P and its row: ascending responsibility, the
// higher index first among equals, so the zeros first in descending index
// order, then the rest sorted: the tail. Values that are not numbers order
// the list in their own way; such a list is kept whole.
void FastPass::writeFirstPassList(int64_t P, const Candidate* cand, int64_t evaluated, bool ordinary, WorkerScratch& s,
                                  ChunkKeep& keep) {
  if (!ordinary) {
    for (int64_t i = 0; i < evaluated; ++i) s.dense[cand[i].cluster] = cand[i].density;
    int16_t* items = s.items.data();
    buildItemList(s.dense.data(), K_, items);
    for (int64_t q = 0; q < m_; ++q) s.row[q] = s.dense[items[q]];
    for (int64_t i = 0; i < evaluated; ++i) s.dense[cand[i].cluster] = 0.0f;
    if (hints_ != nullptr) hints_[P].best = static_cast<int16_t>(mostProbableClusterPlain(s.row.data(), items, m_));
    keep.tailLength.push_back(static_cast<int32_t>(m_));
    keep.tails.insert(keep.tails.end(), items, items + m_);
    if (keepValues_) {
      for (int64_t q = 0; q < m_; ++q) keep.addValue(static_cast<int32_t>(q), items[q], s.row[q]);
      keep.valueCount.push_back(static_cast<int32_t>(m_));
    }
    return;
  }
  int64_t tail = 0;
  for (int64_t i = 0; i < evaluated; ++i) {
    if (cand[i].density != 0.0f) {
      s.foundValues[tail] = cand[i].density;
      s.foundIds[tail++] = cand[i].cluster;
    }
  }
  kernels_.rankAscending(s.foundValues.data(), s.foundIds.data(), tail, s.rankedValues.data(), s.rankedIds.data());
  const float* values = s.rankedValues.data();
  const int32_t* ids = s.rankedIds.data();
  if (hints_ != nullptr) {
    // The list ends in the ranked ones; among equal largest the first in
    // the list is the best.
    int64_t first = tail;
    while (first > 0 && values[first - 1] == values[tail - 1]) --first;
    hints_[P].best = static_cast<int16_t>(tail == 0 ? -1 : ids[first]);
  }
  keep.tailLength.push_back(static_cast<int32_t>(tail));
  for (int64_t i = 0; i < tail; ++i) keep.tails.push_back(static_cast<int16_t>(ids[i]));
  for (int64_t i = 0; recordForecast_ && i < tail; ++i) s.forecast[m_ - tail + i] += values[i];
  if (keepValues_) {
    for (int64_t i = 0; i < tail; ++i) keep.addValue(static_cast<int32_t>(m_ - tail + i), ids[i], values[i]);
    keep.valueCount.push_back(static_cast<int32_t>(tail));
  }
}

}  // namespace zelmor::fast_pass
