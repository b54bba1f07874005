#include "app/arguments.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/error.h"

namespace zelmor {

namespace {

constexpr int kArgumentCount = 10;  // the program name and nine arguments
// Item lists hold 16-bit microcluster indices, and the inversion 16-bit pivots.
constexpr int32_t kMaxClusters = 32767;
constexpr int32_t kMaxDimensions = 32767;

void printUsage(const char* programName) {
  std::printf(
      " Command Format: %s <datafile> <#cluster> <#dimension> <#data> <epsilon_likelihood> <epsilon_coshare> "
      "<microclus file> <MaxLoopNum> <basedim>\n\n",
      programName);
  std::printf("****************** Parameter Setting of Zelmor Algorithm ******************\n");
  std::printf("datafile:           the dataset file.\n");
  std::printf("#cluster:           the number of microclusters.\n");
  std::printf("#dimension:         the dimensionality of the dataset.\n");
  std::printf("#data:              the number of data points.\n");
  std::printf("epsilon_likelihood: probability log likelihood threshold.\n");
  std::printf("epsilon_coshare:    neighborhood co-sharing level threshold.\n");
  std::printf("microclus file:     the microcluser file.\n");
  std::printf("MaxLoopNum:         maximum number of iteration times.\n");
  std::printf("basedim:            basedim value of orientation vectors is kept positive.\n");
  std::printf("\n");
}

[[noreturn]] void notAWholeNumber(const char* label, const char* text, long long low, long long high) {
  throw Error(ErrorKind::Invalid,
              formatMessage("Error in %s value: \"%s\" is not a whole number in the range [%lld,%lld].\n", label, text,
                            low, high),
              kExitInvalid);
}

// A whole number within [low, high], or the end of the run.
int64_t wholeNumberOrStop(const char* label, const char* text, int64_t low, int64_t high) {
  const std::optional<int64_t> value = parseWholeNumber(text);
  if (!value || *value < low || *value > high) notAWholeNumber(label, text, low, high);
  return *value;
}

// A count: a text that is no whole number stops the run here; a number
// outside the range is left to checkCount, after the report, where such
// numbers have always been refused. Converted to 32 bits the way the report
// has always shown it (wrapping).
int64_t countOrStop(const char* label, const char* text, int32_t high) {
  const std::optional<int64_t> value = parseWholeNumber(text);
  if (!value) notAWholeNumber(label, text, 1, high);
  return *value;
}

void checkCount(const char* label, int64_t value, int32_t high, const char* why) {
  if (value >= 1 && value <= high) return;
  throw Error(ErrorKind::Invalid,
              formatMessage("Error in %s value: %lld is outside the range [%d,%d] (%s).\n", label,
                            static_cast<long long>(value), 1, high, why),
              kExitInvalid);
}

// A real that a 32-bit float holds as a finite number.
double realOrStop(const char* label, const char* text) {
  const std::optional<double> value = parseRealNumber(text);
  if (!value || !std::isfinite(static_cast<float>(*value))) {
    throw Error(ErrorKind::Invalid,
                formatMessage("Error in %s value: \"%s\" is not a real number in the range [%g,%g].\n", label, text,
                              -static_cast<double>(FLT_MAX), static_cast<double>(FLT_MAX)),
                kExitInvalid);
  }
  return *value;
}

// basedim within [0, d-1]. A number out of that range gets the message it
// has always had; a text that is no 32-bit whole number names itself.
int32_t basedimOrStop(const char* text, int32_t d) {
  const std::optional<int64_t> value = parseWholeNumber(text);
  if (!value || *value < INT32_MIN || *value > INT32_MAX) notAWholeNumber("basedim", text, 0, int64_t{d} - 1);
  if (*value < 0 || *value >= d) {
    throw Error(ErrorKind::Invalid,
                formatMessage("Error in basedim value!\nbasedim should be in the range of [%d,%d].\n", 0, d - 1),
                kExitInvalid);
  }
  return static_cast<int32_t>(*value);
}

}  // namespace

std::optional<int64_t> parseWholeNumber(const char* text) {
  const char* begin = text;
  const char* end = text + std::strlen(text);
  if (*begin == '+' && begin[1] >= '0' && begin[1] <= '9') ++begin;  // from_chars takes no '+'
  int64_t value = 0;
  const auto result = std::from_chars(begin, end, value);
  if (result.ec != std::errc() || result.ptr != end || begin == end) return std::nullopt;
  return value;
}

std::optional<double> parseRealNumber(const char* text) {
  // Digits, a point, an exponent and signs only: no blanks, no hexadecimal,
  // no inf or nan, which the C conversion would also take.
  if (*text == '\0' || std::strspn(text, "+-0123456789.eE") != std::strlen(text)) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text, &end);  // rounds as the C conversion always has
  if (*end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

Arguments readArguments(int argc, char** argv) {
  if (argc != kArgumentCount) {
    printUsage(argv[0] != nullptr ? argv[0] : "zelmor");
    throw Error(ErrorKind::Invalid, "", kExitUsage);
  }
  Arguments a;
  std::printf("\n Current Parameter Setting of Zelmor: \n");
  a.dataFile = argv[1];
  std::printf("datafile: %s \n", a.dataFile);
  const int64_t K = countOrStop("#cluster", argv[2], kMaxClusters);
  a.K = static_cast<int32_t>(K);
  std::printf("#cluster: %d \n", a.K);
  const int64_t d = countOrStop("#dimension", argv[3], kMaxDimensions);
  a.d = static_cast<int32_t>(d);
  std::printf("#dimesion: %d \n", a.d);
  const int64_t N = countOrStop("#data", argv[4], INT32_MAX);
  a.N = static_cast<int32_t>(N);
  std::printf("#data: %d \n", a.N);
  a.epsilonLikelihood = realOrStop("epsilon_likelihood", argv[5]);
  a.epsilon_likelihood = static_cast<float>(a.epsilonLikelihood);
  std::printf("epsilon_likelihood: %f \n", a.epsilonLikelihood);
  const double epsilonCoshare = realOrStop("epsilon_coshare", argv[6]);
  a.epsilon_coshare = static_cast<float>(epsilonCoshare);
  std::printf("epsilon_coshare: %f \n", epsilonCoshare);
  a.microclusFile = argv[7];
  std::printf("microclus file: %s\n", a.microclusFile);
  a.maxLoopNum = static_cast<int32_t>(wholeNumberOrStop("MaxLoopNum", argv[8], 0, INT32_MAX));
  std::printf("MaxLoopNum: %i\n", a.maxLoopNum);
  a.basedim = basedimOrStop(argv[9], a.d);
  std::printf("basedim: %i\n", a.basedim);

  checkCount("#cluster", K, kMaxClusters, "microcluster indices are 16-bit");
  checkCount("#dimension", d, kMaxDimensions, "pivot indices are 16-bit");
  checkCount("#data", N, INT32_MAX, "at least one data point");
  return a;
}

}  // namespace zelmor
