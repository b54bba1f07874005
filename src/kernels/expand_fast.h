// Parallel versions of the steps after the EM loop, for every point at once.
// Each gives the same bits as its plain twin fooPlain in expand_kernels.h,
// applied point by point: zero responsibilities add nothing to a sum that
// starts at zero, and every sum keeps the plain order of its terms.
#pragma once

#include <cstdint>

namespace zelmor {

struct KernelTable;
class ThreadPool;

// coverageSumPlain: column by column, points in order, zeros skipped.
double coverageSum(const float* responsibilities, int64_t N, int64_t m, ThreadPool& pool, const KernelTable& kernels);

// mostProbableClusterPlain for every point, into best[0..N-1].
void mostProbableCluster(const float* responsibilities, const int16_t* const* lists, int64_t N, int64_t m,
                         int32_t* best, ThreadPool& pool);

// addCoSharingPlain for every point in order, pairing only nonzero responsibilities.
void addCoSharing(const float* responsibilities, const int16_t* const* lists, int64_t N, int64_t m,
                  float* coShareLevels, ThreadPool& pool, const KernelTable& kernels);

}  // namespace zelmor
