// Parallel versions of the steps after the EM loop. Each gives the same bits
// as its plain twin in expand_kernels.h: zero responsibilities add nothing to
// a sum that starts at zero, and every sum keeps the plain order of its terms.
#pragma once

#include <cstdint>

namespace zelmor {

struct KernelTable;
class ThreadPool;

// coverageSum: column by column, points in order, zeros skipped.
double coverageSumFast(const float* responsibilities, int64_t N, int64_t m, ThreadPool& pool,
                       const KernelTable& kernels);

// mostProbableCluster for every point, into best[0..N-1].
void mostProbableClusters(const float* responsibilities, const int16_t* const* lists, int64_t N, int64_t m,
                          int32_t* best, ThreadPool& pool);

// addCoSharing for every point in order, pairing only nonzero responsibilities.
void addCoSharingAll(const float* responsibilities, const int16_t* const* lists, int64_t N, int64_t m,
                     float* coShareLevels, ThreadPool& pool, const KernelTable& kernels);

}  // namespace zelmor
