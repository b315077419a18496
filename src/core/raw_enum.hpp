#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace corvel {

// Enumerations that are shown or compared carry string raw values. Each such enumeration
// specialises RawEnumCases with its cases in declaration order.
template <typename E>
struct RawEnumCases;

template <typename E>
constexpr std::string_view rawValue(E value) {
    for (const auto& [item, raw] : RawEnumCases<E>::cases) {
        if (item == value) return raw;
    }
    return {};
}

// Exact, case-sensitive match; no value when no case has this raw string.
template <typename E>
constexpr std::optional<E> fromRawValue(std::string_view raw) {
    for (const auto& [item, text] : RawEnumCases<E>::cases) {
        if (text == raw) return item;
    }
    return std::nullopt;
}

template <typename E>
constexpr auto allCases() {
    std::array<E, RawEnumCases<E>::cases.size()> items{};
    for (std::size_t i = 0; i < items.size(); ++i) items[i] = RawEnumCases<E>::cases[i].first;
    return items;
}

}  // namespace corvel
