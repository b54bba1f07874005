// Whole runs compared byte for byte with stored results: exit status, console
// output (timer lines masked) and the three output files, including whether
// each exists.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zelmor::test {
namespace {

const std::string kCasesDir = std::string(ZELMOR_TEST_DATA) + "/golden";

std::vector<std::string> caseNames() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(kCasesDir)) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> readArgs(const std::string& caseDir) {
  std::vector<std::string> args = splitLines(readFile(caseDir + "/args.txt"));
  return args;
}

class GoldenCase : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenCase, MatchesStoredRun) {
  const std::string caseDir = kCasesDir + "/" + GetParam();
  TempDir dir;
  copyFile(caseDir + "/data.txt", dir.file("data.txt"));
  copyFile(caseDir + "/microclus.txt", dir.file("microclus.txt"));

  const RunResult run = runZelmor(readArgs(caseDir), dir.path());

  const std::string expected = caseDir + "/expected/";
  EXPECT_EQ(run.status, std::stoi(readFile(expected + "exit_status")));
  EXPECT_EQ(maskTimerLines(run.output), readFile(expected + "stdout.txt"));
  for (const char* name : {"membership.txt", "output_expand.txt", "output_em.txt"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(fileExists(dir.file(name)), fileExists(expected + name));
    if (fileExists(expected + name)) {
      EXPECT_TRUE(readFile(dir.file(name)) == readFile(expected + name));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenCase, ::testing::ValuesIn(caseNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
}  // namespace zelmor::test
