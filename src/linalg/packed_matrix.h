// src/linalg: arithmetic on symmetric matrices stored packed, as plain
// functions on arrays and sizes. It includes no other folder.
//
// Kernels on symmetric matrices stored packed (lower triangle with diagonal,
// row by row). They take arrays and sizes, keep entries as 32-bit floats
// rounded at every store, evaluate each expression in double, and do no I/O.
#pragma once

#include <cstdint>

namespace zelmor {

// Position of element (i, j) of a packed symmetric matrix; (i, j) with j > i is
// read as (j, i).
inline int64_t packedIndex(int64_t i, int64_t j) { return i >= j ? i * (i + 1) / 2 + j : j * (j + 1) / 2 + i; }

// Position of element (a, b), a != b, of a packed strict lower triangle.
inline int64_t strictLowerIndex(int64_t a, int64_t b) { return a > b ? a * (a - 1) / 2 + b : b * (b - 1) / 2 + a; }

// x counts as negligible when x + 1.0 == 1.0 in double; a value that is not a
// number counts as negligible too.
inline bool isNegligible(double x) {
  const double y = x + 1.0;
  return !(y < 1.0 || y > 1.0);
}

// Determinant of the d x d packed matrix by elimination without pivoting on
// `work` (d*d floats, row-major). Returns 0.00001 when a pivot of passes
// 0..d-2 is negligible and 1e-6 when the product is; the input is unchanged.
double packedDeterminant(const float* packed, int32_t d, float* work);

// Inverts `count` packed d x d matrices laid one after another, in place, by
// Gauss-Jordan elimination with complete pivoting on `work` (d*d floats).
// rowPivots and colPivots hold d entries each.
void invertPackedRun(float* packed, int32_t d, int32_t count, float* work, int16_t* rowPivots,
                     int16_t* colPivots);

// Jacobi eigen-decomposition of the packed d x d matrix (overwritten by the
// rotated matrix, eigenvalues on its diagonal in ascending absolute order).
// `scratch` holds d*(d+4) floats; on return its first d*d floats are V,
// row-major, column k the sign-fixed eigenvector k (V[basedim][k] >= 0).
void computeOrientation(float* packed, int32_t d, int32_t basedim, float* scratch);

}  // namespace zelmor
