#include "common/atomic_file.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/error.hpp"
#include "common/format.hpp"

namespace corvel {
namespace fs = std::filesystem;

namespace {

// What marks a temp file as ours: ".<target>" + kMarker + "<pid>-<random>" + kEnding.
constexpr std::string_view kMarker = ".orvanta-corvel-";
constexpr std::string_view kEnding = ".tmp";
constexpr std::size_t kUniqueLength = 8;
constexpr std::size_t kMaximumNameLength = 255;  // NAME_MAX of the common Linux file systems
constexpr int kMaximumLinkHops = 40;

std::string randomSuffix() {
    static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
    std::string suffix(kUniqueLength, 'x');
    for (auto& c : suffix) c = alphabet[pick(generator)];
    return suffix;
}

bool isAlphanumeric(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The first `length` bytes of a UTF-8 text, shortened further so that no character is cut.
std::string_view utf8Prefix(std::string_view text, std::size_t length) {
    if (text.size() <= length) return text;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    return text.substr(0, length);
}

// Whether the process still runs (or runs under another user, which we may not signal).
bool processRuns(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a file";
}

std::string sizeText(std::uint64_t bytes) {
    constexpr std::uint64_t megabyte = 1000 * 1000;
    if (bytes >= megabyte && bytes % megabyte == 0) return formatInteger(static_cast<std::int64_t>(bytes / megabyte)) + " MB";
    return formatInteger(static_cast<std::int64_t>(bytes)) + " bytes";
}

[[noreturn]] void failTooLarge(const fs::path& path, std::uint64_t maxBytes) {
    throw ErrorException(Error::fromErrno(EFBIG, "read " + path.string() + " (more than " + sizeText(maxBytes) + ")"));
}

// Writes every byte to the descriptor; false with errno set on failure.
bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Creates a new file for writing, failing when any entry is at path (a symbolic link
// included); with exactMode the file gets exactly `mode`, otherwise `mode` under the umask.
// Returns -1 with errno set when the file can't be created; throws when it was created but
// its permissions can't be set (it is removed again then).
int createExclusively(const fs::path& path, mode_t mode, bool exactMode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode & 0777);
    if (fd >= 0 && exactMode && ::fchmod(fd, mode) != 0) {
        const int failure = errno;
        ::close(fd);
        ::unlink(path.c_str());
        throw ErrorException(Error::fromErrno(failure, "set the permissions of " + path.string()));
    }
    return fd;
}

// Opens a regular file for reading as openRegularFileForReading does, and tells what it is.
int openRegularFile(const fs::path& path, struct stat& status) {
    // O_NONBLOCK keeps the open of a pipe without writer (or of a device) from waiting;
    // the type check then refuses it before anything reads.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw ErrorException(Error::fromErrno(errno, "open " + path.string()));
    if (::fstat(fd, &status) != 0) {
        const int failure = errno;
        ::close(fd);
        throw ErrorException(Error::fromErrno(failure, "open " + path.string()));
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        throw ErrorException(Error{kPosixErrorDomain, S_ISDIR(status.st_mode) ? EISDIR : EINVAL,
                                   "open " + path.string() + ": Not a regular file (" + kindOf(status.st_mode) + ")"});
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

}  // namespace

std::string temporaryFileName(const fs::path& target, pid_t writer, std::string_view unique) {
    const std::string tail = std::string(kMarker) + formatInteger(writer) + "-" + std::string(unique) + std::string(kEnding);
    const std::string name = target.filename().string();
    const std::size_t room = kMaximumNameLength > tail.size() + 1 ? kMaximumNameLength - tail.size() - 1 : 0;
    return "." + std::string(utf8Prefix(name, room)) + tail;
}

std::optional<pid_t> temporaryFileWriter(std::string_view fileName) {
    if (fileName.size() < 1 + kMarker.size() + kEnding.size() || fileName.front() != '.' ||
        !fileName.ends_with(kEnding)) {
        return std::nullopt;
    }
    const std::string_view body = fileName.substr(0, fileName.size() - kEnding.size());
    const std::size_t marker = body.rfind(kMarker);
    if (marker == std::string_view::npos || marker == 0) return std::nullopt;
    const std::string_view stamp = body.substr(marker + kMarker.size());  // "<pid>-<random>"
    const std::size_t dash = stamp.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash + 1 >= stamp.size()) return std::nullopt;
    for (const char c : stamp.substr(dash + 1)) {
        if (!isAlphanumeric(c)) return std::nullopt;
    }
    pid_t pid = 0;
    const auto digits = stamp.substr(0, dash);
    const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (parsed.ec != std::errc() || parsed.ptr != digits.data() + digits.size() || pid <= 0) return std::nullopt;
    return pid;
}

void removeStaleTemporaryFiles(const fs::path& folder) {
    removeLeftoverFiles(folder, [](std::string_view name) {
        const auto writer = temporaryFileWriter(name);
        return writer && !processRuns(*writer);
    });
}

void removeLeftoverFiles(const fs::path& folder, const std::function<bool(std::string_view)>& isLeftover) {
    const int folderFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return;
    DIR* listing = ::fdopendir(folderFd);
    if (listing == nullptr) {
        ::close(folderFd);
        return;
    }
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (!isLeftover(name)) continue;
        struct stat info {};
        if (::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
        stale.emplace_back(name);
    }
    for (const auto& name : stale) ::unlinkat(folderFd, name.c_str(), 0);
    ::closedir(listing);  // closes folderFd too
}

TempFileBeside::TempFileBeside(const fs::path& target, mode_t mode, bool exactMode) : target_(target) {
    const auto folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    removeStaleTemporaryFiles(folder);
    const pid_t self = ::getpid();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = folder / temporaryFileName(target, self, randomSuffix());
        const int fd = createExclusively(candidate, mode, exactMode);
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
    if (!writeAll(fd_, bytes)) throw ErrorException(Error::fromErrno(errno, "write " + path_.string()));
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

bool TempFileBeside::commitWithoutReplacing(const fs::path& target) {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!renameWithoutReplacing(path_, target)) return false;
    committed_ = true;
    return true;
}

bool renameWithoutReplacing(const fs::path& from, const fs::path& to) {
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

void writeFileAtomically(const fs::path& path, std::span<const std::uint8_t> bytes, mode_t mode) {
    TempFileBeside temp(path, mode);
    temp.writeAndSync(bytes);
    temp.commit();
}

void writeFileAtomically(const fs::path& path, std::string_view text, mode_t mode) {
    writeFileAtomically(path, asBytes(text), mode);
}

fs::path resolveSymbolicLinks(fs::path path) {
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

void replaceFileAtomically(const fs::path& path, std::span<const std::uint8_t> bytes, mode_t newFileMode) {
    const fs::path target = resolveSymbolicLinks(path);
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0) {
        TempFileBeside temp(target, info.st_mode & 07777, true);
        temp.writeAndSync(bytes);
        temp.commit();
        return;
    }
    if (errno != ENOENT) throw ErrorException(Error::fromErrno(errno, "inspect " + target.string()));
    writeFileAtomically(target, bytes, newFileMode);
}

void writeNewFile(const fs::path& path, std::string_view bytes, mode_t mode, bool exactMode) {
    const int fd = createExclusively(path, mode, exactMode);
    if (fd < 0) throw ErrorException(Error::fromErrno(errno, "create " + path.string()));
    auto fail = [&](const std::string& what) {
        const int e = errno;
        ::close(fd);
        ::unlink(path.c_str());
        throw ErrorException(Error::fromErrno(e, what + " " + path.string()));
    };
    if (!writeAll(fd, asBytes(bytes))) fail("write");
    if (::fsync(fd) != 0) fail("sync");
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(path.c_str());
        throw ErrorException(Error::fromErrno(e, "close " + path.string()));
    }
}

int openRegularFileForReading(const fs::path& path) {
    struct stat status {};
    return openRegularFile(path, status);
}

void readFileBlocks(const fs::path& path, const std::function<void(std::span<const std::uint8_t>)>& block,
                    std::uint64_t maxBytes) {
    struct stat status {};
    const int fd = openRegularFile(path, status);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (static_cast<std::uint64_t>(status.st_size) > maxBytes) failTooLarge(path, maxBytes);
    std::vector<std::uint8_t> buffer(1 << 16);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n == 0) return;
        if (n < 0) {
            if (errno == EINTR) continue;
            throw ErrorException(Error::fromErrno(errno, "read " + path.string()));
        }
        total += static_cast<std::uint64_t>(n);
        if (total > maxBytes) failTooLarge(path, maxBytes);  // it grew while being read
        block(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
    }
}

std::vector<std::uint8_t> readFileBytes(const fs::path& path, std::uint64_t maxBytes) {
    std::vector<std::uint8_t> bytes;
    readFileBlocks(path, [&](std::span<const std::uint8_t> block) { bytes.insert(bytes.end(), block.begin(), block.end()); },
                   maxBytes);
    return bytes;
}

}  // namespace corvel
