// Failure reporting and guarded output files of the companion tools.
#include "common/tool_support.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "io/float_format.h"
#include "runtime/error.h"

namespace zelmor::tools {

std::string openFailure(const std::string& path, int error, const char* verb) {
  return path + ": cannot be " + verb + " (" + (error != 0 ? std::strerror(error) : "unknown reason") + ")";
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  errno = 0;
  if (!writer_.open(path_.c_str())) throw ToolError(openFailure(path_, errno, "created"));
}

OutputFile::~OutputFile() {
  if (!committed_) writer_.abandon();
}

void OutputFile::commit() {
  writer_.close();
  committed_ = true;
}

void putTabbedLine(TextWriter& out, const float* values, int64_t count, NumberFormat format) {
  char text[kFixed6BufferSize + 1];
  for (int64_t j = 0; j < count; ++j) {
    if (j > 0) out.putChar('\t');
    if (format == NumberFormat::Fixed6) {
      out.putBytes(text, formatFixed6(values[j], text));
    } else {
      std::snprintf(text, sizeof text, "%.9g", static_cast<double>(values[j]));
      out.putText(text);
    }
  }
  out.putChar('\n');
}

int runGuarded(const char* tool, const std::function<void()>& body) {
  try {
    body();
  } catch (const ToolError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", tool, error.what());
    return kExitToolFailure;
  } catch (const Error& error) {
    // The library's messages (a failed write) end in a line end of their own.
    std::string message = error.what();
    while (!message.empty() && message.back() == '\n') message.pop_back();
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", tool, message.c_str());
    return kExitToolFailure;
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: out of memory\n", tool);
    return kExitToolFailure;
  }
  return 0;
}

}  // namespace zelmor::tools
