// src/engine: the pipeline that runs the stages in order, and the one call
// that embeds it. It includes every stage; no stage includes it.
//
// The engine as a library: one call fits the microclusters to a source of
// points, measures coverage and co-sharing, runs the expansion and hands back
// everything it found. With output targets it also writes the three files the
// program writes. Failures come back as zelmor::Error (runtime/error.h), with
// everything the run held released; nothing ends the process.
#pragma once

#include <cstdint>
#include <vector>

#include "core/fit_observer.h"
#include "core/run_summary.h"
#include "core/settings.h"
#include "io/output_target.h"
#include "io/point_source.h"

namespace zelmor {

struct FitResult {
  int32_t K = 0;
  int32_t d = 0;
  int64_t N = 0;
  std::vector<float> means;             // K x d, as the last M-step left them
  std::vector<float> covariances;       // K packed blocks of d(d+1)/2, lower triangle by rows, the last M-step's
  std::vector<float> weightSums;        // K responsibility sums of the last pass
  std::vector<float> logLikelihoods;    // one per iteration
  std::vector<int32_t> labels;          // N most probable microclusters, -1 where a point has none
  std::vector<float> coShareLevels;     // K(K-1)/2 levels, strict lower triangle, as measured
  std::vector<int32_t> expansionOrder;  // the K microclusters in the order the expansion placed them
  std::vector<float> joiningLevels;     // by placement: the level it joined its chain at, -1 for a chain's seed
  // K x d x d: microcluster k's d orientation vectors (unit eigenvectors of
  // its covariance, with component basedim kept non-negative), vector by
  // vector, microclusters by index.
  std::vector<float> orientations;
  RunSummary summary;  // iterations, convergence, coverage, chain sizes
};

// Fits `settings.K` microclusters from `startMeans` (K x d) to the points of
// `data` (settings.N and settings.d must match it). With `outputs`, writes
// membership, expansion and final output there as the program does.
FitResult runPipeline(const RunSettings& settings, const PointSource& data, std::vector<float> startMeans,
                      const FitObserver& observer, const RunOutputs* outputs = nullptr);

}  // namespace zelmor
