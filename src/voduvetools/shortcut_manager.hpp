#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "common/uuid.hpp"
#include "platform/clock.hpp"
#include "voduvetools/corvel_errors.hpp"
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

inline constexpr const char* kActionMissingAfterWrite = "Action registration is missing after write.";
inline constexpr const char* kShortcutMissingAfterWrite = "Shortcut registration is missing after write.";
inline constexpr const char* kKeymapTemporaryFileName = ".voduve-kb.orvanta-corvel.tmp";
inline constexpr const char* kKeymapBackupPrefix = "voduve-kb.backup-";
inline constexpr const char* kKeymapBackupSuffix = ".ini";
// voduve-kb.ini and its backups are read whole; a file larger than this is refused.
inline constexpr std::uint64_t kKeymapSizeLimit = 16ull * 1000 * 1000;

// One script action to register, with its optional binding.
struct ActionRegistration {
    std::string commandID;
    std::string description;
    std::string scriptPath;  // relative to VODUVE's Scripts folder
    std::optional<VoduveShortcut> shortcut;
    bool replaceConflict = false;  // take the shortcut from other actions that hold it

    friend bool operator==(const ActionRegistration&, const ActionRegistration&) = default;
};

// What registering a list of actions does to a keymap text, worked out without writing.
struct KeymapPlan {
    std::string oldText;
    std::string newText;  // equal to oldText when everything is registered already
    // Per registration, in order: the bindings of other actions it takes the shortcut from.
    std::vector<std::vector<ShortcutConflict>> replaced;
};

// What a registration did: the backup of the old keymap (none without old bytes or change)
// and, per registration, the bindings of other actions that lost their shortcut to it.
struct KeymapChange {
    std::optional<std::filesystem::path> backup;
    std::vector<std::vector<ShortcutConflict>> replaced;
};

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
        // Runs when the new keymap waits beside the old one, just before the old one is
        // checked once more and replaced: where another program's edit would slip in.
        std::function<void()> beforeReplace = nullptr;
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

    // Registers every action, in order, as one change of the keymap: one backup, one
    // replacement, every entry verified, and the old bytes put back when anything after
    // the replacement fails. Right before the replacement the keymap is compared with the
    // bytes the change was made from; when another program changed it meanwhile, the
    // change is made again from its new bytes, and after a few such tries the keymap is
    // left as the other program wrote it and code 2103 is thrown.
    KeymapChange registerActions(const std::vector<ActionRegistration>& actions, const std::filesystem::path& keymap,
                                 const std::filesystem::path& backupFolder) const;

    // What registerActions would do to the keymap as it is now, without writing anything:
    // throws as it does for a keymap that can't be read, is not UTF-8 (code 2102) or holds
    // a shortcut that may not be replaced. A missing keymap reads as empty.
    KeymapPlan planRegistrations(const std::vector<ActionRegistration>& actions,
                                 const std::filesystem::path& keymap) const;
    static KeymapPlan planRegistrations(const std::vector<ActionRegistration>& actions, std::string oldText);

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
