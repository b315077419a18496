#include "voduvetools/tool_install_view_model.hpp"

#include <algorithm>
#include <string_view>
#include <sys/stat.h>
#include <system_error>

#include "common/error.hpp"
#include "common/sha256.hpp"
#include "voduvetools/keymap_document.hpp"

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

ToolInstallChoice choiceOf(const ToolInstallViewModel::State& tool) {
    return ToolInstallChoice{tool.id, tool.enabled, tool.shortcut, tool.replaceConflict};
}

// Each enabled row's list of the other enabled rows that chose the same shortcut.
void markSharedShortcuts(std::vector<ToolInstallViewModel::State>& tools) {
    for (auto& tool : tools) {
        tool.sharedShortcutWith.clear();
        for (const auto& other : tools) {
            if (shareAShortcut(choiceOf(tool), choiceOf(other))) tool.sharedShortcutWith.push_back(other.id);
        }
    }
}

}  // namespace

ToolInstallViewModel::ToolInstallViewModel(platform::FolderChooser& folderChooser)
    : ToolInstallViewModel(folderChooser, Seams()) {}

ToolInstallViewModel::ToolInstallViewModel(platform::FolderChooser& folderChooser, Seams seams)
    : voduvePath_(VoduvePaths::defaultResourceFolder(seams.folders).string()),
      shortcutManager({seams.clock, VoduveShortcutManager::posixRename, nullptr}),
      coordinator(ResourceInstaller({seams.resourcesFolder, ResourceInstaller::moveWithoutReplacing}),
                  shortcutManager,
                  InstallCoordinator::Seams{seams.folders, seams.voduveRunning, seams.clock,
                                            seams.applicationVersion, nullptr}),
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
    publishTools(std::move(tools));
    refreshStatuses();
    refreshInstalledShortcuts();
    refreshAllConflicts();
}

void ToolInstallViewModel::publishTools(std::vector<State> tools) {
    markSharedShortcuts(tools);
    tools_.set(std::move(tools));
}

void ToolInstallViewModel::editTool(std::size_t index, const std::function<void(State&)>& edit) {
    if (index >= tools_.value().size()) return;
    auto tools = tools_.value();
    auto& tool = tools[index];
    edit(tool);
    tool.id = tools_.value()[index].id;
    tool.component = tools_.value()[index].component;
    publishTools(std::move(tools));
}

