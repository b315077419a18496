#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/app_version.hpp"
#include "platform/clock.hpp"
#include "platform/paths.hpp"
#include "voduvetools/corvel_errors.hpp"
#include "voduvetools/resource_installer.hpp"
#include "voduvetools/shortcut_manager.hpp"
#include "voduvetools/tool_catalogue.hpp"
#include "voduvetools/voduve_paths.hpp"
#include "voduvetools/voduve_shortcut.hpp"

namespace corvel::voduvetools {

inline constexpr const char* kFallbackApplicationVersion = "0.1.0";

// The refusal of two tools that ask for one shortcut (code 2304).
std::string sharedShortcutMessage(const std::string& first, const std::string& second,
                                  const VoduveShortcut& shortcut);

// One row of the setup screen as the install sees it.
struct ToolInstallChoice {
    ToolComponent::Kind tool = ToolComponent::Kind::cuewarden;
    bool enabled = false;
    std::optional<VoduveShortcut> shortcut;  // none: the action gets no key binding
    bool replaceShortcutConflict = false;    // take the shortcut from other actions that hold it

    friend bool operator==(const ToolInstallChoice&, const ToolInstallChoice&) = default;
};

// Whether two rows ask for one shortcut: both enabled, for different tools, with the same key.
// The second registration would take it from the first, so the setup marks them and the
// install refuses them.
bool shareAShortcut(const ToolInstallChoice& a, const ToolInstallChoice& b);

struct InstallReport {
    std::vector<std::string> messages;  // one line per file step, in the order performed
    std::filesystem::path manifestURL;
};

// One installation run of the VODUVE tools into one VODUVE resource folder: refuses
// unsafe runs, copies each enabled tool's script (and Cuewarden's extension), registers
// the actions and shortcuts in voduve-kb.ini and writes the install manifest.
//
// Everything is checked before anything is written: the resources, every destination,
// the keymap with every shortcut, and shortcuts shared between the tools. Then the
// manifest is written first, recording the files the run is about to put in place as
// the installer's, so that even a run that is killed leaves them known as ours; then the
// files are copied and the keymap is changed in one registration. A failure there undoes
// the run: the copied files and the folders it made are removed again, the keymap is
// left or put back as it was and the previous manifest is restored. Failures are thrown
// as ErrorException.
class InstallCoordinator {
public:
    struct Seams {
        platform::UserFolders folders;  // the application's data folder
        std::function<bool()> voduveRunning = [] { return isVoduveRunning(); };
        platform::WallClock clock = platform::systemWallClock();
        // The application's version; kFallbackApplicationVersion is recorded without one.
        std::optional<std::string> applicationVersion = kApplicationVersion;
        // Runs before each writing step ("manifest", "copy <resource name>", "keymap"); an
        // exception thrown there fails the run at that step.
        std::function<void(std::string_view step)> checkpoint = nullptr;
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
