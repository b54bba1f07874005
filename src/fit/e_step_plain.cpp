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
}  // namespace

void eStepPassPlain(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
                    PassState& state, MStepSums& sums, float& logLikelihood) {
  const int32_t d = model.d;
  const int32_t K = model.K;
  const int64_t m = K;
  const int64_t packed = packedSymLength(d);
  const bool firstPass = iteration == 1;
  Responsibilities& responsibilities = state.responsibilities;
  state.hintsHoldBest = false;

  std::vector<float> point(static_cast<size_t>(d));
  std::vector<float> t(static_cast<size_t>(d));
  std::vector<float> densities(static_cast<size_t>(K));
  std::vector<float> pointResponsibilities(static_cast<size_t>(K));
  const std::unique_ptr<PointPass> pass = data.startPass(nullptr, control.kernels(), "datafile not opened!");
  for (int64_t p = 0; pass->readPoints(point.data(), 1) == 1; ++p) {
    if (p % kStopCheckPoints == 0) control.checkStop();
    float* row = responsibilities.row(p);
    int16_t* items = responsibilities.list(p);
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
  }
}

}  // namespace zelmor
