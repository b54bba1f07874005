#include "distributed/rank_outputs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <memory>

#include "io/float_format.h"
#include "io/text_writer.h"
#include "runtime/error.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

constexpr int64_t kCopyBlockPoints = 16384;
constexpr int64_t kCopyChunkPoints = 512;

[[noreturn]] void writeFailed(const OutputTarget& target, int error) {
  throw Error(ErrorKind::Output,
              formatMessage("Error writing %s: %s. The incomplete file was removed.\n", target.name.c_str(),
                            error != 0 ? std::strerror(error) : "write failed"),
              kExitFailure);
}

// Writes at offsets of one file, and commits it to the disk at the end.
class OffsetWriter {
 public:
  OffsetWriter(const OutputTarget& target, int64_t offset) : target_(target), offset_(offset) {
    fd_ = open(target.path.c_str(), O_WRONLY);
    if (fd_ < 0) writeFailed(target_, errno);
  }
  ~OffsetWriter() {
    if (fd_ >= 0) close(fd_);
  }
  void put(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
      const ssize_t wrote = pwrite(fd_, text.data() + done, text.size() - done, offset_);
      if (wrote <= 0) writeFailed(target_, wrote < 0 ? errno : 0);
      done += static_cast<size_t>(wrote);
      offset_ += wrote;
    }
  }
  void finish() {
    const int fd = fd_;
    fd_ = -1;
    if (fsync(fd) != 0 || close(fd) != 0) writeFailed(target_, errno);
  }

 private:
  const OutputTarget& target_;
  int64_t offset_;
  int fd_ = -1;
};

// The rank's points as the data copy's lines, a run of points at a time, in
// order; each run formatted in parallel.
void forEachCopyText(const PointSource& data, const RunControl& control,
                     const std::function<void(const std::string&)>& take) {
  const int32_t d = data.dimension();
  ThreadPool& pool = *control.pool();
  const std::unique_ptr<PointPass> pass = data.startPass(&pool, control.kernels(), "File Not Opened!");
  std::vector<float> points(static_cast<size_t>(kCopyBlockPoints) * d);
  std::vector<std::string> lines(static_cast<size_t>(kCopyBlockPoints / kCopyChunkPoints));
  for (;;) {
    const int64_t count = pass->readPoints(points.data(), kCopyBlockPoints);
    if (count == 0) break;
    const int64_t chunks = (count + kCopyChunkPoints - 1) / kCopyChunkPoints;
    pool.run(chunks, [&](int64_t c, int) {
      std::string& text = lines[c];
      text.clear();
      char number[kFixed6BufferSize];
      for (int64_t p = c * kCopyChunkPoints; p < std::min(count, (c + 1) * kCopyChunkPoints); ++p) {
        for (int32_t j = 0; j < d; ++j) {
          text.append(number, formatFixed6(points[p * d + j], number));
          text += ' ';
        }
        text += '\n';
      }
    });
    for (int64_t c = 0; c < chunks; ++c) take(lines[c]);
  }
}

}  // namespace

void createOutputFile(const OutputTarget& target, const char* openFailureMessage) {
  TextWriter out;
  if (!out.open(target)) throw Error(ErrorKind::Output, openFailureMessage, kExitFailure);
  out.close();
}

void writeInRankOrder(const Communicator& comm, const OutputTarget& target, const std::string& text) {
  int64_t total = 0;
  const int64_t offset = comm.offsetOf(static_cast<int64_t>(text.size()), total);
  comm.agreed([&] {
    OffsetWriter out(target, offset);
    out.put(text);
    out.finish();
  });
}

std::string membershipText(const std::vector<int32_t>& labels) {
  std::string text;
  text.reserve(labels.size() * 4);
  char number[24];
  for (const int32_t label : labels) {
    text.append(number, std::to_chars(number, number + sizeof number, label).ptr);
    text += '\n';
  }
  return text;
}

void writeDataCopy(const Communicator& comm, const PointSource& data, const RunControl& control,
                   const OutputTarget& target) {
  int64_t bytes = 0;
  comm.agreed([&] { forEachCopyText(data, control, [&](const std::string& text) { bytes += text.size(); }); });
  int64_t total = 0;
  const int64_t offset = comm.offsetOf(bytes, total);
  comm.agreed([&] {
    OffsetWriter out(target, offset);
    forEachCopyText(data, control, [&](const std::string& text) { out.put(text); });
    out.finish();
  });
}

}  // namespace zelmor
