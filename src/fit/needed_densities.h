// Which densities the points of a block need: for each point, the
// microclusters whose density the skip table cannot prove to be 0. Points that
// lay near the same microcluster in the previous pass are taken together, in
// small balls along that microcluster's axis: one ball test rules out most
// microclusters for all of a ball's points at once, and each point is then
// tested against the few that remain. The answer is the same set as testing
// every point against the whole table.
#pragma once

#include <cstdint>
#include <vector>

#include "fit/density_bounds.h"
#include "kernels/kernel_table.h"

namespace zelmor {

class ThreadPool;

class NeededDensities {
 public:
  NeededDensities(const SkipTable& table, int workers, const KernelTable& kernels);

  // `points`: `count` rows of d; `safe[p]`: the point's coordinates are finite
  // (others need every density); `near[p]`: the microcluster the point lay
  // nearest in the previous pass, or -1 when unknown.
  void find(const float* points, const uint8_t* safe, const int16_t* near, int64_t count, ThreadPool& pool);

  // The needed microclusters of point p, ascending; every one when
  // `all(p)` is true.
  bool all(int64_t p) const { return slots_[p].count < 0; }
  int64_t size(int64_t p) const { return slots_[p].count; }
  const int16_t* ids(int64_t p) const {
    const Slot& slot = slots_[p];
    return slot.count <= kSlotIds ? slot.ids : lists_[overflow_[p].worker].data() + overflow_[p].start;
  }

 private:
  // Most points need a handful of microclusters: they fit the point's own
  // slot, read in point order later. Longer lists go to a worker's list.
  static constexpr int kSlotIds = 15;
  struct alignas(32) Slot {
    int16_t count;  // -1: all microclusters
    int16_t ids[kSlotIds];
  };
  struct Overflow {
    int32_t worker;
    int64_t start;
  };
  struct Scratch {
    std::vector<double> along;
    std::vector<int64_t> slice;
    std::vector<int64_t> sliceStart;
    std::vector<int64_t> cursor;
    std::vector<int32_t> ordered;
    std::vector<int32_t> members;
    std::vector<int32_t> survivors;
    std::vector<int32_t> found;
    std::vector<double> distances;
    PointBall ball;
    SkipTable part;
  };

  void findGroup(const float* points, const int32_t* members, int64_t count, int32_t nearest, int worker);
  void findEach(const float* points, const uint8_t* safe, const int32_t* members, int64_t count, int worker);
  void record(int64_t p, int worker, const int32_t* ids, int64_t count, const int32_t* map);

  const SkipTable& table_;
  const KernelTable& kernels_;
  std::vector<Slot> slots_;
  std::vector<Overflow> overflow_;
  std::vector<std::vector<int16_t>> lists_;  // per worker
  std::vector<Scratch> scratch_;             // per worker
  std::vector<int32_t> order_;
  std::vector<int64_t> groupStart_;
};

}  // namespace zelmor
