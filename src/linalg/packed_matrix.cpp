// Determinant, in-place inversion and Jacobi eigen-decomposition of packed
// symmetric matrices. Every stored entry is a float; each expression is
// evaluated in double and rounded once, when it is stored, so that the digits
// the program prints do not depend on the compiler's choice of precision.
#include "linalg/packed_matrix.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace zelmor {
namespace {

// Determinant floors. A covariance is never reported singular: a vanishing
// pivot during elimination yields kVanishingPivotDeterminant and a vanishing
// final product yields kVanishingProductDeterminant, so that the density
// normaliser derived from the determinant stays finite.
constexpr double kVanishingPivotDeterminant = 0.00001;
constexpr double kVanishingProductDeterminant = 1e-6;

// The Jacobi iteration stops once no entry below the diagonal exceeds this in
// absolute value; the matrix then counts as diagonal.
constexpr double kRotationThreshold = 1e-6;

// Safety limit on the number of Jacobi rotations, per entry below the
// diagonal (N = d(d-1)/2 of them), plus a fixed allowance for small d.
//
// Why it never cuts a run short: the pivot is the largest of the N entries, so
// one rotation removes at least 1/N of the off-diagonal sum of squares (up to
// float rounding of the rotated rows) and leaves a residue in the pivot under
// 1e-7 of its old value. From the largest possible float matrix (sum of
// squares below N * 2^256) the sum falls under 1e-12, i.e. every entry under
// 1e-6, within N * (ln N + 206) rotations, and ln N < 21 for any d the pivot
// indices can hold. A rotation involving an infinite or not-a-number value
// turns its pivot into a not-a-number, which the search never picks again, so
// such rotations add at most N + d more. Real covariances need a few sweeps of
// N rotations; entries spanning 1e-45..3e38 were measured at under 80 N. The
// limit exists only so that an input outside this reasoning can never keep the
// program rotating forever.
constexpr int64_t kMaxRotationsPerEntry = 1000;
constexpr int64_t kMinRotationAllowance = 1000;

int64_t maxRotations(int64_t d) {
  const int64_t entries = d * (d - 1) / 2;
  if (entries > (std::numeric_limits<int64_t>::max() - kMinRotationAllowance) / kMaxRotationsPerEntry) {
    return std::numeric_limits<int64_t>::max();
  }
  return kMaxRotationsPerEntry * entries + kMinRotationAllowance;
}

inline double wide(float x) { return static_cast<double>(x); }

// Expands the packed matrix into the full d x d row-major `work`.
void unpack(const float* packed, int64_t d, float* work) {
  for (int64_t i = 0; i < d; ++i) {
    for (int64_t j = 0; j < d; ++j) work[i * d + j] = packed[packedIndex(i, j)];
  }
}

void swapRows(float* a, int64_t d, int64_t r1, int64_t r2) {
  for (int64_t j = 0; j < d; ++j) std::swap(a[r1 * d + j], a[r2 * d + j]);
}

void swapColumns(float* a, int64_t d, int64_t c1, int64_t c2) {
  for (int64_t i = 0; i < d; ++i) std::swap(a[i * d + c1], a[i * d + c2]);
}

// Gauss-Jordan inversion of one packed matrix through `a` (d x d).
void invertOne(float* packed, int64_t d, float* a, int16_t* rowPivots, int16_t* colPivots) {
  unpack(packed, d, a);
  for (int64_t i = 0; i < d; ++i) {
    rowPivots[i] = static_cast<int16_t>(i);
    colPivots[i] = static_cast<int16_t>(i);
  }

  for (int64_t k = 0; k < d; ++k) {
    // Pivot search over the unreduced block, row by row: an entry must be
    // strictly larger to win, so the first largest wins and (k, k) keeps
    // every tie. A not-a-number never wins.
    int64_t pivotRow = k;
    int64_t pivotCol = k;
    float largest = std::fabs(a[k * d + k]);
    for (int64_t i = k; i < d; ++i) {
      for (int64_t j = k; j < d; ++j) {
        const float v = std::fabs(a[i * d + j]);
        if (v > largest) {
          largest = v;
          pivotRow = i;
          pivotCol = j;
        }
      }
    }
    rowPivots[k] = static_cast<int16_t>(pivotRow);
    colPivots[k] = static_cast<int16_t>(pivotCol);
    if (pivotRow != k) swapRows(a, d, k, pivotRow);
    if (pivotCol != k) swapColumns(a, d, k, pivotCol);

    float* rowK = a + k * d;
    // A zero pivot is used as it comes: its reciprocal is infinite.
    rowK[k] = static_cast<float>(1.0 / wide(rowK[k]));
    for (int64_t j = 0; j < d; ++j) {
      if (j != k) rowK[j] = static_cast<float>(wide(rowK[j]) * wide(rowK[k]));
    }
    // Column k is still untouched here: a[i][k] is the value from before the pass.
    for (int64_t i = 0; i < d; ++i) {
      if (i == k) continue;
      float* rowI = a + i * d;
      for (int64_t j = 0; j < d; ++j) {
        if (j != k) rowI[j] = static_cast<float>(wide(rowI[j]) - wide(rowK[j]) * wide(rowI[k]));
      }
    }
    for (int64_t i = 0; i < d; ++i) {
      if (i != k) a[i * d + k] = static_cast<float>(-(wide(rowK[k]) * wide(a[i * d + k])));
    }
  }

  // Undo the exchanges in reverse order of the passes: a column exchange of
  // the matrix is a row exchange of its inverse, and the other way round.
  for (int64_t l = d - 1; l >= 0; --l) {
    if (colPivots[l] != l) swapRows(a, d, l, colPivots[l]);
    if (rowPivots[l] != l) swapColumns(a, d, l, rowPivots[l]);
  }

  // The lower triangle decides where rounding left the inverse unsymmetric.
  for (int64_t m = 0; m < d; ++m) {
    for (int64_t j = 0; j <= m; ++j) packed[packedIndex(m, j)] = a[m * d + j];
  }
}

struct Pivot {
  int64_t p = 1;
  int64_t q = 0;
  float magnitude = 0.0f;
};

// Largest entry below the diagonal, scanned row by row from (1, 0); only a
// strictly larger value replaces the candidate, so ties go to the entry met
// first and a not-a-number never wins. Requires d >= 2.
Pivot findRotationPivot(const float* packed, int64_t d) {
  Pivot pivot;
  pivot.magnitude = std::fabs(packed[packedIndex(1, 0)]);
  for (int64_t i = 1; i < d; ++i) {
    for (int64_t j = 0; j < i; ++j) {
      const float v = std::fabs(packed[packedIndex(i, j)]);
      if (v > pivot.magnitude) {
        pivot.magnitude = v;
        pivot.p = i;
        pivot.q = j;
      }
    }
  }
  return pivot;
}

// One Jacobi rotation in the (p, q) plane, p > q, of the packed matrix and of
// V. rowQ/rowP receive the new rows q and p, colQ/colP the new columns q and
// p of V; all are written back only once every new value is known.
void rotate(float* packed, float* V, int64_t d, int64_t p, int64_t q, float* rowQ, float* rowP, float* colQ,
            float* colP) {
  const double app = wide(packed[packedIndex(p, p)]);
  const double aqq = wide(packed[packedIndex(q, q)]);
  const double apq = wide(packed[packedIndex(p, q)]);

  // The half difference is held as a float; the angle and its functions stay
  // in double. Equal diagonal entries give sigma = +1.
  const double halfDiff = wide(static_cast<float>((app - aqq) * 0.5));
  const double sigma = (app - aqq < 0) ? -1.0 : 1.0;
  const double r = std::sqrt(halfDiff * halfDiff + apq * apq);
  const double theta = 0.5 * std::asin(-sigma * apq / r);
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  const double sin2 = std::sin(theta + theta);
  const double cos2 = std::cos(theta + theta);

  // The pivot keeps the residue of its formula; it is not forced to zero.
  const float pivotResidue = static_cast<float>(cos2 * apq + 0.5 * sin2 * (app - aqq));
  for (int64_t j = 0; j < d; ++j) {
    if (j == q) {
      rowQ[j] = static_cast<float>(s * s * app + c * c * aqq + sin2 * apq);
      rowP[j] = pivotResidue;
    } else if (j == p) {
      rowP[j] = static_cast<float>(c * c * app + s * s * aqq - sin2 * apq);
      rowQ[j] = pivotResidue;
    } else {
      const double aqj = wide(packed[packedIndex(q, j)]);
      const double apj = wide(packed[packedIndex(p, j)]);
      rowQ[j] = static_cast<float>(c * aqj + s * apj);
      rowP[j] = static_cast<float>(c * apj - s * aqj);
    }
  }
  // Rows and columns share storage: writing rows q and p also updates
  // columns q and p.
  for (int64_t j = 0; j < d; ++j) {
    packed[packedIndex(q, j)] = rowQ[j];
    packed[packedIndex(p, j)] = rowP[j];
  }

  for (int64_t i = 0; i < d; ++i) {
    const double viq = wide(V[i * d + q]);
    const double vip = wide(V[i * d + p]);
    colQ[i] = static_cast<float>(c * viq + s * vip);
    colP[i] = static_cast<float>(c * vip - s * viq);
  }
  for (int64_t i = 0; i < d; ++i) {
    V[i * d + q] = colQ[i];
    V[i * d + p] = colP[i];
  }
}

}  // namespace

