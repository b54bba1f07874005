// The one table of vector kernels. Every kernel that has vector code exists
// once per instruction set and is reached only through a KernelTable: the
// caller picks the instruction set once (isaFromEnvironment, at start-up) and
// hands the table down. The vector tables are written once with Google
// Highway for every target it compiles (x86: sse4, avx2, avx512; Arm: neon,
// sve, sve2); the scalar table holds each kernel's plain twin, the reference
// the others must match bit for bit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelmor {

struct SkipTable;
struct WideSums;

// Points evaluated together by KernelTable::pointDensities: enough for four
// vectors of doubles side by side.
constexpr int kDensityLanes = 16;

// Counting costs n² comparisons; beyond this many entries the sort is used.
constexpr int64_t kCountedRank = 128;

enum class Isa : uint8_t { Scalar, Sse4, Avx2, Avx512, Neon, Sve, Sve2 };

struct KernelTable {
  Isa isa;

  // pointDensity for `count` (1..kDensityLanes) points under one microcluster
  // whose inverse widenInverse has prepared. `tScratch` holds
  // d·kDensityLanes doubles.
  void (*pointDensities)(const float* const* points, int count, const float* mean, const double* inverseFull,
                         float normaliser, int32_t d, float* densities, double* tScratch);

  // identityDensity for `count` (1..kDensityLanes) points under one
  // microcluster; `tScratch` as for pointDensities.
  void (*identityDensities)(const float* const* points, int count, const float* mean, float normaliser, int32_t d,
                            float* densities, double* tScratch);

  // pointDensity for `count` consecutive points held by coordinate:
  // coordinate i of point l at columns[i * stride + l]. The
  // columns are read up to `count` rounded up to a multiple of 8, so
  // `stride` is at least that. `tScratch` as for pointDensities.
  void (*columnDensities)(const float* columns, int64_t stride, int64_t count, const float* mean,
                          const double* inverseFull, float normaliser, int32_t d, float* densities, double* tScratch);

  // identityDensity for `count` consecutive points held as for
  // columnDensities; only for points with finite differences from the mean.
  void (*columnIdentityDensities)(const float* columns, int64_t stride, int64_t count, const float* mean,
                                  float normaliser, int32_t d, float* densities);

  // accumulatePoint for `count` points in turn, points[i] with share r[i],
  // into sums held in padded rows (WideAccumulator's layout).
  void (*addRowsRun)(WideSums& sums, const float* const* points, const float* r, int64_t count, const float* mean);

  // The same into sums packed into whole vectors without padding, up to
  // packedDims dimensions; only where that is the faster layout, otherwise
  // null. packedSlots writes, for each entry of the packed scatter of d
  // dimensions (row by row, j <= i), the lane that holds it, and returns the
  // number of lanes.
  void (*addPackedRun)(WideSums& sums, const float* const* points, const float* r, int64_t count, const float* mean);
  int32_t packedDims;
  int32_t (*packedSlots)(int32_t d, int32_t* slots);

  // For one point x with finite coordinates: writes the indices of the
  // table's microclusters whose density is not surely 0, in ascending order,
  // and returns how many.
  int64_t (*collectNeededDensities)(const float* x, const SkipTable& table, int32_t* needed);

  // Bit i set where byte i of the 64 at `at` is white space of the C locale.
  uint64_t (*spaceMask)(const char* at);

  // Where the `count` microclusters of `needed` (ascending) stand in a list
  // of the first pass's shape, known from its tail alone (at most 16 items):
  // writes the positions in ascending order, the microcluster at each to
  // `clusters`, and returns how many.
  int64_t (*tailListPositions)(const int16_t* needed, int64_t count, const int16_t* tailItems, int64_t tail, int64_t m,
                               int32_t* positions, int16_t* clusters);

  // Orders the n pairs (values[i], ids[i]) as a first-pass list ends:
  // ascending value, the higher id first among equals, into outValues and
  // outIds. The values are numbers (no NaN) and the ids distinct. The vector
  // tables count, for every entry, the entries that come before it (up to
  // kCountedRank positive values, as nonzero responsibilities are); the
  // plain twin sorts.
  void (*rankAscending)(const float* values, const int32_t* ids, int64_t n, float* outValues, int32_t* outIds);

  // A point's responsibilities from its densities: each value becomes
  // float(value / sum), the division in double.
  void (*divideShares)(float* values, int64_t count, double sum);

  // One row of co-sharing levels takes a point's products: each level
  // becomes float(level + values[k] * factor), in double, for k < count.
  void (*addRowProducts)(float* levels, const double* values, int64_t count, double factor);
};

// The table of `isa`, one of supportedIsas(); any other gives the scalar one.
const KernelTable& kernelTable(Isa isa);

// The instruction sets this build and this processor run, scalar first, the
// best last.
std::vector<Isa> supportedIsas();
Isa bestIsa();

// "scalar", "sse4", "avx2", "avx512", "neon", "sve", "sve2".
const char* isaName(Isa isa);

struct IsaChoice {
  Isa isa;
  std::string warning;  // for standard error; empty when the request was met
};

// The instruction set a request names: null or empty asks for the best one.
// A name that is unknown, or names a set this processor does not run, gives
// the best one with a warning that lists the choices.
IsaChoice chooseIsa(const char* requested);

// chooseIsa of the environment variable ZELMOR_ISA.
IsaChoice isaFromEnvironment();

}  // namespace zelmor
