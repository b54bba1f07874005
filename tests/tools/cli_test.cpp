// The three tools run as a user runs them: options and --help, files written
// byte for byte the same under one --seed, a whole gen-seed-zelmor-plot
// pipeline, and failures that give a message, a non-zero status and no file.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "support/test_support.h"
#include "tool_test_support.h"

namespace zelmor::test {
namespace {

RunResult seedTool(const std::vector<std::string>& args, const std::string& cwd) {
  return runTool(ZELMOR_SEED_BINARY, args, cwd);
}
RunResult genTool(const std::vector<std::string>& args, const std::string& cwd) {
  return runTool(ZELMOR_GEN_BINARY, args, cwd);
}
RunResult plotTool(const std::vector<std::string>& args, const std::string& cwd) {
  return runTool(ZELMOR_PLOT_BINARY, args, cwd);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::set<std::vector<float>> valuesOf(const std::vector<std::string>& lines) {
  std::set<std::vector<float>> values;
  for (const std::string& line : lines) {
    std::vector<float> v;
    std::istringstream in(line);
    for (float x; in >> x;) v.push_back(x);
    values.insert(v);
  }
  return values;
}

TEST(ToolOptions, HelpVersionAndUsageErrors) {
  TempDir dir;
  const std::vector<std::pair<const char*, std::vector<std::string>>> tools{
      {ZELMOR_SEED_BINARY, {"data.txt", "-k", "1", "-d", "1", "-o", "m.txt"}},
      {ZELMOR_GEN_BINARY, {"-o", "d.txt"}},
      {ZELMOR_PLOT_BINARY, {}}};
  for (auto [binary, required] : tools) {
    const RunResult help = runTool(binary, {"--help"}, dir.path());
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.output, "Usage:")) << help.output;
    EXPECT_TRUE(contains(help.output, "Example:")) << help.output;
    EXPECT_TRUE(contains(runTool(binary, {"--version"}, dir.path()).output, "0.")) << binary;
    required.push_back("--no-such-option");
    const RunResult unknown = runTool(binary, required, dir.path());
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(contains(unknown.output, "--no-such-option")) << unknown.output;
  }
  const RunResult missing = seedTool({"data.txt", "-k", "3"}, dir.path());
  EXPECT_EQ(missing.status, 2);
  EXPECT_TRUE(contains(missing.output, "--dimension is required")) << missing.output;
  EXPECT_EQ(seedTool({"data.txt", "-k", "0", "-d", "2", "-o", "m.txt"}, dir.path()).status, 2);
  EXPECT_EQ(seedTool({"data.txt", "-k", "2", "-d", "2", "-o", "m.txt", "-m", "best"}, dir.path()).status, 2);
  EXPECT_EQ(genTool({"-o", "d.txt", "--shape", "square"}, dir.path()).status, 2);
  EXPECT_EQ(genTool({"-o", "d.txt", "--background", "2"}, dir.path()).status, 2);
  EXPECT_EQ(plotTool({".", "--dims", "1"}, dir.path()).status, 2);
  EXPECT_EQ(plotTool({".", "--dims", "0,1", "--pca"}, dir.path()).status, 2);
  EXPECT_FALSE(fileExists(dir.file("d.txt")));
}

TEST(ToolFiles, SameSeedSameBytesAndTheRequestedShape) {
  TempDir dir;
  const std::vector<std::string> gen{"-n",           "500", "-d",       "4",      "--shape", "sine,lines",
                                     "--background", "0.1", "--rotate", "--seed", "5"};
  auto withOutput = [](std::vector<std::string> args, const std::string& out, const std::string& labels) {
    args.insert(args.end(), {"-o", out, "--labels", labels});
    return args;
  };
  ASSERT_EQ(genTool(withOutput(gen, "a.txt", "a.lab"), dir.path()).status, 0);
  const RunResult made = genTool(withOutput(gen, "b.txt", "b.lab"), dir.path());
  ASSERT_EQ(made.status, 0) << made.output;
  EXPECT_TRUE(contains(made.output, "wrote 500 points in 4 dimensions to b.txt (--seed 5)")) << made.output;
  EXPECT_EQ(readFile(dir.file("a.txt")), readFile(dir.file("b.txt")));
  EXPECT_EQ(readFile(dir.file("a.lab")), readFile(dir.file("b.lab")));

  const std::vector<std::string> lines = splitLines(readFile(dir.file("a.txt")));
  ASSERT_EQ(lines.size(), 500u);
  for (const std::string& line : lines) {
    ASSERT_EQ(std::count(line.begin(), line.end(), '\t'), 3) << line;
    ASSERT_NE(line.back(), '\t');
  }
  const std::vector<std::string> labels = splitLines(readFile(dir.file("a.lab")));
  ASSERT_EQ(labels.size(), 500u);
  EXPECT_EQ(std::count(labels.begin(), labels.end(), "-1"), 50);
  EXPECT_EQ(std::set<std::string>(labels.begin(), labels.end()), (std::set<std::string>{"-1", "0", "1", "2", "3"}));

  for (const char* method : {"uniform", "kmeans++"}) {
    const std::vector<std::string> seed{"a.txt", "-k", "12", "-d", "4", "-m", method, "--seed", "9"};
    auto to = [&](const std::string& out) {
      std::vector<std::string> args = seed;
      args.insert(args.end(), {"-o", out});
      return args;
    };
    const RunResult first = seedTool(to("m1.txt"), dir.path());
    ASSERT_EQ(first.status, 0) << first.output;
    ASSERT_EQ(seedTool(to("m2.txt"), dir.path()).status, 0);
    EXPECT_EQ(readFile(dir.file("m1.txt")), readFile(dir.file("m2.txt"))) << method;
    const std::vector<std::string> centres = splitLines(readFile(dir.file("m1.txt")));
    ASSERT_EQ(centres.size(), 12u);
    // Every centre is one of the data points, and none twice.
    EXPECT_EQ(std::set<std::string>(centres.begin(), centres.end()).size(), 12u);
    const std::set<std::vector<float>> points = valuesOf(lines);
    for (const auto& c : valuesOf(centres)) EXPECT_TRUE(points.count(c)) << c[0];
  }
}

TEST(ToolFiles, GenSeedZelmorAndPlotMakeOnePicture) {
  TempDir dir;
  ASSERT_EQ(genTool({"-o", "data.txt", "-n", "400", "-d", "3", "--seed", "3", "--noise", "0.08"}, dir.path()).status,
            0);
  ASSERT_EQ(seedTool({"data.txt", "-k", "12", "-d", "3", "-o", "microclus.txt", "--seed", "4"}, dir.path()).status, 0);
  const RunResult run =
      runZelmor({"data.txt", "12", "3", "400", "0.001", "1.0", "microclus.txt", "10", "2"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.output;
  const RunResult plot = plotTool({".", "--title", "pipeline", "--dims", "0,2"}, dir.path());
  ASSERT_EQ(plot.status, 0) << plot.output;
  EXPECT_TRUE(contains(plot.output, "wrote ./plot.svg: 12 microclusters, 3 dimensions, 400 points")) << plot.output;
  const std::string svg = readFile(dir.file("plot.svg"));
  EXPECT_EQ(countOf(svg, "class=\"cell\""), 36u);
  EXPECT_EQ(countOf(svg, "class=\"mean\""), 12u);
  EXPECT_TRUE(contains(svg, "Data in dimensions 0 and 2 (400 points)"));
  // By default the two dimensions of largest spread; or the principal components.
  ASSERT_EQ(plotTool({".", "-o", "widest.svg"}, dir.path()).status, 0);
  EXPECT_TRUE(contains(readFile(dir.file("widest.svg")), ", the two of largest spread (400 points)"));
  ASSERT_EQ(plotTool({".", "-o", "pca.svg", "--pca", "--params", "epsilon_coshare 1.0"}, dir.path()).status, 0);
  const std::string pca = readFile(dir.file("pca.svg"));
  EXPECT_TRUE(contains(pca, "Data on its first two principal components, ")) << pca;
  EXPECT_TRUE(contains(pca, "run settings: epsilon_coshare 1.0"));

  const std::string xmllint = findXmllint();
  if (xmllint.empty()) GTEST_SKIP() << "xmllint is not installed (Debian: libxml2-utils)";
  for (const char* file : {"plot.svg", "widest.svg", "pca.svg"}) {
    const RunResult check = runTool(xmllint, {"--noout", dir.file(file)}, dir.path());
    EXPECT_EQ(check.status, 0) << file << ": " << check.output;
  }
}

TEST(ToolFiles, DataInLargeUnitsIsStandardisedOnRequest) {
  TempDir dir;
  ASSERT_EQ(genTool({"-o", "data.txt", "-n", "400", "-d", "3", "--scale", "60", "--seed", "3"}, dir.path()).status, 0);
  const std::vector<std::string> seed{"data.txt", "-k", "12", "-d", "3", "-o", "microclus.txt", "--seed", "4"};
  const RunResult raw = seedTool(seed, dir.path());
  ASSERT_EQ(raw.status, 0);
  EXPECT_TRUE(contains(raw.output, "zelmor-seed: warning: the points of data.txt lie ")) << raw.output;
  EXPECT_TRUE(contains(raw.output, "run again with --standardize FILE")) << raw.output;

  std::vector<std::string> standardise = seed;
  standardise.insert(standardise.end(), {"--standardize", "z.txt"});
  const RunResult r = seedTool(standardise, dir.path());
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(contains(r.output, "warning")) << r.output;
  EXPECT_TRUE(contains(r.output,
                       "wrote the standardised points to z.txt, the centres in the same units, and the "
                       "column means and scales to z.txt.scale\n"));
  const std::vector<std::string> z = splitLines(readFile(dir.file("z.txt")));
  ASSERT_EQ(z.size(), 400u);
  for (const std::string& c : splitLines(readFile(dir.file("microclus.txt")))) {
    EXPECT_NE(std::find(z.begin(), z.end(), c), z.end()) << c;
  }
  EXPECT_EQ(splitLines(readFile(dir.file("z.txt.scale"))).size(), 2u);
  const RunResult run = runZelmor({"z.txt", "12", "3", "400", "0.001", "1.0", "microclus.txt", "10", "2"}, dir.path());
  EXPECT_EQ(run.status, 0) << run.output;

  standardise.back() = "data.txt";
  const RunResult clash = seedTool(standardise, dir.path());
  EXPECT_EQ(clash.status, 1);
  EXPECT_EQ(clash.output, "zelmor-seed: data.txt: named both as the data file and the standardised file\n");
}

TEST(ToolFailures, MessageStatusAndNoOutputFile) {
  TempDir dir;
  writeFile(dir.file("data.txt"), "1 2\n3 4\n5 6\n");
  RunResult r = seedTool({"data.txt", "-k", "4", "-d", "2", "-o", "m.txt"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "zelmor-seed: data.txt: holds 3 points, fewer than the 4 centres asked for\n");
  r = seedTool({"nowhere.txt", "-k", "1", "-d", "2", "-o", "m.txt"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "zelmor-seed: nowhere.txt: cannot be opened (No such file or directory)\n");
  r = seedTool({"data.txt", "-k", "1", "-d", "2", "-o", "no/such/dir/m.txt"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "zelmor-seed: no/such/dir/m.txt: cannot be created (No such file or directory)\n");
  writeFile(dir.file("bad.txt"), "1 2\n3 four\n");
  r = seedTool({"bad.txt", "-k", "1", "-d", "2", "-o", "m.txt"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.output, "bad.txt: point 2, value 2 of 2 (line 2): \"four\" is not a number")) << r.output;
  EXPECT_FALSE(fileExists(dir.file("m.txt")));

  r = genTool({"-o", "d.txt", "-d", "2", "--shape", "circle,helix"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "zelmor-gen: a helix needs at least 3 dimensions\n");
  EXPECT_FALSE(fileExists(dir.file("d.txt")));

  r = plotTool({"."}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "zelmor-plot: ./output_expand.txt: cannot be opened (No such file or directory)\n");
  writeFile(dir.file("output_expand.txt"), "-1 0 1 2 3 4\n-1 1 1 2\n");
  r = plotTool({"."}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.output, "line 2: holds 4 numbers, where the first record holds 6")) << r.output;
  writeFile(dir.file("output_expand.txt"), "-1 0 1 2 3 4\n-1 1 1 2 3 4\n");
  r = plotTool({".", "--dims", "0,2"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "zelmor-plot: --dims 0,2: needs two different dimensions of the run's 0 to 1\n");
  EXPECT_FALSE(fileExists(dir.file("plot.svg")));

  // Without output_em.txt the picture holds the expansion panels alone.
  r = plotTool({"."}, dir.path());
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "output_em.txt is missing, so the data panel is left out")) << r.output;
  EXPECT_EQ(countOf(readFile(dir.file("plot.svg")), "class=\"cell\""), 4u);
  // A run in one dimension has no pair of dimensions to draw.
  writeFile(dir.file("output_expand.txt"), "-1 0 255\n-1 1 255\n");
  r = plotTool({"."}, dir.path());
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "the run has one dimension, so the data panel is left out")) << r.output;
}

TEST(ToolFailures, AFailedWriteLeavesNoFile) {
  TempDir dir;
  writeFile(dir.file("output_expand.txt"), "-1 0 1 2 3 4\n");
  writeFile(dir.file("data.txt"), "1 2\n");
  // Files of at most 512 bytes, and a write beyond that fails rather than
  // ending the process.
  const RunResult r =
      runProgram("/bin/sh", "sh", {"-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" \"$@\" 2>&1", ZELMOR_PLOT_BINARY, "."},
                 dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.output, "Error writing ./plot.svg: File too large")) << r.output;
  EXPECT_FALSE(fileExists(dir.file("plot.svg")));
  // A directory named as the data file opens, but cannot be read.
  const RunResult seed = seedTool({".", "-k", "1", "-d", "2", "-o", "m.txt"}, dir.path());
  EXPECT_EQ(seed.status, 1);
  EXPECT_EQ(seed.output, "zelmor-seed: .: cannot be read (Is a directory)\n");
  EXPECT_FALSE(fileExists(dir.file("m.txt")));
}

}  // namespace
}  // namespace zelmor::test
