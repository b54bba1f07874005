// The three files a run writes: membership (one microcluster per point), the
// expansion (one record per placed microcluster: joining level, index and
// orientation vectors), and the final output (a copy of the data, then one
// line per microcluster in expansion order with its mean, its principal
// orientation vector as read back from the expansion file, and its index).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/run_control.h"
#include "io/output_target.h"
#include "io/point_source.h"
#include "io/text_writer.h"

namespace zelmor {

class ThreadPool;

// One line per point: its microcluster, or -1.
void writeMembershipFile(const OutputTarget& target, const std::vector<int32_t>& labels);

class ExpansionFileWriter {
 public:
  explicit ExpansionFileWriter(const OutputTarget& target);
  // The record of microcluster k, joined at `level`; `vectors` holds its d
  // orientation vectors, vector by vector.
  void putRecord(float level, int32_t k, const float* vectors, int32_t d);
  void close() { out_.close(); }

 private:
  TextWriter out_;
};

// The points of `data` as the data copy's lines, a run of points at a time
// in file order, each run read and formatted with control's pool (which it
// needs).
void forEachDataCopyText(const PointSource& data, const RunControl& control,
                         const std::function<void(const std::string&)>& take);

// Writes the final output into `emOut` (opened when the run started) and
// closes it. The data copy passes over `data` once more (in parallel with a
// pool); `expansion` is the expansion file this run has written.
void writeFinalOutput(TextWriter& emOut, const PointSource& data, const RunControl& control, const float* means,
                      int32_t K, int32_t d, const OutputTarget& expansion);

// The final output's lines after the data copy, into `emOut`, which it closes.
void writeFinalLines(TextWriter& emOut, const float* means, int32_t K, int32_t d, const OutputTarget& expansion);

}  // namespace zelmor
