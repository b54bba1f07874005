// src/app: the command-line shell: arguments, the driver that runs one timed
// run, the timer lines and the notes on standard error, and main.
//
// The run driver: the nine positional arguments, the parameter report, the
// argument checks, and one timed clustering run.
#pragma once

#include <functional>
#include <vector>

#include "core/settings.h"
#include "engine/engine.h"

namespace zelmor {

// Runs the program for the given command line with the given kernels.
// Returns the exit status: 0 for a completed run; a failure is reported on
// standard output as the library described it, its outputs thrown away.
int runDriver(int argc, char** argv, Kernels kernels);

// A run shared by several processes: each runs the driver with its role. The
// leader checks, prints and owns the output files as a lone run does; the
// others only take their part in `run` (without outputs or observer), and
// say nothing. Every process must get the same Error from `run`.
struct DriverRole {
  bool leader = true;
  std::function<FitResult(const RunSettings& settings, const char* dataFile, std::vector<float> startMeans,
                          const FitObserver& observer, const RunOutputs* outputs)>
      run;
  // Hears a silent process's failure message, for its caller to report where
  // the failure was this process's alone.
  std::function<void(const char* message)> failedSilently;
};
int runDriver(int argc, char** argv, Kernels kernels, const DriverRole& role);

}  // namespace zelmor
