#include "io/text_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "io/float_format.h"
#include "runtime/error.h"

namespace zelmor {

namespace {
constexpr size_t kBufferBytes = size_t{1} << 16;
}

TextWriter::~TextWriter() {
  // A writer still open here belongs to a run that is ending abnormally; its
  // file is left as it is rather than completed.
  if (file_ != nullptr) std::fclose(file_);
}

bool TextWriter::open(const OutputTarget& target) {
  const bool opened = open(target.path.c_str());
  name_ = target.name;
  return opened;
}

bool TextWriter::openToAppend(const OutputTarget& target) {
  const bool opened = openWithMode(target.path.c_str(), "a");
  name_ = target.name;
  return opened;
}

bool TextWriter::open(const char* path) { return openWithMode(path, "w"); }

bool TextWriter::openWithMode(const char* path, const char* mode) {
  path_ = path;
  name_ = path;
  file_ = std::fopen(path, mode);
  if (file_ == nullptr) return false;
  buffer_.resize(kBufferBytes);
  used_ = 0;
  return true;
}

void TextWriter::reserve(size_t bytes) {
  if (used_ + bytes > buffer_.size()) flushBuffer();
}

void TextWriter::putReal(double value) {
  reserve(kFixed6BufferSize + 1);
  used_ += formatFixed6(value, buffer_.data() + used_);
  buffer_[used_++] = ' ';
}

void TextWriter::putInt(int64_t value) {
  reserve(24);
  const auto result = std::to_chars(buffer_.data() + used_, buffer_.data() + buffer_.size(), value);
  used_ = static_cast<size_t>(result.ptr - buffer_.data());
}

void TextWriter::putChar(char c) {
  reserve(1);
  buffer_[used_++] = c;
}

void TextWriter::putBytes(const char* bytes, size_t size) {
  while (size > 0) {
    reserve(1);
    const size_t take = std::min(size, buffer_.size() - used_);
    std::memcpy(buffer_.data() + used_, bytes, take);
    used_ += take;
    bytes += take;
    size -= take;
  }
}

void TextWriter::putText(const char* text) {
  for (; *text != '\0'; ++text) putChar(*text);
}

void TextWriter::flushBuffer() {
  if (used_ == 0) return;
  errno = 0;
  if (std::fwrite(buffer_.data(), 1, used_, file_) != used_) writeFailed(errno);
  used_ = 0;
}

void TextWriter::close() {
  flushBuffer();
  errno = 0;
  bool flushed = std::fflush(file_) == 0;
  int flushError = errno;
  // The file is renamed into place next: its bytes must be on the disk
  // before its name is (a device or a pipe has nothing to commit).
  struct stat entry {};
  if (flushed && fstat(fileno(file_), &entry) == 0 && S_ISREG(entry.st_mode) && fsync(fileno(file_)) != 0) {
    flushed = false;
    flushError = errno;
  }
  std::FILE* file = file_;
  file_ = nullptr;
  errno = 0;
  const bool closed = std::fclose(file) == 0;
  if (!flushed) writeFailed(flushError);
  if (!closed) writeFailed(errno);
}

// Lines cut off at a buffer boundary read like a whole, shorter file. A plain
// file (a run's temporary output) is removed; a device or a pipe written
// under its own name is left alone. Returns what became of it, for the
// message.
const char* TextWriter::discardPartialFile() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  struct stat entry {};
  if (lstat(path_.c_str(), &entry) == 0 && S_ISREG(entry.st_mode) && unlink(path_.c_str()) == 0) {
    return "The incomplete file was removed";
  }
  return "The file is incomplete";
}

void TextWriter::writeFailed(int error) {
  const char* fate = discardPartialFile();
  throw Error(ErrorKind::Output,
              formatMessage("Error writing %s: %s. %s.\n", name_.c_str(),
                            error != 0 ? std::strerror(error) : "write failed", fate),
              kExitFailure);
}

}  // namespace zelmor
