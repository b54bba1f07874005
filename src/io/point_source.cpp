#include "io/point_source.h"

#include <algorithm>
#include <cmath>

#include "io/input_files.h"
#include "io/parallel_reader.h"
#include "runtime/error.h"

namespace zelmor {

namespace {

class SequentialFilePass : public PointPass {
 public:
  SequentialFilePass(const std::string& path, int32_t d, int64_t N, const char* openFailureMessage)
      : reader_(path.c_str(), d, static_cast<int32_t>(N), openFailureMessage) {}
  int64_t readPoints(float* points, int64_t maxPoints) override { return reader_.readPoints(points, maxPoints); }

 private:
  DataFileReader reader_;
};

class ParallelFilePass : public PointPass {
 public:
  ParallelFilePass(const std::string& path, int32_t d, int64_t N, const char* openFailureMessage, ThreadPool& pool,
                   const KernelTable& kernels)
      : reader_(path.c_str(), d, static_cast<int32_t>(N), openFailureMessage, pool, kernels) {}
  int64_t readPoints(float* points, int64_t maxPoints) override { return reader_.readPoints(points, maxPoints); }

 private:
  ParallelPointReader reader_;
};

// Copies rows out of the matrix; a value that is not a finite number (which
// no data file can hold) is refused as a data file's would be.
class MatrixPass : public PointPass {
 public:
  MatrixPass(const float* values, int64_t N, int32_t d) : values_(values), N_(N), d_(d) {}
  int64_t readPoints(float* points, int64_t maxPoints) override {
    const int64_t count = std::min(maxPoints, N_ - next_);
    const float* from = values_ + next_ * d_;
    for (int64_t i = 0; i < count * d_; ++i) {
      if (!std::isfinite(from[i])) {
        throw Error(
            ErrorKind::Input,
            formatMessage("Error in data matrix: point %lld of %lld, value %lld of %d is not a finite number.\n",
                          static_cast<long long>(next_ + i / d_ + 1), static_cast<long long>(N_),
                          static_cast<long long>(i % d_ + 1), d_),
            kExitFailure);
      }
    }
    std::copy(from, from + count * d_, points);
    next_ += count;
    return count;
  }

 private:
  const float* values_;
  int64_t N_;
  int32_t d_;
  int64_t next_ = 0;
};

}  // namespace

std::unique_ptr<PointPass> TextFileSource::startPass(ThreadPool* pool, const KernelTable& kernels,
                                                     const char* openFailureMessage) const {
  if (pool != nullptr) return std::make_unique<ParallelFilePass>(path_, d_, N_, openFailureMessage, *pool, kernels);
  return std::make_unique<SequentialFilePass>(path_, d_, N_, openFailureMessage);
}

std::unique_ptr<PointPass> MatrixSource::startPass(ThreadPool*, const KernelTable&, const char*) const {
  return std::make_unique<MatrixPass>(values_, N_, d_);
}

}  // namespace zelmor
