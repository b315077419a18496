#include "voduvetools/voduve_paths.hpp"

#include <string_view>
#include <sys/stat.h>

namespace corvel::voduvetools {
namespace {

bool entryExists(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool isVoduveName(std::string_view name) {
    static constexpr std::string_view kName = "voduve";
    if (name.size() != kName.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kName[i]) return false;
    }
    return true;
}

}  // namespace

bool VoduvePaths::isResourceFolder(const std::filesystem::path& folder) {
    if (folder.empty() || !entryExists(folder)) return false;
    return entryExists(folder / "Scripts") || entryExists(folder / "voduve-kb.ini");
}

std::filesystem::path VoduvePaths::defaultResourceFolder(const platform::UserFolders& folders) {
    return folders.defaultVoduveResourceFolder();
}

bool isVoduveProcess(const platform::ProcessInfo& process) {
    if (process.zombie) return false;
    if (isVoduveName(process.shortName)) return true;
    const std::string_view argv0 = process.argv0;
    const auto slash = argv0.rfind('/');
    return isVoduveName(slash == std::string_view::npos ? argv0 : argv0.substr(slash + 1));
}

bool isVoduveRunning(const std::vector<platform::ProcessInfo>& processes) {
    for (const auto& process : processes) {
        if (isVoduveProcess(process)) return true;
    }
    return false;
}

bool isVoduveRunning() { return isVoduveRunning(platform::runningProcesses()); }

}  // namespace corvel::voduvetools
