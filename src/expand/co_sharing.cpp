// The co-sharing matrix: for every pair of microclusters, the sum over all
// points of the product of the point's two responsibilities.
#include <cstdio>

#include "expand/expand_kernels.h"
#include "model/cluster_model.h"
#include "model/heap.h"

namespace zelmor {

void ClusterModel::buildCoSharing() {
  const int64_t levels = packedStrictLowerLength(clusterNum);
  for (int64_t at = 0; at < levels; ++at) dist[at] = 0.0f;
  std::printf("Cluster Expanding ...... \n");
  std::fflush(stdout);

  const int64_t m = itemNum;
  for (int64_t i = 0; i < dataNum; ++i) addCoSharing(PRlx + i * m, tmp_ItemList[i].items, m, dist);

  // Only dist carries the fit into the expansion from here on.
  releaseArray(itemStorage);
  releaseArray(tmp_ItemList);
  releaseArray(PRlx);
}

}  // namespace zelmor
