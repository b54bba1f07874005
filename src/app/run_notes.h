// What the program tells its user on standard error (standard output belongs
// to scripts and keeps its exact bytes): the log-likelihood of every
// iteration, how the loop ended, a summary of a finished run, and advice when
// a run's data look like the wrong scale for it. Each function returns the
// text, lines ending with a line end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/run_summary.h"

namespace zelmor {

std::string iterationNote(int32_t iteration, double logLikelihood);

// How the EM loop ended: converged, stopped at MaxLoopNum, or never ran.
std::string loopEndNote(const RunSummary& summary, double epsilonLikelihood);

// Why the coverage may be too low, and what to do about it.
std::string lowCoverageAdvice(const RunSummary& summary, int32_t N);

// The account of a finished run, with a warning when the fit collapsed.
std::string runSummaryNote(const RunSummary& summary, int32_t N, int32_t K, const std::vector<std::string>& files,
                           double wallSeconds);

}  // namespace zelmor
