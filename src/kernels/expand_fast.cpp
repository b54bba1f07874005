#include "kernels/expand_fast.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "kernels/expand_kernels.h"
#include "kernels/kernel_table.h"
#include "linalg/packed_matrix.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

constexpr int64_t kRowsPerTask = 4096;
// Rows of one coverage task: few enough to stay in a core's cache between
// its two readings of them.
constexpr int64_t kCoverageRows = 1024;

int64_t taskCount(int64_t N) { return (N + kRowsPerTask - 1) / kRowsPerTask; }

}  // namespace

double coverageSum(const float* responsibilities, int64_t N, int64_t m, ThreadPool& pool, const KernelTable& kernels) {
  // One read of the rows: each task counts its nonzero entries per column,
  // then, its rows still in cache, sorts them into place column by column,
  // each column's in point order. The sum then takes them column by column,
  // task by task: the plain order with the zeros left out.
  const int64_t tasks = (N + kCoverageRows - 1) / kCoverageRows;
  std::vector<std::vector<int64_t>> columnStart(static_cast<size_t>(tasks));
  std::vector<std::vector<float>> values(static_cast<size_t>(tasks));
  auto forEachNonzero = [&](int64_t begin, int64_t end, auto&& visit) {
    for (int64_t i = begin; i < end; ++i) {
      const float* row = responsibilities + i * m;
      for (int64_t first = 0; first < m; first += 32) {
        const int64_t width = std::min<int64_t>(32, m - first);
        for (uint32_t nonzero = kernels.nonzeroMask(row + first, width); nonzero != 0; nonzero &= nonzero - 1) {
          const int64_t j = first + std::countr_zero(nonzero);
          visit(j, row[j]);
        }
      }
    }
  };
  pool.run(tasks, [&](int64_t task, int) {
    const int64_t begin = task * kCoverageRows;
    const int64_t end = std::min(N, begin + kCoverageRows);
    std::vector<int64_t>& start = columnStart[task];
    start.assign(static_cast<size_t>(m + 1), 0);
    forEachNonzero(begin, end, [&](int64_t j, float) { ++start[j + 1]; });
    for (int64_t j = 0; j < m; ++j) start[j + 1] += start[j];
    std::vector<float>& out = values[task];
    out.resize(static_cast<size_t>(start[m]));
    std::vector<int64_t> cursor(start.begin(), start.end() - 1);
    forEachNonzero(begin, end, [&](int64_t j, float v) { out[cursor[j]++] = v; });
  });
  double sum = 0.0;
  for (int64_t j = 0; j < m; ++j) {
    for (int64_t task = 0; task < tasks; ++task) {
      const float* column = values[task].data();
      for (int64_t at = columnStart[task][j]; at < columnStart[task][j + 1]; ++at) sum += column[at];
    }
  }
  return sum;
}

void mostProbableCluster(const float* responsibilities, const int16_t* const* lists, int64_t N, int64_t m,
                         int32_t* best, ThreadPool& pool) {
  pool.run(taskCount(N), [&](int64_t task, int) {
    const int64_t end = std::min(N, (task + 1) * kRowsPerTask);
    for (int64_t i = task * kRowsPerTask; i < end; ++i) {
      best[i] = mostProbableClusterPlain(responsibilities + i * m, lists[i], m);
    }
  });
}

// Zeros left out of a sum change nothing: every sum here starts at +0 and its
// terms are products or responsibilities, never -0, and a sum of nonzero
// values rounds to -0 only from -0 itself. The one exception, a zero times a
// value that is not a number, is handled where the rows are gathered.
void addCoSharing(const float* responsibilities, const int16_t* const* lists, int64_t N, int64_t m,
                  float* coShareLevels, ThreadPool& pool, const KernelTable& kernels) {
  // Gather each point's nonzero responsibilities in parallel, then add their
  // products in point order, band by band of the matrix in parallel.
  struct Nonzero {
    int16_t cluster;
    float r;
  };
  constexpr int64_t kBlockTasks = 16;
  std::vector<std::vector<Nonzero>> gathered(kBlockTasks);
  std::vector<std::vector<int32_t>> counts(kBlockTasks);
  const int64_t tasks = taskCount(N);
  // Bands of rows with about the same number of levels (row a holds a).
  const int64_t bands = pool.threadCount() == 1 ? 1 : 2 * pool.threadCount();
  std::vector<int64_t> bandStart(static_cast<size_t>(bands + 1), m);
  bandStart[0] = 0;
  for (int64_t band = 1, row = 0; band < bands; ++band) {
    const double share = static_cast<double>(m) * (m - 1) / 2 * band / bands;
    while (row < m && static_cast<double>(row) * (row - 1) / 2 < share) ++row;
    bandStart[band] = row;
  }
  for (int64_t firstTask = 0; firstTask < tasks; firstTask += kBlockTasks) {
    const int64_t blockTasks = std::min(kBlockTasks, tasks - firstTask);
    pool.run(blockTasks, [&](int64_t local, int) {
      std::vector<Nonzero>& out = gathered[local];
      std::vector<int32_t>& perPoint = counts[local];
      out.clear();
      perPoint.clear();
      const int64_t task = firstTask + local;
      const int64_t end = std::min(N, (task + 1) * kRowsPerTask);
      for (int64_t i = task * kRowsPerTask; i < end; ++i) {
        const float* row = responsibilities + i * m;
        const int16_t* items = lists[i];
        const size_t before = out.size();
        bool ordinary = true;
        for (int64_t first = 0; first < m; first += 32) {
          const int64_t width = std::min<int64_t>(32, m - first);
          for (uint32_t nonzero = kernels.nonzeroMask(row + first, width); nonzero != 0; nonzero &= nonzero - 1) {
            const int64_t j = first + std::countr_zero(nonzero);
            out.push_back(Nonzero{items[j], row[j]});
            ordinary = ordinary && std::isfinite(row[j]);
          }
        }
        if (!ordinary) {
          // A zero times a value that is not a number is not zero: such a
          // row pairs every entry, zeros included, as the plain sum does.
          out.resize(before);
          for (int64_t j = 0; j < m; ++j) out.push_back(Nonzero{items[j], row[j]});
        }
        // Descending microcluster, so that a band of rows finds its pairs
        // without looking at the others'.
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(before), out.end(),
                  [](const Nonzero& a, const Nonzero& b) { return a.cluster > b.cluster; });
        perPoint.push_back(static_cast<int32_t>(out.size() - before));
      }
    });
    // The products in point order for every level; each task owns a band of
    // rows of the matrix, so no two tasks touch the same level.
    pool.run(bands, [&](int64_t band, int) {
      const int64_t low = bandStart[band];
      const int64_t high = bandStart[band + 1];
      for (int64_t local = 0; local < blockTasks; ++local) {
        const Nonzero* next = gathered[local].data();
        for (const int32_t count : counts[local]) {
          // Row next[j].cluster pairs with every smaller microcluster after it.
          int32_t j = 0;
          while (j < count && next[j].cluster >= high) ++j;
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
    });
  }
}

}  // namespace zelmor
