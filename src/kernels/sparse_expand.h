// The steps after the EM loop on rows kept sparse: each point's
// responsibilities in list order as entries (list position, microcluster,
// value), every nonzero one, or every one where a value is not a finite
// number. Each gives the same bits as its plain twin in expand_kernels.h on
// the same rows kept dense: zero responsibilities add nothing to a sum that
// starts at zero, and every sum keeps the plain order of its terms.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace zelmor {

class ThreadPool;
struct KernelTable;

struct SparseRow {
  int64_t count;
  const int16_t* positions;
  const int16_t* clusters;
  const float* values;
};

// Room a reader may fill (m entries each; flags m zeros, left zero), one per
// thread.
struct SparseRowScratch {
  std::vector<int16_t> positions;
  std::vector<int16_t> clusters;
  std::vector<float> values;
  std::vector<uint8_t> flags;

  explicit SparseRowScratch(int64_t m)
      : positions(static_cast<size_t>(m)),
        clusters(static_cast<size_t>(m)),
        values(static_cast<size_t>(m)),
        flags(static_cast<size_t>(m), 0) {}
};

// Point p's row; called from several threads, each with its own scratch.
using SparseRowReader = std::function<SparseRow(int64_t p, SparseRowScratch& scratch)>;

// coverageSum: list positions outer, points inner, in double; a band of
// positions at a time, so that no more than about `bandValues` values are
// gathered at once.
constexpr int64_t kCoverageBandValues = int64_t{8} << 20;
double coverageSum(const SparseRowReader& rows, int64_t N, int64_t m, ThreadPool& pool,
                   int64_t bandValues = kCoverageBandValues);

// mostProbableCluster of one row.
int32_t mostProbableCluster(const SparseRow& row);

// addCoSharing for every point in order; a point with many entries adds
// whole rows through `kernels`.
void addCoSharing(const SparseRowReader& rows, int64_t N, int64_t m, float* coShareLevels, ThreadPool& pool,
                  const KernelTable& kernels);

}  // namespace zelmor
