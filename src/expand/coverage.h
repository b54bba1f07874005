// After the EM loop: how much of the data the microclusters account for, and
// every point's most probable microcluster.
#pragma once

#include <cstdint>
#include <vector>

#include "core/run_control.h"
#include "core/run_summary.h"
#include "fit/fit_state.h"

namespace zelmor {

// The sum of every responsibility of the last pass: the expected number of
// points the microclusters account for.
double measureCoverage(const PassState& state, const RunControl& control);

// True when the coverage is too low for the steps after it.
bool coverageTooLow(double coverage, int64_t N);

// Each point's most probable microcluster under the last pass (the first in
// list order among equal largest), -1 where no responsibility is positive.
// Takes the best the last pass noted where it did, and gives the hints' room
// back.
std::vector<int32_t> assignMembership(PassState& state);

// The points with none, and the microclusters no point chose.
void countMembership(const std::vector<int32_t>& labels, int32_t K, RunSummary& summary);

}  // namespace zelmor
