// The run picture: reading zelmor's output files back, the plane of the data
// panel, the colour scales, and an SVG that parses as XML with one cell per
// microcluster and dimension, and marks thinned where they would crowd.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "common/tool_support.h"
#include "plot/projection.h"
#include "plot/run_files.h"
#include "plot/svg_plot.h"
#include "tool_test_support.h"

namespace zelmor::tools {
namespace {

using test::countOf;
using test::TempDir;
using test::writeFile;

// Three microclusters in d = 2, two chains: 2 then 0 (joined at 4.5), then 1.
const char* kExpand =
    "-1.000000 2 0.000000 255.000000 255.000000 0.000000 \n"
    "4.500000 0 180.312500 -180.312500 180.312500 180.312500 \n"
    "-1.000000 1 255.000000 0.000000 0.000000 -255.000000 \n";
const char* kEm =
    "1.000000 2.000000 \n3.000000 4.000000 \n5.000000 -6.000000 \n7.000000 8.000000 \n"
    "0.500000 0.500000 255.000000 0.000000 2\n"
    "1.500000 2.500000 180.312500 180.312500 0\n"
    "3.000000 3.000000 0.000000 -255.000000 1\n";

std::string errorOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const ToolError& e) {
    return e.what();
  }
  return "";
}

TEST(RunFiles, ExpansionRecordsGiveDimensionOrderAndPrincipalVectors) {
  TempDir dir;
  writeFile(dir.file("e.txt"), kExpand);
  const Expansion e = readExpansion(dir.file("e.txt"));
  EXPECT_EQ(e.d, 2);
  ASSERT_EQ(e.records.size(), 3u);
  EXPECT_EQ(e.records[0].index, 2);
  EXPECT_EQ(e.records[1].index, 0);
  EXPECT_EQ(e.records[1].level, 4.5);
  EXPECT_EQ(e.records[1].principal, (std::vector<float>{180.3125f, 180.3125f}));
  EXPECT_TRUE(e.isSeed(0));
  EXPECT_FALSE(e.isSeed(1));
  EXPECT_TRUE(e.isSeed(2));
}

TEST(RunFiles, ExpansionErrorsNameTheFileAndLine) {
  TempDir dir;
  const std::string path = dir.file("e.txt");
  auto error = [&](const std::string& text) {
    writeFile(path, text);
    return errorOf([&] { readExpansion(path); });
  };
  EXPECT_EQ(error("-1 0 1 2 3\n"),
            path +
                ", line 1: holds 5 numbers; a record holds the joining level, the microcluster index and d x d "
                "orientation numbers");
  EXPECT_EQ(error("-1 0 1 2 3 4\n2 1 5 6 7\n"), path + ", line 2: holds 5 numbers, where the first record holds 6");
  EXPECT_EQ(error("-1 0 1 2 3 4\n2 0 5 6 7 8\n"),
            path + ": the indices of its 2 records are not 0 to 1 each once (microcluster 0)");
  EXPECT_EQ(error("-1 0.5 1\n"), path + ", line 1: the microcluster index is not a whole number of 0 or more");
  EXPECT_EQ(error("-1 0 1\n2 1 zz\n"), path + ", line 2: \"zz\" is not a number");
  EXPECT_EQ(error("\n"), path + ": holds no records");
  EXPECT_EQ(errorOf([&] { readExpansion(dir.file("missing.txt")); }),
            dir.file("missing.txt") + ": cannot be opened (No such file or directory)");
}

