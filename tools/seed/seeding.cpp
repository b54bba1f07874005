// Uniform reservoir sampling and D-squared sampling of starting centres.
#include "seed/seeding.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <set>

#include "common/tool_support.h"

namespace zelmor::tools {

namespace {

template <class Points>
[[noreturn]] void badData(const std::string& name, const Points& in) {
  throw ToolError(name + ": " + in.problem());
}

// Points held in memory, read as a PointStream reads a file; they are never bad.
class MemoryPoints {
 public:
  MemoryPoints(const float* values, int64_t N, int32_t d) : values_(values), N_(N), d_(d) {}
  PointStatus next(float* point) {
    if (read_ == N_) return PointStatus::End;
    std::copy_n(values_ + read_ * d_, d_, point);
    ++read_;
    return PointStatus::Ok;
  }
  int32_t dimension() const { return d_; }
  int64_t pointsRead() const { return read_; }
  const std::string& problem() const { return problem_; }

 private:
  const float* values_;
  int64_t N_;
  int32_t d_;
  int64_t read_ = 0;
  std::string problem_;
};

void checkCount(const std::string& name, int64_t N, int32_t K) {
  if (N == 0) throw ToolError(name + ": holds no points");
  if (K > N) {
    throw ToolError(name + ": holds " + std::to_string(N) + " points, fewer than the " + std::to_string(K) +
                    " centres asked for");
  }
}

// Puts the centres in file order, which makes a centre easy to find in the data.
void sortByPosition(Centres& c) {
  const size_t K = c.positions.size();
  const size_t d = static_cast<size_t>(c.d);
  std::vector<size_t> order(K);
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return c.positions[a] < c.positions[b]; });
  std::vector<int64_t> positions(K);
  std::vector<float> values(K * d);
  for (size_t i = 0; i < K; ++i) {
    positions[i] = c.positions[order[i]];
    std::copy_n(c.values.begin() + static_cast<ptrdiff_t>(order[i] * d), d,
                values.begin() + static_cast<ptrdiff_t>(i * d));
  }
  c.positions = std::move(positions);
  c.values = std::move(values);
}

// Algorithm R: after point i the reservoir is a uniform sample of K of the
// first i + 1 points, each position at most once.
template <class Points>
Centres sampleUniform(Points& in, const std::string& name, int32_t K, Rng& rng, bool standardise) {
  Centres c;
  c.d = in.dimension();
  c.stats = ColumnStats(c.d);
  const size_t d = static_cast<size_t>(c.d);
  c.positions.reserve(static_cast<size_t>(K));
  c.values.reserve(static_cast<size_t>(K) * d);
  std::vector<float> point(d);
  for (;;) {
    const PointStatus status = in.next(point.data());
    if (status == PointStatus::End) break;
    if (status == PointStatus::Bad) badData(name, in);
    c.stats.add(point.data());
    const int64_t i = in.pointsRead() - 1;
    if (i < K) {
      c.positions.push_back(i);
      c.values.insert(c.values.end(), point.begin(), point.end());
      continue;
    }
    const uint64_t slot = rng.below(static_cast<uint64_t>(i) + 1);
    if (slot < static_cast<uint64_t>(K)) {
      c.positions[slot] = i;
      std::copy(point.begin(), point.end(), c.values.begin() + static_cast<ptrdiff_t>(slot * d));
    }
  }
  c.pointsRead = in.pointsRead();
  checkCount(name, c.pointsRead, K);
  sortByPosition(c);
  // Which points are taken does not depend on the units, so the sample is
  // standardised only now, with the means and scales of the whole file.
  if (standardise) {
    for (size_t v = 0; v < c.values.size(); ++v) c.values[v] = c.stats.standardise(v % d, c.values[v]);
    c.standardised = true;
  }
  return c;
}

double squaredDistance(const float* a, const float* b, size_t d) {
  double sum = 0.0;
  for (size_t j = 0; j < d; ++j) {
    const double diff = static_cast<double>(a[j]) - static_cast<double>(b[j]);
    sum += diff * diff;
  }
  return sum;
}

