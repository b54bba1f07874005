#include "kernels/e_step_wide.h"

#include <cmath>
#include <cstdint>

#include "kernels/density_constants.h"

#if defined(__x86_64__)
// Some compilers' 512-bit conversions start from a deliberately undefined
// vector, which their own warnings then flag.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif
#endif

namespace zelmor {

void widenInverse(const float* inverse, int32_t d, double* full) {
  for (int64_t j = 0; j < d; ++j) {
    for (int64_t i = 0; i <= j; ++i) full[j * d + i] = full[i * d + j] = inverse[j * (j + 1) / 2 + i];
  }
}

namespace {
constexpr int32_t kLanes = 4;
// Lanes of a 512-bit vector of doubles, and the dimensions two of them hold.
constexpr int32_t kWidestLanes = 8;
constexpr int32_t kWidestDims = 16;
constexpr size_t kAlignment = 64;
int32_t roundUp(int32_t n, int32_t lanes) { return (n + lanes - 1) / lanes * lanes; }
}  // namespace

WideAccumulator::WideAccumulator(int32_t d, bool widest)
    : d_(d), paddedD_(roundUp(d, kLanes)), packedOrder_(widest && d <= kWidestDims && hasWidestKernels()) {
  int32_t lanes = 0;
  if (packedOrder_) {
    paddedD_ = kWidestDims;
    const int32_t packed = d * (d + 1) / 2;
    lanes = roundUp(packed, kWidestLanes);
    pairs_.assign(static_cast<size_t>(2 * lanes + kWidestLanes), 0);
    int64_t* base = pairs_.data();
    while (reinterpret_cast<uintptr_t>(base) % kAlignment != 0) ++base;
    rows_ = base;
    columns_ = base + lanes;
    int32_t at = 0;
    for (int32_t i = 0; i < d; ++i) {
      for (int32_t j = 0; j <= i; ++j, ++at) {
        rows_[at] = i;
        columns_[at] = j;
      }
    }
    packedRun_ = packedRunFor(d);
  } else {
    for (int32_t i = 0; i < d; ++i) {
      rowStart_.push_back(lanes);
      lanes += roundUp(i + 1, kLanes);
    }
  }
  // Room to align the start to a whole vector.
  storage_.assign(static_cast<size_t>(2 * paddedD_ + lanes + kWidestLanes), 0.0);
  double* base = storage_.data();
  while (reinterpret_cast<uintptr_t>(base) % kAlignment != 0) ++base;
  t_ = base;
  sumX_ = t_ + paddedD_;
  scatter_ = sumX_ + paddedD_;
}

void WideAccumulator::load(const float* uX, float weightSum, const float* uXXT) {
  for (int32_t i = 0; i < d_; ++i) sumX_[i] = uX[i];
  weight_ = weightSum;
  int64_t at = 0;
  for (int32_t i = 0; i < d_; ++i) {
    for (int32_t j = 0; j <= i; ++j, ++at) scatter_[packedOrder_ ? at : rowStart_[i] + j] = uXXT[at];
  }
}

void WideAccumulator::store(float* uX, float& weightSum, float* uXXT) const {
  for (int32_t i = 0; i < d_; ++i) uX[i] = static_cast<float>(sumX_[i]);
  weightSum = static_cast<float>(weight_);
  int64_t at = 0;
  for (int32_t i = 0; i < d_; ++i) {
    for (int32_t j = 0; j <= i; ++j, ++at)
      uXXT[at] = static_cast<float>(scatter_[packedOrder_ ? at : rowStart_[i] + j]);
  }
}

void WideAccumulator::addRun(const float* const* points, const float* r, int64_t count, const float* mean) {
  if (packedRun_ != nullptr) {
    packedRun_(*this, points, r, count, mean);
    return;
  }
  for (int64_t i = 0; i < count; ++i) add(points[i], mean, r[i]);
}

#if defined(__x86_64__)

bool hasWideKernels() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}

bool hasWidestKernels() {
  static const bool available = hasWideKernels() && __builtin_cpu_supports("avx512f");
  return available;
}

// The lanes' own order of operations is what matters; keep the compiler from
// rewriting these loops into shapes of its own.
#if defined(__clang__)
#define ZELMOR_WIDE __attribute__((target("avx2")))
#else
#define ZELMOR_WIDE __attribute__((target("avx2"), optimize("no-tree-vectorize")))
#endif