void ToolInstallViewModel::setShortcut(ToolComponent::Kind kind, std::optional<VoduveShortcut> shortcut) {
    auto tools = tools_.value();
    for (auto& tool : tools) {
        if (tool.id != kind) continue;
        tool.shortcut = std::move(shortcut);
        tool.replaceConflict = false;
        tool.conflicts = conflictsFor(tool);
        publishTools(std::move(tools));
        refreshKeymapProblem();
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
    // A shortcut another card has chosen is not free: installing both would take it from one.
    std::vector<VoduveShortcut> chosenElsewhere;
    for (const auto& tool : tools_.value()) {
        if (tool.id != kind && tool.shortcut) chosenElsewhere.push_back(*tool.shortcut);
    }

    const auto keymap = InstallCoordinator::keymapFile(folder());
    for (const char letter : std::string_view(kFreeShortcutLetters)) {
        const auto candidate = VoduveShortcut::fromLetter(std::string(1, letter),
                                                          {VoduveShortcut::Modifier::shift,
                                                           VoduveShortcut::Modifier::command});
        if (!candidate || std::ranges::find(chosenElsewhere, *candidate) != chosenElsewhere.end()) continue;
        if (!somethingAt(keymap)) {
            setShortcut(kind, candidate);
            return;
        }
        try {
            if (shortcutManager.findShortcutConflicts(*candidate, keymap, commandID).empty()) {
                setShortcut(kind, candidate);
                return;
            }
        } catch (...) {
            // A letter whose search fails is not offered.
        }
    }
    installMessage_.set(kNoFreeShortcutMessage);
}

void ToolInstallViewModel::chooseVoduveFolder() {
    std::optional<fs::path> chosen;
    try {
        const auto start = VoduvePaths::defaultResourceFolder(folders_).parent_path();
        chosen = folderChooser_.chooseFolder({kChooseVoduveFolderMessage, start});
    } catch (...) {
        installMessage_.set(Error::fromCurrentException().message);
        return;
    }
    if (!chosen) return;
    voduvePath_.set(chosen->string());
    refreshStatuses();
    refreshInstalledShortcuts();
    refreshAllConflicts();
}

void ToolInstallViewModel::install() {
    installMessage_.set("");
    const InstallingFlag installing(isInstalling_);

    std::vector<ToolInstallChoice> choices;
    for (const auto& tool : tools_.value()) {
        choices.push_back(choiceOf(tool));
    }

    InstallReport report;
    try {
        report = coordinator.install(choices, folder());
    } catch (...) {
        installMessage_.set(Error::fromCurrentException().message);
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
    for (auto& tool : tools) {
        auto check = statusOf(tool.component);
        tool.statusText = std::move(check.status);
        tool.problem = std::move(check.problem);
    }
    publishTools(std::move(tools));
}

void ToolInstallViewModel::refreshInstalledShortcuts() {
    const auto keymap = InstallCoordinator::keymapFile(folder());
    if (!somethingAt(keymap)) return;
    std::optional<VoduveKeymapDocument> document;
    try {
        document = VoduveKeymapDocument::parse(shortcutManager.planRegistrations({}, keymap).oldText);
    } catch (...) {
        return;  // the keymap problem tells why
    }
    auto tools = tools_.value();
    for (auto& tool : tools) {
        if (!tool.component.commandID) continue;
        const auto& id = *tool.component.commandID;
        const bool registered = std::ranges::any_of(document->actions, [&id](const VoduveActionRecord& action) {
            return VoduveKeymapDocument::sameCommand(action.commandID, id);
        });
        if (!registered) continue;
        std::optional<VoduveShortcut> bound;
        bool readable = true;
        for (const auto& key : document->keys) {
            if (!VoduveKeymapDocument::sameCommand(key.commandID, id) || key.sectionID != 0) continue;
            bound = VoduveShortcut::fromKeymapCodes(key.modifierCode, key.keyCode);
            readable = bound.has_value();
            break;
        }
        // A binding that is no letter shortcut can't be shown; the tool keeps what it had.
        if (!readable || bound == tool.shortcut) continue;
        tool.shortcut = bound;
        tool.replaceConflict = false;
    }
    publishTools(std::move(tools));
}

void ToolInstallViewModel::refreshAllConflicts() {
    // Every row against one reading of the keymap's problem, published once.
    auto tools = tools_.value();
    for (auto& tool : tools) tool.conflicts = conflictsFor(tool);
    publishTools(std::move(tools));
    refreshKeymapProblem();
}

void ToolInstallViewModel::refreshConflicts(std::size_t index) {
    if (index >= tools_.value().size()) return;
    auto tools = tools_.value();
    tools[index].conflicts = conflictsFor(tools[index]);
    publishTools(std::move(tools));
    refreshKeymapProblem();
}

void ToolInstallViewModel::refreshKeymapProblem() {
    const auto resourceFolder = folder();
    const auto keymap = InstallCoordinator::keymapFile(resourceFolder);
    std::string problem;
    if (VoduvePaths::isResourceFolder(resourceFolder) && entryAt(keymap)) {
        try {
            shortcutManager.planRegistrations({}, keymap);
        } catch (...) {
            problem = std::string(kKeymapUnreadablePrefix) + Error::fromCurrentException().message;
        }
    }
    keymapProblem_.set(std::move(problem));
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
    } catch (...) {
        return {};
    }
}

ToolInstallViewModel::FileCheck ToolInstallViewModel::statusOf(const ToolComponent& component) const {
    const auto resourceFolder = folder();
    std::vector<FileCheck> checks;
    if (component.scriptResourceName && component.scriptInstallFileName) {
        const auto script = InstallCoordinator::toolsFolder(resourceFolder) / *component.scriptInstallFileName;
        checks.push_back(checkFile(*component.scriptResourceName, script));
    }
    if (component.needsCuewardenPlugin) {
        checks.push_back(checkFile(kCuewardenExtensionFileName, InstallCoordinator::extensionFile(resourceFolder)));
    }

    FileCheck result;
    for (const auto& check : checks) {
        if (check.problem.empty()) continue;
        if (!result.problem.empty()) result.problem += '\n';
        result.problem += check.problem;
    }
    const auto any = [&checks](std::string_view status) {
        return std::ranges::any_of(checks, [status](const FileCheck& c) { return c.status == status; });
    };
    const auto all = [&checks](std::string_view status) {
        return std::ranges::all_of(checks, [status](const FileCheck& c) { return c.status == status; });
    };
    if (any(kDifferentVersionStatus)) {
        result.status = kDifferentVersionStatus;
    } else if (!checks.empty() && all(kInstalledStatus)) {
        result.status = kInstalledStatus;
    } else if (any(kInstalledStatus)) {
        result.status = kPartiallyInstalledStatus;
    } else if (somethingAt(resourceFolder)) {
        result.status = kNotInstalledStatus;
    } else {
        result.status = kVoduveNotDetectedStatus;
    }
    return result;
}

std::string ToolInstallViewModel::fileStatus(const std::string& resourceName, const fs::path& installedFile) const {
    return checkFile(resourceName, installedFile).status;
}

ToolInstallViewModel::FileCheck ToolInstallViewModel::checkFile(const std::string& resourceName,
                                                                const fs::path& installedFile) const {
    if (!entryAt(installedFile)) return {kNotInstalledStatus, ""};
    const auto resource = resources_.resourceURL(resourceName);
    if (!resource) return {kDifferentVersionStatus, ""};
    try {
        // Only a file of the resource's size can hold its bytes: another size is a different
        // version without reading a byte of it.
        struct stat installed {};
        struct stat shipped {};
        if (::stat(installedFile.c_str(), &installed) == 0 && S_ISREG(installed.st_mode) &&
            ::stat(resource->c_str(), &shipped) == 0 && installed.st_size != shipped.st_size) {
            return {kDifferentVersionStatus, ""};
        }
        const auto resourceDigest = sha256HexOfFile(*resource);
        const auto installedDigest = sha256HexOfFile(installedFile);
        return {resourceDigest == installedDigest ? kInstalledStatus : kDifferentVersionStatus, ""};
    } catch (...) {
        return {kDifferentVersionStatus, std::string(kInstalledFileUnreadablePrefix) +
                                             Error::fromCurrentException().message};
    }
}

}  // namespace corvel::voduvetools
