#include "fit/list_positions.h"

#include <algorithm>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelmor {

int64_t listPositions(const int16_t* needed, int64_t count, const int16_t* items, int64_t m, uint8_t* flags,
                      int32_t* positions) {
  for (int64_t i = 0; i < count; ++i) flags[needed[i]] = 1;
  int64_t found = 0;
  for (int64_t q = 0; q < m; ++q) {
    if (flags[items[q]] != 0) positions[found++] = static_cast<int32_t>(q);
  }
  for (int64_t i = 0; i < count; ++i) flags[needed[i]] = 0;
  return found;
}

int64_t tailListPositions(const int16_t* needed, int64_t count, const int16_t* tailItems, int64_t tail, int64_t m,
                          int32_t* positions, int16_t* clusters) {
  // The tail in one vector; -1 in the unused lanes matches no microcluster.
  alignas(16) int16_t lanes[kShortTail];
  std::fill(lanes, lanes + kShortTail, int16_t{-1});
  std::copy(tailItems, tailItems + tail, lanes);
  int64_t found = 0;
  uint32_t inTail = 0;  // bit i: tail item i is needed
  // Outside the tail the positions rise as the indices fall.
#if defined(__SSE2__)
  // Two vectors of eight, narrowed to one byte a lane after each comparison.
  const __m128i low = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
  const __m128i high = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes + 8));
  const __m128i one = _mm_set1_epi8(1);
  const __m128i zero = _mm_setzero_si128();
  for (int64_t i = count - 1; i >= 0; --i) {
    const __m128i g = _mm_set1_epi16(needed[i]);
    const uint32_t same =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(low, g), _mm_cmpeq_epi16(high, g))));
    if (same != 0) {
      inTail |= 1u << std::countr_zero(same);
      continue;
    }
    // How many tail items are greater: the lanes' ones summed.
    const __m128i greater = _mm_and_si128(_mm_packs_epi16(_mm_cmpgt_epi16(low, g), _mm_cmpgt_epi16(high, g)), one);
    const __m128i sums = _mm_sad_epu8(greater, zero);
    const int higher = _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
    positions[found] = static_cast<int32_t>(m - 1 - needed[i] - higher);
    clusters[found++] = needed[i];
  }
#else
  for (int64_t i = count - 1; i >= 0; --i) {
    const int16_t g = needed[i];
    int higher = 0;
    int at = -1;
    for (int64_t j = 0; j < kShortTail; ++j) {
      higher += lanes[j] > g;
      if (lanes[j] == g && at < 0) at = static_cast<int>(j);
    }
    if (at >= 0) {
      inTail |= 1u << at;
      continue;
    }
    positions[found] = static_cast<int32_t>(m - 1 - g - higher);
    clusters[found++] = g;
  }
#endif
  for (; inTail != 0; inTail &= inTail - 1) {
    const int at = std::countr_zero(inTail);
    positions[found] = static_cast<int32_t>(m - tail + at);
    clusters[found++] = lanes[at];
  }
  return found;
}

}  // namespace zelmor
