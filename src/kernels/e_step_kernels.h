// src/kernels: the per-point and per-row arithmetic of the stages as plain
// functions on arrays and sizes, and the only vector code of the program. No
// kernel sees the model or a file.
//
// Twins follow one naming rule: a fast kernel `foo` and its plain twin
// `fooPlain` give the same bits, the plain one the reference that the tests
// hold the fast one to (a plain twin may do for one point what its fast twin
// does for all of them: addCoSharingPlain on a dense row, addCoSharing on
// every sparse row). Vector kernels
// are reached only through a KernelTable (kernel_table.h): the scalar table
// holds their plain twins (plain_twins.cpp), the vector tables are written
// once with Highway for every instruction set (vector_kernels.cpp). The
// per-point arithmetic of the plain E-step pass (pointDensity,
// accumulatePoint, below) is what every lane of the vector kernels repeats.
//
// Per-point arithmetic of the E-step, as plain functions on arrays and sizes.
#pragma once

#include <cstdint>

namespace zelmor {

// Density of point x under one microcluster with mean `mean` and packed
// inverse covariance `inverse`, divided by `normaliser`. `t` receives the d
// differences x - mean. The quadratic form adds, row by row, the unrounded
// row sum of inverse(j, ·)·t times t_j into a float; a form at or beyond the
// cut-off, or one that is not a number, gives 0.
float pointDensity(const float* x, const float* mean, const float* inverse, float normaliser, int32_t d, float* t);

// pointDensity for an identity inverse (every microcluster in the first
// iteration) and a point with finite differences from the mean: each row sum
// of the form is then exactly t_j (the other terms are zeros), so the form is
// the float-rounded running sum of t_j·t_j, the same bits in d steps instead
// of d².
float identityDensity(const float* x, const float* mean, float normaliser, int32_t d);

// True when the packed matrix is exactly the identity.
bool isIdentity(const float* packed, int32_t d);

// Adds one point, weighted by r, into a microcluster's sums: uX += x·r,
// weightSum += r, uXXT += (r·t_i)·t_j over the packed lower triangle, where t
// = x - mean. Each sum is rounded to float when stored.
void accumulatePoint(const float* x, const float* mean, float r, int32_t d, float* t, float* uX, float& weightSum,
                     float* uXXT);

// Inserts microclusters 0..K-1 with values v[0..K-1] into `items` (K slots)
// in ascending order of value; among equal values the higher index stands at
// the lower position.
void buildItemList(const float* v, int32_t K, int16_t* items);

// Normaliser factor of the densities from iteration 2 on: 6.28^d, or ten
// million once that power exceeds one million.
float computeGaussFactor(int32_t d);

// M-step of one microcluster with weight sum w > negligible: mean = uX / w and
// covariance (packed) = uXXT / w, every entry below 0.001 in absolute value
// clamped (diagonal to 0.001, off-diagonal to 0).
void updateMicrocluster(const float* uX, const float* uXXT, float w, int32_t d, float* mean, float* covariance);

}  // namespace zelmor
