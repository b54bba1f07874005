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
  // A lone rank adds its terms as it goes. Shared, every rank keeps its
  // terms until the running sums reach it, the first rank too: it hands on
  // each group as soon as it has added its own terms to it.
  std::unique_ptr<DeferredSumsPass> deferred;
  comm_->agreed([&] {
    if (comm_->size() == 1) {
      eStepPassFast(iteration, model, data, control, state, sums, logLikelihood);
    } else {
      deferred = eStepPassFastDeferred(iteration, model, data, control, state, sums);
    }
  });
  times_->localSeconds += MPI_Wtime() - started;
  if (comm_->size() == 1) return;
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
    const double waitStart = MPI_Wtime();
    if (!comm_->first()) {
      comm_->receiveFloats(message.data(), static_cast<int64_t>(message.size()), comm_->rank() - 1);
      group.unpack(message.data(), sums);
      if (kBegin == 0) logLikelihood = message.back();
    }
    const double chainStart = MPI_Wtime();
    times_->waitSeconds += chainStart - waitStart;
    if (kBegin == 0) deferred->addLogLikelihood(logLikelihood);
    deferred->addSums(static_cast<int32_t>(group.kBegin), static_cast<int32_t>(group.kEnd));
    times_->chainSeconds += MPI_Wtime() - chainStart;
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
  std::vector<int64_t> perPosition(static_cast<size_t>(m), 0);
  for (int64_t p = 0; p < n; ++p) {
    const SparseRow row = rows(p, scratch);
    for (int64_t i = 0; i < row.count; ++i) ++perPosition[row.positions[i]];
  }
  // Position by position through every rank: the sum goes round the ranks
  // once for each list position. The rank's values of a band of positions
  // are gathered at a time, each position's in point order.
  const int R = comm.size();
  double sum = 0.0;
  std::vector<float> column;
  std::vector<int64_t> start;
  for (int64_t low = 0, high = 0; low < m; low = high) {
    for (int64_t band = 0; high < m && (high == low || band + perPosition[high] <= kCoverageBandValues); ++high) {
      band += perPosition[high];
    }
    start.assign(static_cast<size_t>(high - low) + 1, 0);
    for (int64_t j = low; j < high; ++j) start[j - low + 1] = start[j - low] + perPosition[j];
    column.resize(static_cast<size_t>(start.back()));
    std::vector<int64_t> at(start.begin(), start.end() - 1);
    for (int64_t p = 0; p < n; ++p) {
      const SparseRow row = rows(p, scratch);
      for (int64_t i = 0; i < row.count && row.positions[i] < high; ++i) {
        if (row.positions[i] >= low) column[at[row.positions[i] - low]++] = row.values[i];
      }
    }
    for (int64_t j = low; j < high; ++j) {
      if (R > 1 && !(comm.first() && j == 0)) {
        MPI_Recv(&sum, 1, MPI_DOUBLE, (comm.rank() + R - 1) % R, 1, comm.comm(), MPI_STATUS_IGNORE);
      }
      for (int64_t i = start[j - low]; i < start[j - low + 1]; ++i) sum += column[i];
      if (R > 1 && !(comm.last() && j == m - 1)) {
        MPI_Send(&sum, 1, MPI_DOUBLE, (comm.rank() + 1) % R, 1, comm.comm());
      }
    }
  }
  if (R > 1) MPI_Bcast(&sum, 1, MPI_DOUBLE, R - 1, comm.comm());
  return sum;
}

namespace {

constexpr int kBandTag = 2;

struct Nonzero {
  int16_t cluster;
  float r;
};

// The rank's rows for the co-sharing levels, a run of points per task:
// each point's nonzero entries by ascending microcluster. The entries of a
// band of microclusters are then one stretch of each point's, which a cursor
// per point finds band after band.
struct GatheredRows {
  static constexpr int64_t kRows = 4096;
  int64_t points = 0;
  std::vector<std::vector<Nonzero>> entries;
  std::vector<std::vector<int32_t>> counts;

  GatheredRows(const CompactState& compact, ThreadPool& pool) : points(compact.values.points()) {
    const int64_t tasks = (points + kRows - 1) / kRows;
    entries.resize(static_cast<size_t>(tasks));
    counts.resize(static_cast<size_t>(tasks));
    const SparseRowReader rows = compactRows(compact);
    std::vector<SparseRowScratch> scratch(static_cast<size_t>(pool.threadCount()),
                                          SparseRowScratch(compact.values.perPoint()));
    pool.run(tasks, [&](int64_t task, int worker) {
      for (int64_t p = task * kRows; p < std::min(points, (task + 1) * kRows); ++p) {
        const SparseRow row = rows(p, scratch[worker]);
        const size_t before = entries[task].size();
        for (int64_t i = 0; i < row.count; ++i) entries[task].push_back(Nonzero{row.clusters[i], row.values[i]});
        std::sort(entries[task].begin() + static_cast<std::ptrdiff_t>(before), entries[task].end(),
                  [](const Nonzero& a, const Nonzero& b) { return a.cluster < b.cluster; });
        counts[task].push_back(static_cast<int32_t>(row.count));
      }
    });
  }

