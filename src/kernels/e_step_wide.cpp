#include "kernels/e_step_wide.h"

#include <cstdint>

#include "kernels/kernel_table.h"

namespace zelmor {

void widenInverse(const float* inverse, int32_t d, double* full) {
  for (int64_t j = 0; j < d; ++j) {
    for (int64_t i = 0; i <= j; ++i) full[j * d + i] = full[i * d + j] = inverse[j * (j + 1) / 2 + i];
  }
}

namespace {
constexpr size_t kAlignment = 64;
int32_t roundUp(int32_t n, int32_t lanes) { return (n + lanes - 1) / lanes * lanes; }

template <typename T>
T* aligned(std::vector<T>& v) {
  T* base = v.data();
  while (reinterpret_cast<uintptr_t>(base) % kAlignment != 0) ++base;
  return base;
}
}  // namespace

WideAccumulator::WideAccumulator(int32_t d, const KernelTable& kernels)
    : run_(kernels.addRowsRun), packedOrder_(kernels.addPackedRun != nullptr && d <= kernels.packedDims) {
  int32_t paddedD = roundUp(d, kWideRowLanes);
  int32_t lanes = 0;
  slot_.resize(static_cast<size_t>(d * (d + 1) / 2));
  if (packedOrder_) {
    run_ = kernels.addPackedRun;
    paddedD = roundUp(kernels.packedDims, kWideRowLanes);
    lanes = roundUp(kernels.packedSlots(d, slot_.data()), kWideRowLanes);
    pairs_.assign(static_cast<size_t>(2 * lanes + kWideRowLanes), 0);
    int64_t* rows = aligned(pairs_);
    int64_t* columns = rows + lanes;
    int32_t at = 0;
    for (int32_t i = 0; i < d; ++i) {
      for (int32_t j = 0; j <= i; ++j, ++at) {
        rows[slot_[at]] = i;
        columns[slot_[at]] = j;
      }
    }
    sums_.rows = rows;
    sums_.columns = columns;
  } else {
    for (int32_t i = 0, at = 0; i < d; ++i) {
      rowStart_.push_back(lanes);
      for (int32_t j = 0; j <= i; ++j) slot_[at++] = lanes + j;
      lanes += roundUp(i + 1, kWideRowLanes);
    }
    sums_.rowStart = rowStart_.data();
  }
  // Room to align the start to a whole vector.
  storage_.assign(static_cast<size_t>(2 * paddedD + lanes + kWideRowLanes), 0.0);
  sums_.d = d;
  sums_.t = aligned(storage_);
  sums_.sumX = sums_.t + paddedD;
  sums_.scatter = sums_.sumX + paddedD;
}

void WideAccumulator::load(const float* uX, float weightSum, const float* uXXT) {
  for (int32_t i = 0; i < sums_.d; ++i) sums_.sumX[i] = uX[i];
  sums_.weight = weightSum;
  for (size_t at = 0; at < slot_.size(); ++at) sums_.scatter[slot_[at]] = uXXT[at];
}

void WideAccumulator::store(float* uX, float& weightSum, float* uXXT) const {
  for (int32_t i = 0; i < sums_.d; ++i) uX[i] = static_cast<float>(sums_.sumX[i]);
  weightSum = static_cast<float>(sums_.weight);
  for (size_t at = 0; at < slot_.size(); ++at) uXXT[at] = static_cast<float>(sums_.scatter[slot_[at]]);
}

}  // namespace zelmor
