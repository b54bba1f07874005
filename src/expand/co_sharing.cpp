#include "expand/co_sharing.h"

#include <algorithm>
#include <vector>

#include "kernels/expand_fast.h"
#include "kernels/expand_kernels.h"

namespace zelmor {

void measureCoSharing(const Responsibilities& responsibilities, const RunControl& control, float* levels) {
  const int64_t N = responsibilities.points();
  const int64_t m = responsibilities.perPoint();
  std::fill(levels, levels + packedStrictLowerLength(m), 0.0f);
  if (control.pool() == nullptr) {
    for (int64_t p = 0; p < N; ++p) addCoSharingPlain(responsibilities.row(p), responsibilities.list(p), m, levels);
    return;
  }
  const std::vector<const int16_t*> lists = responsibilities.listPointers();
  addCoSharing(responsibilities.values(), lists.data(), N, m, levels, *control.pool(), control.kernels());
}

}  // namespace zelmor
