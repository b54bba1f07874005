// Vector versions of the E-step's per-point arithmetic. Each lane carries one
// point through exactly the operations, in exactly the order, of the plain
// kernels in e_step_kernels.h, so the results are the same bits.
#pragma once

#include <cstdint>
#include <vector>

namespace zelmor {

// Points evaluated together by pointDensitiesWide.
constexpr int kDensityLanes = 4;

// True when this processor runs the vector kernels; otherwise callers use the
// plain kernels.
bool hasWideKernels();

// The packed inverse of one microcluster as a full d x d matrix of doubles,
// the form pointDensitiesWide reads.
void widenInverse(const float* inverse, int32_t d, double* full);

// pointDensity for `count` (1..kDensityLanes) points under one microcluster
// whose inverse `widenInverse` has prepared. `tScratch` holds
// d·kDensityLanes doubles.
void pointDensitiesWide(const float* const* points, int count, const float* mean, const double* inverseFull,
                        float normaliser, int32_t d, float* densities, double* tScratch);

// Scratch that accumulatePointWide needs: the differences t (d floats and
// room to read past them) and the products of one point (packed + 4 doubles).
struct AccumulateScratch {
  explicit AccumulateScratch(int32_t d);
  float* t;
  double* products;

 private:
  std::vector<float> tStorage_;
  std::vector<double> productStorage_;
};

// accumulatePoint, with the updates of each row of sums vectorised.
void accumulatePointWide(const float* x, const float* mean, float r, int32_t d, AccumulateScratch& scratch, float* uX,
                         float& weightSum, float* uXXT);

}  // namespace zelmor
