// Whole runs on data that is legal but degenerate (identical points, fewer
// points than dimensions, duplicate or far-away centres, a constant dimension,
// huge and tiny magnitudes) and on input that is not data at all. Each run
// must end, in time, either complete and self-consistent or with a message.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zelmor::test {
namespace {

constexpr int kStatusInvalid = 255;
constexpr int kStatusFailure = 1;
constexpr int kTimeoutSeconds = 30;

const char* const kLowCoverage =
    "The data coverage of microclusters is below 95% of the data.\n"
    "A smaller data range is required or microclusters need to be resampled.\n";

std::vector<std::vector<double>> parseRows(const std::string& text) {
  std::vector<std::vector<double>> rows;
  for (const std::string& line : splitLines(text)) {
    std::istringstream in(line);
    std::vector<double> row;
    std::string token;
    while (in >> token) row.push_back(std::strtod(token.c_str(), nullptr));
    rows.push_back(row);
  }
  return rows;
}

struct Outcome {
  RunResult run;
  std::vector<std::vector<double>> membership, expand, em;  // parsed rows
  std::string files;                                        // all three, for text checks
};

class Degenerate : public ::testing::Test {
 protected:
  Outcome run(const std::string& data, const std::string& centres, int K, int d, int N, int maxLoop = 30,
              const std::string& epsCoshare = "0.5") {
    for (const char* name : {"membership.txt", "output_expand.txt", "output_em.txt"}) {
      std::remove(dir.file(name).c_str());
    }
    writeFile(dir.file("data.txt"), data);
    writeFile(dir.file("microclus.txt"), centres);
    RunOptions options;
    options.timeoutSeconds = kTimeoutSeconds;
    Outcome outcome;
    outcome.run = runZelmorWith({"data.txt", std::to_string(K), std::to_string(d), std::to_string(N), "0.001",
                                 epsCoshare, "microclus.txt", std::to_string(maxLoop), "0"},
                                dir.path(), options);
    EXPECT_FALSE(outcome.run.timedOut) << "the run did not end within " << kTimeoutSeconds << " s";
    for (const char* name : {"membership.txt", "output_expand.txt", "output_em.txt"}) {
      outcome.files += readFile(dir.file(name));
    }
    outcome.membership = parseRows(readFile(dir.file("membership.txt")));
    outcome.expand = parseRows(readFile(dir.file("output_expand.txt")));
    outcome.em = parseRows(readFile(dir.file("output_em.txt")));
    return outcome;
  }

  // A completed run: status 0 and three files that agree with each other.
  void expectComplete(const Outcome& o, int K, int d, int N) {
    ASSERT_EQ(o.run.status, 0) << o.run.output;
    ASSERT_EQ(o.membership.size(), static_cast<size_t>(N));
    for (const auto& row : o.membership) {
      ASSERT_EQ(row.size(), 1u);
      EXPECT_TRUE(row[0] >= -1 && row[0] < K) << row[0];
    }
    ASSERT_EQ(o.expand.size(), static_cast<size_t>(K));
    ASSERT_EQ(o.em.size(), static_cast<size_t>(N + K));
    std::set<double> indices;
    for (int r = 0; r < K; ++r) {
      const auto& record = o.expand[r];
      ASSERT_EQ(record.size(), static_cast<size_t>(2 + d * d));
      indices.insert(record[1]);
      const auto& line = o.em[N + r];
      ASSERT_EQ(line.size(), static_cast<size_t>(2 * d + 1));
      EXPECT_EQ(line.back(), record[1]) << "the final output follows the expansion order";
    }
    EXPECT_EQ(indices.size(), static_cast<size_t>(K));
    EXPECT_EQ(o.files.find("nan"), std::string::npos);
    EXPECT_EQ(o.files.find("inf"), std::string::npos);
  }

  // The mean of microcluster k as the final output holds it.
  std::vector<double> meanOf(const Outcome& o, int k, int d, int N) {
    for (size_t r = N; r < o.em.size(); ++r) {
      if (o.em[r].back() == k) return std::vector<double>(o.em[r].begin(), o.em[r].begin() + d);
    }
    return {};
  }

