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

#include "fit/compact_store.h"
#include "fit/coverage_refill.h"
#include "fit/density_bounds.h"
#include "fit/e_step.h"
#include "fit/em_constants.h"
#include "fit/list_positions.h"
#include "fit/needed_densities.h"
#include "kernels/e_step_kernels.h"
#include "kernels/e_step_wide.h"
#include "kernels/expand_kernels.h"
#include "kernels/kernel_table.h"
#include "kernels/sparse_expand.h"
#include "runtime/heap.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

// The most points of a block (StreamedCoverage::blockPoints gives fewer for
// many microclusters).
constexpr int64_t kBlockPoints = 16384;
// Points of one parallel run; more for many microclusters, whose per-run
// tables grow with K.
constexpr int64_t kChunkPoints = 128;
// Full inverses kept for a whole pass up to this many doubles (32 MB).
constexpr int64_t kKeptInverseDoubles = int64_t{4} << 20;
// A microcluster needed by at least this share of a run's points has its
// densities computed for all of them, without picking the points out.
constexpr double kDenseShare = 0.6;
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

// What a run of points leaves for the compact state, in point order: each
// point's tail (first pass) and its kept responsibilities.
struct ChunkKeep {
  std::vector<int32_t> tailLength;
  std::vector<int16_t> tails;
  std::vector<int32_t> valueCount;
  std::vector<int16_t> positions;
  std::vector<int16_t> clusters;
  std::vector<float> values;

  void clear() {
    tailLength.clear(), tails.clear(), valueCount.clear();
    positions.clear(), clusters.clear(), values.clear();
  }
  void addValue(int32_t position, int32_t cluster, float r) {
    positions.push_back(static_cast<int16_t>(position));
    clusters.push_back(static_cast<int16_t>(cluster));
    values.push_back(r);
  }
};

struct WorkerScratch {
  std::vector<float> t;
  std::vector<double> laneScratch;
  std::vector<double> inverseFull;
  std::unique_ptr<WideAccumulator> accumulator;
  std::vector<const float*> runPoints;
  std::vector<float> runShares;
  std::vector<int32_t> positions;
  std::vector<int16_t> clusters;
  std::vector<Candidate> candidates;
  std::vector<int32_t> pointStart;
  std::vector<uint8_t> pointSafe;
  std::vector<int32_t> clusterStart;
  std::vector<int32_t> byCluster;
  std::vector<float> dense;
  // The run's coordinates by dimension (row i: coordinate i of every point,
  // `columnStride` apart), and the densities of the microclusters taken
  // whole, one row each, the row given by denseSlot (-1: not taken whole).
  std::vector<float> columns;
  int64_t columnStride = 0;
  std::vector<int32_t> denseSlot;
  std::vector<float> denseValues;
  int64_t pointCount = 0;
  // A point's nonzero first-pass responsibilities and their microclusters,
  // as found and in list order.
  std::vector<float> foundValues;
  std::vector<int32_t> foundIds;
  std::vector<float> rankedValues;
  std::vector<int32_t> rankedIds;
  std::vector<int16_t> tail;
  std::vector<int16_t> items;
  std::vector<uint8_t> flags;
  std::vector<float> row;
  std::vector<float> shares;
  std::unique_ptr<TailPositions> tailPositions;
  std::vector<double> eigenScratch;
  std::vector<float> startX;
  // A pass that keeps nothing: the block's sums by list position, the next
  // pass's coverage forecast.
  std::vector<double> forecast;
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

// One parallel pass: the pass's fixed inputs, the per-worker scratch and the
// block buffers, and the steps each block goes through.
class FastPass {
 public:
  FastPass(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
           PassState& state, MStepSums& sums, float& logLikelihood);
  void run();
  // Keeps every block's terms instead of adding them (see DeferredSumsPass).
  void deferSums() { defer_ = true; }
  void addKeptLogLikelihood(float& logLikelihood) const;
  void addKeptSums(int32_t kBegin, int32_t kEnd);

 private:
  // A block's terms, kept for sums added later.
  struct KeptBlock {
    int64_t count, chunks;
    std::vector<float> points;
    std::vector<uint8_t> safe;
    std::vector<double> logShare;
    std::vector<uint8_t> hasLogShare;
    std::vector<std::vector<Share>> byCluster;
    std::vector<int32_t> clusterStart;
  };
  void keepBlockTerms(int64_t count, int64_t chunks);

