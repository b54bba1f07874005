// The data the vector kernels of the E-step work on (kernel_table.h holds the
// kernels themselves). Each lane carries one point through exactly the
// operations, in exactly the order, of the plain kernels in e_step_kernels.h,
// so the results are the same bits.
#pragma once

#include <cstdint>
#include <vector>

namespace zelmor {

struct KernelTable;

// The packed inverse of one microcluster as a full d x d matrix of doubles,
// the form KernelTable::pointDensities reads.
void widenInverse(const float* inverse, int32_t d, double* full);

// Doubles of a WideAccumulator row are padded to a multiple of this, the most
// lanes of any vector the padded-row kernels use.
constexpr int32_t kWideRowLanes = 8;

// The sums of one microcluster as the accumulation kernels see them, every
// array aligned to 64 bytes. Padded rows: t and sumX hold d values (padded
// with zeros to whole rows), row i of the scatter starts at rowStart[i].
// Packed: the scatter's entries in whole vectors in the table's own lane
// order (KernelTable::packedSlots), lane e pairing coordinates rows[e] and
// columns[e]; t and sumX padded to whole vectors of packedDims.
struct WideSums {
  int32_t d = 0;
  double weight = 0.0;
  double* t = nullptr;
  double* sumX = nullptr;
  double* scatter = nullptr;
  const int32_t* rowStart = nullptr;
  const int64_t* rows = nullptr;
  const int64_t* columns = nullptr;
};

// The M-step sums of one microcluster while a run of points is added to it:
// held in double lanes, each rounded to float after every addition exactly
// as the stored float sums of accumulatePoint are. load() takes the sums in,
// add() adds one point, store() puts them back; in between the result of
// every step equals accumulatePoint's. Up to their packedDims dimensions,
// tables with 512-bit and 256-bit vectors pack the scatter into whole vectors
// and pair the coordinates by permutation; otherwise every row of the scatter
// is padded to whole vectors, so that no two updates share a vector.
class WideAccumulator {
 public:
  WideAccumulator(int32_t d, const KernelTable& kernels);
  WideAccumulator(const WideAccumulator&) = delete;
  WideAccumulator& operator=(const WideAccumulator&) = delete;
  void load(const float* uX, float weightSum, const float* uXXT);
  // Needs a finite r and a point with finite differences from the mean.
  void add(const float* x, const float* mean, float r) { addRun(&x, &r, 1, mean); }
  // add() for `count` points in turn, points[i] with share r[i].
  void addRun(const float* const* points, const float* r, int64_t count, const float* mean) {
    run_(sums_, points, r, count, mean);
  }
  void store(float* uX, float& weightSum, float* uXXT) const;
  bool usesPackedOrder() const { return packedOrder_; }

 private:
  using Run = void (*)(WideSums&, const float* const*, const float*, int64_t, const float*);
  Run run_;
  bool packedOrder_;
  WideSums sums_;
  std::vector<int32_t> rowStart_;  // first lane of each scatter row
  std::vector<int32_t> slot_;      // the lane of each packed entry
  std::vector<double> storage_;    // t, uX, then the scatter
  std::vector<int64_t> pairs_;     // packed order: the row and column of every entry
};

}  // namespace zelmor
