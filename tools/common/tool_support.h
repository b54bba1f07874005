// Plumbing shared by the companion tools: how they report a failure, and an
// output file that is thrown away when the tool fails before finishing it,
// so that a half-written file never passes as a complete one.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "io/text_writer.h"

namespace zelmor::tools {

constexpr int kExitToolFailure = 1;  // an unreadable, malformed or unwritable file, or an impossible request
constexpr int kExitToolUsage = 2;    // an unknown option, a missing or malformed value

// A failure that ends a tool; the message names the file and the problem.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "<path>: cannot be opened (<reason>)" for an errno value.
std::string openFailure(const std::string& path, int error, const char* verb = "opened");

class OutputFile {
 public:
  // Creates or empties `path`; throws ToolError when it cannot.
  explicit OutputFile(std::string path);
  // Throws the file away (as a failed write does) unless commit() has completed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  TextWriter& out() { return writer_; }
  const std::string& path() const { return path_; }
  // Flushes and closes. A failed write throws the file away and ends the
  // process (TextWriter).
  void commit();

 private:
  std::string path_;
  TextWriter writer_;
  bool committed_ = false;
};

// How a companion tool writes its numbers: "%f" (six decimals, as zelmor
// itself writes), or "%.9g" (nine significant digits, which give every float
// back exactly, however small or large its units).
enum class NumberFormat { Fixed6, Significant9 };

// Writes `count` values as one line: separated by tabs, ended by a line end,
// so that any reader of tab-separated values sees `count` columns.
void putTabbedLine(TextWriter& out, const float* values, int64_t count, NumberFormat format);

// Runs the body of a tool. A ToolError is printed on standard error as
// "<tool>: <message>" and gives the failure status; otherwise the status is 0.
int runGuarded(const char* tool, const std::function<void()>& body);

}  // namespace zelmor::tools
