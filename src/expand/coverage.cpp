// After the EM loop: how much of the data the microclusters account for, and
// every point's most probable microcluster (membership.txt).
#include <cstdio>
#include <vector>

#include "core/cluster_model.h"
#include "expand/expand_constants.h"
#include "io/text_writer.h"
#include "kernels/expand_fast.h"
#include "kernels/expand_kernels.h"
#include "kernels/kernel_table.h"
#include "runtime/fatal.h"
#include "runtime/heap.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

// Writes membership lines and counts what the summary reports of them.
class MembershipLines {
 public:
  MembershipLines(TextWriter& out, int32_t K) : out_(out), chosen_(static_cast<size_t>(K), false) {}

  void put(int32_t best) {
    out_.putInt(best);
    out_.putChar('\n');
    if (best < 0) {
      ++unassigned_;
    } else if (best < static_cast<int32_t>(chosen_.size())) {
      chosen_[static_cast<size_t>(best)] = true;
    }
  }

  void addTo(RunSummary& summary) const {
    summary.unassigned = unassigned_;
    summary.emptyClusters = 0;
    for (const bool c : chosen_) summary.emptyClusters += c ? 0 : 1;
  }

 private:
  TextWriter& out_;
  std::vector<bool> chosen_;
  int64_t unassigned_ = 0;
};

}  // namespace

bool ClusterModel::checkCoverageAndWriteMembership(const OutputTarget& membership) {
  // The last pass's note of each point's best microcluster is all that is
  // kept of the hints, so that their room serves the coverage sum.
  std::vector<int16_t> noted;
  if (bestHintsCurrent) {
    noted.resize(static_cast<size_t>(dataNum));
    for (int64_t i = 0; i < dataNum; ++i) noted[i] = pointHints[i].best;
  }
  releaseArray(pointHints);
  bestHintsCurrent = false;

  const bool plain = settings.kernels == Kernels::Plain;
  const double coverage =
      plain ? coverageSumPlain(responsibilities, dataNum, itemNum)
            : coverageSum(responsibilities, dataNum, itemNum, runThreadPool(), kernelTable(settings.isa));
  summary.coverage = coverage;
  std::printf("\nData Coverage of microclusters: %.2f\n\n", coverage);
  std::fflush(stdout);
  if (kMinimumCoverage * dataNum > static_cast<float>(coverage)) {
    std::printf("The data coverage of microclusters is below 95%% of the data.\n");
    std::printf("A smaller data range is required or microclusters need to be resampled.\n");
    std::fflush(stdout);
    return false;
  }

  TextWriter out;
  if (!out.open(membership)) fatalExit("File Not Opened!", kExitFailure);
  MembershipLines lines(out, clusterNum);
  const int64_t m = itemNum;
  if (plain) {
    for (int64_t i = 0; i < dataNum; ++i) {
      lines.put(mostProbableClusterPlain(responsibilities + i * m, tmp_ItemList[i].items, m));
    }
  } else if (!noted.empty()) {
    // The last pass noted each point's largest responsibility, first in list
    // order among equals: the most probable microcluster.
    for (const int16_t best : noted) lines.put(best);
  } else {
    std::vector<const int16_t*> lists(static_cast<size_t>(dataNum));
    for (int64_t i = 0; i < dataNum; ++i) lists[i] = tmp_ItemList[i].items;
    std::vector<int32_t> best(static_cast<size_t>(dataNum));
    mostProbableCluster(responsibilities, lists.data(), dataNum, m, best.data(), runThreadPool());
    for (const int32_t b : best) lines.put(b);
  }
  out.close();
  lines.addTo(summary);
  return true;
}

}  // namespace zelmor
