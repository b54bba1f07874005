// The fast pass's densities of a run of points: which each point needs, in
// its list order, and their values, microcluster by microcluster.
#include <algorithm>
#include <vector>

#include "fit/fast_pass.h"
#include "fit/list_positions.h"
#include "kernels/e_step_kernels.h"

namespace zelmor::fast_pass {

// The densities a run of points needs, in each point's evaluation order: its
// list order.
void FastPass::collectCandidates(int64_t first, int64_t end, int64_t block, WorkerScratch& s) {
  s.candidates.clear();
  s.firstPoint = first;
  s.pointCount = end - first;
  const NeededDensities& needed = *neededDensities_;
  for (int64_t p = first; p < end; ++p) {
    const int64_t P = block + p;
    auto add = [&](int64_t q, int32_t g) {
      s.candidates.push_back(Candidate{static_cast<int32_t>(p), static_cast<int32_t>(q), g, 0.0f});
    };
    s.pointSafe[p - first] = safe_[p];
    s.pointStart[p - first] = static_cast<int32_t>(s.candidates.size());
    if (needed.all(p)) {
      if (!firstPass_) compact_.lists.expand(P, s.items.data(), s.flags.data());
      for (int64_t q = 0; q < m_; ++q) add(q, firstPass_ ? static_cast<int32_t>(q) : s.items[q]);
      continue;
    }
    const int16_t* ids = needed.ids(p);
    const int64_t count = needed.size(p);
    if (firstPass_) {
      // Lists are in microcluster order in the first pass.
      for (int64_t i = 0; i < count; ++i) add(ids[i], ids[i]);
      continue;
    }
    // The list is known by its tail: a short one in one vector, a long one
    // through a map of the tail's ranks.
    const int64_t tail = compact_.lists.tailLength(P);
    compact_.lists.copyTail(P, s.tail.data());
    int32_t* positions = s.positions.data();
    int64_t found = 0;
    if (tail <= kShortTail) {
      found = kernels_.tailListPositions(ids, count, s.tail.data(), tail, m_, positions, s.clusters.data());
    } else {
      s.tailPositions->load(s.tail.data(), tail);
      found = s.tailPositions->inListOrder(ids, count, positions, s.clusters.data());
      s.tailPositions->unload();
    }
    for (int64_t i = 0; i < found; ++i) add(positions[i], s.clusters[i]);
  }
  s.pointStart[end - first] = static_cast<int32_t>(s.candidates.size());
}

// Densities of the candidates, microcluster by microcluster so that several
// points share one pass over the inverse covariance. A microcluster that
// most of the run's points need takes all of them, read in order from the
// run's coordinates; the others take their candidates' points one by one.
void FastPass::computeDensities(WorkerScratch& s) {
  std::vector<Candidate>& cand = s.candidates;
  const float* points = points_.data();
  if (!wide_) {
    for (Candidate& c : cand) {
      c.density = pointDensity(points + int64_t{c.point} * d_, model_.means + int64_t{c.cluster} * d_,
                               model_.inverses + c.cluster * packed_, model_.normalisers[c.cluster], d_, s.t.data());
    }
    return;
  }
  std::fill(s.clusterStart.begin(), s.clusterStart.end(), 0);
  for (const Candidate& c : cand) ++s.clusterStart[c.cluster + 1];
  const bool dense = chooseDenseClusters(s);
  for (int64_t k = 0; k < K_; ++k) s.clusterStart[k + 1] += s.clusterStart[k];
  s.byCluster.resize(cand.size());
  for (size_t i = 0; i < cand.size(); ++i) {
    if (s.denseSlot[cand[i].cluster] < 0) s.byCluster[s.clusterStart[cand[i].cluster]++] = static_cast<int32_t>(i);
  }
  // clusterStart[k] now marks the end of microcluster k's run.
  for (int64_t k = 0; k < K_; ++k) {
    const int32_t begin = k == 0 ? 0 : s.clusterStart[k - 1];
    const int32_t end = s.clusterStart[k];
    if (s.denseSlot[k] >= 0) {
      denseDensities(k, s);
    } else if (begin < end) {
      sparseDensities(begin, end, k, s);
    }
  }
  if (!dense) return;
  for (Candidate& c : cand) {
    const int32_t slot = s.denseSlot[c.cluster];
    if (slot >= 0) c.density = s.denseValues[slot * s.columnStride + c.point - s.firstPoint];
  }
}

// Marks (denseSlot) the microclusters that at least kDenseShare of the run's
// points need, and lays out the run's coordinates for them; a microcluster
// taken whole counts no candidates for the sorted runs.
bool FastPass::chooseDenseClusters(WorkerScratch& s) {
  int32_t slots = 0;
  for (int64_t k = 0; k < K_; ++k) {
    const bool whole = s.clusterStart[k + 1] >= kDenseShare * static_cast<double>(s.pointCount);
    s.denseSlot[k] = whole ? slots++ : -1;
    if (whole) s.clusterStart[k + 1] = 0;
  }
  if (slots == 0) return false;
  s.denseValues.resize(static_cast<size_t>(slots) * s.columnStride);
  const float* first = points_.data() + s.firstPoint * d_;
  const int64_t padded = (s.pointCount + kDensityLanes - 1) / kDensityLanes * kDensityLanes;
  for (int64_t i = 0; i < d_; ++i) {
    float* column = s.columns.data() + i * s.columnStride;
    for (int64_t p = 0; p < s.pointCount; ++p) column[p] = first[p * d_ + i];
    std::fill(column + s.pointCount, column + padded, 0.0f);
  }
  return true;
}

// Microcluster k's densities for every point of the run, into its slot of
// denseValues. Under an identity inverse, points with differences that are
// not finite take the general form (see identityDensities).
void FastPass::denseDensities(int64_t k, WorkerScratch& s) {
  const float* mean = model_.means + k * d_;
  const float normaliser = model_.normalisers[k];
  float* out = s.denseValues.data() + s.denseSlot[k] * s.columnStride;
  if (!identityInverse_[k]) {
    kernels_.columnDensities(s.columns.data(), s.columnStride, s.pointCount, mean, inverseFull(k, s), normaliser, d_,
                             out, s.laneScratch.data());
    return;
  }
  kernels_.columnIdentityDensities(s.columns.data(), s.columnStride, s.pointCount, mean, normaliser, d_, out);
  for (int64_t p = 0; p < s.pointCount; ++p) {
    if (s.pointSafe[p] != 0) continue;
    out[p] = pointDensity(points_.data() + (s.firstPoint + p) * d_, mean, model_.inverses + k * packed_, normaliser, d_,
                          s.t.data());
  }
}

// The widened full inverse of microcluster k.
const double* FastPass::inverseFull(int64_t k, WorkerScratch& s) {
  if (keepFullInverses_) return inverseFullAll_.data() + k * d_ * d_;
  widenInverse(model_.inverses + k * packed_, d_, s.inverseFull.data());
  return s.inverseFull.data();
}

// The densities of microcluster k's candidates byCluster[begin, end).
void FastPass::sparseDensities(int32_t begin, int32_t end, int64_t k, WorkerScratch& s) {
  if (identityInverse_[k]) {
    identityDensities(begin, end, k, s);
    return;
  }
  std::vector<Candidate>& cand = s.candidates;
  const float* points = points_.data();
  const float* mean = model_.means + k * d_;
  const float normaliser = model_.normalisers[k];
  const double* inverse = inverseFull(k, s);
  for (int32_t i = begin; i < end; i += kDensityLanes) {
    const int count = std::min<int32_t>(kDensityLanes, end - i);
    const float* lanes[kDensityLanes];
    float densities[kDensityLanes];
    for (int l = 0; l < count; ++l) lanes[l] = points + int64_t{cand[s.byCluster[i + l]].point} * d_;
    kernels_.pointDensities(lanes, count, mean, inverse, normaliser, d_, densities, s.laneScratch.data());
    for (int l = 0; l < count; ++l) cand[s.byCluster[i + l]].density = densities[l];
  }
}

// The densities of microcluster k's candidates byCluster[begin, end), whose
// inverse is the identity: points with finite differences kDensityLanes at a time,
// the others through the general form.
void FastPass::identityDensities(int32_t begin, int32_t end, int64_t k, WorkerScratch& s) {
  Candidate* cand = s.candidates.data();
  const float* mean = model_.means + k * d_;
  const float normaliser = model_.normalisers[k];
  const float* lanes[kDensityLanes];
  Candidate* owners[kDensityLanes];
  int count = 0;
  auto flush = [&] {
    float densities[kDensityLanes];
    kernels_.identityDensities(lanes, count, mean, normaliser, d_, densities, s.laneScratch.data());
    for (int l = 0; l < count; ++l) owners[l]->density = densities[l];
    count = 0;
  };
  for (int32_t i = begin; i < end; ++i) {
    Candidate& c = cand[s.byCluster[i]];
    const float* x = points_.data() + int64_t{c.point} * d_;
    if (s.pointSafe[c.point - s.firstPoint] == 0) {
      c.density = pointDensity(x, mean, model_.inverses + k * packed_, normaliser, d_, s.t.data());
      continue;
    }
    lanes[count] = x;
    owners[count] = &c;
    if (++count == kDensityLanes) flush();
  }
  if (count > 0) flush();
}

}  // namespace zelmor::fast_pass
