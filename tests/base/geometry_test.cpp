#include "base/geometry.h"

#include <gtest/gtest.h>

#include <cmath>

namespace corvane {
namespace {

TEST(Geometry, NullAndInfiniteRectangles) {
  Rect null = Rect::null(), inf = Rect::infinite();
  EXPECT_TRUE(null.isNull() && null.isEmpty() && !null.isInfinite());
  EXPECT_EQ(null.width(), 0);
  EXPECT_FALSE(null.contains(Point{0, 0}));
  EXPECT_EQ(Rect(INFINITY, 5, 10, 10), null);  // all null rectangles are equal
  EXPECT_NE(Rect::zero(), null);
  EXPECT_TRUE(inf.isInfinite() && !inf.isNull() && !inf.isEmpty());
  EXPECT_TRUE(inf.contains(Point{-1e300, 1e300}));
  EXPECT_FALSE(Rect(0, 0, 1e6, 1e6).isInfinite());
  EXPECT_EQ(inf.offsetBy(10, 10), inf);
  EXPECT_EQ(inf.insetBy(10, 10), inf);
  EXPECT_TRUE(null.integral().isNull() && null.insetBy(-5, -5).isNull());
}

TEST(Geometry, NegativeSizesAreStandardised) {
  Rect r(10, 20, -4, -6);
  EXPECT_EQ(r.standardized().origin, (Point{6, 14}));
  EXPECT_EQ(r.standardized().size, (Size{4, 6}));
  EXPECT_EQ(r, Rect(6, 14, 4, 6));
  EXPECT_EQ(r.minX(), 6);
  EXPECT_EQ(r.midX(), 8);
  EXPECT_EQ(r.maxX(), 10);
  EXPECT_EQ(r.minY(), 14);
  EXPECT_EQ(r.midY(), 17);
  EXPECT_EQ(r.maxY(), 20);
  EXPECT_EQ(r.height(), 6);
  EXPECT_TRUE(r.contains(Point{7, 15}));
  EXPECT_TRUE(Rect(0, 0, 0, 5).isEmpty() && !Rect(0, 0, 0, 5).isNull());
}

TEST(Geometry, IntersectionAndUnion) {
  Rect a(0, 0, 10, 10);
  EXPECT_EQ(a.intersection(Rect(15, 15, -10, -10)), Rect(5, 5, 5, 5));
  EXPECT_TRUE(a.intersects(Rect(5, 5, 10, 10)));
  EXPECT_TRUE(a.intersection(Rect(20, 0, 5, 5)).isNull());  // apart
  // Touching along an edge: a zero-width rectangle on that edge, which has no area to intersect.
  EXPECT_EQ(a.intersection(Rect(10, 2, 5, 5)), Rect(10, 2, 0, 5));
  EXPECT_FALSE(a.intersection(Rect(10, 2, 5, 5)).isNull());
  EXPECT_FALSE(a.intersects(Rect(10, 2, 5, 5)));
  EXPECT_FALSE(a.intersects(Rect(5, 5, 0, 0)));
  EXPECT_TRUE(Rect::null().intersection(Rect::infinite()).isNull());
  EXPECT_EQ(Rect::infinite().intersection(a), a);

  EXPECT_EQ(a.unionWith(Rect(20, 30, 5, 5)), Rect(0, 0, 25, 35));
  EXPECT_EQ(a.unionWith(Rect::null()), a);
  EXPECT_EQ(Rect::null().unionWith(Rect(5, 5, -5, -5)), Rect(0, 0, 5, 5));
  EXPECT_EQ(a.unionWith(Rect(20, 20, 0, 0)), Rect(0, 0, 20, 20));  // zero size is not null
  EXPECT_TRUE(a.unionWith(Rect::infinite()).isInfinite());
}

TEST(Geometry, ContainsExcludesMaxEdges) {
  Rect a(0, 0, 10, 10);
  EXPECT_TRUE(a.contains(Point{0, 0}));
  EXPECT_TRUE(a.contains(Point{9.999, 9.999}));
  EXPECT_FALSE(a.contains(Point{10, 5}));
  EXPECT_FALSE(a.contains(Point{5, 10}));
  EXPECT_FALSE(Rect(0, 0, 0, 0).contains(Point{0, 0}));
  EXPECT_TRUE(a.contains(Rect(0, 0, 10, 10)));
  EXPECT_FALSE(a.contains(Rect(2, 2, 9, 3)));
  EXPECT_FALSE(a.contains(Rect::null()) || a.contains(Rect::infinite()));
}

TEST(Geometry, IntegralAndInset) {
  EXPECT_EQ(Rect(0.5, 1.2, 10, 3.3).integral(), Rect(0, 1, 11, 4));
  EXPECT_EQ(Rect(-0.5, -1.5, 1, 1).integral(), Rect(-1, -2, 2, 2));
  EXPECT_EQ(Rect(10.7, 0, -0.4, 1).integral(), Rect(10, 0, 1, 1));
  Rect a(0, 0, 10, 20);
  EXPECT_EQ(a.insetBy(2, 3), Rect(2, 3, 6, 14));
  EXPECT_EQ(a.insetBy(-2, -3), Rect(-2, -3, 14, 26));
  EXPECT_EQ(a.insetBy(5, 10), Rect(5, 10, 0, 0));
  EXPECT_TRUE(a.insetBy(6, 0).isNull());
}

TEST(Geometry, FlipBetweenWindowServerAndScreenSpace) {
  const double H = 1080;
  Rect windowServer(50, 100, 300, 200);  // top edge 100 below the top of the main display
  EXPECT_EQ(windowServer.flipped(H), Rect(50, 780, 300, 200));
  EXPECT_EQ(windowServer.flipped(H).flipped(H), windowServer);
  EXPECT_EQ(Rect(0, -900, 1600, 900).flipped(H), Rect(0, 1080, 1600, 900));  // display above the main one
  EXPECT_EQ(Rect(0, 0, 10, -10).flipped(H), Rect(0, 1080, 10, 10));
  EXPECT_TRUE(Rect::null().flipped(H).isNull());
  EXPECT_TRUE(Rect::infinite().flipped(H).isInfinite());
}

}  // namespace
}  // namespace corvane
