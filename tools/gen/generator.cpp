// Geometry of the synthetic curves, their layout side by side, the optional
// rotation and the background box.
#include "gen/generator.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/tool_support.h"

namespace zelmor::tools {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kGroupGap = 1.0;     // space between groups placed side by side along dimension 0
constexpr double kLineSpacing = 1.0;  // distance between neighbouring lines of a group
constexpr double kLineSpread = 0.15;  // how far a line's direction strays from the group's common direction
constexpr double kLineHalfLength = 2.0;
constexpr double kBackgroundMargin = 3.0;  // noise standard deviations added around the box

double norm(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v) s += x * x;
  return std::sqrt(s);
}

void normalise(std::vector<double>& v) {
  const double length = norm(v);
  for (double& x : v) x /= length;
}

std::vector<double> randomUnit(Rng& rng, int32_t d) {
  std::vector<double> v(static_cast<size_t>(d));
  do {
    for (double& x : v) x = rng.gaussian();
  } while (norm(v) < 1e-6);
  normalise(v);
  return v;
}

// Removes from `v` its part along the unit vector `u`; false if little is left.
bool orthogonalise(std::vector<double>& v, const std::vector<double>& u) {
  double dot = 0.0;
  for (size_t j = 0; j < v.size(); ++j) dot += v[j] * u[j];
  for (size_t j = 0; j < v.size(); ++j) v[j] -= dot * u[j];
  if (norm(v) < 1e-6) return false;
  normalise(v);
  return true;
}

}  // namespace

const char* shapeName(Shape shape) {
  switch (shape) {
    case Shape::Helix:
      return "helix";
    case Shape::Sine:
      return "sine";
    case Shape::Circle:
      return "circle";
    case Shape::Parabola:
      return "parabola";
    case Shape::Lines:
      return "line";
  }
  return "?";
}

Generator::Generator(const GenSettings& settings) : settings_(settings), rng_(settings.seed) {
  const int32_t d = settings.d;
  if (settings.n < 1) throw ToolError("the number of points must be at least 1");
  if (d < 2) throw ToolError("the curves need at least 2 dimensions");
  if (settings.shapes.empty()) throw ToolError("no shape given");
  for (Shape s : settings.shapes) {
    if (s == Shape::Helix && d < 3) throw ToolError("a helix needs at least 3 dimensions");
  }
  if (!(settings.noise >= 0.0) || !std::isfinite(settings.noise)) throw ToolError("the noise must be 0 or more");
  if (!(settings.background >= 0.0 && settings.background <= 1.0)) {
    throw ToolError("the background fraction must lie between 0 and 1");
  }
  if (settings.lines < 1) throw ToolError("a group of lines needs at least 1 line");

  const size_t dd = static_cast<size_t>(d);
  backgroundSize_ = std::llround(settings.background * static_cast<double>(settings.n));
  const int64_t onCurves = settings.n - backgroundSize_;
  const int64_t groups = static_cast<int64_t>(settings.shapes.size());

  // Components, group by group, each group shifted along dimension 0 so that
  // the groups lie side by side without overlapping.
  double cursor = 0.0;
  for (int64_t g = 0; g < groups; ++g) {
    const Shape shape = settings.shapes[static_cast<size_t>(g)];
    const int64_t groupSize = onCurves / groups + (g < onCurves % groups ? 1 : 0);
    const size_t first = components_.size();
    if (shape == Shape::Lines) {
      const std::vector<double> common = randomUnit(rng_, d);
      std::vector<double> across;
      do {
        across = randomUnit(rng_, d);
      } while (!orthogonalise(across, common));
      for (int32_t l = 0; l < settings.lines; ++l) {
        Component c{shape, l, groupSize / settings.lines + (l < groupSize % settings.lines ? 1 : 0), {}, {}};
        c.direction = common;
        for (size_t j = 0; j < dd; ++j) c.direction[j] += kLineSpread * rng_.gaussian();
        normalise(c.direction);
        c.shift.resize(dd);
        const double offset = (l - (settings.lines - 1) / 2.0) * kLineSpacing;
        for (size_t j = 0; j < dd; ++j) c.shift[j] = offset * across[j];
        components_.push_back(std::move(c));
      }
    } else {
      components_.push_back(Component{shape, 0, groupSize, std::vector<double>(dd, 0.0), {}});
    }
    double lo0 = INFINITY, hi0 = -INFINITY;
    std::vector<double> lo, hi;
    for (size_t c = first; c < components_.size(); ++c) {
      boxOf(components_[c], lo, hi);
      lo0 = std::min(lo0, lo[0]);
      hi0 = std::max(hi0, hi[0]);
    }
    for (size_t c = first; c < components_.size(); ++c) components_[c].shift[0] += cursor - lo0;
    cursor += (hi0 - lo0) + kGroupGap;
  }
  const double centre = (cursor - kGroupGap) / 2.0;
  for (Component& c : components_) c.shift[0] -= centre;

  if (settings.rotate) {
    // Gram-Schmidt on random rows gives a uniformly random orthogonal matrix.
    rotation_.assign(dd * dd, 0.0);
    for (size_t i = 0; i < dd; ++i) {
      std::vector<double> row;
      bool independent = false;
      while (!independent) {
        row = randomUnit(rng_, d);
        independent = true;
        for (size_t k = 0; k < i && independent; ++k) {
          independent =
              orthogonalise(row, std::vector<double>(rotation_.begin() + static_cast<ptrdiff_t>(k * dd),
                                                     rotation_.begin() + static_cast<ptrdiff_t>((k + 1) * dd)));
        }
      }
      std::copy(row.begin(), row.end(), rotation_.begin() + static_cast<ptrdiff_t>(i * dd));
    }
  }

  // The box of the whole structure, after the rotation, widened by the noise.
  std::vector<double> lo(dd, INFINITY), hi(dd, -INFINITY), clo, chi;
  for (const Component& c : components_) {
    boxOf(c, clo, chi);
    for (size_t j = 0; j < dd; ++j) {
      lo[j] = std::min(lo[j], clo[j]);
      hi[j] = std::max(hi[j], chi[j]);
    }
  }
  if (!rotation_.empty()) {
    std::vector<double> mid(dd), half(dd);
    for (size_t i = 0; i < dd; ++i) {
      mid[i] = 0.0;
      half[i] = 0.0;
      for (size_t j = 0; j < dd; ++j) {
        mid[i] += rotation_[i * dd + j] * (lo[j] + hi[j]) / 2.0;
        half[i] += std::fabs(rotation_[i * dd + j]) * (hi[j] - lo[j]) / 2.0;
      }
    }
    for (size_t i = 0; i < dd; ++i) {
      lo[i] = mid[i] - half[i];
      hi[i] = mid[i] + half[i];
    }
  }
  for (size_t j = 0; j < dd; ++j) {
    lo[j] -= kBackgroundMargin * settings.noise;
    hi[j] += kBackgroundMargin * settings.noise;
  }
  boxLo_ = std::move(lo);
  boxHi_ = std::move(hi);
  scratch_.resize(dd);
}