// Determinant by elimination without exchanges on `work` (d x d, row-major).
// Passes k = 0..d-2: test the pivot, store the multipliers a[i][k] / a[k][k]
// in column k, then update the trailing block row by row. The product of the
// diagonal is formed in double from row 0 down.
double packedDeterminant(const float* packed, int32_t d, float* work) {
  const int64_t n = d;
  unpack(packed, n, work);
  for (int64_t k = 0; k + 1 < n; ++k) {
    const float* rowK = work + k * n;
    // The last pivot is never tested here; it only enters the product.
    if (isNegligible(std::fabs(wide(rowK[k])))) return kVanishingPivotDeterminant;
    for (int64_t i = k + 1; i < n; ++i) {
      work[i * n + k] = static_cast<float>(wide(work[i * n + k]) / wide(rowK[k]));
    }
    for (int64_t i = k + 1; i < n; ++i) {
      float* rowI = work + i * n;
      for (int64_t j = k + 1; j < n; ++j) {
        rowI[j] = static_cast<float>(wide(rowI[j]) - wide(rowI[k]) * wide(rowK[j]));
      }
    }
  }
  double product = 1.0;
  for (int64_t i = 0; i < n; ++i) product *= wide(work[i * n + i]);
  // The sign is kept: a negative product is returned as it is.
  if (isNegligible(product)) return kVanishingProductDeterminant;
  return product;
}

