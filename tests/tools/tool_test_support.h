// Helpers of the companion-tool tests: running a tool with its standard error
// captured too, and checking an SVG document with xmllint.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

namespace zelmor::test {

// Runs `binary` with `args` in `cwd`; output holds standard output and standard error.
RunResult runTool(const std::string& binary, const std::vector<std::string>& args, const std::string& cwd);

// The path of xmllint, or empty when it is not installed.
std::string findXmllint();

// How often `needle` occurs in `text`.
size_t countOf(const std::string& text, const std::string& needle);

}  // namespace zelmor::test
