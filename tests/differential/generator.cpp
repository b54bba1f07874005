// The families of runs. Each aims at a shortcut of the fast configuration: the
// per-point and per-ball skip bounds (variances that grow or shrink over many
// iterations, points at the cut-offs, huge and tiny magnitudes), the threaded
// sums (duplicate, collinear and constant data) and the parallel reader (the
// layout of the text).
#include "differential/generator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>

namespace zelmor::differential {
namespace {

// About 3e7 multiply-adds of the plain E-step per run, a few tenths of a second.
constexpr double kWorkPerRun = 3e7;
// |t| above this has a float square of +inf.
constexpr double kSquareOverflows = 1.8446744e19;

class Rng {
 public:
  explicit Rng(uint64_t seed) : engine_(seed) {}
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
  int below(int n) { return static_cast<int>(engine_() % static_cast<uint64_t>(n)); }
  double between(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  bool chance(double p) { return uniform() < p; }
  // Near-normal, unit variance: the sum of four uniforms, centred and scaled.
  double normal() { return (uniform() + uniform() + uniform() + uniform() - 2.0) * 1.7320508075688772; }
  double powerOfTen(double lo, double hi) { return std::pow(10.0, between(lo, hi)); }

 private:
  std::mt19937_64 engine_;
};

struct Shape {
  int d = 1;
  int K = 1;
  int maxLoop = 10;
  std::string epsLike = "1e-6";
  std::vector<double> points;   // rows of d
  std::vector<double> centres;  // rows of d
  int N() const { return static_cast<int>(points.size()) / d; }
  const double* point(int i) const { return points.data() + static_cast<size_t>(i) * d; }
};

float toFloat(double v) { return static_cast<float>(std::clamp(v, -3.0e38, 3.0e38)); }

// K centres, each a data point moved by up to `jitter` in every component.
void centresFromPoints(Shape& s, Rng& rng, double jitter) {
  for (int k = 0; k < s.K; ++k) {
    const double* p = s.point(rng.below(s.N()));
    for (int j = 0; j < s.d; ++j) s.centres.push_back(p[j] + jitter * rng.normal());
  }
}

// At most `wanted` iterations, fewer where the plain E-step's work would exceed the budget.
int loopsWithinBudget(const Shape& s, int wanted) {
  const double perIteration = static_cast<double>(s.N()) * s.K * s.d * (s.d + 1);
  return std::max(1, std::min(wanted, static_cast<int>(kWorkPerRun / perIteration)));
}

// Gaussian blobs with scales per dimension, and a share of background points.
void addBlobs(Shape& s, Rng& rng, int N, int blobs, double box, double background) {
  std::vector<double> mid(static_cast<size_t>(blobs) * s.d), scale(mid.size());
  for (size_t i = 0; i < mid.size(); ++i) mid[i] = box * rng.normal(), scale[i] = rng.powerOfTen(-2, 0.5);
  for (int i = 0; i < N; ++i) {
    const int b = rng.below(blobs);
    const bool noise = rng.chance(background);
    for (int j = 0; j < s.d; ++j) {
      s.points.push_back(noise ? rng.between(-2 * box, 2 * box) : mid[b * s.d + j] + scale[b * s.d + j] * rng.normal());
    }
  }
}

// One microcluster along one axis run through the plain EM in double: the
// points with a density that is not zero as a float move the mean, and give
// the variance about the mean before the step. `across` is the product of
// the other axes' variances and Gaussian factors, in the normaliser.
struct StairModel {
  double mean = 0, across = 1, var = 1;
  int iteration = 1;
  double reach() const {
    const double normaliser = iteration == 1 ? 1.0 : std::sqrt(var * 6.28 * across);
    const double qMax = std::min(600.0, 2.0 * (150.0 * std::log(2.0) - std::log(normaliser)));
    return qMax > 0 ? std::sqrt(qMax * var) : 0.0;
  }
  void step(const std::vector<double>& points) {
    const double r = reach();
    double w = 0, sum = 0, scatter = 0;
    for (double x : points) {
      if (std::fabs(x - mean) >= r) continue;
      w += 1, sum += x, scatter += (x - mean) * (x - mean);
    }
    if (w > 0) mean = sum / w, var = std::max(scatter / w, 0.001);
    ++iteration;
  }
};

// (a) A staircase: each step lies just inside the reach of the model the
// previous steps left, so one variance grows by a factor every iteration up
// to about 1e36; then a few points beyond the float overflow of t², still
// within the reach. Mostly in one dimension, else along one axis of up to
// four, with a little noise across it (there the bound's long axis meets
// the far points too).
void staircase(Shape& s, Rng& rng) {
  s.K = 1 + rng.below(2);
  s.d = rng.chance(0.7) ? 1 : 2 + rng.below(3);
  const double start = 0.5 * rng.normal();
  std::vector<double> along;  // positions along the direction
  for (int i = 1 + rng.below(4); i > 0; --i) along.push_back(toFloat(start + 0.7 * rng.normal()));
  // The noise across the axis stays under the variance floor 0.001.
  StairModel model{start, std::pow(0.001 * 6.28, s.d - 1)};
  const double sign = rng.chance(0.5) ? 1 : -1;
  const bool alternate = rng.chance(0.25);
  for (int i = 0; i < 300; ++i) {
    model.step(along);
    const double reach = model.reach();
    if (reach > kSquareOverflows) {
      for (int far = 1 + rng.below(4); far > 0; --far) {
        const double side = rng.chance(0.8) ? sign : -sign;
        along.push_back(toFloat(model.mean + side * rng.between(kSquareOverflows, reach)));
      }
      break;
    }
    const double f = reach > 1e18 ? rng.between(0.15, 0.6) : rng.between(0.3, 0.95);
    along.push_back(toFloat(model.mean + ((alternate && i % 2) ? -sign : sign) * f * reach));
  }
  // A direction off the axes would leave a covariance of rank one in float.
  const int axis = rng.below(s.d);
  const double noise = rng.powerOfTen(-4, -2);
  for (double t : along) {
    for (int j = 0; j < s.d; ++j) s.points.push_back(j == axis ? t : noise * rng.normal());
  }
  for (int j = 0; j < s.d; ++j) s.centres.push_back(j == axis ? start : 0.0);
  if (s.K == 2) {
    const double* other = s.point(rng.below(s.N()));
    for (int j = 0; j < s.d; ++j) s.centres.push_back(rng.chance(0.5) ? s.centres[j] + rng.normal() : other[j]);
  }
  s.maxLoop = 1000;
  s.epsLike = "1e-30";
}

// (b) Tight clusters and exact duplicates: variances shrink to the 0.001
// floor and densities grow large.
void shrinking(Shape& s, Rng& rng) {
  s.d = 1 + rng.below(6);
  const int clusters = 1 + rng.below(6), N = 50 + rng.below(800);
  std::vector<double> mid(static_cast<size_t>(clusters) * s.d), spread(clusters);
  for (auto& m : mid) m = rng.normal() * rng.powerOfTen(0, 3);
  for (auto& v : spread) v = rng.powerOfTen(-7, -1);
  for (int i = 0; i < N; ++i) {
    const int c = rng.below(clusters);
    if (i > 0 && rng.chance(0.3)) {
      const int from = rng.below(i);
      for (int j = 0; j < s.d; ++j) s.points.push_back(s.points[static_cast<size_t>(from) * s.d + j]);
    } else {
      for (int j = 0; j < s.d; ++j) s.points.push_back(mid[c * s.d + j] + spread[c] * rng.normal());
    }
  }
  s.K = std::min(N, clusters + rng.below(2 * clusters + 1));
  centresFromPoints(s, rng, rng.chance(0.5) ? 0.0 : 0.01);
  s.maxLoop = loopsWithinBudget(s, 20 + rng.below(60));
  s.epsLike = rng.chance(0.5) ? "0" : "1e-30";
}

// (c) Points whose first-iteration quadratic form (unit covariances,
// normaliser 1) lies at or near the cut-off 600 or the float zero of the
// density (2·150·ln 2), along an axis or a random direction.
void nearCutoff(Shape& s, Rng& rng) {
  s.d = 1 + rng.below(6);
  s.K = 1 + rng.below(8);
  for (int k = 0; k < s.K * s.d; ++k) s.centres.push_back(toFloat(rng.between(-50, 50)));
  const int N = std::max(s.K, 60 + rng.below(600));
  std::vector<double> dir(s.d);
  for (int i = 0; i < N; ++i) {
    const double* mean = s.centres.data() + static_cast<size_t>(rng.below(s.K)) * s.d;
    double radius = rng.between(0.5, 3.0) * rng.normal();
    if (rng.chance(0.35)) {
      const double targets[] = {600.0, 300.0 * std::log(2.0), rng.between(150, 650)};
      const double q = targets[rng.below(3)];
      radius = std::sqrt(rng.chance(0.3) ? q : q * (1 + (rng.chance(0.5) ? 1 : -1) * rng.powerOfTen(-9, -2)));
    }
    double norm = 0;
    const int axis = rng.chance(0.3) ? rng.below(s.d) : -1;
    for (int j = 0; j < s.d; ++j) dir[j] = axis < 0 ? rng.normal() : (j == axis ? 1.0 : 0.0), norm += dir[j] * dir[j];
    for (int j = 0; j < s.d; ++j) s.points.push_back(mean[j] + radius * dir[j] / std::sqrt(norm));
  }
  s.maxLoop = loopsWithinBudget(s, rng.chance(0.6) ? 1 + rng.below(3) : 5 + rng.below(30));
}

// (d) Blobs scaled as a whole, or column by column, by 1e-38 to 1e38.
void magnitudes(Shape& s, Rng& rng) {
  s.d = 1 + rng.below(8);
  s.K = 1 + rng.below(12);
  addBlobs(s, rng, std::max(s.K, 40 + rng.below(800)), 1 + rng.below(5), rng.powerOfTen(0, 2), 0.05);
  const bool perColumn = rng.chance(0.4);
  std::vector<double> scale(s.d, rng.powerOfTen(-38, 38));
  if (perColumn) {
    for (auto& v : scale) v = rng.powerOfTen(-38, 38);
  }
  for (size_t i = 0; i < s.points.size(); ++i) s.points[i] *= scale[i % s.d];
  centresFromPoints(s, rng, 0.0);
  s.maxLoop = loopsWithinBudget(s, 3 + rng.below(30));
}

// (e) Exact duplicates of a few points, points on a line, or blobs with
// constant columns.
void degenerate(Shape& s, Rng& rng) {
  s.d = 2 + rng.below(11);
  const int N = 30 + rng.below(600), kind = rng.below(3);
  std::vector<double> a(s.d), b(s.d);
  for (int j = 0; j < s.d; ++j) a[j] = 10 * rng.normal(), b[j] = rng.normal();
  if (kind == 0) {
    std::vector<double> distinct;
    for (int i = (1 + rng.below(6)) * s.d; i > 0; --i) distinct.push_back(10 * rng.normal());
    for (int i = 0; i < N; ++i) {
      const int from = rng.below(static_cast<int>(distinct.size()) / s.d);
      for (int j = 0; j < s.d; ++j) s.points.push_back(distinct[from * s.d + j]);
    }
  } else if (kind == 1) {
    const double stretch = rng.powerOfTen(0, 3);
    const bool steps = rng.chance(0.5);  // whole steps along the line repeat points
    for (int i = 0; i < N; ++i) {
      const double t = steps ? std::round(rng.normal() * 5) : rng.normal() * stretch;
      for (int j = 0; j < s.d; ++j) s.points.push_back(a[j] + t * b[j]);
    }
  } else {
    addBlobs(s, rng, N, 1 + rng.below(4), 5.0, 0.1);
    for (int j = 0; j < s.d - 1; ++j) {
      if (!rng.chance(0.4)) continue;
      for (int i = 0; i < N; ++i) s.points[static_cast<size_t>(i) * s.d + j] = a[j] * (j % 2);
    }
  }
  s.K = 1 + rng.below(std::min(20, N));
  centresFromPoints(s, rng, rng.chance(0.5) ? 0.0 : 0.1);
  s.maxLoop = loopsWithinBudget(s, 2 + rng.below(40));
}

// (f) Anything: d up to 40, K up to 60, N up to a few thousand within the budget.
void general(Shape& s, Rng& rng) {
  s.d = 1 + rng.below(40);
  s.K = 1 + rng.below(60);
  const double perPoint = static_cast<double>(s.K) * s.d * (s.d + 1) * 3;
  const int N = std::max(s.K, std::min(50 + rng.below(3000), static_cast<int>(kWorkPerRun / perPoint)));
  addBlobs(s, rng, N, 1 + rng.below(12), rng.powerOfTen(0, 2), rng.between(0, 0.2));
  centresFromPoints(s, rng, rng.chance(0.5) ? 0.0 : 0.5);
  s.maxLoop = loopsWithinBudget(s, 2 + rng.below(30));
}

struct Family {
  const char* name;
  int weight;
  std::function<void(Shape&, Rng&)> make;
};

const std::vector<Family>& families() {
  static const std::vector<Family> all = {{"staircase", 3, staircase},   {"near_cutoff", 2, nearCutoff},
                                          {"shrinking", 2, shrinking},   {"magnitudes", 2, magnitudes},
                                          {"degenerate", 2, degenerate}, {"general", 2, general}};
  return all;
}

// Values as text: mostly the shortest round trip of the float ("%.9g") with
// tabs, sometimes blanks or mixed runs of white space, sometimes 17 digits
// of the double (the reader rounds them), sometimes no final line end.
std::string formatRows(const std::vector<double>& values, int d, Rng& rng, bool vary) {
  const int layout = vary ? rng.below(6) : 0;
  const bool asDouble = layout == 4;
  std::string text;
  char number[40];
  for (size_t i = 0; i < values.size(); ++i) {
    if (asDouble) {
      std::snprintf(number, sizeof number, "%.17g", std::clamp(values[i], -3.0e38, 3.0e38));
    } else {
      std::snprintf(number, sizeof number, "%.9g", static_cast<double>(toFloat(values[i])));
    }
    text += number;
    const bool rowEnd = (i + 1) % d == 0;
    if (layout == 3) {
      text += rowEnd ? " \t\n" : (rng.chance(0.5) ? "  " : "\t ");
    } else {
      text += rowEnd ? "\n" : (layout == 2 ? " " : "\t");
    }
  }
  if (layout == 5 && !text.empty()) text.pop_back();
  return text;
}

}  // namespace

const std::vector<std::string>& familyNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const Family& f : families()) out.push_back(f.name);
    return out;
  }();
  return names;
}

