// zelmor-report: chain labels and report.json of a hand-written run and of a
// real one, and runs that are unfinished or do not match, which are refused
// without touching the report folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "support/test_support.h"
#include "tool_test_support.h"

namespace zelmor::test {
namespace {

RunResult reportTool(const std::vector<std::string>& args, const std::string& cwd) {
  return runTool(ZELMOR_REPORT_BINARY, args, cwd);
}

// Three microclusters in d = 2, two chains: 2 then 0 (joined at 4.5), then 1.
const char* kExpand =
    "-1.000000 2 0.000000 255.000000 255.000000 0.000000 \n"
    "4.500000 0 180.312500 -180.312500 180.312500 180.312500 \n"
    "-1.000000 1 255.000000 0.000000 0.000000 -255.000000 \n";
const char* kPoints = "1.000000 2.000000 \n3.000000 4.000000 \n5.000000 -6.000000 \n7.000000 8.000000 \n";
const char* kClusters =
    "0.500000 0.500000 255.000000 0.000000 2\n"
    "1.100000 2.500000 180.312500 180.312500 0\n"
    "3.000000 3.000000 0.000000 -255.000000 1\n";
const char* kMembership = "2\n0\n-1\n2\n";

void writeRun(const TempDir& dir) {
  writeFile(dir.file("output_expand.txt"), kExpand);
  writeFile(dir.file("output_em.txt"), std::string(kPoints) + kClusters);
  writeFile(dir.file("membership.txt"), kMembership);
}

TEST(Report, HandWrittenRunGivesChainLabelsAndSummary) {
  TempDir dir;
  writeRun(dir);
  const RunResult r = reportTool({"."}, dir.path());
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output,
            "wrote ./labels.txt and ./report.json: 3 microclusters in 2 chains, 4 points (1 without "
            "microcluster)\n");
  EXPECT_EQ(readFile(dir.file("labels.txt")), "0\n0\n-1\n0\n");

