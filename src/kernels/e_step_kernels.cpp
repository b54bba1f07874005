#include "kernels/e_step_kernels.h"

#include <cmath>

#include "kernels/density_constants.h"
#include "linalg/packed_matrix.h"

namespace zelmor {

float pointDensity(const float* x, const float* mean, const float* inverse, float normaliser, int32_t d, float* t) {
  for (int32_t i = 0; i < d; ++i) t[i] = static_cast<float>(static_cast<double>(x[i]) - mean[i]);
  float Q = 0.0f;
  for (int64_t j = 0; j < d; ++j) {
    double rowSum = 0.0;
    const float* row = inverse + j * (j + 1) / 2;  // (j, i) for i <= j
    for (int64_t i = 0; i <= j; ++i) rowSum += static_cast<double>(row[i]) * t[i];
    // (j, i) for i > j stands in column j of the rows below.
    for (int64_t i = j + 1; i < d; ++i) rowSum += static_cast<double>(inverse[i * (i + 1) / 2 + j]) * t[i];
    Q = static_cast<float>(Q + rowSum * t[j]);
  }
  const float D = std::fabs(Q);
  // A form that is not a number (a singular covariance's inverse) counts as
  // beyond the cut-off: that microcluster simply gets no share of the point.
  if (!(D < kDensityCutoff)) return 0.0f;
  return static_cast<float>(std::exp(-0.5 * D) / normaliser);
}

float identityDensity(const float* x, const float* mean, float normaliser, int32_t d) {
  float Q = 0.0f;
  for (int32_t j = 0; j < d; ++j) {
    const float t = static_cast<float>(static_cast<double>(x[j]) - mean[j]);
    Q = static_cast<float>(Q + static_cast<double>(t) * t);
  }
  const float D = std::fabs(Q);
  if (!(D < kDensityCutoff)) return 0.0f;
  return static_cast<float>(std::exp(-0.5 * D) / normaliser);
}

bool isIdentity(const float* packed, int32_t d) {
  int64_t at = 0;
  for (int32_t i = 0; i < d; ++i) {
    for (int32_t j = 0; j <= i; ++j, ++at) {
      if (packed[at] != (i == j ? 1.0f : 0.0f)) return false;
    }
  }
  return true;
}

void accumulatePoint(const float* x, const float* mean, float r, int32_t d, float* t, float* uX, float& weightSum,
                     float* uXXT) {
  for (int32_t i = 0; i < d; ++i) {
    t[i] = static_cast<float>(static_cast<double>(x[i]) - mean[i]);
    uX[i] = static_cast<float>(uX[i] + static_cast<double>(x[i]) * r);
  }
  weightSum = static_cast<float>(weightSum + static_cast<double>(r));
  int64_t at = 0;
  for (int32_t i = 0; i < d; ++i) {
    const double rt = static_cast<double>(r) * t[i];
    for (int32_t j = 0; j <= i; ++j, ++at) uXXT[at] = static_cast<float>(uXXT[at] + rt * t[j]);
  }
}

void buildItemList(const float* v, int32_t K, int16_t* items) {
  // Insertion from the back: a new index is placed in front of every entry
  // whose value is greater than or equal to its own.
  int32_t opened = 0;
  for (int32_t k = 0; k < K; ++k) {
    items[opened++] = -1;
    int32_t h = opened - 1;
    for (; h >= 0; --h) {
      const int16_t e = items[h];
      if (e != -1 && v[k] > v[e]) break;
    }
    for (int32_t q = opened - 2; q >= h + 1; --q) items[q + 1] = items[q];
    items[h + 1] = static_cast<int16_t>(k);
  }
}

float computeGaussFactor(int32_t d) {
  const double power = std::pow(kGaussBase, d);
  return power > kGaussFactorLimit ? kGaussFactorCap : static_cast<float>(power);
}

void updateMicrocluster(const float* uX, const float* uXXT, float w, int32_t d, float* mean, float* covariance) {
  for (int64_t j = 0; j < d; ++j) {
    mean[j] = static_cast<float>(uX[j] / static_cast<double>(w));
    // Each off-diagonal entry is computed from both sides, with the same result.
    for (int64_t i = 0; i < d; ++i) {
      const int64_t at = packedIndex(j, i);
      float value = static_cast<float>(uXXT[at] / static_cast<double>(w));
      if (!(std::fabs(static_cast<double>(value)) >= kCovarianceFloor)) {
        value = (i == j) ? static_cast<float>(kCovarianceFloor) : 0.0f;
      }
      covariance[at] = value;
    }
  }
}

}  // namespace zelmor
