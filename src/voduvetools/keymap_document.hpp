#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "voduvetools/voduve_shortcut.hpp"

namespace corvel::voduvetools {

// One script action line ("SCR ...") of voduve-kb.ini.
struct VoduveActionRecord {
    std::size_t lineIndex = 0;
    std::string commandID;    // as written in the line
    std::string description;  // without its quotes
    std::string scriptPath;   // without quotes, trimmed of blanks and tabs

    friend bool operator==(const VoduveActionRecord&, const VoduveActionRecord&) = default;
};

// One key binding line ("KEY ...") of voduve-kb.ini.
struct VoduveKeyRecord {
    std::size_t lineIndex = 0;
    std::int64_t modifierCode = 0;
    std::int64_t keyCode = 0;
    std::string commandID;  // as written in the line
    std::int64_t sectionID = 0;  // 0 is the main section
    std::optional<std::string> comment;  // text after the first '#', trimmed; none without '#'

    friend bool operator==(const VoduveKeyRecord&, const VoduveKeyRecord&) = default;
};

inline constexpr const char* kShortcutConflictMessage = "The selected shortcut is already assigned in VODUVE.";
inline constexpr const char* kVerificationFailedPrefix = "VODUVE shortcut verification failed: ";
inline constexpr const char* kVoduveKeymapErrorDomain = "VoduveKeymapError";

// The keymap's own failures. The message is the user-facing text; the payload of a
// conflict lists the colliding bindings.
class VoduveKeymapError : public ErrorException {
public:
    enum class Kind { shortcutConflict = 1, verificationFailed = 2 };

    static VoduveKeymapError shortcutConflict(std::vector<VoduveKeyRecord> conflicts);
    static VoduveKeymapError verificationFailed(const std::string& detail);

    Kind kind() const { return kind_; }
    const std::vector<VoduveKeyRecord>& conflicts() const { return conflicts_; }

private:
    VoduveKeymapError(Kind kind, std::string message, std::vector<VoduveKeyRecord> conflicts);
    Kind kind_;
    std::vector<VoduveKeyRecord> conflicts_;
};

// voduve-kb.ini in memory: every line verbatim plus the script action and key binding
// lines parsed into records. Parsing takes a text, writing returns a new text; every
// line this code does not own is written back byte for byte.
struct VoduveKeymapDocument {
    std::string originalText;
    std::string newline = "\n";  // "\r\n" when the text holds one anywhere
    bool hadTrailingNewline = false;
    std::vector<std::string> lines;
    std::vector<VoduveActionRecord> actions;
    std::vector<VoduveKeyRecord> keys;

    static VoduveKeymapDocument parse(std::string text);
    static std::optional<VoduveActionRecord> parseScriptLine(std::string_view line, std::size_t index);
    static std::optional<VoduveKeyRecord> parseKeyLine(std::string_view line, std::size_t index);

    // Command identifiers compare with one leading '_' added when missing.
    static std::string normalizedCommandID(std::string_view commandID);
    static bool sameCommand(std::string_view a, std::string_view b);

    // Bindings with the shortcut's modifier value, this key code and section, in file
    // order, leaving out those of `excluding` (any identifier form).
    std::vector<VoduveKeyRecord> conflictingKeys(const VoduveShortcut& shortcut, std::int64_t keyCode,
                                                 std::int64_t sectionID,
                                                 const std::optional<std::string>& excluding) const;
    // Whether one action's key records (already filtered to that action) bind exactly
    // the wanted shortcut in section 0, or nothing when no shortcut is wanted.
    static bool keyBindingMatches(const std::optional<VoduveShortcut>& shortcut,
                                  const std::vector<VoduveKeyRecord>& actionKeys);
    // The third and later " : "-separated parts of a comment "Main : ⇧⌘R : description".
    static std::optional<std::string> descriptionFromComment(std::string_view comment);

    static std::string scriptLine(std::string_view commandID, std::string_view description,
                                  std::string_view scriptPath);
    static std::string keyLine(std::string_view commandID, std::string_view description,
                               const VoduveShortcut& shortcut);

    // The file text with the action (and its binding) registered at the end; the
    // original text unchanged when it is already registered exactly so. Throws
    // VoduveKeymapError::shortcutConflict when another action holds the shortcut and
    // replaceConflict is false.
    std::string upsert(std::string_view commandID, std::string_view description, std::string_view scriptPath,
                       const std::optional<VoduveShortcut>& shortcut, bool replaceConflict) const;
};

}  // namespace corvel::voduvetools
