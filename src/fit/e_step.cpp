// The E-step pass entry: the plain reference or the parallel version, which
// give the same bits.
#include <cmath>

#include "core/cluster_model.h"
#include "runtime/error.h"
#include "runtime/heap.h"

namespace zelmor {

void ClusterModel::allocateItemStorage() {
  if (itemStorage != nullptr) return;
  itemStorage = allocArray<int16_t>(int64_t{dataNum} * itemNum);
  if (itemStorage == nullptr) throw Error(ErrorKind::Memory, "Not enough memory!!\n", kExitFailure);
}

void ClusterModel::eStepPass(int32_t iteration, float& logLikelihood, float* tempv, float* pointResponsibilities) {
  if (settings.kernels == Kernels::Plain) {
    eStepPassPlain(iteration, logLikelihood, tempv, pointResponsibilities);
  } else {
    eStepPassFast(iteration, logLikelihood, tempv, pointResponsibilities);
  }
}

}  // namespace zelmor
