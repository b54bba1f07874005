#include "fit/coverage_refill.h"

#include <algorithm>
#include <vector>

#include "kernels/e_step_kernels.h"
#include "linalg/packed_matrix.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

// Points of one parallel task.
constexpr int64_t kTaskPoints = 256;

// The responsibilities of the block's points at `positions`, point by point.
void remakeBlockValues(const PassModel& model, const CompactState& compact, const float* points, int64_t first,
                       int64_t count, const std::vector<int32_t>& positions, ThreadPool& pool, float* out) {
  const int32_t d = model.d;
  const int64_t packed = packedSymLength(d);
  const int64_t w = static_cast<int64_t>(positions.size());
  const int64_t tasks = (count + kTaskPoints - 1) / kTaskPoints;
  pool.run(tasks, [&](int64_t task, int) {
    std::vector<int16_t> items(static_cast<size_t>(model.K));
    std::vector<uint8_t> flags(static_cast<size_t>(model.K), 0);
    std::vector<float> t(static_cast<size_t>(d));
    for (int64_t p = task * kTaskPoints; p < std::min(count, (task + 1) * kTaskPoints); ++p) {
      const double sum = compact.coverage.pointSum(first + p);
      compact.lists.expand(first + p, items.data(), flags.data());
      for (int64_t i = 0; i < w; ++i) {
        const int64_t g = items[positions[i]];
        const float density = pointDensity(points + p * d, model.means + g * d, model.inverses + g * packed,
                                           model.normalisers[g], d, t.data());
        out[p * w + i] = sum > 0.0 ? static_cast<float>(density / sum) : 0.0f;
      }
    }
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
      remakeBlockValues(model, compact, points.data(), first, count, positions, pool, values.data());
      for (int64_t p = 0; p < count; ++p) {
        for (int64_t i = 0; i < w; ++i) compact.coverage.refillValue(positions[i], first + p, values[p * w + i]);
      }
    }
    first += count;
  }
}

}  // namespace zelmor
