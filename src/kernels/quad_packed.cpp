// KernelTable::addPackedRun for 256-bit vectors (four doubles), in
// intrinsics, up to eight dimensions. The 36 scatter entries of eight
// dimensions fill nine vectors exactly, where padded rows take twelve; every
// vector of sums costs the same two conversions per point, so fewer vectors
// is the whole gain. The pairs of coordinates come from fixed shuffles of the
// two vectors of t (coordinates 0-3 and 4-7):
//   t_i·t_i, and t_i·t_(i+1 mod 4), within each half (four vectors);
//   t_0·t_2, t_1·t_3, t_4·t_6, t_5·t_7 (one vector);
//   t_(4+k)·t_j, j = 0..3, for k = 0..3 (four vectors).
// A lane may take its factors in either order: r·t_i is a product of two
// floats, exact in a double, so (r·t_i)·t_j and (r·t_j)·t_i are both the exact
// r·t_i·t_j rounded once. Each lane thus does exactly what addRowsRunPlain
// does for its entry.
#include <cstdint>

#include "kernels/e_step_wide.h"
#include "kernels/intrinsics_target.h"
#include "kernels/kernel_targets.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace zelmor {

namespace {

constexpr int32_t kQuadLanes = 4;
constexpr int32_t kQuadDims = 8;

// The coordinates each lane pairs, vector by vector; the first three vectors
// are all that four dimensions or fewer need.
constexpr int8_t kLanePairs[9][kQuadLanes][2] = {
    {{0, 0}, {1, 1}, {2, 2}, {3, 3}}, {{0, 1}, {1, 2}, {2, 3}, {3, 0}}, {{0, 2}, {1, 3}, {4, 6}, {5, 7}},
    {{4, 4}, {5, 5}, {6, 6}, {7, 7}}, {{4, 5}, {5, 6}, {6, 7}, {7, 4}}, {{4, 0}, {4, 1}, {4, 2}, {4, 3}},
    {{5, 0}, {5, 1}, {5, 2}, {5, 3}}, {{6, 0}, {6, 1}, {6, 2}, {6, 3}}, {{7, 0}, {7, 1}, {7, 2}, {7, 3}},
};

#define ZELMOR_QUAD ZELMOR_INTRINSICS_TARGET("avx2")

// A sum held as a double that always carries a float value, four at a time.
ZELMOR_QUAD inline __m256d addRoundedQuad(__m256d sum, __m256d term) {
  return _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(sum, term)));
}

// The nine vectors of sums: sA to sC pair coordinates 0-3 among themselves,
// sD to sI those of 4-7 with both halves (see kLanePairs).
struct QuadSums {
  __m256d sA, sB, sC, sD, sE, sF, sG, sH, sI;
};

// One point's terms added to the sums. The vectors that need the low half's
// factors go last, so that fewer values are live at once.
template <bool High>
ZELMOR_QUAD inline void addQuadTerms(QuadSums& s, __m256d tLow, __m256d tHigh, __m256d rtLow, __m256d rtHigh) {
  s.sC = addRoundedQuad(
      s.sC, _mm256_mul_pd(_mm256_permute2f128_pd(rtLow, rtHigh, 0x20), _mm256_permute2f128_pd(tLow, tHigh, 0x31)));
  if constexpr (High) {
    s.sD = addRoundedQuad(s.sD, _mm256_mul_pd(rtHigh, tHigh));
    s.sE = addRoundedQuad(s.sE, _mm256_mul_pd(rtHigh, _mm256_permute4x64_pd(tHigh, 0x39)));
  }
  s.sA = addRoundedQuad(s.sA, _mm256_mul_pd(rtLow, tLow));
  s.sB = addRoundedQuad(s.sB, _mm256_mul_pd(rtLow, _mm256_permute4x64_pd(tLow, 0x39)));
  if constexpr (High) {
    s.sF = addRoundedQuad(s.sF, _mm256_mul_pd(_mm256_permute4x64_pd(rtHigh, 0x00), tLow));
    s.sG = addRoundedQuad(s.sG, _mm256_mul_pd(_mm256_permute4x64_pd(rtHigh, 0x55), tLow));
    s.sH = addRoundedQuad(s.sH, _mm256_mul_pd(_mm256_permute4x64_pd(rtHigh, 0xAA), tLow));
    s.sI = addRoundedQuad(s.sI, _mm256_mul_pd(_mm256_permute4x64_pd(rtHigh, 0xFF), tLow));
  }
}

