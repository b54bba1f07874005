#include "fit/streamed_coverage.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelmor {

namespace {

// 2^53: a count of u's from here on leaves the binade whatever sum it starts
// from (that sum is at least 2^52 u).
constexpr int64_t kUnitLimit = int64_t{1} << 53;

// How far a prefix of this pass may stray from the one forecast: twice the
// change between the two passes before, and a part in 128 besides.
double forecastMargin(double prefix, double earlierPrefix, bool haveEarlier) {
  const double drift = haveEarlier ? 2.0 * std::fabs(prefix - earlierPrefix) : prefix / 8.0;
  return drift + prefix / 128.0;
}

// A forecast whose margin is at most this part of the sum says where the
// sum crosses into another binade closely enough to keep those cells' values.
constexpr double kSureForecast = 16.0;

// The sum s, in the binade [2^e, 2^(e+1)), as a count of u = 2^(e-52).
int64_t unitsOf(double s, int e) { return static_cast<int64_t>(std::ldexp(s, 52 - e)); }

}  // namespace

StreamedCoverage::StreamedCoverage(int64_t N, int32_t K) : N_(N), K_(K) {
  // Cells of whole blocks, about 16384 points each.
  const int64_t block = blockPoints(K);
  cellPoints_ = block * std::max<int64_t>(1, (16384 + block - 1) / block);
  cellsPerPosition_ = std::max<int64_t>(1, (N + cellPoints_ - 1) / cellPoints_);
}

int64_t StreamedCoverage::blockPoints(int32_t K) {
  constexpr int64_t kMostPoints = 16384;
  constexpr int64_t kFewestPoints = 1024;
  constexpr int64_t kEntries = int64_t{1} << 19;
  return std::clamp(kEntries / std::max(K, 1), kFewestPoints, kMostPoints);
}

void StreamedCoverage::startForecast() {
  const size_t cells = static_cast<size_t>(K_ * cellsPerPosition_);
  if (recording_) {
    std::swap(forecast_, earlierForecast_);
    ++forecasts_;
  }
  forecast_.assign(cells, 0.0f);
  recording_ = true;
}

void StreamedCoverage::forecastBlock(int64_t firstPoint, const double* positionSums) {
  const int64_t c = cellOf(firstPoint);
  for (int64_t j = 0; j < K_; ++j) {
    float& s = forecast_[j * cellsPerPosition_ + c];
    s = static_cast<float>(s + positionSums[j]);
  }
}

void StreamedCoverage::start() {
  cells_.assign(static_cast<size_t>(K_ * cellsPerPosition_), Cell{});
  values_.assign(cells_.size(), {});
  wanted_.assign(static_cast<size_t>(cellsPerPosition_), {});
  if (pointSums_.size() != N_) pointSums_ = Buffer<double>(N_, "Not enough memory for PRlx!!\n");
  refills_ = 0;
  sum_ = 0.0;
  planCells();
}

// Each cell's binades from the forecast: those the running sum, give or
// take the margin, may be in over the cell (the top three where there are
// more). The cells before the forecast's first value keep their values
// (there the sum starts from zero), and so do those where the sum enters
// another binade when the forecast is sure of itself.
void StreamedCoverage::planCells() {
  if (!recording_) {
    // Without a forecast (a first pass that is also the last) every cell
    // keeps its values: the sum then never reads the data again.
    for (Cell& c : cells_) c.flags = kKeepsValues;
    return;
  }
  const bool haveEarlier = forecasts_ > 0;
  double prefix = 0.0, earlierPrefix = 0.0;
  for (int64_t j = 0; j < K_; ++j) {
    for (int64_t c = 0; c < cellsPerPosition_; ++c) {
      const int64_t index = j * cellsPerPosition_ + c;
      Cell& target = cells_[index];
      const double low = prefix - forecastMargin(prefix, earlierPrefix, haveEarlier);
      if (prefix == 0.0) target.flags = kKeepsValues;
      prefix += forecast_[index];
      if (haveEarlier) earlierPrefix += earlierForecast_[index];
      const double margin = forecastMargin(prefix, earlierPrefix, haveEarlier);
      const double high = prefix + margin;
      if (target.flags != 0 || !(high > 0.0) || !std::isfinite(high)) continue;
      const int top = std::ilogb(high);
      const int bottom = low > 0.0 ? std::max(std::ilogb(low), top - kMostBinades + 1) : top - kMostBinades + 1;
      if (bottom < top && low > 0.0 && margin <= prefix / kSureForecast) {
        // The sum crosses into the next binade here, or near enough.
        target.flags = kKeepsValues;
        continue;
      }
      target.binade = static_cast<int16_t>(bottom);
      target.binades = static_cast<uint8_t>(top - bottom + 1);
    }
  }
  // The forecast is spent: the next pass that keeps nothing records anew.
  recording_ = false;
  forecasts_ = 0;
}

void StreamedCoverage::addBlock(int64_t firstPoint, const float* values, const int32_t* counts) {
  const int64_t c = cellOf(firstPoint);
  for (int64_t j = 0; j < K_; ++j) {
    const int64_t n = counts[j];
    Cell& target = cell(j, c);
    if (target.flags & kKeepsValues) {
      std::vector<float>& kept = values_[j * cellsPerPosition_ + c];
      kept.insert(kept.end(), values, values + n);
    } else {
      countValues(target, values, n);
    }
    values += n;
  }
}

