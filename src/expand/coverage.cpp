// After the EM loop: how much of the data the microclusters account for, and
// every point's most probable microcluster (membership.txt).
#include <cstdio>
#include <cstdlib>

#include "expand/expand_constants.h"
#include "expand/expand_kernels.h"
#include "model/cluster_model.h"
#include "model/fatal.h"
#include "model/text_writer.h"

namespace zelmor {

void ClusterModel::checkCoverageAndWriteMembership() {
  const double coverage = coverageSum(PRlx, dataNum, itemNum);
  std::printf("\nData Coverage of microclusters: %.2f\n\n", coverage);
  std::fflush(stdout);
  if (kMinimumCoverage * dataNum > static_cast<float>(coverage)) {
    std::printf("The data coverage of microclusters is below 95%% of the data.\n");
    std::printf("A smaller data range is required or microclusters need to be resampled.\n");
    std::fflush(stdout);
    std::exit(kExitInvalid);
  }

  TextWriter out;
  if (!out.open("membership.txt")) fatalExit("File Not Opened!", kExitFailure);
  const int64_t m = itemNum;
  for (int64_t i = 0; i < dataNum; ++i) {
    out.putInt(mostProbableCluster(PRlx + i * m, tmp_ItemList[i].items, m));
    out.putChar('\n');
  }
  out.close();
}

}  // namespace zelmor
