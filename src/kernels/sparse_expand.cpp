#include "kernels/sparse_expand.h"

#include <algorithm>
#include <limits>

#include "kernels/kernel_table.h"
#include "linalg/packed_matrix.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

constexpr int64_t kTaskRows = 4096;

int64_t taskCount(int64_t N) { return (N + kTaskRows - 1) / kTaskRows; }

std::vector<SparseRowScratch> scratchFor(const ThreadPool& pool, int64_t m) {
  return std::vector<SparseRowScratch>(static_cast<size_t>(pool.threadCount()), SparseRowScratch(m));
}

// The values of list positions [low, high) of one task's rows, by position,
// each position's in point order; `counts` holds the task's entries per
// position.
void gatherBand(const SparseRowReader& rows, int64_t begin, int64_t end, int64_t low, int64_t high,
                const int32_t* counts, SparseRowScratch& scratch, std::vector<float>& out) {
  std::vector<int64_t> cursor(static_cast<size_t>(high - low) + 1, 0);
  for (int64_t j = low; j < high; ++j) cursor[j - low + 1] = cursor[j - low] + counts[j];
  out.resize(static_cast<size_t>(cursor[high - low]));
  for (int64_t p = begin; p < end; ++p) {
    const SparseRow row = rows(p, scratch);
    for (int64_t i = 0; i < row.count && row.positions[i] < high; ++i) {
      if (row.positions[i] >= low) out[cursor[row.positions[i] - low]++] = row.values[i];
    }
  }
}

}  // namespace

double coverageSum(const SparseRowReader& rows, int64_t N, int64_t m, ThreadPool& pool, int64_t bandValues) {
  const int64_t tasks = taskCount(N);
  std::vector<SparseRowScratch> scratch = scratchFor(pool, m);
  std::vector<int32_t> counts(static_cast<size_t>(tasks * m), 0);
  pool.run(tasks, [&](int64_t task, int worker) {
    int32_t* taskCounts = counts.data() + task * m;
    for (int64_t p = task * kTaskRows; p < std::min(N, (task + 1) * kTaskRows); ++p) {
      const SparseRow row = rows(p, scratch[worker]);
      for (int64_t i = 0; i < row.count; ++i) ++taskCounts[row.positions[i]];
    }
  });
  std::vector<int64_t> perPosition(static_cast<size_t>(m), 0);
  for (int64_t task = 0; task < tasks; ++task) {
    for (int64_t j = 0; j < m; ++j) perPosition[j] += counts[task * m + j];
  }
  std::vector<std::vector<float>> gathered(static_cast<size_t>(tasks));
  std::vector<int64_t> taskAt(static_cast<size_t>(tasks));
  double sum = 0.0;
  for (int64_t low = 0, high = 0; low < m; low = high) {
    for (int64_t band = 0; high < m && (high == low || band + perPosition[high] <= bandValues); ++high) {
      band += perPosition[high];
    }
    pool.run(tasks, [&](int64_t task, int worker) {
      gatherBand(rows, task * kTaskRows, std::min(N, (task + 1) * kTaskRows), low, high, counts.data() + task * m,
                 scratch[worker], gathered[task]);
    });
    std::fill(taskAt.begin(), taskAt.end(), 0);
    for (int64_t j = low; j < high; ++j) {
      for (int64_t task = 0; task < tasks; ++task) {
        const float* column = gathered[task].data() + taskAt[task];
        const int32_t n = counts[task * m + j];
        for (int32_t i = 0; i < n; ++i) sum += column[i];
        taskAt[task] += n;
      }
    }
  }
  return sum;
}

int32_t mostProbableCluster(const SparseRow& row) {
  int32_t best = -1;
  float max = 0.0f;
  for (int64_t i = 0; i < row.count; ++i) {
    if (row.values[i] > max) {
      max = row.values[i];
      best = row.clusters[i];
    }
  }
  return best;
}

