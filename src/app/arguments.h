// The nine positional arguments: the usage text, the parameter report on
// standard output, and the checks that every number is a valid one of its
// kind and within its range.
#pragma once

#include <cstdint>
#include <optional>

namespace zelmor {

struct Arguments {
  const char* dataFile = nullptr;
  const char* microclusFile = nullptr;
  int32_t K = 0;
  int32_t d = 0;
  int32_t N = 0;
  double epsilonLikelihood = 0.0;  // as given; the run takes the float below
  float epsilon_likelihood = 0.0f;
  float epsilon_coshare = 0.0f;
  int32_t maxLoopNum = 0;
  int32_t basedim = 0;
};

// Prints the report as it reads the arguments, and throws an Error after the
// usage text (status -2), or with a message naming the argument (status -1),
// when they are not what a run needs.
Arguments readArguments(int argc, char** argv);

// A whole number in decimal: an optional sign and digits, the whole text and
// nothing else (no blanks, no fraction, no exponent), within 64 bits.
std::optional<int64_t> parseWholeNumber(const char* text);

// A finite real number in decimal or exponent notation with an optional sign,
// the whole text and nothing else.
std::optional<double> parseRealNumber(const char* text);

}  // namespace zelmor
