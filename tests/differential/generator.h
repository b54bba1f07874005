// Small whole runs made to probe the fast configuration's shortcuts: each
// seed gives one run (data file, microcluster file, the nine arguments) from
// one family of shapes. Only the Mersenne twister's raw output is used, never
// the library's distributions, so a seed gives the same run with every
// standard library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelmor::differential {

struct RunCase {
  std::string family;             // the family that made it, or "stored"
  uint64_t seed = 0;              // regenerates the case
  std::vector<std::string> args;  // the nine arguments, data.txt and microclus.txt by name
  std::string data;               // contents of data.txt
  std::string centres;            // contents of microclus.txt
};

// The families, in the order of their share of cases (see generator.cpp).
const std::vector<std::string>& familyNames();

// The case of `seed`; `family` picks one family by name (empty: drawn from
// the seed).
RunCase generateCase(uint64_t seed, const std::string& family = "");

// The seed of case `index` of a run started with `runSeed`.
uint64_t caseSeed(uint64_t runSeed, uint64_t index);

}  // namespace zelmor::differential
