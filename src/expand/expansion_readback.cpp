#include "expand/expansion_readback.h"

namespace zelmor {

RecordProblem readExpansionRecord(NumberScanner& in, int32_t d, int32_t K, std::vector<bool>& seen, int64_t& cluster,
                                  float* principal) {
  float level = 0.0f;
  float indexValue = 0.0f;
  if (in.nextAnyReal(level) != ScanStatus::Ok || in.next(indexValue) != ScanStatus::Ok) {
    return RecordProblem::Unreadable;
  }
  // The index was written as an integer; anything else names no microcluster
  // (and must not be used to read the means).
  if (!(indexValue >= 0.0f && indexValue < static_cast<float>(K))) return RecordProblem::NoCluster;
  const int64_t k = static_cast<int64_t>(indexValue);
  if (static_cast<float>(k) != indexValue) return RecordProblem::NoCluster;
  if (seen[static_cast<size_t>(k)]) return RecordProblem::Repeated;
  float value = 0.0f;
  const int64_t skipped = int64_t{d - 1} * d;
  for (int64_t n = 0; n < skipped; ++n) {
    if (in.nextAnyReal(value) != ScanStatus::Ok) return RecordProblem::TooShort;
  }
  for (int32_t j = 0; j < d; ++j) {
    if (in.nextAnyReal(principal[j]) != ScanStatus::Ok) return RecordProblem::TooShort;
  }
  seen[static_cast<size_t>(k)] = true;
  cluster = k;
  return RecordProblem::None;
}

const char* describeRecordProblem(RecordProblem problem) {
  switch (problem) {
    case RecordProblem::None:
      return "is whole";
    case RecordProblem::Unreadable:
      return "cannot be read";
    case RecordProblem::NoCluster:
      return "names no microcluster";
    case RecordProblem::Repeated:
      return "repeats a microcluster";
    case RecordProblem::TooShort:
      break;
  }
  return "is too short";
}

}  // namespace zelmor