// The counts of u's the values add in each of the cell's binades, from
// either parity, ties to even; and the plain sum and count, for bounds.
void StreamedCoverage::countValues(Cell& target, const float* values, int64_t n) {
  const int binades = target.binades;
  // Scaling by a power of two that is a double (normal or not) rounds the
  // exact product once, as ldexp does: the same value without the call.
  const int shift = 52 - target.binade;
  const bool scales = shift >= -1074 && shift <= 1023;
  const double scale = scales ? std::ldexp(1.0, shift) : 0.0;
  for (int64_t i = 0; i < n; ++i) {
    const float v = values[i];
    if (v == 0.0f) continue;
    if (!(v > 0.0f) || std::isinf(v)) {
      target.flags |= kIrregular;
      continue;
    }
    target.sum += v;
    ++target.count;
    if (target.flags & kTooLarge) continue;
    // v in u's of the lowest binade, then of each one above.
    double x = scales ? static_cast<double>(v) * scale : std::ldexp(static_cast<double>(v), shift);
    for (int b = 0; b < binades; ++b, x *= 0.5) {
      if (x >= static_cast<double>(kUnitLimit)) {
        target.flags |= kTooLarge;
        break;
      }
      const double whole = std::floor(x);
      const double fraction = x - whole;
      const int64_t q = static_cast<int64_t>(whole);
      for (int parity = 0; parity < 2; ++parity) {
        int64_t& units = target.units[b][parity];
        units += fraction != 0.5 ? q + (fraction > 0.5 ? 1 : 0) : q + ((parity + units + q) & 1);
        if (units >= kUnitLimit) target.flags |= kTooLarge;
      }
    }
  }
}

// The running sum through one cell, if the cell can say exactly what it adds.
bool StreamedCoverage::advanceExactly(int64_t index, double& sum) const {
  const Cell& c = cells_[index];
  if (c.flags & kKeepsValues) {
    for (const float v : values_[index]) sum += v;
    return true;
  }
  if (c.flags & (kIrregular | kTooLarge)) return false;
  if (c.count == 0) return true;
  if (!(sum > 0.0) || !std::isfinite(sum)) return false;
  const int e = std::ilogb(sum);
  if (e < c.binade || e >= c.binade + c.binades) return false;
  const int64_t start = unitsOf(sum, e);
  const int64_t end = start + c.units[e - c.binade][start & 1];
  if (end >= kUnitLimit) return false;
  sum = std::ldexp(static_cast<double>(end), e - 52);
  return true;
}

bool StreamedCoverage::resolve() {
  for (Cell& c : cells_) c.flags &= static_cast<uint8_t>(~(kRecount | kRefill));
  for (std::vector<int32_t>& w : wanted_) w.clear();
  double running = 0.0;
  const int64_t cells = static_cast<int64_t>(cells_.size());
  for (int64_t index = 0; index < cells; ++index) {
    if (!advanceExactly(index, running)) {
      // A second miss would mean the bounds below were not bounds: then every
      // cell left keeps its values.
      markWanted(index, running, refills_ > 0);
      ++refills_;
      return false;
    }
  }
  sum_ = running;
  return true;
}

// From cell `from` on, the running sum lies in [low, high]. Each cell that
// cannot vouch for every sum in that range is planned again, and widens the
// range by bounds on what it adds.
void StreamedCoverage::markWanted(int64_t from, double start, bool everything) {
  double low = start, high = start;
  const int64_t cells = static_cast<int64_t>(cells_.size());
  for (int64_t index = from; index < cells; ++index) {
    Cell& c = cells_[index];
    if (c.flags & kKeepsValues) {
      advanceExactly(index, low);
      advanceExactly(index, high);
      continue;
    }
    double lowAfter = low, highAfter = high;
    if (!everything && index != from && advanceExactly(index, lowAfter) && advanceExactly(index, highAfter)) {
      // Every sum in between stays in the binade too: the sum only grows.
      low = lowAfter, high = highAfter;
      continue;
    }
    if (c.count == 0 && !(c.flags & kIrregular)) continue;
    wanted_[index % cellsPerPosition_].push_back(static_cast<int32_t>(index / cellsPerPosition_));
    if (c.flags & kIrregular) {
      planAgain(index, 0.0, 0.0, true);
      high = std::numeric_limits<double>::infinity();
      continue;
    }
    // Each addition, and the plain sum's own, is off by at most half a unit
    // of the largest sum; four times that, and a margin for these lines.
    const double largest = 2.0 * (high + c.sum) + std::numeric_limits<double>::min();
    const double error = (4.0 * static_cast<double>(c.count) + 8.0) * largest * 0x1p-52;
    const double lowAfterCell = std::max(low, low + c.sum - error);
    const double highAfterCell = high + c.sum + error;
    planAgain(index, low, highAfterCell, everything);
    low = lowAfterCell, high = highAfterCell;
  }
}

// A cell whose running sum stays in one binade from `low` to `high` is
// counted again for that binade; any other keeps its values.
void StreamedCoverage::planAgain(int64_t index, double low, double high, bool everything) {
  const bool oneBinade = low > 0.0 && std::isfinite(high) && std::ilogb(low) == std::ilogb(high);
  Cell& c = cells_[index];
  c = Cell{};
  if (oneBinade && !everything) {
    c.binade = static_cast<int16_t>(std::ilogb(low));
    c.binades = 1;
    c.flags = kRecount;
  } else {
    c.flags = kKeepsValues | kRefill;
    values_[index].clear();
  }
}

void StreamedCoverage::refillValue(int32_t position, int64_t point, float value) {
  const int64_t index = position * cellsPerPosition_ + point / cellPoints_;
  if (cells_[index].flags & kRefill) {
    if (value != 0.0f) values_[index].push_back(value);
  } else {
    countValues(cells_[index], &value, 1);
  }
}

}  // namespace zelmor
