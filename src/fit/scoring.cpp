// Scoring of points under a fitted model, with the kernels of the E-step.
#include "fit/scoring.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/e_step_kernels.h"
#include "linalg/packed_matrix.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

constexpr int64_t kScoreBlockPoints = 1024;

}  // namespace

ModelScorer::ModelScorer(const float* means, const float* covariances, int32_t K, int32_t d, bool firstIteration)
    : K_(K), d_(d) {
  const int64_t packed = static_cast<int64_t>(d) * (d + 1) / 2;
  means_.assign(means, means + static_cast<int64_t>(K) * d);
  inverses_.assign(covariances, covariances + K * packed);
  normalisers_.resize(static_cast<size_t>(K));
  std::vector<float> work(static_cast<size_t>(d) * d);
  const float gaussFactor = computeGaussFactor(d);
  for (int64_t k = 0; k < K; ++k) {
    const auto det = static_cast<float>(packedDeterminant(&inverses_[k * packed], d, work.data()));
    normalisers_[k] = firstIteration ? static_cast<float>(std::sqrt(static_cast<double>(det)))
                                     : static_cast<float>(std::sqrt(std::fabs(static_cast<double>(det)) * gaussFactor));
  }
  std::vector<int16_t> rowPivots(static_cast<size_t>(d)), colPivots(static_cast<size_t>(d));
  invertPackedRun(inverses_.data(), d, K, work.data(), rowPivots.data(), colPivots.data());
}

void ModelScorer::scoreRange(const float* points, int64_t begin, int64_t end, float* responsibilities, int32_t* labels,
                             double* logDensity) const {
  const int64_t packed = static_cast<int64_t>(d_) * (d_ + 1) / 2;
  std::vector<float> t(static_cast<size_t>(d_));
  std::vector<float> density(static_cast<size_t>(K_));
  for (int64_t p = begin; p < end; ++p) {
    const float* x = points + p * d_;
    double s = 0.0;
    for (int64_t k = 0; k < K_; ++k) {
      density[k] = pointDensity(x, &means_[k * d_], &inverses_[k * packed], normalisers_[k], d_, t.data());
      s += density[k];
    }
    if (logDensity != nullptr) logDensity[p] = s > 0.0 ? std::log(s) : -std::numeric_limits<double>::infinity();
    int32_t best = -1;
    float largest = 0.0f;
    for (int64_t k = 0; k < K_; ++k) {
      const float r = s > 0.0 ? static_cast<float>(density[k] / s) : 0.0f;
      if (responsibilities != nullptr) responsibilities[p * K_ + k] = r;
      if (r > 0.0f && r >= largest) {
        largest = r;
        best = static_cast<int32_t>(k);
      }
    }
    if (labels != nullptr) labels[p] = best;
  }
}

void ModelScorer::score(const float* points, int64_t n, float* responsibilities, int32_t* labels, double* logDensity,
                        ThreadPool* pool) const {
  if (pool == nullptr) {
    scoreRange(points, 0, n, responsibilities, labels, logDensity);
    return;
  }
  const int64_t blocks = (n + kScoreBlockPoints - 1) / kScoreBlockPoints;
  pool->run(blocks, [&](int64_t b, int) {
    const int64_t begin = b * kScoreBlockPoints;
    scoreRange(points, begin, std::min(n, begin + kScoreBlockPoints), responsibilities, labels, logDensity);
  });
}

}  // namespace zelmor
