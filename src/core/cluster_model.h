// src/core: the state of one run: ClusterModel, the settings read from the
// command line, and the summary the stages gather for the user. The stages
// after it (src/fit, src/expand) define the model's operations.
//
// ClusterModel: every count and array of one run, from the starting means read
// out of the microcluster file to the co-sharing matrix of the expansion. The
// operations of the run are members, each defined in the folder of its stage.
#pragma once

#include <cstdint>
#include <memory>

#include "core/run_summary.h"
#include "core/settings.h"
#include "io/output_target.h"
#include "runtime/thread_pool.h"

namespace zelmor {

class TextWriter;
struct ExpansionScratch;

// How an EM run ended, when it returns at all (every other failure ends the
// process from inside).
enum class RunOutcome {
  Completed,    // every output file written
  LowCoverage,  // the microclusters account for too little of the data; nothing more written
};

// One point's microclusters, in ascending order of its first-pass responsibility.
struct ItemList {
  int16_t* items;  // m microcluster indices
};

// What the parallel E-step remembers of a point from one pass to the next, to
// find the point's densities sooner; results never depend on it.
struct PointHint {
  static constexpr int kTailItems = 14;
  int16_t best;                   // microcluster of its largest responsibility, -1 if none
  int16_t tail;                   // its nonzero first-pass responsibilities, which end its list; -1 if unknown
  int16_t tailItems[kTailItems];  // the end of its list, when tail <= kTailItems
};

struct ClusterModel {
  // Fields in the order of the model's layout.
  int32_t dataNum = 0;                  // N, data points
  int32_t expandCount = 0;              // microclusters placed so far by the expansion
  float* eigenScratch = nullptr;        // d(d+4): eigenvector matrix V, then four rows of d
  float* responsibilities = nullptr;    // N x m responsibilities, row p in point p's list order
  float* uXXT = nullptr;                // K packed scatter sums of the M-step
  float* uX = nullptr;                  // K x d weighted point sums of the M-step
  float* workMatrix = nullptr;          // d x d row-major scratch of determinant and inversion
  float* weightSums = nullptr;          // K responsibility sums
  int32_t dimNum = 0;                   // d
  int32_t clusterNum = 0;               // K
  float* point = nullptr;               // the point being processed
  const char* dataFile = nullptr;       // the text of settings.dataFile, from the start of the run
  float* means = nullptr;               // K x d
  float* covariances = nullptr;         // K packed blocks (inverses between inversion and M-step)
  float* pointDensities = nullptr;      // K densities of the point being processed
  float* normalisers = nullptr;         // K density divisors
  int32_t packedLen = 0;                // d(d+1)/2
  float* coShareLevels = nullptr;       // K(K-1)/2 co-sharing levels, strict lower triangle
  int32_t itemNum = 0;                  // m, equal to K
  ItemList* tmp_ItemList = nullptr;     // N item lists
  int16_t* itemStorage = nullptr;       // the N x m indices the lists point into
  PointHint* pointHints = nullptr;      // N hints of the parallel E-step
  bool bestHintsCurrent = false;        // hints' best is each point's most probable microcluster now
  std::unique_ptr<ThreadPool> threads;  // the workers of the fast kernels
  RunSummary summary;                   // what the run found, for its account on standard error
  const RunSettings settings;           // what the command line asked for

  // Builds the model for `settings`: counts, the seven construction arrays,
  // means read from the microcluster file, identity covariances. Ends the
  // process on failure.
  explicit ClusterModel(const RunSettings& settings);
  ~ClusterModel();
  ClusterModel(const ClusterModel&) = delete;
  ClusterModel& operator=(const ClusterModel&) = delete;

  // Packed-matrix routines on the model's scratch.
  double determinant(const float* packed, int32_t d);
  void invertPacked(float* packed, int32_t d, int32_t count);
  void writeOrientationBlock(TextWriter& out, float* packed, int32_t d);

  // The EM run, from the work buffers to the last output file.
  RunOutcome EMClustering(const RunOutputs& outputs);
  // One pass over the data; `tempv` holds d floats, `pointResponsibilities`
  // one point's K responsibilities in microcluster order.
  void eStepPass(int32_t iteration, float& logLikelihood, float* tempv, float* pointResponsibilities);
  void eStepPassPlain(int32_t iteration, float& logLikelihood, float* tempv, float* pointResponsibilities);
  void eStepPassFast(int32_t iteration, float& logLikelihood, float* tempv, float* pointResponsibilities);
  // The index arrays of all N item lists, obtained once.
  void allocateItemStorage();

  // After the loop: coverage, membership, co-sharing, expansion. The coverage
  // step prints the coverage and returns false, writing nothing, when it is
  // too low.
  bool checkCoverageAndWriteMembership(const OutputTarget& membership);
  void buildCoSharing();
  void expandClusters(const OutputTarget& expansion, float epsilon_coshare);
  void expandSeed(int32_t seed, float epsilon_coshare, ExpansionScratch& scratch, TextWriter& out);
  int32_t collectCandidates(int32_t seed, float epsilon_coshare, ExpansionScratch& scratch);
  void writeFinalOutput(TextWriter& emOut, const OutputTarget& expansion);
};

}  // namespace zelmor
