// The vector kernels, written once with Google Highway and compiled by it for
// every instruction set of the build (this file is included once per target
// by hwy/foreach_target.h). Every lane does exactly the operations of the
// plain twin in plain_twins.cpp, in the same order: a multiplication and an
// addition stay two operations (never a fused multiply-add), sums keep their
// order, and float values widened to double stay in double where the plain
// code has them there. Vector lengths are never assumed: every loop takes
// Lanes() of a tag capped at what the data are padded to.
#if defined(ZELMOR_HAVE_HIGHWAY)

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/vector_kernels.cpp"
// Targets that add nothing the others lack here.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS (HWY_SSSE3 | HWY_SVE_256 | HWY_SVE2_128)
#endif
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>
// After highway.h: the vector exponential, compiled for each target too.
#include <hwy/contrib/math/math-inl.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "kernels/density_constants.h"
#include "kernels/e_step_wide.h"
#include "kernels/kernel_targets.h"
#include "kernels/skip_table.h"

HWY_BEFORE_NAMESPACE();
namespace zelmor {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Lanes of doubles for the densities and the M-step sums, of floats for the
// skip test: at most what their data are padded to.
using DoubleTag = hn::CappedTag<double, kDensityLanes>;
using FloatTag = hn::Rebind<float, DoubleTag>;
using SkipTag = hn::CappedTag<float, kSkipTableLanes>;

// A float value held in a double, as the plain code does when it stores a
// double result into a float.
template <class V>
HWY_INLINE V roundedToFloat(V v) {
  return hn::PromoteTo(DoubleTag(), hn::DemoteTo(FloatTag(), v));
}

// The form after one more row: the row sum times difference j, added to the
// form and rounded as the plain kernel's float form is.
template <class V>
HWY_INLINE V formStep(V q, V rowSum, const double* tj) {
  return roundedToFloat(hn::Add(q, hn::Mul(rowSum, hn::LoadU(DoubleTag(), tj))));
}

// Rows j to j + Rows - 1 (Rows is 1 or 2) of the forms of `Groups` (1, 2 or
// 4) vectors of lanes from g on: their row sums over the differences `t`
// (row i of `width` lanes) side by side, so that up to eight independent
// chains of additions keep the arithmetic units busy, then the forms.
//
// Each product goes into its row sum in a fused multiply-add. That changes no
// bit: an inverse element and a difference are both floats, so their product
// needs at most 48 of a double's 53 bits and lies between 2^-298 and 2^256 in
// magnitude (or is 0, infinite or not a number): the product itself is exact,
// and rounding product plus sum once is rounding the plain kernel's sum.
template <int Groups, int Rows, class V>
HWY_INLINE void formRows(const double* inverseFull, int32_t d, const double* t, size_t width, size_t g, int64_t j,
                         V& qA, V& qB, V& qC, V& qD) {
  const DoubleTag dd;
  const size_t N = hn::Lanes(dd);
  auto a0 = hn::Zero(dd), b0 = a0, c0 = a0, d0 = a0, a1 = a0, b1 = a0, c1 = a0, d1 = a0;
  const double* row0 = inverseFull + j * d;
  const double* row1 = row0 + d;
  for (int64_t i = 0; i < d; ++i) {
    const double* ti = t + i * width + g;
    const auto e0 = hn::Set(dd, row0[i]);
    const auto e1 = hn::Set(dd, Rows == 2 ? row1[i] : 0.0);
    const auto tA = hn::LoadU(dd, ti);
    a0 = hn::MulAdd(e0, tA, a0);
    if constexpr (Rows == 2) a1 = hn::MulAdd(e1, tA, a1);
    if constexpr (Groups >= 2) {
      const auto tB = hn::LoadU(dd, ti + N);
      b0 = hn::MulAdd(e0, tB, b0);
      if constexpr (Rows == 2) b1 = hn::MulAdd(e1, tB, b1);
    }
    if constexpr (Groups >= 4) {
      const auto tC = hn::LoadU(dd, ti + 2 * N);
      const auto tD = hn::LoadU(dd, ti + 3 * N);
      c0 = hn::MulAdd(e0, tC, c0);
      d0 = hn::MulAdd(e0, tD, d0);
      if constexpr (Rows == 2) {
        c1 = hn::MulAdd(e1, tC, c1);
        d1 = hn::MulAdd(e1, tD, d1);
      }
    }
  }
  const double* tj = t + j * width + g;
  qA = formStep(qA, a0, tj);
  if constexpr (Groups >= 2) qB = formStep(qB, b0, tj + N);
  if constexpr (Groups >= 4) qC = formStep(qC, c0, tj + 2 * N), qD = formStep(qD, d0, tj + 3 * N);
  if constexpr (Rows == 2) {
    tj += width;
    qA = formStep(qA, a1, tj);
    if constexpr (Groups >= 2) qB = formStep(qB, b1, tj + N);
    if constexpr (Groups >= 4) qC = formStep(qC, c1, tj + 2 * N), qD = formStep(qD, d1, tj + 3 * N);
  }
}

// The forms of `Groups` (1, 2 or 4) vectors of lanes from g on, two rows at a
// time.
template <int Groups>
HWY_INLINE void laneForms(const double* inverseFull, int32_t d, const double* t, size_t width, size_t g, float* forms) {
  const DoubleTag dd;
  const FloatTag df;
  const size_t N = hn::Lanes(dd);
  auto qA = hn::Zero(dd), qB = qA, qC = qA, qD = qA;
  int64_t j = 0;
  for (; j + 2 <= d; j += 2) formRows<Groups, 2>(inverseFull, d, t, width, g, j, qA, qB, qC, qD);
  if (j < d) formRows<Groups, 1>(inverseFull, d, t, width, g, j, qA, qB, qC, qD);
  hn::StoreU(hn::DemoteTo(df, qA), df, forms + g);
  if constexpr (Groups >= 2) hn::StoreU(hn::DemoteTo(df, qB), df, forms + g + N);
  if constexpr (Groups >= 4) {
    hn::StoreU(hn::DemoteTo(df, qC), df, forms + g + 2 * N);
    hn::StoreU(hn::DemoteTo(df, qD), df, forms + g + 3 * N);
  }
}

// The densities of the lanes [0, width) from their forms, for the first
// `count`. The plain kernel gives float(exp(-D/2) / normaliser) with the C
// library's exponential; the vector exponential here, like that one, errs by
// at most a unit in the last place of a double, 2^-52 of the value, and the
// division adds half of one. The two quotients therefore lie within 2^-49 of
// each other. Where both ends of the interval of 2^-40 around the vector
// quotient round to one float, every value in between rounds to it too
// (rounding is monotone), the plain kernel's quotient included: that float
// is the density. Elsewhere (a quotient next to the midpoint of two floats,
// or not a number) the lane takes the plain route.
HWY_INLINE void densitiesFromForms(const float* forms, size_t width, int count, float normaliser, float* densities) {
  const DoubleTag dd;
  const FloatTag df;
  const size_t N = hn::Lanes(dd);
  float low[kDensityLanes];
  float high[kDensityLanes];
  const auto divisor = hn::Set(dd, static_cast<double>(normaliser));
  for (size_t g = 0; g < width; g += N) {
    const auto D = hn::Abs(hn::PromoteTo(dd, hn::LoadU(df, forms + g)));
    const auto q = hn::Div(hn::Exp(dd, hn::Mul(hn::Set(dd, -0.5), D)), divisor);
    hn::StoreU(hn::DemoteTo(df, hn::Mul(q, hn::Set(dd, 1.0 - 0x1p-40))), df, low + g);
    hn::StoreU(hn::DemoteTo(df, hn::Mul(q, hn::Set(dd, 1.0 + 0x1p-40))), df, high + g);
  }
  for (int l = 0; l < count; ++l) {
    const float D = std::fabs(forms[l]);
    if (!(D < kDensityCutoff)) {
      densities[l] = 0.0f;
    } else if (low[l] == high[l]) {
      densities[l] = low[l];
    } else {
      densities[l] = static_cast<float>(std::exp(-0.5 * D) / normaliser);
    }
  }
}

// The differences t of the lanes [0, width), row i of `t` from row i of `x`
// (every `xStride` doubles: widened coordinates). t is stored as a float,
// then used widened. `x` may be `t` itself.
HWY_INLINE void laneDifferences(const double* x, size_t xStride, const float* mean, int32_t d, size_t width,
                                double* t) {
  const DoubleTag dd;
  const size_t N = hn::Lanes(dd);
  for (int64_t i = 0; i < d; ++i) {
    const auto meanI = hn::Set(dd, static_cast<double>(mean[i]));
    for (size_t g = 0; g < width; g += N) {
      hn::StoreU(roundedToFloat(hn::Sub(hn::LoadU(dd, x + i * xStride + g), meanI)), dd, t + i * width + g);
    }
  }
}

// The difference of two floats as the plain kernels store it, the float
// nearest to the difference taken in double, widened again. A double carries
// more than twice a float's 24 bits and two more, so rounding the difference
// first to a double and then to a float gives the float nearest to the exact
// difference: the float subtraction's result, in one step without the
// narrowing.
template <class VF>
HWY_INLINE hn::Vec<DoubleTag> storedDifference(VF x, VF mean) {
  return hn::PromoteTo(DoubleTag(), hn::Sub(x, mean));
}

// laneDifferences from float coordinates, row i of `x` every `xStride`
// floats.
HWY_INLINE void laneDifferencesOfFloats(const float* x, size_t xStride, const float* mean, int32_t d, size_t width,
                                        double* t) {
  const DoubleTag dd;
  const FloatTag df;
  const size_t N = hn::Lanes(dd);
  for (int64_t i = 0; i < d; ++i) {
    const auto meanI = hn::Set(df, mean[i]);
    for (size_t g = 0; g < width; g += N) {
      hn::StoreU(storedDifference(hn::LoadU(df, x + i * xStride + g), meanI), dd, t + i * width + g);
    }
  }
}

// The densities of the lanes [0, width) from their differences, for the
// first `count`.
HWY_INLINE void laneDensities(const double* t, size_t width, int count, const double* inverseFull, float normaliser,
                              int32_t d, float* densities) {
  const size_t N = hn::Lanes(DoubleTag());
  float forms[kDensityLanes];
  size_t g = 0;
  for (; g + 4 * N <= width; g += 4 * N) laneForms<4>(inverseFull, d, t, width, g, forms);
  for (; g + 2 * N <= width; g += 2 * N) laneForms<2>(inverseFull, d, t, width, g, forms);
  if (g < width) laneForms<1>(inverseFull, d, t, width, g, forms);
  densitiesFromForms(forms, width, count, normaliser, densities);
}

// Lanes for `count` points: a whole number of vectors.
HWY_INLINE size_t laneWidth(int64_t count) {
  const size_t N = hn::Lanes(DoubleTag());
  return (static_cast<size_t>(count) + N - 1) / N * N;
}

// The widened coordinates of `count` points into lanes, row i of `x` holding
// coordinate i of every lane; returns the lanes, a whole number of vectors.
// Lanes past `count` repeat the first point; their results are dropped. The
// coordinates go to their lanes first, all of them, so that no vector load
// waits for the single stores that fill it.
HWY_INLINE size_t gatherLanes(const float* const* points, int count, int32_t d, double* x) {
  const size_t width = laneWidth(count);
  const float* lane[kDensityLanes];
  for (size_t l = 0; l < width; ++l) lane[l] = points[l < static_cast<size_t>(count) ? l : 0];
  for (int64_t i = 0; i < d; ++i) {
    for (size_t l = 0; l < width; ++l) x[i * width + l] = lane[l][i];
  }
  return width;
}

void pointDensities(const float* const* points, int count, const float* mean, const double* inverseFull,
                    float normaliser, int32_t d, float* densities, double* tScratch) {
  const size_t width = gatherLanes(points, count, d, tScratch);
  laneDifferences(tScratch, width, mean, d, width, tScratch);
  laneDensities(tScratch, width, count, inverseFull, normaliser, d, densities);
}

void columnDensities(const float* columns, int64_t stride, int64_t count, const float* mean, const double* inverseFull,
                     float normaliser, int32_t d, float* densities, double* tScratch) {
  for (int64_t first = 0; first < count; first += kDensityLanes) {
    const int lanes = static_cast<int>(std::min<int64_t>(kDensityLanes, count - first));
    const size_t width = laneWidth(lanes);
    laneDifferencesOfFloats(columns + first, static_cast<size_t>(stride), mean, d, width, tScratch);
    laneDensities(tScratch, width, lanes, inverseFull, normaliser, d, densities + first);
  }
}

// The identity forms of the lanes [0, width) from their differences, a sum
// of squares; `difference(i, g)` gives those of coordinate i for the lanes
// from g on, widened.
template <class Difference>
HWY_INLINE void identityForms(int32_t d, size_t width, const Difference& difference, float* forms) {
  const DoubleTag dd;
  const size_t N = hn::Lanes(dd);
  for (size_t g = 0; g < width; g += N) {
    auto q = hn::Zero(dd);
    for (int64_t i = 0; i < d; ++i) {
      const auto t = difference(i, g);
      q = roundedToFloat(hn::Add(q, hn::Mul(t, t)));
    }
    hn::StoreU(hn::DemoteTo(FloatTag(), q), FloatTag(), forms + g);
  }
}

void identityDensities(const float* const* points, int count, const float* mean, float normaliser, int32_t d,
                       float* densities, double* tScratch) {
  const size_t width = gatherLanes(points, count, d, tScratch);
  float forms[kDensityLanes];
  const DoubleTag dd;
  identityForms(
      d, width,
      [&](int64_t i, size_t g) {
        // t is stored as a float, then used widened.
        return roundedToFloat(
            hn::Sub(hn::LoadU(dd, tScratch + i * width + g), hn::Set(dd, static_cast<double>(mean[i]))));
      },
      forms);
  densitiesFromForms(forms, width, count, normaliser, densities);
}

void columnIdentityDensities(const float* columns, int64_t stride, int64_t count, const float* mean, float normaliser,
                             int32_t d, float* densities) {
  float forms[kDensityLanes];
  for (int64_t first = 0; first < count; first += kDensityLanes) {
    const int lanes = static_cast<int>(std::min<int64_t>(kDensityLanes, count - first));
    const size_t width = laneWidth(lanes);
    identityForms(
        d, width,
        [&](int64_t i, size_t g) {
          return storedDifference(hn::LoadU(FloatTag(), columns + i * stride + first + g),
                                  hn::Set(FloatTag(), mean[i]));
        },
        forms);
    densitiesFromForms(forms, width, lanes, normaliser, densities + first);
  }
}

// One point into sums held in padded rows: row i of the scatter gets
// (r·t_i)·t_j for j = 0..i; the lanes past i are padding whose values are
// never stored back.
HWY_INLINE void addRow(WideSums& s, const float* x, const float* mean, float r) {
  const DoubleTag dd;
  const FloatTag df;
  const size_t N = hn::Lanes(dd);
  const int32_t d = s.d;
  const auto rWide = hn::Set(dd, static_cast<double>(r));
  int32_t i = 0;
  for (; i + static_cast<int32_t>(N) <= d; i += static_cast<int32_t>(N)) {
    const auto xFloat = hn::LoadU(df, x + i);
    const auto xi = hn::PromoteTo(dd, xFloat);
    hn::Store(storedDifference(xFloat, hn::LoadU(df, mean + i)), dd, s.t + i);
    hn::Store(roundedToFloat(hn::Add(hn::Load(dd, s.sumX + i), hn::Mul(xi, rWide))), dd, s.sumX + i);
  }
  for (; i < d; ++i) {
    s.t[i] = static_cast<float>(static_cast<double>(x[i]) - mean[i]);
    s.sumX[i] = static_cast<float>(s.sumX[i] + static_cast<double>(x[i]) * r);
  }
  s.weight = static_cast<float>(s.weight + static_cast<double>(r));
  for (i = 0; i < d; ++i) {
    const auto rt = hn::Set(dd, static_cast<double>(r) * s.t[i]);
    double* row = s.scatter + s.rowStart[i];
    for (int32_t j = 0; j <= i; j += static_cast<int32_t>(N)) {
      hn::Store(roundedToFloat(hn::Add(hn::Load(dd, row + j), hn::Mul(rt, hn::Load(dd, s.t + j)))), dd, row + j);
    }
  }
}

void addRowsRun(WideSums& sums, const float* const* points, const float* r, int64_t count, const float* mean) {
  for (int64_t p = 0; p < count; ++p) addRow(sums, points[p], mean, r[p]);
}

void divideShares(float* values, int64_t count, double sum) {
  const DoubleTag dd;
  const FloatTag df;
  const int64_t N = static_cast<int64_t>(hn::Lanes(dd));
  const auto divisor = hn::Set(dd, sum);
  int64_t i = 0;
  for (; i + N <= count; i += N) {
    hn::StoreU(hn::DemoteTo(df, hn::Div(hn::PromoteTo(dd, hn::LoadU(df, values + i)), divisor)), df, values + i);
  }
  for (; i < count; ++i) values[i] = static_cast<float>(values[i] / sum);
}

void addRowProducts(float* levels, const double* values, int64_t count, double factor) {
  const DoubleTag dd;
  const FloatTag df;
  const int64_t N = static_cast<int64_t>(hn::Lanes(dd));
  const auto f = hn::Set(dd, factor);
  int64_t k = 0;
  for (; k + N <= count; k += N) {
    const auto sum = hn::Add(hn::PromoteTo(dd, hn::LoadU(df, levels + k)), hn::Mul(hn::LoadU(dd, values + k), f));
    hn::StoreU(hn::DemoteTo(df, sum), df, levels + k);
  }
  for (; k < count; ++k) levels[k] = static_cast<float>(levels[k] + values[k] * factor);
}

// Bits of the microclusters [k0, k0 + N) that pass the skip test, from the
// point's squared lengths and projections: the same float expression and the
// same two comparisons in every lane as passesSkipTest.
template <class V>
HWY_INLINE uint32_t surelyZeroBits(V lengths, V projections, const SkipTable& table, int64_t k0) {
  const SkipTag df;
  const auto test = hn::Sub(hn::Mul(lengths, hn::LoadU(df, table.lengthScale.data() + k0)),
                            hn::Mul(hn::Mul(projections, projections), hn::LoadU(df, table.axisScale.data() + k0)));
  const auto passes = hn::And(hn::Ge(test, hn::LoadU(df, table.threshold.data() + k0)),
                              hn::Le(test, hn::Set(df, std::numeric_limits<float>::max())));
  uint8_t bits[8] = {};
  hn::StoreMaskBits(df, passes, bits);
  return bits[0];
}

// The squared lengths and projections of one point against the vector of
// microclusters at `at`, one dimension more.
template <class V>
HWY_INLINE void addDimension(V xj, const float* means, const float* axes, V& length, V& projection) {
  const SkipTag df;
  const V diff = hn::Sub(xj, hn::LoadU(df, means));
  length = hn::Add(length, hn::Mul(diff, diff));
  projection = hn::Add(projection, hn::Mul(hn::LoadU(df, axes), diff));
}

// The test of one point against `Groups` (1, 2 or 4) vectors of
// microclusters from k0 on, side by side so that their independent chains of
// additions keep the arithmetic units busy; bit i of the result is set when
// microcluster k0 + i is surely 0.
template <int Groups>
HWY_INLINE uint32_t surelyZeroGroups(const float* x, const SkipTable& table, int64_t k0) {
  const SkipTag df;
  const size_t N = hn::Lanes(df);
  auto length0 = hn::Zero(df), length1 = hn::Zero(df), length2 = hn::Zero(df), length3 = hn::Zero(df);
  auto projection0 = length0, projection1 = length0, projection2 = length0, projection3 = length0;
  for (int64_t j = 0; j < table.d; ++j) {
    const auto xj = hn::Set(df, x[j]);
    const float* means = table.meansByDim.data() + j * table.stride + k0;
    const float* axes = table.axesByDim.data() + j * table.stride + k0;
    addDimension(xj, means, axes, length0, projection0);
    if constexpr (Groups >= 2) addDimension(xj, means + N, axes + N, length1, projection1);
    if constexpr (Groups >= 4) {
      addDimension(xj, means + 2 * N, axes + 2 * N, length2, projection2);
      addDimension(xj, means + 3 * N, axes + 3 * N, length3, projection3);
    }
  }
  uint32_t skip = surelyZeroBits(length0, projection0, table, k0);
  if constexpr (Groups >= 2) skip |= surelyZeroBits(length1, projection1, table, k0 + N) << N;
  if constexpr (Groups >= 4) {
    skip |= surelyZeroBits(length2, projection2, table, k0 + 2 * N) << (2 * N);
    skip |= surelyZeroBits(length3, projection3, table, k0 + 3 * N) << (3 * N);
  }
  return skip;
}

// Four vectors at a time while there are, then two, then one.
int64_t collectNeededDensities(const float* x, const SkipTable& table, int32_t* needed) {
  const int64_t N = static_cast<int64_t>(hn::Lanes(SkipTag()));
  const int64_t K = table.K;
  int64_t count = 0;
  // Reports the microclusters of `keep` (bits of `lanes` from `base` on)
  // that exist (not padding).
  auto emit = [&](uint32_t keep, int64_t base, int64_t lanes) {
    const int64_t real = std::min(lanes, K - base);
    keep &= real >= 32 ? ~0u : (1u << real) - 1;
    for (; keep != 0; keep &= keep - 1) needed[count++] = static_cast<int32_t>(base + std::countr_zero(keep));
  };
  int64_t k0 = 0;
  for (; k0 + 4 * N <= table.stride; k0 += 4 * N) emit(~surelyZeroGroups<4>(x, table, k0), k0, 4 * N);
  for (; k0 + 2 * N <= table.stride; k0 += 2 * N) emit(~surelyZeroGroups<2>(x, table, k0), k0, 2 * N);
  for (; k0 < table.stride; k0 += N) emit(~surelyZeroGroups<1>(x, table, k0), k0, N);
  return count;
}

uint64_t spaceMask(const char* at) {
  const hn::CappedTag<uint8_t, 64> du;
  const size_t N = hn::Lanes(du);
  const auto blank = hn::Set(du, uint8_t{' '});
  const auto tab = hn::Set(du, uint8_t{'\t'});
  const auto four = hn::Set(du, uint8_t{'\r' - '\t'});
  const auto* bytes = reinterpret_cast<const uint8_t*>(at);
  uint64_t mask = 0;
  for (size_t part = 0; part < 64; part += N) {
    const auto v = hn::LoadU(du, bytes + part);
    // A blank, or a byte from '\t' to '\r': less '\t', at most 4 unsigned.
    const auto fromTab = hn::Sub(v, tab);
    const auto space = hn::Or(hn::Eq(v, blank), hn::Eq(hn::Min(fromTab, four), fromTab));
    uint8_t bits[8] = {};
    hn::StoreMaskBits(du, space, bits);
    uint64_t word = 0;
    std::memcpy(&word, bits, (N + 7) / 8);
    mask |= word << part;
  }
  return mask;
}

// Entry i goes to the place given by the number of entries that come before
// it: for distinct ids the rule (less, or equal with the higher id) is a
// strict total order, so the places are a permutation and the order is the
// sorted one. Positive floats order as their bits do as integers, so where no
// two values are equal one integer comparison per pair decides; two entries
// sent to the same place show equal values, and then every entry is placed
// again with the full rule. Padding lanes hold the largest integer as value
// and an id below every real one, so they never come before a real entry.
bool rankCounted(const float* values, const int32_t* ids, int64_t n, float* outValues, int32_t* outIds) {
  const hn::CappedTag<int32_t, 8> di;
  const size_t N = hn::Lanes(di);
  HWY_ALIGN int32_t bits[kCountedRank + 8];
  HWY_ALIGN int32_t paddedIds[kCountedRank + 8];
  uint8_t placed[kCountedRank] = {};
  const int64_t padded = (n + static_cast<int64_t>(N) - 1) / static_cast<int64_t>(N) * static_cast<int64_t>(N);
  for (int64_t i = 0; i < n; ++i) {
    if (!(values[i] > 0.0f)) return false;
    std::memcpy(&bits[i], &values[i], sizeof(int32_t));
  }
  std::fill(bits + n, bits + padded, std::numeric_limits<int32_t>::max());
  std::copy(ids, ids + n, paddedIds);
  std::fill(paddedIds + n, paddedIds + padded, std::numeric_limits<int32_t>::min());
  auto countBefore = [&](int64_t i, bool full) {
    const auto value = hn::Set(di, bits[i]);
    const auto id = hn::Set(di, ids[i]);
    auto before = hn::Zero(di);
    for (int64_t b = 0; b < padded; b += static_cast<int64_t>(N)) {
      const auto v = hn::Load(di, bits + b);
      auto comes = hn::Lt(v, value);
      if (full) comes = hn::Or(comes, hn::And(hn::Eq(v, value), hn::Gt(hn::Load(di, paddedIds + b), id)));
      // A true lane is -1.
      before = hn::Sub(before, hn::VecFromMask(di, comes));
    }
    return hn::GetLane(hn::SumOfLanes(di, before));
  };
  bool ties = false;
  for (int64_t i = 0; i < n && !ties; ++i) {
    const int32_t at = countBefore(i, false);
    ties = placed[at] != 0;
    placed[at] = 1;
    outValues[at] = values[i];
    outIds[at] = ids[i];
  }
  for (int64_t i = 0; i < n && ties; ++i) {
    const int32_t at = countBefore(i, true);
    outValues[at] = values[i];
    outIds[at] = ids[i];
  }
  return true;
}

void rankAscending(const float* values, const int32_t* ids, int64_t n, float* outValues, int32_t* outIds) {
  if (n <= kCountedRank && rankCounted(values, ids, n, outValues, outIds)) return;
  rankAscendingPlain(values, ids, n, outValues, outIds);
}

int64_t tailListPositions(const int16_t* needed, int64_t count, const int16_t* tailItems, int64_t tail, int64_t m,
                          int32_t* positions, int16_t* clusters) {
  constexpr size_t kLanes = 16;
  const hn::CappedTag<int16_t, kLanes> di;
  const size_t N = hn::Lanes(di);
  // -1 in the unused lanes matches no microcluster.
  int16_t lanes[kLanes];
  std::fill(lanes, lanes + kLanes, int16_t{-1});
  std::copy(tailItems, tailItems + tail, lanes);
  int64_t found = 0;
  uint32_t inTail = 0;  // bit i: tail item i is needed
  // Outside the tail the positions rise as the indices fall.
  for (int64_t i = count - 1; i >= 0; --i) {
    const auto g = hn::Set(di, needed[i]);
    intptr_t at = -1;
    size_t higher = 0;
    for (size_t j = 0; j < kLanes; j += N) {
      const auto v = hn::LoadU(di, lanes + j);
      const intptr_t first = hn::FindFirstTrue(di, hn::Eq(v, g));
      if (at < 0 && first >= 0) at = static_cast<intptr_t>(j) + first;
      higher += hn::CountTrue(di, hn::Gt(v, g));
    }
    if (at >= 0) {
      inTail |= 1u << at;
      continue;
    }
    positions[found] = static_cast<int32_t>(m - 1 - needed[i] - static_cast<int64_t>(higher));
    clusters[found++] = needed[i];
  }
  for (; inTail != 0; inTail &= inTail - 1) {
    const int at = std::countr_zero(inTail);
    positions[found] = static_cast<int32_t>(m - tail + at);
    clusters[found++] = lanes[at];
  }
  return found;
}

// This target's table.
const KernelTable* targetTable() {
  decltype(&addPackedRunWidest) packedRun = nullptr;
  decltype(&packedSlotsWidest) packedSlots = nullptr;
  int32_t packedDims = 0;
#if HWY_TARGET == HWY_AVX3
  constexpr Isa isa = Isa::Avx512;
  packedRun = &addPackedRunWidest, packedSlots = &packedSlotsWidest, packedDims = 16;
#elif HWY_TARGET == HWY_AVX2
  constexpr Isa isa = Isa::Avx2;
  packedRun = &addPackedRunQuad, packedSlots = &packedSlotsQuad, packedDims = 8;
#elif HWY_TARGET == HWY_SSE4
  constexpr Isa isa = Isa::Sse4;
#elif HWY_TARGET == HWY_NEON
  constexpr Isa isa = Isa::Neon;
#elif HWY_TARGET == HWY_SVE
  constexpr Isa isa = Isa::Sve;
#elif HWY_TARGET == HWY_SVE2
  constexpr Isa isa = Isa::Sve2;
#else
  constexpr Isa isa = Isa::Scalar;  // Highway's own fallback, never chosen
#endif
  static const KernelTable table{.isa = isa,
                                 .pointDensities = &pointDensities,
                                 .identityDensities = &identityDensities,
                                 .columnDensities = &columnDensities,
                                 .columnIdentityDensities = &columnIdentityDensities,
                                 .addRowsRun = &addRowsRun,
                                 .addPackedRun = packedRun,
                                 .packedDims = packedDims,
                                 .packedSlots = packedSlots,
                                 .collectNeededDensities = &collectNeededDensities,
                                 .spaceMask = &spaceMask,
                                 .tailListPositions = &tailListPositions,
                                 .rankAscending = &rankAscending,
                                 .divideShares = &divideShares,
                                 .addRowProducts = &addRowProducts};
  return &table;
}

}  // namespace HWY_NAMESPACE
}  // namespace zelmor
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zelmor {

const KernelTable* vectorKernelTable(Isa isa) {
  using Getter = const KernelTable* (*)();
  Getter getter = nullptr;
  int64_t target = 0;
  switch (isa) {
    case Isa::Scalar:
      return nullptr;
    case Isa::Sse4:
      getter = HWY_CHOOSE_SSE4(targetTable), target = HWY_SSE4;
      break;
    case Isa::Avx2:
      getter = HWY_CHOOSE_AVX2(targetTable), target = HWY_AVX2;
      break;
    case Isa::Avx512:
      getter = HWY_CHOOSE_AVX3(targetTable), target = HWY_AVX3;
      break;
    case Isa::Neon:
      getter = HWY_CHOOSE_NEON(targetTable), target = HWY_NEON;
      break;
    case Isa::Sve:
      getter = HWY_CHOOSE_SVE(targetTable), target = HWY_SVE;
      break;
    case Isa::Sve2:
      getter = HWY_CHOOSE_SVE2(targetTable), target = HWY_SVE2;
      break;
  }
  if (getter == nullptr || (hwy::SupportedTargets() & target) == 0) return nullptr;
  return getter();
}

}  // namespace zelmor
#endif  // HWY_ONCE

#else  // without Highway: the scalar table alone

#include "kernels/kernel_targets.h"

namespace zelmor {
const KernelTable* vectorKernelTable(Isa) { return nullptr; }
}  // namespace zelmor

#endif
