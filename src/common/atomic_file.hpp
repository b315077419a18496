#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace corvel {

// A new, uniquely named file beside a target (".<name>.tmp-XXXXXX" in the target's
// folder), so that a rename over the target is atomic. The file is removed when the
// object is destroyed unless it was committed (renamed) first.
class TempFileBeside {
public:
    // Throws ErrorException (domain "POSIX") when the file can't be created.
    explicit TempFileBeside(const std::filesystem::path& target, mode_t mode = 0644);
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

// Writes bytes to path through a temp file beside it, fsync and rename: readers see the
// old file or the new one, never a part. The temp file is removed on failure.
// Throws ErrorException (domain "POSIX").
void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                         mode_t mode = 0644);
void writeFileAtomically(const std::filesystem::path& path, std::string_view text, mode_t mode = 0644);

// Moves from to `to` unless an entry exists at `to` (renameat2 with RENAME_NOREPLACE,
// or link and unlink where the file system lacks it). Returns false when `to` exists;
// throws ErrorException (domain "POSIX") on any other failure.
bool renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Reads the file in blocks of up to 64 KiB and hands each to `block` in order; throws
// ErrorException (domain "POSIX") when it can't be opened or read.
void readFileBlocks(const std::filesystem::path& path,
                    const std::function<void(std::span<const std::uint8_t>)>& block);

// The whole file; throws ErrorException (domain "POSIX") when it can't be read.
std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path);

}  // namespace corvel
