#include "platform/paths.hpp"

#include <cstdlib>
#include <pwd.h>
#include <system_error>
#include <unistd.h>

namespace corvel::platform {

EnvironmentLookup processEnvironment() {
    return [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (value == nullptr) return std::nullopt;
        return std::string(value);
    };
}

UserFolders::UserFolders(EnvironmentLookup environment) : environment_(std::move(environment)) {}

std::filesystem::path UserFolders::home() const {
    if (auto value = environment_("HOME"); value && !value->empty()) {
        return *value;
    }
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/";
}

std::filesystem::path UserFolders::xdg(const std::string& variable, const std::filesystem::path& fallback) const {
    if (auto value = environment_(variable); value && !value->empty() && value->front() == '/') {
        return *value;
    }
    return home() / fallback;
}

std::filesystem::path UserFolders::applicationSupport() const {
    return xdg("XDG_DATA_HOME", ".local/share") / "Orvanta VODUVE Corvel";
}

std::filesystem::path UserFolders::caches() const { return xdg("XDG_CACHE_HOME", ".cache"); }

std::filesystem::path UserFolders::defaultVoduveResourceFolder() const {
    return xdg("XDG_CONFIG_HOME", ".config") / "VODUVE";
}

std::filesystem::path executableFolder() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return program.parent_path();
}

std::filesystem::path applicationResourcesFolder(const std::filesystem::path& programFolder) {
    auto beside = programFolder / "resources";
    std::error_code error;
    if (std::filesystem::is_directory(beside, error)) return beside;
    return programFolder / ".." / "share" / "orvanta-voduve-corvel" / "resources";
}

}  // namespace corvel::platform
