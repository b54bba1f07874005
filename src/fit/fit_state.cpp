#include "fit/fit_state.h"

#include <algorithm>

namespace zelmor {

namespace {
constexpr const char* kModelArraysMessage = "Memory Allocation Error!!\n";
}

bool Parameters::allMeansEqual() const {
  if (K < 2) return false;
  for (int64_t k = 1; k < K; ++k) {
    for (int64_t j = 0; j < d; ++j) {
      if (means[k * d + j] != means[j]) return false;
    }
  }
  return true;
}

Parameters::Parameters(const float* startMeans, int32_t K, int32_t d)
    : K(K),
      d(d),
      means(int64_t{K} * d, kModelArraysMessage),
      covariances(int64_t{K} * packedSymLength(d), kModelArraysMessage) {
  std::copy(startMeans, startMeans + int64_t{K} * d, means.data());
  for (int64_t k = 0; k < K; ++k) {
    float* block = covariance(k);
    int64_t at = 0;
    for (int64_t i = 0; i < d; ++i) {
      for (int64_t j = 0; j <= i; ++j) block[at++] = (i == j) ? 1.0f : 0.0f;
    }
  }
}

MStepSums::MStepSums(int32_t K, int32_t d)
    : weightSums(K, kModelArraysMessage),
      scatter(int64_t{K} * packedSymLength(d), "Not enough memory for uXXT!!\n"),
      sumX(int64_t{K} * d, "Not enough memory for uX!!\n") {}

void MStepSums::clear() {
  std::fill(weightSums.data(), weightSums.data() + weightSums.size(), 0.0f);
  std::fill(sumX.data(), sumX.data() + sumX.size(), 0.0f);
  std::fill(scatter.data(), scatter.data() + scatter.size(), 0.0f);
}

Responsibilities::Responsibilities(int64_t N, int32_t K)
    : N_(N),
      m_(K),
      values_(N * K, "Not enough memory for PRlx!!\n"),
      lists_(N * K, "Not enough memory for tmp_ItemList!\n") {}

PassState::PassState(int64_t N, int32_t K, bool dense) {
  if (dense) {
    responsibilities.emplace(N, K);
  } else {
    compact.emplace(N, K);
  }
}

void Responsibilities::release() {
  values_.reset();
  lists_.reset();
}

}  // namespace zelmor
