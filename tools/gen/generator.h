// Synthetic data sets with known structure, for demos, tests and benchmarks:
// noisy curves (helix, sine, circle, parabola, straight lines of correlated
// direction), several side by side, and uniform background noise. Points are
// made one at a time, so a data set of any size needs no memory for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/rng.h"

namespace zelmor::tools {

enum class Shape { Helix, Sine, Circle, Parabola, Lines };

const char* shapeName(Shape shape);

struct GenSettings {
  int64_t n = 1000;  // points in all, background included
  int32_t d = 3;
  std::vector<Shape> shapes{Shape::Helix};  // one group of points per entry, placed side by side
  int32_t lines = 3;                        // lines in a Lines group
  double noise = 0.05;                      // standard deviation of the Gaussian noise, per dimension
  double background = 0.0;                  // fraction of the points spread uniformly over the whole box
  bool rotate = false;                      // turn the whole set by a random rotation of all d dimensions
  double scale = 1.0;                       // every value, noise and background included, is multiplied by it
  uint64_t seed = 0;
};

// The label of a background point in the label file; curves count from 0.
constexpr int32_t kBackgroundLabel = -1;

class Generator {
 public:
  // Throws ToolError for settings that describe no data set.
  explicit Generator(const GenSettings& settings);

  // The labelled components: one per curve, one per line of a Lines group.
  int32_t componentCount() const { return static_cast<int32_t>(components_.size()); }
  std::string componentName(int32_t c) const;
  int64_t componentSize(int32_t c) const { return components_[static_cast<size_t>(c)].size; }
  int64_t backgroundSize() const { return backgroundSize_; }

  // Makes the next point into `point` (d values) and returns its label. The
  // points come component by component, then the background.
  int32_t next(double* point);

 private:
  struct Component {
    Shape shape;
    int32_t line = 0;  // which line of its group (Lines only)
    int64_t size = 0;
    std::vector<double> shift;      // added before the rotation
    std::vector<double> direction;  // unit direction (Lines only)
  };

  void curvePoint(const Component& c, double t, double* x) const;
  void boxOf(const Component& c, std::vector<double>& lo, std::vector<double>& hi) const;

  GenSettings settings_;
  Rng rng_;
  std::vector<Component> components_;
  std::vector<double> rotation_;  // d x d, row-major; empty without rotation
  std::vector<double> boxLo_, boxHi_;
  int64_t backgroundSize_ = 0;
  size_t current_ = 0;  // component of the next point
  int64_t madeInCurrent_ = 0;
  std::vector<double> scratch_;
};

}  // namespace zelmor::tools
