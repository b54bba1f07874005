// Process-wide settings, written once by the driver before the run starts and
// only read afterwards.
#pragma once

#include <cstdint>

namespace zelmor {

// Iteration cap of the EM loop (command-line argument 8).
extern int32_t MaxLoopNum;
// Component of every orientation vector that is kept non-negative (argument 9).
extern int32_t basedim;

}  // namespace zelmor
