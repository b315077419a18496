#include "voduvetools/voduve_shortcut.hpp"

#include <vector>

#include <nlohmann/json.hpp>

#include "common/error.hpp"
#include "common/hashing.hpp"

namespace corvel::voduvetools {
namespace {

[[noreturn]] void decodingFailure(const std::string& what) {
    throw ErrorException(Error{kDecodingErrorDomain, 1, "VoduveShortcut: " + what});
}

}  // namespace

std::string_view rawValue(VoduveShortcut::Modifier modifier) {
    switch (modifier) {
        case VoduveShortcut::Modifier::shift: return "shift";
        case VoduveShortcut::Modifier::command: return "command";
        case VoduveShortcut::Modifier::option: return "option";
        case VoduveShortcut::Modifier::control: return "control";
    }
    return "";
}

std::optional<VoduveShortcut::Modifier> modifierFromRawValue(std::string_view raw) {
    for (auto modifier : kAllModifiers) {
        if (rawValue(modifier) == raw) return modifier;
    }
    return std::nullopt;
}

ModifierKey modifierKey(VoduveShortcut::Modifier modifier) {
    switch (modifier) {
        case VoduveShortcut::Modifier::shift: return ModifierKey::shift;
        case VoduveShortcut::Modifier::command: return ModifierKey::control;
        case VoduveShortcut::Modifier::option: return ModifierKey::alt;
        case VoduveShortcut::Modifier::control: return ModifierKey::meta;
    }
    return ModifierKey::shift;
}

int modifierBit(VoduveShortcut::Modifier modifier) {
    switch (modifier) {
        case VoduveShortcut::Modifier::shift: return 4;
        case VoduveShortcut::Modifier::command: return 8;
        case VoduveShortcut::Modifier::option: return 16;
        case VoduveShortcut::Modifier::control: return 32;
    }
    return 0;
}

std::optional<VoduveShortcut> VoduveShortcut::fromKeymapCodes(std::int64_t modifierCode, std::int64_t keyCode) {
    if (keyCode < 'A' || keyCode > 'Z' || modifierCode < 1) return std::nullopt;
    std::int64_t rest = modifierCode - 1;
    ModifierSet modifiers;
    for (const auto modifier : kAllModifiers) {
        if ((rest & modifierBit(modifier)) != 0) {
            modifiers.insert(modifier);
            rest &= ~static_cast<std::int64_t>(modifierBit(modifier));
        }
    }
    if (rest != 0) return std::nullopt;
    return fromLetter(std::string(1, static_cast<char>(keyCode)), std::move(modifiers));
}

std::optional<VoduveShortcut> VoduveShortcut::fromLetter(std::string_view letter, ModifierSet modifiers) {
    // Only an ASCII letter can upper-case to A..Z as a single key: a multi-byte first
    // character (Ä, ß, ligatures) never names one of these keys.
    if (letter.empty()) return std::nullopt;
    char c = letter.front();
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c < 'A' || c > 'Z') return std::nullopt;
    VoduveShortcut shortcut;
    shortcut.modifiers = std::move(modifiers);
    shortcut.keyCode = c;
    shortcut.keyLabel = std::string(1, c);
    return shortcut;
}

std::string VoduveShortcut::displayText() const {
    std::vector<ModifierKey> keys;
    for (auto modifier : modifiers) keys.push_back(modifierKey(modifier));
    std::string label;
    for (char c : keyLabel) {
        label += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return formatKeyCombination(keys, label);
}

int VoduveShortcut::modifierCode() const {
    int code = 1;
    for (auto modifier : modifiers) code += modifierBit(modifier);
    return code;
}

void to_json(nlohmann::json& json, const VoduveShortcut& shortcut) {
    auto modifiers = nlohmann::json::array();
    for (auto modifier : kAllModifiers) {
        if (shortcut.modifiers.contains(modifier)) modifiers.push_back(std::string(rawValue(modifier)));
    }
    json = nlohmann::json{{"modifiers", modifiers}, {"keyCode", shortcut.keyCode}, {"keyLabel", shortcut.keyLabel}};
}

void from_json(const nlohmann::json& json, VoduveShortcut& shortcut) {
    if (!json.is_object()) decodingFailure("expected an object");
    const auto modifiers = json.find("modifiers");
    const auto keyCode = json.find("keyCode");
    const auto keyLabel = json.find("keyLabel");
    if (modifiers == json.end() || !modifiers->is_array()) decodingFailure("\"modifiers\" must be a list");
    if (keyCode == json.end() || !keyCode->is_number_integer()) decodingFailure("\"keyCode\" must be an integer");
    if (keyLabel == json.end() || !keyLabel->is_string()) decodingFailure("\"keyLabel\" must be a string");

    VoduveShortcut decoded;
    for (const auto& entry : *modifiers) {
        if (!entry.is_string()) decodingFailure("a modifier must be a string");
        const auto modifier = modifierFromRawValue(entry.get_ref<const std::string&>());
        if (!modifier) decodingFailure("unknown modifier \"" + entry.get<std::string>() + "\"");
        decoded.modifiers.insert(*modifier);
    }
    if (keyCode->is_number_unsigned() && keyCode->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
        decodingFailure("\"keyCode\" is out of range");
    }
    decoded.keyCode = keyCode->get<std::int64_t>();
    decoded.keyLabel = keyLabel->get<std::string>();
    shortcut = std::move(decoded);
}

}  // namespace corvel::voduvetools

std::size_t std::hash<corvel::voduvetools::VoduveShortcut>::operator()(
    const corvel::voduvetools::VoduveShortcut& shortcut) const noexcept {
    int modifierMask = 0;
    for (auto modifier : shortcut.modifiers) modifierMask |= corvel::voduvetools::modifierBit(modifier);
    return corvel::hashFields(modifierMask, shortcut.keyCode, shortcut.keyLabel);
}
