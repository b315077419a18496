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

TEST(FormatZeroPadded, PadsToTheWidthAfterTheSign) {
    EXPECT_EQ(formatZeroPadded(7, 3), "007");
    EXPECT_EQ(formatZeroPadded(-7, 3), "-007");
    EXPECT_EQ(formatZeroPadded(12345, 3), "12345");
}

TEST(Iso8601, WritesUtcToWholeSecondsAndReadsItBack) {
    using namespace std::chrono;
    const sys_seconds time = sys_days{year{2026} / 3 / 1} + hours{18} + minutes{4} + seconds{5};
    EXPECT_EQ(formatIso8601(time), "2026-03-01T18:04:05Z");
    EXPECT_EQ(parseIso8601("2026-03-01T18:04:05Z"), time);
    EXPECT_EQ(formatIso8601(sys_seconds{}), "1970-01-01T00:00:00Z");
}

TEST(Iso8601, RefusesOtherFormsAndImpossibleDates) {
    for (const char* text : {"", "2026-03-01", "2026-03-01T18:04:05", "2026-03-01T18:04:05+00:00",
                             "2026-03-01 18:04:05Z", "2026-03-01T18:04:05.000Z", "2026-02-30T00:00:00Z",
                             "2026-13-01T00:00:00Z", "2026-03-01T24:00:00Z", "2026-03-01T18:60:00Z",
                             "2026-03-01T18:04:60Z", "2026-3-01T18:04:05Z", "+026-03-01T18:04:05Z"}) {
        EXPECT_FALSE(parseIso8601(text).has_value()) << text;
    }
    EXPECT_TRUE(parseIso8601("2024-02-29T23:59:59Z").has_value());
}

TEST(KeyCombination, NamesTheModifiersAsLinuxDoesInAFixedOrder) {
    EXPECT_EQ(formatKeyCombination({ModifierKey::control}, "Z"), "Ctrl+Z");
    EXPECT_EQ(formatKeyCombination({ModifierKey::shift, ModifierKey::control}, "Z"), "Ctrl+Shift+Z");
    EXPECT_EQ(formatKeyCombination({ModifierKey::meta, ModifierKey::shift, ModifierKey::alt, ModifierKey::control}, "V"),
              "Ctrl+Alt+Shift+Meta+V");
    EXPECT_EQ(formatKeyCombination({}, "A"), "A");
}

}  // namespace
}  // namespace corvel
