#include "fit/em_loop.h"

#include <cmath>

#include "fit/e_step.h"
#include "fit/em_constants.h"
#include "kernels/e_step_kernels.h"
#include "linalg/packed_matrix.h"

namespace zelmor {

namespace {

// The working storage of the packed-matrix routines of the loop.
class MatrixScratch {
  static constexpr const char* kMessage = "Memory Allocation Error!!\n";

 public:
  explicit MatrixScratch(int32_t d)
      : d_(d), work_(int64_t{d} * d, kMessage), rowPivots_(d, kMessage), colPivots_(d, kMessage) {}
  double determinant(const float* packed) { return packedDeterminant(packed, d_, work_.data()); }
  void invert(float* packed, int32_t count) {
    if (count > 0) invertPackedRun(packed, d_, count, work_.data(), rowPivots_.data(), colPivots_.data());
  }

 private:
  int32_t d_;
  Buffer<float> work_;
  Buffer<int16_t> rowPivots_;
  Buffer<int16_t> colPivots_;
};

// The density divisors of an iteration, from the covariances before inversion.
void computeNormalisers(Parameters& parameters, int32_t iteration, MatrixScratch& scratch, float* normalisers) {
  const float gaussFactor = computeGaussFactor(parameters.d);
  for (int64_t k = 0; k < parameters.K; ++k) {
    normalisers[k] = static_cast<float>(scratch.determinant(parameters.covariance(k)));
  }
  for (int64_t k = 0; k < parameters.K; ++k) {
    normalisers[k] = iteration == 1
                         ? static_cast<float>(std::sqrt(static_cast<double>(normalisers[k])))
                         : static_cast<float>(std::sqrt(std::fabs(static_cast<double>(normalisers[k])) * gaussFactor));
  }
}

// New means and covariances from the pass's sums; the covariances hold the
// inverses until here.
void mStep(Parameters& parameters, const MStepSums& sums, MatrixScratch& scratch) {
  const int32_t d = parameters.d;
  const int64_t packed = parameters.packedLength();
  for (int64_t k = 0; k < parameters.K; ++k) {
    const float w = sums.weightSums[k];
    if (isNegligible(w)) {
      // No point chose this microcluster: turn its inverse back into the
      // covariance it had, and keep its mean.
      scratch.invert(parameters.covariance(k), 1);
      continue;
    }
    updateMicrocluster(sums.sumX.data() + k * d, sums.scatter.data() + k * packed, w, d, parameters.mean(k),
                       parameters.covariance(k));
  }
}

// The model a pass used, kept so that its responsibilities can be made again.
struct KeptModel {
  std::vector<float> means, inverses, normalisers;
  void keep(const PassModel& model) {
    const int64_t K = model.K;
    means.assign(model.means, model.means + K * model.d);
    inverses.assign(model.inverses, model.inverses + K * packedSymLength(model.d));
    normalisers.assign(model.normalisers, model.normalisers + K);
  }
  PassModel view(int32_t K, int32_t d) const { return {K, d, means.data(), inverses.data(), normalisers.data()}; }
};

// The state after the loop when no iteration ran: every point reached by no
// microcluster, with the list the first pass builds for such a point (an
// empty tail in the compact state).
void setUnreachedState(PassState& state) {
  if (state.compact) {
    state.compact->lists.clear();
    state.compact->values.clear();
    state.streamed = false;
    return;
  }
  Responsibilities& responsibilities = *state.responsibilities;
  const int64_t m = responsibilities.perPoint();
  for (int64_t p = 0; p < responsibilities.points(); ++p) {
    for (int64_t q = 0; q < m; ++q) {
      responsibilities.list(p)[q] = static_cast<int16_t>(m - 1 - q);
      responsibilities.row(p)[q] = 0.0f;
    }
  }
}

}  // namespace

void runEmLoop(const RunSettings& settings, const PointSource& data, const RunControl& control,
               const FitObserver& observer, Parameters& parameters, PassState& state, MStepSums& sums,
               std::vector<float>& logLikelihoods, RunSummary& summary) {
  runEmLoop(settings, data, control, observer, parameters, state, sums, logLikelihoods, summary,
            settings.kernels == Kernels::Plain ? eStepPassPlain : eStepPassFast);
}

void runEmLoop(const RunSettings& settings, const PointSource& data, const RunControl& control,
               const FitObserver& observer, Parameters& parameters, PassState& state, MStepSums& sums,
               std::vector<float>& logLikelihoods, RunSummary& summary, const PassFunction& pass) {
  MatrixScratch scratch(parameters.d);
  Buffer<float> normalisers(parameters.K, "Memory Allocation Error!!\n");
  KeptModel lastModel;
  if (observer.loopStarted) observer.loopStarted();

  float logLikelihood = kInitialLogLikelihood;
  int32_t iteration = 0;
  if (!(settings.epsilon_likelihood >= kInitialLogLikelihood)) {
    while (iteration < settings.maxLoopNum) {
      ++iteration;
      if (observer.iterationStarted) observer.iterationStarted(iteration);
      const float prevLogLikelihood = logLikelihood;
      logLikelihood = 0.0f;
      sums.clear();
      computeNormalisers(parameters, iteration, scratch, normalisers.data());
      scratch.invert(parameters.covariances.data(), parameters.K);
      const PassModel model{parameters.K, parameters.d, parameters.means.data(), parameters.covariances.data(),
                            normalisers.data()};
      state.keepValues = !state.compact || iteration == settings.maxLoopNum;
      if (state.compact && !state.keepValues) lastModel.keep(model);
      pass(iteration, model, data, control, state, sums, logLikelihood);
      mStep(parameters, sums, scratch);

      const double change = std::fabs(static_cast<double>(prevLogLikelihood) - static_cast<double>(logLikelihood));
      logLikelihoods.push_back(logLikelihood);
      summary.iterations = iteration;
      summary.lastChange = change;
      if (observer.iterationDone) observer.iterationDone(iteration, logLikelihood);
      if (static_cast<double>(settings.epsilon_likelihood) >= change) {
        summary.converged = true;
        break;
      }
    }
  }
  if (observer.loopEnded) observer.loopEnded(summary);
  if (iteration == 0) {
    setUnreachedState(state);
  } else if (state.valuesIteration != iteration) {
    // The compact state keeps responsibilities only from a pass known to be
    // the last; when the loop settled earlier, its last pass runs once more
    // on the same model for them (its sums and likelihood go nowhere).
    MStepSums unused(parameters.K, parameters.d);
    unused.clear();  // the pass reads the sums it adds to
    float unusedLikelihood = 0.0f;
    state.keepValues = true;
    pass(iteration, lastModel.view(parameters.K, parameters.d), data, control, state, unused, unusedLikelihood);
  }
}

}  // namespace zelmor
