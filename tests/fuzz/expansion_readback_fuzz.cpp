// The expansion file read-back on any text: d and K from the first two bytes.
// A record is used only when it names a microcluster not met before.
#include <cstdint>
#include <string>
#include <vector>

#include "expand/expansion_readback.h"
#include "fuzz_check.h"
#include "io/number_scanner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int32_t d = 1 + data[0] % 8;
  const int32_t K = 1 + data[1] % 16;
  zelmor::NumberScanner in;
  in.openText(std::string(reinterpret_cast<const char*>(data + 2), size - 2));
  std::vector<bool> seen(static_cast<size_t>(K), false);
  std::vector<float> principal(static_cast<size_t>(d));
  int32_t used = 0;
  for (int32_t r = 0; r < K; ++r) {
    int64_t cluster = -1;
    const zelmor::RecordProblem problem = zelmor::readExpansionRecord(in, d, K, seen, cluster, principal.data());
    if (problem != zelmor::RecordProblem::None) {
      FUZZ_CHECK(zelmor::describeRecordProblem(problem)[0] != '\0');
      break;
    }
    FUZZ_CHECK(cluster >= 0 && cluster < K);
    FUZZ_CHECK(seen[static_cast<size_t>(cluster)]);
    ++used;
  }
  int32_t marked = 0;
  for (bool flag : seen) marked += flag ? 1 : 0;
  FUZZ_CHECK(marked == used);
  return 0;
}
