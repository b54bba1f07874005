// The coverage sum of a pass that hands its responsibilities on as it goes:
// every value added in double, list positions outer and points in order
// within each, one rounding per addition, taken without keeping the values.
//
// While the running sum s stays in one binade [2^e, 2^(e+1)), adding a
// nonnegative float v rounds to a multiple of u = 2^(e-52): s grows by v/u
// rounded to an integer, and only an exact half depends on s (it goes to the
// even multiple). So a run of values adds the same count of u's to any s of
// that binade with the same parity in u, and the count for either parity can
// be taken as the values stream by. A cell is one list position over a run
// of consecutive points: it counts its values for the binades the running
// sum is expected to be in there (up to three). The expectation comes from
// the per-cell sums of the passes before, with a margin. Where it misses, or
// where the sum enters another binade within a cell, the cells' plain sums
// bound the running sum closely from there on: those cells are made again,
// from the data, the pass's model and each point's density sum, and counted
// for the binade now known, or kept whole where the sum crosses into
// another (see resolve() and refillCoverage).
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/heap.h"

namespace zelmor {

class StreamedCoverage {
 public:
  StreamedCoverage(int64_t N, int32_t K);
  // Points the parallel pass reads at once: fewer where K is large, so that a
  // block's per-entry buffers stay near a fixed size.
  static int64_t blockPoints(int32_t K);

  // A pass that keeps nothing records its per-cell sums for the next: after
  // startForecast, each block's K per-position sums (in any order within the
  // block; they only guide the next pass).
  void startForecast();
  void forecastBlock(int64_t firstPoint, const double* positionSums);

  // A pass that hands its values on: plans every cell from the last
  // forecast (without one, every cell keeps its values), then takes each
  // block's values grouped by position, points in order within each group,
  // `counts` (K) the size of each group.
  void start();
  void addBlock(int64_t firstPoint, const float* values, const int32_t* counts);
  // Point p's density sum, by which the pass divided its densities.
  void setPointSum(int64_t p, double sum) { pointSums_[p] = sum; }
  double pointSum(int64_t p) const { return pointSums_[p]; }
  // Adds the cells up. True when the sum is known; otherwise the cells it
  // needs made again are marked: for each block (of blockPoints points) the
  // list positions wanted, whose values refillValue takes in point order.
  bool resolve();
  const std::vector<int32_t>& wantedPositions(int64_t firstPoint) const { return wanted_[cellOf(firstPoint)]; }
  void refillValue(int32_t position, int64_t point, float value);
  // The sum, once resolve() returned true.
  double sum() const { return sum_; }

 private:
  static constexpr int kMostBinades = 3;
  struct Cell {
    double sum = 0.0;   // its nonzero values in order, for bounds
    int64_t count = 0;  // nonzero values
    // u's added from a sum of even and of odd parity, for binades
    // binade .. binade + binades - 1.
    int64_t units[kMostBinades][2] = {};
    int16_t binade = 0;
    uint8_t binades = 0;
    uint8_t flags = 0;
  };
  enum : uint8_t { kKeepsValues = 1, kIrregular = 2, kTooLarge = 4, kRecount = 8, kRefill = 16 };

  int64_t cellOf(int64_t firstPoint) const { return firstPoint / cellPoints_; }
  Cell& cell(int64_t j, int64_t c) { return cells_[j * cellsPerPosition_ + c]; }
  void planCells();
  void countValues(Cell& cell, const float* values, int64_t n);
  bool advanceExactly(int64_t index, double& sum) const;
  void markWanted(int64_t from, double sum, bool everything);
  void planAgain(int64_t index, double low, double high, bool everything);

  int64_t N_;
  int32_t K_;
  int64_t cellPoints_;
  int64_t cellsPerPosition_;
  std::vector<Cell> cells_;
  std::vector<std::vector<float>> values_;    // per cell, for those that keep them
  std::vector<float> forecast_;               // per cell, the last forecast
  std::vector<float> earlierForecast_;        // the one before
  std::vector<std::vector<int32_t>> wanted_;  // per run of points: positions to make again
  Buffer<double> pointSums_;
  int forecasts_ = 0;  // complete forecasts recorded
  bool recording_ = false;
  int refills_ = 0;

  double sum_ = 0.0;
};

}  // namespace zelmor
