// The data file reader on any text: d, N and the points per call from the
// first three bytes. It must read exactly N points of finite numbers or name
// a problem, and never run past N.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "io/input_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int32_t d = 1 + data[0] % 8;
  const int32_t N = 1 + data[1] % 32;
  const int64_t perCall = 1 + data[2] % 4;
  zelmor::DataFileReader reader(std::string(reinterpret_cast<const char*>(data + 3), size - 3), "fuzz", d, N);
  std::vector<float> points(static_cast<size_t>(perCall * d));
  std::string problem;
  for (int calls = 0;; ++calls) {
    FUZZ_CHECK(calls <= N + 1);
    int64_t count = -1;
    if (!reader.tryReadPoints(points.data(), perCall, count, problem)) {
      FUZZ_CHECK(!problem.empty());
      FUZZ_CHECK(count >= 0 && count <= perCall);
      break;
    }
    FUZZ_CHECK(count >= 0 && count <= perCall);
    for (int64_t v = 0; v < count * d; ++v) FUZZ_CHECK(std::isfinite(points[static_cast<size_t>(v)]));
    if (count == 0) {
      FUZZ_CHECK(reader.pointsRead() == N);
      break;
    }
  }
  FUZZ_CHECK(reader.pointsRead() <= N);
  return 0;
}
