#include "expand/co_sharing.h"

#include <algorithm>
#include <vector>

#include "kernels/expand_fast.h"
#include "kernels/expand_kernels.h"

namespace zelmor {

SparseRowReader compactRows(const SparseValues& values) {
  return [&values](int64_t p, SparseRowScratch& scratch) {
    const float* row = values.read(p, scratch.positions.data(), scratch.clusters.data());
    return SparseRow{values.count(p), scratch.positions.data(), scratch.clusters.data(), row};
  };
}

void measureCoSharing(const PassState& state, const RunControl& control, float* levels) {
  if (state.compact) {
    const SparseValues& values = state.compact->values;
    std::fill(levels, levels + packedStrictLowerLength(values.perPoint()), 0.0f);
    addCoSharingSparse(compactRows(values), values.points(), values.perPoint(), levels, *control.pool());
    return;
  }
  const Responsibilities& responsibilities = *state.responsibilities;
  const int64_t N = responsibilities.points();
  const int64_t m = responsibilities.perPoint();
  std::fill(levels, levels + packedStrictLowerLength(m), 0.0f);
  if (control.pool() == nullptr) {
    for (int64_t p = 0; p < N; ++p) addCoSharing(responsibilities.row(p), responsibilities.list(p), m, levels);
    return;
  }
  const std::vector<const int16_t*> lists = responsibilities.listPointers();
  addCoSharingAll(responsibilities.values(), lists.data(), N, m, levels, *control.pool());
}

}  // namespace zelmor
