// Densities of points under a fitted model by the rule of the E-step: the
// same normalisers, the same inverted covariances, the same quadratic form,
// cut-off and float arithmetic as a pass of the EM loop, for points that the
// run did not see (or for its own points under the final parameters).
#pragma once

#include <cstdint>
#include <vector>

namespace zelmor {

class ThreadPool;

class ModelScorer {
 public:
  // `means` (K x d) and `covariances` (K packed blocks) as the last M-step
  // left them. The normalisers follow the rule of the iteration that would
  // come next: the first one's (the root of the determinant alone) when
  // `firstIteration`, that is when the fit ran no iteration, otherwise the
  // later ones' (the root of |determinant| times the Gauss factor).
  ModelScorer(const float* means, const float* covariances, int32_t K, int32_t d, bool firstIteration);

  int32_t clusters() const { return K_; }
  int32_t dimension() const { return d_; }

  // For each of the n points (n x d, row by row), any of the outputs that is
  // not null: its K responsibilities (float(density / s), or zeros when s is
  // not positive), its most probable microcluster (-1 when no density is
  // positive; among equal largest responsibilities the highest index, as the
  // first pass orders them), and ln s, the log of its summed densities (minus
  // infinity when s is not positive). s adds the densities in ascending
  // microcluster order in double precision, as the first pass does. With a
  // pool, blocks of points are scored in parallel; results do not depend on it.
  void score(const float* points, int64_t n, float* responsibilities, int32_t* labels, double* logDensity,
             ThreadPool* pool = nullptr) const;

 private:
  void scoreRange(const float* points, int64_t begin, int64_t end, float* responsibilities, int32_t* labels,
                  double* logDensity) const;

  int32_t K_;
  int32_t d_;
  std::vector<float> means_;
  std::vector<float> inverses_;  // K packed blocks
  std::vector<float> normalisers_;
};

}  // namespace zelmor
