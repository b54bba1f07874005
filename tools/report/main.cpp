// zelmor-report: labels every point of a finished zelmor run with the chain of
// its most probable microcluster (labels.txt) and summarises the run, its
// chains and its microclusters as JSON (report.json).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>

#include "common/tool_support.h"
#include "plot/run_files.h"
#include "report/run_report.h"

using namespace zelmor;
using namespace zelmor::tools;

int main(int argc, char** argv) {
  CLI::App app{
      "Labels every point of a finished zelmor run with the chain of its most probable microcluster and "
      "summarises the run as JSON. Reads output_expand.txt, output_em.txt and membership.txt from the run folder "
      "and writes there, or in --output-dir:\n"
      "  labels.txt   one line per point, in data order: the chain (0, 1, ... in expansion order) of the point's "
      "microcluster, or -1 for a point without one;\n"
      "  report.json  run: K, d and N (what the files show; the thresholds and other arguments of the run leave "
      "no trace in them), the chain count and the points without microcluster; chains: members in expansion "
      "order, their joining levels (-1 for the seed) and points; microclusters, by index: chain, points, mean and "
      "principal orientation vector.\n"
      "No data file is needed: output_em.txt holds a copy of every point. A run that is unfinished or whose files "
      "do not match is refused, and nothing is written.\n\n"
      "Example: zelmor-report out/example",
      "zelmor-report"};
  std::string folder = ".";
  std::string outputDir;
  app.add_option("folder", folder, "Folder of the run (where zelmor wrote its files)")->capture_default_str();
  app.add_option("-o,--output-dir", outputDir,
                 "Folder to write labels.txt and report.json in (default: the run folder)");
  app.set_version_flag("--version", "zelmor-report " ZELMOR_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kExitToolUsage;
  }

  return runGuarded("zelmor-report", [&] {
    const std::filesystem::path dir(folder);
    const std::filesystem::path out(outputDir.empty() ? folder : outputDir);
    const std::string expansionPath = (dir / "output_expand.txt").string();
    const Expansion expansion = readExpansion(expansionPath);
    std::vector<int32_t> memberships;
    const RunData run =
        readRunData((dir / "output_em.txt").string(), (dir / "membership.txt").string(), expansion, 0, &memberships);
    const Chains chains = findChains(expansion, memberships, expansionPath);

    // Both files are complete before either takes its final name.
    StagedFile labels((out / "labels.txt").string());
    writeLabels(labels.out(), chains, memberships);
    labels.finish();
    StagedFile report((out / "report.json").string());
    report.out().putText((reportJson(expansion, run, chains).dump(2) + "\n").c_str());
    report.finish();
    labels.publish();
    report.publish();
    std::printf("wrote %s and %s: %zu microclusters in %zu chains, %lld points (%lld without microcluster)\n",
                (out / "labels.txt").c_str(), (out / "report.json").c_str(), expansion.records.size(), chains.count(),
                static_cast<long long>(run.pointCount), static_cast<long long>(chains.unassigned));
  });
}