  void prepareScratch();
  void prepareInverses();
  void readBlockHints(int64_t count, int64_t block);
  void processChunk(int64_t c, int worker, int64_t count, int64_t block);
  void collectCandidates(int64_t first, int64_t end, int64_t block, WorkerScratch& s);
  void computeDensities(WorkerScratch& s);
  bool chooseDenseClusters(WorkerScratch& s);
  void denseDensities(int64_t k, WorkerScratch& s);
  void sparseDensities(int32_t begin, int32_t end, int64_t k, WorkerScratch& s);
  const double* inverseFull(int64_t k, WorkerScratch& s);
  void identityDensities(int32_t begin, int32_t end, int64_t k, WorkerScratch& s);
  void finishPoint(int64_t p, int64_t local, int64_t block, WorkerScratch& s, std::vector<Share>& out, ChunkKeep& keep);
  void writeFirstPassList(int64_t P, const Candidate* cand, int64_t evaluated, bool ordinary, WorkerScratch& s,
                          ChunkKeep& keep);
  void keepRow(int64_t P, const Candidate* cand, int64_t evaluated, bool ordinary, WorkerScratch& s, ChunkKeep& keep);
  void keepBlock(int64_t count, int64_t block);
  void keepColumns(int64_t count, int64_t block);
  void addForecast(int64_t block);
  void addBlockCoSharing(int64_t count);
  void sortChunkShares(int64_t c, WorkerScratch& s);
  void addBlockSums(int64_t task, int worker, int64_t count, int64_t chunks);
  void addMicroclusterSums(int64_t k, WorkerScratch& s, int64_t count, int64_t chunks);

  const PassModel& model_;
  const PointSource& data_;
  const RunControl& control_;
  ThreadPool& pool_;
  PassState& state_;
  MStepSums& sums_;
  float& logLikelihood_;
  const int32_t d_;
  const int32_t K_;
  const int64_t m_;
  const int64_t packed_;
  const bool firstPass_;
  const KernelTable& kernels_;
  const bool wide_;
  const bool keepFullInverses_;
  const int64_t chunkPoints_;
  CompactState& compact_;
  const bool keepValues_;
  // Whether this pass hands its results on block by block (co-sharing levels
  // added, labels in the hints, values kept by position for the coverage)
  // instead of keeping every row.
  bool streaming_ = false;
  // Whether this pass, keeping nothing, leaves the coverage forecast.
  bool recordForecast_ = false;
  const int64_t blockPoints_;
  PointHint* hints_ = nullptr;  // null without room for hints
  bool defer_ = false;
  std::vector<KeptBlock> kept_;

  std::vector<WorkerScratch> scratch_;
  // In the first iteration every inverse is the identity, whose form is a
  // plain sum of squares: for a point with finite differences the zero
  // entries add 0·t = ±0 to each row sum, which changes nothing. Points with
  // larger values take the general kernel, where 0·inf is not a number.
  std::vector<uint8_t> identityInverse_;
  SkipTable table_;
  std::unique_ptr<NeededDensities> neededDensities_;
  // Every inverse as the full matrix of doubles the vector densities read,
  // made once a pass unless there are too many of them to keep.
  std::vector<double> inverseFullAll_;

  // The block being processed.
  std::vector<float> points_;
  std::vector<uint8_t> safe_;
  std::vector<int16_t> near_;
  std::vector<double> logShare_;
  std::vector<uint8_t> hasLogShare_;
  std::vector<std::vector<Share>> chunkShares_;
  std::vector<std::vector<Share>> chunkByCluster_;
  std::vector<ChunkKeep> chunkKeep_;
  // Row c: where each microcluster's shares start in chunk c's sorted list.
  std::vector<int32_t> chunkClusterStart_;
  // A streaming pass's block: the values by list position, and where each
  // point's kept entries start in its chunk's.
  std::vector<int32_t> columnCounts_;
  std::vector<int64_t> columnCursor_;
  std::vector<float> columnValues_;
  std::vector<int32_t> rowAt_;
};

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
  addCoSharing(rows, count, m_, state_.coShareLevels, pool_);
}

void FastPass::readBlockHints(int64_t count, int64_t block) {
  for (int64_t p = 0; p < count; ++p) {
    safe_[p] = allSafe(points_.data() + p * d_, d_);
    near_[p] = firstPass_ || hints_ == nullptr ? int16_t{-1} : hints_[block + p].best;
  }
}

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

