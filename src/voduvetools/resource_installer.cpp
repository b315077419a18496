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
    fail(kDifferentFileExistsCode,
         "A different file already exists at " + destination.string() + ". It was not overwritten.");
}

// Whether a file is reachable at the path, following symbolic links.
bool fileExists(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Whether any entry stands at the path, a dangling symbolic link included.
bool entryExists(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
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

ResourceInstallResult ResourceInstaller::copyVerified(const fs::path& source, const fs::path& destination) const {
    ResourceInstallResult result;
    result.destinationURL = destination;
    result.sourceSHA256 = sha256HexOfFile(source);

    const bool destinationExists = fileExists(destination);
    // A dangling symbolic link is not our file and is never replaced: nothing is written.
    if (!destinationExists && entryExists(destination)) failDifferentFile(destination);
    if (destinationExists) {
        const auto present = sha256HexOfFile(destination);
        if (present == result.sourceSHA256) {
            result.installedSHA256 = present;
            result.preExisting = true;
            result.alreadyCompatible = true;
            return result;
        }
    }

    createFolder(destination.parent_path());
    const auto temporary = temporaryFileFor(destination);
    ::unlink(temporary.c_str());  // a leftover of an interrupted copy
    writeFileAtomically(temporary, readFileBytes(source));

    if (destinationExists) {
        ::unlink(temporary.c_str());
        failDifferentFile(destination);
    }
    // The destination may have appeared since it was looked at; whatever is there now
    // is not ours to replace.
    if (!seams_.move(temporary, destination)) {
        ::unlink(temporary.c_str());
        failDifferentFile(destination);
    }

    result.installedSHA256 = sha256HexOfFile(destination);
    if (result.installedSHA256 != result.sourceSHA256) {
        ::unlink(destination.c_str());
        fail(kInstalledFileMismatchCode,
             "Installed file verification failed for " + destination.filename().string() + ".");
    }
    result.ownedByInstaller = true;
    return result;
}

}  // namespace corvel::voduvetools

std::size_t std::hash<corvel::voduvetools::ResourceInstallResult>::operator()(
    const corvel::voduvetools::ResourceInstallResult& result) const noexcept {
    return corvel::hashFields(result.destinationURL.native(), result.sourceSHA256, result.installedSHA256,
                              result.preExisting, result.ownedByInstaller, result.alreadyCompatible);
}
