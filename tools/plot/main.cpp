// zelmor-plot: draws the result of a zelmor run (the expansion order with its
// joining levels and orientation vectors, and the data with its membership)
// as a self-contained SVG picture.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "common/tool_support.h"
#include "plot/run_files.h"
#include "plot/svg_plot.h"

using namespace zelmor;
using namespace zelmor::tools;

int main(int argc, char** argv) {
  CLI::App app{
      "Draws the result of a zelmor run as an SVG picture: the joining level of every microcluster in expansion "
      "order, its principal orientation vector as a row of colours per dimension, and the data in two dimensions "
      "(or on its first two principal components) with every microcluster's mean and principal axis, coloured by "
      "chain. Reads output_expand.txt, and output_em.txt and membership.txt when present, from the run folder.\n\n"
      "Example: zelmor-plot out/example --params \"epsilon_likelihood 0.001, epsilon_coshare 1.0\"",
      "zelmor-plot"};
  std::string folder = ".";
  std::string outputPath;
  std::vector<int32_t> dims;
  bool pca = false;
  bool noData = false;
  int64_t maxPoints = 5000;
  std::string title;
  std::string params;

  app.add_option("folder", folder, "Folder of the run (where zelmor wrote its files)")->capture_default_str();
  app.add_option("-o,--output", outputPath, "SVG file to write (default: plot.svg in the run folder)");
  CLI::Option* dimsOption =
      app.add_option("--dims", dims,
                     "The two dimensions of the data panel, as X,Y (default: the two of largest spread)")
          ->expected(2)
          ->delimiter(',')
          ->check(CLI::NonNegativeNumber);
  app.add_flag("--pca", pca, "Draw the data on its first two principal components instead")->excludes(dimsOption);
  app.add_flag("--no-data", noData, "Leave out the data panel");
  app.add_option("--max-points", maxPoints, "Draw at most this many points (a fixed uniform sample of the rest)")
      ->check(CLI::Range(int64_t{0}, int64_t{1} << 40))
      ->capture_default_str();
  app.add_option("--title", title, "Title of the picture");
  app.add_option("--params", params,
                 "The run's settings, shown under the title (the run folder does not hold them), e.g. "
                 "\"epsilon_likelihood 0.001, epsilon_coshare 1.0, MaxLoopNum 10\"");
  app.set_version_flag("--version", "zelmor-plot " ZELMOR_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kExitToolUsage;
  }

  return runGuarded("zelmor-plot", [&] {
    const std::filesystem::path dir(folder);
    if (outputPath.empty()) outputPath = (dir / "plot.svg").string();
    const Expansion expansion = readExpansion((dir / "output_expand.txt").string());
    const int32_t d = expansion.d;

    RunData run;
    bool haveRun = false;
    if (d == 1 && !noData) {
      std::fprintf(stderr, "zelmor-plot: the run has one dimension, so the data panel is left out\n");
    } else if (!noData) {
      const std::string emPath = (dir / "output_em.txt").string();
      std::string membershipPath = (dir / "membership.txt").string();
      if (!dims.empty() && (dims[0] >= d || dims[1] >= d || dims[0] == dims[1])) {
        throw ToolError("--dims " + std::to_string(dims[0]) + "," + std::to_string(dims[1]) +
                        ": needs two different dimensions of the run's 0 to " + std::to_string(d - 1));
      }
      if (!std::filesystem::exists(emPath)) {
        std::fprintf(stderr, "zelmor-plot: %s is missing, so the data panel is left out\n", emPath.c_str());
      } else {
        if (!std::filesystem::exists(membershipPath)) {
          std::fprintf(stderr, "zelmor-plot: %s is missing, so the points are drawn in grey\n", membershipPath.c_str());
          membershipPath.clear();
        }
        run = readRunData(emPath, membershipPath, expansion, maxPoints);
        haveRun = true;
      }
    }

    Plane plane;
    if (haveRun && pca) {
      plane = principalPlane(run, d);
    } else if (haveRun && !dims.empty()) {
      plane = dimensionPlane(d, dims[0], dims[1]);
    } else if (haveRun) {
      const auto [x, y] = widestDimensions(run);
      plane = dimensionPlane(d, x, y, ", the two of largest spread");
    }
    PlotSettings settings;
    settings.title = title.empty() ? "zelmor run" : title;
    std::filesystem::path shown = std::filesystem::absolute(dir).lexically_normal();
    if (!shown.has_filename()) shown = shown.parent_path();
    settings.subtitle = "run folder " + shown.filename().string();
    settings.params = params;
    settings.plane = &plane;
    const std::string svg = renderSvg(expansion, haveRun ? &run : nullptr, settings);

    OutputFile out(outputPath);
    out.out().putText(svg.c_str());
    out.commit();
    std::printf("wrote %s: %zu microclusters, %d dimensions%s; open it in a web browser\n", outputPath.c_str(),
                expansion.records.size(), d,
                haveRun ? (", " + std::to_string(run.pointCount) + " points").c_str() : "");
  });
}
