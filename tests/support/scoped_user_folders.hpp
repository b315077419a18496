#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvel::testing {

// Points HOME and the XDG folders at `folder` for the object's lifetime, so that code reading
// the user's folders from the environment works inside a test's own folder.
class ScopedUserFolders {
public:
    explicit ScopedUserFolders(const std::filesystem::path& folder) {
        const std::pair<const char*, std::filesystem::path> values[] = {
            {"HOME", folder / "home"},
            {"XDG_CONFIG_HOME", folder / "home" / ".config"},
            {"XDG_DATA_HOME", folder / "home" / ".local" / "share"},
            {"XDG_CACHE_HOME", folder / "home" / ".cache"},
        };
        std::filesystem::create_directories(folder / "home");
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            ::setenv(name, value.c_str(), 1);
        }
    }
    ScopedUserFolders(const ScopedUserFolders&) = delete;
    ScopedUserFolders& operator=(const ScopedUserFolders&) = delete;
    ~ScopedUserFolders() {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace corvel::testing
