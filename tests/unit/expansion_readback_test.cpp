// Reading back the expansion file's records for the final output: what a
// record yields, which records are refused, and that non-finite orientation
// numbers written by the expansion come back instead of stopping the run.
#include "expand/expansion_readback.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "io/number_scanner.h"

namespace zelmor {
namespace {

struct ReadBack {
  std::vector<RecordProblem> problems;
  std::vector<int64_t> clusters;
  std::vector<std::vector<float>> principals;
};

// Reads up to K records of d dimensions, stopping at the first problem.
ReadBack readAll(const std::string& text, int32_t d, int32_t K) {
  NumberScanner in;
  in.openText(text);
  std::vector<bool> seen(static_cast<size_t>(K), false);
  ReadBack result;
  for (int32_t r = 0; r < K; ++r) {
    int64_t cluster = -1;
    std::vector<float> principal(static_cast<size_t>(d), -7.0f);
    const RecordProblem problem = readExpansionRecord(in, d, K, seen, cluster, principal.data());
    result.problems.push_back(problem);
    if (problem != RecordProblem::None) break;
    result.clusters.push_back(cluster);
    result.principals.push_back(principal);
  }
  return result;
}

TEST(ExpansionReadback, KeepsTheLastDNumbersOfEachRecordInFileOrder) {
  const ReadBack got = readAll(
      "-1.000000 2 1.0 2.0 3.0 4.0 \n"
      "0.500000 0 5.0 6.0\n7.0 8.0 \n"  // line ends may stand anywhere
      "-1.000000 1 9 10 11 12\n",
      2, 3);
  EXPECT_EQ(got.problems, std::vector<RecordProblem>(3, RecordProblem::None));
  EXPECT_EQ(got.clusters, (std::vector<int64_t>{2, 0, 1}));
  EXPECT_EQ(got.principals, (std::vector<std::vector<float>>{{3, 4}, {7, 8}, {11, 12}}));

  // d = 1: nothing is skipped.
  const ReadBack one = readAll("-1.000000 0 255.000000 \n", 1, 1);
  EXPECT_EQ(one.principals, (std::vector<std::vector<float>>{{255}}));
}

TEST(ExpansionReadback, NonFiniteOrientationNumbersComeBackAsWritten) {
  // "%f" writes a covariance's non-finite eigenvector as nan, -nan or inf;
  // the final output copies them as the C conversion reads them.
  const ReadBack got = readAll("-1.000000 0 nan -nan inf -inf \n0.3 1 1e39 0 -nan nan\n", 2, 2);
  ASSERT_EQ(got.problems, std::vector<RecordProblem>(2, RecordProblem::None));
  EXPECT_TRUE(std::isinf(got.principals[0][0]) && got.principals[0][0] > 0);
  EXPECT_TRUE(std::isinf(got.principals[0][1]) && got.principals[0][1] < 0);
  EXPECT_TRUE(std::isnan(got.principals[1][0]) && std::signbit(got.principals[1][0]));
  EXPECT_TRUE(std::isnan(got.principals[1][1]));
}

TEST(ExpansionReadback, RecordsThatNameNoUsableMicroclusterAreRefused) {
  struct Case {
    std::string text;
    int32_t d, K;
    RecordProblem last;
  };
  for (const Case& c : std::vector<Case>{
           {"", 2, 1, RecordProblem::Unreadable},
           {"-1.0 x 1 2 3 4", 2, 1, RecordProblem::Unreadable},
           {"-1.0 nan 1 2 3 4", 2, 1, RecordProblem::Unreadable},
           {"-1.0 3 1 2 3 4", 2, 3, RecordProblem::NoCluster},
           {"-1.0 -1 1 2 3 4", 2, 3, RecordProblem::NoCluster},
           {"-1.0 1.5 1 2 3 4", 2, 3, RecordProblem::NoCluster},
           {"-1.0 1e30 1 2 3 4", 2, 3, RecordProblem::NoCluster},  // too large for any integer type
           {"-1.0 1 1 2 3 4 -1.0 1 1 2 3 4", 2, 3, RecordProblem::Repeated},
           {"-1.0 0 1 2 3", 2, 1, RecordProblem::TooShort},
           {"-1.0 0 1 2 3 x", 2, 1, RecordProblem::TooShort},
       }) {
    SCOPED_TRACE(c.text);
    const ReadBack got = readAll(c.text, c.d, c.K);
    EXPECT_EQ(got.problems.back(), c.last);
  }
  EXPECT_STREQ(describeRecordProblem(RecordProblem::Unreadable), "cannot be read");
  EXPECT_STREQ(describeRecordProblem(RecordProblem::NoCluster), "names no microcluster");
  EXPECT_STREQ(describeRecordProblem(RecordProblem::Repeated), "repeats a microcluster");
  EXPECT_STREQ(describeRecordProblem(RecordProblem::TooShort), "is too short");
}

}  // namespace
}  // namespace zelmor
