#pragma once

#include <cstdint>
#include <string>

namespace corvel {

// Locale-independent number text for everything a user or a file sees.
// formatFixed(120, 1) is "120.0" whatever the process locale is; non-finite values are
// written "nan", "inf" and "-inf", as the C formatter writes them with "%.Nf".
std::string formatFixed(double value, int decimals);

// Decimal text of an integer ("-12").
std::string formatInteger(std::int64_t value);

}  // namespace corvel
