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

std::string formatZeroPadded(std::int64_t value, int width) {
    std::string digits = formatInteger(value);
    const bool negative = value < 0;
    const auto length = static_cast<int>(digits.size()) - (negative ? 1 : 0);
    if (length < width) digits.insert(negative ? 1 : 0, static_cast<std::size_t>(width - length), '0');
    return digits;
}

std::string formatIso8601(std::chrono::sys_seconds time) {
    using namespace std::chrono;
    const auto day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss clock{time - day};
    return formatZeroPadded(static_cast<int>(date.year()), 4) + "-" +
           formatZeroPadded(static_cast<unsigned>(date.month()), 2) + "-" +
           formatZeroPadded(static_cast<unsigned>(date.day()), 2) + "T" + formatZeroPadded(clock.hours().count(), 2) +
           ":" + formatZeroPadded(clock.minutes().count(), 2) + ":" + formatZeroPadded(clock.seconds().count(), 2) +
           "Z";
}

std::optional<std::chrono::sys_seconds> parseIso8601(std::string_view text) {
    using namespace std::chrono;
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != kShape.size()) return std::nullopt;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return std::nullopt;
    }
    auto number = [&](std::size_t at, std::size_t length) {
        int value = 0;
        for (std::size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    const year_month_day date{year{number(0, 4)}, month{static_cast<unsigned>(number(5, 2))},
                              day{static_cast<unsigned>(number(8, 2))}};
    const int hour = number(11, 2);
    const int minute = number(14, 2);
    const int second = number(17, 2);
    if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    return sys_days{date} + hours{hour} + minutes{minute} + seconds{second};
}

std::string_view modifierKeyName(ModifierKey modifier) {
    switch (modifier) {
        case ModifierKey::control: return "Ctrl";
        case ModifierKey::alt: return "Alt";
        case ModifierKey::shift: return "Shift";
        case ModifierKey::meta: return "Meta";
    }
    return {};
}

std::string formatKeyCombination(const std::vector<ModifierKey>& modifiers, std::string_view key) {
    std::string text;
    for (const ModifierKey modifier : {ModifierKey::control, ModifierKey::alt, ModifierKey::shift, ModifierKey::meta}) {
        if (std::find(modifiers.begin(), modifiers.end(), modifier) == modifiers.end()) continue;
        text += modifierKeyName(modifier);
        text += '+';
    }
    text += key;
    return text;
}

}  // namespace corvel
