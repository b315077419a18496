#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/app_version.hpp"
#include "platform/clock.hpp"
#include "platform/paths.hpp"
#include "voduvetools/resource_installer.hpp"
#include "voduvetools/shortcut_manager.hpp"
#include "voduvetools/tool_catalogue.hpp"
#include "voduvetools/voduve_paths.hpp"
#include "voduvetools/voduve_shortcut.hpp"

namespace corvel::voduvetools {

inline constexpr int kNotAResourceFolderCode = 2301;
inline constexpr int kVoduveRunningCode = 2302;
inline constexpr int kNothingSelectedCode = 2303;
inline constexpr const char* kNotAResourceFolderMessage =
    "The selected folder does not look like a VODUVE resource folder.";
inline constexpr const char* kVoduveRunningMessage =
    "VODUVE is currently running. Quit VODUVE before installing scripts or changing shortcuts.";
inline constexpr const char* kNothingSelectedMessage = "Select at least one tool to install.";
inline constexpr const char* kFallbackApplicationVersion = "0.1.0";

// One row of the setup screen as the install sees it.
struct ToolInstallChoice {
    ToolComponent::Kind tool = ToolComponent::Kind::cuewarden;
    bool enabled = false;
    std::optional<VoduveShortcut> shortcut;  // none: the action gets no key binding
    bool replaceShortcutConflict = false;    // take the shortcut from other actions that hold it

    friend bool operator==(const ToolInstallChoice&, const ToolInstallChoice&) = default;
};

struct InstallReport {
    std::vector<std::string> messages;  // one line per file step, in the order performed
    std::filesystem::path manifestURL;
};

// One installation run of the VODUVE tools into one VODUVE resource folder: refuses
// unsafe runs, copies each enabled tool's script (and Cuewarden's extension), registers
// its action and shortcut in voduve-kb.ini and writes the install manifest. Failures
// are thrown as ErrorException and end the run at once; a failed run writes no manifest.
class InstallCoordinator {
public:
    struct Seams {
        platform::UserFolders folders;  // the application's data folder
        std::function<bool()> voduveRunning = [] { return isVoduveRunning(); };
        platform::WallClock clock = platform::systemWallClock();
        // The application's version; kFallbackApplicationVersion is recorded without one.
        std::optional<std::string> applicationVersion = kApplicationVersion;
    };

    InstallCoordinator() = default;
    InstallCoordinator(ResourceInstaller installer, VoduveShortcutManager shortcuts, Seams injected)
        : fileInstaller(std::move(installer)), shortcutManager(std::move(shortcuts)), seams(std::move(injected)) {}

    InstallReport install(const std::vector<ToolInstallChoice>& choices,
                          const std::filesystem::path& resourceFolder) const;

    // Where a run puts things. R/Scripts/Orvanta Corvel:
    static std::filesystem::path toolsFolder(const std::filesystem::path& resourceFolder);
    // R/UserPlugins/voduve_CuewardenStop.so
    static std::filesystem::path extensionFile(const std::filesystem::path& resourceFolder);
    // R/voduve-kb.ini
    static std::filesystem::path keymapFile(const std::filesystem::path& resourceFolder);
    // The application's data folder /Backups and /install-manifest.json.
    std::filesystem::path backupFolder() const;
    std::filesystem::path manifestFile() const;

private:
    ResourceInstaller fileInstaller;
    VoduveShortcutManager shortcutManager;
    Seams seams;
};

}  // namespace corvel::voduvetools

template <>
struct std::hash<corvel::voduvetools::ToolInstallChoice> {
    std::size_t operator()(const corvel::voduvetools::ToolInstallChoice& choice) const noexcept;
};
