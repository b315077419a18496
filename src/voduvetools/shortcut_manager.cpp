#include "voduvetools/shortcut_manager.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/atomic_file.hpp"
#include "common/error.hpp"
#include "common/format.hpp"
#include "common/hashing.hpp"

namespace corvel::voduvetools {
namespace fs = std::filesystem;

namespace {

constexpr mode_t kDefaultKeymapMode = 0644;
// How many following milliseconds a backup may move to when its name is taken.
constexpr int kBackupNameAttempts = 1000;
// How often a registration starts over when another program changes the keymap under it.
constexpr int kRegistrationAttempts = 3;

std::string toText(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

void createFolder(const fs::path& folder) {
    if (folder.empty()) return;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) throw ErrorException(Error::fromErrno(error.value(), "create folder " + folder.string()));
}

// Makes a rename in the folder durable; best effort.
void syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::string readKeymapText(const fs::path& keymap, int notUtf8Code) {
    auto text = toText(readFileBytes(keymap, kKeymapSizeLimit));
    if (!isValidUtf8(text)) throw ErrorException(Error{kCorvelErrorDomain, notUtf8Code, kKeymapNotUtf8Message});
    return text;
}

// The keymap file as a registration found it.
struct KeymapSnapshot {
    bool exists = false;
    mode_t mode = kDefaultKeymapMode;
    std::string bytes;

