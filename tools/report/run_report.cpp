// Chains, labels and the JSON summary of a finished run.
#include "report/run_report.h"

#include <cerrno>
#include <cmath>
#include <cstdio>

namespace zelmor::tools {

namespace {

// The value as the run's files print it ("%f", six decimals): the float read
// back from "0.100000" is 0.100000001490116, and the report says 0.1.
double sixDecimals(double value) { return std::round(value * 1e6) / 1e6; }

nlohmann::ordered_json vectorOf(const float* values, size_t count) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (size_t j = 0; j < count; ++j) list.push_back(sixDecimals(values[j]));
  return list;
}

}  // namespace

Chains findChains(const Expansion& expansion, const std::vector<int32_t>& memberships,
                  const std::string& expansionPath) {
  const std::vector<ExpansionRecord>& records = expansion.records;
  if (!expansion.isSeed(0)) {
    throw ToolError(expansionPath + ", line 1: the first record is no chain's seed (its joining level is not -1)");
  }
  Chains chains;
  chains.chainOf.assign(records.size(), -1);
  for (size_t position = 0; position < records.size(); ++position) {
    if (expansion.isSeed(position)) chains.start.push_back(position);
    chains.chainOf[static_cast<size_t>(records[position].index)] = static_cast<int32_t>(chains.start.size() - 1);
  }
  chains.start.push_back(records.size());

  chains.clusterPoints.assign(records.size(), 0);
  chains.chainPoints.assign(chains.count(), 0);
  for (const int32_t member : memberships) {
    if (member < 0) {
      ++chains.unassigned;
      continue;
    }
    ++chains.clusterPoints[static_cast<size_t>(member)];
    ++chains.chainPoints[static_cast<size_t>(chains.chainOf[static_cast<size_t>(member)])];
  }
  return chains;
}

void writeLabels(TextWriter& out, const Chains& chains, const std::vector<int32_t>& memberships) {
  for (const int32_t member : memberships) {
    out.putInt(member < 0 ? -1 : chains.chainOf[static_cast<size_t>(member)]);
    out.putChar('\n');
  }
}

nlohmann::ordered_json reportJson(const Expansion& expansion, const RunData& run, const Chains& chains) {
  const size_t K = expansion.records.size();
  const auto d = static_cast<size_t>(expansion.d);
  nlohmann::ordered_json report;
  report["run"] = {{"K", K},
                   {"d", d},
                   {"N", run.pointCount},
                   {"chains", chains.count()},
                   {"points_without_microcluster", chains.unassigned}};

  nlohmann::ordered_json chainList = nlohmann::ordered_json::array();
  for (size_t c = 0; c < chains.count(); ++c) {
    nlohmann::ordered_json members = nlohmann::ordered_json::array();
    nlohmann::ordered_json levels = nlohmann::ordered_json::array();
    for (size_t position = chains.start[c]; position < chains.start[c + 1]; ++position) {
      members.push_back(expansion.records[position].index);
      levels.push_back(sixDecimals(expansion.records[position].level));
    }
    chainList.push_back({{"chain", c}, {"members", members}, {"levels", levels}, {"points", chains.chainPoints[c]}});
  }
  report["chains"] = std::move(chainList);

  std::vector<const float*> principal(K);
  for (const ExpansionRecord& r : expansion.records) principal[static_cast<size_t>(r.index)] = r.principal.data();
  nlohmann::ordered_json clusters = nlohmann::ordered_json::array();
  for (size_t k = 0; k < K; ++k) {
    clusters.push_back({{"index", k},
                        {"chain", chains.chainOf[k]},
                        {"points", chains.clusterPoints[k]},
                        {"mean", vectorOf(run.means.data() + k * d, d)},
                        {"principal", vectorOf(principal[k], d)}});
  }
  report["microclusters"] = std::move(clusters);
  return report;
}

StagedFile::StagedFile(std::string path) : path_(std::move(path)), file_(path_ + ".part") {}

StagedFile::~StagedFile() {
  // An unfinished file is thrown away by OutputFile itself; a finished but
  // unpublished one is removed here.
  if (!published_) std::remove(file_.path().c_str());
}

void StagedFile::publish() {
  errno = 0;
  if (std::rename(file_.path().c_str(), path_.c_str()) != 0) throw ToolError(openFailure(path_, errno, "written"));
  published_ = true;
}

}  // namespace zelmor::tools
