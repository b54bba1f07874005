// One E-step pass over the data: for every point its densities, its share of
// the log-likelihood, its responsibilities (in list order, kept where
// state.keepValues says, or handed on as they come: PassState::coShareLevels)
// and its weighted share of the M-step sums. The first
// pass (iteration 1) also makes every point's item list. Two versions that give the same bits: the
// plain reference, point by point on the calling thread, and the parallel
// one, which skips the densities a bound proves zero.
#pragma once

#include <cstdint>

#include "fit/fit_state.h"
#include "io/point_source.h"
#include "core/run_control.h"

namespace zelmor {

// Adds the pass's terms to `sums` and to `logLikelihood`.
void eStepPassPlain(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
                    PassState& state, MStepSums& sums, float& logLikelihood);
// The same with control.pool()'s threads.
void eStepPassFast(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
                   PassState& state, MStepSums& sums, float& logLikelihood);

}  // namespace zelmor
