// The shared run's output files: each rank writes its own points' lines of
// membership.txt and of the data copy in output_em.txt at the offsets that
// the ranks before it fill, so the files are those of a lone run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/run_control.h"
#include "distributed/communicator.h"
#include "io/output_target.h"
#include "io/point_source.h"

namespace zelmor {

// Creates (or empties) the file of `target`; an Error with the message a
// lone run gives when it cannot open it.
void createOutputFile(const OutputTarget& target, const char* openFailureMessage);

// Writes every rank's `text` into the existing file of `target`, rank after
// rank, from its start. Collective; a failure on any rank is every rank's.
void writeInRankOrder(const Communicator& comm, const OutputTarget& target, const std::string& text);

// The membership lines of the rank's points.
std::string membershipText(const std::vector<int32_t>& labels);

// Every rank's points copied as lines of text into the existing file of
// `target`, in point order from its start. The rank's points are read twice:
// once to measure their lines, once to write them. Collective.
void writeDataCopy(const Communicator& comm, const PointSource& data, const RunControl& control,
                   const OutputTarget& target);

}  // namespace zelmor
