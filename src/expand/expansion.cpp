// The expansion: microclusters ordered into chains by co-sharing level. A chain
// starts at the lowest unplaced microcluster and keeps taking the unplaced one
// with the highest level with any member (single linkage, kept in the seed's
// row of the co-sharing levels), while that level is above epsilon_coshare.
#include <cstdio>
#include <utility>
#include <vector>

#include "core/cluster_model.h"
#include "expand/expand_constants.h"
#include "io/text_writer.h"
#include "linalg/packed_matrix.h"
#include "runtime/error.h"

namespace zelmor {

// The expansion's own working storage, K entries each.
struct ExpansionScratch {
  explicit ExpansionScratch(int32_t K)
      : visited(static_cast<size_t>(K), 0),
        candidateIndex(static_cast<size_t>(K)),
        candidateLevel(static_cast<size_t>(K)) {}
  std::vector<int32_t> visited;         // 1 once a microcluster is placed in a chain
  std::vector<int32_t> candidateIndex;  // unplaced microclusters above epsilon_coshare, highest level first
  std::vector<float> candidateLevel;    // their levels with the chain
};

namespace {

void printProgress(int32_t placed, int32_t K) {
  const long long percent = 100LL * placed / K;
  std::printf("\r\t%lld%% [%d of %d microclusters]", percent, placed, K);
  std::fflush(stdout);
}

}  // namespace

void ClusterModel::expandClusters(const OutputTarget& expansion, float epsilon_coshare) {
  ExpansionScratch scratch(clusterNum);
  expandCount = 0;

  TextWriter out;
  if (!out.open(expansion)) throw Error(ErrorKind::Output, "File Not Opened!", kExitFailure);
  summary.chainSizes.clear();
  for (int32_t s = 0; s < clusterNum; ++s) {
    if (scratch.visited[s] != 0) continue;
    const int32_t placedBefore = expandCount;
    expandSeed(s, epsilon_coshare, scratch, out);
    summary.chainSizes.push_back(expandCount - placedBefore);
  }
  out.close();
}

void ClusterModel::expandSeed(int32_t seed, float epsilon_coshare, ExpansionScratch& scratch, TextWriter& out) {
  const int32_t K = clusterNum;
  const int32_t d = dimNum;
  const int64_t packed = packedLen;
  std::vector<int32_t>& visited = scratch.visited;

  visited[seed] = 1;
  ++expandCount;
  printProgress(expandCount, K);
  int32_t count = collectCandidates(seed, epsilon_coshare, scratch);
  out.putReal(kSeedLevel);
  out.putInt(seed);
  out.putChar(' ');
  writeOrientationBlock(out, covariances + seed * packed, d);

  while (count > 0) {
    const int32_t e = scratch.candidateIndex[0];
    const float level = scratch.candidateLevel[0];
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
      scratch.candidateIndex[i] = -1;
      scratch.candidateLevel[i] = -1.0f;
    }
    count = collectCandidates(seed, epsilon_coshare, scratch);
  }
}

int32_t ClusterModel::collectCandidates(int32_t seed, float epsilon_coshare, ExpansionScratch& scratch) {
  const std::vector<int32_t>& visited = scratch.visited;
  std::vector<int32_t>& candidateIndex = scratch.candidateIndex;
  std::vector<float>& candidateLevel = scratch.candidateLevel;
  int32_t count = 0;
  for (int32_t j = 0; j < clusterNum; ++j) {
    if (visited[j] != 0) continue;
    const float level = coShareLevels[strictLowerIndex(seed, j)];
    if (level > epsilon_coshare) {
      candidateIndex[count] = j;
      candidateLevel[count] = level;
      ++count;
    }
  }
  // Bubble sort by descending level; equal levels keep the lower index first.
  for (int32_t pass = 0; pass < count; ++pass) {
    for (int32_t q = 1; q < count - pass; ++q) {
      if (candidateLevel[q - 1] < candidateLevel[q]) {
        std::swap(candidateLevel[q - 1], candidateLevel[q]);
        std::swap(candidateIndex[q - 1], candidateIndex[q]);
      }
    }
  }
  return count;
}

// Orientation vectors are drawn as colours: each eigenvector component is
// scaled to the 0..255 range of a colour channel.
constexpr double kOrientationScale = 255.0;

void ClusterModel::writeOrientationBlock(TextWriter& out, float* packed, int32_t d) {
  computeOrientation(packed, d, settings.basedim, eigenScratch);
  const float* V = eigenScratch;
  for (int64_t k = 0; k < d; ++k) {
    for (int64_t i = 0; i < d; ++i) out.putReal(kOrientationScale * static_cast<double>(V[i * d + k]));
  }
  out.putChar('\n');
}

}  // namespace zelmor
