// The EM loop: iterations of normalisers, inversion, one E-step pass and the
// M-step, until the log-likelihood settles or the iteration cap is reached.
#pragma once

#include <functional>
#include <vector>

#include "core/fit_observer.h"
#include "core/run_control.h"
#include "core/run_summary.h"
#include "core/settings.h"
#include "fit/fit_state.h"
#include "io/point_source.h"

namespace zelmor {

// Runs the loop on `parameters`, which it leaves as the last M-step made them.
// `state` ends holding the last pass's responsibilities and lists (when no
// iteration runs: every point reached by no microcluster), `sums` the last
// pass's sums. Adds each iteration's log-likelihood to `logLikelihoods` and
// the loop's account to `summary`.
void runEmLoop(const RunSettings& settings, const PointSource& data, const RunControl& control,
               const FitObserver& observer, Parameters& parameters, PassState& state, MStepSums& sums,
               std::vector<float>& logLikelihoods, RunSummary& summary);

// One E-step pass, as eStepPassFast (fit/e_step.h) makes it.
using PassFunction =
    std::function<void(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
                       PassState& state, MStepSums& sums, float& logLikelihood)>;

// The same with every pass made by `pass`.
void runEmLoop(const RunSettings& settings, const PointSource& data, const RunControl& control,
               const FitObserver& observer, Parameters& parameters, PassState& state, MStepSums& sums,
               std::vector<float>& logLikelihoods, RunSummary& summary, const PassFunction& pass);

}  // namespace zelmor
