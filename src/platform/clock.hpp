#pragma once

#include <chrono>
#include <functional>

namespace corvel::platform {

// The wall clock as a seam: logic takes one of these, tests hand in a fixed time.
using WallClock = std::function<std::chrono::system_clock::time_point()>;

WallClock systemWallClock();

// A moment in the process's local time zone, to the millisecond.
struct LocalDateTime {
    int year = 1970;
    int month = 1;  // 1 to 12
    int day = 1;    // 1 to 31
    int hour = 0;   // 0 to 23
    int minute = 0;
    int second = 0;
    int millisecond = 0;

    friend bool operator==(const LocalDateTime&, const LocalDateTime&) = default;
};

LocalDateTime localDateTime(std::chrono::system_clock::time_point time);

// The inverse for tests and fixtures: the time point of a local date and time.
std::chrono::system_clock::time_point timePointFromLocal(const LocalDateTime& local);

}  // namespace corvel::platform
