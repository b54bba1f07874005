#include "expand/coverage.h"

#include "expand/co_sharing.h"
#include "expand/expand_constants.h"
#include "kernels/expand_kernels.h"

namespace zelmor {

double measureCoverage(const PassState& state, const RunControl& control) {
  if (state.compact && state.streamed) return state.compact->coverage.sum();
  if (state.compact) {
    const SparseValues& values = state.compact->values;
    return coverageSum(compactRows(*state.compact), values.points(), values.perPoint(), *control.pool());
  }
  const Responsibilities& responsibilities = *state.responsibilities;
  const int64_t N = responsibilities.points();
  const int64_t m = responsibilities.perPoint();
  return coverageSumPlain(responsibilities.values(), N, m);
}

bool coverageTooLow(double coverage, int64_t N) {
  return kMinimumCoverage * static_cast<double>(N) > static_cast<float>(coverage);
}

std::vector<int32_t> assignMembership(PassState& state) {
  const int64_t N = state.points();
  std::vector<int32_t> labels(static_cast<size_t>(N));
  if (state.hintsHoldBest) {
    // The last pass noted each point's largest responsibility, first in list
    // order among equals: the most probable microcluster.
    for (int64_t p = 0; p < N; ++p) labels[p] = state.hints[p].best;
  } else if (state.compact) {
    const SparseRowReader rows = compactRows(*state.compact);
    SparseRowScratch scratch(state.compact->values.perPoint());
    for (int64_t p = 0; p < N; ++p) labels[p] = mostProbableCluster(rows(p, scratch));
  } else {
    // The dense rows of the plain configuration.
    const Responsibilities& r = *state.responsibilities;
    for (int64_t p = 0; p < N; ++p) labels[p] = mostProbableClusterPlain(r.row(p), r.list(p), r.perPoint());
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
