#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The support report's text. No Qt here: the report is built and tested without a window.
namespace corvel::app {

// Where the report's values come from. The default reads the running system; tests hand in
// their own. Every reader may fail: the report falls back to fixed values.
struct DiagnosticsSources {
    // The application's version; nothing or an empty text reads "unknown".
    std::function<std::optional<std::string>()> appVersion;
    // The operating system's human-readable name and version.
    std::function<std::string()> operatingSystem;
    // The default VODUVE resource folder (never the one chosen on the setup screen).
    std::function<std::filesystem::path()> defaultResourceFolder;
    std::function<bool()> voduveRunning;

    static DiagnosticsSources system();
};

struct DiagnosticsSnapshot {
    std::string text;

    friend bool operator==(const DiagnosticsSnapshot&, const DiagnosticsSnapshot&) = default;

    // Seven lines joined by "\n", without a line feed after the last. Never fails.
    static DiagnosticsSnapshot make();
    static DiagnosticsSnapshot make(const DiagnosticsSources& sources);
};

// The PRETTY_NAME value of an os-release text (shell-style quoting, the last assignment
// wins); nothing when it is missing or empty.
std::optional<std::string> prettyNameFromOsRelease(std::string_view text);

// The first PRETTY_NAME of the given os-release files, else the kernel's name and release
// as `kernelDescription` gives them, else "unknown".
std::string operatingSystemDescription(const std::vector<std::filesystem::path>& osReleaseFiles,
                                       const std::function<std::optional<std::string>()>& kernelDescription);

// "Linux 6.1.0-18-amd64" from uname(2); nothing when the call fails.
std::optional<std::string> unameDescription();

}  // namespace corvel::app
