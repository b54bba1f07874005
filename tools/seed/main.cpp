// zelmor-seed: writes a microcluster file of K starting centres chosen among
// the points of a data file, for zelmor's first run or a resampling.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "common/tool_support.h"
#include "seed/seeding.h"

using namespace zelmor;
using namespace zelmor::tools;

namespace {

// Writing one of the files over another (or over the data being read) would
// lose it.
void checkDistinct(const std::vector<std::pair<std::string, const char*>>& files) {
  auto canonical = [](const std::string& path) {
    std::error_code error;
    const std::filesystem::path p = std::filesystem::weakly_canonical(path, error);
    return error ? std::filesystem::path(path) : p;
  };
  for (size_t a = 0; a < files.size(); ++a) {
    for (size_t b = a + 1; b < files.size(); ++b) {
      if (canonical(files[a].first) == canonical(files[b].first)) {
        throw ToolError(files[b].first + ": named both as " + files[a].second + " and " + files[b].second);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Chooses K starting microcluster centres among the points of a data file and writes them as a microcluster "
      "file for zelmor: one line per centre, values separated by tabs. Warns when the data's spread lies far "
      "outside the range a run works with, and can write a standardised copy of the data.\n\n"
      "Example: zelmor-seed data.txt -k 30 -d 3 -o microclus.txt --seed 1",
      "zelmor-seed"};
  std::string dataPath;
  std::string outputPath;
  int32_t K = 0;
  int32_t d = 0;
  std::string methodName = "uniform";
  uint64_t seed = 0;
  std::string standardisedPath;

  app.add_option("datafile", dataPath, "Data file: points of d numbers each, separated by any white space")->required();
  app.add_option("-k,--clusters", K, "K, the number of centres (1 to 32767)")->required()->check(CLI::Range(1, 32767));
  app.add_option("-d,--dimension", d, "d, the number of values per point")->required()->check(CLI::Range(1, 1 << 20));
  app.add_option("-o,--output", outputPath, "Microcluster file to write")->required();
  app.add_option("-m,--method", methodName,
                 "uniform: a uniform random sample of distinct points (one pass, memory for K points only); "
                 "kmeans++: each further centre drawn with probability proportional to its squared distance from "
                 "the nearest centre so far (holds the data in memory)")
      ->check(CLI::IsMember({"uniform", "kmeans++"}))
      ->capture_default_str();
  CLI::Option* seedOption =
      app.add_option("--seed", seed, "Seed of the random choice; the same seed gives the same file");
  app.add_option("--standardize", standardisedPath,
                 "Also write the data standardised to FILE: every column as (x - mean) / standard deviation (a "
                 "constant column keeps scale 1); the centres are then in these units, and the means and scales go "
                 "to FILE.scale (two lines). Reads the data file twice, so it must be a file, not a pipe")
      ->option_text("FILE");
  app.set_version_flag("--version", "zelmor-seed " ZELMOR_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kExitToolUsage;
  }

  return runGuarded("zelmor-seed", [&] {
    if (seedOption->count() == 0) seed = freshSeed();
    const SeedMethod method = methodName == "uniform" ? SeedMethod::Uniform : SeedMethod::DSquared;
    PointStream in(d);
    errno = 0;
    if (!in.open(dataPath.c_str())) throw ToolError(openFailure(dataPath, errno));
    const bool standardise = !standardisedPath.empty();
    const std::string scalePath = standardisedPath + ".scale";
    if (standardise) {
      checkDistinct({{dataPath, "the data file"},
                     {outputPath, "the centre file"},
                     {standardisedPath, "the standardised file"},
                     {scalePath, "the scale file"}});
    }
    Rng rng(seed);
    const Centres centres = chooseCentres(method, in, dataPath, K, rng, standardise);

    OutputFile out(outputPath);
    writeCentres(out.out(), centres);
    if (standardise) {
      PointStream again(d);
      errno = 0;
      if (!again.open(dataPath.c_str())) throw ToolError(openFailure(dataPath, errno));
      OutputFile data(standardisedPath);
      writeStandardised(again, dataPath, centres.stats, data.out());
      OutputFile scales(scalePath);
      writeScales(scales.out(), centres.stats);
      data.commit();
      scales.commit();
    }
    out.commit();

    std::printf("wrote %d centres, a %s sample of the %lld points of %s, to %s (--seed %llu)\n", K,
                method == SeedMethod::Uniform ? "uniform" : "k-means++", static_cast<long long>(centres.pointsRead),
                dataPath.c_str(), outputPath.c_str(), static_cast<unsigned long long>(seed));
    if (standardise) {
      std::printf(
          "wrote the standardised points to %s, the centres in the same units, and the column means and "
          "scales to %s\n",
          standardisedPath.c_str(), scalePath.c_str());
    }
    std::fflush(stdout);
    std::fputs(spreadWarning(centres, dataPath, standardisedPath).c_str(), stderr);
    if (centres.ranOutOfDistinctPoints) {
      std::fprintf(stderr,
                   "zelmor-seed: warning: %s holds fewer than %d distinct points, so some centres repeat a point\n",
                   dataPath.c_str(), K);
    } else if (const int64_t repeated = countRepeatedCentres(centres); repeated > 0) {
      std::fprintf(stderr,
                   "zelmor-seed: warning: %lld centres read the same as an earlier one; "
                   "such microclusters stay identical, so consider --method kmeans++ or another --seed\n",
                   static_cast<long long>(repeated));
    }
  });
}
