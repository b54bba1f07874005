// zelmor-seed: writes a microcluster file of K starting centres chosen among
// the points of a data file, for zelmor's first run or a resampling.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>

#include "common/tool_support.h"
#include "seed/seeding.h"

using namespace zelmor;
using namespace zelmor::tools;

int main(int argc, char** argv) {
  CLI::App app{
      "Chooses K starting microcluster centres among the points of a data file and writes them as a microcluster "
      "file for zelmor: one line per centre, values separated by tabs.\n\n"
      "Example: zelmor-seed data.txt -k 30 -d 3 -o microclus.txt --seed 1",
      "zelmor-seed"};
  std::string dataPath;
  std::string outputPath;
  int32_t K = 0;
  int32_t d = 0;
  std::string methodName = "uniform";
  uint64_t seed = 0;

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
    Rng rng(seed);
    const Centres centres = chooseCentres(method, in, dataPath, K, rng);

    OutputFile out(outputPath);
    writeCentres(out.out(), centres);
    out.commit();

    std::printf("wrote %d centres, a %s sample of the %lld points of %s, to %s (--seed %llu)\n", K,
                method == SeedMethod::Uniform ? "uniform" : "k-means++", static_cast<long long>(centres.pointsRead),
                dataPath.c_str(), outputPath.c_str(), static_cast<unsigned long long>(seed));
    if (centres.ranOutOfDistinctPoints) {
      std::fprintf(stderr,
                   "zelmor-seed: warning: %s holds fewer than %d distinct points, so some centres repeat a point\n",
                   dataPath.c_str(), K);
    } else if (const int64_t repeated = countRepeatedCentres(centres); repeated > 0) {
      std::fprintf(stderr,
                   "zelmor-seed: warning: %lld centres read the same as an earlier one at six decimals; "
                   "such microclusters stay identical, so consider --method kmeans++ or another --seed\n",
                   static_cast<long long>(repeated));
    }
  });
}