// The densities a run of points needs, in each point's evaluation order: its
// list order.
void FastPass::collectCandidates(int64_t first, int64_t end, int64_t block, WorkerScratch& s) {
  s.candidates.clear();
  s.firstPoint = first;
  s.pointCount = end - first;
  const NeededDensities& needed = *neededDensities_;
  for (int64_t p = first; p < end; ++p) {
    const int64_t P = block + p;
    auto add = [&](int64_t q, int32_t g) {
      s.candidates.push_back(Candidate{static_cast<int32_t>(p), static_cast<int32_t>(q), g, 0.0f});
    };
    s.pointSafe[p - first] = safe_[p];
    s.pointStart[p - first] = static_cast<int32_t>(s.candidates.size());
    if (needed.all(p)) {
      if (!firstPass_) compact_.lists.expand(P, s.items.data(), s.flags.data());
      for (int64_t q = 0; q < m_; ++q) add(q, firstPass_ ? static_cast<int32_t>(q) : s.items[q]);
      continue;
    }
    const int16_t* ids = needed.ids(p);
    const int64_t count = needed.size(p);
    if (firstPass_) {
      // Lists are in microcluster order in the first pass.
      for (int64_t i = 0; i < count; ++i) add(ids[i], ids[i]);
      continue;
    }
    // The list is known by its tail: a short one in one vector, a long one
    // through a map of the tail's ranks.
    const int64_t tail = compact_.lists.tailLength(P);
    compact_.lists.copyTail(P, s.tail.data());
    int32_t* positions = s.positions.data();
    int64_t found = 0;
    if (tail <= kShortTail) {
      found = kernels_.tailListPositions(ids, count, s.tail.data(), tail, m_, positions, s.clusters.data());
    } else {
      s.tailPositions->load(s.tail.data(), tail);
      found = s.tailPositions->inListOrder(ids, count, positions, s.clusters.data());
      s.tailPositions->unload();
    }
    for (int64_t i = 0; i < found; ++i) add(positions[i], s.clusters[i]);
  }
  s.pointStart[end - first] = static_cast<int32_t>(s.candidates.size());
}

// Densities of the candidates, microcluster by microcluster so that several
// points share one pass over the inverse covariance. A microcluster that
// most of the run's points need takes all of them, read in order from the
// run's coordinates; the others take their candidates' points one by one.
void FastPass::computeDensities(WorkerScratch& s) {
  std::vector<Candidate>& cand = s.candidates;
  const float* points = points_.data();
  if (!wide_) {
    for (Candidate& c : cand) {
      c.density = pointDensity(points + int64_t{c.point} * d_, model_.means + int64_t{c.cluster} * d_,
                               model_.inverses + c.cluster * packed_, model_.normalisers[c.cluster], d_, s.t.data());
    }
    return;
  }
  std::fill(s.clusterStart.begin(), s.clusterStart.end(), 0);
  for (const Candidate& c : cand) ++s.clusterStart[c.cluster + 1];
  const bool dense = chooseDenseClusters(s);
  for (int64_t k = 0; k < K_; ++k) s.clusterStart[k + 1] += s.clusterStart[k];
  s.byCluster.resize(cand.size());
  for (size_t i = 0; i < cand.size(); ++i) {
    if (s.denseSlot[cand[i].cluster] < 0) s.byCluster[s.clusterStart[cand[i].cluster]++] = static_cast<int32_t>(i);
  }
  // clusterStart[k] now marks the end of microcluster k's run.
  for (int64_t k = 0; k < K_; ++k) {
    const int32_t begin = k == 0 ? 0 : s.clusterStart[k - 1];
    const int32_t end = s.clusterStart[k];
    if (s.denseSlot[k] >= 0) {
      denseDensities(k, s);
    } else if (begin < end) {
      sparseDensities(begin, end, k, s);
    }
  }
  if (!dense) return;
  for (Candidate& c : cand) {
    const int32_t slot = s.denseSlot[c.cluster];
    if (slot >= 0) c.density = s.denseValues[slot * s.columnStride + c.point - s.firstPoint];
  }
}

