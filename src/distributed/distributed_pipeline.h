// The run of runPipeline (engine/engine.h) shared by the ranks of a
// communicator, over a text data file that every rank can read: the same
// console lines (through the first rank's observer), the same three files and
// the same errors as a lone run, whatever the number of ranks.
#pragma once

#include <vector>

#include "core/fit_observer.h"
#include "core/settings.h"
#include "distributed/chained_sums.h"
#include "distributed/communicator.h"
#include "engine/engine.h"
#include "io/output_target.h"

namespace zelmor {

// Collective. `outputs` are the first rank's (the others pass null and learn
// them from it). Every rank gets the same Error where the run fails; the
// result is complete on the first rank only (the labels are each rank's own).
FitResult runDistributedPipeline(const Communicator& comm, const RunSettings& settings, const char* dataFile,
                                 std::vector<float> startMeans, const FitObserver& observer, const RunOutputs* outputs,
                                 ChainTimes& times);

}  // namespace zelmor
