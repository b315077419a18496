#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "common/uuid.hpp"
#include "platform/clock.hpp"
#include "voduvetools/keymap_document.hpp"
#include "voduvetools/voduve_shortcut.hpp"

namespace corvel::voduvetools {

// A binding in voduve-kb.ini that holds a wanted shortcut, with a readable name of
// the action it runs.
struct ShortcutConflict {
    Uuid id;                  // fresh for every report
    std::string commandID;    // as written in the binding line
    std::string description;  // the action's name, its binding comment, or "VODUVE Command <id>"

    friend bool operator==(const ShortcutConflict&, const ShortcutConflict&) = default;
};

inline constexpr const char* kKeymapErrorDomain = "OrvantaCorvel";
inline constexpr int kKeymapReadNotUtf8Code = 2101;
inline constexpr int kKeymapRegisterNotUtf8Code = 2102;
inline constexpr const char* kKeymapNotUtf8Message = "voduve-kb.ini is not valid UTF-8.";
inline constexpr const char* kActionMissingAfterWrite = "Action registration is missing after write.";
inline constexpr const char* kShortcutMissingAfterWrite = "Shortcut registration is missing after write.";
inline constexpr const char* kKeymapTemporaryFileName = ".voduve-kb.orvanta-corvel.tmp";
inline constexpr const char* kKeymapBackupPrefix = "voduve-kb.backup-";
inline constexpr const char* kKeymapBackupSuffix = ".ini";

// The file operations on voduve-kb.ini: conflict search, registration of one action
// and its shortcut, and verification. A change is backed up first, written to a
// temporary file beside the keymap and renamed over it, read back and verified; a
// failure after the rename puts the old bytes back. All failures are thrown as
// ErrorException (VoduveKeymapError for conflicts and failed verification).
class VoduveShortcutManager {
public:
    // Renames `from` over `to`; returns 0, or the errno of the failure.
    using RenameFunction = std::function<int(const std::filesystem::path& from, const std::filesystem::path& to)>;

    struct Seams {
        platform::WallClock clock = platform::systemWallClock();  // names the backups
        RenameFunction rename = posixRename;
    };

    VoduveShortcutManager() = default;
    explicit VoduveShortcutManager(Seams seams) : seams_(std::move(seams)) {}

    // Bindings of the shortcut in the main section held by other actions than
    // `excluding`. The keymap must exist; unreadable files pass their POSIX error on,
    // text that is not UTF-8 is code 2101.
    std::vector<ShortcutConflict> findShortcutConflicts(const VoduveShortcut& shortcut,
                                                        const std::filesystem::path& keymap,
                                                        const std::optional<std::string>& excluding) const;

    // Registers the script action (and its binding) in the keymap, creating the file
    // when missing. Returns the backup written, or nothing when none was needed (no
    // old bytes, or nothing changed). A symbolic link at `keymap` is kept: the file it
    // points to is replaced, with its permission bits.
    std::optional<std::filesystem::path> registerActionAndShortcut(
        std::string_view commandID, std::string_view description, std::string_view scriptPath,
        const std::optional<VoduveShortcut>& shortcut, bool replaceConflict, const std::filesystem::path& keymap,
        const std::filesystem::path& backupFolder) const;

    // Checks that the keymap holds the action with this script path, and the binding
    // of the shortcut in the main section when one is given.
    static void verifyKeymapEntries(std::string_view commandID, std::string_view scriptPath,
                                    const std::optional<VoduveShortcut>& shortcut,
                                    const std::filesystem::path& keymap);

    // "voduve-kb.backup-yyyyMMdd-HHmmss-SSS.ini"
    static std::string backupFileName(const platform::LocalDateTime& time);

    static int posixRename(const std::filesystem::path& from, const std::filesystem::path& to);

private:
    std::filesystem::path writeBackup(const std::filesystem::path& folder, const std::vector<std::uint8_t>& bytes,
                                      mode_t mode) const;
    void writeAndRename(const std::filesystem::path& target, std::string_view bytes, mode_t mode,
                        bool keepMode) const;

    Seams seams_;
};

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values
// above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

}  // namespace corvel::voduvetools

template <>
struct std::hash<corvel::voduvetools::ShortcutConflict> {
    std::size_t operator()(const corvel::voduvetools::ShortcutConflict& conflict) const noexcept;
};
