#include "platform/clock.hpp"

#include <ctime>

namespace corvel::platform {

WallClock systemWallClock() {
    return [] { return std::chrono::system_clock::now(); };
}

LocalDateTime localDateTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto milliseconds = floor<std::chrono::milliseconds>(time);
    const auto seconds = floor<std::chrono::seconds>(milliseconds);
    const std::time_t whole = system_clock::to_time_t(seconds);
    std::tm parts{};
    if (::localtime_r(&whole, &parts) == nullptr) return LocalDateTime{};
    LocalDateTime local;
    local.year = parts.tm_year + 1900;
    local.month = parts.tm_mon + 1;
    local.day = parts.tm_mday;
    local.hour = parts.tm_hour;
    local.minute = parts.tm_min;
    local.second = parts.tm_sec;
    local.millisecond = static_cast<int>((milliseconds - seconds).count());
    return local;
}

std::chrono::system_clock::time_point timePointFromLocal(const LocalDateTime& local) {
    std::tm parts{};
    parts.tm_year = local.year - 1900;
    parts.tm_mon = local.month - 1;
    parts.tm_mday = local.day;
    parts.tm_hour = local.hour;
    parts.tm_min = local.minute;
    parts.tm_sec = local.second;
    parts.tm_isdst = -1;
    const std::time_t whole = ::mktime(&parts);
    return std::chrono::system_clock::from_time_t(whole) + std::chrono::milliseconds(local.millisecond);
}

}  // namespace corvel::platform