// The forms of `Groups` groups of four lanes, advanced side by side so that
// the groups' chains of additions overlap.
template <int Groups>
ZELMOR_WIDE void laneForms(const float* const* lane, const float* mean, const double* inverseFull, int32_t d,
                           double* tScratch, float* forms) {
  constexpr int kWidth = 4 * Groups;
  for (int64_t i = 0; i < d; ++i) {
    const __m256d meanI = _mm256_set1_pd(static_cast<double>(mean[i]));
    for (int g = 0; g < Groups; ++g) {
      const float* const* l = lane + 4 * g;
      const __m256d x = _mm256_cvtps_pd(_mm_setr_ps(l[0][i], l[1][i], l[2][i], l[3][i]));
      // t is stored as a float, then used widened.
      _mm256_storeu_pd(tScratch + i * kWidth + 4 * g, _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_sub_pd(x, meanI))));
    }
  }
  __m128 Q[Groups];
  for (int g = 0; g < Groups; ++g) Q[g] = _mm_setzero_ps();
  for (int64_t j = 0; j < d; ++j) {
    __m256d rowSum[Groups];
    for (int g = 0; g < Groups; ++g) rowSum[g] = _mm256_setzero_pd();
    const double* row = inverseFull + j * d;
    for (int64_t i = 0; i < d; ++i) {
      const __m256d a = _mm256_broadcast_sd(row + i);
      for (int g = 0; g < Groups; ++g) {
        rowSum[g] = _mm256_add_pd(rowSum[g], _mm256_mul_pd(a, _mm256_loadu_pd(tScratch + i * kWidth + 4 * g)));
      }
    }
    for (int g = 0; g < Groups; ++g) {
      const __m256d term = _mm256_mul_pd(rowSum[g], _mm256_loadu_pd(tScratch + j * kWidth + 4 * g));
      Q[g] = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(Q[g]), term));
    }
  }
  for (int g = 0; g < Groups; ++g) _mm_storeu_ps(forms + 4 * g, Q[g]);
}

ZELMOR_WIDE void pointDensitiesWide(const float* const* points, int count, const float* mean, const double* inverseFull,
                                    float normaliser, int32_t d, float* densities, double* tScratch) {
  // Missing lanes repeat the first point; their results are dropped.
  const float* lane[kDensityLanes];
  for (int l = 0; l < kDensityLanes; ++l) lane[l] = points[l < count ? l : 0];
  float forms[kDensityLanes];
  if (count <= 4) {
    laneForms<1>(lane, mean, inverseFull, d, tScratch, forms);
  } else {
    laneForms<kDensityLanes / 4>(lane, mean, inverseFull, d, tScratch, forms);
  }
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
  if (packedOrder_) {
    packedRun_(*this, &x, &r, 1, mean);
    return;
  }
  const __m256d rWide = _mm256_set1_pd(static_cast<double>(r));
  int32_t i = 0;
  for (; i + kLanes <= d_; i += kLanes) {
    const __m256d xi = _mm256_cvtps_pd(_mm_loadu_ps(x + i));
    // t is stored as a float, then used widened.
    _mm256_store_pd(t_ + i,
                    _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_sub_pd(xi, _mm256_cvtps_pd(_mm_loadu_ps(mean + i))))));
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

#if defined(__clang__)
#define ZELMOR_WIDEST __attribute__((target("avx512f")))
#else
#define ZELMOR_WIDEST __attribute__((target("avx512f"), optimize("no-tree-vectorize")))
#endif

// A sum held as a double that always carries a float value, eight at a time.
ZELMOR_WIDEST inline __m512d addRoundedWidest(__m512d sum, __m512d term) {
  return _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_add_pd(sum, term)));
}

// Up to 16 coordinates in two vectors of doubles, the lanes past d zero.
ZELMOR_WIDEST inline void loadWidened(const float* v, int32_t d, __m512d& low, __m512d& high) {
  const __m512 all = _mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << d) - 1), v);
  low = _mm512_cvtps_pd(_mm512_castps512_ps256(all));
  high = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(all), 1)));
}

