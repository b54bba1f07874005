// zelmor_differential: generated whole runs through zelmor (at 1, 2 and 7
// threads) and zelmor-plain, compared byte for byte. Each disagreeing case is
// written into a folder of its own, ready to be kept in tests/data/differential.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <map>

#include "differential/compare.h"

using namespace zelmor::differential;

namespace {

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016" PRIx64, value);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Runs generated cases through zelmor and zelmor-plain and compares exit status, console output (timer lines "
      "aside) and the three output files.\n\nExample: zelmor_differential --minutes 30 --seed 7 --out found",
      "zelmor_differential"};
  uint64_t seed = 1;
  int64_t cases = 0;
  double minutes = 0;
  std::vector<uint64_t> caseSeeds;
  std::string family, outDir = "differential-found";
  Programs programs{ZELMOR_PLAIN_BINARY, ZELMOR_BINARY};
  app.add_option("--seed", seed, "Seed of the run; case i has the seed derived from it and i")->capture_default_str();
  app.add_option("--cases", cases, "Stop after this many cases (0: no limit)")->check(CLI::NonNegativeNumber);
  app.add_option("--minutes", minutes, "Stop after this many minutes")->check(CLI::NonNegativeNumber);
  app.add_option("--case-seed", caseSeeds, "Run only the case(s) of these case seeds, as reported");
  app.add_option("--family", family, "Only cases of this family")->check(CLI::IsMember(familyNames()));
  app.add_option("--out", outDir, "Folder for disagreeing cases, one subfolder each")->capture_default_str();
  app.add_option("--timeout", programs.timeoutSeconds, "Seconds allowed to each run")->capture_default_str();
  app.add_option("--plain", programs.plain, "The reference program")->capture_default_str();
  app.add_option("--fast", programs.fast, "The program under test")->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  if (cases == 0 && minutes == 0 && caseSeeds.empty()) cases = 100;

  const auto start = std::chrono::steady_clock::now();
  const auto elapsedMinutes = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 60.0;
  };
  std::map<std::string, int64_t> perFamily;
  int64_t run = 0, disagreements = 0, plainTimeouts = 0;
  for (;; ++run) {
    if (!caseSeeds.empty() ? run == static_cast<int64_t>(caseSeeds.size())
                           : (cases > 0 && run == cases) || (minutes > 0 && elapsedMinutes() >= minutes)) {
      break;
    }
    const RunCase c = generateCase(caseSeeds.empty() ? caseSeed(seed, run) : caseSeeds[run], family);
    ++perFamily[c.family];
    const Verdict verdict = compareCase(c, programs);
    plainTimeouts += verdict.plainTimedOut;
    if (!verdict.agree) {
      ++disagreements;
      const std::string name = c.family + "_" + hex(c.seed).substr(2);
      const std::string shape = "N " + c.args[3] + ", d " + c.args[2] + ", K " + c.args[1];
      storeCase(c, outDir + "/" + name,
                c.family + " case (" + shape + "), zelmor_differential --family " + c.family + " --case-seed " +
                    std::to_string(c.seed) + ": " + verdict.difference);
      std::printf("DISAGREE %s (%s): %s\n", name.c_str(), shape.c_str(), verdict.difference.c_str());
      std::fflush(stdout);
    }
    if ((run + 1) % 100 == 0) std::fprintf(stderr, "%" PRId64 " cases, %.1f min\n", run + 1, elapsedMinutes());
  }
  std::printf("%" PRId64 " cases in %.1f min (seed %" PRIu64 "):", run, elapsedMinutes(), seed);
  for (const auto& [name, count] : perFamily) std::printf(" %s %" PRId64, name.c_str(), count);
  std::printf("\n%" PRId64 " disagreements%s%s; %" PRId64 " cases where zelmor-plain timed out\n", disagreements,
              disagreements > 0 ? ", written to " : "", disagreements > 0 ? outDir.c_str() : "", plainTimeouts);
  return disagreements > 0 ? 1 : 0;
}
