// Vector versions of the E-step's per-point arithmetic. Each lane carries one
// point through exactly the operations, in exactly the order, of the plain
// kernels in e_step_kernels.h, so the results are the same bits.
#pragma once

#include <cstdint>
#include <vector>

namespace zelmor {

// Points evaluated together by pointDensitiesWide.
constexpr int kDensityLanes = 8;

// True when this processor runs the vector kernels; otherwise callers use the
// plain kernels.
bool hasWideKernels();
// True when it also has 512-bit vectors.
bool hasWidestKernels();

// The packed inverse of one microcluster as a full d x d matrix of doubles,
// the form pointDensitiesWide reads.
void widenInverse(const float* inverse, int32_t d, double* full);

// pointDensity for `count` (1..kDensityLanes) points under one microcluster
// whose inverse `widenInverse` has prepared. `tScratch` holds
// d·kDensityLanes doubles.
void pointDensitiesWide(const float* const* points, int count, const float* mean, const double* inverseFull,
                        float normaliser, int32_t d, float* densities, double* tScratch);

// The M-step sums of one microcluster while a run of points is added to it:
// held in double lanes, each rounded to float after every addition exactly
// as the stored float sums of accumulatePoint are. load() takes the sums in,
// add() adds one point, store() puts them back; in between the result of
// every step equals accumulatePoint's. Up to 16 dimensions, processors with
// 512-bit vectors keep the scatter in its packed order and pair the
// coordinates by permutation; otherwise every row of the scatter is padded to
// whole 256-bit vectors, so that no two updates share a vector.
class WideAccumulator {
 public:
  // `widest` false keeps to 256-bit vectors (to test both kinds).
  explicit WideAccumulator(int32_t d, bool widest = true);
  WideAccumulator(const WideAccumulator&) = delete;
  WideAccumulator& operator=(const WideAccumulator&) = delete;
  void load(const float* uX, float weightSum, const float* uXXT);
  // Needs a finite r and a point with finite differences from the mean.
  void add(const float* x, const float* mean, float r);
  // add() for `count` points in turn, points[i] with share r[i].
  void addRun(const float* const* points, const float* r, int64_t count, const float* mean);
  void store(float* uX, float& weightSum, float* uXXT) const;
  bool usesWidest() const { return packedOrder_; }

 private:
  using PackedRun = void (*)(WideAccumulator&, const float* const*, const float*, int64_t, const float*);
  template <int Vectors, bool High>
  static void addPackedRun(WideAccumulator& acc, const float* const* points, const float* r, int64_t count,
                           const float* mean);
  static PackedRun packedRunFor(int32_t d);
  PackedRun packedRun_ = nullptr;

  int32_t d_;
  int32_t paddedD_;
  bool packedOrder_;
  double weight_ = 0.0;
  std::vector<int32_t> rowStart_;  // first lane of each scatter row
  std::vector<double> storage_;    // aligned: t, uX, then the scatter
  std::vector<int64_t> pairs_;     // packed order: the row and column of every entry
  double* t_ = nullptr;
  double* sumX_ = nullptr;
  double* scatter_ = nullptr;
  int64_t* rows_ = nullptr;
  int64_t* columns_ = nullptr;
};

}  // namespace zelmor
