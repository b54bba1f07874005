// The settings of one run: read once from the command line by the program and
// handed to the model, which every stage reads them from. Nothing else holds
// a setting.
#pragma once

#include <cstdint>
#include <string>

#include "kernels/kernel_table.h"

namespace zelmor {

// Which kernels the stages run. Both give the same bytes; the plain ones are
// the reference the fast ones are tested against.
enum class Kernels {
  Fast,   // the parallel, bound-skipping kernels
  Plain,  // the plain reference kernels, on one thread
};

struct RunSettings {
  std::string dataFile;       // the N points
  std::string microclusFile;  // the K starting means
  int32_t K = 0;              // microclusters
  int32_t d = 0;              // dimensions
  int32_t N = 0;              // data points
  // The EM loop ends once the log-likelihood changes by no more than this.
  float epsilon_likelihood = 0.0f;
  // The expansion joins two microclusters only above this co-sharing level.
  float epsilon_coshare = 0.0f;
  int32_t maxLoopNum = 5;  // iteration cap of the EM loop
  int32_t basedim = 0;     // component of every orientation vector that is kept non-negative
  Kernels kernels = Kernels::Fast;
  Isa isa = bestIsa();  // the vector kernels of the fast ones
};

}  // namespace zelmor
