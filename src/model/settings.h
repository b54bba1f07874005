// Process-wide settings, written once by the driver before the run starts and
// only read afterwards.
#pragma once

#include <cstdint>

namespace zelmor {

// Iteration cap of the EM loop (command-line argument 8).
extern int32_t MaxLoopNum;
// Component of every orientation vector that is kept non-negative (argument 9).
extern int32_t basedim;

// Runs every stage with its plain reference kernels on one thread instead of
// the parallel, bound-skipping kernels. Both give the same bytes; the plain
// ones are the reference the fast ones are tested against.
extern bool usePlainKernels;

}  // namespace zelmor