    friend bool operator==(const KeymapSnapshot&, const KeymapSnapshot&) = default;
};

KeymapSnapshot readSnapshot(const fs::path& target) {
    KeymapSnapshot snapshot;
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0) {
        snapshot.exists = true;
        snapshot.mode = info.st_mode & 07777;
        snapshot.bytes = toText(readFileBytes(target, kKeymapSizeLimit));
    } else if (errno != ENOENT) {
        throw ErrorException(Error::fromErrno(errno, "inspect " + target.string()));
    }
    return snapshot;
}

// Whether the keymap still is what the snapshot saw; a keymap that can no longer be read
// has changed too.
bool stillAsSeen(const fs::path& target, const KeymapSnapshot& seen) {
    try {
        return readSnapshot(target) == seen;
    } catch (const ErrorException&) {
        return false;
    }
}

// The colliding bindings with a readable name each: the action's description, else the
// description in the comment of the action's first binding, else "VODUVE Command <id>".
std::vector<ShortcutConflict> describeConflicts(const VoduveKeymapDocument& document,
                                                const std::vector<VoduveKeyRecord>& records) {
    std::vector<ShortcutConflict> conflicts;
    for (const auto& record : records) {
        std::optional<std::string> description;
        for (const auto& action : document.actions) {
            if (VoduveKeymapDocument::sameCommand(action.commandID, record.commandID)) {
                description = action.description;
                break;
            }
        }
        if (!description) {
            for (const auto& key : document.keys) {
                if (!VoduveKeymapDocument::sameCommand(key.commandID, record.commandID)) continue;
                if (key.comment) description = VoduveKeymapDocument::descriptionFromComment(*key.comment);
                break;
            }
        }
        conflicts.push_back(ShortcutConflict{Uuid::random(), record.commandID,
                                             description.value_or("VODUVE Command " + record.commandID)});
    }
    return conflicts;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            if (b0 == 0xE0) low = 0xA0;  // no overlong forms
            if (b0 == 0xED) high = 0x9F;  // no surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            if (b0 == 0xF0) low = 0x90;
            if (b0 == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        } else {
            return false;
        }
        if (i + length > bytes.size()) return false;
        const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        if (b1 < low || b1 > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

int VoduveShortcutManager::posixRename(const fs::path& from, const fs::path& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

std::string VoduveShortcutManager::backupFileName(const platform::LocalDateTime& time) {
    return std::string(kKeymapBackupPrefix) + formatZeroPadded(time.year, 4) + formatZeroPadded(time.month, 2) +
           formatZeroPadded(time.day, 2) + "-" + formatZeroPadded(time.hour, 2) + formatZeroPadded(time.minute, 2) +
           formatZeroPadded(time.second, 2) + "-" + formatZeroPadded(time.millisecond, 3) + kKeymapBackupSuffix;
}

std::vector<ShortcutConflict> VoduveShortcutManager::findShortcutConflicts(
    const VoduveShortcut& shortcut, const fs::path& keymap, const std::optional<std::string>& excluding) const {
    const auto document = VoduveKeymapDocument::parse(readKeymapText(keymap, kKeymapReadNotUtf8Code));
    return describeConflicts(document, document.conflictingKeys(shortcut, shortcut.keyCode, 0, excluding));
}

KeymapPlan VoduveShortcutManager::planRegistrations(const std::vector<ActionRegistration>& actions,
                                                    std::string oldText) {
    if (!isValidUtf8(oldText)) {
        throw ErrorException(Error{kCorvelErrorDomain, kKeymapRegisterNotUtf8Code, kKeymapNotUtf8Message});
    }
    KeymapPlan plan;
    plan.newText = oldText;
    plan.oldText = std::move(oldText);
    for (const auto& action : actions) {
        const auto document = VoduveKeymapDocument::parse(plan.newText);
        std::vector<ShortcutConflict> replaced;
        if (action.shortcut && action.replaceConflict) {
            replaced = describeConflicts(document, document.conflictingKeys(*action.shortcut, action.shortcut->keyCode,
                                                                            0, action.commandID));
        }
        plan.newText = document.upsert(action.commandID, action.description, action.scriptPath, action.shortcut,
                                       action.replaceConflict);
        plan.replaced.push_back(std::move(replaced));
    }
    return plan;
}

KeymapPlan VoduveShortcutManager::planRegistrations(const std::vector<ActionRegistration>& actions,
                                                    const fs::path& keymap) const {
    return planRegistrations(actions, readSnapshot(resolveSymbolicLinks(keymap)).bytes);
}

void VoduveShortcutManager::verifyKeymapEntries(std::string_view commandID, std::string_view scriptPath,
                                                const std::optional<VoduveShortcut>& shortcut, const fs::path& keymap) {
    const auto document = VoduveKeymapDocument::parse(readKeymapText(keymap, kKeymapReadNotUtf8Code));
    bool actionFound = false;
    for (const auto& action : document.actions) {
        actionFound = actionFound || (VoduveKeymapDocument::sameCommand(action.commandID, commandID) &&
                                      action.scriptPath == scriptPath);
    }
    if (!actionFound) throw VoduveKeymapError::verificationFailed(kActionMissingAfterWrite);
    if (!shortcut) return;
    for (const auto& key : document.keys) {
        if (VoduveKeymapDocument::sameCommand(key.commandID, commandID) &&
            key.modifierCode == shortcut->modifierCode() && key.keyCode == shortcut->keyCode && key.sectionID == 0) {
            return;
        }
    }
    throw VoduveKeymapError::verificationFailed(kShortcutMissingAfterWrite);
}

fs::path VoduveShortcutManager::writeBackup(const fs::path& folder, const std::vector<std::uint8_t>& bytes,
                                            mode_t mode) const {
    // A backup is never replaced: when the stamp's name is taken (two registrations in
    // one millisecond), the next millisecond's stamp names it.
    const auto now = seams_.clock();
    TempFileBeside temp(folder / backupFileName(platform::localDateTime(now)), mode & 0777);
    temp.writeAndSync(bytes);
    for (int offset = 0; offset < kBackupNameAttempts; ++offset) {
        const auto name = backupFileName(platform::localDateTime(now + std::chrono::milliseconds(offset)));
        if (temp.commitWithoutReplacing(folder / name)) {
            syncFolder(folder);
            return folder / name;
        }
    }
    throw ErrorException(Error::fromErrno(EEXIST, "name a backup in " + folder.string()));
}

std::optional<fs::path> VoduveShortcutManager::registerActionAndShortcut(
    std::string_view commandID, std::string_view description, std::string_view scriptPath,
    const std::optional<VoduveShortcut>& shortcut, bool replaceConflict, const fs::path& keymap,
    const fs::path& backupFolder) const {
    return registerActions({ActionRegistration{std::string(commandID), std::string(description),
                                               std::string(scriptPath), shortcut, replaceConflict}},
                           keymap, backupFolder)
        .backup;
}

KeymapChange VoduveShortcutManager::registerActions(const std::vector<ActionRegistration>& actions,
                                                    const fs::path& keymap, const fs::path& backupFolder) const {
    createFolder(keymap.parent_path());
    const fs::path target = resolveSymbolicLinks(keymap);
    // A linked keymap is written where the link points, but only into a folder that is
    // already there: registration creates no folder outside VODUVE's own.
    if (target.parent_path() != keymap.parent_path()) {
        struct stat folderInfo {};
        if (::stat(target.parent_path().c_str(), &folderInfo) != 0) {
            throw ErrorException(Error::fromErrno(errno, "inspect folder " + target.parent_path().string()));
        }
        if (!S_ISDIR(folderInfo.st_mode)) {
            throw ErrorException(Error::fromErrno(ENOTDIR, "inspect folder " + target.parent_path().string()));
        }
    }
    createFolder(backupFolder);
    const fs::path temp = target.parent_path() / kKeymapTemporaryFileName;

    for (int attempt = 0; attempt < kRegistrationAttempts; ++attempt) {
        const KeymapSnapshot old = readSnapshot(target);
        KeymapPlan plan = planRegistrations(actions, old.bytes);
        if (plan.newText == plan.oldText) return KeymapChange{std::nullopt, std::move(plan.replaced)};

        std::optional<fs::path> backup;
        if (!old.bytes.empty()) {
            backup = writeBackup(backupFolder, std::vector<std::uint8_t>(old.bytes.begin(), old.bytes.end()), old.mode);
        }
        ::unlink(temp.c_str());
        writeNewFile(temp, plan.newText, old.mode, old.exists);
        if (seams_.beforeReplace) seams_.beforeReplace();
        if (!stillAsSeen(target, old)) {
            // Another program wrote the keymap after it was read: its edit stays, and the
            // change is made again from what it wrote. The backup of bytes that are gone goes too.
            ::unlink(temp.c_str());
            if (backup) ::unlink(backup->c_str());
            continue;
        }
        if (const int e = seams_.rename(temp, target); e != 0) {
            // The keymap was not replaced, so it still holds its old bytes.
            ::unlink(temp.c_str());
            throw ErrorException(
                Error{kPosixErrorDomain, e, "Atomic keymap replacement failed (errno " + formatInteger(e) + ")."});
        }
        syncFolder(target.parent_path());

        try {
            for (const auto& action : actions) {
                verifyKeymapEntries(action.commandID, action.scriptPath, action.shortcut, keymap);
            }
        } catch (...) {
            // Put the old bytes back. The backup goes in through a temp file and a rename,
            // so the keymap is never missing; if the restore fails, its error is reported.
            ::unlink(temp.c_str());
            if (backup) {
                const auto bytes = toText(readFileBytes(*backup, kKeymapSizeLimit));
                writeNewFile(temp, bytes, old.mode, old.exists);
                if (const int e = seams_.rename(temp, target); e != 0) {
                    ::unlink(temp.c_str());
                    throw ErrorException(
                        Error::fromErrno(e, "restore " + target.string() + " from " + backup->string()));
                }
                syncFolder(target.parent_path());
            } else {
                ::unlink(target.c_str());
            }
            throw;
        }
        return KeymapChange{std::move(backup), std::move(plan.replaced)};
    }
    throw ErrorException(Error{kCorvelErrorDomain, kKeymapChangedCode, kKeymapChangedMessage});
}

}  // namespace corvel::voduvetools

std::size_t std::hash<corvel::voduvetools::ShortcutConflict>::operator()(
    const corvel::voduvetools::ShortcutConflict& conflict) const noexcept {
    return corvel::hashFields(conflict.id, conflict.commandID, conflict.description);
}
