// The plain E-step pass: the reference the parallel pass is held to.
#include <cmath>
#include <memory>
#include <vector>

#include "fit/e_step.h"
#include "fit/em_constants.h"
#include "kernels/e_step_kernels.h"

namespace zelmor {

namespace {
// Points between two looks at whether the caller wants to stop.
constexpr int64_t kStopCheckPoints = 16384;

// Keeps point p's list (first pass) and row in the compact state: the list by
// its tail, which is every nonzero responsibility when all are finite numbers
// and the whole list otherwise; the row by its nonzero entries, or whole.
void keepCompact(CompactState& compact, int64_t p, bool firstPass, bool keepValues, const int16_t* items,
                 const float* row, int64_t m, std::vector<int16_t>& positions, std::vector<int16_t>& clusters,
                 std::vector<float>& values) {
  bool finite = true;
  int64_t nonzero = 0;
  for (int64_t q = 0; q < m; ++q) {
    finite = finite && std::isfinite(row[q]);
    nonzero += row[q] != 0.0f;
  }
  if (firstPass) {
    const int64_t tail = finite ? nonzero : m;
    compact.lists.set(p, items + (m - tail), tail);
  }
  if (!keepValues) return;
  positions.clear();
  clusters.clear();
  values.clear();
  for (int64_t q = 0; q < m; ++q) {
    if (row[q] == 0.0f && finite) continue;
    positions.push_back(static_cast<int16_t>(q));
    clusters.push_back(items[q]);
    values.push_back(row[q]);
  }
  compact.values.set(p, positions.data(), clusters.data(), values.data(), static_cast<int64_t>(values.size()));
}
}  // namespace

void eStepPassPlain(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
                    PassState& state, MStepSums& sums, float& logLikelihood) {
  const int32_t d = model.d;
  const int32_t K = model.K;
  const int64_t m = K;
  const int64_t packed = packedSymLength(d);
  const bool firstPass = iteration == 1;
  state.hintsHoldBest = false;
  CompactState* compact = state.compact ? &*state.compact : nullptr;
  if (compact != nullptr && firstPass) compact->lists.clear();
  if (compact != nullptr && state.keepValues) compact->values.clear();
  if (state.keepValues) state.streamed = false;
  // The compact state's rows and lists are made here, then kept.
  std::vector<float> rowScratch(compact != nullptr ? static_cast<size_t>(K) : 0);
  std::vector<int16_t> itemScratch(compact != nullptr ? static_cast<size_t>(K) : 0);
  std::vector<int16_t> positions, clusters;
  std::vector<float> values;
  std::vector<uint8_t> flags(compact != nullptr ? static_cast<size_t>(K) : 0, 0);

  std::vector<float> point(static_cast<size_t>(d));
  std::vector<float> t(static_cast<size_t>(d));
  std::vector<float> densities(static_cast<size_t>(K));
  std::vector<float> pointResponsibilities(static_cast<size_t>(K));
  const std::unique_ptr<PointPass> pass = data.startPass(nullptr, control.kernels(), "datafile not opened!");
  for (int64_t p = 0; pass->readPoints(point.data(), 1) == 1; ++p) {
    if (p % kStopCheckPoints == 0) control.checkStop();
    float* row = compact != nullptr ? rowScratch.data() : state.responsibilities->row(p);
    int16_t* items = compact != nullptr ? itemScratch.data() : state.responsibilities->list(p);
    if (compact != nullptr && !firstPass) compact->lists.expand(p, items, flags.data());
    const float* x = point.data();

    for (int64_t q = 0; q < m; ++q) {
      const int64_t g = firstPass ? q : items[q];
      densities[q] =
          pointDensity(x, model.means + g * d, model.inverses + g * packed, model.normalisers[g], d, t.data());
    }
    double s = 0.0;
    for (int64_t q = 0; q < m; ++q) s += densities[q];
    if (s > 0.0) {
      const double logShare = firstPass ? std::log(s) : kLaterPassLogScale * std::log(s);
      logLikelihood = static_cast<float>(logLikelihood + logShare);
    }

    for (int64_t q = 0; q < m; ++q) {
      const int64_t g = firstPass ? q : items[q];
      const float r = s > 0.0 ? static_cast<float>(densities[q] / s) : 0.0f;
      if (firstPass) {
        pointResponsibilities[q] = r;
      } else {
        row[q] = r;
      }
      accumulatePoint(x, model.means + g * d, r, d, t.data(), sums.sumX.data() + g * d, sums.weightSums[g],
                      sums.scatter.data() + g * packed);
    }
    if (firstPass) {
      buildItemList(pointResponsibilities.data(), K, items);
      for (int64_t q = 0; q < m; ++q) row[q] = pointResponsibilities[items[q]];
    }
    if (compact != nullptr) {
      keepCompact(*compact, p, firstPass, state.keepValues, items, row, m, positions, clusters, values);
    }
  }
  if (state.keepValues) state.valuesIteration = iteration;
}

}  // namespace zelmor
