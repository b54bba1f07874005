// Streams the points of a data file whose number of points is not known in
// advance (the companion tools read files of any length, one point at a time).
// Values are read by NumberScanner, so the file format is the one zelmor reads.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "io/number_scanner.h"

namespace zelmor {

enum class PointStatus {
  Ok,   // a whole point was read
  End,  // only white space remained where a point would begin
  Bad,  // a value is not a finite number, or the file ends inside a point
};

class PointStream {
 public:
  explicit PointStream(int32_t d) : d_(d) {}

  // Opens a file for reading; false if it cannot be opened.
  bool open(const char* path) { return in_.open(path); }
  // Reads text held in memory (tests).
  void openText(std::string text) { in_.openText(std::move(text)); }

  // Reads the next d values into `point`. On Bad, problem() names the point,
  // the value and the line.
  PointStatus next(float* point);

  int32_t dimension() const { return d_; }
  int64_t pointsRead() const { return pointsRead_; }
  const std::string& problem() const { return problem_; }

 private:
  NumberScanner in_;
  int32_t d_;
  int64_t pointsRead_ = 0;
  std::string problem_;
};

}  // namespace zelmor
