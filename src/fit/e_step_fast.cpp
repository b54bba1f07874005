// One E-step pass, the parallel version. Points are read in blocks. For each
// block: first the densities each point needs (those a bound cannot prove to
// be 0), then in runs of points in parallel the densities, responsibilities,
// item lists and rows of responsibilities (each point's arithmetic exactly as in the plain
// pass), then the block's weighted sums, per microcluster and in point order,
// so every sum sees its terms in the same order as the plain pass.
// Responsibilities of zero add nothing to any sum.
//
// Here: the pass's setup, its loop over the blocks and what each block
// keeps. The steps of a run of points are in fast_pass_densities.cpp and
// fast_pass_points.cpp, the sums in fast_pass_sums.cpp.
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "fit/coverage_refill.h"
#include "fit/e_step.h"
#include "fit/fast_pass.h"
#include "kernels/e_step_kernels.h"
#include "kernels/sparse_expand.h"
#include "runtime/heap.h"
#include "runtime/thread_pool.h"

namespace zelmor {
namespace fast_pass {

bool allSafe(const float* values, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    if (!(std::fabs(values[i]) <= kSafeMagnitude)) return false;
  }
  return true;
}

FastPass::FastPass(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
                   PassState& state, MStepSums& sums, float& logLikelihood)
    : model_(model),
      data_(data),
      control_(control),
      pool_(*control.pool()),
      state_(state),
      sums_(sums),
      logLikelihood_(logLikelihood),
      d_(model.d),
      K_(model.K),
      m_(model.K),
      packed_(packedSymLength(model.d)),
      firstPass_(iteration == 1),
      kernels_(control.kernels()),
      wide_(kernels_.isa != Isa::Scalar),
      keepFullInverses_(wide_ && int64_t{model.K} * model.d * model.d <= kKeptInverseDoubles),
      chunkPoints_(std::max<int64_t>(kChunkPoints, (model.K + 7) / 8)),
      compact_(*state.compact),
      keepValues_(state.keepValues),
      blockPoints_(StreamedCoverage::blockPoints(model.K)) {
  const int64_t N = state.points();
  if (state.hints.empty()) {
    try {
      state.hints = Buffer<PointHint>(N, "");
      std::fill(state.hints.data(), state.hints.data() + N, PointHint{-1});
    } catch (const Error&) {
      // Without room for hints the pass only finds its densities more slowly.
    }
  }
  hints_ = state.hints.empty() ? nullptr : state.hints.data();
  prepareScratch();
  prepareInverses();
  points_.resize(static_cast<size_t>(blockPoints_) * d_);
  safe_.resize(blockPoints_);
  near_.resize(blockPoints_);
  logShare_.resize(blockPoints_);
  hasLogShare_.resize(blockPoints_);
  const int64_t maxChunks = (blockPoints_ + chunkPoints_ - 1) / chunkPoints_;
  chunkShares_.resize(maxChunks);
  chunkByCluster_.resize(maxChunks);
  chunkKeep_.resize(maxChunks);
  if (firstPass_) compact_.lists.clear();
  // The labels come from the hints, so a pass without them keeps every row.
  streaming_ = keepValues_ && hints_ != nullptr && state.coShareLevels != nullptr;
  if (keepValues_) state.streamed = streaming_;
  if (streaming_) {
    // Its per-point index is not needed again.
    compact_.values.release();
    compact_.coverage.start();
    std::fill(state.coShareLevels, state.coShareLevels + packedStrictLowerLength(K_), 0.0f);
    columnCounts_.resize(static_cast<size_t>(K_));
    rowAt_.resize(static_cast<size_t>(blockPoints_));
  } else if (keepValues_) {
    compact_.values.clear();
  }
  recordForecast_ = !keepValues_ && hints_ != nullptr && state.coShareLevels != nullptr;
  if (recordForecast_) {
    compact_.coverage.startForecast();
    for (WorkerScratch& s : scratch_) s.forecast.assign(static_cast<size_t>(K_), 0.0);
  }
  chunkClusterStart_.resize(static_cast<size_t>(maxChunks) * (K_ + 1));
}

void FastPass::prepareScratch() {
  scratch_.resize(static_cast<size_t>(pool_.threadCount()));
  for (WorkerScratch& s : scratch_) {
    s.t.resize(static_cast<size_t>(d_));
    s.startX.resize(static_cast<size_t>(d_));
    s.laneScratch.resize(static_cast<size_t>(d_) * kDensityLanes);
    if (!keepFullInverses_) s.inverseFull.resize(static_cast<size_t>(d_) * d_);
    s.accumulator = std::make_unique<WideAccumulator>(d_, kernels_);
    s.runPoints.resize(kRunShares);
    s.runShares.resize(kRunShares);
    s.positions.resize(static_cast<size_t>(K_));
    s.clusters.resize(static_cast<size_t>(K_));
    s.pointStart.resize(static_cast<size_t>(chunkPoints_) + 1);
    s.pointSafe.resize(static_cast<size_t>(chunkPoints_));
    s.clusterStart.resize(static_cast<size_t>(K_) + 1);
    s.dense.assign(static_cast<size_t>(K_), 0.0f);
    s.columnStride = (chunkPoints_ + kDensityLanes - 1) / kDensityLanes * kDensityLanes;
    s.columns.assign(static_cast<size_t>(s.columnStride) * d_, 0.0f);
    s.denseSlot.assign(static_cast<size_t>(K_), -1);
    s.tail.resize(static_cast<size_t>(K_));
    s.items.resize(static_cast<size_t>(K_));
    s.flags.assign(static_cast<size_t>(K_), 0);
    s.row.resize(static_cast<size_t>(K_));
    s.shares.resize(static_cast<size_t>(K_));
    for (auto* v : {&s.foundValues, &s.rankedValues}) v->resize(static_cast<size_t>(K_));
    for (auto* v : {&s.foundIds, &s.rankedIds}) v->resize(static_cast<size_t>(K_));
    s.tailPositions = std::make_unique<TailPositions>(K_);
  }
}

// The identity flags, the skip bounds and the widened inverses of the pass.
void FastPass::prepareInverses() {
  identityInverse_.resize(static_cast<size_t>(K_));
  for (int64_t k = 0; k < K_; ++k) identityInverse_[k] = isIdentity(model_.inverses + k * packed_, d_);
  std::vector<float> axes(static_cast<size_t>(K_) * d_);
  std::vector<SkipBound> bounds(static_cast<size_t>(K_));
  pool_.run(K_, [&](int64_t k, int worker) {
    bounds[k] = makeSkipBound(model_.inverses + k * packed_, model_.normalisers[k], d_, axes.data() + k * d_,
                              scratch_[worker].eigenScratch);
  });
  buildSkipTable(model_.means, axes.data(), bounds.data(), K_, d_, table_);
  neededDensities_ = std::make_unique<NeededDensities>(table_, pool_.threadCount(), kernels_);
  if (keepFullInverses_) {
    inverseFullAll_.resize(static_cast<size_t>(K_) * d_ * d_);
    pool_.run(K_, [&](int64_t k, int) {
      widenInverse(model_.inverses + k * packed_, d_, inverseFullAll_.data() + k * d_ * d_);
    });
  }
}

void FastPass::run() {
  const std::unique_ptr<PointPass> pass = data_.startPass(&pool_, kernels_, "datafile not opened!");
  int64_t block = 0;
  for (;;) {
    control_.checkStop();
    const int64_t count = pass->readPoints(points_.data(), blockPoints_);
    if (count == 0) break;
    readBlockHints(count, block);
    neededDensities_->find(points_.data(), safe_.data(), near_.data(), count, pool_);
    const int64_t chunks = (count + chunkPoints_ - 1) / chunkPoints_;
    pool_.run(chunks, [&](int64_t c, int worker) { processChunk(c, worker, count, block); });
    if (recordForecast_) addForecast(block);
    if (defer_) {
      keepBlock(count, block);
      keepBlockTerms(count, chunks);
      block += count;
      continue;
    }
    // Each microcluster's sums take the block's runs in order, so its terms
    // come in point order. The log-likelihood, a sum in point order too, is
    // one more task, handed out first, and the keeping of the block's lists
    // and responsibilities another.
    pool_.run(K_ + 2, [&](int64_t task, int worker) {
      if (task == K_ + 1) {
        keepBlock(count, block);
      } else {
        addBlockSums(task, worker, count, chunks);
      }
    });
    if (streaming_) addBlockCoSharing(count);
    block += count;
  }
  // Every point's best is the largest of its responsibilities as they now
  // stand, the first in list order among equals.
  state_.hintsHoldBest = hints_ != nullptr;
}

void FastPass::keepBlockTerms(int64_t count, int64_t chunks) {
  KeptBlock& kept = kept_.emplace_back();
  kept.count = count;
  kept.chunks = chunks;
  kept.points.assign(points_.begin(), points_.begin() + count * d_);
  kept.safe.assign(safe_.begin(), safe_.begin() + count);
  kept.logShare.assign(logShare_.begin(), logShare_.begin() + count);
  kept.hasLogShare.assign(hasLogShare_.begin(), hasLogShare_.begin() + count);
  kept.byCluster.assign(chunkByCluster_.begin(), chunkByCluster_.begin() + chunks);
  kept.clusterStart.assign(chunkClusterStart_.begin(), chunkClusterStart_.begin() + chunks * (K_ + 1));
}

void FastPass::addKeptLogLikelihood(float& logLikelihood) const {
  for (const KeptBlock& kept : kept_) {
    for (int64_t p = 0; p < kept.count; ++p) {
      if (kept.hasLogShare[p]) logLikelihood = static_cast<float>(logLikelihood + kept.logShare[p]);
    }
  }
}

// Each kept block in turn takes the place of the block being processed, so
// that its sums are added exactly as the pass would have added them.
void FastPass::addKeptSums(int32_t kBegin, int32_t kEnd) {
  for (KeptBlock& kept : kept_) {
    std::swap(points_, kept.points);
    std::swap(safe_, kept.safe);
    std::swap(chunkByCluster_, kept.byCluster);
    std::swap(chunkClusterStart_, kept.clusterStart);
    pool_.run(kEnd - kBegin, [&](int64_t task, int worker) {
      addMicroclusterSums(kBegin + task, scratch_[worker], kept.count, kept.chunks);
    });
    std::swap(points_, kept.points);
    std::swap(safe_, kept.safe);
    std::swap(chunkByCluster_, kept.byCluster);
    std::swap(chunkClusterStart_, kept.clusterStart);
  }
}

// The block's tails and responsibilities into the compact state, in point
// order (the state's storage is filled one span after the other).
void FastPass::keepBlock(int64_t count, int64_t block) {
  const int64_t chunks = (count + chunkPoints_ - 1) / chunkPoints_;
  for (int64_t c = 0; c < chunks; ++c) {
    const ChunkKeep& keep = chunkKeep_[c];
    const int64_t first = block + c * chunkPoints_;
    const int64_t points = std::min(count - c * chunkPoints_, chunkPoints_);
    const int16_t* tail = keep.tails.data();
    for (int64_t i = 0; firstPass_ && i < points; ++i) {
      compact_.lists.set(first + i, tail, keep.tailLength[i]);
      tail += keep.tailLength[i];
    }
    int64_t at = 0;
    for (int64_t i = 0; keepValues_ && !streaming_ && i < points; ++i) {
      const int64_t n = keep.valueCount[i];
      compact_.values.set(first + i, keep.positions.data() + at, keep.clusters.data() + at, keep.values.data() + at, n);
      at += n;
    }
  }
  if (streaming_) keepColumns(count, block);
}

// The workers' sums of the block by list position into the forecast.
void FastPass::addForecast(int64_t block) {
  for (WorkerScratch& s : scratch_) {
    compact_.coverage.forecastBlock(block, s.forecast.data());
    std::fill(s.forecast.begin(), s.forecast.end(), 0.0);
  }
}

// A streaming pass's block: its values grouped by list position, each
// group's in point order, into the columns; and where each point's entries
// start, for the co-sharing levels.
void FastPass::keepColumns(int64_t count, int64_t block) {
  const int64_t chunks = (count + chunkPoints_ - 1) / chunkPoints_;
  std::fill(columnCounts_.begin(), columnCounts_.end(), 0);
  int64_t total = 0;
  for (int64_t c = 0; c < chunks; ++c) {
    const ChunkKeep& keep = chunkKeep_[c];
    const int64_t points = std::min(count - c * chunkPoints_, chunkPoints_);
    int32_t at = 0;
    for (int64_t i = 0; i < points; ++i) {
      rowAt_[c * chunkPoints_ + i] = at;
      at += keep.valueCount[i];
    }
    for (int32_t e = 0; e < at; ++e) ++columnCounts_[keep.positions[e]];
    total += at;
  }
  columnCursor_.resize(static_cast<size_t>(K_));
  for (int64_t j = 0, start = 0; j < K_; ++j) {
    columnCursor_[j] = start;
    start += columnCounts_[j];
  }
  columnValues_.resize(static_cast<size_t>(total));
  for (int64_t c = 0; c < chunks; ++c) {
    const ChunkKeep& keep = chunkKeep_[c];
    for (size_t e = 0; e < keep.values.size(); ++e) columnValues_[columnCursor_[keep.positions[e]]++] = keep.values[e];
  }
  compact_.coverage.addBlock(block, columnValues_.data(), columnCounts_.data());
}

// A streaming pass's block adds its products to the co-sharing levels, every
// level's in point order.
void FastPass::addBlockCoSharing(int64_t count) {
  const SparseRowReader rows = [this](int64_t p, SparseRowScratch&) {
    const ChunkKeep& keep = chunkKeep_[p / chunkPoints_];
    const int64_t at = rowAt_[p];
    return SparseRow{keep.valueCount[p % chunkPoints_], keep.positions.data() + at, keep.clusters.data() + at,
                     keep.values.data() + at};
  };
  addCoSharing(rows, count, m_, state_.coShareLevels, pool_, kernels_);
}

void FastPass::readBlockHints(int64_t count, int64_t block) {
  for (int64_t p = 0; p < count; ++p) {
    safe_[p] = allSafe(points_.data() + p * d_, d_);
    near_[p] = firstPass_ || hints_ == nullptr ? int16_t{-1} : hints_[block + p].best;
  }
}

}  // namespace fast_pass

