#include "common/atomic_file.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "common/error.hpp"

namespace corvel {
namespace {

std::string randomSuffix() {
    static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
    std::string suffix(10, 'x');
    for (auto& c : suffix) c = alphabet[pick(generator)];
    return suffix;
}

}  // namespace

TempFileBeside::TempFileBeside(const std::filesystem::path& target, mode_t mode) : target_(target) {
    const auto folder = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = folder / ("." + target.filename().string() + ".tmp-" + randomSuffix());
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0) {
            fd_ = fd;
            path_ = std::move(candidate);
            return;
        }
        if (errno != EEXIST) {
            throw ErrorException(Error::fromErrno(errno, "create temporary file beside " + target.string()));
        }
    }
    throw ErrorException(Error::fromErrno(EEXIST, "create temporary file beside " + target.string()));
}

TempFileBeside::~TempFileBeside() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !path_.empty()) ::unlink(path_.c_str());
}

void TempFileBeside::writeAndSync(std::span<const std::uint8_t> bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw ErrorException(Error::fromErrno(errno, "write " + path_.string()));
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd_) != 0) {
        throw ErrorException(Error::fromErrno(errno, "sync " + path_.string()));
    }
}

void TempFileBeside::commit() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (::rename(path_.c_str(), target_.c_str()) != 0) {
        throw ErrorException(Error::fromErrno(errno, "rename " + path_.string() + " to " + target_.string()));
    }
    committed_ = true;
}

bool TempFileBeside::commitWithoutReplacing(const std::filesystem::path& target) {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!renameWithoutReplacing(path_, target)) return false;
    committed_ = true;
    return true;
}

bool renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        throw ErrorException(Error::fromErrno(errno, "rename " + from.string() + " to " + to.string()));
    }
    // The file system can't rename without replacing: a hard link fails on an existing name.
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) return false;
        throw ErrorException(Error::fromErrno(errno, "link " + from.string() + " to " + to.string()));
    }
    ::unlink(from.c_str());
    return true;
}

void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes, mode_t mode) {
    TempFileBeside temp(path, mode);
    temp.writeAndSync(bytes);
    temp.commit();
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view text, mode_t mode) {
    writeFileAtomically(
        path, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), mode);
}

void readFileBlocks(const std::filesystem::path& path,
                    const std::function<void(std::span<const std::uint8_t>)>& block) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw ErrorException(Error::fromErrno(errno, "open " + path.string()));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n == 0) return;
        if (n < 0) {
            if (errno == EINTR) continue;
            throw ErrorException(Error::fromErrno(errno, "read " + path.string()));
        }
        block(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
    }
}

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path) {
    std::vector<std::uint8_t> bytes;
    readFileBlocks(path, [&](std::span<const std::uint8_t> block) { bytes.insert(bytes.end(), block.begin(), block.end()); });
    return bytes;
}

}  // namespace corvel
