#include "base/geometry.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(Geometry, Placeholder) { EXPECT_TRUE(Rect::null().isNull()); }

}  // namespace
}  // namespace corvane
