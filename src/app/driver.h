// src/app: the command-line shell: arguments, the driver that runs one timed
// run, the timer lines and the notes on standard error, and main.
//
// The run driver: the nine positional arguments, the parameter report, the
// argument checks, and one timed clustering run.
#pragma once

#include "core/settings.h"

namespace zelmor {

// Runs the program for the given command line with the given kernels.
// Returns the exit status: 0 for a completed run; a failure is reported on
// standard output as the library described it, its outputs thrown away.
int runDriver(int argc, char** argv, Kernels kernels);

}  // namespace zelmor
