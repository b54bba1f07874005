// One E-step pass over the data: for every point its densities, its share of
// the log-likelihood, its responsibilities (in list order, kept where
// state.keepValues says, or handed on as they come: PassState::coShareLevels)
// and its weighted share of the M-step sums. The first
// pass (iteration 1) also makes every point's item list. Two versions that give the same bits: the
// plain reference, point by point on the calling thread, and the parallel
// one, which skips the densities a bound proves zero.
#pragma once

#include <cstdint>
#include <memory>

#include "core/run_control.h"
#include "fit/fit_state.h"
#include "io/point_source.h"

namespace zelmor {

// Adds the pass's terms to `sums` and to `logLikelihood`.
void eStepPassPlain(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
                    PassState& state, MStepSums& sums, float& logLikelihood);
// The same with control.pool()'s threads.
void eStepPassFast(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
                   PassState& state, MStepSums& sums, float& logLikelihood);

// A parallel pass over part of a run's points whose log-likelihood and
// M-step sums wait: each is added on request, to sums that the points before
// this part have already made, so that every sum still takes its terms in
// point order. The pass has run when it is obtained; it reads the model it
// was given until it is dropped.
class DeferredSumsPass {
 public:
  virtual ~DeferredSumsPass() = default;
  // Adds the pass's log-likelihood terms, in point order.
  virtual void addLogLikelihood(float& logLikelihood) = 0;
  // Adds the terms of microclusters [kBegin, kEnd) to the pass's sums.
  virtual void addSums(int32_t kBegin, int32_t kEnd) = 0;
};

// Whether eStepPassFast hands the pass to eStepPassPlain: means that are
// not finite (or huge) poison the sums even where a responsibility is zero.
bool eStepPassGoesPlain(const PassModel& model);

// eStepPassFast with its sums deferred; null, and nothing done, where the
// means send every point the plain way (eStepPassPlain then).
std::unique_ptr<DeferredSumsPass> eStepPassFastDeferred(int32_t iteration, const PassModel& model,
                                                        const PointSource& data, const RunControl& control,
                                                        PassState& state, MStepSums& sums);

}  // namespace zelmor