// A run of points added to the packed scatter: every entry (i, j) gets
// (r·t_i)·t_j, eight entries at a time, the factors picked out of the vectors
// of r·t and t by permutation. The sums are held in registers from the first
// point to the last: each update then waits only for the one before it in
// the same register, never for a store to memory. Up to eight dimensions
// (`High` false) one vector holds the point and the upper halves are skipped.
template <int Vectors, bool High>
ZELMOR_WIDEST void WideAccumulator::addPackedRun(WideAccumulator& acc, const float* const* points, const float* r,
                                                 int64_t count, const float* mean) {
  const int32_t d = acc.d_;
  __m512d sums[Vectors];
  __m512i rows[Vectors];
  __m512i columns[Vectors];
  for (int v = 0; v < Vectors; ++v) {
    sums[v] = _mm512_load_pd(acc.scatter_ + v * kWidestLanes);
    rows[v] = _mm512_load_si512(acc.rows_ + v * kWidestLanes);
    columns[v] = _mm512_load_si512(acc.columns_ + v * kWidestLanes);
  }
  __m512d sumXLow = _mm512_load_pd(acc.sumX_);
  __m512d sumXHigh = _mm512_load_pd(acc.sumX_ + kWidestLanes);
  __m512d meanLow, meanHigh;
  loadWidened(mean, d, meanLow, meanHigh);
  double weight = acc.weight_;
  for (int64_t i = 0; i < count; ++i) {
    const __m512d rWide = _mm512_set1_pd(static_cast<double>(r[i]));
    __m512d xLow, xHigh;
    if constexpr (High) {
      loadWidened(points[i], d, xLow, xHigh);
    } else {
      xLow = _mm512_cvtps_pd(
          _mm512_castps512_ps256(_mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << d) - 1), points[i])));
    }
    // t is stored as a float, then used widened.
    const __m512d tLow = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_sub_pd(xLow, meanLow)));
    sumXLow = addRoundedWidest(sumXLow, _mm512_mul_pd(xLow, rWide));
    weight = static_cast<float>(weight + static_cast<double>(r[i]));
    const __m512d rtLow = _mm512_mul_pd(rWide, tLow);
    if constexpr (High) {
      const __m512d tHigh = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_sub_pd(xHigh, meanHigh)));
      sumXHigh = addRoundedWidest(sumXHigh, _mm512_mul_pd(xHigh, rWide));
      const __m512d rtHigh = _mm512_mul_pd(rWide, tHigh);
      for (int v = 0; v < Vectors; ++v) {
        const __m512d term = _mm512_mul_pd(_mm512_permutex2var_pd(rtLow, rows[v], rtHigh),
                                           _mm512_permutex2var_pd(tLow, columns[v], tHigh));
        sums[v] = addRoundedWidest(sums[v], term);
      }
    } else {
      for (int v = 0; v < Vectors; ++v) {
        const __m512d term =
            _mm512_mul_pd(_mm512_permutexvar_pd(rows[v], rtLow), _mm512_permutexvar_pd(columns[v], tLow));
        sums[v] = addRoundedWidest(sums[v], term);
      }
    }
  }
  for (int v = 0; v < Vectors; ++v) _mm512_store_pd(acc.scatter_ + v * kWidestLanes, sums[v]);
  _mm512_store_pd(acc.sumX_, sumXLow);
  _mm512_store_pd(acc.sumX_ + kWidestLanes, sumXHigh);
  acc.weight_ = weight;
}

// Eight dimensions make 36 scatter entries (5 vectors), 16 make 136 (17).
WideAccumulator::PackedRun WideAccumulator::packedRunFor(int32_t d) {
  static constexpr WideAccumulator::PackedRun kLow[] = {
      nullptr,
      &WideAccumulator::addPackedRun<1, false>,
      &WideAccumulator::addPackedRun<2, false>,
      &WideAccumulator::addPackedRun<3, false>,
      &WideAccumulator::addPackedRun<4, false>,
      &WideAccumulator::addPackedRun<5, false>,
  };
  static constexpr WideAccumulator::PackedRun kHigh[] = {
      &WideAccumulator::addPackedRun<6, true>,  &WideAccumulator::addPackedRun<7, true>,
      &WideAccumulator::addPackedRun<8, true>,  &WideAccumulator::addPackedRun<9, true>,
      &WideAccumulator::addPackedRun<10, true>, &WideAccumulator::addPackedRun<11, true>,
      &WideAccumulator::addPackedRun<12, true>, &WideAccumulator::addPackedRun<13, true>,
      &WideAccumulator::addPackedRun<14, true>, &WideAccumulator::addPackedRun<15, true>,
      &WideAccumulator::addPackedRun<16, true>, &WideAccumulator::addPackedRun<17, true>,
  };
  const int32_t vectors = roundUp(d * (d + 1) / 2, kWidestLanes) / kWidestLanes;
  return d <= kWidestLanes ? kLow[vectors] : kHigh[vectors - 6];
}

#else

bool hasWideKernels() { return false; }

bool hasWidestKernels() { return false; }

void pointDensitiesWide(const float* const*, int, const float*, const double*, float, int32_t, float*, double*) {}

void WideAccumulator::add(const float*, const float*, float) {}

WideAccumulator::PackedRun WideAccumulator::packedRunFor(int32_t) { return nullptr; }

#endif

}  // namespace zelmor
