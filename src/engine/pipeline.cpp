// The run from top to bottom: the EM fit, coverage and membership, the
// co-sharing levels, the expansion, and the files, each stage a function of
// what the ones before it produced.
#include <algorithm>
#include <optional>

#include "core/run_control.h"
#include "engine/engine.h"
#include "expand/co_sharing.h"
#include "expand/coverage.h"
#include "expand/expansion.h"
#include "expand/run_files.h"
#include "fit/em_loop.h"
#include "fit/fit_state.h"
#include "runtime/error.h"
#include "runtime/heap.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

void checkShapes(const RunSettings& settings, const PointSource& data, const std::vector<float>& startMeans) {
  if (data.dimension() != settings.d || data.pointCount() != settings.N ||
      static_cast<int64_t>(startMeans.size()) != int64_t{settings.K} * settings.d) {
    throw Error(ErrorKind::Invalid, "Error in the run's settings: N, d and K do not match the data and the means.\n",
                kExitInvalid);
  }
}

template <typename T>
std::vector<T> copyOf(const Buffer<T>& buffer) {
  return std::vector<T>(buffer.data(), buffer.data() + buffer.size());
}

}  // namespace

FitResult runPipeline(const RunSettings& settings, const PointSource& data, std::vector<float> startMeans,
                      const FitObserver& observer, const RunOutputs* outputs) {
  checkShapes(settings, data, startMeans);
  const int32_t K = settings.K;
  const int32_t d = settings.d;
  const RunControl control(settings.kernels == Kernels::Plain ? 0
                           : settings.threads > 0             ? settings.threads
                                                              : defaultThreadCount(),
                           settings.isa, observer.stopRequested);
  FitResult result;
  result.K = K;
  result.d = d;
  result.N = settings.N;

  // Every array that grows with N or K is obtained before the first pass, so
  // that a run too large for memory stops before hours of work.
  Parameters parameters(startMeans.data(), K, d);
  startMeans = {};
  PassState state(settings.N, K, settings.kernels == Kernels::Plain);
  MStepSums sums(K, d);
  Buffer<float> levels(packedStrictLowerLength(K), "Not enough memory for dist!!\n");
  std::optional<TextWriter> emOut;
  if (outputs != nullptr) {
    emOut.emplace();
    if (!emOut->open(outputs->em)) throw Error(ErrorKind::Output, "Outfile not opened!", kExitFailure);
  }

  // The fast pass that ends the loop adds the co-sharing levels as it goes.
  state.coShareLevels = levels.data();
  runEmLoop(settings, data, control, observer, parameters, state, sums, result.logLikelihoods, result.summary);

  result.labels = assignMembership(state);
  result.summary.coverage = measureCoverage(state, control);
  if (observer.coverageMeasured) observer.coverageMeasured(result.summary.coverage);
  if (coverageTooLow(result.summary.coverage, settings.N)) {
    throw LowCoverageError(
        "The data coverage of microclusters is below 95% of the data.\n"
        "A smaller data range is required or microclusters need to be resampled.\n",
        result.summary.coverage);
  }
  countMembership(result.labels, K, result.summary);
  if (outputs != nullptr) writeMembershipFile(outputs->membership, result.labels);

  if (observer.expansionStarted) observer.expansionStarted();
  measureCoSharing(state, control, levels.data());
  // Only the levels carry the fit on from here.
  if (state.responsibilities) state.responsibilities->release();
  if (state.compact) state.compact.reset();
  result.coShareLevels = copyOf(levels);

  result.orientations = orientationVectors(parameters, settings.basedim);
  std::optional<ExpansionFileWriter> expansionFile;
  if (outputs != nullptr) expansionFile.emplace(outputs->expansion);
  const Expansion expansion =
      expandChains(levels.data(), K, settings.epsilon_coshare, [&](int32_t k, float level, int32_t placed) {
        if (observer.microclusterPlaced) observer.microclusterPlaced(placed, K);
        if (expansionFile) expansionFile->putRecord(level, k, result.orientations.data() + int64_t{k} * d * d, d);
      });
  if (expansionFile) expansionFile->close();
  result.expansionOrder = expansion.order;
  result.joiningLevels = expansion.levels;
  result.summary.chainSizes = expansion.chainSizes;
  result.summary.meansEqual = parameters.allMeansEqual();

  if (outputs != nullptr) {
    writeFinalOutput(*emOut, data, control, parameters.means.data(), K, d, outputs->expansion);
  }
  result.means = copyOf(parameters.means);
  result.covariances = copyOf(parameters.covariances);
  result.weightSums = copyOf(sums.weightSums);
  return result;
}

}  // namespace zelmor
