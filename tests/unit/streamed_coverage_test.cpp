// The streamed coverage sum against the plain one (positions outer, points
// in order, every value added in double), with and without a forecast, with
// forecasts that miss, and with values whose roundings tie.
#include "fit/streamed_coverage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernels/expand_kernels.h"

namespace zelmor {
namespace {

using Rows = std::vector<float>;  // N x K, by list position

// Feeds the rows to `feed` block by block, grouped by position.
void forEachBlock(const Rows& rows, int64_t N, int32_t K,
                  const std::function<void(int64_t, const float*, const int32_t*)>& feed) {
  const int64_t block = StreamedCoverage::blockPoints(K);
  for (int64_t first = 0; first < N; first += block) {
    std::vector<float> grouped;
    std::vector<int32_t> counts(K, 0);
    for (int32_t j = 0; j < K; ++j) {
      for (int64_t i = first; i < std::min(N, first + block); ++i) {
        const float r = rows[i * K + j];
        if (r != 0.0f) grouped.push_back(r), ++counts[j];
      }
    }
    feed(first, grouped.data(), counts.data());
  }
}

void recordForecast(StreamedCoverage& coverage, const Rows& rows, int64_t N, int32_t K) {
  coverage.startForecast();
  forEachBlock(rows, N, K, [&](int64_t first, const float* values, const int32_t* counts) {
    std::vector<double> sums(K, 0.0);
    for (int32_t j = 0; j < K; ++j) {
      for (int32_t i = 0; i < counts[j]; ++i) sums[j] += *values++;
    }
    coverage.forecastBlock(first, sums.data());
  });
}

// The streamed sum of `rows`; `passes` counts the passes it took.
double streamedSum(StreamedCoverage& coverage, const Rows& rows, int64_t N, int32_t K, int& passes) {
  coverage.start();
  forEachBlock(rows, N, K, [&](int64_t first, const float* v, const int32_t* c) { coverage.addBlock(first, v, c); });
  passes = 1;
  const int64_t block = StreamedCoverage::blockPoints(K);
  while (!coverage.resolve()) {
    for (int64_t first = 0; first < N; first += block) {
      for (int64_t i = first; i < std::min(N, first + block); ++i) {
        for (const int32_t j : coverage.wantedPositions(first)) coverage.refillValue(j, i, rows[i * K + j]);
      }
    }
    ++passes;
  }
  return coverage.sum();
}

// Rows like a pass's: each point's responsibilities sum to about 1, the
// small ones over many binades. With `coarse`, values on a grid of 2^-12,
// so that roundings at large sums tie often.
Rows makeRows(int64_t N, int32_t K, std::mt19937& random, bool coarse) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Rows rows(static_cast<size_t>(N * K), 0.0f);
  for (int64_t i = 0; i < N; ++i) {
    double left = 1.0;
    for (int32_t j = K - 1; j >= 0 && left > 0.0; --j) {
      double r = j == 0 ? left : left * unit(random) * std::pow(unit(random), 4.0);
      if (coarse) r = std::round(r * 4096.0) / 4096.0;
      if (unit(random) < 0.2) r = 0.0;
      rows[i * K + j] = static_cast<float>(r);
      left -= r;
    }
  }
  return rows;
}

TEST(StreamedCoverage, MatchesThePlainSum) {
  struct Case {
    const char* name;
    int64_t N;
    int32_t K;
    bool coarse;
    double forecastScale;  // the forecast's rows are these times this; 0: none
    int passes;            // passes the sum takes
  };
  const Case cases[] = {
      {"no forecast", 60000, 3, false, 0.0, 1},
      {"exact forecast", 200000, 5, false, 1.0, 1},
      {"ties", 200000, 4, true, 1.0, 1},
      {"forecast too low", 150000, 4, false, 0.6, 2},
      {"forecast too high", 150000, 4, true, 1.7, 2},
      {"many positions", 40000, 60, false, 1.0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937 random(11);
    const Rows rows = makeRows(c.N, c.K, random, c.coarse);
    StreamedCoverage coverage(c.N, c.K);
    if (c.forecastScale > 0.0) {
      Rows forecast(rows);
      for (float& v : forecast) v = static_cast<float>(v * c.forecastScale);
      // Two passes alike: a forecast that is sure of itself.
      recordForecast(coverage, forecast, c.N, c.K);
      recordForecast(coverage, forecast, c.N, c.K);
    }
    int passes = 0;
    EXPECT_EQ(streamedSum(coverage, rows, c.N, c.K, passes), coverageSumPlain(rows.data(), c.N, c.K));
    EXPECT_EQ(passes, c.passes);
  }
}

TEST(StreamedCoverage, CarriesValuesThatAreNotNumbers) {
  const int64_t N = 100000;
  const int32_t K = 3;
  std::mt19937 random(3);
  Rows rows = makeRows(N, K, random, false);
  for (const float odd : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), -0.25f}) {
    SCOPED_TRACE(std::to_string(odd));
    Rows damaged(rows);
    damaged[70000 * K + 1] = odd;
    StreamedCoverage coverage(N, K);
    recordForecast(coverage, rows, N, K);
    int passes = 0;
    const double streamed = streamedSum(coverage, damaged, N, K, passes);
    const double plain = coverageSumPlain(damaged.data(), N, K);
    EXPECT_LE(passes, 2);
    EXPECT_TRUE(streamed == plain || (std::isnan(streamed) && std::isnan(plain)));
  }
}

}  // namespace
}  // namespace zelmor
