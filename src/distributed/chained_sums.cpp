#include "distributed/chained_sums.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "expand/co_sharing.h"
#include "kernels/sparse_expand.h"
#include "linalg/packed_matrix.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

// Groups of microclusters handed on at once: enough of them that the ranks'
// work overlaps (about 8 per rank), each large enough for the rank's threads.
int32_t groupSize(int32_t K, int ranks, int threads) {
  const int32_t wanted = (K + 8 * ranks - 1) / (8 * ranks);
  return std::max<int32_t>({1, wanted, threads});
}

// Microclusters [kBegin, kEnd)'s running sums, one after the other.
struct GroupSums {
  int64_t kBegin, kEnd, d, packed;
  int64_t length() const { return (kEnd - kBegin) * (1 + d + packed); }
  void pack(const MStepSums& sums, float* out) const {
    out = std::copy(sums.weightSums.data() + kBegin, sums.weightSums.data() + kEnd, out);
    out = std::copy(sums.sumX.data() + kBegin * d, sums.sumX.data() + kEnd * d, out);
    std::copy(sums.scatter.data() + kBegin * packed, sums.scatter.data() + kEnd * packed, out);
  }
  void unpack(const float* in, MStepSums& sums) const {
    std::copy(in, in + (kEnd - kBegin), sums.weightSums.data() + kBegin);
    in += kEnd - kBegin;
    std::copy(in, in + (kEnd - kBegin) * d, sums.sumX.data() + kBegin * d);
    in += (kEnd - kBegin) * d;
    std::copy(in, in + (kEnd - kBegin) * packed, sums.scatter.data() + kBegin * packed);
  }
};

}  // namespace

void ChainedPass::operator()(int32_t iteration, const PassModel& model, const PointSource& data,
                             const RunControl& control, PassState& state, MStepSums& sums, float& logLikelihood) const {
  if (eStepPassGoesPlain(model)) {
    plainChain(iteration, model, data, control, state, sums, logLikelihood);
    return;
  }
  const double started = MPI_Wtime();
  // The first rank's sums start where a lone run's do: it adds its terms at
  // once. Every other rank keeps its terms until the sums reach it.
  std::unique_ptr<DeferredSumsPass> deferred;
  comm_->agreed([&] {
    if (comm_->first()) {
      eStepPassFast(iteration, model, data, control, state, sums, logLikelihood);
    } else {
      deferred = eStepPassFastDeferred(iteration, model, data, control, state, sums);
    }
  });
  times_->localSeconds += MPI_Wtime() - started;
  addInGroups(model, deferred.get(), sums, logLikelihood, control.pool()->threadCount());
  takeLastRanks(sums, model.K, model.d, logLikelihood);
}

// Group by group: the running sums from the rank before, this rank's terms,
// on to the rank after. The log-likelihood travels with the first group.
void ChainedPass::addInGroups(const PassModel& model, DeferredSumsPass* deferred, MStepSums& sums, float& logLikelihood,
                              int threads) const {
  const int32_t K = model.K;
  const int32_t size = groupSize(K, comm_->size(), threads);
  std::vector<std::vector<float>> outgoing;
  std::vector<MPI_Request> requests;
  for (int32_t kBegin = 0; kBegin < K; kBegin += size) {
    const GroupSums group{kBegin, std::min(K, kBegin + size), model.d, packedSymLength(model.d)};
    std::vector<float> message(static_cast<size_t>(group.length()) + 1);
    if (!comm_->first()) {
      const double waitStart = MPI_Wtime();
      comm_->receiveFloats(message.data(), static_cast<int64_t>(message.size()), comm_->rank() - 1);
      const double chainStart = MPI_Wtime();
      times_->waitSeconds += chainStart - waitStart;
      group.unpack(message.data(), sums);
      if (kBegin == 0) {
        logLikelihood = message.back();
        deferred->addLogLikelihood(logLikelihood);
      }
      deferred->addSums(static_cast<int32_t>(group.kBegin), static_cast<int32_t>(group.kEnd));
      times_->chainSeconds += MPI_Wtime() - chainStart;
    }
    if (comm_->last()) continue;
    group.pack(sums, message.data());
    message.back() = logLikelihood;
    outgoing.push_back(std::move(message));
    requests.emplace_back();
    MPI_Isend(outgoing.back().data(), static_cast<int>(outgoing.back().size()), MPI_FLOAT, comm_->rank() + 1, 0,
              comm_->comm(), &requests.back());
    times_->floatsSent += static_cast<int64_t>(outgoing.back().size());
  }
  MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
}

