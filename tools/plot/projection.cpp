// Choice of the data panel's plane, and the principal components of the data.
#include "plot/projection.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace zelmor::tools {

namespace {

using Vector = std::vector<double>;

double dot(const Vector& a, const Vector& b) { return std::inner_product(a.begin(), a.end(), b.begin(), 0.0); }

void normalise(Vector& v) {
  const double length = std::sqrt(dot(v, v));
  if (length > 0.0) {
    for (double& x : v) x /= length;
  }
}

// v1 to unit length, then v2 made orthogonal to it and of unit length.
void orthonormalise(Vector& v1, Vector& v2) {
  normalise(v1);
  const double overlap = dot(v1, v2);
  for (size_t j = 0; j < v2.size(); ++j) v2[j] -= overlap * v1[j];
  normalise(v2);
}

// The covariance of the centred points (n x d, row by row) times v.
Vector covarianceTimes(const Vector& centred, size_t d, const Vector& v) {
  Vector w(d, 0.0);
  const size_t n = centred.size() / d;
  for (size_t i = 0; i < n; ++i) {
    const double* x = &centred[i * d];
    double projection = 0.0;
    for (size_t j = 0; j < d; ++j) projection += x[j] * v[j];
    for (size_t j = 0; j < d; ++j) w[j] += projection * x[j];
  }
  for (double& x : w) x /= static_cast<double>(n);
  return w;
}

void fixSign(Vector& v) {
  const auto largest =
      std::max_element(v.begin(), v.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
  if (*largest < 0.0) {
    for (double& x : v) x = -x;
  }
}

std::string percent(double fraction) { return std::to_string(static_cast<int>(std::lround(100.0 * fraction))) + "%"; }

}  // namespace

double Plane::at(const float* point, int a) const {
  double sum = 0.0;
  for (size_t j = 0; j < origin.size(); ++j) sum += (point[j] - origin[j]) * axis[a][j];
  return sum;
}

double Plane::along(const double* direction, int a) const {
  double sum = 0.0;
  for (size_t j = 0; j < origin.size(); ++j) sum += direction[j] * axis[a][j];
  return sum;
}

std::pair<int32_t, int32_t> widestDimensions(const RunData& run) {
  std::vector<int32_t> order(run.variance.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
    return run.variance[static_cast<size_t>(a)] > run.variance[static_cast<size_t>(b)];
  });
  return {order[0], order[1]};
}

Plane dimensionPlane(int32_t d, int32_t x, int32_t y, const std::string& why) {
  Plane plane;
  plane.origin.assign(static_cast<size_t>(d), 0.0);
  const int32_t dims[2] = {x, y};
  for (int a = 0; a < 2; ++a) {
    plane.axis[a].assign(static_cast<size_t>(d), 0.0);
    plane.axis[a][static_cast<size_t>(dims[a])] = 1.0;
    plane.name[a] = "dim " + std::to_string(dims[a]);
  }
  plane.caption = "Data in dimensions " + std::to_string(x) + " and " + std::to_string(y) + why;
  return plane;
}

Plane principalPlane(const RunData& run, int32_t dimension) {
  const size_t d = static_cast<size_t>(dimension);
  Vector centred(run.sample.begin(), run.sample.end());
  for (size_t v = 0; v < centred.size(); ++v) centred[v] -= run.mean[v % d];
  const double total =
      std::max(dot(centred, centred) / static_cast<double>(std::max<size_t>(centred.size() / d, 1)), 0.0);
  if (!(total > 0.0)) {
    const auto [x, y] = widestDimensions(run);
    return dimensionPlane(dimension, x, y);
  }
  // Subspace iteration from two fixed vectors, then the 2 x 2 problem on the
  // plane found (Rayleigh-Ritz) to tell the two components apart.
  Vector v1(d), v2(d);
  for (size_t j = 0; j < d; ++j) {
    v1[j] = 1.0;
    v2[j] = static_cast<double>(j) - 0.5 * static_cast<double>(d - 1) + 0.25;
  }
  orthonormalise(v1, v2);
  for (int iteration = 0; iteration < 300; ++iteration) {
    Vector w1 = covarianceTimes(centred, d, v1), w2 = covarianceTimes(centred, d, v2);
    orthonormalise(w1, w2);
    double change = 0.0;
    for (size_t j = 0; j < d; ++j) change = std::max({change, std::fabs(w1[j] - v1[j]), std::fabs(w2[j] - v2[j])});
    v1 = std::move(w1);
    v2 = std::move(w2);
    if (change < 1e-10) break;
  }
  const Vector c1 = covarianceTimes(centred, d, v1), c2 = covarianceTimes(centred, d, v2);
  const double h11 = dot(v1, c1), h12 = dot(v1, c2), h22 = dot(v2, c2);
  const double angle = 0.5 * std::atan2(2.0 * h12, h11 - h22);
  Plane plane;
  plane.origin = run.mean;
  plane.axis[0] = plane.axis[1] = Vector(d);
  for (size_t j = 0; j < d; ++j) {
    plane.axis[0][j] = std::cos(angle) * v1[j] + std::sin(angle) * v2[j];
    plane.axis[1][j] = -std::sin(angle) * v1[j] + std::cos(angle) * v2[j];
  }
  const double shown = h11 + h22;  // the trace is the variance within the plane
  for (int a = 0; a < 2; ++a) {
    fixSign(plane.axis[a]);
    plane.name[a] = "PC " + std::to_string(a + 1);
  }
  plane.caption = "Data on its first two principal components, " + percent(shown / total) + " of the variance";
  return plane;
}

}  // namespace zelmor::tools
