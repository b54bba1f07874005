// The result of a zelmor run as an analyst reads it: every point labelled with
// the chain of its most probable microcluster, and a JSON summary of the run,
// its chains and its microclusters. Also the staged output file through which
// zelmor-report publishes both, so that neither name ever shows a partial file.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/tool_support.h"
#include "io/text_writer.h"
#include "plot/run_files.h"

namespace zelmor::tools {

// The chains of a run. A chain begins at each seed of the expansion order (a
// record whose joining level is -1) and holds the records that follow it, up
// to the next seed; chains are numbered 0, 1, ... in expansion order.
struct Chains {
  std::vector<size_t> start;           // expansion position of each chain's seed, then the record count
  std::vector<int32_t> chainOf;        // by microcluster index
  std::vector<int64_t> clusterPoints;  // points whose most probable microcluster it is, by microcluster index
  std::vector<int64_t> chainPoints;    // points of its microclusters, by chain
  int64_t unassigned = 0;              // points of membership -1
  size_t count() const { return start.size() - 1; }
};

// Splits the expansion into chains and counts the points of each microcluster
// and chain. A first record that is no seed is reported (as ToolError naming
// `expansionPath`): the expansion file is not one that zelmor wrote.
Chains findChains(const Expansion& expansion, const std::vector<int32_t>& memberships,
                  const std::string& expansionPath);

// labels.txt: one line per point, in data order, the chain of its microcluster or -1.
void writeLabels(TextWriter& out, const Chains& chains, const std::vector<int32_t>& memberships);

// report.json: "run" (K, d, N, chain count, points without microcluster),
// "chains" (members in order, joining levels, points) and "microclusters" by
// index (chain, points, mean, principal orientation vector). Reals are given
// with the six decimals of the run's files.
nlohmann::ordered_json reportJson(const Expansion& expansion, const RunData& run, const Chains& chains);

// An output file written under a temporary name beside `path` (path + ".part")
// and renamed to `path` by publish(). Until then the final name keeps whatever
// it held; the temporary file is removed when the object goes unpublished.
class StagedFile {
 public:
  explicit StagedFile(std::string path);
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  TextWriter& out() { return file_.out(); }
  // Flushes and closes the temporary file (a failed write ends the process,
  // as TextWriter does, and leaves no file).
  void finish() { file_.commit(); }
  // Renames the finished file to its final name; throws ToolError when it cannot.
  void publish();

 private:
  std::string path_;
  OutputFile file_;
  bool published_ = false;
};

}  // namespace zelmor::tools
