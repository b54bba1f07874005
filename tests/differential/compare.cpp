// Runs a case in a fresh folder per program and thread count (the programs
// write their files into the working folder) and names the first difference.
#include "differential/compare.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "support/test_support.h"

namespace zelmor::differential {
namespace {

using test::fileExists;
using test::readFile;

const char* const kOutputFiles[] = {"membership.txt", "output_expand.txt", "output_em.txt"};

struct Outcome {
  test::RunResult run;
  bool present[3] = {};
  std::string files[3];
};

Outcome runIn(const std::string& program, const RunCase& run, const std::string& threads, int timeoutSeconds) {
  test::TempDir dir;
  test::writeFile(dir.file("data.txt"), run.data);
  test::writeFile(dir.file("microclus.txt"), run.centres);
  test::RunOptions options;
  options.env = {"OMP_NUM_THREADS=" + threads};
  options.timeoutSeconds = timeoutSeconds;
  Outcome out;
  out.run = test::runProgramWith(program, "zelmor", run.args, dir.path(), options);
  out.run.output = test::maskTimerLines(out.run.output);
  for (int i = 0; i < 3; ++i) {
    out.present[i] = fileExists(dir.file(kOutputFiles[i]));
    if (out.present[i]) out.files[i] = readFile(dir.file(kOutputFiles[i]));
  }
  return out;
}

std::string clip(const std::string& line) { return "'" + (line.size() > 60 ? line.substr(0, 60) + "..." : line) + "'"; }

// "line L: 'fast' against 'plain'" at the first line that differs.
std::string firstDifference(const std::string& fast, const std::string& plain) {
  const std::vector<std::string> a = test::splitLines(fast), b = test::splitLines(plain);
  size_t line = 0;
  while (line < a.size() && line < b.size() && a[line] == b[line]) ++line;
  const std::string left = line < a.size() ? clip(a[line]) : "(end)";
  const std::string right = line < b.size() ? clip(b[line]) : "(end)";
  return "line " + std::to_string(line + 1) + ": " + left + " against plain " + right;
}

std::string describe(const Outcome& fast, const Outcome& plain) {
  if (fast.run.timedOut) return "timed out";
  if (fast.run.status != plain.run.status) {
    return "exit status " + std::to_string(fast.run.status) + ", plain " + std::to_string(plain.run.status);
  }
  if (fast.run.output != plain.run.output)
    return "console output, " + firstDifference(fast.run.output, plain.run.output);
  for (int i = 0; i < 3; ++i) {
    const std::string name = kOutputFiles[i];
    if (fast.present[i] != plain.present[i]) return name + (fast.present[i] ? " written" : " missing") + ", plain not";
    if (fast.files[i] != plain.files[i]) return name + ", " + firstDifference(fast.files[i], plain.files[i]);
  }
  return "";
}

}  // namespace

Verdict compareCase(const RunCase& run, const Programs& programs) {
  Verdict verdict;
  const Outcome plain = runIn(programs.plain, run, "1", programs.timeoutSeconds);
  if (plain.run.timedOut) {
    verdict.plainTimedOut = true;
    return verdict;
  }
  for (const std::string& threads : programs.threads) {
    const std::string difference = describe(runIn(programs.fast, run, threads, programs.timeoutSeconds), plain);
    if (!difference.empty()) {
      verdict.agree = false;
      verdict.difference = threads + " thread(s): " + difference;
      return verdict;
    }
  }
  return verdict;
}

void storeCase(const RunCase& run, const std::string& folder, const std::string& about) {
  std::filesystem::create_directories(folder);
  test::writeFile(folder + "/data.txt", run.data);
  test::writeFile(folder + "/microclus.txt", run.centres);
  std::string args;
  for (const std::string& arg : run.args) args += arg + "\n";
  test::writeFile(folder + "/args.txt", args);
  test::writeFile(folder + "/about.txt", about + "\n");
}

RunCase loadCase(const std::string& folder) {
  RunCase run;
  run.family = "stored";
  run.data = readFile(folder + "/data.txt");
  run.centres = readFile(folder + "/microclus.txt");
  run.args = test::splitLines(readFile(folder + "/args.txt"));
  if (run.args.size() != 9) throw std::runtime_error(folder + "/args.txt: nine lines expected");
  return run;
}

}  // namespace zelmor::differential
