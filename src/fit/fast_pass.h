// The parallel E-step pass's parts, shared by the files that hold its steps:
// the run and block sizes, the records a run of points passes on, the
// per-worker scratch and the pass itself.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fit/compact_store.h"
#include "fit/density_bounds.h"
#include "fit/e_step.h"
#include "fit/needed_densities.h"
#include "kernels/e_step_wide.h"
#include "kernels/kernel_table.h"

namespace zelmor {

class ThreadPool;

namespace fast_pass {

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

// Whether every value is finite and no larger than kSafeMagnitude.
bool allSafe(const float* values, int64_t count);

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

}  // namespace fast_pass
}  // namespace zelmor
