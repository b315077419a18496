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

    const std::filesystem::path& write(const std::uint8_t* data, std::size_t size) {
        if (::ftruncate(fd_, 0) != 0) std::abort();
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
        return path_;
    }

private:
    int fd_;
    std::filesystem::path path_;
};

}  // namespace corvel::fuzz