// Each further centre is drawn with probability proportional to the squared
// distance of a point to its nearest centre so far. A point equal to a chosen
// centre has weight zero, so no point is repeated while another remains.
template <class Points>
Centres sampleDSquared(Points& in, const std::string& name, int32_t K, Rng& rng, bool standardise) {
  Centres c;
  c.d = in.dimension();
  c.stats = ColumnStats(c.d);
  const size_t d = static_cast<size_t>(c.d);
  std::vector<float> data;
  std::vector<float> point(d);
  for (;;) {
    const PointStatus status = in.next(point.data());
    if (status == PointStatus::End) break;
    if (status == PointStatus::Bad) badData(name, in);
    c.stats.add(point.data());
    data.insert(data.end(), point.begin(), point.end());
  }
  const int64_t N = in.pointsRead();
  c.pointsRead = N;
  checkCount(name, N, K);
  // Distances are measured in the units zelmor will see.
  if (standardise) {
    for (size_t v = 0; v < data.size(); ++v) data[v] = c.stats.standardise(v % d, data[v]);
    c.standardised = true;
  }

  const size_t n = static_cast<size_t>(N);
  std::vector<double> nearest(n);
  std::vector<bool> chosen(n, false);
  auto take = [&](size_t p) {
    chosen[p] = true;
    c.positions.push_back(static_cast<int64_t>(p));
    c.values.insert(c.values.end(), data.begin() + static_cast<ptrdiff_t>(p * d),
                    data.begin() + static_cast<ptrdiff_t>((p + 1) * d));
  };

  size_t p = static_cast<size_t>(rng.below(n));
  take(p);
  for (size_t i = 0; i < n; ++i) nearest[i] = squaredDistance(&data[i * d], &data[p * d], d);
  for (int32_t r = 1; r < K; ++r) {
    double total = 0.0;
    for (double w : nearest) total += w;
    if (total > 0.0) {
      // The first point whose running sum passes the target has a positive
      // weight: the sum grows only at such points, and it ends at `total`.
      const double target = rng.uniform() * total;
      double running = 0.0;
      p = n - 1;
      for (size_t i = 0; i < n; ++i) {
        running += nearest[i];
        if (running > target) {
          p = i;
          break;
        }
      }
    } else {
      // Every point repeats a centre: take any point not yet taken.
      c.ranOutOfDistinctPoints = true;
      uint64_t skip = rng.below(static_cast<uint64_t>(N - r));
      for (p = 0; chosen[p] || skip > 0; ++p) {
        if (!chosen[p]) --skip;
      }
    }
    take(p);
    for (size_t i = 0; i < n; ++i) nearest[i] = std::min(nearest[i], squaredDistance(&data[i * d], &data[p * d], d));
  }
  sortByPosition(c);
  return c;
}

}  // namespace

void ColumnStats::add(const float* point) {
  ++count_;
  const double n = static_cast<double>(count_);
  for (size_t j = 0; j < mean_.size(); ++j) {
    const double x = point[j];
    const double delta = x - mean_[j];
    mean_[j] += delta / n;
    m2_[j] += delta * (x - mean_[j]);
  }
}

double ColumnStats::sd(size_t j) const { return count_ > 0 ? std::sqrt(m2_[j] / static_cast<double>(count_)) : 0.0; }

double ColumnStats::scale(size_t j) const {
  const double s = sd(j);
  return s > 0.0 ? s : 1.0;
}

float ColumnStats::standardise(size_t j, float x) const {
  return static_cast<float>((static_cast<double>(x) - mean_[j]) / scale(j));
}

double ColumnStats::spread(bool standardised) const {
  double sum = 0.0;
  for (size_t j = 0; j < mean_.size(); ++j) {
    const double s = sd(j);
    sum += standardised ? (s > 0.0 ? 1.0 : 0.0) : s * s;
  }
  return std::sqrt(sum);
}

size_t ColumnStats::widest() const {
  size_t widest = 0;
  for (size_t j = 1; j < mean_.size(); ++j) {
    if (sd(j) > sd(widest)) widest = j;
  }
  return widest;
}

Centres chooseCentres(SeedMethod method, PointStream& in, const std::string& name, int32_t K, Rng& rng,
                      bool standardise) {
  return method == SeedMethod::Uniform ? sampleUniform(in, name, K, rng, standardise)
                                       : sampleDSquared(in, name, K, rng, standardise);
}

Centres chooseCentres(SeedMethod method, const float* values, int64_t N, int32_t d, const std::string& name, int32_t K,
                      Rng& rng) {
  MemoryPoints in(values, N, d);
  return method == SeedMethod::Uniform ? sampleUniform(in, name, K, rng, false)
                                       : sampleDSquared(in, name, K, rng, false);
}

