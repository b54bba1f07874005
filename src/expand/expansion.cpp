#include "expand/expansion.h"

#include <algorithm>
#include <utility>

#include "expand/expand_constants.h"
#include "linalg/packed_matrix.h"

namespace zelmor {

namespace {

// The expansion's working state, K entries each.
class ChainBuilder {
 public:
  ChainBuilder(float* levels, int32_t K, float epsilon)
      : levels_(levels),
        K_(K),
        epsilon_(epsilon),
        visited_(static_cast<size_t>(K), 0),
        candidateIndex_(static_cast<size_t>(K)),
        candidateLevel_(static_cast<size_t>(K)) {}

  bool visited(int32_t k) const { return visited_[k] != 0; }
  void visit(int32_t k) { visited_[k] = 1; }

  // The unplaced microclusters above epsilon_coshare with the seed, highest
  // level first; returns how many.
  int32_t collectCandidates(int32_t seed) {
    int32_t count = 0;
    for (int32_t j = 0; j < K_; ++j) {
      if (visited_[j] != 0) continue;
      const float level = levels_[strictLowerIndex(seed, j)];
      if (level > epsilon_) {
        candidateIndex_[count] = j;
        candidateLevel_[count] = level;
        ++count;
      }
    }
    // Bubble sort by descending level; equal levels keep the lower index first.
    for (int32_t pass = 0; pass < count; ++pass) {
      for (int32_t q = 1; q < count - pass; ++q) {
        if (candidateLevel_[q - 1] < candidateLevel_[q]) {
          std::swap(candidateLevel_[q - 1], candidateLevel_[q]);
          std::swap(candidateIndex_[q - 1], candidateIndex_[q]);
        }
      }
    }
    return count;
  }

  int32_t bestCandidate() const { return candidateIndex_[0]; }
  float bestLevel() const { return candidateLevel_[0]; }

  // Single linkage: the seed's row keeps the highest level with any member.
  void join(int32_t seed, int32_t member) {
    for (int32_t i = 0; i < K_; ++i) {
      if (visited_[i] != 0 || i == seed) continue;
      const float viaMember = levels_[strictLowerIndex(i, member)];
      float& viaChain = levels_[strictLowerIndex(i, seed)];
      if (viaMember > viaChain) viaChain = viaMember;
    }
  }

 private:
  float* levels_;
  int32_t K_;
  float epsilon_;
  std::vector<int32_t> visited_;
  std::vector<int32_t> candidateIndex_;
  std::vector<float> candidateLevel_;
};

}  // namespace

Expansion expandChains(float* levels, int32_t K, float epsilon_coshare,
                       const std::function<void(int32_t cluster, float level, int32_t placedSoFar)>& placed) {
  Expansion expansion;
  ChainBuilder chains(levels, K, epsilon_coshare);
  auto place = [&](int32_t k, float level) {
    expansion.order.push_back(k);
    expansion.levels.push_back(level);
    if (placed) placed(k, level, static_cast<int32_t>(expansion.order.size()));
  };
  for (int32_t seed = 0; seed < K; ++seed) {
    if (chains.visited(seed)) continue;
    const size_t placedBefore = expansion.order.size();
    chains.visit(seed);
    int32_t count = chains.collectCandidates(seed);
    place(seed, static_cast<float>(kSeedLevel));
    while (count > 0) {
      const int32_t member = chains.bestCandidate();
      const float level = chains.bestLevel();
      chains.visit(member);
      chains.join(seed, member);
      place(member, level);
      count = chains.collectCandidates(seed);
    }
    expansion.chainSizes.push_back(static_cast<int32_t>(expansion.order.size() - placedBefore));
  }
  return expansion;
}

std::vector<float> orientationVectors(const Parameters& parameters, int32_t basedim) {
  const int64_t d = parameters.d;
  const int64_t packed = parameters.packedLength();
  std::vector<float> vectors(static_cast<size_t>(parameters.K * d * d));
  Buffer<float> block(packed, "Memory Allocation Error!!\n");
  Buffer<float> scratch(d * (d + 4), "Memory Allocation Error!!\n");
  for (int64_t k = 0; k < parameters.K; ++k) {
    const float* covariance = parameters.covariances.data() + k * packed;
    std::copy(covariance, covariance + packed, block.data());
    computeOrientation(block.data(), static_cast<int32_t>(d), basedim, scratch.data());
    // Column v of V, row-major in the scratch, is vector v.
    const float* V = scratch.data();
    float* out = vectors.data() + k * d * d;
    for (int64_t v = 0; v < d; ++v) {
      for (int64_t i = 0; i < d; ++i) out[v * d + i] = V[i * d + v];
    }
  }
  return vectors;
}

}  // namespace zelmor
