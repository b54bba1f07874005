// The expansion: microclusters ordered into chains by co-sharing level. A
// chain starts at the lowest unplaced microcluster and keeps taking the
// unplaced one with the highest level with any member (single linkage, kept
// in the seed's row of the co-sharing levels), while that level is above
// epsilon_coshare. Also the orientation vectors written with each placement.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "fit/fit_state.h"

namespace zelmor {

struct Expansion {
  std::vector<int32_t> order;       // the K microclusters in placement order
  std::vector<float> levels;        // by placement: the level it joined at, kSeedLevel for a seed
  std::vector<int32_t> chainSizes;  // microclusters per chain, in placement order
};

// Runs the expansion over `levels` (K(K-1)/2, strict lower triangle), which
// it changes as single linkage does. `placed(cluster, level, placedSoFar)` is
// called as each microcluster is placed.
Expansion expandChains(float* levels, int32_t K, float epsilon_coshare,
                       const std::function<void(int32_t cluster, float level, int32_t placedSoFar)>& placed);

// Every microcluster's d orientation vectors: the eigenvectors of its
// covariance, sign-fixed so that component basedim is non-negative, vector by
// vector (K x d x d).
std::vector<float> orientationVectors(const Parameters& parameters, int32_t basedim);

}  // namespace zelmor
