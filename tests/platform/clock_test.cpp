#include "platform/clock.hpp"

#include <gtest/gtest.h>

namespace corvel::platform {
namespace {

TEST(LocalClock, LocalDateTimeRoundTripsToTheMillisecond) {
    const LocalDateTime winter{2026, 1, 2, 3, 4, 5, 678};
    const LocalDateTime summer{2025, 7, 31, 23, 59, 59, 999};
    for (const auto& local : {winter, summer}) {
        EXPECT_EQ(localDateTime(timePointFromLocal(local)), local);
    }
    // One millisecond later rolls over seconds, minutes, hours, days and months.
    const auto next = localDateTime(timePointFromLocal(summer) + std::chrono::milliseconds(1));
    EXPECT_EQ(next, (LocalDateTime{2025, 8, 1, 0, 0, 0, 0}));
}

TEST(LocalClock, TimesBeforeTheEpochFloorTheMilliseconds) {
    const auto before = timePointFromLocal({1969, 12, 31, 12, 0, 0, 0}) - std::chrono::milliseconds(1);
    EXPECT_EQ(localDateTime(before), (LocalDateTime{1969, 12, 31, 11, 59, 59, 999}));
}

}  // namespace
}  // namespace corvel::platform
