#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace corvel {

// A new, uniquely named file beside a target, so that a rename over the target is atomic:
// ".<name>.orvanta-corvel-<pid>-<random>.tmp" in the target's folder. The name says whose
// it is and which process writes it, so that one left behind by a process that died is
// recognised and removed the next time a file is written into that folder. The file is
// removed when the object is destroyed unless it was committed (renamed) first.
class TempFileBeside {
public:
    // Removes stale temp files of ours from the folder first. With exactMode the file gets
    // exactly `mode` (set after creation, so the umask doesn't narrow it); otherwise `mode`
    // under the umask. Throws ErrorException (domain "POSIX") when the file can't be created.
    explicit TempFileBeside(const std::filesystem::path& target, mode_t mode = 0644, bool exactMode = false);
    ~TempFileBeside();
    TempFileBeside(const TempFileBeside&) = delete;
    TempFileBeside& operator=(const TempFileBeside&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Writes all bytes and flushes them to the disk; throws on failure.
    void writeAndSync(std::span<const std::uint8_t> bytes);
    // Renames the temp file over the target; throws on failure (the temp file then
    // stays until destruction removes it).
    void commit();
    // Renames the temp file to `target` (a name in the same folder) unless an entry
    // already exists there; returns false and keeps the temp file when one does.
    // Throws on any other failure.
    bool commitWithoutReplacing(const std::filesystem::path& target);

private:
    std::filesystem::path target_;
    std::filesystem::path path_;
    int fd_ = -1;
    bool committed_ = false;
};

// The name TempFileBeside gives a temp file for `target` in a process; the target's name
// is shortened when the whole would be too long for the file system.
std::string temporaryFileName(const std::filesystem::path& target, pid_t writer, std::string_view unique);
// The process that writes a temp file of ours with this name; nothing for any other name.
std::optional<pid_t> temporaryFileWriter(std::string_view fileName);
// Removes from the folder (not below it) every regular file named as our temp file whose
// writing process no longer runs. Best effort: failures are ignored.
void removeStaleTemporaryFiles(const std::filesystem::path& folder);
// Removes from the folder (not below it) every regular file whose name `isLeftover` accepts;
// symbolic links and folders stay. Best effort: failures are ignored.
void removeLeftoverFiles(const std::filesystem::path& folder, const std::function<bool(std::string_view)>& isLeftover);

// Writes bytes to path through a temp file beside it, fsync and rename: readers see the
// old file or the new one, never a part. The temp file is removed on failure. A symbolic
// link at path is replaced by the file. Throws ErrorException (domain "POSIX").
void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                         mode_t mode = 0644);
void writeFileAtomically(const std::filesystem::path& path, std::string_view text, mode_t mode = 0644);

// Replaces the file that path names, atomically as writeFileAtomically does, keeping what
// the user set up: a symbolic link is followed and stays a link, and a file that is replaced
// keeps its permission bits. A new file gets `newFileMode` under the umask.
void replaceFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                           mode_t newFileMode = 0644);

// The path a chain of symbolic links ends at (also when that file does not exist yet); a
// path that is no link is returned as it is. Throws ErrorException (domain "POSIX").
std::filesystem::path resolveSymbolicLinks(std::filesystem::path path);

// Creates a new file at path (failing when any entry is there), writes the bytes and
// flushes them. With exactMode the file gets exactly `mode`; otherwise `mode` under the
// umask. The file is removed again on failure; throws ErrorException (domain "POSIX").
void writeNewFile(const std::filesystem::path& path, std::string_view bytes, mode_t mode, bool exactMode);

// Moves from to `to` unless an entry exists at `to` (renameat2 with RENAME_NOREPLACE,
// or link and unlink where the file system lacks it). Returns false when `to` exists;
// throws ErrorException (domain "POSIX") on any other failure.
bool renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

inline constexpr std::uint64_t kUnlimitedFileSize = std::numeric_limits<std::uint64_t>::max();

// Opens a regular file for reading without ever waiting: a named pipe, device, socket or
// folder is refused before anything reads it (a symbolic link counts as what it names).
// Returns the descriptor, which the caller closes. Throws ErrorException (domain "POSIX"):
// the system's error, or "Not a regular file" naming what the path is.
int openRegularFileForReading(const std::filesystem::path& path);

// Reads a regular file in blocks of up to 64 KiB and hands each to `block` in order.
// Throws ErrorException (domain "POSIX"): when it can't be opened or read, when it is no
// regular file, or (EFBIG) as soon as it holds more than maxBytes.
void readFileBlocks(const std::filesystem::path& path,
                    const std::function<void(std::span<const std::uint8_t>)>& block,
                    std::uint64_t maxBytes = kUnlimitedFileSize);

// The whole regular file, at most maxBytes of it; throws as readFileBlocks.
std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path, std::uint64_t maxBytes);

}  // namespace corvel
