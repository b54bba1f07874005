#include "fit/needed_densities.h"

#include <algorithm>

#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

// Points that share one ball test. Smaller balls rule out more microclusters
// per point; larger ones spread the cost of the ball test over more points.
constexpr int64_t kBallPoints = 64;
// Points without a group are tested in runs of this many.
constexpr int64_t kLonePoints = 128;

}  // namespace

NeededDensities::NeededDensities(const SkipTable& table, int workers, const KernelTable& kernels)
    : table_(table), kernels_(kernels), lists_(static_cast<size_t>(workers)), scratch_(static_cast<size_t>(workers)) {
  for (Scratch& s : scratch_) {
    s.survivors.resize(static_cast<size_t>(table.K));
    s.found.resize(static_cast<size_t>(table.K));
    s.distances.resize(static_cast<size_t>(2 * table.K));
  }
}

void NeededDensities::record(int64_t p, int worker, const int32_t* ids, int64_t count, const int32_t* map) {
  Slot& slot = slots_[p];
  slot.count = static_cast<int16_t>(count);
  int16_t* to = slot.ids;
  if (count > kSlotIds) {
    std::vector<int16_t>& list = lists_[worker];
    overflow_[p] = Overflow{worker, static_cast<int64_t>(list.size())};
    list.resize(list.size() + static_cast<size_t>(count));
    to = list.data() + overflow_[p].start;
  }
  for (int64_t i = 0; i < count; ++i) to[i] = static_cast<int16_t>(map != nullptr ? map[ids[i]] : ids[i]);
}

void NeededDensities::findEach(const float* points, const uint8_t* safe, const int32_t* members, int64_t count,
                               int worker) {
  Scratch& s = scratch_[worker];
  for (int64_t i = 0; i < count; ++i) {
    const int32_t p = members[i];
    if (safe[p] == 0) {
      slots_[p].count = -1;
      continue;
    }
    const int64_t found = kernels_.collectNeededDensities(points + int64_t{p} * table_.d, table_, s.found.data());
    record(p, worker, s.found.data(), found, nullptr);
  }
}

void NeededDensities::findGroup(const float* points, const int32_t* members, int64_t count, int32_t nearest,
                                int worker) {
  Scratch& s = scratch_[worker];
  const int32_t d = table_.d;
  // Slices of equal width along the microcluster's long axis, about
  // kBallPoints points each, so that each ball is a short piece of the group.
  s.along.resize(static_cast<size_t>(count));
  double low = 0.0;
  double high = 0.0;
  for (int64_t i = 0; i < count; ++i) {
    const float* x = points + int64_t{members[i]} * d;
    double along = 0.0;  // in double: never overflows
    for (int64_t j = 0; j < d; ++j) along += static_cast<double>(table_.axesByDim[j * table_.stride + nearest]) * x[j];
    s.along[i] = along;
    low = i == 0 ? along : std::min(low, along);
    high = i == 0 ? along : std::max(high, along);
  }
  const int64_t slices = (count + kBallPoints - 1) / kBallPoints;
  const double scale = high > low ? static_cast<double>(slices) / (high - low) : 0.0;
  s.sliceStart.assign(static_cast<size_t>(slices + 1), 0);
  s.slice.resize(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    // A position that is not a number (a width too small to divide by) goes
    // to the last slice; any split is correct, only the work differs.
    const double position = (s.along[i] - low) * scale;
    s.slice[i] = position < static_cast<double>(slices - 1) ? static_cast<int64_t>(position) : slices - 1;
    ++s.sliceStart[s.slice[i] + 1];
  }
  for (int64_t b = 0; b < slices; ++b) s.sliceStart[b + 1] += s.sliceStart[b];
  s.ordered.resize(static_cast<size_t>(count));
  {
    std::vector<int64_t>& cursor = s.cursor;
    cursor.assign(s.sliceStart.begin(), s.sliceStart.end() - 1);
    for (int64_t i = 0; i < count; ++i) s.ordered[cursor[s.slice[i]]++] = members[i];
  }
  for (int64_t b = 0; b < slices; ++b) {
    const int64_t size = s.sliceStart[b + 1] - s.sliceStart[b];
    if (size == 0) continue;
    s.members.assign(s.ordered.begin() + s.sliceStart[b], s.ordered.begin() + s.sliceStart[b + 1]);
    makePointBall(points, s.members.data(), size, d, s.ball);
    const int64_t survivors = ballSurvivors(s.ball, table_, s.survivors.data(), s.distances.data());
    selectSkipTable(table_, s.survivors.data(), survivors, s.part);
    for (const int32_t p : s.members) {
      const int64_t found = kernels_.collectNeededDensities(points + int64_t{p} * d, s.part, s.found.data());
      record(p, worker, s.found.data(), found, s.survivors.data());
    }
  }
}

void NeededDensities::find(const float* points, const uint8_t* safe, const int16_t* near, int64_t count,
                           ThreadPool& pool) {
  const int64_t K = table_.K;
  slots_.resize(static_cast<size_t>(count));
  overflow_.resize(static_cast<size_t>(count));
  for (std::vector<int16_t>& list : lists_) list.clear();

  // Group the points by the microcluster they lay nearest; group K holds
  // those without one, in point order.
  groupStart_.assign(static_cast<size_t>(K + 2), 0);
  auto groupOf = [&](int64_t p) -> int64_t { return safe[p] != 0 && near[p] >= 0 && near[p] < K ? near[p] : K; };
  for (int64_t p = 0; p < count; ++p) ++groupStart_[groupOf(p) + 1];
  for (int64_t g = 0; g <= K; ++g) groupStart_[g + 1] += groupStart_[g];
  order_.resize(static_cast<size_t>(count));
  {
    std::vector<int64_t> cursor(groupStart_.begin(), groupStart_.end() - 1);
    for (int64_t p = 0; p < count; ++p) order_[cursor[groupOf(p)]++] = static_cast<int32_t>(p);
  }

  // One task per group, then the lone points in runs.
  // Largest groups first, so that no large one is left to run alone at the end.
  std::vector<int64_t> groups;
  for (int64_t g = 0; g < K; ++g) {
    if (groupStart_[g + 1] > groupStart_[g]) groups.push_back(g);
  }
  std::sort(groups.begin(), groups.end(), [&](int64_t a, int64_t b) {
    const int64_t sizeA = groupStart_[a + 1] - groupStart_[a];
    const int64_t sizeB = groupStart_[b + 1] - groupStart_[b];
    return sizeA > sizeB || (sizeA == sizeB && a < b);
  });
  const int64_t lone = groupStart_[K + 1] - groupStart_[K];
  const int64_t loneTasks = (lone + kLonePoints - 1) / kLonePoints;
  const int64_t groupTasks = static_cast<int64_t>(groups.size());
  pool.run(groupTasks + loneTasks, [&](int64_t task, int worker) {
    if (task < groupTasks) {
      const int64_t g = groups[task];
      findGroup(points, order_.data() + groupStart_[g], groupStart_[g + 1] - groupStart_[g], static_cast<int32_t>(g),
                worker);
      return;
    }
    const int64_t first = (task - groupTasks) * kLonePoints;
    findEach(points, safe, order_.data() + groupStart_[K] + first, std::min(kLonePoints, lone - first), worker);
  });
}

}  // namespace zelmor