  // Adds every point's products to the levels of rows [low, high) of the
  // strict lower triangle (row a: the levels of a with every b < a), points
  // in order. `cursor` (one per point, 0 at first) moves past the entries
  // below `low`; calls with the same cursors take ascending bands.
  void addRows(int64_t low, int64_t high, float* levels, int32_t* cursor) const {
    for (size_t task = 0; task < entries.size(); ++task) {
      const Nonzero* next = entries[task].data();
      for (const int32_t count : counts[task]) {
        int32_t& j = *cursor++;
        while (j < count && next[j].cluster < low) ++j;
        for (; j < count && next[j].cluster < high; ++j) {
          float* row = levels + strictLowerIndex(next[j].cluster, 0);
          for (int32_t k = 0; k < j; ++k) {
            float& level = row[next[k].cluster];
            level = static_cast<float>(level + static_cast<double>(next[k].r) * next[j].r);
          }
        }
        next += count;
      }
    }
  }
};

// Row bounds of `parts` runs of rows [low, high) with about as many levels
// each (row a holds a).
std::vector<int64_t> splitRows(int64_t low, int64_t high, int64_t parts) {
  std::vector<int64_t> bounds{low};
  const double first = static_cast<double>(low) * (low - 1) / 2;
  const double all = static_cast<double>(high) * (high - 1) / 2 - first;
  for (int64_t part = 1, row = low; part < parts; ++part) {
    while (row < high && static_cast<double>(row) * (row - 1) / 2 - first < all * part / parts) ++row;
    bounds.push_back(row);
  }
  bounds.push_back(high);
  return bounds;
}

}  // namespace

// Band by band of rows, as the E-step's groups: the running levels from the
// rank before, this rank's products (the band split again between its
// threads), on to the rank after; the last rank hands each band to the first.
void chainedCoSharing(const Communicator& comm, const PassState& state, const RunControl& control, float* levels) {
  const CompactState& compact = *state.compact;
  const int64_t m = compact.values.perPoint();
  ThreadPool& pool = *control.pool();
  const int R = comm.size();
  if (R == 1) {
    std::fill(levels, levels + strictLowerIndex(m, 0), 0.0f);
    addCoSharing(compactRows(compact), compact.values.points(), m, levels, pool, control.kernels());
    return;
  }
  const GatheredRows rows(compact, pool);
  const std::vector<int64_t> bands = splitRows(0, m, std::min<int64_t>(m, 8 * R));
  std::vector<std::vector<int32_t>> cursors(static_cast<size_t>(pool.threadCount()),
                                            std::vector<int32_t>(static_cast<size_t>(rows.points), 0));
  std::vector<MPI_Request> requests;
  for (size_t b = 0; b + 1 < bands.size(); ++b) {
    float* band = levels + strictLowerIndex(bands[b], 0);
    const int64_t length = strictLowerIndex(bands[b + 1], 0) - strictLowerIndex(bands[b], 0);
    if (length == 0) continue;
    if (comm.first()) {
      std::fill(band, band + length, 0.0f);
    } else {
      MPI_Recv(band, static_cast<int>(length), MPI_FLOAT, comm.rank() - 1, kBandTag, comm.comm(), MPI_STATUS_IGNORE);
    }
    const std::vector<int64_t> parts = splitRows(bands[b], bands[b + 1], pool.threadCount());
    pool.run(static_cast<int64_t>(parts.size()) - 1,
             [&](int64_t part, int) { rows.addRows(parts[part], parts[part + 1], levels, cursors[part].data()); });
    requests.emplace_back();
    MPI_Isend(band, static_cast<int>(length), MPI_FLOAT, comm.last() ? 0 : comm.rank() + 1, kBandTag, comm.comm(),
              &requests.back());
  }
  MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
  if (!comm.first()) return;
  for (size_t b = 0; b + 1 < bands.size(); ++b) {
    const int64_t length = strictLowerIndex(bands[b + 1], 0) - strictLowerIndex(bands[b], 0);
    if (length == 0) continue;
    MPI_Recv(levels + strictLowerIndex(bands[b], 0), static_cast<int>(length), MPI_FLOAT, R - 1, kBandTag, comm.comm(),
             MPI_STATUS_IGNORE);
  }
}

}  // namespace zelmor
