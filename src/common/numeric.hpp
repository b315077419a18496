#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace corvel {

// Clamp that says what NaN becomes: std::clamp would pass a NaN through unchanged.
constexpr double clampOr(double value, double low, double high, double nanValue) {
    if (value != value) return nanValue;
    return value < low ? low : (value > high ? high : value);
}

// Smaller and larger of two values; a NaN argument yields the other one (fmin/fmax rule).
inline double minIgnoringNaN(double a, double b) { return std::fmin(a, b); }
inline double maxIgnoringNaN(double a, double b) { return std::fmax(a, b); }

// Double to Int64 without undefined behaviour: truncates toward zero, saturates at the
// range ends, and maps NaN to nanValue.
constexpr std::int64_t saturatingInt64(double value, std::int64_t nanValue = 0) {
    if (value != value) return nanValue;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit) return std::numeric_limits<std::int64_t>::max();
    if (value <= -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

// a + b, stopping at the ends of the Int64 range instead of overflowing.
constexpr std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// Round half away from zero, then saturate as above.
inline std::int64_t roundedInt64(double value, std::int64_t nanValue = 0) {
    return saturatingInt64(std::round(value), nanValue);
}

// Same for the 32-bit range.
constexpr std::int32_t saturatingInt32(double value, std::int32_t nanValue = 0) {
    if (value != value) return nanValue;
    if (value >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

// Ordinary least-squares line y = intercept + slope x through the points, reading x and y
// of each point through the two projections. Nothing for fewer than two points or when
// the spread of x (sum of squared deviations) is not above minSpread.
struct LeastSquaresLine {
    double intercept = 0;
    double slope = 0;
};

template <typename Points, typename X, typename Y>
std::optional<LeastSquaresLine> leastSquaresLine(const Points& points, X x, Y y, double minSpread = 1e-12) {
    std::size_t count = 0;
    double sumX = 0;
    double sumY = 0;
    for (const auto& point : points) {
        sumX += x(point);
        sumY += y(point);
        ++count;
    }
    if (count < 2) return std::nullopt;
    const double meanX = sumX / static_cast<double>(count);
    const double meanY = sumY / static_cast<double>(count);
    double sxx = 0;
    double sxy = 0;
    for (const auto& point : points) {
        const double dx = x(point) - meanX;
        sxx += dx * dx;
        sxy += dx * (y(point) - meanY);
    }
    if (!(sxx > minSpread)) return std::nullopt;
    const double slope = sxy / sxx;
    return LeastSquaresLine{meanY - slope * meanX, slope};
}

}  // namespace corvel
