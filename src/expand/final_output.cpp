// The final output file: a copy of the data points through 32-bit floats, then
// one line per microcluster in expansion order with its mean, its principal
// orientation vector (read back from the expansion file) and its index.
#include <algorithm>
#include <string>
#include <vector>

#include "core/cluster_model.h"
#include "expand/expansion_readback.h"
#include "io/float_format.h"
#include "io/input_files.h"
#include "io/number_scanner.h"
#include "io/parallel_reader.h"
#include "io/text_writer.h"
#include "kernels/kernel_table.h"
#include "runtime/fatal.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

constexpr int64_t kCopyBlockPoints = 16384;
constexpr int64_t kCopyChunkPoints = 512;

// The data copy of the fast configuration: points read in parallel, their
// lines formatted in parallel, written in file order. The same bytes as the
// point-by-point copy.
void copyDataInParallel(const char* dataFile, int32_t d, int32_t N, TextWriter& emOut, const KernelTable& kernels) {
  ThreadPool& pool = runThreadPool();
  ParallelPointReader reader(dataFile, d, N, "File Not Opened!", pool, kernels);
  reader.setBeforeFailure([&emOut] { emOut.abandon(); });
  std::vector<float> points(static_cast<size_t>(kCopyBlockPoints) * d);
  std::vector<std::string> lines(static_cast<size_t>(kCopyBlockPoints / kCopyChunkPoints));
  for (;;) {
    const int64_t count = reader.readPoints(points.data(), kCopyBlockPoints);
    if (count == 0) break;
    const int64_t chunks = (count + kCopyChunkPoints - 1) / kCopyChunkPoints;
    pool.run(chunks, [&](int64_t c, int) {
      std::string& text = lines[c];
      text.clear();
      char number[kFixed6BufferSize];
      const int64_t end = std::min(count, (c + 1) * kCopyChunkPoints);
      for (int64_t p = c * kCopyChunkPoints; p < end; ++p) {
        for (int32_t j = 0; j < d; ++j) {
          text.append(number, formatFixed6(points[p * d + j], number));
          text += ' ';
        }
        text += '\n';
      }
    });
    for (int64_t c = 0; c < chunks; ++c) emOut.putBytes(lines[c].data(), lines[c].size());
  }
}

}  // namespace

void ClusterModel::writeFinalOutput(TextWriter& emOut, const OutputTarget& expansion) {
  const int32_t d = dimNum;
  const int32_t K = clusterNum;

  // From here on the output file fills; a failure must not leave it holding
  // the data lines alone, or some of the microcluster lines, as if complete.
  if (settings.kernels != Kernels::Plain) {
    copyDataInParallel(dataFile, d, dataNum, emOut, kernelTable(settings.isa));
  } else {
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
  if (!records.open(expansion.path.c_str())) {
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
      fatalExitf(kExitFailure, "Internal error: record %lld of %s %s.\n", static_cast<long long>(r + 1),
                 expansion.name.c_str(), describeRecordProblem(problem));
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
