// Running the tools through the shell, so that standard error is captured.
#include "tool_test_support.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace zelmor::test {

RunResult runTool(const std::string& binary, const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> shellArgs{"-c", "exec \"$0\" \"$@\" 2>&1", binary};
  shellArgs.insert(shellArgs.end(), args.begin(), args.end());
  return runProgram("/bin/sh", "sh", shellArgs, cwd);
}

std::string findXmllint() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::filesystem::path candidate = std::filesystem::path(dir) / "xmllint";
    if (!dir.empty() && std::filesystem::exists(candidate)) return candidate.string();
  }
  return "";
}

size_t countOf(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
  return count;
}

}  // namespace zelmor::test
