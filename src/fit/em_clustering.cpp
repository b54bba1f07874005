// The EM run: work buffers, the iteration loop (normalisers, inversion, one
// E-step pass, M-step, convergence test), then coverage, co-sharing,
// expansion and the final output file.
#include <cmath>
#include <cstdio>

#include "core/cluster_model.h"
#include "fit/em_constants.h"
#include "io/text_writer.h"
#include "kernels/e_step_kernels.h"
#include "linalg/packed_matrix.h"
#include "runtime/error.h"
#include "runtime/heap.h"

namespace zelmor {

namespace {

// The state after the loop when no iteration ran: every point reached by no
// microcluster, with the list the first pass builds for such a point.
void setUnreachedState(ClusterModel& model) {
  const int64_t m = model.itemNum;
  for (int64_t p = 0; p < model.dataNum; ++p) {
    ItemList& list = model.tmp_ItemList[p];
    list.items = model.itemStorage + p * m;
    for (int64_t q = 0; q < m; ++q) {
      list.items[q] = static_cast<int16_t>(m - 1 - q);
      model.responsibilities[p * m + q] = 0.0f;
    }
  }
}

// New means and covariances from the pass's sums.
void mStep(ClusterModel& model) {
  const int32_t d = model.dimNum;
  const int64_t packed = model.packedLen;
  for (int64_t k = 0; k < model.clusterNum; ++k) {
    const float w = model.weightSums[k];
    float* block = model.covariances + k * packed;
    if (isNegligible(w)) {
      // No point chose this microcluster: turn its inverse back into the
      // covariance it had, and keep its mean.
      model.invertPacked(block, d, 1);
      continue;
    }
    updateMicrocluster(model.uX + k * d, model.uXXT + k * packed, w, d, model.means + k * d, block);
  }
}

// Whether every microcluster ended with the same mean: a collapsed fit.
bool allMeansEqual(const float* means, int32_t K, int32_t d) {
  if (K < 2) return false;
  for (int64_t k = 1; k < K; ++k) {
    for (int64_t j = 0; j < d; ++j) {
      if (means[k * d + j] != means[j]) return false;
    }
  }
  return true;
}

}  // namespace

RunOutcome ClusterModel::EMClustering(const RunOutputs& outputs) {
  const int32_t d = dimNum;
  const int32_t K = clusterNum;
  const int64_t packed = packedLen;

  float* tempv = allocArray<float>(d);
  pointDensities = allocArray<float>(K);
  responsibilities = allocArray<float>(int64_t{itemNum} * dataNum);
  uXXT = allocArray<float>(int64_t{K} * packed);
  uX = allocArray<float>(int64_t{K} * d);
  coShareLevels = allocArray<float>(packedStrictLowerLength(K));
  float* pointResponsibilities = allocArray<float>(K);
  if (tempv == nullptr) throw Error(ErrorKind::Memory, "Not enough memory for tempv!!\n", kExitFailure);
  if (pointDensities == nullptr) throw Error(ErrorKind::Memory, "Not enough memory for PRxl!!\n", kExitFailure);
  if (responsibilities == nullptr) throw Error(ErrorKind::Memory, "Not enough memory for PRlx!!\n", kExitFailure);
  if (uXXT == nullptr) throw Error(ErrorKind::Memory, "Not enough memory for uXXT!!\n", kExitFailure);
  if (uX == nullptr) throw Error(ErrorKind::Memory, "Not enough memory for uX!!\n", kExitFailure);
  if (coShareLevels == nullptr) throw Error(ErrorKind::Memory, "Not enough memory for dist!!\n", kExitFailure);
  if (pointResponsibilities == nullptr)
    throw Error(ErrorKind::Memory, "Not enough memory for tempPRlx!!\n", kExitFailure);

  dataFile = settings.dataFile.c_str();
  float logLikelihood = kInitialLogLikelihood;
  tmp_ItemList = allocArray<ItemList>(dataNum);
  if (tmp_ItemList == nullptr) throw Error(ErrorKind::Memory, "Not enough memory for tmp_ItemList!\n", kExitFailure);

  TextWriter emOut;
  if (!emOut.open(outputs.em)) throw Error(ErrorKind::Output, "Outfile not opened!", kExitFailure);

  const float gaussFactor = computeGaussFactor(d);
  std::printf("EMClustering ......\n");
  std::fflush(stdout);

  int32_t iteration = 0;
  if (!(settings.epsilon_likelihood >= kInitialLogLikelihood)) {
    while (iteration < settings.maxLoopNum) {
      ++iteration;
      std::printf("%dth iteration ...\n", iteration);
      std::fflush(stdout);
      const float prevLogLikelihood = logLikelihood;
      logLikelihood = 0.0f;

      for (int64_t k = 0; k < K; ++k) {
        weightSums[k] = 0.0f;
        for (int64_t j = 0; j < d; ++j) uX[k * d + j] = 0.0f;
        for (int64_t j = 0; j < packed; ++j) uXXT[k * packed + j] = 0.0f;
      }

      for (int64_t k = 0; k < K; ++k) normalisers[k] = static_cast<float>(determinant(covariances + k * packed, d));
      for (int64_t k = 0; k < K; ++k) {
        normalisers[k] =
            iteration == 1
                ? static_cast<float>(std::sqrt(static_cast<double>(normalisers[k])))
                : static_cast<float>(std::sqrt(std::fabs(static_cast<double>(normalisers[k])) * gaussFactor));
      }

      invertPacked(covariances, d, K);
      eStepPass(iteration, logLikelihood, tempv, pointResponsibilities);

      mStep(*this);

      const double change = std::fabs(static_cast<double>(prevLogLikelihood) - static_cast<double>(logLikelihood));
      summary.iterations = iteration;
      summary.lastChange = change;
      if (summary.iterationDone) summary.iterationDone(iteration, logLikelihood);
      if (static_cast<double>(settings.epsilon_likelihood) >= change) {
        summary.converged = true;
        break;
      }
    }
  }

  if (summary.loopEnded) summary.loopEnded(summary);
  if (iteration == 0) {
    allocateItemStorage();
    setUnreachedState(*this);
  }

  if (!checkCoverageAndWriteMembership(outputs.membership)) {
    releaseArray(tempv);
    releaseArray(pointResponsibilities);
    return RunOutcome::LowCoverage;  // the model's own arrays go with the model
  }
  buildCoSharing();
  expandClusters(outputs.expansion, settings.epsilon_coshare);
  summary.meansEqual = allMeansEqual(means, K, d);

  releaseArray(covariances);
  releaseArray(uXXT);
  releaseArray(uX);
  releaseArray(normalisers);
  releaseArray(point);
  releaseArray(tempv);
  releaseArray(pointDensities);
  releaseArray(coShareLevels);
  releaseArray(pointResponsibilities);

  writeFinalOutput(emOut, outputs.expansion);
  releaseArray(means);
  return RunOutcome::Completed;
}

}  // namespace zelmor
