// Readers of the two input files: the microcluster file (the K starting means)
// and the data file (exactly N points of d reals). Both accept any white space
// between values and reject anything that is not a finite number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/number_scanner.h"

namespace zelmor {

// Reads K x d means, microcluster by microcluster. Values after the first
// K x d are ignored. Returns false with a one-line description in `problem`
// when the input ends early, cannot be read on, or holds a token that is not
// a finite number.
bool readMicroclusters(NumberScanner& in, int32_t K, int32_t d, float* means, std::string& problem);

// The K x d starting means of the microcluster file at `path`; an Error of
// kind Input when it cannot be opened or read.
std::vector<float> readStartMeans(const std::string& path, int32_t K, int32_t d);

// Streams the points of a data file, checking that it holds exactly N points
// of d finite numbers. readPoints throws an Error whose message names the
// file, the point and the line; tryReadPoints, its checking core, returns the
// same description instead, so that it can be driven with any input.
class DataFileReader {
 public:
  // Opens the file; on failure throws an Error with `openFailureMessage`.
  DataFileReader(const char* path, int32_t d, int32_t N, const char* openFailureMessage);
  // Reads `text` held in memory as if it were the file `name`.
  DataFileReader(std::string text, const char* name, int32_t d, int32_t N);

  // Reads up to `maxPoints` points into `points` (maxPoints x d floats) and
  // returns how many were read; 0 once all N points have been read. After
  // the N-th point it checks that nothing but white space follows.
  int64_t readPoints(float* points, int64_t maxPoints);
  // As readPoints, but returns false with the description of the first
  // problem in `problem` (`count` then holds the points read before it).
  bool tryReadPoints(float* points, int64_t maxPoints, int64_t& count, std::string& problem);
  int64_t pointsRead() const { return pointsRead_; }
  // Turns a problem that tryReadPoints returned into the Error readPoints
  // would throw.
  [[noreturn]] void fail(const std::string& problem) const;

 private:
  NumberScanner in_;
  std::string path_;
  int32_t d_;
  int32_t N_;
  int64_t pointsRead_ = 0;
};

}  // namespace zelmor