TEST(RunFiles, PointsMeansAndMembershipOfARun) {
  TempDir dir;
  writeFile(dir.file("e.txt"), kExpand);
  writeFile(dir.file("em.txt"), kEm);
  writeFile(dir.file("m.txt"), "2\n0\n-1\n1\n");
  const Expansion e = readExpansion(dir.file("e.txt"));
  const RunData run = readRunData(dir.file("em.txt"), dir.file("m.txt"), e, 100);
  EXPECT_EQ(run.pointCount, 4);
  EXPECT_EQ(run.sample, (std::vector<float>{1, 2, 3, 4, 5, -6, 7, 8}));
  EXPECT_EQ(run.sampleMembership, (std::vector<int32_t>{2, 0, -1, 1}));
  EXPECT_EQ(run.lo, (std::vector<double>{1, -6}));
  EXPECT_EQ(run.hi, (std::vector<double>{7, 8}));
  EXPECT_EQ(run.means, (std::vector<float>{1.5f, 2.5f, 3, 3, 0.5f, 0.5f}));  // by microcluster index
  EXPECT_EQ(run.mean, (std::vector<double>{4, 2}));
  EXPECT_EQ(run.variance, (std::vector<double>{5, 26}));
  EXPECT_EQ(run.memberCount, (std::vector<int64_t>{1, 1, 1}));

  // A sample keeps file order and each point with its own membership.
  const RunData two = readRunData(dir.file("em.txt"), dir.file("m.txt"), e, 2);
  ASSERT_EQ(two.sample.size(), 4u);
  const std::vector<float> all{1, 2, 3, 4, 5, -6, 7, 8};
  const std::vector<int32_t> members{2, 0, -1, 1};
  const auto first = std::find(all.begin(), all.end(), two.sample[0]) - all.begin();
  const auto second = std::find(all.begin(), all.end(), two.sample[2]) - all.begin();
  EXPECT_LT(first, second);
  EXPECT_EQ(two.sampleMembership[0], members[static_cast<size_t>(first / 2)]);
  EXPECT_EQ(two.sampleMembership[1], members[static_cast<size_t>(second / 2)]);
}

TEST(RunFiles, AxisExtentFromTheMembersAlongThePrincipalAxis) {
  // One microcluster with its axis along dimension 0, mean (2, 5); its points
  // lie at 0, 1, 3 and 4.5 along the axis (dimension 1 plays no part), the
  // last point belongs to no microcluster.
  TempDir dir;
  writeFile(dir.file("e.txt"), "-1 0 0 255 255 0\n");
  writeFile(dir.file("em.txt"), "0 9\n1 -3\n3 0\n4.5 1\n100 100\n2 5 255 0 0\n");
  writeFile(dir.file("m.txt"), "0\n0\n0\n0\n-1\n");
  const Expansion e = readExpansion(dir.file("e.txt"));
  const RunData run = readRunData(dir.file("em.txt"), dir.file("m.txt"), e, 100);
  const double sd = std::sqrt((2.125 * 2.125 + 1.125 * 1.125 + 0.875 * 0.875 + 2.375 * 2.375) / 4);
  EXPECT_EQ(run.memberCount, (std::vector<int64_t>{4}));
  EXPECT_DOUBLE_EQ(run.axisFrom[0], 0.125 - 2 * sd);  // the members' mean lies 0.125 beyond the microcluster's
  EXPECT_DOUBLE_EQ(run.axisTo[0], 0.125 + 2 * sd);
  // Without membership there is no extent.
  const RunData bare = readRunData(dir.file("em.txt"), "", e, 100);
  EXPECT_EQ(bare.memberCount, (std::vector<int64_t>{0}));
  EXPECT_EQ(bare.axisTo, (std::vector<double>{0}));
}

TEST(Projection, WidestDimensionsAndPrincipalComponents) {
  // Points along (1, 2, 2) / 3, spread 10, with a little spread along
  // (0, 1, -1) / sqrt(2) that is not correlated with it.
  RunData run;
  for (double t : {-20, -10, 10, 20}) {
    for (double u : {-0.3, 0.3}) {
      for (double x : {t / 3, 2 * t / 3 + u / std::sqrt(2.0), 2 * t / 3 - u / std::sqrt(2.0)}) {
        run.sample.push_back(static_cast<float>(x + 5.0));
      }
    }
  }
  run.mean = {5, 5, 5};
  run.variance = {1, 4, 3.9};
  EXPECT_EQ(widestDimensions(run), (std::pair<int32_t, int32_t>{1, 2}));

  const Plane plane = principalPlane(run, 3);
  EXPECT_NEAR(plane.axis[0][0], 1.0 / 3, 1e-6);
  EXPECT_NEAR(plane.axis[0][1], 2.0 / 3, 1e-6);
  EXPECT_NEAR(plane.axis[0][2], 2.0 / 3, 1e-6);
  EXPECT_NEAR(std::fabs(plane.axis[1][1] - plane.axis[1][2]), std::sqrt(2.0), 1e-3);
  EXPECT_NEAR(plane.axis[1][0], 0.0, 1e-3);
  EXPECT_EQ(plane.name[1], "PC 2");
  EXPECT_NE(plane.caption.find("principal components, 100% of the variance"), std::string::npos) << plane.caption;
  const float point[] = {5 + 10.0f / 3, 5 + 20.0f / 3, 5 + 20.0f / 3};
  EXPECT_NEAR(plane.at(point, 0), 10.0, 1e-4);

  // No variance at all: the widest dimensions, as they are.
  run.sample.assign(9, 5.0f);
  EXPECT_EQ(principalPlane(run, 3).caption, "Data in dimensions 1 and 2");
}

