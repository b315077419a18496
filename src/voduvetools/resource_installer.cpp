#include "voduvetools/resource_installer.hpp"

#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "common/atomic_file.hpp"
#include "common/error.hpp"
#include "common/hashing.hpp"
#include "common/sha256.hpp"

namespace corvel::voduvetools {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(int code, std::string message) {
    throw ErrorException(Error{kCorvelErrorDomain, code, std::move(message)});
}

[[noreturn]] void failDifferentFile(const fs::path& destination) {
    fail(kDifferentFileExistsCode, "A different file already exists at " + destination.string() +
                                       ". It was not overwritten. " + kDifferentFileAdvice);
}

// Whether any entry stands at the path, a dangling symbolic link included.
bool entryExists(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Whether a name is one of our copies' temporary files: ".<name>.orvanta-corvel.tmp", or
// such a name with ".tmp-" and ten letters or digits after it, as earlier versions wrote them.
bool isLeftoverCopyName(std::string_view name) {
    if (name.size() < 2 || name.front() != '.') return false;
    if (name.ends_with(kInstallTemporarySuffix)) return true;
    const std::string nested = std::string(kInstallTemporarySuffix) + ".tmp-";
    const std::size_t at = name.rfind(nested);
    if (at == std::string_view::npos || name.size() - at - nested.size() != 10) return false;
    for (const char c : name.substr(at + nested.size())) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    }
    return true;
}

std::uint64_t sizeOf(const fs::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) throw ErrorException(Error::fromErrno(errno, "inspect " + file.string()));
    return static_cast<std::uint64_t>(info.st_size);
}

void createFolder(const fs::path& folder) {
    if (folder.empty()) return;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) throw ErrorException(Error::fromErrno(error.value(), "create folder " + folder.string()));
}

}  // namespace

fs::path ResourceInstaller::temporaryFileFor(const fs::path& destination) {
    return destination.parent_path() / ("." + destination.filename().string() + kInstallTemporarySuffix);
}

bool ResourceInstaller::moveWithoutReplacing(const fs::path& from, const fs::path& to) {
    return renameWithoutReplacing(from, to);
}

std::optional<fs::path> ResourceInstaller::resourceURL(std::string_view resourceName) const {
    if (resourceName.empty() || resourceName == "." || resourceName == ".." ||
        resourceName.find('/') != std::string_view::npos || resourceName.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    auto path = seams_.resourcesFolder / fs::path(std::string(resourceName));
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return path;
}

ResourceInstallResult ResourceInstaller::install(std::string_view resourceName, const fs::path& destination) const {
    const auto source = resourceURL(resourceName);
    if (!source) fail(kMissingResourceCode, "Missing bundled resource: " + std::string(resourceName));
    return copyVerified(*source, destination);
}

ResourceInstallResult ResourceInstaller::preview(std::string_view resourceName, const fs::path& destination) const {
    const auto source = resourceURL(resourceName);
    if (!source) fail(kMissingResourceCode, "Missing bundled resource: " + std::string(resourceName));
    return previewCopy(*source, destination);
}

ResourceInstallResult ResourceInstaller::previewCopy(const fs::path& source, const fs::path& destination) const {
    ResourceInstallResult result;
    result.destinationURL = destination;
    result.sourceSHA256 = sha256HexOfFile(source);

    struct stat info {};
    if (::stat(destination.c_str(), &info) != 0) {
        // A dangling symbolic link is not our file and is never replaced: nothing is written.
        if (entryExists(destination)) failDifferentFile(destination);
        result.installedSHA256 = result.sourceSHA256;
        result.ownedByInstaller = true;
        return result;
    }
    // Only a regular file of the resource's size can hold its bytes; anything else (a
    // folder, a pipe, a device) is different without being read.
    if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) != sizeOf(source)) {
        failDifferentFile(destination);
    }
    const auto present = sha256HexOfFile(destination);
    if (present != result.sourceSHA256) failDifferentFile(destination);
    result.installedSHA256 = present;
    result.preExisting = true;
    result.alreadyCompatible = true;
    return result;
}

ResourceInstallResult ResourceInstaller::copyVerified(const fs::path& source, const fs::path& destination) const {
    ResourceInstallResult result = previewCopy(source, destination);
    if (result.preExisting) return result;

    createFolder(destination.parent_path());
    const auto temporary = temporaryFileFor(destination);
    // What interrupted copies left in the folder goes. Copies run one at a time on the main
    // thread, so none of these files is being written.
    removeLeftoverFiles(destination.parent_path(), isLeftoverCopyName);
    const auto bytes = readFileBytes(source, kResourceSizeLimit);
    writeNewFile(temporary, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), 0644, false);

    // The destination may have appeared since it was looked at; whatever is there now
    // is not ours to replace. A failed move leaves no temporary file behind either.
    bool moved = false;
    try {
        moved = seams_.move(temporary, destination);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    if (!moved) {
        ::unlink(temporary.c_str());
        failDifferentFile(destination);
    }

    result.installedSHA256 = sha256HexOfFile(destination);
    if (result.installedSHA256 != result.sourceSHA256) {
        ::unlink(destination.c_str());
        fail(kInstalledFileMismatchCode,
             "Installed file verification failed for " + destination.filename().string() + ".");
    }
    return result;
}

}  // namespace corvel::voduvetools

std::size_t std::hash<corvel::voduvetools::ResourceInstallResult>::operator()(
    const corvel::voduvetools::ResourceInstallResult& result) const noexcept {
    return corvel::hashFields(result.destinationURL.native(), result.sourceSHA256, result.installedSHA256,
                              result.preExisting, result.ownedByInstaller, result.alreadyCompatible);
}
