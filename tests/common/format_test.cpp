#include "common/format.hpp"

#include <clocale>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace corvel {
namespace {

TEST(FormatFixed, WritesFixedDecimalsLikeTheCFormatter) {
    struct Case { double value; int decimals; const char* text; };
    const Case cases[] = {
        {120.0, 1, "120.0"}, {3.5, 2, "3.50"}, {0.1234567, 6, "0.123457"}, {-0.0005, 3, "-0.001"},
        {2.5, 0, "2"}, {1e21, 1, "1000000000000000000000.0"}, {0.0, 3, "0.000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatFixed(c.value, c.decimals), c.text) << c.value;
    }
}

TEST(FormatFixed, NonFiniteValues) {
    EXPECT_EQ(formatFixed(std::numeric_limits<double>::quiet_NaN(), 1), "nan");
    EXPECT_EQ(formatFixed(std::numeric_limits<double>::infinity(), 2), "inf");
    EXPECT_EQ(formatFixed(-std::numeric_limits<double>::infinity(), 2), "-inf");
}

TEST(FormatFixed, IgnoresAGermanProcessLocale) {
    const char* german = std::setlocale(LC_ALL, "de_DE.UTF-8");
    if (german == nullptr) german = std::setlocale(LC_ALL, "de_DE");
    EXPECT_EQ(formatFixed(120.0, 1), "120.0");
    EXPECT_EQ(formatInteger(-1234567), "-1234567");
    std::setlocale(LC_ALL, "C");
}

}  // namespace
}  // namespace corvel