std::string Generator::componentName(int32_t c) const {
  const Component& comp = components_[static_cast<size_t>(c)];
  if (comp.shape == Shape::Lines)
    return "line " + std::to_string(comp.line + 1) + " of " + std::to_string(settings_.lines);
  return shapeName(comp.shape);
}

// The curve at parameter t in [0, 1], before the rotation and the noise.
void Generator::curvePoint(const Component& c, double t, double* x) const {
  const size_t d = static_cast<size_t>(settings_.d);
  std::fill(x, x + d, 0.0);
  switch (c.shape) {
    case Shape::Helix:  // two turns of radius 1, rising from -2 to 2
      x[0] = std::cos(4.0 * kPi * t);
      x[1] = std::sin(4.0 * kPi * t);
      x[2] = 4.0 * t - 2.0;
      break;
    case Shape::Sine:  // one and a half periods over -2..2
      x[0] = 4.0 * t - 2.0;
      x[1] = std::sin(3.0 * kPi * t);
      break;
    case Shape::Circle:
      x[0] = std::cos(2.0 * kPi * t);
      x[1] = std::sin(2.0 * kPi * t);
      break;
    case Shape::Parabola: {
      const double s = 2.0 * t - 1.0;
      x[0] = 2.0 * s;
      x[1] = 2.0 * s * s - 1.0;
      break;
    }
    case Shape::Lines:
      for (size_t j = 0; j < d; ++j) x[j] = (2.0 * t - 1.0) * kLineHalfLength * c.direction[j];
      break;
  }
  for (size_t j = 0; j < d; ++j) x[j] += c.shift[j];
}

// The box that holds the noiseless curve, before the rotation.
void Generator::boxOf(const Component& c, std::vector<double>& lo, std::vector<double>& hi) const {
  const size_t d = static_cast<size_t>(settings_.d);
  lo.assign(d, 0.0);
  hi.assign(d, 0.0);
  switch (c.shape) {
    case Shape::Helix:
      lo[0] = lo[1] = -1.0;
      hi[0] = hi[1] = 1.0;
      lo[2] = -2.0;
      hi[2] = 2.0;
      break;
    case Shape::Sine:
    case Shape::Parabola:
      lo[0] = -2.0;
      hi[0] = 2.0;
      lo[1] = -1.0;
      hi[1] = 1.0;
      break;
    case Shape::Circle:
      lo[0] = lo[1] = -1.0;
      hi[0] = hi[1] = 1.0;
      break;
    case Shape::Lines:
      for (size_t j = 0; j < d; ++j) {
        hi[j] = kLineHalfLength * std::fabs(c.direction[j]);
        lo[j] = -hi[j];
      }
      break;
  }
  for (size_t j = 0; j < d; ++j) {
    lo[j] += c.shift[j];
    hi[j] += c.shift[j];
  }
}

int32_t Generator::next(double* point) {
  const size_t d = static_cast<size_t>(settings_.d);
  while (current_ < components_.size() && madeInCurrent_ >= components_[current_].size) {
    ++current_;
    madeInCurrent_ = 0;
  }
  if (current_ == components_.size()) {
    for (size_t j = 0; j < d; ++j) point[j] = settings_.scale * (boxLo_[j] + rng_.uniform() * (boxHi_[j] - boxLo_[j]));
    return kBackgroundLabel;
  }
  ++madeInCurrent_;
  double* x = rotation_.empty() ? point : scratch_.data();
  curvePoint(components_[current_], rng_.uniform(), x);
  if (!rotation_.empty()) {
    for (size_t i = 0; i < d; ++i) {
      double sum = 0.0;
      for (size_t j = 0; j < d; ++j) sum += rotation_[i * d + j] * x[j];
      point[i] = sum;
    }
  }
  for (size_t j = 0; j < d; ++j) point[j] = settings_.scale * (point[j] + settings_.noise * rng_.gaussian());
  return static_cast<int32_t>(current_);
}

}  // namespace zelmor::tools