namespace {

struct Nonzero {
  int16_t cluster;
  float r;
};

// Bands of rows of the strict lower triangle with about the same number of
// levels (row a holds a).
std::vector<int64_t> levelBands(int64_t m, int64_t bands) {
  std::vector<int64_t> bandStart(static_cast<size_t>(bands + 1), m);
  bandStart[0] = 0;
  for (int64_t band = 1, row = 0; band < bands; ++band) {
    const double share = static_cast<double>(m) * (m - 1) / 2 * band / bands;
    while (row < m && static_cast<double>(row) * (row - 1) / 2 < share) ++row;
    bandStart[band] = row;
  }
  return bandStart;
}

// Whether a point's entries are many enough for whole rows of products to
// cost less than its pairs (about count²/2 single updates against count rows
// of up to m levels, several to a vector), and all positive and finite.
bool addsWholeRows(const Nonzero* entries, int32_t count, int64_t m, const KernelTable& kernels) {
  if (kernels.isa == Isa::Scalar || 4 * (int64_t{count} - 1) <= m) return false;
  for (int32_t i = 0; i < count; ++i) {
    if (!(entries[i].r > 0.0f && entries[i].r <= std::numeric_limits<float>::max())) return false;
  }
  return true;
}

// One band's products, points in order; each point's entries by descending
// microcluster, so that the band finds its pairs without the others'. A point
// with many entries instead spreads its values over the microclusters (zero
// elsewhere, `spread` holds m zeros between points) and adds, for each of its
// microclusters in the band, value times the spread values to the whole row:
// a product with zero is +0, which leaves every level as it is (levels start
// at +0 and only take sums of products of positive values, so none is -0).
void addBand(const std::vector<Nonzero>& gathered, const std::vector<int32_t>& counts, int64_t low, int64_t high,
             int64_t m, const KernelTable& kernels, std::vector<double>& spread, float* coShareLevels) {
  const Nonzero* next = gathered.data();
  for (const int32_t count : counts) {
    int32_t j = 0;
    while (j < count && next[j].cluster >= high) ++j;
    if (j < count && next[j].cluster >= low && addsWholeRows(next, count, m, kernels)) {
      for (int32_t k = j + 1; k < count; ++k) spread[next[k].cluster] = next[k].r;
      for (; j < count && next[j].cluster >= low; ++j) {
        const int64_t row = next[j].cluster;
        kernels.addRowProducts(coShareLevels + strictLowerIndex(row, 0), spread.data(), row, next[j].r);
      }
      for (int32_t k = 0; k < count; ++k) spread[next[k].cluster] = 0.0;
      next += count;
      continue;
    }
    for (; j < count && next[j].cluster >= low; ++j) {
      float* row = coShareLevels + strictLowerIndex(next[j].cluster, 0);
      for (int32_t k = j + 1; k < count; ++k) {
        float& level = row[next[k].cluster];
        level = static_cast<float>(level + static_cast<double>(next[k].r) * next[j].r);
      }
    }
    next += count;
  }
}

}  // namespace

void addCoSharing(const SparseRowReader& rows, int64_t N, int64_t m, float* coShareLevels, ThreadPool& pool,
                  const KernelTable& kernels) {
  // Rows gathered at once: kBlockTasks runs of kRows.
  constexpr int64_t kBlockTasks = 16;
  constexpr int64_t kRows = 1024;
  std::vector<SparseRowScratch> scratch = scratchFor(pool, m);
  std::vector<std::vector<Nonzero>> gathered(kBlockTasks);
  std::vector<std::vector<int32_t>> counts(kBlockTasks);
  const int64_t tasks = (N + kRows - 1) / kRows;
  const int64_t bands = pool.threadCount() == 1 ? 1 : 2 * pool.threadCount();
  const std::vector<int64_t> bandStart = levelBands(m, bands);
  for (int64_t firstTask = 0; firstTask < tasks; firstTask += kBlockTasks) {
    const int64_t blockTasks = std::min(kBlockTasks, tasks - firstTask);
    pool.run(blockTasks, [&](int64_t local, int worker) {
      std::vector<Nonzero>& out = gathered[local];
      counts[local].clear();
      out.clear();
      const int64_t task = firstTask + local;
      for (int64_t p = task * kRows; p < std::min(N, (task + 1) * kRows); ++p) {
        const SparseRow row = rows(p, scratch[worker]);
        const size_t before = out.size();
        for (int64_t i = 0; i < row.count; ++i) out.push_back(Nonzero{row.clusters[i], row.values[i]});
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(before), out.end(),
                  [](const Nonzero& a, const Nonzero& b) { return a.cluster > b.cluster; });
        counts[local].push_back(static_cast<int32_t>(row.count));
      }
    });
    pool.run(bands, [&](int64_t band, int) {
      std::vector<double> spread(static_cast<size_t>(m), 0.0);
      for (int64_t local = 0; local < blockTasks; ++local) {
        addBand(gathered[local], counts[local], bandStart[band], bandStart[band + 1], m, kernels, spread,
                coShareLevels);
      }
    });
  }
}

}  // namespace zelmor