// Marks (denseSlot) the microclusters that at least kDenseShare of the run's
// points need, and lays out the run's coordinates for them; a microcluster
// taken whole counts no candidates for the sorted runs.
bool FastPass::chooseDenseClusters(WorkerScratch& s) {
  int32_t slots = 0;
  for (int64_t k = 0; k < K_; ++k) {
    const bool whole = s.clusterStart[k + 1] >= kDenseShare * static_cast<double>(s.pointCount);
    s.denseSlot[k] = whole ? slots++ : -1;
    if (whole) s.clusterStart[k + 1] = 0;
  }
  if (slots == 0) return false;
  s.denseValues.resize(static_cast<size_t>(slots) * s.columnStride);
  const float* first = points_.data() + s.firstPoint * d_;
  const int64_t padded = (s.pointCount + kDensityLanes - 1) / kDensityLanes * kDensityLanes;
  for (int64_t i = 0; i < d_; ++i) {
    float* column = s.columns.data() + i * s.columnStride;
    for (int64_t p = 0; p < s.pointCount; ++p) column[p] = first[p * d_ + i];
    std::fill(column + s.pointCount, column + padded, 0.0f);
  }
  return true;
}

// Microcluster k's densities for every point of the run, into its slot of
// denseValues. Under an identity inverse, points with differences that are
// not finite take the general form (see identityDensities).
void FastPass::denseDensities(int64_t k, WorkerScratch& s) {
  const float* mean = model_.means + k * d_;
  const float normaliser = model_.normalisers[k];
  float* out = s.denseValues.data() + s.denseSlot[k] * s.columnStride;
  if (!identityInverse_[k]) {
    kernels_.columnDensities(s.columns.data(), s.columnStride, s.pointCount, mean, inverseFull(k, s), normaliser, d_,
                             out, s.laneScratch.data());
    return;
  }
  kernels_.columnIdentityDensities(s.columns.data(), s.columnStride, s.pointCount, mean, normaliser, d_, out);
  for (int64_t p = 0; p < s.pointCount; ++p) {
    if (s.pointSafe[p] != 0) continue;
    out[p] = pointDensity(points_.data() + (s.firstPoint + p) * d_, mean, model_.inverses + k * packed_, normaliser, d_,
                          s.t.data());
  }
}

// The widened full inverse of microcluster k.
const double* FastPass::inverseFull(int64_t k, WorkerScratch& s) {
  if (keepFullInverses_) return inverseFullAll_.data() + k * d_ * d_;
  widenInverse(model_.inverses + k * packed_, d_, s.inverseFull.data());
  return s.inverseFull.data();
}

// The densities of microcluster k's candidates byCluster[begin, end).
void FastPass::sparseDensities(int32_t begin, int32_t end, int64_t k, WorkerScratch& s) {
  if (identityInverse_[k]) {
    identityDensities(begin, end, k, s);
    return;
  }
  std::vector<Candidate>& cand = s.candidates;
  const float* points = points_.data();
  const float* mean = model_.means + k * d_;
  const float normaliser = model_.normalisers[k];
  const double* inverse = inverseFull(k, s);
  for (int32_t i = begin; i < end; i += kDensityLanes) {
    const int count = std::min<int32_t>(kDensityLanes, end - i);
    const float* lanes[kDensityLanes];
    float densities[kDensityLanes];
    for (int l = 0; l < count; ++l) lanes[l] = points + int64_t{cand[s.byCluster[i + l]].point} * d_;
    kernels_.pointDensities(lanes, count, mean, inverse, normaliser, d_, densities, s.laneScratch.data());
    for (int l = 0; l < count; ++l) cand[s.byCluster[i + l]].density = densities[l];
  }
}

// The densities of microcluster k's candidates byCluster[begin, end), whose
// inverse is the identity: points with finite differences kDensityLanes at a time,
// the others through the general form.
void FastPass::identityDensities(int32_t begin, int32_t end, int64_t k, WorkerScratch& s) {
  Candidate* cand = s.candidates.data();
  const float* mean = model_.means + k * d_;
  const float normaliser = model_.normalisers[k];
  const float* lanes[kDensityLanes];
  Candidate* owners[kDensityLanes];
  int count = 0;
  auto flush = [&] {
    float densities[kDensityLanes];
    kernels_.identityDensities(lanes, count, mean, normaliser, d_, densities, s.laneScratch.data());
    for (int l = 0; l < count; ++l) owners[l]->density = densities[l];
    count = 0;
  };
  for (int32_t i = begin; i < end; ++i) {
    Candidate& c = cand[s.byCluster[i]];
    const float* x = points_.data() + int64_t{c.point} * d_;
    if (s.pointSafe[c.point - s.firstPoint] == 0) {
      c.density = pointDensity(x, mean, model_.inverses + k * packed_, normaliser, d_, s.t.data());
      continue;
    }
    lanes[count] = x;
    owners[count] = &c;
    if (++count == kDensityLanes) flush();
  }
  if (count > 0) flush();
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
