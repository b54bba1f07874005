#include "em/e_step_wide.h"

#include <cmath>
#include <cstdint>

#include "em/em_constants.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zelmor {

void widenInverse(const float* inverse, int32_t d, double* full) {
  for (int64_t j = 0; j < d; ++j) {
    for (int64_t i = 0; i <= j; ++i) full[j * d + i] = full[i * d + j] = inverse[j * (j + 1) / 2 + i];
  }
}

namespace {
constexpr int32_t kLanes = 4;
int32_t roundUpToLanes(int32_t n) { return (n + kLanes - 1) / kLanes * kLanes; }
}  // namespace

WideAccumulator::WideAccumulator(int32_t d) : d_(d), paddedD_(roundUpToLanes(d)) {
  int32_t lanes = 0;
  for (int32_t i = 0; i < d; ++i) {
    rowStart_.push_back(lanes);
    lanes += roundUpToLanes(i + 1);
  }
  // Room to align the start to a whole vector.
  storage_.assign(static_cast<size_t>(2 * paddedD_ + lanes + kLanes), 0.0);
  double* base = storage_.data();
  while (reinterpret_cast<uintptr_t>(base) % (kLanes * sizeof(double)) != 0) ++base;
  t_ = base;
  sumX_ = t_ + paddedD_;
  scatter_ = sumX_ + paddedD_;
}

void WideAccumulator::load(const float* uX, float weightSum, const float* uXXT) {
  for (int32_t i = 0; i < d_; ++i) sumX_[i] = uX[i];
  weight_ = weightSum;
  int64_t at = 0;
  for (int32_t i = 0; i < d_; ++i) {
    for (int32_t j = 0; j <= i; ++j) scatter_[rowStart_[i] + j] = uXXT[at++];
  }
}

void WideAccumulator::store(float* uX, float& weightSum, float* uXXT) const {
  for (int32_t i = 0; i < d_; ++i) uX[i] = static_cast<float>(sumX_[i]);
  weightSum = static_cast<float>(weight_);
  int64_t at = 0;
  for (int32_t i = 0; i < d_; ++i) {
    for (int32_t j = 0; j <= i; ++j) uXXT[at++] = static_cast<float>(scatter_[rowStart_[i] + j]);
  }
}

#if defined(__x86_64__)

bool hasWideKernels() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}

// The lanes' own order of operations is what matters; keep the compiler from
// rewriting these loops into shapes of its own.
#if defined(__clang__)
#define ZELMOR_WIDE __attribute__((target("avx2")))
#else
#define ZELMOR_WIDE __attribute__((target("avx2"), optimize("no-tree-vectorize")))
#endif

ZELMOR_WIDE void pointDensitiesWide(const float* const* points, int count, const float* mean,
                                    const double* inverseFull, float normaliser, int32_t d, float* densities,
                                    double* tScratch) {
  // Missing lanes repeat the first point; their results are dropped.
  const float* lane[kDensityLanes];
  for (int l = 0; l < kDensityLanes; ++l) lane[l] = points[l < count ? l : 0];
  for (int64_t i = 0; i < d; ++i) {
    const __m256d x = _mm256_cvtps_pd(_mm_setr_ps(lane[0][i], lane[1][i], lane[2][i], lane[3][i]));
    const __m256d difference = _mm256_sub_pd(x, _mm256_set1_pd(static_cast<double>(mean[i])));
    // t is stored as a float, then used widened.
    _mm256_storeu_pd(tScratch + i * kDensityLanes, _mm256_cvtps_pd(_mm256_cvtpd_ps(difference)));
  }
  __m128 Q = _mm_setzero_ps();
  for (int64_t j = 0; j < d; ++j) {
    __m256d rowSum = _mm256_setzero_pd();
    const double* row = inverseFull + j * d;
    for (int64_t i = 0; i < d; ++i) {
      rowSum = _mm256_add_pd(rowSum, _mm256_mul_pd(_mm256_broadcast_sd(row + i),
                                                   _mm256_loadu_pd(tScratch + i * kDensityLanes)));
    }
    const __m256d term = _mm256_mul_pd(rowSum, _mm256_loadu_pd(tScratch + j * kDensityLanes));
    Q = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(Q), term));
  }
  alignas(16) float forms[kDensityLanes];
  _mm_store_ps(forms, Q);
  for (int l = 0; l < count; ++l) {
    const float D = std::fabs(forms[l]);
    densities[l] = !(D < kDensityCutoff) ? 0.0f : static_cast<float>(std::exp(-0.5 * D) / normaliser);
  }
}

// A sum held as a double that always carries a float value: add, round to
// float, widen again. The same bits as a float sum updated in double.
ZELMOR_WIDE inline __m256d addRounded(__m256d sum, __m256d term) {
  return _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(sum, term)));
}

ZELMOR_WIDE void WideAccumulator::add(const float* x, const float* mean, float r) {
  const __m256d rWide = _mm256_set1_pd(static_cast<double>(r));
  int32_t i = 0;
  for (; i + kLanes <= d_; i += kLanes) {
    const __m256d xi = _mm256_cvtps_pd(_mm_loadu_ps(x + i));
    // t is stored as a float, then used widened.
    _mm256_store_pd(t_ + i, _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_sub_pd(xi, _mm256_cvtps_pd(_mm_loadu_ps(mean + i))))));
    _mm256_store_pd(sumX_ + i, addRounded(_mm256_load_pd(sumX_ + i), _mm256_mul_pd(xi, rWide)));
  }
  for (; i < d_; ++i) {
    t_[i] = static_cast<float>(static_cast<double>(x[i]) - mean[i]);
    sumX_[i] = static_cast<float>(sumX_[i] + static_cast<double>(x[i]) * r);
  }
  weight_ = static_cast<float>(weight_ + static_cast<double>(r));
  // Row i: (r·t_i)·t_j for j = 0..i; the lanes past i are padding whose
  // values are never stored back.
  for (i = 0; i < d_; ++i) {
    const __m256d rt = _mm256_set1_pd(static_cast<double>(r) * t_[i]);
    double* row = scatter_ + rowStart_[i];
    for (int32_t j = 0; j <= i; j += kLanes) {
      _mm256_store_pd(row + j, addRounded(_mm256_load_pd(row + j), _mm256_mul_pd(rt, _mm256_load_pd(t_ + j))));
    }
  }
}

#else

bool hasWideKernels() { return false; }

void pointDensitiesWide(const float* const*, int, const float*, const double*, float, int32_t, float*, double*) {}

void WideAccumulator::add(const float*, const float*, float) {}

#endif

}  // namespace zelmor
