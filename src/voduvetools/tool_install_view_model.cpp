#include "voduvetools/tool_install_view_model.hpp"

#include <algorithm>
#include <string_view>
#include <system_error>

#include "common/error.hpp"
#include "common/sha256.hpp"

namespace corvel::voduvetools {
namespace fs = std::filesystem;

namespace {

// Whether anything is at the path, following symbolic links: a dangling link is nothing.
bool somethingAt(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

// Whether any entry stands at the path, a dangling symbolic link included. The installer
// never replaces such an entry, so a tool file's place holding one is taken, not free.
bool entryAt(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

std::optional<std::string> digestOf(const fs::path& file) {
    try {
        return sha256HexOfFile(file);
    } catch (const ErrorException&) {
        return std::nullopt;
    }
}

// Ends the installing state however the run ends.
class InstallingFlag {
public:
    explicit InstallingFlag(Published<bool>& flag) : flag_(flag) { flag_.set(true); }
    InstallingFlag(const InstallingFlag&) = delete;
    InstallingFlag& operator=(const InstallingFlag&) = delete;
    ~InstallingFlag() { flag_.set(false); }

private:
    Published<bool>& flag_;
};

}  // namespace

ToolInstallViewModel::ToolInstallViewModel(platform::FolderChooser& folderChooser)
    : ToolInstallViewModel(folderChooser, Seams()) {}

ToolInstallViewModel::ToolInstallViewModel(platform::FolderChooser& folderChooser, Seams seams)
    : voduvePath_(VoduvePaths::defaultResourceFolder(seams.folders).string()),
      shortcutManager({seams.clock, VoduveShortcutManager::posixRename}),
      coordinator(ResourceInstaller({seams.resourcesFolder, ResourceInstaller::moveWithoutReplacing}),
                  shortcutManager,
                  InstallCoordinator::Seams{seams.folders, seams.voduveRunning, seams.clock,
                                            seams.applicationVersion}),
      folderChooser_(folderChooser),
      folders_(seams.folders),
      resources_({seams.resourcesFolder, ResourceInstaller::moveWithoutReplacing}) {
    std::vector<State> tools;
    for (const auto& component : ToolComponent::voduveTools()) {
        State state;
        state.id = component.id;
        state.component = component;
        state.shortcut = component.defaultShortcut;
        tools.push_back(std::move(state));
    }
    tools_.set(std::move(tools));
    refreshStatuses();
    refreshAllConflicts();
}

void ToolInstallViewModel::editTool(std::size_t index, const std::function<void(State&)>& edit) {
    if (index >= tools_.value().size()) return;
    auto tools = tools_.value();
    auto& tool = tools[index];
    edit(tool);
    tool.id = tools_.value()[index].id;
    tool.component = tools_.value()[index].component;
    tools_.set(std::move(tools));
}

void ToolInstallViewModel::setShortcut(ToolComponent::Kind kind, std::optional<VoduveShortcut> shortcut) {
    auto tools = tools_.value();
    for (auto& tool : tools) {
        if (tool.id != kind) continue;
        tool.shortcut = std::move(shortcut);
        tool.replaceConflict = false;
        tool.conflicts = conflictsFor(tool);
        tools_.set(std::move(tools));
        return;
    }
}

void ToolInstallViewModel::suggestFreeShortcut(ToolComponent::Kind kind) {
    const State* found = nullptr;
    for (const auto& tool : tools_.value()) {
        if (tool.id == kind) {
            found = &tool;
            break;
        }
    }
    if (found == nullptr || !found->component.commandID) return;
    const std::string commandID = *found->component.commandID;

    const auto keymap = InstallCoordinator::keymapFile(folder());
    for (const char letter : std::string_view(kFreeShortcutLetters)) {
        const auto candidate = VoduveShortcut::fromLetter(std::string(1, letter),
                                                          {VoduveShortcut::Modifier::shift,
                                                           VoduveShortcut::Modifier::command});
        if (!candidate) continue;
        if (!somethingAt(keymap)) {
            setShortcut(kind, candidate);
            return;
        }
        try {
            if (shortcutManager.findShortcutConflicts(*candidate, keymap, commandID).empty()) {
                setShortcut(kind, candidate);
                return;
            }
        } catch (const ErrorException&) {
            // A letter whose search fails is not offered.
        }
    }
    installMessage_.set(kNoFreeShortcutMessage);
}

void ToolInstallViewModel::chooseVoduveFolder() {
    const auto start = VoduvePaths::defaultResourceFolder(folders_).parent_path();
    const auto chosen = folderChooser_.chooseFolder({kChooseVoduveFolderMessage, start});
    if (!chosen) return;
    voduvePath_.set(chosen->string());
    refreshStatuses();
    refreshAllConflicts();
}

void ToolInstallViewModel::install() {
    installMessage_.set("");
    const InstallingFlag installing(isInstalling_);

    std::vector<ToolInstallChoice> choices;
    for (const auto& tool : tools_.value()) {
        choices.push_back(ToolInstallChoice{tool.id, tool.enabled, tool.shortcut, tool.replaceConflict});
    }

    InstallReport report;
    try {
        report = coordinator.install(choices, folder());
    } catch (const ErrorException& e) {
        installMessage_.set(e.error().message);
        return;
    }

    std::string message;
    for (std::size_t i = 0; i < report.messages.size(); ++i) {
        if (i > 0) message += '\n';
        message += report.messages[i];
    }
    message += "\n\n";
    message += kRestartAdvice;
    installMessage_.set(std::move(message));
    refreshStatuses();
    refreshAllConflicts();
}

void ToolInstallViewModel::refreshStatuses() {
    auto tools = tools_.value();
    for (auto& tool : tools) tool.statusText = statusOf(tool.component);
    tools_.set(std::move(tools));
}

void ToolInstallViewModel::refreshAllConflicts() {
    for (std::size_t index = 0; index < tools_.value().size(); ++index) refreshConflicts(index);
}

void ToolInstallViewModel::refreshConflicts(std::size_t index) {
    if (index >= tools_.value().size()) return;
    auto tools = tools_.value();
    tools[index].conflicts = conflictsFor(tools[index]);
    tools_.set(std::move(tools));
}

std::vector<ShortcutConflict> ToolInstallViewModel::conflictsFor(const State& tool) const {
    const auto resourceFolder = folder();
    const auto keymap = InstallCoordinator::keymapFile(resourceFolder);
    if (!VoduvePaths::isResourceFolder(resourceFolder) || !somethingAt(keymap) || !tool.shortcut ||
        !tool.component.commandID) {
        return {};
    }
    try {
        return shortcutManager.findShortcutConflicts(*tool.shortcut, keymap, tool.component.commandID);
    } catch (const ErrorException&) {
        return {};
    }
}

std::string ToolInstallViewModel::statusOf(const ToolComponent& component) const {
    const auto resourceFolder = folder();
    std::vector<std::string> statuses;
    if (component.scriptResourceName && component.scriptInstallFileName) {
        const auto script = InstallCoordinator::toolsFolder(resourceFolder) / *component.scriptInstallFileName;
        statuses.push_back(fileStatus(*component.scriptResourceName, script));
    }
    if (component.needsCuewardenPlugin) {
        statuses.push_back(fileStatus(kCuewardenExtensionFileName, InstallCoordinator::extensionFile(resourceFolder)));
    }

    const auto any = [&statuses](std::string_view status) {
        return std::ranges::any_of(statuses, [status](const std::string& s) { return s == status; });
    };
    const auto all = [&statuses](std::string_view status) {
        return std::ranges::all_of(statuses, [status](const std::string& s) { return s == status; });
    };
    if (any(kDifferentVersionStatus)) return kDifferentVersionStatus;
    if (!statuses.empty() && all(kInstalledStatus)) return kInstalledStatus;
    if (any(kInstalledStatus)) return kPartiallyInstalledStatus;
    if (somethingAt(resourceFolder)) return kNotInstalledStatus;
    return kVoduveNotDetectedStatus;
}

std::string ToolInstallViewModel::fileStatus(const std::string& resourceName, const fs::path& installedFile) const {
    if (!entryAt(installedFile)) return kNotInstalledStatus;
    const auto resource = resources_.resourceURL(resourceName);
    if (!resource) return kDifferentVersionStatus;
    const auto resourceDigest = digestOf(*resource);
    const auto installedDigest = digestOf(installedFile);
    if (!resourceDigest || !installedDigest) return kDifferentVersionStatus;
    return *resourceDigest == *installedDigest ? kInstalledStatus : kDifferentVersionStatus;
}

}  // namespace corvel::voduvetools
