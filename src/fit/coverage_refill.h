// The coverage cells a streamed pass could not vouch for, made again (see
// StreamedCoverage::resolve): each wanted responsibility from the point, the
// model the pass used and the point's density sum it kept, divided as the
// pass divided. Only the blocks with wanted cells compute anything.
#pragma once

#include "core/run_control.h"
#include "fit/fit_state.h"
#include "io/point_source.h"

namespace zelmor {

void refillCoverage(const PassModel& model, const PointSource& data, const RunControl& control, CompactState& compact);

}  // namespace zelmor
