// src/fit: the EM fit: the iteration loop, the E-step pass (plain reference
// and parallel), the skip bounds that prove densities zero, and the item-list
// positions a later pass needs. It builds on src/kernels, src/core and src/io.
//
// Numbers that shape the EM loop; those of the arithmetic inside it are in
// kernels/density_constants.h.
#pragma once

namespace zelmor {

// Start value of the log-likelihood; an epsilon_likelihood at least this large
// means no iteration runs.
constexpr float kInitialLogLikelihood = 100000.0f;
// Later passes scale each point's log-density by this.
constexpr double kLaterPassLogScale = 0.01;

}  // namespace zelmor
