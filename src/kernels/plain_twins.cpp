// The plain twins of the vector kernels: the scalar table, and the reference
// every vector table is tested against. Each does, value by value, the
// operations its vector twins do lane by lane.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

#include "kernels/density_constants.h"
#include "kernels/e_step_kernels.h"
#include "kernels/e_step_wide.h"
#include "kernels/kernel_targets.h"
#include "kernels/skip_table.h"

namespace zelmor {

namespace {

// The density of a quadratic form Q.
float densityOfForm(float Q, float normaliser) {
  const float D = std::fabs(Q);
  return !(D < kDensityCutoff) ? 0.0f : static_cast<float>(std::exp(-0.5 * D) / normaliser);
}

// The density from the differences t already in tScratch.
float densityOfDifferences(const double* inverseFull, float normaliser, int32_t d, const double* tScratch) {
  float Q = 0.0f;
  for (int64_t j = 0; j < d; ++j) {
    double rowSum = 0.0;
    for (int64_t i = 0; i < d; ++i) rowSum += inverseFull[j * d + i] * tScratch[i];
    Q = static_cast<float>(Q + rowSum * tScratch[j]);
  }
  return densityOfForm(Q, normaliser);
}

}  // namespace

void pointDensitiesPlain(const float* const* points, int count, const float* mean, const double* inverseFull,
                         float normaliser, int32_t d, float* densities, double* tScratch) {
  for (int l = 0; l < count; ++l) {
    const float* x = points[l];
    for (int64_t i = 0; i < d; ++i) tScratch[i] = static_cast<float>(static_cast<double>(x[i]) - mean[i]);
    densities[l] = densityOfDifferences(inverseFull, normaliser, d, tScratch);
  }
}

void identityDensitiesPlain(const float* const* points, int count, const float* mean, float normaliser, int32_t d,
                            float* densities, double*) {
  for (int l = 0; l < count; ++l) densities[l] = identityDensity(points[l], mean, normaliser, d);
}

void columnDensitiesPlain(const float* columns, int64_t stride, int64_t count, const float* mean,
                          const double* inverseFull, float normaliser, int32_t d, float* densities, double* tScratch) {
  for (int64_t l = 0; l < count; ++l) {
    for (int64_t i = 0; i < d; ++i)
      tScratch[i] = static_cast<float>(static_cast<double>(columns[i * stride + l]) - mean[i]);
    densities[l] = densityOfDifferences(inverseFull, normaliser, d, tScratch);
  }
}

void columnIdentityDensitiesPlain(const float* columns, int64_t stride, int64_t count, const float* mean,
                                  float normaliser, int32_t d, float* densities) {
  for (int64_t l = 0; l < count; ++l) {
    float Q = 0.0f;
    for (int64_t j = 0; j < d; ++j) {
      const float t = static_cast<float>(static_cast<double>(columns[j * stride + l]) - mean[j]);
      Q = static_cast<float>(Q + static_cast<double>(t) * t);
    }
    densities[l] = densityOfForm(Q, normaliser);
  }
}

void addRowsRunPlain(WideSums& sums, const float* const* points, const float* r, int64_t count, const float* mean) {
  const int32_t d = sums.d;
  for (int64_t p = 0; p < count; ++p) {
    const float* x = points[p];
    for (int32_t i = 0; i < d; ++i) {
      sums.t[i] = static_cast<float>(static_cast<double>(x[i]) - mean[i]);
      sums.sumX[i] = static_cast<float>(sums.sumX[i] + static_cast<double>(x[i]) * r[p]);
    }
    sums.weight = static_cast<float>(sums.weight + static_cast<double>(r[p]));
    for (int32_t i = 0; i < d; ++i) {
      const double rt = static_cast<double>(r[p]) * sums.t[i];
      double* row = sums.scatter + sums.rowStart[i];
      for (int32_t j = 0; j <= i; ++j) row[j] = static_cast<float>(row[j] + rt * sums.t[j]);
    }
  }
}

int64_t collectNeededDensitiesPlain(const float* x, const SkipTable& table, int32_t* needed) {
  int64_t count = 0;
  for (int64_t k = 0; k < table.K; ++k) {
    float length = 0.0f;
    float projection = 0.0f;
    for (int64_t j = 0; j < table.d; ++j) {
      const float diff = x[j] - table.meansByDim[j * table.stride + k];
      length += diff * diff;
      projection += table.axesByDim[j * table.stride + k] * diff;
    }
    if (!passesSkipTest(length, projection, table.lengthScale[k], table.axisScale[k], table.threshold[k])) {
      needed[count++] = static_cast<int32_t>(k);
    }
  }
  return count;
}

namespace {

constexpr uint64_t kTopBits = 0x8080808080808080;

// The top bit of each byte of `bytes` that is white space, computed in all
// eight bytes at once. Only the low seven bits take part in the sums, so no
// byte carries into the next.
uint64_t spaceBytes(uint64_t bytes) {
  constexpr uint64_t kLowBits = ~kTopBits;
  const uint64_t low = bytes & kLowBits;
  const uint64_t blank = ~((low ^ 0x2020202020202020) + kLowBits);                    // ' '
  const uint64_t control = (low + 0x7777777777777777) & ~(low + 0x7272727272727272);  // '\t' to '\r'
  return (blank | control) & ~bytes & kTopBits;
}

}  // namespace

// Little-endian builds only, as its callers.
uint64_t spaceMaskPlain(const char* at) {
  uint64_t mask = 0;
  for (int word = 0; word < 8; ++word) {
    uint64_t bytes;
    std::memcpy(&bytes, at + 8 * word, sizeof bytes);
    // The multiplication gathers the eight top bits, moved to the bottom of
    // their bytes, into the top byte, byte 0's bit lowest; no two of its
    // partial products meet, so nothing carries.
    const uint64_t gathered = ((spaceBytes(bytes) >> 7) * 0x0102040810204080) >> 56;
    mask |= gathered << (8 * word);
  }
  return mask;
}

int64_t tailListPositionsPlain(const int16_t* needed, int64_t count, const int16_t* tailItems, int64_t tail, int64_t m,
                               int32_t* positions, int16_t* clusters) {
  // -1 in the unused lanes matches no microcluster.
  constexpr int kLanes = 16;
  int16_t lanes[kLanes];
  std::fill(lanes, lanes + kLanes, int16_t{-1});
  std::copy(tailItems, tailItems + tail, lanes);
  int64_t found = 0;
  uint32_t inTail = 0;  // bit i: tail item i is needed
  // Outside the tail the positions rise as the indices fall.
  for (int64_t i = count - 1; i >= 0; --i) {
    const int16_t g = needed[i];
    int higher = 0;
    int at = -1;
    for (int j = 0; j < kLanes; ++j) {
      higher += lanes[j] > g;
      if (lanes[j] == g && at < 0) at = j;
    }
    if (at >= 0) {
      inTail |= 1u << at;
      continue;
    }
    positions[found] = static_cast<int32_t>(m - 1 - g - higher);
    clusters[found++] = g;
  }
  for (; inTail != 0; inTail &= inTail - 1) {
    const int at = std::countr_zero(inTail);
    positions[found] = static_cast<int32_t>(m - tail + at);
    clusters[found++] = lanes[at];
  }
  return found;
}

void divideSharesPlain(float* values, int64_t count, double sum) {
  for (int64_t i = 0; i < count; ++i) values[i] = static_cast<float>(values[i] / sum);
}

void addRowProductsPlain(float* levels, const double* values, int64_t count, double factor) {
  for (int64_t k = 0; k < count; ++k) levels[k] = static_cast<float>(levels[k] + values[k] * factor);
}

void rankAscendingPlain(const float* values, const int32_t* ids, int64_t n, float* outValues, int32_t* outIds) {
  std::vector<int64_t> order(static_cast<size_t>(n));
  std::iota(order.begin(), order.end(), int64_t{0});
  std::sort(order.begin(), order.end(),
            [&](int64_t a, int64_t b) { return values[a] < values[b] || (values[a] == values[b] && ids[a] > ids[b]); });
  for (int64_t i = 0; i < n; ++i) {
    outValues[i] = values[order[i]];
    outIds[i] = ids[order[i]];
  }
}

}  // namespace zelmor