// Means that send every point the plain way: each rank in turn adds its
// points to the sums of all before it. The sums go on even from a rank that
// failed, so that no rank waits for ever; then all agree on the failure.
void ChainedPass::plainChain(int32_t iteration, const PassModel& model, const PointSource& data,
                             const RunControl& control, PassState& state, MStepSums& sums, float& logLikelihood) const {
  const GroupSums all{0, model.K, model.d, packedSymLength(model.d)};
  std::vector<float> message(static_cast<size_t>(all.length()) + 1);
  if (!comm_->first()) {
    comm_->receiveFloats(message.data(), static_cast<int64_t>(message.size()), comm_->rank() - 1);
    all.unpack(message.data(), sums);
    logLikelihood = message.back();
  }
  std::exception_ptr failure;
  try {
    eStepPassPlain(iteration, model, data, control, state, sums, logLikelihood);
  } catch (...) {
    failure = std::current_exception();
  }
  if (!comm_->last()) {
    all.pack(sums, message.data());
    message.back() = logLikelihood;
    comm_->sendFloats(message.data(), static_cast<int64_t>(message.size()), comm_->rank() + 1);
  }
  comm_->agreed([&] {
    if (failure) std::rethrow_exception(failure);
  });
  takeLastRanks(sums, model.K, model.d, logLikelihood);
}

// The last rank's sums are the pass's: every rank takes them, and makes the
// same M-step from them.
void ChainedPass::takeLastRanks(MStepSums& sums, int32_t K, int32_t d, float& logLikelihood) const {
  const int root = comm_->size() - 1;
  if (root == 0) return;
  comm_->broadcastFloats(sums.weightSums.data(), K, root);
  comm_->broadcastFloats(sums.sumX.data(), int64_t{K} * d, root);
  comm_->broadcastFloats(sums.scatter.data(), int64_t{K} * packedSymLength(d), root);
  comm_->broadcastFloats(&logLikelihood, 1, root);
}

double chainedCoverage(const Communicator& comm, const PassState& state) {
  const CompactState& compact = *state.compact;
  const int64_t n = compact.values.points();
  const int64_t m = compact.values.perPoint();
  const SparseRowReader rows = compactRows(compact);
  SparseRowScratch scratch(m);
  // The rank's values by list position, each position's in point order.
  std::vector<int64_t> start(static_cast<size_t>(m) + 1, 0);
  for (int64_t p = 0; p < n; ++p) {
    const SparseRow row = rows(p, scratch);
    for (int64_t i = 0; i < row.count; ++i) ++start[row.positions[i] + 1];
  }
  for (int64_t j = 0; j < m; ++j) start[j + 1] += start[j];
  std::vector<float> column(static_cast<size_t>(start[m]));
  std::vector<int64_t> at(start.begin(), start.end() - 1);
  for (int64_t p = 0; p < n; ++p) {
    const SparseRow row = rows(p, scratch);
    for (int64_t i = 0; i < row.count; ++i) column[at[row.positions[i]]++] = row.values[i];
  }
  // Position by position through every rank: the sum goes round the ranks
  // once for each position.
  const int R = comm.size();
  double sum = 0.0;
  for (int64_t j = 0; j < m; ++j) {
    if (R > 1 && !(comm.first() && j == 0)) {
      MPI_Recv(&sum, 1, MPI_DOUBLE, (comm.rank() + R - 1) % R, 1, comm.comm(), MPI_STATUS_IGNORE);
    }
    for (int64_t i = start[j]; i < start[j + 1]; ++i) sum += column[i];
    if (R > 1 && !(comm.last() && j == m - 1)) MPI_Send(&sum, 1, MPI_DOUBLE, (comm.rank() + 1) % R, 1, comm.comm());
  }
  if (R > 1) MPI_Bcast(&sum, 1, MPI_DOUBLE, R - 1, comm.comm());
  return sum;
}

void chainedCoSharing(const Communicator& comm, const PassState& state, const RunControl& control, float* levels) {
  const CompactState& compact = *state.compact;
  const int64_t m = compact.values.perPoint();
  const int64_t length = packedStrictLowerLength(m);
  if (comm.first()) {
    std::fill(levels, levels + length, 0.0f);
  } else {
    comm.receiveFloats(levels, length, comm.rank() - 1);
  }
  addCoSharing(compactRows(compact), compact.values.points(), m, levels, *control.pool());
  if (comm.size() == 1) return;
  comm.sendFloats(levels, length, comm.last() ? 0 : comm.rank() + 1);
  if (comm.first()) comm.receiveFloats(levels, length, comm.size() - 1);
}

}  // namespace zelmor