namespace {

using fast_pass::allSafe;
using fast_pass::FastPass;

class DeferredFastPass : public DeferredSumsPass {
 public:
  DeferredFastPass(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
                   PassState& state, MStepSums& sums)
      : pass_(iteration, model, data, control, state, sums, unusedLikelihood_) {
    pass_.deferSums();
    pass_.run();
  }
  void addLogLikelihood(float& logLikelihood) override { pass_.addKeptLogLikelihood(logLikelihood); }
  void addSums(int32_t kBegin, int32_t kEnd) override { pass_.addKeptSums(kBegin, kEnd); }

 private:
  float unusedLikelihood_ = 0.0f;
  FastPass pass_;
};

}  // namespace

bool eStepPassGoesPlain(const PassModel& model) { return !allSafe(model.means, int64_t{model.K} * model.d); }

std::unique_ptr<DeferredSumsPass> eStepPassFastDeferred(int32_t iteration, const PassModel& model,
                                                        const PointSource& data, const RunControl& control,
                                                        PassState& state, MStepSums& sums) {
  if (eStepPassGoesPlain(model)) return nullptr;
  state.hintsHoldBest = false;
  auto pass = std::make_unique<DeferredFastPass>(iteration, model, data, control, state, sums);
  if (state.keepValues) state.valuesIteration = iteration;
  return pass;
}

void eStepPassFast(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
                   PassState& state, MStepSums& sums, float& logLikelihood) {
  // Means that are not finite (or huge) poison the sums even where a
  // responsibility is zero; the plain pass reproduces that exactly.
  if (eStepPassGoesPlain(model)) {
    eStepPassPlain(iteration, model, data, control, state, sums, logLikelihood);
    return;
  }
  state.hintsHoldBest = false;
  FastPass pass(iteration, model, data, control, state, sums, logLikelihood);
  pass.run();
  if (state.keepValues) state.valuesIteration = iteration;
  // The streamed coverage sum, where its forecast missed, needs some of the
  // pass's values made again.
  while (state.keepValues && state.streamed && !state.compact->coverage.resolve()) {
    refillCoverage(model, data, control, *state.compact);
  }
}

}  // namespace zelmor
