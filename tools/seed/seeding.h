// Choice of zelmor's starting microcluster centres among the points of a data
// file: a uniform sample of distinct points by reservoir sampling (one pass,
// memory for K points, so files larger than memory work), or k-means++ style
// D-squared sampling (which holds the points in memory).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/rng.h"
#include "model/point_stream.h"
#include "model/text_writer.h"

namespace zelmor::tools {

enum class SeedMethod { Uniform, DSquared };

struct Centres {
  int32_t d = 0;
  std::vector<int64_t> positions;  // 0-based position in the file of each centre's point, ascending
  std::vector<float> values;       // the centres, positions.size() x d
  int64_t pointsRead = 0;          // N, the points in the file
  // D-squared sampling only: the file holds fewer distinct points than K, so
  // some centres repeat a point.
  bool ranOutOfDistinctPoints = false;
};

// Reads the whole of `in` (named `name` in messages) and chooses K centres.
// Throws ToolError for a malformed file, a file without points, or K above N.
Centres chooseCentres(SeedMethod method, PointStream& in, const std::string& name, int32_t K, Rng& rng);

// One line per centre, each value as "%f" and a tab.
void writeCentres(TextWriter& out, const Centres& centres);

// How many centres read back (at six decimals) the same as an earlier one:
// such microclusters would start, and stay, identical.
int64_t countRepeatedCentres(const Centres& centres);

}  // namespace zelmor::tools
