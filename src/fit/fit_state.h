// The state the EM fit works on, each part owned by one type: the model's
// parameters, the M-step sums of a pass, and the responsibilities of the
// last pass with every point's item list. The arrays are sized once, before
// the first pass, so that a run too large for memory stops before it starts
// (the compact state's per-point indexes; its entries, whose number only the
// passes find, are obtained as the passes fill them); each names itself in
// the message of a failed request.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "fit/compact_store.h"
#include "fit/streamed_coverage.h"
#include "runtime/heap.h"

namespace zelmor {

// The fitted parameters: K means and covariances, the covariances packed
// (lower triangle by rows, d(d+1)/2 per microcluster).
struct Parameters {
  int32_t K = 0;
  int32_t d = 0;
  Buffer<float> means;        // K x d
  Buffer<float> covariances;  // K packed blocks

  // Means from `startMeans` (K x d), identity covariances.
  Parameters(const float* startMeans, int32_t K, int32_t d);
  int64_t packedLength() const { return packedSymLength(d); }
  float* mean(int64_t k) { return means.data() + k * d; }
  float* covariance(int64_t k) { return covariances.data() + k * packedLength(); }
  // Whether two or more microclusters all share one mean (the fit then
  // found nothing to tell them apart).
  bool allMeansEqual() const;
};

// What a pass reads of the model: means, packed inverse covariances and the
// density divisors.
struct PassModel {
  int32_t K;
  int32_t d;
  const float* means;
  const float* inverses;
  const float* normalisers;
};

// The weighted sums of one pass, from which the M-step makes the new
// parameters.
struct MStepSums {
  Buffer<float> weightSums;  // K responsibility sums
  Buffer<float> scatter;     // K packed weighted scatter sums
  Buffer<float> sumX;        // K x d weighted point sums

  MStepSums(int32_t K, int32_t d);
  void clear();
};

// One point's microclusters in ascending order of its first-pass
// responsibility (the higher index first among equals), and its
// responsibilities of a pass in that order. The first pass makes the lists;
// later passes keep them.
class Responsibilities {
 public:
  Responsibilities(int64_t N, int32_t K);

  int64_t points() const { return N_; }
  int32_t perPoint() const { return m_; }
  float* row(int64_t p) { return values_.data() + p * m_; }
  const float* row(int64_t p) const { return values_.data() + p * m_; }
  int16_t* list(int64_t p) { return lists_.data() + p * m_; }
  const int16_t* list(int64_t p) const { return lists_.data() + p * m_; }
  const float* values() const { return values_.data(); }
  // Gives the storage back.
  void release();

 private:
  int64_t N_;
  int32_t m_;
  Buffer<float> values_;
  Buffer<int16_t> lists_;
};

// What the parallel E-step remembers of a point from one pass to the next, to
// find the point's densities sooner; results never depend on it.
struct PointHint {
  int16_t best;  // microcluster of its largest responsibility, -1 if none
};

// The fast configuration's lists and responsibilities (see compact_store.h).
// A pass that knows it is the last may instead hand its results on as it
// goes (see PassState::coShareLevels): then `coverage` takes the coverage
// sum as the values pass, and the passes before it leave it a forecast.
struct CompactState {
  SparseValues values;
  CompactLists lists;
  StreamedCoverage coverage;
  CompactState(int64_t N, int32_t K) : values(N, K), lists(N, K), coverage(N, K) {}
};

// What one pass leaves for the next, and the last pass for the steps after
// the loop. The plain reference keeps every row dense; the fast
// configuration keeps the compact state.
struct PassState {
  std::optional<Responsibilities> responsibilities;  // dense rows and lists
  std::optional<CompactState> compact;
  Buffer<PointHint> hints;  // empty when there was no room for them
  // Each hint's best is its point's most probable microcluster under the
  // responsibilities as they stand (first in list order among equals).
  bool hintsHoldBest = false;
  // Whether the coming pass keeps its responsibilities (a dense state always
  // does), and the iteration whose responsibilities the state holds.
  bool keepValues = true;
  int32_t valuesIteration = 0;
  // Where the fast pass that keeps its responsibilities (compact state) adds
  // the co-sharing levels as it goes, and the coverage sum into
  // compact->coverage; null to keep every row. `streamed` says which
  // the kept pass did.
  float* coShareLevels = nullptr;
  bool streamed = false;

  PassState(int64_t N, int32_t K, bool dense);
  int64_t points() const { return responsibilities ? responsibilities->points() : compact->lists.points(); }
};

}  // namespace zelmor
