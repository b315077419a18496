#pragma once

#include <optional>
#include <string_view>

namespace corvel::session {

// A number the user typed: blanks and line breaks around it are dropped and a decimal comma
// counts as a point. Nothing unless the whole rest reads as a number.
std::optional<double> parseTypedNumber(std::string_view text);

}  // namespace corvel::session
