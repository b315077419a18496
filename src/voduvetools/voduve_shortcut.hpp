#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "common/format.hpp"

namespace corvel::voduvetools {

// A key combination bound to a VODUVE action: modifier keys and one letter A to Z.
// The same value is shown to the user, written into voduve-kb.ini and recorded in the
// install manifest.
struct VoduveShortcut {
    // Listed in this order by allModifiers(); the raw values are the encoded form.
    enum class Modifier { shift, command, option, control };
    using ModifierSet = std::set<Modifier>;

    ModifierSet modifiers;
    // ASCII code of the upper-case letter, 65 (A) to 90 (Z).
    std::int64_t keyCode = 0;
    // The letter as shown: one upper-case letter.
    std::string keyLabel;

    friend bool operator==(const VoduveShortcut&, const VoduveShortcut&) = default;

    // The shortcut of the first character of `letter`, upper-cased; nothing unless that
    // character is one of A to Z (the rest of the string is ignored).
    static std::optional<VoduveShortcut> fromLetter(std::string_view letter, ModifierSet modifiers);
    // The shortcut of a binding line's modifier value and key code; nothing when the value
    // holds other bits than the four modifiers or the key is no letter A to Z.
    static std::optional<VoduveShortcut> fromKeymapCodes(std::int64_t modifierCode, std::int64_t keyCode);

    // The keys as the user presses them here (command is Ctrl, option Alt, control Meta), in the
    // order Ctrl, Alt, Shift, Meta, then the label: "Ctrl+Shift+R".
    std::string displayText() const;
    // VODUVE's modifier value: 1 + shift 4 + command 8 + option 16 + control 32.
    int modifierCode() const;
};

inline constexpr VoduveShortcut::Modifier kAllModifiers[] = {
    VoduveShortcut::Modifier::shift, VoduveShortcut::Modifier::command, VoduveShortcut::Modifier::option,
    VoduveShortcut::Modifier::control};

std::string_view rawValue(VoduveShortcut::Modifier modifier);
std::optional<VoduveShortcut::Modifier> modifierFromRawValue(std::string_view raw);
// The key that stands for a modifier on this system: command is Ctrl, option Alt, control Meta.
ModifierKey modifierKey(VoduveShortcut::Modifier modifier);
int modifierBit(VoduveShortcut::Modifier modifier);

// Keyed form {"modifiers": [raw values], "keyCode": integer, "keyLabel": string}.
// Decoding checks every type and throws ErrorException (domain kDecodingErrorDomain) on
// a missing key, a wrong type or an unknown modifier.
void to_json(nlohmann::json& json, const VoduveShortcut& shortcut);
void from_json(const nlohmann::json& json, VoduveShortcut& shortcut);

inline constexpr const char* kDecodingErrorDomain = "OrvantaCorvel.Decoding";

}  // namespace corvel::voduvetools

template <>
struct std::hash<corvel::voduvetools::VoduveShortcut> {
    std::size_t operator()(const corvel::voduvetools::VoduveShortcut& shortcut) const noexcept;
};
