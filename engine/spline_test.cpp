#include "engine/Spline.h"

#include <gtest/gtest.h>

namespace {

TEST(Spline, CollinearPointsGiveTheLineEverywhereIncludingBeyondTheEnds) {
  Spline s;
  s.set_points({0, 10, 20, 30}, {5, 25, 45, 65});  // y = 2x + 5
  for (double x : {-10.0, 0.0, 3.5, 10.0, 17.25, 30.0, 45.0}) EXPECT_NEAR(s(x), 2 * x + 5, 1e-9) << x;
}

TEST(Spline, NaturalSplineMatchesHandSolution) {
  // Knots (0,0), (1,1), (2,0): c1 = -1.5, b0 = 1.5, d0 = -0.5.
  Spline s;
  s.set_points({0, 1, 2}, {0, 1, 0});
  EXPECT_NEAR(s(0), 0, 1e-12);
  EXPECT_NEAR(s(1), 1, 1e-12);
  EXPECT_NEAR(s(2), 0, 1e-12);
  EXPECT_NEAR(s(0.5), 0.6875, 1e-12);
  EXPECT_NEAR(s(1.5), 0.6875, 1e-12);
  // Beyond the last knot the curve continues straight with the end slope.
  EXPECT_NEAR(s(3) - s(2), s(4) - s(3), 1e-9);
}

TEST(BandMatrix, SolvesTridiagonalSystem) {
  BandMatrix a(3, 1, 1);
  a(0, 0) = 4, a(0, 1) = 1;
  a(1, 0) = 1, a(1, 1) = 4, a(1, 2) = 1;
  a(2, 1) = 1, a(2, 2) = 4;
  // Solution (1, 2, 3).
  std::vector<double> x = a.lu_solve({6, 12, 14});
  ASSERT_EQ(x.size(), 3u);
  EXPECT_NEAR(x[0], 1, 1e-12);
  EXPECT_NEAR(x[1], 2, 1e-12);
  EXPECT_NEAR(x[2], 3, 1e-12);
}

using SplineDeathTest = ::testing::Test;

TEST_F(SplineDeathTest, ContractViolationsStopWithTheCondition) {
  EXPECT_DEATH(Spline().set_points({0, 1}, {0, 1}), "x.size\\(\\)>=3");
  EXPECT_DEATH(Spline().set_points({0, 1, 2}, {0, 1}), "x.size\\(\\)==y.size\\(\\)");
  EXPECT_DEATH(Spline().set_points({0, 1, 1}, {0, 1, 2}), "m_x\\[i\\]<m_x\\[i\\+1\\]");
  EXPECT_DEATH(BandMatrix(0, 1, 1), "dim>0");
  EXPECT_DEATH(
      {
        BandMatrix m(3, 1, 1);
        m(0, 2) = 1;
      },
      "k<=num_upper");
  EXPECT_DEATH(
      {
        BandMatrix m(3, 1, 1);
        m.lu_solve({1, 2});
      },
      "this->dim\\(\\)==\\(int\\)b.size\\(\\)");
}

}  // namespace
