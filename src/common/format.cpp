#include "common/format.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace corvel {

std::string formatFixed(double value, int decimals) {
    if (std::isnan(value)) {
        return std::signbit(value) ? "-nan" : "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    decimals = std::clamp(decimals, 0, 17);
    // 309 integer digits, a sign, a point and the decimals always fit.
    std::array<char, 400> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed, decimals);
    return std::string(buffer.data(), result.ptr);
}

std::string formatInteger(std::int64_t value) {
    std::array<char, 24> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

}  // namespace corvel