  TempDir dir;
};

std::string repeatLine(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += line + "\n";
  return text;
}

TEST_F(Degenerate, AllPointsIdentical) {
  const Outcome o = run(repeatLine("1.5 -2.5", 50), "1.5 -2.5\n0 0\n", 2, 2, 50);
  expectComplete(o, 2, 2, 50);
  // Both microclusters end on the point, and every point goes to the same one.
  for (const auto& row : o.membership) EXPECT_EQ(row[0], o.membership[0][0]);
  EXPECT_EQ(meanOf(o, 0, 2, 50), (std::vector<double>{1.5, -2.5}));
  EXPECT_EQ(meanOf(o, 1, 2, 50), (std::vector<double>{1.5, -2.5}));
}

TEST_F(Degenerate, FewerPointsThanDimensions) {
  // Two points in five dimensions leave every covariance singular: no
  // microcluster keeps a density, and the run says so.
  const Outcome o = run("1 2 3 4 5\n2 3 4 5 6\n", "1 2 3 4 5\n", 1, 5, 2);
  EXPECT_EQ(o.run.status, kStatusInvalid);
  EXPECT_TRUE(o.run.output.size() >= std::string(kLowCoverage).size() &&
              o.run.output.substr(o.run.output.size() - std::string(kLowCoverage).size()) == kLowCoverage)
      << o.run.output;
  EXPECT_FALSE(fileExists(dir.file("membership.txt")));
  EXPECT_FALSE(fileExists(dir.file("output_em.txt")));
}

TEST_F(Degenerate, DuplicateCentres) {
  const Outcome o = run(blobPoints(100, 2, 1), "0 0\n0 0\n0 0\n", 3, 2, 100);
  expectComplete(o, 3, 2, 100);
  // Identical starts stay identical: same mean, same orientation.
  EXPECT_EQ(meanOf(o, 0, 2, 100), meanOf(o, 1, 2, 100));
  EXPECT_EQ(meanOf(o, 0, 2, 100), meanOf(o, 2, 2, 100));
  for (int r = 1; r < 3; ++r) {
    EXPECT_EQ(std::vector<double>(o.expand[r].begin() + 2, o.expand[r].end()),
              std::vector<double>(o.expand[0].begin() + 2, o.expand[0].end()));
  }
}

TEST_F(Degenerate, CentreFarFromEveryPoint) {
  {
    const Outcome o = run(blobPoints(100, 2, 1), "0 0\n1e6 1e6\n", 2, 2, 100);
    expectComplete(o, 2, 2, 100);
    // No point reaches the far microcluster: it keeps its start.
    for (const auto& row : o.membership) EXPECT_EQ(row[0], 0);
    EXPECT_EQ(meanOf(o, 1, 2, 100), (std::vector<double>{1e6, 1e6}));
  }
  {
    // Every centre far away: nothing is covered.
    const Outcome o = run(blobPoints(100, 2, 1), "1e6 1e6\n-1e6 5\n", 2, 2, 100);
    EXPECT_EQ(o.run.status, kStatusInvalid);
    EXPECT_NE(o.run.output.find("Data Coverage of microclusters: 0.00\n"), std::string::npos);
    EXPECT_FALSE(fileExists(dir.file("membership.txt")));
  }
}

TEST_F(Degenerate, ConstantDimension) {
  std::string data;
  const std::string blobs = blobPoints(100, 2, 2);
  for (const std::string& line : splitLines(blobs))
    data += line.substr(0, line.find('\t')) + "\t7\t" + line.substr(line.find('\t') + 1) + "\n";
  const Outcome o = run(data, "0 7 0\n6 7 6\n", 2, 3, 100);
  expectComplete(o, 2, 3, 100);
  for (int k = 0; k < 2; ++k) EXPECT_EQ(meanOf(o, k, 3, 100)[1], 7.0);
}

TEST_F(Degenerate, HugeAndTinyMagnitudes) {
  {
    // Spread over 1e30: no point is within reach of a unit covariance.
    std::string data;
    for (const std::string& line : splitLines(blobPoints(100, 2, 2))) {
      const auto rows = parseRows(line)[0];
      data += std::to_string(rows[0]) + "e30 " + std::to_string(rows[1]) + "e30\n";
    }
    const Outcome o = run(data, "0 0\n6e30 6e30\n", 2, 2, 100);
    EXPECT_EQ(o.run.status, kStatusInvalid) << o.run.output;
    EXPECT_NE(o.run.output.find(kLowCoverage), std::string::npos);
  }
  {
    // Identical points at 1e30 with the centre on them: the mean, a float sum
    // divided by the weight, lands some float steps (each about 1e23) off the
    // point, and a covariance at its floor of 0.001 puts every point out of
    // reach in the second iteration.
    const Outcome o = run(repeatLine("1e30 -1e30", 40), "1e30 -1e30\n", 1, 2, 40);
    EXPECT_EQ(o.run.status, kStatusInvalid) << o.run.output;
    EXPECT_NE(o.run.output.find("2th iteration ...\n\nData Coverage of microclusters: 0.00\n"), std::string::npos);
  }
  {
    // Spread over 1e-30: one microcluster takes everything.
    std::string data;
    for (const std::string& line : splitLines(blobPoints(100, 2, 2))) {
      const auto rows = parseRows(line)[0];
      data += std::to_string(rows[0]) + "e-30 " + std::to_string(rows[1]) + "e-30\n";
    }
    const Outcome o = run(data, "0 0\n6e-30 6e-30\n", 2, 2, 100);
    expectComplete(o, 2, 2, 100);
  }
}

TEST_F(Degenerate, NonFiniteValuesAreRefusedWithTheirPlace) {
  const std::string lines = blobPoints(4, 2, 2);
  for (const char* bad : {"inf", "-inf", "nan", "-nan", "infinity", "1e39", "-3.5e38"}) {
    SCOPED_TRACE(bad);
    std::string data = lines + "1.0 " + bad + "\n";
    const Outcome o = run(data, "0 0\n6 6\n", 2, 2, 5);
    EXPECT_EQ(o.run.status, kStatusFailure);
    EXPECT_NE(o.run.output.find("Error in datafile data.txt: point 5 of 5, value 2 of 2 (line 5): \"" +
                                std::string(bad) + "\" is not a finite number.\n"),
              std::string::npos)
        << o.run.output;
    EXPECT_FALSE(fileExists(dir.file("output_em.txt")));
  }
  // Values too small for a float read as zero, as the C conversion reads them.
  const Outcome tiny = run(lines + "1e-50 -1e-50\n", "0 0\n6 6\n", 2, 2, 5);
  expectComplete(tiny, 2, 2, 5);
  EXPECT_EQ(tiny.em[4], (std::vector<double>{0.0, 0.0}));
}

TEST_F(Degenerate, SinglePointAndMoreCentresThanPoints) {
  const Outcome one = run("3.25\n", "3.25\n", 1, 1, 1);
  expectComplete(one, 1, 1, 1);
  const Outcome more = run(blobPoints(3, 2, 3), blobCentres(2, 5), 5, 2, 3);
  expectComplete(more, 5, 2, 3);
}

TEST_F(Degenerate, InputThatIsNoDataIsRefused) {
  struct Case {
    std::string data;
    std::string message;
  };
  std::string garbage;
  for (int i = 0; i < 3000; ++i) garbage += static_cast<char>((i * 7919 + 13) % 256);
  const std::vector<Case> cases = {
      {garbage, "Error in datafile data.txt: point 1 of 10, value 1 of 2 (line 1): \""},
      {std::string(100000, '7') + "\n", "(line 1): \"7777777777777777777777777777777777777777...\" is not a number.\n"},
      {std::string("1 2\n3\0 4\n", 9), "point 2 of 10, value 1 of 2 (line 2): \"3"},
      {" \n\t\n  \n", "Error in datafile data.txt: it holds 0 points, but #data is 10.\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = run(c.data, "0 0\n6 6\n", 2, 2, 10);
    EXPECT_EQ(o.run.status, kStatusFailure);
    EXPECT_NE(o.run.output.find(c.message), std::string::npos) << o.run.output;
    EXPECT_FALSE(fileExists(dir.file("output_em.txt")));
  }
}

}  // namespace
}  // namespace zelmor::test
