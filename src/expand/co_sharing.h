// The co-sharing levels: for every pair of microclusters, the sum over all
// points of the product of the point's two responsibilities.
#pragma once

#include "core/run_control.h"
#include "fit/fit_state.h"
#include "kernels/sparse_expand.h"

namespace zelmor {

// Writes the K(K-1)/2 levels, strict lower triangle, into `levels`.
void measureCoSharing(const PassState& state, const RunControl& control, float* levels);

// The rows of a compact state, for the sparse kernels.
SparseRowReader compactRows(const CompactState& state);

}  // namespace zelmor
