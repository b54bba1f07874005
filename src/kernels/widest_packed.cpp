// KernelTable::addPackedRun for 512-bit vectors, in intrinsics: it pairs the
// coordinates of every scatter entry with a permutation across two vectors,
// which Highway 1.0 does not offer. Each lane does exactly what
// addRowsRunPlain does for its entry.
#include <cstdint>

#include "kernels/e_step_wide.h"
#include "kernels/intrinsics_target.h"
#include "kernels/kernel_targets.h"

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

namespace zelmor {

namespace {

constexpr int32_t kWidestLanes = 8;

#define ZELMOR_WIDEST ZELMOR_INTRINSICS_TARGET("avx512f")

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
ZELMOR_WIDEST void packedRun(WideSums& acc, const float* const* points, const float* r, int64_t count,
                             const float* mean) {
  const int32_t d = acc.d;
  __m512d sums[Vectors];
  __m512i rows[Vectors];
  __m512i columns[Vectors];
  for (int v = 0; v < Vectors; ++v) {
    sums[v] = _mm512_load_pd(acc.scatter + v * kWidestLanes);
    rows[v] = _mm512_load_si512(acc.rows + v * kWidestLanes);
    columns[v] = _mm512_load_si512(acc.columns + v * kWidestLanes);
  }
  __m512d sumXLow = _mm512_load_pd(acc.sumX);
  __m512d sumXHigh = _mm512_load_pd(acc.sumX + kWidestLanes);
  __m512d meanLow, meanHigh;
  loadWidened(mean, d, meanLow, meanHigh);
  double weight = acc.weight;
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
  for (int v = 0; v < Vectors; ++v) _mm512_store_pd(acc.scatter + v * kWidestLanes, sums[v]);
  _mm512_store_pd(acc.sumX, sumXLow);
  _mm512_store_pd(acc.sumX + kWidestLanes, sumXHigh);
  acc.weight = weight;
}

using PackedRun = void (*)(WideSums&, const float* const*, const float*, int64_t, const float*);

// Eight dimensions make 36 scatter entries (5 vectors), 16 make 136 (17).
PackedRun packedRunFor(int32_t d) {
  static constexpr PackedRun kLow[] = {
      nullptr,
      &packedRun<1, false>,
      &packedRun<2, false>,
      &packedRun<3, false>,
      &packedRun<4, false>,
      &packedRun<5, false>,
  };
  static constexpr PackedRun kHigh[] = {
      &packedRun<6, true>,  &packedRun<7, true>,  &packedRun<8, true>,  &packedRun<9, true>,
      &packedRun<10, true>, &packedRun<11, true>, &packedRun<12, true>, &packedRun<13, true>,
      &packedRun<14, true>, &packedRun<15, true>, &packedRun<16, true>, &packedRun<17, true>,
  };
  const int32_t vectors = (d * (d + 1) / 2 + kWidestLanes - 1) / kWidestLanes;
  return d <= kWidestLanes ? kLow[vectors] : kHigh[vectors - 6];
}

}  // namespace

void addPackedRunWidest(WideSums& sums, const float* const* points, const float* r, int64_t count, const float* mean) {
  packedRunFor(sums.d)(sums, points, r, count, mean);
}

// Entry e in lane e; the pairs of each lane are in WideSums::rows and columns.
int32_t packedSlotsWidest(int32_t d, int32_t* slots) {
  const int32_t entries = d * (d + 1) / 2;
  for (int32_t e = 0; e < entries; ++e) slots[e] = e;
  return (entries + kWidestLanes - 1) / kWidestLanes * kWidestLanes;
}

}  // namespace zelmor

#endif  // __x86_64__
