// zelmor against zelmor-plain on whole runs: a fixed set of generated cases
// per family, and every stored case that once disagreed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "differential/compare.h"
#include "support/test_support.h"

namespace zelmor::differential {
namespace {

const std::string kStoredDir = std::string(ZELMOR_TEST_DATA) + "/differential";

Programs programs() { return Programs{ZELMOR_PLAIN_BINARY, ZELMOR_BINARY}; }

// Cases per family: ZELMOR_DIFFERENTIAL_CASES, or the build's default (fewer
// under the sanitizers, whose runs are several times slower).
int casesPerFamily() {
  const char* text = std::getenv("ZELMOR_DIFFERENTIAL_CASES");
  return text != nullptr && *text != '\0' ? std::atoi(text) : ZELMOR_DIFFERENTIAL_CASES;
}

class DifferentialFixedSeeds : public ::testing::TestWithParam<std::string> {};

TEST_P(DifferentialFixedSeeds, FastMatchesPlain) {
  const std::vector<std::string>& names = familyNames();
  const uint64_t runSeed = 1000 + (std::find(names.begin(), names.end(), GetParam()) - names.begin());
  for (int i = 0; i < casesPerFamily(); ++i) {
    const RunCase run = generateCase(caseSeed(runSeed, i), GetParam());
    const Verdict verdict = compareCase(run, programs());
    EXPECT_TRUE(verdict.agree) << verdict.difference << "\n  reproduce: build/tests/zelmor_differential --family "
                               << GetParam() << " --case-seed " << run.seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Families, DifferentialFixedSeeds, ::testing::ValuesIn(familyNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

std::vector<std::string> storedCases() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(kStoredDir)) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class DifferentialStored : public ::testing::TestWithParam<std::string> {};

TEST_P(DifferentialStored, FastMatchesPlain) {
  const std::string folder = kStoredDir + "/" + GetParam();
  const Verdict verdict = compareCase(loadCase(folder), programs());
  EXPECT_TRUE(verdict.agree) << verdict.difference << "\n  " << test::readFile(folder + "/about.txt");
}

INSTANTIATE_TEST_SUITE_P(Cases, DifferentialStored, ::testing::ValuesIn(storedCases()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// Every generated case is a valid run (a difference on invalid input would
// prove nothing), and a seed always gives the same case.
TEST(DifferentialGenerator, CasesAreValidAndRepeatable) {
  for (uint64_t i = 0; i < 300; ++i) {
    const RunCase run = generateCase(caseSeed(7, i));
    SCOPED_TRACE(run.family + " case " + std::to_string(run.seed));
    ASSERT_EQ(run.args.size(), 9u);
    const int K = std::stoi(run.args[1]), d = std::stoi(run.args[2]), N = std::stoi(run.args[3]);
    EXPECT_TRUE(1 <= K && K <= 60 && K <= N && N <= 5000 && 1 <= d && d <= 40);
    const int basedim = std::stoi(run.args[8]);
    EXPECT_TRUE(0 <= basedim && basedim < d && std::stoi(run.args[7]) >= 1);
    for (const auto& [text, count] : {std::pair{run.data, N * d}, std::pair{run.centres, K * d}}) {
      std::istringstream in(text);
      std::string token;
      int values = 0;
      while (in >> token) values += std::isfinite(std::strtof(token.c_str(), nullptr)) ? 1 : 1000000;
      EXPECT_EQ(values, count);
    }
    const RunCase again = generateCase(run.seed);
    EXPECT_TRUE(again.data == run.data && again.centres == run.centres && again.args == run.args);
  }
}

}  // namespace
}  // namespace zelmor::differential