TEST(RunFiles, MismatchedRunFilesAreReported) {
  TempDir dir;
  writeFile(dir.file("e.txt"), kExpand);
  const Expansion e = readExpansion(dir.file("e.txt"));
  auto error = [&](const std::string& em, const std::string& membership) {
    writeFile(dir.file("em.txt"), em);
    writeFile(dir.file("m.txt"), membership);
    return errorOf([&] { readRunData(dir.file("em.txt"), dir.file("m.txt"), e, 10); });
  };
  const std::string points = "1 2\n3 4\n";
  const std::string records = "0 0 0 0 2\n0 0 0 0 0\n0 0 0 0 1\n";
  EXPECT_EQ(error(points + records, "0\n"),
            dir.file("m.txt") + ": holds 1 lines, fewer than the points of " + dir.file("em.txt"));
  EXPECT_EQ(error(points + records, "0\n1\n2\n"),
            dir.file("m.txt") + ": holds more lines than the 2 points of " + dir.file("em.txt"));
  EXPECT_EQ(error(points + records, "0\n3\n"), dir.file("m.txt") + ", line 2: names no microcluster (nor -1)");
  EXPECT_EQ(error(points + "0 0 0 0 2\n0 0 0 0 1\n0 0 0 0 0\n", "0\n0\n"),
            dir.file("em.txt") + ", line 4: the microcluster line does not match line 2 of the expansion file");
  EXPECT_EQ(error(points + "0 0 0 0 2\n", "0\n0\n"),
            dir.file("em.txt") + ": holds 1 microcluster lines, not the 3 of the expansion (an unfinished run?)");
  EXPECT_EQ(error(points + "1 2 3\n" + records, "0\n0\n"),
            dir.file("em.txt") + ", line 3: holds 3 numbers; a point holds 2 and a microcluster line 5");
}

TEST(Colours, DivergingScaleAndChainHues) {
  EXPECT_EQ(orientationColour(-255), (Rgb{33, 102, 172}));
  EXPECT_EQ(orientationColour(0), (Rgb{247, 247, 247}));
  EXPECT_EQ(orientationColour(255), (Rgb{178, 24, 43}));
  EXPECT_EQ(orientationColour(1000), orientationColour(255));
  EXPECT_EQ(orientationColour(-1000), orientationColour(-255));
  // Halfway between two stops, each channel halfway.
  EXPECT_EQ(orientationColour(63.75), (Rgb{243, 193, 173}));
  // Chains up to three apart always differ clearly.
  auto distance = [](Rgb a, Rgb b) { return std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b); };
  for (size_t chain = 0; chain < 1000; ++chain) {
    for (size_t apart = 1; apart <= 3; ++apart) {
      ASSERT_GT(distance(chainColour(chain), chainColour(chain + apart)), 80) << chain << " + " << apart;
    }
  }
}

TEST(Colours, TicksAreRoundAndCoverTheRange) {
  EXPECT_EQ(niceTicks(0, 4.9, 5), (std::vector<double>{0, 1, 2, 3, 4}));
  EXPECT_EQ(niceTicks(-4.4, 4.4, 4), (std::vector<double>{-4, -2, 0, 2, 4}));
  EXPECT_EQ(niceTicks(-4.4, 4.4, 6), (std::vector<double>{-4, -3, -2, -1, 0, 1, 2, 3, 4}));
  EXPECT_EQ(niceTicks(0, 0.37, 4), (std::vector<double>{0, 0.1, 0.2, 0.3}));
  EXPECT_EQ(niceTicks(120, 980, 4), (std::vector<double>{200, 400, 600, 800}));
  EXPECT_FALSE(niceTicks(3, 3, 5).empty());
}

