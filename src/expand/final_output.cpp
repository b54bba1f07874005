// The final output file: a copy of the data points through 32-bit floats, then
// one line per microcluster in expansion order with its mean, its principal
// orientation vector (read back from the expansion file) and its index.
#include <string>
#include <vector>

#include "expand/expansion_readback.h"
#include "model/cluster_model.h"
#include "model/fatal.h"
#include "model/input_files.h"
#include "model/number_scanner.h"
#include "model/text_writer.h"

namespace zelmor {

void ClusterModel::writeFinalOutput(TextWriter& emOut, const char* expandFileName) {
  const int32_t d = dimNum;
  const int32_t K = clusterNum;

  // From here on the output file fills; a failure must not leave it holding
  // the data lines alone, or some of the microcluster lines, as if complete.
  {
    DataFileReader data(dataFile, d, dataNum, "File Not Opened!");
    std::vector<float> x(static_cast<size_t>(d));
    int64_t count = 0;
    std::string problem;
    for (;;) {
      if (!data.tryReadPoints(x.data(), 1, count, problem)) {
        emOut.abandon();
        data.fail(problem);
      }
      if (count == 0) break;
      for (int32_t j = 0; j < d; ++j) emOut.putReal(x[j]);
      emOut.putChar('\n');
    }
  }

  NumberScanner records;
  if (!records.open(expandFileName)) {
    emOut.abandon();
    fatalExit("File Not Opened!", kExitFailure);
  }
  std::vector<bool> seen(static_cast<size_t>(K), false);
  std::vector<float> principal(static_cast<size_t>(d));
  for (int64_t r = 0; r < K; ++r) {
    int64_t k = 0;
    const RecordProblem problem = readExpansionRecord(records, d, K, seen, k, principal.data());
    if (problem != RecordProblem::None) {
      // The expansion file was written by this run: a record that does not
      // read back is a fault of the run itself, not of the user's input.
      emOut.abandon();
      fatalExitf(kExitFailure, "Internal error: record %lld of %s %s.\n", static_cast<long long>(r + 1), expandFileName,
                 describeRecordProblem(problem));
    }
    for (int32_t j = 0; j < d; ++j) emOut.putReal(means[k * d + j]);
    for (int32_t j = 0; j < d; ++j) emOut.putReal(principal[static_cast<size_t>(j)]);
    emOut.putInt(k);
    emOut.putChar('\n');
  }
  records.close();
  emOut.close();
}

}  // namespace zelmor
