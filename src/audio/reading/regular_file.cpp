#include "audio/reading/regular_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/atomic_file.hpp"
#include "common/error.hpp"

namespace corvel::audio {

std::shared_ptr<const RegularFile> RegularFile::open(const std::filesystem::path& file) {
    const int fd = openRegularFileForReading(file);
    return std::shared_ptr<const RegularFile>(new RegularFile(fd, file));
}

RegularFile::~RegularFile() { ::close(descriptor_); }

std::int64_t RegularFile::size() const {
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0) return -1;
    return static_cast<std::int64_t>(status.st_size);
}

std::int64_t RegularFile::readAt(void* into, std::size_t count, std::int64_t offset) const {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    for (;;) {
        const ssize_t got = ::pread(descriptor_, into, count, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR) return static_cast<std::int64_t>(got);
    }
}

}  // namespace corvel::audio
