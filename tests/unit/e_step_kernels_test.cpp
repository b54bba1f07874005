// Per-point arithmetic of the E-step and the M-step of one microcluster.
#include "kernels/e_step_kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace zelmor {
namespace {

TEST(BuildItemList, AscendingResponsibilityWithHigherIndexFirstOnTies) {
  int16_t items[5];
  const float v[5] = {0.25f, 0.15f, 0.2f, 0.05f, 0.35f};
  buildItemList(v, 5, items);
  EXPECT_EQ(std::vector<int16_t>(items, items + 5), (std::vector<int16_t>{3, 1, 2, 0, 4}));

  // Microclusters 2 and 5 tie: 5 stands immediately before 2.
  const float tied[7] = {0.1f, 0.3f, 0.2f, 0.05f, 0.25f, 0.2f, 0.0f};
  int16_t tiedItems[7];
  buildItemList(tied, 7, tiedItems);
  EXPECT_EQ(std::vector<int16_t>(tiedItems, tiedItems + 7), (std::vector<int16_t>{6, 3, 0, 5, 2, 4, 1}));

  // A point that no microcluster reaches: all values equal.
  const float zeros[4] = {0, 0, 0, 0};
  int16_t zeroItems[4];
  buildItemList(zeros, 4, zeroItems);
  EXPECT_EQ(std::vector<int16_t>(zeroItems, zeroItems + 4), (std::vector<int16_t>{3, 2, 1, 0}));
}

TEST(PointDensity, IdentityCovarianceGivesExpOfHalfSquaredDistance) {
  const float x[3] = {1.0f, 2.0f, -0.5f};
  const float mean[3] = {0.5f, 1.0f, 0.5f};
  const float identity[6] = {1, 0, 1, 0, 0, 1};
  float t[3];
  const float density = pointDensity(x, mean, identity, 1.0f, 3, t);
  const float D = 0.25f + 1.0f + 1.0f;
  EXPECT_EQ(density, static_cast<float>(std::exp(-0.5 * D)));
  EXPECT_EQ(t[0], 0.5f);
  EXPECT_EQ(t[2], -1.0f);
  // The normaliser divides in double before the density is stored.
  EXPECT_EQ(pointDensity(x, mean, identity, 3.0f, 3, t), static_cast<float>(std::exp(-0.5 * D) / 3.0));
}

TEST(PointDensity, OffDiagonalEntriesEnterFromBothSides) {
  // Inverse [[2, 0.5], [0.5, 1]]: Q = 2·1 + 2·0.5·1·(-2) + 1·4 = 4.
  const float x[2] = {1.0f, -2.0f};
  const float mean[2] = {0.0f, 0.0f};
  const float inverse[3] = {2.0f, 0.5f, 1.0f};
  float t[2];
  EXPECT_EQ(pointDensity(x, mean, inverse, 1.0f, 2, t), static_cast<float>(std::exp(-2.0)));
}

TEST(PointDensity, CutOffAndFormsThatAreNotNumbers) {
  const float mean[1] = {0.0f};
  const float unit[1] = {1.0f};
  float t[1];
  // D = 600 exactly is beyond the cut-off; so is anything from about 208 on,
  // once the density is stored as a float.
  const float x1[1] = {1.0f};
  const float inverse600[1] = {600.0f};
  EXPECT_EQ(pointDensity(x1, mean, inverse600, 1.0f, 1, t), 0.0f);
  const float inverse210[1] = {210.0f};
  EXPECT_EQ(pointDensity(x1, mean, inverse210, 1.0f, 1, t), 0.0f);
  const float inverse150[1] = {150.0f};
  EXPECT_GT(pointDensity(x1, mean, inverse150, 1.0f, 1, t), 0.0f);
  // A negative form counts by its absolute value.
  const float negative[1] = {-2.0f};
  EXPECT_EQ(pointDensity(x1, mean, negative, 1.0f, 1, t), static_cast<float>(std::exp(-1.0)));
  // The inverse of a singular covariance: the form is not a number, density 0.
  const float nanInverse[1] = {std::numeric_limits<float>::quiet_NaN()};
  EXPECT_EQ(pointDensity(x1, mean, nanInverse, 1.0f, 1, t), 0.0f);
  const float infInverse[1] = {std::numeric_limits<float>::infinity()};
  const float atMean[1] = {0.0f};
  EXPECT_EQ(pointDensity(atMean, mean, infInverse, 1.0f, 1, t), 0.0f);  // inf · 0
  EXPECT_EQ(pointDensity(x1, mean, unit, 1.0f, 1, t), static_cast<float>(std::exp(-0.5)));
}

TEST(AccumulatePoint, SumsAreRoundedAtEveryStoreInTheStatedOrder) {
  const float x[2] = {3.0f, 1.0f};
  const float mean[2] = {1.0f, 2.0f};
  float t[2];
  float uX[2] = {0.1f, 0.2f};
  float w = 0.5f;
  float uXXT[3] = {0.0f, 0.0f, 0.0f};
  const float r = 0.3f;
  accumulatePoint(x, mean, r, 2, t, uX, w, uXXT);
  EXPECT_EQ(uX[0], static_cast<float>(0.1f + 3.0 * r));
  EXPECT_EQ(uX[1], static_cast<float>(0.2f + 1.0 * r));
  EXPECT_EQ(w, static_cast<float>(0.5f + static_cast<double>(r)));
  EXPECT_EQ(uXXT[0], static_cast<float>(static_cast<double>(r) * 2.0 * 2.0));
  EXPECT_EQ(uXXT[1], static_cast<float>(static_cast<double>(r) * -1.0 * 2.0));
  EXPECT_EQ(uXXT[2], static_cast<float>(static_cast<double>(r) * -1.0 * -1.0));
}

TEST(GaussFactor, CappedFromEightDimensionsOn) {
  EXPECT_EQ(computeGaussFactor(1), 6.28f);
  EXPECT_EQ(computeGaussFactor(7), static_cast<float>(std::pow(6.28, 7)));
  EXPECT_LT(computeGaussFactor(7), 1000000.0f);
  EXPECT_EQ(computeGaussFactor(8), 10000000.0f);
  EXPECT_EQ(computeGaussFactor(20), 10000000.0f);
}

TEST(UpdateMicrocluster, DividesByTheWeightAndClampsSmallEntries) {
  const float w = 2.0f;
  const float uX[2] = {4.0f, -1.0f};
  // Packed (0,0), (1,0), (1,1): 0.0005·2 gives half the floor on the diagonal,
  // an off-diagonal -0.0008·2 lies between -0.001 and 0.
  const float uXXT[3] = {0.001f, -0.0016f, 6.0f};
  float mean[2];
  float covariance[3];
  updateMicrocluster(uX, uXXT, w, 2, mean, covariance);
  EXPECT_EQ(mean[0], 2.0f);
  EXPECT_EQ(mean[1], -0.5f);
  EXPECT_EQ(covariance[0], 0.001f);
  EXPECT_EQ(covariance[1], 0.0f);
  EXPECT_EQ(covariance[2], 3.0f);

  // The float nearest 0.001 lies above 0.001 and stays.
  const float atFloor[1] = {0.001f};
  const float one[1] = {1.0f};
  float m1[1];
  float c1[1];
  updateMicrocluster(one, atFloor, 1.0f, 1, m1, c1);
  EXPECT_EQ(c1[0], 0.001f);
  // A tiny weight that is not negligible divides as it is.
  updateMicrocluster(one, one, 1e-15f, 1, m1, c1);
  EXPECT_EQ(m1[0], static_cast<float>(1.0 / static_cast<double>(1e-15f)));
}

}  // namespace
}  // namespace zelmor
