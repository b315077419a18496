#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/paths.hpp"

namespace corvel::voduvetools {

inline constexpr const char* kManifestProduct = "Orvanta VODUVE Corvel";
inline constexpr std::int64_t kManifestSchemaVersion = 1;
inline constexpr const char* kManifestFileName = "install-manifest.json";
inline constexpr const char* kManifestEncodingErrorDomain = "OrvantaCorvel.Encoding";
// The manifest is read whole; a file larger than this is no manifest of ours.
inline constexpr std::uint64_t kManifestSizeLimit = 4ull * 1000 * 1000;

// One file an installation run put in place (or found there, identical).
struct InstalledFileRecord {
    std::string toolID;  // raw value of the tool's kind
    std::string sourceFileName;
    std::string destinationPath;
    std::string sourceSHA256;
    std::string installedSHA256;
    bool preExisting = false;
    // The installer put the file there, in this run or, for a file found identical, in
    // an earlier recorded one.
    bool ownedByInstaller = false;

    friend bool operator==(const InstalledFileRecord&, const InstalledFileRecord&) = default;
};

// One VODUVE action an installation run registered. The three shortcut fields are
// written together or not at all.
struct InstalledActionRecord {
    std::string toolID;
    std::string commandID;           // with its leading '_'
    std::string scriptRelativePath;  // "Orvanta Corvel/<script file>", relative to VODUVE's Scripts
    std::optional<std::string> shortcutDisplay;
    std::optional<std::int64_t> modifierCode;
    std::optional<std::int64_t> keyCode;

    friend bool operator==(const InstalledActionRecord&, const InstalledActionRecord&) = default;
};

// What the last successful installation run put into a VODUVE resource folder:
// install-manifest.json in the application's data folder.
struct InstallManifest {
    std::string product = kManifestProduct;
    std::int64_t schemaVersion = kManifestSchemaVersion;
    std::string appVersion;
    std::string voduveResourcePath;
    std::chrono::sys_seconds installedAt{};
    std::vector<InstalledFileRecord> files;
    std::vector<InstalledActionRecord> actions;

    friend bool operator==(const InstallManifest&, const InstallManifest&) = default;

    // Pretty-printed JSON with every object's keys sorted and the date as ISO 8601 UTC
    // text. Throws ErrorException (kManifestEncodingErrorDomain) when a text is not UTF-8.
    std::string encoded() const;
    // Every manifest key and every file record key is required with its type; in an
    // action record the shortcut keys may be missing or null. Unknown keys are ignored,
    // product and schema version are not checked. Nothing for anything else.
    static std::optional<InstallManifest> decoded(std::string_view json);

    // The manifest in the file, or nothing when the file is missing, unreadable or not
    // a manifest.
    static std::optional<InstallManifest> read(const std::filesystem::path& file);
    // Replaces the file whole through a temporary file and a rename; throws
    // ErrorException on failure, leaving the previous file as it was.
    void write(const std::filesystem::path& file) const;

    // ${XDG_DATA_HOME:-~/.local/share}/Orvanta VODUVE Corvel/install-manifest.json
    static std::filesystem::path defaultLocation(const platform::UserFolders& folders = platform::UserFolders());
};

}  // namespace corvel::voduvetools

template <>
struct std::hash<corvel::voduvetools::InstalledFileRecord> {
    std::size_t operator()(const corvel::voduvetools::InstalledFileRecord& record) const noexcept;
};

template <>
struct std::hash<corvel::voduvetools::InstalledActionRecord> {
    std::size_t operator()(const corvel::voduvetools::InstalledActionRecord& record) const noexcept;
};

template <>
struct std::hash<corvel::voduvetools::InstallManifest> {
    std::size_t operator()(const corvel::voduvetools::InstallManifest& manifest) const noexcept;
};
