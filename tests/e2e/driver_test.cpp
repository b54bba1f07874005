// The command line as a user meets it: usage text, parameter report, argument
// checks, the run timer's lines, and the microcluster file's problems.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zelmor::test {
namespace {

constexpr int kStatusUsage = 254;    // -2
constexpr int kStatusInvalid = 255;  // -1
constexpr int kStatusFailure = 1;

std::vector<std::string> argsFor(const std::string& K, const std::string& d, const std::string& N,
                                 const std::string& basedim, const std::string& epsLike = "0.001") {
  return {"data.txt", K, d, N, epsLike, "1.0", "microclus.txt", "0", basedim};
}

std::string reportUpToMaxLoop(const std::string& K, const std::string& d, const std::string& N,
                              const std::string& epsLike = "0.001000") {
  return "\n Current Parameter Setting of Zelmor: \ndatafile: data.txt \n#cluster: " + K + " \n#dimesion: " + d +
         " \n#data: " + N + " \nepsilon_likelihood: " + epsLike +
         " \nepsilon_coshare: 1.000000 \nmicroclus file: microclus.txt\nMaxLoopNum: 0\n";
}

TEST(Usage, WrongArgumentCountPrintsUsageOnly) {
  TempDir dir;
  const RunResult none = runZelmor({}, dir.path());
  EXPECT_EQ(none.status, kStatusUsage);
  const std::string firstLine =
      " Command Format: zelmor <datafile> <#cluster> <#dimension> <#data> <epsilon_likelihood> <epsilon_coshare> "
      "<microclus file> <MaxLoopNum> <basedim>\n\n";
  ASSERT_EQ(none.output.substr(0, firstLine.size()), firstLine);
  EXPECT_NE(none.output.find("\nmicroclus file:     the microcluser file.\n"), std::string::npos);
  EXPECT_EQ(none.output.substr(none.output.size() - 3), ".\n\n");
  EXPECT_EQ(splitLines(none.output).size(), 13u);

  std::vector<std::string> ten = argsFor("3", "2", "10", "0");
  ten.push_back("extra");
  const RunResult eleven = runZelmor(ten, dir.path());
  EXPECT_EQ(eleven.status, kStatusUsage);
  EXPECT_EQ(eleven.output, none.output);
}

TEST(Basedim, OutOfRangeStopsAfterTheReport) {
  TempDir dir;
  const RunResult equalToD = runZelmor(argsFor("3", "3", "30", "3"), dir.path());
  EXPECT_EQ(equalToD.status, kStatusInvalid);
  EXPECT_EQ(equalToD.output, reportUpToMaxLoop("3", "3", "30") +
                                 "Error in basedim value!\nbasedim should be in the range of [0,2].\n");

  const RunResult negative = runZelmor(argsFor("3", "3", "30", "-1"), dir.path());
  EXPECT_EQ(negative.status, kStatusInvalid);
  EXPECT_NE(negative.output.find("Error in basedim value!\n"), std::string::npos);

  const RunResult zeroD = runZelmor(argsFor("3", "0", "30", "0"), dir.path());
  EXPECT_EQ(zeroD.status, kStatusInvalid);
  EXPECT_NE(zeroD.output.find("basedim should be in the range of [0,-1].\n"), std::string::npos);
}

TEST(Arguments, EveryNumberIsReadWhole) {
  struct Case {
    size_t position;  // index into argsFor's list
    std::string text;
    std::string message;
  };
  const std::string floats = " is not a real number in the range [-3.40282e+38,3.40282e+38].\n";
  const std::vector<Case> cases = {
      {1, "5.5", "Error in #cluster value: \"5.5\" is not a whole number in the range [1,32767].\n"},
      {1, "12abc", "Error in #cluster value: \"12abc\" is not a whole number in the range [1,32767].\n"},
      {2, " 3", "Error in #dimension value: \" 3\" is not a whole number in the range [1,32767].\n"},
      {3, "1e3", "Error in #data value: \"1e3\" is not a whole number in the range [1,2147483647].\n"},
      {3, "99999999999999999999",
       "Error in #data value: \"99999999999999999999\" is not a whole number in the range [1,2147483647].\n"},
      {4, "abc", "Error in epsilon_likelihood value: \"abc\"" + floats},
      {4, "", "Error in epsilon_likelihood value: \"\"" + floats},
      {4, "nan", "Error in epsilon_likelihood value: \"nan\"" + floats},
      {5, "1e39", "Error in epsilon_coshare value: \"1e39\"" + floats},
      {5, "0x10", "Error in epsilon_coshare value: \"0x10\"" + floats},
      {7, "99999999999999999999",
       "Error in MaxLoopNum value: \"99999999999999999999\" is not a whole number in the range [0,2147483647].\n"},
      {7, "-1", "Error in MaxLoopNum value: \"-1\" is not a whole number in the range [0,2147483647].\n"},
      {7, "2147483648",
       "Error in MaxLoopNum value: \"2147483648\" is not a whole number in the range [0,2147483647].\n"},
      {8, "3abc", "Error in basedim value: \"3abc\" is not a whole number in the range [0,1].\n"},
      {8, "4294967296", "Error in basedim value: \"4294967296\" is not a whole number in the range [0,1].\n"},
      {8, "x", "Error in basedim value: \"x\" is not a whole number in the range [0,1].\n"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> args = argsFor("3", "2", "10", "0");
    args[c.position] = c.text;
    const RunResult run = runZelmor(args, dir.path());
    EXPECT_EQ(run.status, kStatusInvalid);
    ASSERT_GE(run.output.size(), c.message.size());
    EXPECT_EQ(run.output.substr(run.output.size() - c.message.size()), c.message) << run.output;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  // Signs, exponents and the fraction forms of reals are numbers; the run
  // goes on to the missing microcluster file.
  const RunResult run = runZelmor({"data.txt", "+3", "2", "10", "1e-3", "-.5", "microclus.txt", "+0", "1"}, dir.path());
  EXPECT_EQ(run.status, kStatusFailure);
  EXPECT_NE(run.output.find("#cluster: 3 \n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("epsilon_likelihood: 0.001000 \nepsilon_coshare: -0.500000 \n"), std::string::npos);
  EXPECT_NE(run.output.find("basedim: 1\n"), std::string::npos);
}

TEST(Arguments, CountsOutsideTheArraysAreRejectedBeforeTheTimer) {
  TempDir dir;
  for (const auto& [args, label] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {argsFor("0", "2", "10", "0"), "#cluster"},
           {argsFor("32768", "2", "10", "0"), "#cluster"},
           {argsFor("3", "2", "0", "0"), "#data"},
           {argsFor("3", "32768", "10", "0"), "#dimension"}}) {
    const RunResult run = runZelmor(args, dir.path());
    EXPECT_EQ(run.status, kStatusInvalid) << label;
    EXPECT_NE(run.output.find("Error in " + label + " value"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("start time"), std::string::npos);
  }
}

TEST(MicroclusterFile, MissingFileIsAFailure) {
  TempDir dir;
  const RunResult run = runZelmor(argsFor("3", "2", "10", "1"), dir.path());
  EXPECT_EQ(run.status, kStatusFailure);
  const std::regex shape(
      "basedim: 1\nstart time: [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n\n"
      "microclus file Not Opened!$");
  EXPECT_TRUE(std::regex_search(run.output, shape)) << run.output;
  EXPECT_FALSE(fileExists(dir.file("output_em.txt")));
}

TEST(MicroclusterFile, ShortOrMalformedFilesNameTheProblem) {
  TempDir dir;
  writeFile(dir.file("microclus.txt"), "1 2\n3\n");
  RunResult run = runZelmor(argsFor("2", "2", "10", "0"), dir.path());
  EXPECT_EQ(run.status, kStatusFailure);
  EXPECT_NE(run.output.find("Error in microclus file microclus.txt: the file ends before microcluster 2 of 2, "
                            "component 2 of 2"),
            std::string::npos)
      << run.output;

  writeFile(dir.file("microclus.txt"), "1 2\n3 abc\n");
  run = runZelmor(argsFor("2", "2", "10", "0"), dir.path());
  EXPECT_EQ(run.status, kStatusFailure);
  EXPECT_NE(run.output.find("microcluster 2 of 2, component 2 of 2 (line 2): \"abc\" is not a number"),
            std::string::npos)
      << run.output;

  writeFile(dir.file("microclus.txt"), "1 2\n3 inf\n");
  run = runZelmor(argsFor("2", "2", "10", "0"), dir.path());
  EXPECT_EQ(run.status, kStatusFailure);
  EXPECT_NE(run.output.find("\"inf\" is not a finite number"), std::string::npos) << run.output;
  EXPECT_FALSE(fileExists(dir.file("output_em.txt")));
}

TEST(RunTimer, ClosingLinesHaveTheirShape) {
  TempDir dir;
  std::string data;
  for (int i = 0; i < 40; ++i) {
    data += std::to_string((i % 2) * 5 + 0.1 * (i % 7)) + "\t" + std::to_string((i % 2) * 5 + 0.13 * (i % 5)) + "\n";
  }
  writeFile(dir.file("data.txt"), data);
  writeFile(dir.file("microclus.txt"), "0 0\n5 5\n");
  const RunResult run = runZelmor({"data.txt", "2", "2", "40", "0.001", "0.0", "microclus.txt", "3", "0"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.output;
  const std::regex closing(
      "microclusters\\]\n\n[0-9]+\\.[0-9]{6} sec cpu,   [0-9]+\\.[0-9]{6} sec real\n"
      "end time: (Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n\n$");
  EXPECT_TRUE(std::regex_search(run.output, closing)) << run.output;
}

// Blob data scaled by `scale`: two groups 6 * scale apart.
std::string scaledBlobs(double scale) {
  std::string data;
  for (const std::string& line : splitLines(blobPoints(100, 2, 2))) {
    const double x = std::stod(line.substr(0, line.find('\t')));
    const double y = std::stod(line.substr(line.find('\t') + 1));
    char text[64];
    std::snprintf(text, sizeof text, "%.6e %.6e\n", x * scale, y * scale);
    data += text;
  }
  return data;
}

TEST(RunNotes, StandardErrorSaysWhatHappened) {
  struct Case {
    double scale;
    int status;
    std::vector<std::string> notes;
  };
  const std::vector<Case> cases = {
      {1.0,
       0,
       {"zelmor: iteration 1: log-likelihood ", "zelmor: iteration 3: log-likelihood ",
        "zelmor: stopped at MaxLoopNum after 3 iterations without converging",
        "zelmor: summary: 3 iterations, stopped at MaxLoopNum; 100.00 of 100 points covered; 0 unassigned "
        "(-1); 0 of 2 microclusters empty\nzelmor: 2 chains, sizes: 1 1\n"
        "zelmor: wrote membership.txt, output_expand.txt, output_em.txt in "}},
      // Large units: no point within reach of a unit covariance.
      {1000.0,
       255,
       {"zelmor: the microclusters cover 0.00 of 100 points", "data in large units is mostly uncovered",
        "zelmor-seed --standardize"}},
      // Tiny units: one mean takes every point.
      {1e-20, 0, {"zelmor: warning: the fit collapsed: all 2 means are equal.\n", "zelmor-seed --standardize"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scale);
    TempDir dir;
    writeFile(dir.file("data.txt"), scaledBlobs(c.scale));
    char centres[64];
    std::snprintf(centres, sizeof centres, "0 0\n%.6e %.6e\n", 6 * c.scale, 6 * c.scale);
    writeFile(dir.file("microclus.txt"), centres);
    const RunResult run = runZelmor({"data.txt", "2", "2", "100", "0", "1.0", "microclus.txt", "3", "0"}, dir.path());
    EXPECT_EQ(run.status, c.status) << run.output;
    for (const std::string& note : c.notes) EXPECT_NE(run.errors.find(note), std::string::npos) << run.errors;
    EXPECT_EQ(run.output.find("zelmor:"), std::string::npos);
  }
}

}  // namespace
}  // namespace zelmor::test
