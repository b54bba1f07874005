// What a run found on its way, gathered by its stages for the account that
// the program gives on standard error. Nothing in it changes a result.
#pragma once

#include <cstdint>
#include <vector>

namespace zelmor {

struct RunSummary {
  int32_t iterations = 0;
  bool converged = false;           // the loop ended on the epsilon_likelihood test
  double lastChange = 0.0;          // the log-likelihood change of the last iteration
  double coverage = 0.0;            // the expected number of points the microclusters account for
  int64_t unassigned = 0;           // points written as -1 in membership.txt
  int32_t emptyClusters = 0;        // microclusters that are no point's most probable
  bool meansEqual = false;          // every final mean the same (K > 1)
  std::vector<int32_t> chainSizes;  // microclusters per chain, in expansion order
};

}  // namespace zelmor
