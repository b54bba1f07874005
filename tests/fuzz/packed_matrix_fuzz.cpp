// The packed-matrix kernels on arbitrary floats (infinities, not-a-numbers,
// huge and tiny values among them): each call must return. d, the run length
// and basedim come from the first three bytes, the matrix entries from the
// rest (missing entries are 0).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "linalg/packed_matrix.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int32_t d = 1 + data[0] % 12;
  const int32_t count = 1 + data[1] % 3;
  const int32_t basedim = data[2] % d;
  const size_t packed = static_cast<size_t>(d) * (d + 1) / 2;
  std::vector<float> run(packed * count, 0.0f);
  std::memcpy(run.data(), data + 3, std::min(size - 3, run.size() * sizeof(float)));

  std::vector<float> work(static_cast<size_t>(d) * d);
  const std::vector<float> before(run.begin(), run.begin() + packed);
  zelmor::packedDeterminant(run.data(), d, work.data());
  FUZZ_CHECK(std::memcmp(before.data(), run.data(), packed * sizeof(float)) == 0);

  std::vector<float> inverted = run;
  std::vector<int16_t> rowPivots(static_cast<size_t>(d));
  std::vector<int16_t> colPivots(static_cast<size_t>(d));
  zelmor::invertPackedRun(inverted.data(), d, count, work.data(), rowPivots.data(), colPivots.data());

  std::vector<float> scratch(static_cast<size_t>(d) * (d + 4));
  std::vector<float> rotated(run.begin(), run.begin() + packed);
  zelmor::computeOrientation(rotated.data(), d, basedim, scratch.data());
  // The sign rule: component basedim of every eigenvector is not negative.
  for (int32_t k = 0; k < d; ++k) FUZZ_CHECK(!(scratch[static_cast<size_t>(basedim) * d + k] < 0.0f));
  return 0;
}
