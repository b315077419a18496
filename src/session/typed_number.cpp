#include "session/typed_number.hpp"

#include <algorithm>
#include <charconv>
#include <string>
#include <system_error>

namespace corvel::session {

namespace {

constexpr std::string_view kWhiteSpace = " \t\n\r\v\f";

}  // namespace

std::optional<double> parseTypedNumber(std::string_view text) {
    const auto first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos) return std::nullopt;
    const auto last = text.find_last_not_of(kWhiteSpace);
    std::string trimmed(text.substr(first, last - first + 1));
    std::replace(trimmed.begin(), trimmed.end(), ',', '.');
    double value = 0;
    const char* end = trimmed.data() + trimmed.size();
    const auto [stop, error] = std::from_chars(trimmed.data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    return value;
}

}  // namespace corvel::session
