#include "audio/reading/regular_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/error.hpp"

namespace corvel::audio {
namespace {

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a file";
}

}  // namespace

std::shared_ptr<const RegularFile> RegularFile::open(const std::filesystem::path& file) {
    // O_NONBLOCK keeps the open of a pipe without writer (or of a device) from waiting;
    // the type check then refuses it before anything reads.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw ErrorException(Error::fromErrno(errno, "open " + file.string()));
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int failure = errno;
        ::close(fd);
        throw ErrorException(Error::fromErrno(failure, "open " + file.string()));
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        throw ErrorException(Error{kPosixErrorDomain, S_ISDIR(status.st_mode) ? EISDIR : EINVAL,
                                   "open " + file.string() + ": Not a regular file (" + kindOf(status.st_mode) + ")"});
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
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
