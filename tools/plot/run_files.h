// Readers of the files of a finished zelmor run, for drawing them:
// output_expand.txt (joining level, index and orientation block of every
// microcluster in expansion order), output_em.txt (the data points, then mean,
// principal orientation vector and index per microcluster) and membership.txt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelmor::tools {

struct ExpansionRecord {
  double level = 0.0;            // co-sharing level at which it joined; negative for the seed of a chain
  int32_t index = 0;             // the microcluster
  std::vector<float> principal;  // principal orientation vector, components in -255..255
};

struct Expansion {
  int32_t d = 0;
  std::vector<ExpansionRecord> records;  // one per microcluster, in expansion order
  bool isSeed(size_t position) const { return records[position].level < 0.0; }
};

// Reads an expansion file; d is found from the length of its records.
// Throws ToolError naming the file, the line and the problem.
Expansion readExpansion(const std::string& path);

// The principal vector of every microcluster scaled to length 1 (left zero
// where it is zero): K x d, by microcluster index.
std::vector<double> unitPrincipals(const Expansion& expansion);

struct RunData {
  int64_t pointCount = 0;
  std::vector<double> lo, hi;             // per dimension, over all points
  std::vector<double> mean, variance;     // per dimension, over all points
  std::vector<float> sample;              // at most maxPoints points, in file order, x d
  std::vector<int32_t> sampleMembership;  // microcluster of each sampled point or -1; empty without membership
  std::vector<float> means;               // K x d, by microcluster index
  // By microcluster index: the points membership.txt gives it (all of them,
  // not only the sample), and where they lie along its principal axis, as
  // offsets from its mean along the unit vector: from the mean of their
  // projections less two standard deviations to the mean plus two. All zero
  // for a microcluster without points, or without membership.
  std::vector<int64_t> memberCount;
  std::vector<double> axisFrom, axisTo;
};

// Reads output_em.txt and, unless `membershipPath` is empty, membership.txt,
// which must match `expansion`. Keeps a fixed-seed uniform sample of at most
// `maxPoints` points, so a run over millions of points still draws quickly;
// the statistics cover every point, in one pass and memory of order K d.
// `memberships`, when given, receives the membership of every point in file
// order (it needs membership.txt).
RunData readRunData(const std::string& emPath, const std::string& membershipPath, const Expansion& expansion,
                    int64_t maxPoints, std::vector<int32_t>* memberships = nullptr);

}  // namespace zelmor::tools
