// Choice of zelmor's starting microcluster centres among the points of a data
// file: a uniform sample of distinct points by reservoir sampling (one pass,
// memory for K points, so files larger than memory work), or k-means++ style
// D-squared sampling (which holds the points in memory). The same pass
// measures every column's mean and spread, from which the data's scale is
// judged against the unit covariances a run starts from, and by which the data
// can be standardised.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/rng.h"
#include "io/point_stream.h"
#include "io/text_writer.h"

namespace zelmor::tools {

enum class SeedMethod { Uniform, DSquared };

// Mean and variance of every column, added up point by point (Welford's
// method in double precision, so that a large offset costs no digits).
class ColumnStats {
 public:
  explicit ColumnStats(int32_t d = 0) : mean_(static_cast<size_t>(d), 0.0), m2_(static_cast<size_t>(d), 0.0) {}
  void add(const float* point);

  int64_t count() const { return count_; }
  int32_t dimension() const { return static_cast<int32_t>(mean_.size()); }
  double mean(size_t j) const { return mean_[j]; }
  // Standard deviation over the points (divided by N, not N - 1).
  double sd(size_t j) const;
  // The divisor of standardisation: the standard deviation, or 1 for a
  // constant column, which then becomes all zeros.
  double scale(size_t j) const;
  // (x - mean) / scale, rounded to float: the value as a standardised file holds it.
  float standardise(size_t j, float x) const;
  // The root mean square distance of the points from their mean: the root of
  // the summed column variances, in the file's own units or, with
  // `standardised`, in standardised units.
  double spread(bool standardised) const;
  // The column of the largest standard deviation.
  size_t widest() const;

 private:
  int64_t count_ = 0;
  std::vector<double> mean_, m2_;
};

struct Centres {
  int32_t d = 0;
  std::vector<int64_t> positions;  // 0-based position in the file of each centre's point, ascending
  std::vector<float> values;       // the centres, positions.size() x d
  int64_t pointsRead = 0;          // N, the points in the file
  // D-squared sampling only: the file holds fewer distinct points than K, so
  // some centres repeat a point.
  bool ranOutOfDistinctPoints = false;
  ColumnStats stats;          // of the data, in the file's units
  bool standardised = false;  // `values` (and the D-squared distances) are in standardised units
};

// Reads the whole of `in` (named `name` in messages) and chooses K centres,
// in standardised units when `standardise` is set.
// Throws ToolError for a malformed file, a file without points, or K above N.
Centres chooseCentres(SeedMethod method, PointStream& in, const std::string& name, int32_t K, Rng& rng,
                      bool standardise = false);

// The same choice among N x d points held in memory, row by row (what a
// language binding hands over): the same centres as for a file holding these
// values, for the same seed.
Centres chooseCentres(SeedMethod method, const float* values, int64_t N, int32_t d, const std::string& name, int32_t K,
                      Rng& rng);

// One line per centre, each value as "%.9g", separated by tabs.
void writeCentres(TextWriter& out, const Centres& centres);

// Reads `in` (the data file, named `name`, read once already into `stats`)
// again and writes every point standardised, one line each.
void writeStandardised(PointStream& in, const std::string& name, const ColumnStats& stats, TextWriter& out);

// Two lines of d values: the column means, then the scales, so that
// x = z * scale + mean gives a standardised value z back in the file's units.
void writeScales(TextWriter& out, const ColumnStats& stats);

// How many centres equal an earlier one: such microclusters would start, and
// stay, identical.
int64_t countRepeatedCentres(const Centres& centres);

// The spread, in the units of the centres, within which a run covers the data
// and keeps its microclusters apart; well outside it a warning is given.
constexpr double kWorkableSpreadLow = 1.0;
constexpr double kWorkableSpreadHigh = 10.0;
constexpr double kWarnSpreadBelow = 0.5;
constexpr double kWarnSpreadAbove = 20.0;

// Three lines for standard error, each starting "zelmor-seed: ", when the spread
// of the data (in standardised units when `centres.standardised`) lies far
// outside the workable range; otherwise empty. `dataName` names the data
// file, `standardisedName` the standardised copy (when written).
std::string spreadWarning(const Centres& centres, const std::string& dataName, const std::string& standardisedName);

}  // namespace zelmor::tools