uint64_t caseSeed(uint64_t runSeed, uint64_t index) {
  // splitmix64 of the pair: neighbouring runs and cases get unrelated seeds.
  uint64_t z = runSeed * 0x9E3779B97F4A7C15ull + index + 0x632BE59BD9B4E019ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

RunCase generateCase(uint64_t seed, const std::string& family) {
  Rng rng(seed);
  int total = 0;
  for (const Family& f : families()) total += f.weight;
  int pick = rng.below(total);
  const Family* chosen = &families().front();
  for (const Family& f : families()) {
    if (family.empty() ? pick < f.weight : family == f.name) {
      chosen = &f;
      break;
    }
    pick -= f.weight;
  }
  Shape s;
  chosen->make(s, rng);
  RunCase out;
  out.family = chosen->name;
  out.seed = seed;
  out.data = formatRows(s.points, s.d, rng, true);
  out.centres = formatRows(s.centres, s.d, rng, false);
  const char* coshare[] = {"0.01", "0.1", "0.5", "1", "2.5"};
  out.args = {"data.txt",
              std::to_string(s.K),
              std::to_string(s.d),
              std::to_string(s.N()),
              s.epsLike,
              coshare[rng.below(5)],
              "microclus.txt",
              std::to_string(s.maxLoop),
              std::to_string(rng.below(s.d))};
  return out;
}

}  // namespace zelmor::differential
