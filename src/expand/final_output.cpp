// The final output file: a copy of the data points through 32-bit floats, then
// one line per microcluster in expansion order with its mean, its principal
// orientation vector (read back from the expansion file) and its index.
#include <string>
#include <vector>

#include "model/cluster_model.h"
#include "model/fatal.h"
#include "model/input_files.h"
#include "model/number_scanner.h"
#include "model/text_writer.h"

namespace zelmor {

namespace {

// The expansion file was written by this run: a record that does not read back
// is a fault of the run itself, not of the user's input.
[[noreturn]] void corruptRecord(const char* expandFileName, int64_t record, const char* what) {
  fatalExitf(kExitFailure, "Internal error: record %lld of %s %s.\n", static_cast<long long>(record + 1),
             expandFileName, what);
}

}  // namespace

void ClusterModel::writeFinalOutput(TextWriter& emOut, const char* expandFileName) {
  const int32_t d = dimNum;
  const int32_t K = clusterNum;

  {
    DataFileReader data(dataFile, d, dataNum, "File Not Opened!");
    std::vector<float> x(static_cast<size_t>(d));
    while (data.readPoints(x.data(), 1) == 1) {
      for (int32_t j = 0; j < d; ++j) emOut.putReal(x[j]);
      emOut.putChar('\n');
    }
  }

  NumberScanner records;
  if (!records.open(expandFileName)) fatalExit("File Not Opened!", kExitFailure);
  std::vector<bool> seen(static_cast<size_t>(K), false);
  const int64_t skipped = int64_t{d - 1} * d;
  for (int64_t r = 0; r < K; ++r) {
    float level = 0.0f;
    float indexValue = 0.0f;
    if (records.next(level) != ScanStatus::Ok || records.next(indexValue) != ScanStatus::Ok) {
      corruptRecord(expandFileName, r, "cannot be read");
    }
    const int64_t k = static_cast<int64_t>(indexValue);
    if (static_cast<float>(k) != indexValue || k < 0 || k >= K) {
      corruptRecord(expandFileName, r, "names no microcluster");
    }
    if (seen[static_cast<size_t>(k)]) corruptRecord(expandFileName, r, "repeats a microcluster");
    seen[static_cast<size_t>(k)] = true;
    float value = 0.0f;
    for (int64_t n = 0; n < skipped; ++n) {
      if (records.next(value) != ScanStatus::Ok) corruptRecord(expandFileName, r, "is too short");
    }
    for (int32_t j = 0; j < d; ++j) emOut.putReal(means[k * d + j]);
    for (int32_t j = 0; j < d; ++j) {
      if (records.next(value) != ScanStatus::Ok) corruptRecord(expandFileName, r, "is too short");
      emOut.putReal(value);
    }
    emOut.putInt(k);
    emOut.putChar('\n');
  }
  records.close();
  emOut.close();
}

}  // namespace zelmor
