#include "fit/coverage_refill.h"

#include <algorithm>
#include <vector>

#include "kernels/e_step_wide.h"
#include "kernels/kernel_table.h"
#include "linalg/packed_matrix.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

// Points of one parallel task.
constexpr int64_t kTaskPoints = 256;

// One task's wanted values grouped by microcluster, so that up to
// kDensityLanes of them share one pass over the microcluster's inverse.
struct RefillScratch {
  std::vector<int16_t> items;
  std::vector<uint8_t> flags;
  std::vector<double> sums;        // each point's density sum
  std::vector<int32_t> clusterOf;  // of each wanted value, point by point
  std::vector<int32_t> byCluster;  // the wanted values, grouped
  std::vector<int32_t> start;      // where each microcluster's group starts
  std::vector<double> inverse;     // the widened inverse
  std::vector<double> lanes;       // the kernel's scratch
};

// The responsibilities of the points [begin, end) of the block at `positions`.
void remakeTaskValues(const PassModel& model, const CompactState& compact, const KernelTable& kernels,
                      const float* points, int64_t first, int64_t begin, int64_t end,
                      const std::vector<int32_t>& positions, RefillScratch& s, float* out) {
  const int32_t d = model.d;
  const int64_t w = static_cast<int64_t>(positions.size());
  const int64_t values = (end - begin) * w;
  s.clusterOf.resize(static_cast<size_t>(values));
  s.start.assign(static_cast<size_t>(model.K + 1), 0);
  for (int64_t p = begin; p < end; ++p) {
    s.sums[p - begin] = compact.coverage.pointSum(first + p);
    compact.lists.expand(first + p, s.items.data(), s.flags.data());
    for (int64_t i = 0; i < w; ++i) {
      const int32_t g = s.items[positions[i]];
      s.clusterOf[(p - begin) * w + i] = g;
      ++s.start[g + 1];
    }
  }
  for (int64_t g = 0; g < model.K; ++g) s.start[g + 1] += s.start[g];
  s.byCluster.resize(static_cast<size_t>(values));
  for (int64_t v = 0; v < values; ++v) s.byCluster[s.start[s.clusterOf[v]]++] = static_cast<int32_t>(v);
  // start[g] now marks the end of microcluster g's group.
  const int64_t packed = packedSymLength(d);
  for (int64_t g = 0, at = 0; g < model.K; at = s.start[g++]) {
    if (at == s.start[g]) continue;
    widenInverse(model.inverses + g * packed, d, s.inverse.data());
    for (; at < s.start[g]; at += kDensityLanes) {
      const int count = static_cast<int>(std::min<int64_t>(kDensityLanes, s.start[g] - at));
      const float* lanes[kDensityLanes];
      float densities[kDensityLanes];
      for (int l = 0; l < count; ++l) lanes[l] = points + (begin + s.byCluster[at + l] / w) * d;
      kernels.pointDensities(lanes, count, model.means + g * d, s.inverse.data(), model.normalisers[g], d, densities,
                             s.lanes.data());
      for (int l = 0; l < count; ++l) {
        const int32_t v = s.byCluster[at + l];
        const double sum = s.sums[v / w];
        out[begin * w + v] = sum > 0.0 ? static_cast<float>(densities[l] / sum) : 0.0f;
      }
    }
  }
}

// The responsibilities of the block's points at `positions`.
void remakeBlockValues(const PassModel& model, const CompactState& compact, const KernelTable& kernels,
                       const float* points, int64_t first, int64_t count, const std::vector<int32_t>& positions,
                       ThreadPool& pool, float* out) {
  const int64_t tasks = (count + kTaskPoints - 1) / kTaskPoints;
  pool.run(tasks, [&](int64_t task, int) {
    RefillScratch s;
    s.items.resize(static_cast<size_t>(model.K));
    s.flags.assign(static_cast<size_t>(model.K), 0);
    s.sums.resize(static_cast<size_t>(kTaskPoints));
    s.inverse.resize(static_cast<size_t>(model.d) * model.d);
    s.lanes.resize(static_cast<size_t>(model.d) * kDensityLanes);
    const int64_t begin = task * kTaskPoints;
    remakeTaskValues(model, compact, kernels, points, first, begin, std::min(count, begin + kTaskPoints), positions, s,
                     out);
  });
}

}  // namespace

void refillCoverage(const PassModel& model, const PointSource& data, const RunControl& control, CompactState& compact) {
  ThreadPool& pool = *control.pool();
  const int64_t block = StreamedCoverage::blockPoints(model.K);
  std::vector<float> points(static_cast<size_t>(block * model.d));
  std::vector<float> values;
  const std::unique_ptr<PointPass> pass = data.startPass(&pool, control.kernels(), "datafile not opened!");
  for (int64_t first = 0;;) {
    control.checkStop();
    const int64_t count = pass->readPoints(points.data(), block);
    if (count == 0) break;
    const std::vector<int32_t>& positions = compact.coverage.wantedPositions(first);
    if (!positions.empty()) {
      const int64_t w = static_cast<int64_t>(positions.size());
      values.resize(static_cast<size_t>(count * w));
      remakeBlockValues(model, compact, control.kernels(), points.data(), first, count, positions, pool, values.data());
      for (int64_t p = 0; p < count; ++p) {
        for (int64_t i = 0; i < w; ++i) compact.coverage.refillValue(positions[i], first + p, values[p * w + i]);
      }
    }
    first += count;
  }
}

}  // namespace zelmor
