// The co-sharing matrix: for every pair of microclusters, the sum over all
// points of the product of the point's two responsibilities.
#include <cstdio>
#include <vector>

#include "core/cluster_model.h"
#include "kernels/expand_fast.h"
#include "kernels/expand_kernels.h"
#include "kernels/kernel_table.h"
#include "runtime/heap.h"
#include "runtime/thread_pool.h"

namespace zelmor {

void ClusterModel::buildCoSharing() {
  const int64_t levels = packedStrictLowerLength(clusterNum);
  for (int64_t at = 0; at < levels; ++at) coShareLevels[at] = 0.0f;
  std::printf("Cluster Expanding ...... \n");
  std::fflush(stdout);

  const int64_t m = itemNum;
  if (settings.kernels == Kernels::Plain) {
    for (int64_t i = 0; i < dataNum; ++i) {
      addCoSharingPlain(responsibilities + i * m, tmp_ItemList[i].items, m, coShareLevels);
    }
  } else {
    std::vector<const int16_t*> lists(static_cast<size_t>(dataNum));
    for (int64_t i = 0; i < dataNum; ++i) lists[i] = tmp_ItemList[i].items;
    addCoSharing(responsibilities, lists.data(), dataNum, m, coShareLevels, runThreadPool(), kernelTable(settings.isa));
  }

  // Only the co-sharing levels carry the fit into the expansion from here on.
  releaseArray(itemStorage);
  releaseArray(tmp_ItemList);
  releaseArray(responsibilities);
}

}  // namespace zelmor
