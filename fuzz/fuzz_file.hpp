#pragma once

// The fuzz input as a regular file that the decoders open by name: an anonymous memory
// file, rewritten for every input, reached through /proc/self/fd.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace corvel::fuzz {

class FuzzFile {
public:
    FuzzFile() : fd_(::memfd_create("corvel-fuzz-input", MFD_CLOEXEC)) {
        if (fd_ < 0) std::abort();
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }

    // Overwrites the last input in place and then cuts the file to this one's size: the
    // pages the file already has are kept, where truncating it to nothing first would free
    // them all and fault them in again for every input.
    const std::filesystem::path& write(const std::uint8_t* data, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) std::abort();
        return path_;
    }

private:
    int fd_;
    std::filesystem::path path_;
};

}  // namespace corvel::fuzz
