// src/core: what every stage of a run shares: the settings, the summary the
// stages gather for the user, what the caller hears while a run goes on, and
// the run's control (its threads, its table of vector kernels, the caller's
// wish to stop). It builds on src/runtime and src/kernels.
//
// The settings of one run: made once by the caller (the program from its
// command line, a binding from its arguments) and passed down to the stages
// that need them. Nothing else holds a setting.
#pragma once

#include <cstdint>

#include "kernels/kernel_table.h"

namespace zelmor {

// Which kernels the stages run. Both give the same bytes; the plain ones are
// the reference the fast ones are tested against.
enum class Kernels {
  Fast,   // the parallel, bound-skipping kernels
  Plain,  // the plain reference kernels, on one thread
};

struct RunSettings {
  int32_t K = 0;  // microclusters
  int32_t d = 0;  // dimensions
  int32_t N = 0;  // data points
  // The EM loop ends once the log-likelihood changes by no more than this.
  float epsilon_likelihood = 0.0f;
  // The expansion joins two microclusters only above this co-sharing level.
  float epsilon_coshare = 0.0f;
  int32_t maxLoopNum = 5;  // iteration cap of the EM loop
  int32_t basedim = 0;     // component of every orientation vector that is kept non-negative
  Kernels kernels = Kernels::Fast;
  int32_t threads = 0;  // worker threads of the fast kernels; 0: one per hardware thread
  Isa isa = bestIsa();  // the vector kernels of the fast ones
};

}  // namespace zelmor
