// The packed-matrix operations of the EM loop: the kernels run on the model's
// shared scratch (workMatrix).
#include "core/cluster_model.h"
#include "linalg/packed_matrix.h"
#include "runtime/error.h"
#include "runtime/heap.h"

namespace zelmor {

double ClusterModel::determinant(const float* packed, int32_t d) { return packedDeterminant(packed, d, workMatrix); }

void ClusterModel::invertPacked(float* packed, int32_t d, int32_t count) {
  if (count <= 0) return;
  int16_t* rowPivots = allocArray<int16_t>(d);
  int16_t* colPivots = allocArray<int16_t>(d);
  if (rowPivots == nullptr || colPivots == nullptr)
    throw Error(ErrorKind::Memory, "Memory Allocation Error!!\n", kExitFailure);
  invertPackedRun(packed, d, count, workMatrix, rowPivots, colPivots);
  releaseArray(rowPivots);
  releaseArray(colPivots);
}

}  // namespace zelmor