// Inverts each of `count` consecutive packed d x d blocks, block b starting
// b * d(d+1)/2 floats in. Per block: unpack into `work`; d Gauss-Jordan passes
// with complete pivoting (search, row then column exchange, reciprocal, row
// scaling, elimination, column scaling); unscramble from the last pass down;
// write the lower triangle back.
void invertPackedRun(float* packed, int32_t d, int32_t count, float* work, int16_t* rowPivots, int16_t* colPivots) {
  if (count <= 0 || d <= 0) return;
  const int64_t n = d;
  const int64_t blockSize = n * (n + 1) / 2;
  for (int64_t b = 0; b < count; ++b) invertOne(packed + b * blockSize, n, work, rowPivots, colPivots);
}

// Classical Jacobi: rotate on the largest entry below the diagonal while it
// exceeds 1e-6, then bubble-sort the diagonal by ascending absolute value
// (moving the columns of V along) and turn each column of V so that its
// component `basedim` is not negative. scratch = V (d x d) followed by the
// new rows q, p of the matrix and new columns q, p of V of a rotation.
void computeOrientation(float* packed, int32_t d, int32_t basedim, float* scratch) {
  if (d <= 0) return;
  const int64_t n = d;
  float* V = scratch;
  float* rowQ = scratch + n * n;
  float* rowP = rowQ + n;
  float* colQ = rowP + n;
  float* colP = colQ + n;

  for (int64_t i = 0; i < n; ++i) {
    for (int64_t j = 0; j < n; ++j) V[i * n + j] = (i == j) ? 1.0f : 0.0f;
  }

  if (n >= 2) {
    const int64_t limit = maxRotations(n);
    Pivot pivot = findRotationPivot(packed, n);
    for (int64_t rotations = 0; wide(pivot.magnitude) > kRotationThreshold && rotations < limit; ++rotations) {
      rotate(packed, V, n, pivot.p, pivot.q, rowQ, rowP, colQ, colP);
      pivot = findRotationPivot(packed, n);
    }
  }

  // Bubble sort, d passes. Equal absolute values keep their order; a pair
  // with a not-a-number is exchanged, since it does not compare as ordered.
  for (int64_t t = 0; t < n; ++t) {
    for (int64_t k = 0; k + 1 < n - t; ++k) {
      float& lower = packed[packedIndex(k, k)];
      float& upper = packed[packedIndex(k + 1, k + 1)];
      if (!(std::fabs(lower) <= std::fabs(upper))) {
        std::swap(lower, upper);
        swapColumns(V, n, k, k + 1);
      }
    }
  }

  // Sign: component `basedim` of every eigenvector is made non-negative; a
  // not-a-number there counts as negative. Zero is left alone.
  const float* base = V + static_cast<int64_t>(basedim) * n;
  for (int64_t k = 0; k < n; ++k) {
    if (base[k] < 0.0f || std::isnan(base[k])) {
      for (int64_t i = 0; i < n; ++i) V[i * n + k] = -V[i * n + k];
    }
  }
}

}  // namespace zelmor
