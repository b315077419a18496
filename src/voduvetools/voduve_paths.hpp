#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <vector>

#include "platform/paths.hpp"
#include "platform/processes.hpp"

namespace corvel::voduvetools {

// The VODUVE resource folder: where VODUVE keeps Scripts, UserPlugins and voduve-kb.ini.
struct VoduvePaths {
    std::filesystem::path resourceFolder;

    friend bool operator==(const VoduvePaths&, const VoduvePaths&) = default;

    // True when the folder exists and holds an entry of any kind named "Scripts" or
    // "voduve-kb.ini".
    static bool isResourceFolder(const std::filesystem::path& folder);

    // ${XDG_CONFIG_HOME:-~/.config}/VODUVE
    static std::filesystem::path defaultResourceFolder(const platform::UserFolders& folders = platform::UserFolders());
};

// Whether a process is VODUVE: its short name or the base name of its argv[0] is
// "voduve" in any letter case. Zombies never count.
bool isVoduveProcess(const platform::ProcessInfo& process);

bool isVoduveRunning(const std::vector<platform::ProcessInfo>& processes);
// Scans the system's process list.
bool isVoduveRunning();

}  // namespace corvel::voduvetools

template <>
struct std::hash<corvel::voduvetools::VoduvePaths> {
    std::size_t operator()(const corvel::voduvetools::VoduvePaths& paths) const noexcept {
        return std::filesystem::hash_value(paths.resourceFolder);
    }
};
