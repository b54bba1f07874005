// The picture of a zelmor run as one self-contained SVG document: the joining
// level of every microcluster in expansion order, a heat map of the principal
// orientation vectors below it (one cell per microcluster and dimension), and
// optionally the data on a plane (two dimensions, or the first two principal
// components) with every microcluster's mean and principal axis. Colours
// follow the chains.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plot/projection.h"
#include "plot/run_files.h"

namespace zelmor::tools {

struct PlotSettings {
  std::string title;
  std::string subtitle;  // a line under the title, such as the run folder
  int32_t dimX = 0;      // dimensions of the scatter panel, unless `plane` is set
  int32_t dimY = 1;
  std::string params;            // the run's settings as the user gives them, shown under the title
  const Plane* plane = nullptr;  // the plane of the scatter panel
};

struct Rgb {
  int r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

// Diverging scale of an orientation component: -255 blue, 0 near white,
// 255 red; values beyond the range take the end colours.
Rgb orientationColour(double component);
// The colour of the points, bar and mean of chain `chain` (counted from 0 in
// expansion order): neighbouring chains get clearly different hues.
Rgb chainColour(size_t chain);
// Round tick values covering [lo, hi], about `target` of them.
std::vector<double> niceTicks(double lo, double hi, int target);

// `run` may be null: then the scatter panel is left out.
std::string renderSvg(const Expansion& expansion, const RunData* run, const PlotSettings& settings);

}  // namespace zelmor::tools
