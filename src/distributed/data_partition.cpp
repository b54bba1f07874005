#include "distributed/data_partition.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "io/parallel_reader.h"

namespace zelmor {

namespace {

constexpr size_t kScanBytes = size_t{1} << 20;

bool isSpaceByte(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Counts the numbers that start in bytes [begin, end) of the file (a number
// starts at a byte that is no white space after one that is, or at the
// start of the file). `found` gets the offsets of the ones whose local
// indices `wanted` (ascending) names.
int64_t scanNumberStarts(int fd, int64_t begin, int64_t end, const std::vector<int64_t>& wanted,
                         std::vector<int64_t>& found) {
  char before = ' ';
  if (begin > 0 && pread(fd, &before, 1, begin - 1) != 1) before = ' ';
  bool afterSpace = isSpaceByte(before);
  std::vector<char> buffer(kScanBytes);
  int64_t count = 0;
  size_t next = 0;
  for (int64_t at = begin; at < end;) {
    const ssize_t got = pread(fd, buffer.data(), std::min<int64_t>(kScanBytes, end - at), at);
    if (got <= 0) break;  // the passes report what cannot be read
    for (ssize_t i = 0; i < got; ++i) {
      const bool space = isSpaceByte(buffer[i]);
      if (!space && afterSpace) {
        for (; next < wanted.size() && wanted[next] == count; ++next) found.push_back(at + i);
        ++count;
      }
      afterSpace = space;
    }
    at += got;
  }
  return count;
}

class RangePass : public PointPass {
 public:
  RangePass(const std::string& path, int32_t d, const RankRange& range, int64_t fileN, const char* openFailureMessage,
            ThreadPool& pool, const KernelTable& kernels)
      : reader_(path.c_str(), d, static_cast<int32_t>(range.points), openFailureMessage, pool, kernels) {
    reader_.setRange(range.byteBegin, range.byteEnd, static_cast<int32_t>(fileN));
  }
  int64_t readPoints(float* points, int64_t maxPoints) override { return reader_.readPoints(points, maxPoints); }

 private:
  ParallelPointReader reader_;
};

}  // namespace

RankRange partitionDataFile(const Communicator& comm, const std::string& path, int32_t d, int64_t N) {
  const int R = comm.size();
  const int r = comm.rank();
  const int fd = open(path.c_str(), O_RDONLY);
  struct stat entry {};
  const int64_t size = fd >= 0 && fstat(fd, &entry) == 0 ? static_cast<int64_t>(entry.st_size) : 0;
  auto byteStart = [&](int64_t q) { return static_cast<int64_t>(static_cast<__int128>(size) * q / R); };
  auto pointStart = [&](int64_t q) { return N * q / R; };

  std::vector<int64_t> none;
  std::vector<int64_t> found;
  const int64_t mine = fd >= 0 ? scanNumberStarts(fd, byteStart(r), byteStart(r + 1), none, found) : 0;
  std::vector<int64_t> counts(static_cast<size_t>(R));
  MPI_Allgather(&mine, 1, MPI_INT64_T, counts.data(), 1, MPI_INT64_T, comm.comm());
  std::vector<int64_t> before(static_cast<size_t>(R) + 1, 0);
  for (int q = 0; q < R; ++q) before[q + 1] = before[q] + counts[q];

  // Each boundary's first number, found by the rank whose bytes hold it; a
  // boundary at or past the last point is the end of the file.
  std::vector<int64_t> boundary(static_cast<size_t>(R) + 1, -1);
  std::vector<int64_t> wanted;
  std::vector<int> wantedFor;
  for (int q = 1; q < R; ++q) {
    const int64_t index = pointStart(q) * d;
    if (pointStart(q) >= N || index >= before[R]) {
      boundary[q] = size;
    } else if (before[r] <= index && index < before[r + 1]) {
      wanted.push_back(index - before[r]);
      wantedFor.push_back(q);
    }
  }
  if (!wanted.empty()) scanNumberStarts(fd, byteStart(r), byteStart(r + 1), wanted, found);
  for (size_t i = 0; i < found.size() && i < wantedFor.size(); ++i) boundary[wantedFor[i]] = found[i];
  if (fd >= 0) close(fd);
  boundary[0] = 0;
  boundary[R] = size;
  std::vector<int64_t> agreed(boundary.size());
  MPI_Allreduce(boundary.data(), agreed.data(), R + 1, MPI_INT64_T, MPI_MAX, comm.comm());
  return RankRange{agreed[r], std::max(agreed[r], agreed[r + 1]), pointStart(r), pointStart(r + 1) - pointStart(r)};
}

std::unique_ptr<PointPass> RangeFileSource::startPass(ThreadPool* pool, const KernelTable& kernels,
                                                      const char* openFailureMessage) const {
  return std::make_unique<RangePass>(path_, d_, range_, fileN_, openFailureMessage, pool ? *pool : ownPool_, kernels);
}

}  // namespace zelmor