  const auto report = nlohmann::json::parse(readFile(dir.file("report.json")));
  EXPECT_EQ(report["run"], nlohmann::json::parse(R"({"K": 3, "d": 2, "N": 4, "chains": 2,
                                                     "points_without_microcluster": 1})"));
  EXPECT_EQ(report["chains"][0], nlohmann::json::parse(R"({"chain": 0, "members": [2, 0], "levels": [-1.0, 4.5],
                                                           "points": 3})"));
  EXPECT_EQ(report["chains"][1]["points"], 0);
  // By index, not in expansion order; values as the files print them.
  EXPECT_EQ(report["microclusters"][0], nlohmann::json::parse(R"({"index": 0, "chain": 0, "points": 1,
      "mean": [1.1, 2.5], "principal": [180.3125, 180.3125]})"));
  EXPECT_EQ(report["microclusters"][2]["points"], 2);
  EXPECT_EQ(report["microclusters"][1]["chain"], 1);
}

TEST(Report, RealRunLabelsAgreeWithTheSummary) {
  TempDir dir;
  const std::string golden = std::string(ZELMOR_TEST_DATA) + "/golden/coshare_typical/expected/";
  for (const char* name : {"output_expand.txt", "output_em.txt", "membership.txt"}) {
    copyFile(golden + name, dir.file(name));
  }
  const RunResult noFolder = reportTool({dir.path(), "-o", "out"}, dir.path());
  EXPECT_EQ(noFolder.status, 1);
  EXPECT_EQ(noFolder.output, "zelmor-report: out/labels.txt.part: cannot be created (No such file or directory)\n");
  std::filesystem::create_directory(dir.file("out"));
  const RunResult written = reportTool({dir.path(), "-o", "out"}, dir.path());
  ASSERT_EQ(written.status, 0) << written.output;

  const auto report = nlohmann::json::parse(readFile(dir.file("out/report.json")));
  EXPECT_EQ(report["run"]["K"], 12);
  EXPECT_EQ(report["run"]["N"], 240);
  EXPECT_EQ(report["chains"].size(), 7u);
  const std::vector<std::string> labels = splitLines(readFile(dir.file("out/labels.txt")));
  const std::vector<std::string> members = splitLines(readFile(dir.file("membership.txt")));
  ASSERT_EQ(labels.size(), 240u);
  std::vector<int64_t> chainPoints(7, 0), clusterPoints(12, 0);
  for (size_t i = 0; i < labels.size(); ++i) {
    const int member = std::stoi(members[i]), label = std::stoi(labels[i]);
    if (member < 0) {
      EXPECT_EQ(label, -1);
      continue;
    }
    ++clusterPoints[static_cast<size_t>(member)];
    ++chainPoints[static_cast<size_t>(label)];
    const auto& chain = report["chains"][static_cast<size_t>(label)]["members"];
    EXPECT_NE(std::find(chain.begin(), chain.end(), member), chain.end()) << "point " << i;
  }
  for (size_t c = 0; c < 7; ++c) EXPECT_EQ(report["chains"][c]["points"], chainPoints[c]);
  for (size_t k = 0; k < 12; ++k) EXPECT_EQ(report["microclusters"][k]["points"], clusterPoints[k]);
}

TEST(Report, UnfinishedOrMismatchedRunsAreRefusedAndWriteNothing) {
  const std::string points = kPoints;
  struct Case {
    const char* file;     // the run file that is replaced
    std::string content;  // its new content; empty: the file is removed
    const char* message;  // part of the message
  };
  const std::vector<Case> cases{
      {"membership.txt", "", "./membership.txt: cannot be opened (No such file or directory)"},
      {"output_expand.txt", "", "./output_expand.txt: cannot be opened (No such file or directory)"},
      {"output_em.txt", " ", "./output_em.txt: holds 0 microcluster lines, not the 3 of the expansion"},
      {"output_em.txt", points + "0 0 0 0 2\n0 0 0 0 0\n", "holds 2 microcluster lines, not the 3 of the expansion"},
      {"output_em.txt", points + kClusters + "0 0 0 0 1\n",
       "holds more microcluster lines than the 3 of the expansion"},
      {"membership.txt", "2\n0\n-1\n", "./membership.txt: holds 3 lines, fewer than the points"},
      {"membership.txt", "2\n3\n-1\n0\n", "./membership.txt, line 2: names no microcluster (nor -1)"},
      {"output_expand.txt", std::string(kExpand).substr(0, std::string(kExpand).rfind("-1.0")),
       "./output_expand.txt: the indices of its 2 records are not 0 to 1 each once (microcluster 2)"},
      {"output_expand.txt", "4.5 2 1 2 3 4\n-1 0 1 2 3 4\n-1 1 1 2 3 4\n",
       "./output_expand.txt, line 1: the first record is no chain's seed (its joining level is not -1)"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    writeRun(dir);
    writeFile(dir.file("labels.txt"), "earlier\n");
    if (c.content.empty()) {
      std::filesystem::remove(dir.file(c.file));
    } else {
      writeFile(dir.file(c.file), c.content);
    }
    const RunResult r = reportTool({"."}, dir.path());
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(r.output.rfind("zelmor-report: ", 0), 0u) << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_EQ(readFile(dir.file("labels.txt")), "earlier\n");
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++files;
    EXPECT_EQ(files, c.content.empty() ? 3u : 4u) << c.message;  // the run's files and labels.txt
  }
}

TEST(Report, HelpVersionAndUsageErrors) {
  TempDir dir;
  const RunResult help = reportTool({"--help"}, dir.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("Example: zelmor-report"), std::string::npos) << help.output;
  EXPECT_NE(reportTool({"--version"}, dir.path()).output.find("zelmor-report 0."), std::string::npos);
  EXPECT_EQ(reportTool({".", "--no-such-option"}, dir.path()).status, 2);
}

}  // namespace
}  // namespace zelmor::test
