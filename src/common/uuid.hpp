#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace corvel {

// A 128-bit universally unique identifier. New ones are random (version 4); the text
// form is the standard 8-4-4-4-12 grouping in upper case, which orderings use to break
// ties. Parsing accepts either case.
class Uuid {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    constexpr Uuid() = default;  // the nil UUID
    explicit constexpr Uuid(const Bytes& bytes) : bytes_(bytes) {}

    static Uuid random();
    static std::optional<Uuid> parse(std::string_view text);

    std::string toString() const;
    const Bytes& bytes() const { return bytes_; }

    // Byte order equals the order of the upper-case text form.
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    Bytes bytes_{};
};

}  // namespace corvel

template <>
struct std::hash<corvel::Uuid> {
    std::size_t operator()(const corvel::Uuid& uuid) const noexcept;
};
