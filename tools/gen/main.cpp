// zelmor-gen: writes a synthetic data file with known structure, and
// optionally the true label of every point, for demos, tests and benchmarks.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>

#include "common/tool_support.h"
#include "gen/generator.h"

using namespace zelmor;
using namespace zelmor::tools;

int main(int argc, char** argv) {
  CLI::App app{
      "Writes a synthetic data set for zelmor: noisy curves in d dimensions, several side by side along dimension "
      "0, and uniform background noise. One point per line, values separated by tabs.\n\n"
      "Example: zelmor-gen -o data.txt -n 2000 -d 3 --shape helix,lines --background 0.05 --labels labels.txt "
      "--seed 7",
      "zelmor-gen"};
  GenSettings settings;
  std::string outputPath;
  std::string labelsPath;
  const std::map<std::string, Shape> shapes{{"helix", Shape::Helix},
                                            {"sine", Shape::Sine},
                                            {"circle", Shape::Circle},
                                            {"parabola", Shape::Parabola},
                                            {"lines", Shape::Lines}};
  std::vector<std::string> shapeNames{"helix"};

  app.add_option("-o,--output", outputPath, "Data file to write")->required();
  app.add_option("-n,--points", settings.n, "N, the number of points, background included")
      ->check(CLI::Range(int64_t{1}, int64_t{INT32_MAX}))
      ->capture_default_str();
  app.add_option("-d,--dimension", settings.d, "d, the number of values per point (a helix needs 3)")
      ->check(CLI::Range(2, 4096))
      ->capture_default_str();
  app.add_option("-s,--shape", shapeNames,
                 "helix, sine, circle, parabola or lines; several (comma-separated) are placed side by side, and "
                 "mix stands for all five")
      ->delimiter(',')
      ->check(CLI::IsMember({"helix", "sine", "circle", "parabola", "lines", "mix"}))
      ->default_str("helix");
  app.add_option("--lines", settings.lines, "Lines in each group of lines; their directions are correlated")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();
  app.add_option("--noise", settings.noise, "Standard deviation of the Gaussian noise in every dimension")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--background", settings.background, "Fraction of the points spread uniformly over the whole box")
      ->check(CLI::Range(0.0, 1.0))
      ->capture_default_str();
  app.add_flag("--rotate", settings.rotate, "Turn the data set by a random rotation, so that it uses all d dimensions");
  app.add_option("--scale", settings.scale,
                 "Multiply every value by this: the size of the curves against the unit covariances a run starts from")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--labels", labelsPath,
                 "Also write the true label of every point, one per line: the curve (from 0), or -1 for background");
  CLI::Option* seedOption = app.add_option("--seed", settings.seed, "Seed; the same seed gives the same files");
  app.set_version_flag("--version", "zelmor-gen " ZELMOR_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kExitToolUsage;
  }

  return runGuarded("zelmor-gen", [&] {
    if (seedOption->count() == 0) settings.seed = freshSeed();
    settings.shapes.clear();
    for (const std::string& name : shapeNames) {
      if (name == "mix") {
        settings.shapes.insert(settings.shapes.end(),
                               {Shape::Helix, Shape::Sine, Shape::Circle, Shape::Parabola, Shape::Lines});
      } else {
        settings.shapes.push_back(shapes.at(name));
      }
    }
    Generator generator(settings);
    if (labelsPath == outputPath) throw ToolError(outputPath + ": named both as the data file and the label file");

    OutputFile data(outputPath);
    std::unique_ptr<OutputFile> labels;
    if (!labelsPath.empty()) labels = std::make_unique<OutputFile>(labelsPath);
    std::vector<double> point(static_cast<size_t>(settings.d));
    std::vector<float> values(point.size());
    for (int64_t i = 0; i < settings.n; ++i) {
      const int32_t label = generator.next(point.data());
      std::copy(point.begin(), point.end(), values.begin());
      putTabbedLine(data.out(), values.data(), settings.d, NumberFormat::Fixed6);
      if (labels) {
        labels->out().putInt(label);
        labels->out().putChar('\n');
      }
    }
    data.commit();
    if (labels) labels->commit();

    std::printf("wrote %lld points in %d dimensions to %s (--seed %llu)\n", static_cast<long long>(settings.n),
                settings.d, outputPath.c_str(), static_cast<unsigned long long>(settings.seed));
    std::printf("%s:", labels ? ("labels in " + labelsPath).c_str() : "labels");
    for (int32_t c = 0; c < generator.componentCount(); ++c) {
      std::printf("%s %d %s (%lld)", c == 0 ? "" : ",", c, generator.componentName(c).c_str(),
                  static_cast<long long>(generator.componentSize(c)));
    }
    if (generator.backgroundSize() > 0) {
      std::printf(", -1 background (%lld)", static_cast<long long>(generator.backgroundSize()));
    }
    std::printf("\n");
  });
}
