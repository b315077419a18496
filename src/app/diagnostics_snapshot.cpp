#include "app/diagnostics_snapshot.hpp"

#include <fstream>
#include <sys/utsname.h>
#include <system_error>

#include "common/app_version.hpp"
#include "voduvetools/voduve_paths.hpp"

namespace corvel::app {
namespace {

// The files that describe the operating system, in the order os-release(5) gives.
const std::vector<std::filesystem::path>& osReleaseFiles() {
    static const std::vector<std::filesystem::path> files{"/etc/os-release", "/usr/lib/os-release"};
    return files;
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path) {
    constexpr std::size_t kLimit = 64 * 1024;  // os-release is a few hundred bytes
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return std::nullopt;
    std::string text(kLimit, '\0');
    stream.read(text.data(), static_cast<std::streamsize>(kLimit));
    text.resize(static_cast<std::size_t>(stream.gcount()));
    return text;
}

// One shell-style value: "double quoted" with backslash escapes, 'single quoted' verbatim,
// or bare up to the first blank.
std::string unquote(std::string_view value) {
    std::string result;
    if (!value.empty() && value.front() == '"') {
        for (std::size_t i = 1; i < value.size(); ++i) {
            const char c = value[i];
            if (c == '"') break;
            if (c == '\\' && i + 1 < value.size()) {
                const char next = value[i + 1];
                if (next == '"' || next == '\\' || next == '$' || next == '`') {
                    result.push_back(next);
                    ++i;
                    continue;
                }
            }
            result.push_back(c);
        }
        return result;
    }
    if (!value.empty() && value.front() == '\'') {
        const auto end = value.find('\'', 1);
        return std::string(value.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1));
    }
    const auto end = value.find_first_of(" \t");
    return std::string(value.substr(0, end));
}

std::string_view trimmedLeft(std::string_view text) {
    const auto start = text.find_first_not_of(" \t");
    return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

const char* trueOrFalse(bool value) { return value ? "true" : "false"; }

}  // namespace

std::optional<std::string> prettyNameFromOsRelease(std::string_view text) {
    static constexpr std::string_view kKey = "PRETTY_NAME=";
    std::optional<std::string> found;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        line = trimmedLeft(line);
        if (line.substr(0, kKey.size()) == kKey) found = unquote(line.substr(kKey.size()));
    }
    if (found && found->empty()) return std::nullopt;
    return found;
}

std::optional<std::string> unameDescription() {
    utsname names{};
    if (::uname(&names) != 0) return std::nullopt;
    std::string description = names.sysname;
    if (names.release[0] != '\0') description += std::string(" ") + names.release;
    if (description.empty()) return std::nullopt;
    return description;
}

std::string operatingSystemDescription(const std::vector<std::filesystem::path>& files,
                                       const std::function<std::optional<std::string>()>& kernelDescription) {
    for (const auto& file : files) {
        if (auto text = readSmallFile(file)) {
            if (auto name = prettyNameFromOsRelease(*text)) return *name;
        }
    }
    if (kernelDescription) {
        if (auto kernel = kernelDescription(); kernel && !kernel->empty()) return *kernel;
    }
    return "unknown";
}

DiagnosticsSources DiagnosticsSources::system() {
    DiagnosticsSources sources;
    sources.appVersion = []() -> std::optional<std::string> { return std::string(kApplicationVersion); };
    sources.operatingSystem = [] { return operatingSystemDescription(osReleaseFiles(), &unameDescription); };
    sources.defaultResourceFolder = [] { return voduvetools::VoduvePaths::defaultResourceFolder(); };
    sources.voduveRunning = [] { return voduvetools::isVoduveRunning(); };
    return sources;
}

DiagnosticsSnapshot DiagnosticsSnapshot::make() { return make(DiagnosticsSources::system()); }

DiagnosticsSnapshot DiagnosticsSnapshot::make(const DiagnosticsSources& sources) {
    std::string version;
    if (sources.appVersion) version = sources.appVersion().value_or(std::string());
    if (version.empty()) version = "unknown";

    std::string system = sources.operatingSystem ? sources.operatingSystem() : std::string();
    if (system.empty()) system = "unknown";

    const std::filesystem::path folder =
        sources.defaultResourceFolder ? sources.defaultResourceFolder() : voduvetools::VoduvePaths::defaultResourceFolder();
    const bool detected = voduvetools::VoduvePaths::isResourceFolder(folder);
    const bool running = sources.voduveRunning ? sources.voduveRunning() : false;
    std::error_code error;
    // Only a regular file (or a link to one) is a keymap; a folder of that name is not.
    const bool keymapExists = std::filesystem::is_regular_file(folder / "voduve-kb.ini", error);

    std::string text = "Orvanta VODUVE Corvel Diagnostics";
    text += "\nApp version: " + version;
    text += "\nLinux: " + system;
    text += "\nVODUVE resource path: " + folder.string();
    text += std::string("\nVODUVE detected: ") + trueOrFalse(detected);
    text += std::string("\nVODUVE running: ") + trueOrFalse(running);
    text += std::string("\nKeymap exists: ") + trueOrFalse(keymapExists);
    return DiagnosticsSnapshot{std::move(text)};
}

}  // namespace corvel::app
