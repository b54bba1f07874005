// The sums of a shared run, each a chain through the ranks in rank order, so
// that every sum takes its terms in point order as a lone run does: the
// E-step's log-likelihood and M-step sums (handed on microcluster group by
// group, so that rank r works on one group while rank r+1 works on the one
// before), the coverage and the co-sharing levels.
#pragma once

#include <cstdint>

#include "core/run_control.h"
#include "distributed/communicator.h"
#include "fit/e_step.h"
#include "fit/fit_state.h"
#include "io/point_source.h"

namespace zelmor {

// Where a rank's time went, in seconds: its own passes' work, and the waits
// for the running sums of the rank before it.
struct ChainTimes {
  double localSeconds = 0.0;
  double waitSeconds = 0.0;
  double chainSeconds = 0.0;      // adding its terms to the running sums
  double coSharingSeconds = 0.0;  // the co-sharing chain, waits included
  double outputSeconds = 0.0;     // the rank's lines of membership and the data copy
  int64_t floatsSent = 0;         // running sums handed on, per rank
};

// One E-step pass over the rank's points whose sums and log-likelihood come
// out as a lone run's over all points, on every rank (a PassFunction).
class ChainedPass {
 public:
  ChainedPass(const Communicator& comm, ChainTimes& times) : comm_(&comm), times_(&times) {}
  void operator()(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
                  PassState& state, MStepSums& sums, float& logLikelihood) const;

 private:
  void addInGroups(const PassModel& model, DeferredSumsPass* deferred, MStepSums& sums, float& logLikelihood,
                   int threads) const;
  void plainChain(int32_t iteration, const PassModel& model, const PointSource& data, const RunControl& control,
                  PassState& state, MStepSums& sums, float& logLikelihood) const;
  void takeLastRanks(MStepSums& sums, int32_t K, int32_t d, float& logLikelihood) const;

  const Communicator* comm_;
  ChainTimes* times_;
};

// The sum of every responsibility of the last pass over all ranks' points
// (list position by list position, each position's points in order), on
// every rank.
double chainedCoverage(const Communicator& comm, const PassState& state);

// The co-sharing levels over all ranks' points into `levels` on the first
// rank (the others' `levels` end as scratch).
void chainedCoSharing(const Communicator& comm, const PassState& state, const RunControl& control, float* levels);

}  // namespace zelmor
