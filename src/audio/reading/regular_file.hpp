#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

namespace corvel::audio {

// A regular file opened for reading. Opening never blocks: a named pipe, device, socket or
// folder is refused with a clear error instead of waiting for a writer. The decoders read
// through the one descriptor for as long as they live, so a file replaced or renamed on
// disk meanwhile is still read as the file that was opened.
class RegularFile {
public:
    // Throws ErrorException (domain "POSIX"): the system's error when the file can't be
    // opened, "Not a regular file" naming its kind when it is something else.
    static std::shared_ptr<const RegularFile> open(const std::filesystem::path& file);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The current size in bytes, -1 (errno set) when it can't be read.
    std::int64_t size() const;
    // Reads up to `count` bytes at `offset`, retrying interruptions: the bytes read (0 at
    // the end) or -1 with errno set. Safe from several threads at once.
    std::int64_t readAt(void* into, std::size_t count, std::int64_t offset) const;

private:
    RegularFile(int descriptor, std::filesystem::path path) : descriptor_(descriptor), path_(std::move(path)) {}
    int descriptor_;
    std::filesystem::path path_;
};

}  // namespace corvel::audio
