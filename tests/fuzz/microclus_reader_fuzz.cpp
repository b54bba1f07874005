// The microcluster file reader on any text, for K and d taken from the first
// two bytes; and the token conversions checked against the C library.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "io/input_files.h"
#include "io/number_scanner.h"
#include "io/parallel_reader.h"

namespace {

// A token a converter accepts must be what strtof makes of it, bit for bit:
// the general one of the readers, and the short-decimal one of the parallel
// data reader.
void checkToken(const char* begin, const char* end) {
  const std::string text(begin, end);
  char* stop = nullptr;
  const float expected = std::strtof(text.c_str(), &stop);
  float value = 0.0f;
  if (zelmor::parseFloatToken(begin, end, value) == zelmor::ScanStatus::Ok) {
    FUZZ_CHECK(std::isfinite(value));
    FUZZ_CHECK(stop == text.c_str() + text.size());
    FUZZ_CHECK(std::memcmp(&value, &expected, sizeof value) == 0);
  }
  float shortValue = 0.0f;
  if (zelmor::parseShortDecimal(begin, end, shortValue)) {
    FUZZ_CHECK(stop == text.c_str() + text.size());
    FUZZ_CHECK(std::memcmp(&shortValue, &expected, sizeof shortValue) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int32_t K = 1 + data[0] % 16;
  const int32_t d = 1 + data[1] % 16;
  const char* text = reinterpret_cast<const char*>(data + 2);
  const size_t length = size - 2;
  if (length <= 64) checkToken(text, text + length);

  zelmor::NumberScanner in;
  in.openText(std::string(text, length));
  std::vector<float> means(static_cast<size_t>(K) * d, 0.0f);
  std::string problem;
  if (zelmor::readMicroclusters(in, K, d, means.data(), problem)) {
    for (float v : means) FUZZ_CHECK(std::isfinite(v));
  } else {
    FUZZ_CHECK(!problem.empty());
  }
  return 0;
}
