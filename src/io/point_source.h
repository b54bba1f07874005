// Where a run's points come from. A run passes over its points once per EM
// iteration and once more for the final output, always in the same order; a
// PointSource opens such a pass. Two sources: a text data file, streamed from
// the disk in every pass, and an N x d matrix of floats held in memory (what a
// language binding hands over). Both give the same floats for the same values,
// so a run gives the same bytes from either.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zelmor {

class ThreadPool;
struct KernelTable;

// One pass over the points, in order.
class PointPass {
 public:
  virtual ~PointPass() = default;
  // Reads up to `maxPoints` points into `points` (maxPoints x d floats) and
  // returns how many were read; 0 once every point has been read. A source
  // that does not hold exactly the points it should throws an Error.
  virtual int64_t readPoints(float* points, int64_t maxPoints) = 0;
};

class PointSource {
 public:
  virtual ~PointSource() = default;
  virtual int64_t pointCount() const = 0;  // N
  virtual int32_t dimension() const = 0;   // d
  // Starts a pass. With a pool a text file is parsed by several threads, with
  // the vector kernels of `kernels`; the values are the same either way. An
  // Error of kind Input with `openFailureMessage` when the source cannot be
  // opened.
  virtual std::unique_ptr<PointPass> startPass(ThreadPool* pool, const KernelTable& kernels,
                                               const char* openFailureMessage) const = 0;
};

// The points of a text data file: N points of d finite numbers separated by
// any white space, checked in every pass.
class TextFileSource : public PointSource {
 public:
  TextFileSource(std::string path, int32_t d, int64_t N) : path_(std::move(path)), d_(d), N_(N) {}
  int64_t pointCount() const override { return N_; }
  int32_t dimension() const override { return d_; }
  std::unique_ptr<PointPass> startPass(ThreadPool* pool, const KernelTable& kernels,
                                       const char* openFailureMessage) const override;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int32_t d_;
  int64_t N_;
};

// A view of N x d floats, row by row, that the caller keeps alive and
// unchanged for the whole run.
class MatrixSource : public PointSource {
 public:
  MatrixSource(const float* values, int64_t N, int32_t d) : values_(values), N_(N), d_(d) {}
  int64_t pointCount() const override { return N_; }
  int32_t dimension() const override { return d_; }
  std::unique_ptr<PointPass> startPass(ThreadPool* pool, const KernelTable& kernels,
                                       const char* openFailureMessage) const override;

 private:
  const float* values_;
  int64_t N_;
  int32_t d_;
};

}  // namespace zelmor
