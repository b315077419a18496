#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace corvel::platform {

// Reads one environment variable; tests hand in a map instead of the process environment.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

EnvironmentLookup processEnvironment();

// The user's folders, from $HOME and the XDG variables (an empty or relative XDG value
// counts as unset, as the XDG rules say).
class UserFolders {
public:
    explicit UserFolders(EnvironmentLookup environment = processEnvironment());

    std::filesystem::path home() const;
    // ${XDG_DATA_HOME:-~/.local/share}/Orvanta VODUVE Corvel: backups and the install manifest.
    std::filesystem::path applicationSupport() const;
    // ${XDG_CACHE_HOME:-~/.cache}
    std::filesystem::path caches() const;
    // ${XDG_CONFIG_HOME:-~/.config}/VODUVE: where VODUVE keeps its resources by default.
    std::filesystem::path defaultVoduveResourceFolder() const;

private:
    std::filesystem::path xdg(const std::string& variable, const std::filesystem::path& fallback) const;
    EnvironmentLookup environment_;
};

// The folder of the running program (from /proc/self/exe); empty when it can't be read.
std::filesystem::path executableFolder();

// Where the files that ship with the application live: "resources" beside the program
// (build tree), else "../share/orvanta-voduve-corvel/resources" from it (install tree).
std::filesystem::path applicationResourcesFolder(const std::filesystem::path& programFolder = executableFolder());

}  // namespace corvel::platform
