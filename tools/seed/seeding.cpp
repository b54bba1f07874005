// Uniform reservoir sampling and D-squared sampling of starting centres.
#include "seed/seeding.h"

#include <algorithm>
#include <numeric>
#include <set>

#include "common/tool_support.h"
#include "model/float_format.h"

namespace zelmor::tools {

namespace {

[[noreturn]] void badData(const std::string& name, const PointStream& in) {
  throw ToolError(name + ": " + in.problem());
}

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
Centres sampleUniform(PointStream& in, const std::string& name, int32_t K, Rng& rng) {
  Centres c;
  c.d = in.dimension();
  const size_t d = static_cast<size_t>(c.d);
  c.positions.reserve(static_cast<size_t>(K));
  c.values.reserve(static_cast<size_t>(K) * d);
  std::vector<float> point(d);
  for (;;) {
    const PointStatus status = in.next(point.data());
    if (status == PointStatus::End) break;
    if (status == PointStatus::Bad) badData(name, in);
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
Centres sampleDSquared(PointStream& in, const std::string& name, int32_t K, Rng& rng) {
  Centres c;
  c.d = in.dimension();
  const size_t d = static_cast<size_t>(c.d);
  std::vector<float> data;
  std::vector<float> point(d);
  for (;;) {
    const PointStatus status = in.next(point.data());
    if (status == PointStatus::End) break;
    if (status == PointStatus::Bad) badData(name, in);
    data.insert(data.end(), point.begin(), point.end());
  }
  const int64_t N = in.pointsRead();
  c.pointsRead = N;
  checkCount(name, N, K);

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

Centres chooseCentres(SeedMethod method, PointStream& in, const std::string& name, int32_t K, Rng& rng) {
  return method == SeedMethod::Uniform ? sampleUniform(in, name, K, rng) : sampleDSquared(in, name, K, rng);
}

void writeCentres(TextWriter& out, const Centres& centres) {
  const size_t d = static_cast<size_t>(centres.d);
  for (size_t i = 0; i < centres.positions.size(); ++i) putTabbedLine(out, &centres.values[i * d], centres.d);
}

int64_t countRepeatedCentres(const Centres& centres) {
  std::set<std::string> seen;
  int64_t repeated = 0;
  char text[kFixed6BufferSize + 1];
  for (size_t i = 0; i < centres.positions.size(); ++i) {
    std::string line;
    for (int32_t j = 0; j < centres.d; ++j) {
      line.append(text,
                  formatFixed6(centres.values[i * static_cast<size_t>(centres.d) + static_cast<size_t>(j)], text));
      line += '\t';
    }
    if (!seen.insert(line).second) ++repeated;
  }
  return repeated;
}

}  // namespace zelmor::tools