void writeCentres(TextWriter& out, const Centres& centres) {
  const size_t d = static_cast<size_t>(centres.d);
  for (size_t i = 0; i < centres.positions.size(); ++i) {
    putTabbedLine(out, &centres.values[i * d], centres.d, NumberFormat::Significant9);
  }
}

void writeStandardised(PointStream& in, const std::string& name, const ColumnStats& stats, TextWriter& out) {
  const size_t d = static_cast<size_t>(in.dimension());
  std::vector<float> point(d);
  for (;;) {
    const PointStatus status = in.next(point.data());
    if (status == PointStatus::End || in.pointsRead() > stats.count()) break;
    if (status == PointStatus::Bad) badData(name, in);
    for (size_t j = 0; j < d; ++j) point[j] = stats.standardise(j, point[j]);
    putTabbedLine(out, point.data(), in.dimension(), NumberFormat::Significant9);
  }
  if (in.pointsRead() != stats.count()) {
    throw ToolError(name + ": changed while it was read (" + std::to_string(stats.count()) + " points at first, then " +
                    (in.pointsRead() > stats.count() ? "more" : "fewer") + ")");
  }
}

void writeScales(TextWriter& out, const ColumnStats& stats) {
  char text[32];
  for (bool scales : {false, true}) {
    for (size_t j = 0; j < static_cast<size_t>(stats.dimension()); ++j) {
      if (j > 0) out.putChar('\t');
      std::snprintf(text, sizeof text, "%.9g", scales ? stats.scale(j) : stats.mean(j));
      out.putText(text);
    }
    out.putChar('\n');
  }
}

int64_t countRepeatedCentres(const Centres& centres) {
  // The file holds every float exactly, so centres that read the same are equal.
  std::set<std::vector<float>> seen;
  const auto d = static_cast<ptrdiff_t>(centres.d);
  int64_t repeated = 0;
  for (auto at = centres.values.begin(); at != centres.values.end(); at += d) {
    if (!seen.insert(std::vector<float>(at, at + d)).second) ++repeated;
  }
  return repeated;
}

namespace {

// A round factor (1, 2 or 5 times a power of ten) near `x` > 0.
double roundFactor(double x) {
  const double power = std::pow(10.0, std::floor(std::log10(x)));
  const double m = x / power;
  return power * (m < std::sqrt(2.0) ? 1.0 : m < std::sqrt(10.0) ? 2.0 : m < std::sqrt(50.0) ? 5.0 : 10.0);
}

std::string formatted(const char* format, double v) {
  char text[32];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

std::string g3(double v) { return formatted("%.3g", v); }

}  // namespace

std::string spreadWarning(const Centres& centres, const std::string& dataName, const std::string& standardisedName) {
  const ColumnStats& stats = centres.stats;
  const double spread = stats.spread(centres.standardised);
  if (!(spread > 0.0) || (spread >= kWarnSpreadBelow && spread <= kWarnSpreadAbove)) return "";
  const bool large = spread > kWarnSpreadAbove;
  // The advice aims at a spread of about 3, amid the workable range.
  const std::string factor = formatted("%g", roundFactor(large ? spread / 3.0 : 3.0 / spread));
  const std::string range = g3(kWorkableSpreadLow) + " to " + g3(kWorkableSpreadHigh);
  std::string text = "zelmor-seed: warning: the " + std::string(centres.standardised ? "standardised " : "") +
                     "points of " + dataName + " lie " + g3(spread) + " from their mean (root mean square";
  if (!centres.standardised) {
    const size_t w = stats.widest();
    text += "; widest: dimension " + std::to_string(w) + ", standard deviation " + g3(stats.sd(w));
  }
  text += ").\nzelmor-seed: a run works with a spread of about " + range +
          (large ? "; beyond it many points may lie out of reach of every microcluster.\n"
                 : "; below it the microclusters collapse into one mean.\n");
  if (centres.standardised) {
    return text + "zelmor-seed: divide every value of " + standardisedName + " and of the centres by about " + factor +
           ", or use fewer columns.\n";
  }
  return text + "zelmor-seed: run again with --standardize FILE and give zelmor FILE and these centres, or " +
         (large ? "divide" : "multiply") + " every value by about " + factor + ".\n";
}

}  // namespace zelmor::tools
