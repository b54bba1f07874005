// The packed-matrix operations of the model: the kernels run on the model's
// shared scratch (workMatrix, eigenScratch).
#include "core/cluster_model.h"
#include "io/text_writer.h"
#include "linalg/packed_matrix.h"
#include "runtime/fatal.h"
#include "runtime/heap.h"

namespace zelmor {

double ClusterModel::determinant(const float* packed, int32_t d) { return packedDeterminant(packed, d, workMatrix); }

void ClusterModel::invertPacked(float* packed, int32_t d, int32_t count) {
  if (count <= 0) return;
  int16_t* rowPivots = allocArray<int16_t>(d);
  int16_t* colPivots = allocArray<int16_t>(d);
  if (rowPivots == nullptr || colPivots == nullptr) fatalExit("Memory Allocation Error!!\n", kExitFailure);
  invertPackedRun(packed, d, count, workMatrix, rowPivots, colPivots);
  releaseArray(rowPivots);
  releaseArray(colPivots);
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
