#include "common/numeric.hpp"

#include <limits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace corvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Numeric, ClampOrSaysWhatNaNBecomes) {
    EXPECT_EQ(clampOr(5, 0, 1, 0.5), 1);
    EXPECT_EQ(clampOr(-5, 0, 1, 0.5), 0);
    EXPECT_EQ(clampOr(0.25, 0, 1, 0.5), 0.25);
    EXPECT_EQ(clampOr(kNaN, 0, 1, 0.5), 0.5);
}

TEST(Numeric, SaturatingConversionsNeverOverflow) {
    constexpr auto max64 = std::numeric_limits<std::int64_t>::max();
    constexpr auto min64 = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(saturatingInt64(1e300), max64);
    EXPECT_EQ(saturatingInt64(-1e300), min64);
    EXPECT_EQ(saturatingInt64(kInf), max64);
    EXPECT_EQ(saturatingInt64(kNaN, -7), -7);
    EXPECT_EQ(saturatingInt64(-2.9), -2);
    EXPECT_EQ(roundedInt64(2.5), 3);
    EXPECT_EQ(roundedInt64(-2.5), -3);
    EXPECT_EQ(saturatingInt32(3e9), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(saturatingInt32(-kInf), std::numeric_limits<std::int32_t>::min());
}

TEST(Numeric, LeastSquaresLineFitsAndRefusesDegenerateSpreads) {
    using Point = std::pair<double, double>;
    const auto x = [](const Point& p) { return p.first; };
    const auto y = [](const Point& p) { return p.second; };

    const std::vector<Point> noisy{{0, 1.1}, {1, 2.9}, {2, 5.1}, {3, 6.9}};
    const auto line = leastSquaresLine(noisy, x, y);
    ASSERT_TRUE(line);
    EXPECT_NEAR(line->slope, 1.96, 1e-12);
    EXPECT_NEAR(line->intercept, 1.06, 1e-12);

    EXPECT_FALSE(leastSquaresLine(std::vector<Point>{{1, 2}}, x, y));
    EXPECT_FALSE(leastSquaresLine(std::vector<Point>{{1, 2}, {1, 5}}, x, y));
}

}  // namespace
}  // namespace corvel
