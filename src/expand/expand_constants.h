// src/expand: the steps after the EM loop: coverage and membership, the
// co-sharing levels, the expansion into chains, and the final output file
// that reads the expansion file back.
//
// Numbers that shape the steps after the EM loop.
#pragma once

namespace zelmor {

// The run stops when the microclusters account for less than this share of
// the data points.
constexpr double kMinimumCoverage = 0.95;
// Joining level written for the seed of a chain.
constexpr double kSeedLevel = -1.0;

}  // namespace zelmor
