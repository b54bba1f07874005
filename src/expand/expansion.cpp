// The expansion: microclusters ordered into chains by co-sharing level. A chain
// starts at the lowest unplaced microcluster and keeps taking the unplaced one
// with the highest level with any member (single linkage, kept in the seed's
// row of coShareLevels), while that level is above epsilon_coshare.
#include <cstdio>
#include <utility>

#include "expand/expand_constants.h"
#include "linalg/packed_matrix.h"
#include "model/cluster_model.h"
#include "model/fatal.h"
#include "model/text_writer.h"

namespace zelmor {

namespace {

void printProgress(int32_t placed, int32_t K) {
  const long long percent = 100LL * placed / K;
  std::printf("\r\t%lld%% [%d of %d microclusters]", percent, placed, K);
  std::fflush(stdout);
}

}  // namespace

void ClusterModel::expandClusters(const OutputTarget& expansion, float epsilon_coshare) {
  // The EM no longer needs these blocks; the expansion works in them.
  int32_t* visited = reinterpret_cast<int32_t*>(weightSums);
  static_assert(sizeof(int32_t) == sizeof(float));

  expandCount = 0;
  for (int32_t k = 0; k < clusterNum; ++k) visited[k] = 0;

  TextWriter out;
  if (!out.open(expansion)) fatalExit("File Not Opened!", kExitFailure);
  summary.chainSizes.clear();
  for (int32_t s = 0; s < clusterNum; ++s) {
    if (visited[s] != 0) continue;
    const int32_t placedBefore = expandCount;
    expandSeed(s, epsilon_coshare, visited, out);
    summary.chainSizes.push_back(expandCount - placedBefore);
  }
  out.close();
}

void ClusterModel::expandSeed(int32_t seed, float epsilon_coshare, int32_t* visited, TextWriter& out) {
  const int32_t K = clusterNum;
  const int32_t d = dimNum;
  const int64_t packed = packedLen;
  int32_t* candidateIndex = reinterpret_cast<int32_t*>(normalisers);
  float* candidateValue = pointDensities;

  visited[seed] = 1;
  ++expandCount;
  printProgress(expandCount, K);
  int32_t count = collectCandidates(seed, epsilon_coshare, candidateIndex, candidateValue, visited);
  out.putReal(kSeedLevel);
  out.putInt(seed);
  out.putChar(' ');
  writeOrientationBlock(out, covariances + seed * packed, d);

  while (count > 0) {
    const int32_t e = candidateIndex[0];
    const float level = candidateValue[0];
    visited[e] = 1;
    // Single linkage: the seed's row keeps the highest level with any member.
    for (int32_t i = 0; i < K; ++i) {
      if (visited[i] != 0 || i == seed) continue;
      const float viaMember = coShareLevels[strictLowerIndex(i, e)];
      float& viaChain = coShareLevels[strictLowerIndex(i, seed)];
      if (viaMember > viaChain) viaChain = viaMember;
    }
    out.putReal(level);
    out.putInt(e);
    out.putChar(' ');
    writeOrientationBlock(out, covariances + e * packed, d);
    ++expandCount;
    printProgress(expandCount, K);
    for (int32_t i = 0; i < K; ++i) {
      candidateIndex[i] = -1;
      candidateValue[i] = -1.0f;
    }
    count = collectCandidates(seed, epsilon_coshare, candidateIndex, candidateValue, visited);
  }
}

int32_t ClusterModel::collectCandidates(int32_t seed, float epsilon_coshare, int32_t* candidateIndex,
                                        float* candidateValue, const int32_t* visited) {
  int32_t count = 0;
  for (int32_t j = 0; j < clusterNum; ++j) {
    if (visited[j] != 0) continue;
    const float level = coShareLevels[strictLowerIndex(seed, j)];
    if (level > epsilon_coshare) {
      candidateIndex[count] = j;
      candidateValue[count] = level;
      ++count;
    }
  }
  // Bubble sort by descending level; equal levels keep the lower index first.
  for (int32_t pass = 0; pass < count; ++pass) {
    for (int32_t q = 1; q < count - pass; ++q) {
      if (candidateValue[q - 1] < candidateValue[q]) {
        std::swap(candidateValue[q - 1], candidateValue[q]);
        std::swap(candidateIndex[q - 1], candidateIndex[q]);
      }
    }
  }
  return count;
}

}  // namespace zelmor
