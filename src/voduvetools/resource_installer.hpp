#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/paths.hpp"
#include "voduvetools/corvel_errors.hpp"

namespace corvel::voduvetools {

inline constexpr const char* kInstallTemporarySuffix = ".orvanta-corvel.tmp";
// A resource is read whole to be copied; the application's own files are far smaller.
inline constexpr std::uint64_t kResourceSizeLimit = 256ull * 1000 * 1000;

// What one install of a resource file did. Exactly two shapes occur: the identical file
// was already there (preExisting, alreadyCompatible) or this call wrote it
// (ownedByInstaller).
struct ResourceInstallResult {
    std::filesystem::path destinationURL;
    std::string sourceSHA256;     // 64 lowercase hex digits
    std::string installedSHA256;  // of the file now at the destination
    bool preExisting = false;
    bool ownedByInstaller = false;
    bool alreadyCompatible = false;

    friend bool operator==(const ResourceInstallResult&, const ResourceInstallResult&) = default;
};

// Copies files that ship with the application into place, proven by SHA-256: an
// identical file is left alone, a different one is never replaced, and the bytes go
// through a temporary file beside the destination and are checked after the move.
// Failures are thrown as ErrorException: domain "OrvantaCorvel" codes 2201 to 2203, or
// the file system's POSIX error.
class ResourceInstaller {
public:
    // Moves `from` to `to` unless an entry exists at `to`; returns false then. Throws
    // ErrorException on any other failure.
    using MoveFunction = std::function<bool(const std::filesystem::path& from, const std::filesystem::path& to)>;

    struct Seams {
        std::filesystem::path resourcesFolder = platform::applicationResourcesFolder();
        MoveFunction move = moveWithoutReplacing;
    };

    ResourceInstaller() = default;
    explicit ResourceInstaller(Seams seams) : seams_(std::move(seams)) {}

    // Installs the application resource with this file name (e.g. "Orvanta_Cuewarden.lua")
    // at the destination; 2201 when the application doesn't carry it.
    ResourceInstallResult install(std::string_view resourceName, const std::filesystem::path& destination) const;

    // The resource's file, or nothing when the application doesn't carry it. Only a
    // plain file name is looked up: a name with a folder in it names no resource.
    std::optional<std::filesystem::path> resourceURL(std::string_view resourceName) const;

    ResourceInstallResult copyVerified(const std::filesystem::path& source,
                                       const std::filesystem::path& destination) const;

    // What install and copyVerified would return, found without writing anything: for a
    // copy still to be made, ownedByInstaller with the resource's digest as the installed
    // one. Throws what they throw before they write (2201, 2202, a file-system error).
    ResourceInstallResult preview(std::string_view resourceName, const std::filesystem::path& destination) const;
    ResourceInstallResult previewCopy(const std::filesystem::path& source,
                                      const std::filesystem::path& destination) const;

    // "." + file name + ".orvanta-corvel.tmp", in the destination's folder.
    static std::filesystem::path temporaryFileFor(const std::filesystem::path& destination);

    static bool moveWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

private:
    Seams seams_;
};

}  // namespace corvel::voduvetools

template <>
struct std::hash<corvel::voduvetools::ResourceInstallResult> {
    std::size_t operator()(const corvel::voduvetools::ResourceInstallResult& result) const noexcept;
};
