// After the EM loop: how much of the data the microclusters account for, and
// every point's most probable microcluster (membership.txt).
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "expand/expand_constants.h"
#include "expand/expand_fast.h"
#include "expand/expand_kernels.h"
#include "model/cluster_model.h"
#include "model/fatal.h"
#include "model/heap.h"
#include "model/settings.h"
#include "model/text_writer.h"
#include "model/thread_pool.h"

namespace zelmor {

void ClusterModel::checkCoverageAndWriteMembership() {
  // The last pass's note of each point's best microcluster is all that is
  // kept of the hints, so that their room serves the coverage sum.
  std::vector<int16_t> noted;
  if (bestHintsCurrent) {
    noted.resize(static_cast<size_t>(dataNum));
    for (int64_t i = 0; i < dataNum; ++i) noted[i] = pointHints[i].best;
  }
  releaseArray(pointHints);
  bestHintsCurrent = false;

  const double coverage =
      usePlainKernels ? coverageSum(PRlx, dataNum, itemNum) : coverageSumFast(PRlx, dataNum, itemNum, runThreadPool());
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
  if (usePlainKernels) {
    for (int64_t i = 0; i < dataNum; ++i) {
      out.putInt(mostProbableCluster(PRlx + i * m, tmp_ItemList[i].items, m));
      out.putChar('\n');
    }
  } else if (!noted.empty()) {
    // The last pass noted each point's largest responsibility, first in list
    // order among equals: the most probable microcluster.
    for (const int16_t best : noted) {
      out.putInt(best);
      out.putChar('\n');
    }
  } else {
    std::vector<const int16_t*> lists(static_cast<size_t>(dataNum));
    for (int64_t i = 0; i < dataNum; ++i) lists[i] = tmp_ItemList[i].items;
    std::vector<int32_t> best(static_cast<size_t>(dataNum));
    mostProbableClusters(PRlx, lists.data(), dataNum, m, best.data(), runThreadPool());
    for (const int32_t b : best) {
      out.putInt(b);
      out.putChar('\n');
    }
  }
  out.close();
}

}  // namespace zelmor
