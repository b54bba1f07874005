// One E-step pass, the plain reference: stream the data file, and for every
// point compute its densities, its share of the log-likelihood, its
// responsibilities (written into its row of responsibilities in list order)
// and its weighted share of the M-step sums. The first pass also builds every
// point's item list.
#include <cmath>

#include "core/cluster_model.h"
#include "fit/em_constants.h"
#include "io/input_files.h"
#include "kernels/e_step_kernels.h"

namespace zelmor {

void ClusterModel::eStepPassPlain(int32_t iteration, float& logLikelihood, float* tempv, float* pointResponsibilities) {
  const int32_t d = dimNum;
  const int32_t K = clusterNum;
  const int64_t m = itemNum;
  const int64_t packed = packedLen;
  const bool firstPass = iteration == 1;

  if (firstPass) allocateItemStorage();

  DataFileReader reader(dataFile, d, dataNum, "datafile not opened!");
  for (int64_t p = 0; reader.readPoints(point, 1) == 1; ++p) {
    float* row = responsibilities + p * m;
    ItemList& list = tmp_ItemList[p];

    if (firstPass) {
      for (int32_t g = 0; g < K; ++g) {
        pointDensities[g] =
            pointDensity(point, means + int64_t{g} * d, covariances + g * packed, normalisers[g], d, tempv);
      }
    } else {
      for (int64_t q = 0; q < m; ++q) {
        const int64_t g = list.items[q];
        pointDensities[q] = pointDensity(point, means + g * d, covariances + g * packed, normalisers[g], d, tempv);
      }
    }

    double s = 0.0;
    for (int64_t q = 0; q < m; ++q) s += pointDensities[q];
    if (s > 0.0) {
      const double logShare = firstPass ? std::log(s) : kLaterPassLogScale * std::log(s);
      logLikelihood = static_cast<float>(logLikelihood + logShare);
    }

    if (firstPass) {
      for (int64_t k = 0; k < K; ++k) {
        const float r = s > 0.0 ? static_cast<float>(pointDensities[k] / s) : 0.0f;
        pointResponsibilities[k] = r;
        accumulatePoint(point, means + k * d, r, d, tempv, uX + k * d, weightSums[k], uXXT + k * packed);
      }
      list.items = itemStorage + p * m;
      buildItemList(pointResponsibilities, K, list.items);
      for (int64_t q = 0; q < m; ++q) row[q] = pointResponsibilities[list.items[q]];
    } else {
      for (int64_t q = 0; q < m; ++q) {
        const int64_t g = list.items[q];
        const float r = s > 0.0 ? static_cast<float>(pointDensities[q] / s) : 0.0f;
        row[q] = r;
        accumulatePoint(point, means + g * d, r, d, tempv, uX + g * d, weightSums[g], uXXT + g * packed);
      }
    }
  }
}

}  // namespace zelmor
