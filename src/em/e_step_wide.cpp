#include "em/e_step_wide.h"

#include <cmath>

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

AccumulateScratch::AccumulateScratch(int32_t d)
    : tStorage_(static_cast<size_t>(d) + 4, 0.0f),
      productStorage_(static_cast<size_t>((int64_t{d} + 1) * d / 2) + 4) {
  t = tStorage_.data();
  products = productStorage_.data();
}

#if defined(__x86_64__)

bool hasWideKernels() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}

// The lanes' own order of operations is what matters; keep the compiler from
// rewriting these loops into shapes of its own.
#define ZELMOR_WIDE __attribute__((target("avx2"), optimize("no-tree-vectorize")))

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

ZELMOR_WIDE void accumulatePointWide(const float* x, const float* mean, float r, int32_t d, AccumulateScratch& scratch,
                                     float* uX, float& weightSum, float* uXXT) {
  float* t = scratch.t;
  double* products = scratch.products;
  const __m256d rWide = _mm256_set1_pd(static_cast<double>(r));
  int32_t i = 0;
  for (; i + 4 <= d; i += 4) {
    const __m256d xi = _mm256_cvtps_pd(_mm_loadu_ps(x + i));
    _mm_storeu_ps(t + i, _mm256_cvtpd_ps(_mm256_sub_pd(xi, _mm256_cvtps_pd(_mm_loadu_ps(mean + i)))));
    const __m256d sum = _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(uX + i)), _mm256_mul_pd(xi, rWide));
    _mm_storeu_ps(uX + i, _mm256_cvtpd_ps(sum));
  }
  for (; i < d; ++i) {
    t[i] = static_cast<float>(static_cast<double>(x[i]) - mean[i]);
    uX[i] = static_cast<float>(uX[i] + static_cast<double>(x[i]) * r);
  }
  weightSum = static_cast<float>(weightSum + static_cast<double>(r));
  // Products (r·t_i)·t_j of the packed triangle, row by row; a row's last
  // vector may run past its end into the next row, which overwrites it.
  int64_t at = 0;
  for (i = 0; i < d; ++i) {
    const __m256d rt = _mm256_set1_pd(static_cast<double>(r) * t[i]);
    for (int32_t j = 0; j <= i; j += 4) {
      _mm256_storeu_pd(products + at + j, _mm256_mul_pd(rt, _mm256_cvtps_pd(_mm_loadu_ps(t + j))));
    }
    at += i + 1;
  }
  int64_t k = 0;
  for (; k + 4 <= at; k += 4) {
    const __m256d sum = _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(uXXT + k)), _mm256_loadu_pd(products + k));
    _mm_storeu_ps(uXXT + k, _mm256_cvtpd_ps(sum));
  }
  for (; k < at; ++k) uXXT[k] = static_cast<float>(uXXT[k] + products[k]);
}

#else

bool hasWideKernels() { return false; }

void pointDensitiesWide(const float* const*, int, const float*, const double*, float, int32_t, float*, double*) {}

void accumulatePointWide(const float*, const float*, float, int32_t, AccumulateScratch&, float*, float&, float*) {}

#endif

}  // namespace zelmor
