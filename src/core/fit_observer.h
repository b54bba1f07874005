// What the caller of a run hears while it goes on: the program prints its
// console lines from these, a binding its progress, and may ask it to stop.
#pragma once

#include <cstdint>
#include <functional>

#include "core/run_summary.h"

namespace zelmor {

// What the caller hears of a run while it goes on, all on the calling thread.
// Every member may be left empty.
struct FitObserver {
  std::function<void()> loopStarted;
  std::function<void(int32_t iteration)> iterationStarted;
  std::function<void(int32_t iteration, double logLikelihood)> iterationDone;
  std::function<void(const RunSummary&)> loopEnded;
  std::function<void(double coverage)> coverageMeasured;
  std::function<void()> expansionStarted;
  std::function<void(int32_t placed, int32_t K)> microclusterPlaced;
  // Asked between blocks of points; true stops the run with an Error of kind
  // Cancelled.
  std::function<bool()> stopRequested;
};

}  // namespace zelmor
