#include "expand/co_sharing.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "kernels/expand_kernels.h"

namespace zelmor {

SparseRowReader compactRows(const CompactState& state) {
  return [&state](int64_t p, SparseRowScratch& s) {
    const SparseValues& values = state.values;
    const float* row = values.read(p, s.positions.data(), s.clusters.data());
    if (!values.whole(p)) return SparseRow{values.count(p), s.positions.data(), s.clusters.data(), row};
    // A row kept whole: its nonzero entries, or all where one is not a
    // finite number.
    const int64_t m = values.perPoint();
    state.lists.expand(p, s.clusters.data(), s.flags.data());
    const bool finite = std::all_of(row, row + m, [](float r) { return std::isfinite(r); });
    int64_t n = 0;
    for (int64_t q = 0; q < m; ++q) {
      if (row[q] == 0.0f && finite) continue;
      s.positions[n] = static_cast<int16_t>(q);
      s.clusters[n] = s.clusters[q];
      s.values[n++] = row[q];
    }
    return SparseRow{n, s.positions.data(), s.clusters.data(), s.values.data()};
  };
}

void measureCoSharing(const PassState& state, const RunControl& control, float* levels) {
  if (state.compact && state.streamed) {
    // The last pass added them as it went, into the levels it was given.
    if (levels != state.coShareLevels) {
      std::copy(state.coShareLevels, state.coShareLevels + packedStrictLowerLength(state.compact->values.perPoint()),
                levels);
    }
    return;
  }
  if (state.compact) {
    const SparseValues& values = state.compact->values;
    std::fill(levels, levels + packedStrictLowerLength(values.perPoint()), 0.0f);
    addCoSharing(compactRows(*state.compact), values.points(), values.perPoint(), levels, *control.pool(),
                 control.kernels());
    return;
  }
  const Responsibilities& responsibilities = *state.responsibilities;
  const int64_t N = responsibilities.points();
  const int64_t m = responsibilities.perPoint();
  std::fill(levels, levels + packedStrictLowerLength(m), 0.0f);
  for (int64_t p = 0; p < N; ++p) addCoSharingPlain(responsibilities.row(p), responsibilities.list(p), m, levels);
}

}  // namespace zelmor
