// Construction and destruction of the model: the seven arrays every run needs,
// the starting means from the microcluster file, identity covariances.
#include "core/cluster_model.h"

#include <string>

#include "io/input_files.h"
#include "runtime/error.h"
#include "runtime/heap.h"
#include "runtime/thread_pool.h"

namespace zelmor {

ClusterModel::ClusterModel(const RunSettings& runSettings) : settings(runSettings) {
  const int32_t K = settings.K;
  const int32_t d = settings.d;
  dimNum = d;
  itemNum = K;
  clusterNum = K;
  const int64_t packed = packedSymLength(d);
  packedLen = static_cast<int32_t>(packed);
  dataNum = settings.N;
  if (settings.kernels == Kernels::Fast) {
    threads = std::make_unique<ThreadPool>(settings.threads > 0 ? settings.threads : defaultThreadCount());
  }

  // All requests first, then one test.
  point = allocArray<float>(d);
  means = allocArray<float>(int64_t{K} * d);
  covariances = allocArray<float>(int64_t{K} * packed);
  normalisers = allocArray<float>(K);
  weightSums = allocArray<float>(K);
  workMatrix = allocArray<float>(int64_t{d} * d);
  eigenScratch = allocArray<float>(int64_t{d} * (int64_t{d} + 4));
  if (!point || !means || !covariances || !normalisers || !weightSums || !workMatrix || !eigenScratch) {
    throw Error(ErrorKind::Memory, "Memory Allocation Error!!\n", kExitFailure);
  }

  NumberScanner in;
  const char* microclusFile = settings.microclusFile.c_str();
  if (!in.open(microclusFile)) throw Error(ErrorKind::Input, "microclus file Not Opened!", kExitFailure);
  std::string problem;
  if (!readMicroclusters(in, K, d, means, problem)) {
    throw Error(ErrorKind::Input, formatMessage("Error in microclus file %s: %s.\n", microclusFile, problem.c_str()),
                kExitFailure);
  }
  in.close();

  for (int64_t k = 0; k < K; ++k) {
    float* block = covariances + k * packed;
    int64_t at = 0;
    for (int64_t i = 0; i < d; ++i) {
      for (int64_t j = 0; j <= i; ++j) block[at++] = (i == j) ? 1.0f : 0.0f;
    }
  }
}

ClusterModel::~ClusterModel() {
  // Whatever the run released already is null here; free ignores it.
  releaseArray(point);
  releaseArray(means);
  releaseArray(covariances);
  releaseArray(normalisers);
  releaseArray(weightSums);
  releaseArray(workMatrix);
  releaseArray(eigenScratch);
  releaseArray(responsibilities);
  releaseArray(uXXT);
  releaseArray(uX);
  releaseArray(pointDensities);
  releaseArray(coShareLevels);
  releaseArray(tmp_ItemList);
  releaseArray(itemStorage);
  releaseArray(pointHints);
}

}  // namespace zelmor
