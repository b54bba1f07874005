// The plane on which the data panel draws the points: two chosen dimensions,
// by default the two of largest spread, or the first two principal components
// of the data.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "plot/run_files.h"

namespace zelmor::tools {

struct Plane {
  std::vector<double> origin;   // subtracted before projecting, d values
  std::vector<double> axis[2];  // unit directions of the panel's x and y, d values each
  std::string name[2];          // axis labels: "dim 3" or "PC 1"
  std::string caption;          // what the panel shows
  // Coordinate `a` (0 for x, 1 for y) of a point, and of a direction.
  double at(const float* point, int a) const;
  double along(const double* direction, int a) const;
};

// The two dimensions of largest variance, the larger first.
std::pair<int32_t, int32_t> widestDimensions(const RunData& run);

// Dimensions `x` and `y` as they are; `why` is added to the caption.
Plane dimensionPlane(int32_t d, int32_t x, int32_t y, const std::string& why = "");

// The first two principal components of the sampled points about the mean of
// all points, found by subspace iteration in double precision. The component
// of largest magnitude of each axis is positive, so a run always gives the
// same picture. Without variance, the widest dimensions.
Plane principalPlane(const RunData& run, int32_t d);

}  // namespace zelmor::tools
