#include "distributed/rank_outputs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <memory>

#include "expand/run_files.h"
#include "io/float_format.h"
#include "io/text_writer.h"
#include "runtime/error.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

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
  comm.agreed([&] { forEachDataCopyText(data, control, [&](const std::string& text) { bytes += text.size(); }); });
  int64_t total = 0;
  const int64_t offset = comm.offsetOf(bytes, total);
  comm.agreed([&] {
    OffsetWriter out(target, offset);
    forEachDataCopyText(data, control, [&](const std::string& text) { out.put(text); });
    out.finish();
  });
}

}  // namespace zelmor