// Vector v of the sums; four dimensions or fewer have only the first three.
template <bool High>
ZELMOR_QUAD inline __m256d loadQuadSums(const double* scatter, int v) {
  return High || v < 3 ? _mm256_load_pd(scatter + v * kQuadLanes) : _mm256_setzero_pd();
}

// The sums stay in registers from the first point of the run to the last, so
// that each update waits only for the one before it in the same register.
// Up to four dimensions (`High` false) the upper half of every point is zero
// and its five vectors are skipped; at eight (`Full`) no lane is masked.
template <bool High, bool Full>
ZELMOR_QUAD void quadRun(WideSums& acc, const float* const* points, const float* r, int64_t count, const float* mean) {
  double* scatter = acc.scatter;
  QuadSums s{loadQuadSums<High>(scatter, 0), loadQuadSums<High>(scatter, 1), loadQuadSums<High>(scatter, 2),
             loadQuadSums<High>(scatter, 3), loadQuadSums<High>(scatter, 4), loadQuadSums<High>(scatter, 5),
             loadQuadSums<High>(scatter, 6), loadQuadSums<High>(scatter, 7), loadQuadSums<High>(scatter, 8)};
  __m256d sumXLow = _mm256_load_pd(acc.sumX);
  __m256d sumXHigh = _mm256_load_pd(acc.sumX + kQuadLanes);
  // Only the point's own d floats are read.
  const __m256i inPoint = _mm256_cmpgt_epi32(_mm256_set1_epi32(acc.d), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  alignas(32) float meanFloat[kQuadDims];
  _mm256_store_ps(meanFloat, _mm256_maskload_ps(mean, inPoint));
  double weight = acc.weight;
  for (int64_t i = 0; i < count; ++i) {
    const __m256d rWide = _mm256_set1_pd(static_cast<double>(r[i]));
    const __m256 x = Full ? _mm256_loadu_ps(points[i]) : _mm256_maskload_ps(points[i], inPoint);
    // float(x - mean) with the subtraction in double is the float
    // subtraction (see storedDifference); the padding lanes give 0.
    const __m256 t = _mm256_sub_ps(x, _mm256_load_ps(meanFloat));
    sumXLow = addRoundedQuad(sumXLow, _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)), rWide));
    if constexpr (High) {
      sumXHigh = addRoundedQuad(sumXHigh, _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)), rWide));
    }
    weight = static_cast<float>(weight + static_cast<double>(r[i]));
    const __m256d tLow = _mm256_cvtps_pd(_mm256_castps256_ps128(t));
    const __m256d tHigh = High ? _mm256_cvtps_pd(_mm256_extractf128_ps(t, 1)) : _mm256_setzero_pd();
    addQuadTerms<High>(s, tLow, tHigh, _mm256_mul_pd(rWide, tLow), _mm256_mul_pd(rWide, tHigh));
  }
  const __m256d all[] = {s.sA, s.sB, s.sC, s.sD, s.sE, s.sF, s.sG, s.sH, s.sI};
  for (int v = 0; v < (High ? 9 : 3); ++v) _mm256_store_pd(scatter + v * kQuadLanes, all[v]);
  _mm256_store_pd(acc.sumX, sumXLow);
  _mm256_store_pd(acc.sumX + kQuadLanes, sumXHigh);
  acc.weight = weight;
}

}  // namespace

void addPackedRunQuad(WideSums& sums, const float* const* points, const float* r, int64_t count, const float* mean) {
  if (sums.d == kQuadDims) {
    quadRun<true, true>(sums, points, r, count, mean);
  } else if (sums.d > kQuadDims / 2) {
    quadRun<true, false>(sums, points, r, count, mean);
  } else {
    quadRun<false, false>(sums, points, r, count, mean);
  }
}

int32_t packedSlotsQuad(int32_t d, int32_t* slots) {
  const int32_t vectors = d > kQuadDims / 2 ? 9 : 3;
  for (int32_t v = 0; v < vectors; ++v) {
    for (int32_t l = 0; l < kQuadLanes; ++l) {
      const int32_t a = kLanePairs[v][l][0];
      const int32_t b = kLanePairs[v][l][1];
      const int32_t row = a > b ? a : b;
      const int32_t column = a > b ? b : a;
      if (row < d) slots[row * (row + 1) / 2 + column] = v * kQuadLanes + l;
    }
  }
  return vectors * kQuadLanes;
}

}  // namespace zelmor

#endif  // __x86_64__
