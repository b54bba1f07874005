// Synthetic data sets: the requested size and labels, reproducibility, the
// geometry of each curve, the layout of a mix, the rotation and the background.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

#include "common/tool_support.h"
#include "gen/generator.h"

namespace zelmor::tools {
namespace {

struct Made {
  std::vector<std::vector<double>> points;
  std::vector<int32_t> labels;
};

Made make(const GenSettings& s) {
  Generator g(s);
  Made m;
  for (int64_t i = 0; i < s.n; ++i) {
    std::vector<double> x(static_cast<size_t>(s.d));
    m.labels.push_back(g.next(x.data()));
    m.points.push_back(std::move(x));
  }
  return m;
}

GenSettings settings(std::vector<Shape> shapes, int64_t n, int32_t d, double noise = 0.0) {
  GenSettings s;
  s.shapes = std::move(shapes);
  s.n = n;
  s.d = d;
  s.noise = noise;
  s.seed = 11;
  return s;
}

TEST(Generator, SizesAndLabelsOfAMixWithBackground) {
  GenSettings s = settings({Shape::Helix, Shape::Lines, Shape::Circle}, 1001, 4, 0.05);
  s.lines = 2;
  s.background = 0.1;
  Generator g(s);
  ASSERT_EQ(g.componentCount(), 4);  // the helix, two lines, the circle
  EXPECT_EQ(g.backgroundSize(), 100);
  EXPECT_EQ(g.componentSize(0), 301);
  EXPECT_EQ(g.componentSize(1) + g.componentSize(2), 300);
  EXPECT_EQ(g.componentSize(3), 300);
  EXPECT_EQ(g.componentName(2), "line 2 of 2");

  const Made m = make(s);
  std::map<int32_t, int64_t> counts;
  for (int32_t label : m.labels) ++counts[label];
  EXPECT_EQ(counts, (std::map<int32_t, int64_t>{{-1, 100}, {0, 301}, {1, 150}, {2, 150}, {3, 300}}));
}

TEST(Generator, SameSeedSameDataAndAnotherSeedOther) {
  GenSettings s = settings({Shape::Sine, Shape::Lines}, 200, 3, 0.1);
  s.background = 0.2;
  s.rotate = true;
  const Made a = make(s);
  EXPECT_EQ(a.points, make(s).points);
  s.seed = 12;
  EXPECT_NE(a.points, make(s).points);
}

TEST(Generator, ScaleMultipliesEveryValueNoiseAndBackgroundIncluded) {
  GenSettings s = settings({Shape::Helix, Shape::Sine}, 300, 4, 0.1);
  s.background = 0.1;
  s.rotate = true;
  const Made unit = make(s);
  s.scale = 20.0;
  const Made scaled = make(s);
  ASSERT_EQ(scaled.labels, unit.labels);
  for (size_t i = 0; i < unit.points.size(); ++i) {
    for (size_t j = 0; j < unit.points[i].size(); ++j) EXPECT_DOUBLE_EQ(scaled.points[i][j], 20.0 * unit.points[i][j]);
  }
}

TEST(Generator, NoiselessCurvesLieOnTheirShapes) {
  const Made helix = make(settings({Shape::Helix}, 200, 5));
  for (const auto& x : helix.points) {
    EXPECT_NEAR(x[0] * x[0] + x[1] * x[1], 1.0, 1e-9);
    EXPECT_LE(std::fabs(x[2]), 2.0);
    EXPECT_EQ(x[3], 0.0);
    EXPECT_EQ(x[4], 0.0);
  }
  for (const auto& x : make(settings({Shape::Circle}, 100, 2)).points) EXPECT_NEAR(std::hypot(x[0], x[1]), 1.0, 1e-9);
  for (const auto& x : make(settings({Shape::Parabola}, 100, 2)).points) EXPECT_NEAR(x[1], x[0] * x[0] / 2 - 1, 1e-9);
  for (const auto& x : make(settings({Shape::Sine}, 100, 2)).points) {
    EXPECT_NEAR(x[1], std::sin(3.0 * M_PI * (x[0] + 2.0) / 4.0), 1e-9);
  }
}

TEST(Generator, LinesAreStraightWithSimilarDirections) {
  GenSettings s = settings({Shape::Lines}, 300, 6);
  s.lines = 3;
  const Made m = make(s);
  // Per line: the first two points give the direction; every other point lies on it.
  std::map<int32_t, std::vector<std::vector<double>>> byLine;
  for (size_t i = 0; i < m.points.size(); ++i) byLine[m.labels[i]].push_back(m.points[i]);
  ASSERT_EQ(byLine.size(), 3u);
  std::vector<std::vector<double>> directions;
  for (auto& [label, pts] : byLine) {
    std::vector<double> u(6);
    double len = 0;
    for (size_t j = 0; j < 6; ++j) len += (u[j] = pts[1][j] - pts[0][j]) * u[j];
    for (double& v : u) v /= std::sqrt(len);
    for (const auto& p : pts) {
      double along = 0, total = 0;
      for (size_t j = 0; j < 6; ++j) along += (p[j] - pts[0][j]) * u[j];
      for (size_t j = 0; j < 6; ++j) total += std::pow(p[j] - pts[0][j] - along * u[j], 2);
      EXPECT_LT(total, 1e-18) << "line " << label;
    }
    directions.push_back(u);
  }
  // Correlated directions: every pair within about 45 degrees.
  for (size_t a = 0; a < 3; ++a) {
    for (size_t b = a + 1; b < 3; ++b) {
      double dot = 0;
      for (size_t j = 0; j < 6; ++j) dot += directions[a][j] * directions[b][j];
      EXPECT_GT(std::fabs(dot), 0.7);
    }
  }
}

TEST(Generator, MixedShapesLieSideBySideAlongDimensionZero) {
  const Made m = make(settings({Shape::Circle, Shape::Parabola, Shape::Helix}, 300, 3));
  std::map<int32_t, std::pair<double, double>> span;
  for (size_t i = 0; i < m.points.size(); ++i) {
    auto [it, fresh] = span.try_emplace(m.labels[i], m.points[i][0], m.points[i][0]);
    it->second.first = std::min(it->second.first, m.points[i][0]);
    it->second.second = std::max(it->second.second, m.points[i][0]);
  }
  ASSERT_EQ(span.size(), 3u);
  EXPECT_LT(span[0].second, span[1].first);
  EXPECT_LT(span[1].second, span[2].first);
  EXPECT_NEAR(span[0].first + span[2].second, 0.0, 0.1);  // centred on 0
}

TEST(Generator, RotationKeepsDistancesAndUsesEveryDimension) {
  GenSettings s = settings({Shape::Circle}, 200, 5);
  s.rotate = true;
  const Made m = make(s);
  std::vector<double> spread(5, 0.0);
  for (const auto& x : m.points) {
    double r2 = 0;
    for (size_t j = 0; j < 5; ++j) {
      r2 += x[j] * x[j];
      spread[j] = std::max(spread[j], std::fabs(x[j]));
    }
    EXPECT_NEAR(r2, 1.0, 1e-9);
  }
  int used = 0;
  for (double v : spread) used += v > 1e-6 ? 1 : 0;
  EXPECT_GE(used, 3);
}

TEST(Generator, BackgroundFillsTheBoxAroundTheCurves) {
  GenSettings s = settings({Shape::Circle}, 400, 3, 0.1);
  s.background = 0.5;
  const Made m = make(s);
  double lo = 0, hi = 0;
  for (size_t i = 0; i < m.points.size(); ++i) {
    if (m.labels[i] != kBackgroundLabel) continue;
    for (double v : m.points[i]) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  }
  EXPECT_GE(lo, -1.3);  // the unit circle's box, widened by three standard deviations
  EXPECT_LE(hi, 1.3);
  EXPECT_LT(lo, -1.0);
  EXPECT_GT(hi, 1.0);
}

TEST(Generator, RejectsSettingsThatDescribeNoDataSet) {
  auto error = [](const GenSettings& s) -> std::string {
    try {
      Generator g(s);
    } catch (const ToolError& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(error(settings({Shape::Helix}, 10, 2)), "a helix needs at least 3 dimensions");
  EXPECT_EQ(error(settings({}, 10, 2)), "no shape given");
  GenSettings s = settings({Shape::Circle}, 10, 2);
  s.background = 1.5;
  EXPECT_EQ(error(s), "the background fraction must lie between 0 and 1");
  s.background = 0.0;
  s.noise = -1.0;
  EXPECT_EQ(error(s), "the noise must be 0 or more");
}

}  // namespace
}  // namespace zelmor::tools
