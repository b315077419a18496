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
constexpr int kMaximumLinkHops = 40;

std::string toText(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

void createFolder(const fs::path& folder) {
    if (folder.empty()) return;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) throw ErrorException(Error::fromErrno(error.value(), "create folder " + folder.string()));
}

// The file a keymap path finally names: symbolic links are followed (also to a file
// that does not exist yet), so that a linked keymap is replaced where it lives.
fs::path resolveLinks(fs::path path) {
    for (int hops = 0;; ++hops) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            if (errno == ENOENT) return path;
            throw ErrorException(Error::fromErrno(errno, "inspect " + path.string()));
        }
        if (!S_ISLNK(info.st_mode)) return path;
        if (hops >= kMaximumLinkHops) throw ErrorException(Error::fromErrno(ELOOP, "resolve " + path.string()));
        std::error_code error;
        const fs::path link = fs::read_symlink(path, error);
        if (error) throw ErrorException(Error::fromErrno(error.value(), "read link " + path.string()));
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
}

// Writes bytes to a fresh file at `temp` and flushes them. With keepMode the file gets
// exactly `mode`, untouched by the umask. The file is removed again on failure.
void writeTemporary(const fs::path& temp, std::string_view bytes, mode_t mode, bool keepMode) {
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          keepMode ? (mode & 0777) : kDefaultKeymapMode);
    if (fd < 0) throw ErrorException(Error::fromErrno(errno, "create " + temp.string()));
    auto fail = [&](const std::string& what) {
        const int e = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        throw ErrorException(Error::fromErrno(e, what + " " + temp.string()));
    };
    if (keepMode && ::fchmod(fd, mode) != 0) fail("set permissions of");
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("write");
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) fail("sync");
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        throw ErrorException(Error::fromErrno(e, "close " + temp.string()));
    }
}

// Makes a rename in the folder durable; best effort.
void syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::string readKeymapText(const fs::path& keymap, int notUtf8Code) {
    auto text = toText(readFileBytes(keymap));
    if (!isValidUtf8(text)) throw ErrorException(Error{kKeymapErrorDomain, notUtf8Code, kKeymapNotUtf8Message});
    return text;
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
    std::vector<ShortcutConflict> conflicts;
    for (const auto& record : document.conflictingKeys(shortcut, shortcut.keyCode, 0, excluding)) {
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
    createFolder(keymap.parent_path());
    const fs::path target = resolveLinks(keymap);
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

    std::string oldText;
    mode_t mode = kDefaultKeymapMode;
    bool keepMode = false;
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0) {
        mode = info.st_mode & 07777;
        keepMode = true;
        oldText = toText(readFileBytes(target));
    } else if (errno != ENOENT) {
        throw ErrorException(Error::fromErrno(errno, "inspect " + target.string()));
    }
    if (!isValidUtf8(oldText)) {
        throw ErrorException(Error{kKeymapErrorDomain, kKeymapRegisterNotUtf8Code, kKeymapNotUtf8Message});
    }

    const std::string newText =
        VoduveKeymapDocument::parse(oldText).upsert(commandID, description, scriptPath, shortcut, replaceConflict);
    if (newText == oldText) return std::nullopt;

    std::optional<fs::path> backup;
    if (!oldText.empty()) backup = writeBackup(backupFolder, std::vector<std::uint8_t>(oldText.begin(), oldText.end()), mode);

    const fs::path temp = target.parent_path() / kKeymapTemporaryFileName;
    ::unlink(temp.c_str());
    writeTemporary(temp, newText, mode, keepMode);
    if (const int e = seams_.rename(temp, target); e != 0) {
        // The keymap was not replaced, so it still holds its old bytes.
        ::unlink(temp.c_str());
        throw ErrorException(
            Error{kPosixErrorDomain, e, "Atomic keymap replacement failed (errno " + formatInteger(e) + ")."});
    }
    syncFolder(target.parent_path());

    try {
        verifyKeymapEntries(commandID, scriptPath, shortcut, keymap);
    } catch (...) {
        // Put the old bytes back. The backup goes in through a temp file and a rename,
        // so the keymap is never missing; if the restore fails, its error is reported.
        ::unlink(temp.c_str());
        if (backup) {
            const auto bytes = toText(readFileBytes(*backup));
            writeTemporary(temp, bytes, mode, keepMode);
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
    return backup;
}

}  // namespace corvel::voduvetools

std::size_t std::hash<corvel::voduvetools::ShortcutConflict>::operator()(
    const corvel::voduvetools::ShortcutConflict& conflict) const noexcept {
    return corvel::hashFields(conflict.id, conflict.commandID, conflict.description);
}
