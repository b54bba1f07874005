// The ranks' shares of a data file: contiguous ranges of points, found by
// counting the numbers that start in equal byte ranges (the text format
// allows any white space, so lines say nothing), and the point source that
// streams one such range in every pass.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "distributed/communicator.h"
#include "io/point_source.h"

namespace zelmor {

// Rank r's points [firstPoint, firstPoint + points) of the file's N, and the
// bytes [byteBegin, byteEnd) that hold them. The range of the rank with the
// last point runs to the end of the file.
struct RankRange {
  int64_t byteBegin = 0;
  int64_t byteEnd = 0;
  int64_t firstPoint = 0;
  int64_t points = 0;
};

// Rank r takes points [N r / R, N (r+1) / R). Collective. A file that holds
// too few or too many numbers, or one that cannot be read, still gets ranges:
// the ranks whose ranges are wrong report it in their first pass, as a lone
// run would.
RankRange partitionDataFile(const Communicator& comm, const std::string& path, int32_t d, int64_t N);

// The points of one rank's range of a text data file, parsed with the pool
// of the pass (or `ownPool` where a pass brings none). A problem of the file
// is reported as a lone run over the whole file (of `fileN` points) reports it.
class RangeFileSource : public PointSource {
 public:
  RangeFileSource(std::string path, int32_t d, const RankRange& range, int64_t fileN, ThreadPool& ownPool)
      : path_(std::move(path)), d_(d), range_(range), fileN_(fileN), ownPool_(ownPool) {}
  int64_t pointCount() const override { return range_.points; }
  int32_t dimension() const override { return d_; }
  std::unique_ptr<PointPass> startPass(ThreadPool* pool, const KernelTable& kernels,
                                       const char* openFailureMessage) const override;

 private:
  std::string path_;
  int32_t d_;
  RankRange range_;
  int64_t fileN_;
  ThreadPool& ownPool_;
};

}  // namespace zelmor
