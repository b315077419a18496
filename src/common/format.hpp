#pragma once

#include <chrono>
#include <cstdint>
#include <vector>
#include <optional>
#include <string>
#include <string_view>

namespace corvel {

// Locale-independent number text for everything a user or a file sees.
// formatFixed(120, 1) is "120.0" whatever the process locale is; non-finite values are
// written "nan", "inf" and "-inf", as the C formatter writes them with "%.Nf".
std::string formatFixed(double value, int decimals);

// Decimal text of an integer ("-12").
std::string formatInteger(std::int64_t value);

// Decimal text with leading zeros up to `width` digits ("007"); a minus sign comes first.
std::string formatZeroPadded(std::int64_t value, int width);

// ISO 8601 date and time in UTC to whole seconds: "2026-03-01T18:04:05Z".
std::string formatIso8601(std::chrono::sys_seconds time);
// Reads exactly that form back; nothing for any other text or an impossible date.
std::optional<std::chrono::sys_seconds> parseIso8601(std::string_view text);

// The modifier keys as this system names them to the user.
enum class ModifierKey { control, alt, shift, meta };
// "Ctrl", "Alt", "Shift" or "Meta".
std::string_view modifierKeyName(ModifierKey modifier);
// A key held with modifiers as it is shown to the user: the modifiers in the order Ctrl, Alt,
// Shift, Meta (whatever order they are given in), each followed by "+", then the key:
// "Ctrl+Shift+Z". Without modifiers the key alone.
std::string formatKeyCombination(const std::vector<ModifierKey>& modifiers, std::string_view key);

}  // namespace corvel
