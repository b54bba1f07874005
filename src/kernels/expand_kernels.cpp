#include "kernels/expand_kernels.h"

#include "linalg/packed_matrix.h"

namespace zelmor {

double coverageSumPlain(const float* responsibilities, int64_t N, int64_t m) {
  double sum = 0.0;
  for (int64_t j = 0; j < m; ++j) {
    for (int64_t i = 0; i < N; ++i) sum += responsibilities[i * m + j];
  }
  return sum;
}

int32_t mostProbableClusterPlain(const float* row, const int16_t* items, int64_t m) {
  int32_t best = -1;
  float max = 0.0f;
  for (int64_t j = 0; j < m; ++j) {
    if (row[j] > max) {
      max = row[j];
      best = items[j];
    }
  }
  return best;
}

void addCoSharingPlain(const float* row, const int16_t* items, int64_t m, float* coShareLevels) {
  for (int64_t j = 0; j < m; ++j) {
    for (int64_t k = j + 1; k < m; ++k) {
      float& level = coShareLevels[strictLowerIndex(items[j], items[k])];
      level = static_cast<float>(level + static_cast<double>(row[k]) * row[j]);
    }
  }
}

}  // namespace zelmor