TEST(Svg, OneCellPerMicroclusterAndDimensionInAWellFormedDocument) {
  TempDir dir;
  writeFile(dir.file("e.txt"), kExpand);
  writeFile(dir.file("em.txt"), kEm);
  writeFile(dir.file("m.txt"), "2\n0\n-1\n1\n");
  const Expansion e = readExpansion(dir.file("e.txt"));
  const RunData run = readRunData(dir.file("em.txt"), dir.file("m.txt"), e, 100);
  PlotSettings settings;
  settings.title = "a <test> & \"quotes\"";
  const std::string svg = renderSvg(e, &run, settings);

  EXPECT_EQ(countOf(svg, "class=\"cell\""), 6u);
  EXPECT_EQ(countOf(svg, "class=\"bar\""), 1u);
  EXPECT_EQ(countOf(svg, "class=\"seed\""), 2u);
  EXPECT_EQ(countOf(svg, "class=\"chain-start\""), 1u);
  EXPECT_EQ(countOf(svg, "class=\"mean\""), 3u);
  EXPECT_EQ(countOf(svg, "class=\"axis\""), 3u);
  EXPECT_NE(svg.find("<title>a &lt;test&gt; &amp; &quot;quotes&quot;</title>"), std::string::npos);
  // The cell of microcluster 1 (third in the order), dimension 1, is -255: the blue end.
  EXPECT_NE(svg.find("fill=\"#2166ac\" stroke=\"#ffffff\" stroke-width=\"0.5\"><title>microcluster 1 (position 2, "
                     "chain 2), dim 1"),
            std::string::npos);
  // The point in no microcluster is grey.
  EXPECT_EQ(countOf(svg, "fill=\"#a0a0a0\""), 2u);  // the point and its legend entry

  const std::string xmllint = test::findXmllint();
  if (xmllint.empty()) GTEST_SKIP() << "xmllint is not installed (Debian: libxml2-utils)";
  writeFile(dir.file("plot.svg"), svg);
  const test::RunResult check = test::runTool(xmllint, {"--noout", dir.file("plot.svg")}, dir.path());
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_EQ(check.output, "");
}

TEST(Svg, ExpansionAloneLeavesOutTheDataPanel) {
  TempDir dir;
  writeFile(dir.file("e.txt"), kExpand);
  const std::string svg =
      renderSvg(readExpansion(dir.file("e.txt")), nullptr, PlotSettings{"t", "", 0, 1, "", nullptr});
  EXPECT_EQ(countOf(svg, "class=\"cell\""), 6u);
  EXPECT_EQ(countOf(svg, "class=\"mean\""), 0u);
  EXPECT_EQ(svg.find("Data in dimensions"), std::string::npos);
}

TEST(Svg, CrowdedMarksAreThinned) {
  // K microclusters in d = 2: pairs form chains, except every tenth, which
  // stands alone; index labels, seed marks and chain lines leave room.
  for (size_t K : {30, 200, 1000}) {
    Expansion e;
    e.d = 2;
    size_t seeds = 0;
    for (size_t p = 0; p < K; ++p) {
      const bool seed = p % 10 == 0 || p % 10 % 2 == 1;
      seeds += seed ? 1 : 0;
      e.records.push_back({seed ? -1.0 : 2.0, static_cast<int32_t>(p), {255.0f, 0.0f}});
    }
    const std::string svg = renderSvg(e, nullptr, PlotSettings{"t", "", 0, 1, "eps 0.5", nullptr});
    const double width = 776.0 / static_cast<double>(K);
    EXPECT_LE(countOf(svg, "class=\"seed\""), std::min<size_t>(seeds, static_cast<size_t>(776 / 7) + 1)) << K;
    EXPECT_LE(countOf(svg, "class=\"chain-start\""), static_cast<size_t>(776 / 5) + 1) << K;
    EXPECT_EQ(countOf(svg, "font-size=\"10\""), width >= 18 ? K
                                                            : (K + static_cast<size_t>(std::ceil(11 / width)) - 1) /
                                                                  static_cast<size_t>(std::ceil(11 / width)));
    EXPECT_EQ(svg.find(" shown)") != std::string::npos, countOf(svg, "class=\"seed\"") < seeds) << K;
    EXPECT_NE(svg.find("run settings: eps 0.5"), std::string::npos);
  }
}

}  // namespace
}  // namespace zelmor::tools
