#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/app_version.hpp"
#include "common/observable.hpp"
#include "platform/clock.hpp"
#include "platform/folder_chooser.hpp"
#include "platform/paths.hpp"
#include "voduvetools/install_coordinator.hpp"
#include "voduvetools/resource_installer.hpp"
#include "voduvetools/shortcut_manager.hpp"
#include "voduvetools/tool_catalogue.hpp"
#include "voduvetools/voduve_paths.hpp"
#include "voduvetools/voduve_shortcut.hpp"

namespace corvel::voduvetools {

// A tool's install status on the setup screen. Views compare these texts as they are.
inline constexpr const char* kNotInstalledStatus = "Not installed";
inline constexpr const char* kInstalledStatus = "Installed";
inline constexpr const char* kPartiallyInstalledStatus = "Partially installed";
inline constexpr const char* kDifferentVersionStatus = "Different version detected";
inline constexpr const char* kVoduveNotDetectedStatus = "VODUVE not detected";

inline constexpr const char* kNoFreeShortcutMessage =
    "No free Ctrl+Shift letter shortcut was found. Choose another combination or use No Shortcut.";
inline constexpr const char* kRestartAdvice = "VODUVE must be restarted before using newly registered actions.";
inline constexpr const char* kChooseVoduveFolderMessage = "Choose the VODUVE resource folder";
// Followed by the error's message.
inline constexpr const char* kKeymapUnreadablePrefix =
    "voduve-kb.ini could not be read, so shortcuts can't be checked against it: ";
inline constexpr const char* kInstalledFileUnreadablePrefix = "An installed file could not be read: ";
// The letters tried for a free Ctrl+Shift shortcut, in this order.
inline constexpr const char* kFreeShortcutLetters = "RVEYUIOPGHJKLBNM";

// The model behind the setup screen: one row per VODUVE tool with its choice, shortcut,
// conflicts and install status, the VODUVE resource folder in use, the screen's one
// message area and the installing flag. Lives on the main thread; every file read and
// the whole installation run synchronously inside its operations, and no operation
// throws: whatever fails shows as a message, a status or a problem text.
class ToolInstallViewModel {
public:
    // One tool's row, identified by `id`.
    struct State {
        ToolComponent::Kind id = ToolComponent::Kind::cuewarden;  // constant, the component's id
        ToolComponent component;                                   // constant
        bool enabled = true;
        std::optional<VoduveShortcut> shortcut;  // none: the action is registered without a key
        // Other commands' actions that voduve-kb.ini binds to `shortcut` in its main section.
        std::vector<ShortcutConflict> conflicts;
        bool replaceConflict = false;  // the installer may take `shortcut` from those actions
        std::string statusText = kNotInstalledStatus;
        // While the row is enabled: the other enabled rows that chose the same shortcut.
        std::vector<ToolComponent::Kind> sharedShortcutWith;
        // Why an installed file of the tool could not be read; empty when all could.
        std::string problem;

        friend bool operator==(const State&, const State&) = default;
    };

    struct Seams {
        platform::UserFolders folders;  // the default VODUVE folder, backups and the manifest
        std::function<bool()> voduveRunning = [] { return isVoduveRunning(); };
        platform::WallClock clock = platform::systemWallClock();  // manifest date, keymap backup names
        std::filesystem::path resourcesFolder = platform::applicationResourcesFolder();
        std::optional<std::string> applicationVersion = kApplicationVersion;
    };

    // Starts from the default choices in the default VODUVE folder and reads the statuses
    // and conflicts from it. The chooser must outlive the model.
    explicit ToolInstallViewModel(platform::FolderChooser& folderChooser);
    ToolInstallViewModel(platform::FolderChooser& folderChooser, Seams seams);

    ToolInstallViewModel(const ToolInstallViewModel&) = delete;
    ToolInstallViewModel& operator=(const ToolInstallViewModel&) = delete;

    // One entry per VODUVE tool of the catalogue, in its order; the list never changes length.
    const Published<std::vector<State>>& tools() const { return tools_; }
    const Published<std::string>& voduvePath() const { return voduvePath_; }
    // The empty text hides the message area.
    const Published<std::string>& installMessage() const { return installMessage_; }
    const Published<bool>& isInstalling() const { return isInstalling_; }
    // Why voduve-kb.ini could not be read for the conflict search; empty when it could (or
    // when there is none to read).
    const Published<std::string>& keymapProblem() const { return keymapProblem_; }

    // The tool card's two-way binding: it writes `enabled`, `replaceConflict` and a newly
    // recorded `shortcut` straight into its row. Only the rows' shared shortcuts follow the
    // write; the row's id and component stay as they are. An index past the list is ignored.
    void editTool(std::size_t index, const std::function<void(State&)>& edit);

    // The shortcut (or none) of the first row of this kind; its replace flag goes off and
    // its conflicts are searched again.
    void setShortcut(ToolComponent::Kind kind, std::optional<VoduveShortcut> shortcut);
    // Gives the row the first Ctrl+Shift letter that no other command holds in voduve-kb.ini
    // and no other row has chosen, or says in the message area that none is free.
    void suggestFreeShortcut(ToolComponent::Kind kind);
    // Lets the user pick another VODUVE folder, then reads statuses, the shortcuts of the
    // tools installed there and conflicts from it.
    void chooseVoduveFolder();
    // Installs the rows through the install coordinator and shows its report or its error.
    void install();

    void refreshStatuses();
    void refreshAllConflicts();
    void refreshConflicts(std::size_t index);
    // A tool whose action voduve-kb.ini registers shows the shortcut bound to it there (or
    // none when the action has no binding); other tools keep theirs.
    void refreshInstalledShortcuts();

    // "Not installed", "Installed" or "Different version detected" for the installed file
    // against the application's resource of that name.
    std::string fileStatus(const std::string& resourceName, const std::filesystem::path& installedFile) const;

private:
    struct FileCheck {
        std::string status;
        std::string problem;
    };

    std::filesystem::path folder() const { return std::filesystem::path(voduvePath_.value()); }
    std::vector<ShortcutConflict> conflictsFor(const State& tool) const;
    void refreshKeymapProblem();
    FileCheck checkFile(const std::string& resourceName, const std::filesystem::path& installedFile) const;
    FileCheck statusOf(const ToolComponent& component) const;
    void publishTools(std::vector<State> tools);

    Published<std::vector<State>> tools_;
    Published<std::string> voduvePath_;
    Published<std::string> installMessage_;
    Published<bool> isInstalling_{false};
    Published<std::string> keymapProblem_;
    VoduveShortcutManager shortcutManager;
    InstallCoordinator coordinator;

    platform::FolderChooser& folderChooser_;
    platform::UserFolders folders_;
    ResourceInstaller resources_;
};

}  // namespace corvel::voduvetools
