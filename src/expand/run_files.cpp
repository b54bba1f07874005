#include "expand/run_files.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "expand/expansion_readback.h"
#include "io/float_format.h"
#include "io/number_scanner.h"
#include "io/text_writer.h"
#include "runtime/error.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

constexpr int64_t kCopyBlockPoints = 16384;
constexpr int64_t kCopyChunkPoints = 512;

void copyData(const PointSource& data, const RunControl& control, TextWriter& emOut) {
  if (control.pool() != nullptr) {
    forEachDataCopyText(data, control, [&](const std::string& text) { emOut.putBytes(text.data(), text.size()); });
    return;
  }
  const int32_t d = data.dimension();
  const std::unique_ptr<PointPass> pass = data.startPass(nullptr, control.kernels(), "File Not Opened!");
  std::vector<float> x(static_cast<size_t>(d));
  while (pass->readPoints(x.data(), 1) == 1) {
    for (int32_t j = 0; j < d; ++j) emOut.putReal(x[j]);
    emOut.putChar('\n');
  }
}

}  // namespace

// Points read in parallel, their lines formatted in parallel, handed on in
// file order: the same bytes as the point-by-point copy.
void forEachDataCopyText(const PointSource& data, const RunControl& control,
                         const std::function<void(const std::string&)>& take) {
  const int32_t d = data.dimension();
  ThreadPool& pool = *control.pool();
  const std::unique_ptr<PointPass> pass = data.startPass(&pool, control.kernels(), "File Not Opened!");
  std::vector<float> points(static_cast<size_t>(kCopyBlockPoints) * d);
  std::vector<std::string> lines(static_cast<size_t>(kCopyBlockPoints / kCopyChunkPoints));
  for (;;) {
    const int64_t count = pass->readPoints(points.data(), kCopyBlockPoints);
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
    for (int64_t c = 0; c < chunks; ++c) take(lines[c]);
  }
}

void writeMembershipFile(const OutputTarget& target, const std::vector<int32_t>& labels) {
  TextWriter out;
  if (!out.open(target)) throw Error(ErrorKind::Output, "File Not Opened!", kExitFailure);
  for (const int32_t label : labels) {
    out.putInt(label);
    out.putChar('\n');
  }
  out.close();
}

// Orientation vectors are drawn as colours: each eigenvector component is
// scaled to the 0..255 range of a colour channel.
constexpr double kOrientationScale = 255.0;

ExpansionFileWriter::ExpansionFileWriter(const OutputTarget& target) {
  if (!out_.open(target)) throw Error(ErrorKind::Output, "File Not Opened!", kExitFailure);
}

void ExpansionFileWriter::putRecord(float level, int32_t k, const float* vectors, int32_t d) {
  out_.putReal(level);
  out_.putInt(k);
  out_.putChar(' ');
  for (int64_t i = 0; i < int64_t{d} * d; ++i) out_.putReal(kOrientationScale * static_cast<double>(vectors[i]));
  out_.putChar('\n');
}

void writeFinalOutput(TextWriter& emOut, const PointSource& data, const RunControl& control, const float* means,
                      int32_t K, int32_t d, const OutputTarget& expansion) {
  copyData(data, control, emOut);
  writeFinalLines(emOut, means, K, d, expansion);
}

void writeFinalLines(TextWriter& emOut, const float* means, int32_t K, int32_t d, const OutputTarget& expansion) {
  NumberScanner records;
  if (!records.open(expansion.path.c_str())) throw Error(ErrorKind::Output, "File Not Opened!", kExitFailure);
  std::vector<bool> seen(static_cast<size_t>(K), false);
  std::vector<float> principal(static_cast<size_t>(d));
  for (int64_t r = 0; r < K; ++r) {
    int64_t k = 0;
    const RecordProblem problem = readExpansionRecord(records, d, K, seen, k, principal.data());
    if (problem != RecordProblem::None) {
      // The expansion file was written by this run: a record that does not
      // read back is a fault of the run itself, not of the user's input.
      throw Error(ErrorKind::Internal,
                  formatMessage("Internal error: record %lld of %s %s.\n", static_cast<long long>(r + 1),
                                expansion.name.c_str(), describeRecordProblem(problem)),
                  kExitFailure);
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
