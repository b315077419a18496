#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace corvel {

// Field-by-field hashing for the value records. Doubles hash by value with -0.0 and
// +0.0 alike, so that records that compare equal hash equal.
inline void hashCombine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9E3779B97F4A7C15ULL + (seed << 6) + (seed >> 2);
}

inline std::size_t hashDouble(double value) {
    return std::hash<double>{}(value == 0.0 ? 0.0 : value);
}

template <typename T>
std::size_t hashValue(const T& value) {
    return std::hash<T>{}(value);
}

inline std::size_t hashValue(double value) { return hashDouble(value); }

template <typename T>
std::size_t hashValue(const std::optional<T>& value) {
    return value ? hashValue(*value) * 31 + 1 : 0;
}

template <typename T>
std::size_t hashValue(const std::vector<T>& values) {
    std::size_t seed = values.size();
    for (const auto& value : values) hashCombine(seed, hashValue(value));
    return seed;
}

template <typename... Fields>
std::size_t hashFields(const Fields&... fields) {
    std::size_t seed = 0;
    (hashCombine(seed, hashValue(fields)), ...);
    return seed;
}

}  // namespace corvel
