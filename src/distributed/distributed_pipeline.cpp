#include "distributed/distributed_pipeline.h"

#include <optional>

#include "core/run_control.h"
#include "distributed/data_partition.h"
#include "distributed/rank_outputs.h"
#include "expand/coverage.h"
#include "expand/expansion.h"
#include "expand/run_files.h"
#include "fit/em_loop.h"
#include "fit/fit_state.h"
#include "linalg/packed_matrix.h"
#include "runtime/error.h"
#include "runtime/heap.h"

namespace zelmor {

namespace {

// The first rank's output targets, on every rank.
RunOutputs sharedTargets(const Communicator& comm, const RunOutputs* outputs) {
  RunOutputs targets;
  if (outputs != nullptr) targets = *outputs;
  for (OutputTarget* target : {&targets.membership, &targets.expansion, &targets.em}) {
    comm.broadcastText(target->name, 0);
    comm.broadcastText(target->path, 0);
  }
  return targets;
}

// The points with none, and the microclusters no point chose, over all ranks.
void countSharedMembership(const Communicator& comm, const std::vector<int32_t>& labels, int32_t K,
                           RunSummary& summary) {
  std::vector<int32_t> chosen(static_cast<size_t>(K), 0);
  int64_t unassigned = 0;
  for (const int32_t label : labels) {
    if (label < 0) {
      ++unassigned;
    } else if (label < K) {
      chosen[static_cast<size_t>(label)] = 1;
    }
  }
  MPI_Allreduce(MPI_IN_PLACE, chosen.data(), K, MPI_INT32_T, MPI_MAX, comm.comm());
  summary.unassigned = comm.sum(unassigned);
  summary.emptyClusters = 0;
  for (const int32_t c : chosen) summary.emptyClusters += c != 0 ? 0 : 1;
}

// The expansion and its file, on the first rank.
void expandOnFirstRank(const RunSettings& settings, const Parameters& parameters, float* levels,
                       const FitObserver& observer, const RunOutputs& targets, FitResult& result) {
  const int32_t K = settings.K;
  const int32_t d = settings.d;
  result.orientations = orientationVectors(parameters, settings.basedim);
  ExpansionFileWriter expansionFile(targets.expansion);
  const Expansion expansion =
      expandChains(levels, K, settings.epsilon_coshare, [&](int32_t k, float level, int32_t placed) {
        if (observer.microclusterPlaced) observer.microclusterPlaced(placed, K);
        expansionFile.putRecord(level, k, result.orientations.data() + int64_t{k} * d * d, d);
      });
  expansionFile.close();
  result.expansionOrder = expansion.order;
  result.joiningLevels = expansion.levels;
  result.summary.chainSizes = expansion.chainSizes;
}

}  // namespace

FitResult runDistributedPipeline(const Communicator& comm, const RunSettings& settings, const char* dataFile,
                                 std::vector<float> startMeans, const FitObserver& observer, const RunOutputs* outputs,
                                 ChainTimes& times) {
  const int32_t K = settings.K;
  const int32_t d = settings.d;
  const RunControl control(settings.threads > 0 ? settings.threads : defaultThreadCount(), settings.isa,
                           observer.stopRequested);
  const RunOutputs targets = sharedTargets(comm, outputs);
  const RankRange range = partitionDataFile(comm, dataFile, d, settings.N);
  const RangeFileSource data(dataFile, d, range, settings.N, *control.pool());
  FitResult result;
  result.K = K;
  result.d = d;
  result.N = settings.N;

  // As in a lone run, every array that grows with N or K is obtained first.
  std::optional<Parameters> parameters;
  std::optional<PassState> state;
  std::optional<MStepSums> sums;
  std::optional<Buffer<float>> levels;
  comm.agreed([&] {
    parameters.emplace(startMeans.data(), K, d);
    startMeans = {};
    state.emplace(range.points, K, false);
    sums.emplace(K, d);
    levels.emplace(packedStrictLowerLength(K), "Not enough memory for dist!!\n");
    if (comm.first()) createOutputFile(targets.em, "Outfile not opened!");
  });

  runEmLoop(settings, data, control, observer, *parameters, *state, *sums, result.logLikelihoods, result.summary,
            ChainedPass(comm, times));

  result.labels = assignMembership(*state);
  result.summary.coverage = chainedCoverage(comm, *state);
  if (observer.coverageMeasured) observer.coverageMeasured(result.summary.coverage);
  if (coverageTooLow(result.summary.coverage, settings.N)) {
    comm.noteSharedFailure();  // every rank has the same coverage
    throw LowCoverageError(
        "The data coverage of microclusters is below 95% of the data.\n"
        "A smaller data range is required or microclusters need to be resampled.\n",
        result.summary.coverage);
  }
  countSharedMembership(comm, result.labels, K, result.summary);
  comm.agreed([&] {
    if (comm.first()) createOutputFile(targets.membership, "File Not Opened!");
  });
  writeInRankOrder(comm, targets.membership, membershipText(result.labels));

  if (observer.expansionStarted) observer.expansionStarted();
  const double coSharingStart = MPI_Wtime();
  chainedCoSharing(comm, *state, control, levels->data());
  times.coSharingSeconds = MPI_Wtime() - coSharingStart;
  state.reset();
  comm.agreed([&] {
    if (!comm.first()) return;
    result.coShareLevels.assign(levels->data(), levels->data() + levels->size());
    expandOnFirstRank(settings, *parameters, levels->data(), observer, targets, result);
    result.summary.meansEqual = parameters->allMeansEqual();
  });

  const double copyStart = MPI_Wtime();
  writeDataCopy(comm, data, control, targets.em);
  times.outputSeconds = MPI_Wtime() - copyStart;
  comm.agreed([&] {
    if (!comm.first()) return;
    TextWriter emOut;
    if (!emOut.openToAppend(targets.em)) throw Error(ErrorKind::Output, "Outfile not opened!", kExitFailure);
    writeFinalLines(emOut, parameters->means.data(), K, d, targets.expansion);
  });
  result.means.assign(parameters->means.data(), parameters->means.data() + parameters->means.size());
  result.covariances.assign(parameters->covariances.data(),
                            parameters->covariances.data() + parameters->covariances.size());
  result.weightSums.assign(sums->weightSums.data(), sums->weightSums.data() + sums->weightSums.size());
  return result;
}

}  // namespace zelmor
