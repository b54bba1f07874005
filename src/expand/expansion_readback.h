// Reading back one record of the expansion file: the level and microcluster
// index, the d x d orientation block, of which only the last d numbers (the
// principal orientation vector) are kept. The final output needs them after
// the covariances are gone; a record that does not read back is described,
// never used.
#pragma once

#include <cstdint>
#include <vector>

#include "io/number_scanner.h"

namespace zelmor {

enum class RecordProblem {
  None,
  Unreadable,  // the level or the index is missing or not a number
  NoCluster,   // the index is no microcluster 0..K-1
  Repeated,    // the index was met in an earlier record
  TooShort,    // the orientation block has fewer than d x d numbers
};

// Reads the next record from `in` for d dimensions and K microclusters. On
// success `cluster` is its microcluster, `principal` (d floats) its last d
// numbers, and seen[cluster] is set; `seen` holds K flags. The orientation
// numbers are read as the C conversion reads them, so an infinite or
// not-a-number component (the vector of a covariance that is not finite)
// comes back as it was written.
RecordProblem readExpansionRecord(NumberScanner& in, int32_t d, int32_t K, std::vector<bool>& seen, int64_t& cluster,
                                  float* principal);

// The problem as the rest of a sentence about the record ("cannot be read").
const char* describeRecordProblem(RecordProblem problem);

}  // namespace zelmor
