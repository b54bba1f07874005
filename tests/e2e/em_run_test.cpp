// Whole runs that exercise the EM loop: the data file's problems, runs in
// which no iteration happens, and a microcluster whose covariance turns
// singular.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zelmor::test {
namespace {

constexpr int kStatusInvalid = 255;
constexpr int kStatusFailure = 1;

// Two well separated blobs of n/2 points each in two dimensions.
std::string twoBlobs(int n = 40) {
  std::string data;
  for (int i = 0; i < n; ++i) {
    const double cx = (i % 2) * 6.0;
    data += std::to_string(cx + 0.3 * std::sin(i * 1.7)) + "\t" + std::to_string(cx + 0.3 * std::cos(i * 2.3)) + "\n";
  }
  return data;
}

std::vector<std::string> runArgs(const std::string& N, const std::string& maxLoop = "5",
                                 const std::string& epsLike = "0.001") {
  return {"data.txt", "2", "2", N, epsLike, "0.5", "microclus.txt", maxLoop, "0"};
}

class EmRun : public ::testing::Test {
 protected:
  void SetUp() override { writeFile(dir.file("microclus.txt"), "0 0\n6 6\n"); }
  RunResult run(const std::string& data, const std::vector<std::string>& args) {
    writeFile(dir.file("data.txt"), data);
    return runZelmor(args, dir.path());
  }
  TempDir dir;
};

TEST_F(EmRun, CompletesOnWellFormedData) {
  const RunResult result = run(twoBlobs(), runArgs("40"));
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("1th iteration ...\n2th iteration ...\n"), std::string::npos);
  EXPECT_NE(result.output.find("Data Coverage of microclusters: 40.00\n"), std::string::npos);
  EXPECT_EQ(splitLines(readFile(dir.file("membership.txt"))).size(), 40u);
}

TEST_F(EmRun, DataFileProblemsNameTheFileAndThePoint) {
  struct Case {
    std::string data;
    std::string N;
    std::string message;
  };
  const std::string blobs = twoBlobs();
  const std::vector<Case> cases = {
      {blobs, "41", "Error in datafile data.txt: it holds 40 points, but #data is 41.\n"},
      {blobs, "39", "Error in datafile data.txt: it holds more than the 39 points given as #data (line 40 has more).\n"},
      {"", "3", "Error in datafile data.txt: it holds 0 points, but #data is 3.\n"},
      {"1 2\n3 4\n5\n", "3", "Error in datafile data.txt: the file ends inside point 3 of 3, value 2 of 2 (line 3).\n"},
      {"1 2\n3 four\n5 6\n", "3",
       "Error in datafile data.txt: point 2 of 3, value 2 of 2 (line 2): \"four\" is not a number.\n"},
      {"1 2\n3 4\nnan 6\n", "3",
       "Error in datafile data.txt: point 3 of 3, value 1 of 2 (line 3): \"nan\" is not a finite number.\n"},
      {"1 2\n3 4\n5 -inf\n", "3",
       "Error in datafile data.txt: point 3 of 3, value 2 of 2 (line 3): \"-inf\" is not a finite number.\n"},
  };
  for (const Case& c : cases) {
    const RunResult result = run(c.data, runArgs(c.N));
    EXPECT_EQ(result.status, kStatusFailure) << c.message;
    const std::string tail = result.output.substr(result.output.rfind("1th iteration ...\n") + 18);
    EXPECT_EQ(tail, c.message);
    EXPECT_FALSE(fileExists(dir.file("membership.txt")));
    EXPECT_FALSE(fileExists(dir.file("output_em.txt")));
  }
}

TEST_F(EmRun, MissingDataFile) {
  const RunResult result = runZelmor(runArgs("40"), dir.path());
  EXPECT_EQ(result.status, kStatusFailure);
  EXPECT_EQ(result.output.substr(result.output.size() - 38), "1th iteration ...\ndatafile not opened!");
}

TEST_F(EmRun, NoIterationMeansNoPointIsReached) {
  for (const auto& args : {runArgs("40", "0"), runArgs("40", "5", "100000")}) {
    const RunResult result = run(twoBlobs(), args);
    EXPECT_EQ(result.status, kStatusInvalid);
    EXPECT_NE(result.output.find("EMClustering ......\n\nData Coverage of microclusters: 0.00\n\n"
                                 "The data coverage of microclusters is below 95% of the data.\n"),
              std::string::npos)
        << result.output;
    EXPECT_FALSE(fileExists(dir.file("membership.txt")));
  }
}

TEST_F(EmRun, SingularCovarianceLeavesTheOtherMicroclustersAlone) {
  // 80 blob points plus one microcluster fed only by three points on the
  // line y = x: its covariance becomes singular after the first M-step.
  std::string data = twoBlobs(80);
  for (int i = 0; i < 3; ++i) data += std::to_string(20 + i) + "\t" + std::to_string(20 + i) + "\n";
  writeFile(dir.file("microclus.txt"), "0 0\n6 6\n21 21\n");
  writeFile(dir.file("data.txt"), data);
  const RunResult result =
      runZelmor({"data.txt", "3", "2", "83", "0.001", "0.5", "microclus.txt", "4", "0"}, dir.path());
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("Data Coverage of microclusters: 80.00\n"), std::string::npos) << result.output;
  const std::vector<std::string> membership = splitLines(readFile(dir.file("membership.txt")));
  ASSERT_EQ(membership.size(), 83u);
  EXPECT_EQ(membership[0], "0");
  EXPECT_EQ(membership[1], "1");
  EXPECT_EQ(membership[82], "-1");
}

}  // namespace
}  // namespace zelmor::test
