#include "expand/coverage.h"

#include "expand/expand_constants.h"
#include "kernels/expand_fast.h"
#include "kernels/expand_kernels.h"

namespace zelmor {

double measureCoverage(const Responsibilities& responsibilities, const RunControl& control) {
  const int64_t N = responsibilities.points();
  const int64_t m = responsibilities.perPoint();
  return control.pool() == nullptr ? coverageSumPlain(responsibilities.values(), N, m)
                                   : coverageSum(responsibilities.values(), N, m, *control.pool(), control.kernels());
}

bool coverageTooLow(double coverage, int64_t N) {
  return kMinimumCoverage * static_cast<double>(N) > static_cast<float>(coverage);
}

std::vector<int32_t> assignMembership(PassState& state, const RunControl& control) {
  const Responsibilities& responsibilities = state.responsibilities;
  const int64_t N = responsibilities.points();
  const int64_t m = responsibilities.perPoint();
  std::vector<int32_t> labels(static_cast<size_t>(N));
  if (state.hintsHoldBest) {
    // The last pass noted each point's largest responsibility, first in list
    // order among equals: the most probable microcluster.
    for (int64_t p = 0; p < N; ++p) labels[p] = state.hints[p].best;
  } else if (control.pool() == nullptr) {
    for (int64_t p = 0; p < N; ++p)
      labels[p] = mostProbableClusterPlain(responsibilities.row(p), responsibilities.list(p), m);
  } else {
    const std::vector<const int16_t*> lists = responsibilities.listPointers();
    mostProbableCluster(responsibilities.values(), lists.data(), N, m, labels.data(), *control.pool());
  }
  state.hints.reset();
  state.hintsHoldBest = false;
  return labels;
}

void countMembership(const std::vector<int32_t>& labels, int32_t K, RunSummary& summary) {
  std::vector<bool> chosen(static_cast<size_t>(K), false);
  summary.unassigned = 0;
  for (const int32_t label : labels) {
    if (label < 0) {
      ++summary.unassigned;
    } else if (label < K) {
      chosen[static_cast<size_t>(label)] = true;
    }
  }
  summary.emptyClusters = 0;
  for (const bool c : chosen) summary.emptyClusters += c ? 0 : 1;
}

}  // namespace zelmor
