// Buffered writer of the output text files. Every write and the close are
// checked: a failure (a full disk, a file-size limit, a vanished device)
// throws an Error whose message names the file, and what was written of the
// file is thrown away first, so a truncated file never passes as complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "io/output_target.h"

namespace zelmor {

class TextWriter {
 public:
  TextWriter() = default;
  ~TextWriter();
  TextWriter(const TextWriter&) = delete;
  TextWriter& operator=(const TextWriter&) = delete;

  // Creates or empties `path` for writing. Returns false if it cannot be opened.
  bool open(const char* path);
  // Writes `target.path`; messages name the file `target.name`.
  bool open(const OutputTarget& target);
  // Opens `target.path` to write after what it holds.
  bool openToAppend(const OutputTarget& target);
  bool isOpen() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }

  // A real as "%f " (six decimals and one blank).
  void putReal(double value);
  // An integer in decimal, without separator.
  void putInt(int64_t value);
  void putChar(char c);
  void putText(const char* text);
  // `size` bytes as they are (text formatted elsewhere).
  void putBytes(const char* bytes, size_t size);

  // Flushes, commits a regular file to the disk and closes; a failure of any
  // of them throws an Error.
  void close();
  // Gives up on a file that a failing run cannot finish: closes it and throws
  // away what was written, as a failed write does.
  void abandon() { discardPartialFile(); }

 private:
  bool openWithMode(const char* path, const char* mode);
  void reserve(size_t bytes);
  void flushBuffer();
  [[noreturn]] void writeFailed(int error);
  const char* discardPartialFile();

  std::FILE* file_ = nullptr;
  std::string path_;
  std::string name_;
  std::vector<char> buffer_;
  size_t used_ = 0;
};

}  // namespace zelmor
