#include "voduvetools/install_coordinator.hpp"

#include <system_error>

#include "common/error.hpp"
#include "common/hashing.hpp"
#include "voduvetools/install_manifest.hpp"

namespace corvel::voduvetools {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void refuse(int code, const char* message) {
    throw ErrorException(Error{kCorvelErrorDomain, code, message});
}

void createFolder(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) throw ErrorException(Error::fromErrno(error.value(), "create folder " + folder.string()));
}

// A file that was already in place is ours only when the last run recorded putting
// exactly these bytes at exactly this path.
bool ownedBefore(const std::optional<InstallManifest>& previous, const ResourceInstallResult& result) {
    if (result.ownedByInstaller) return true;
    if (!previous) return false;
    for (const auto& record : previous->files) {
        if (record.destinationPath == result.destinationURL.string() &&
            record.installedSHA256 == result.installedSHA256) {
            return record.ownedByInstaller;
        }
    }
    return false;
}

InstalledFileRecord fileRecord(ToolComponent::Kind tool, const std::string& sourceFileName,
                               const ResourceInstallResult& result, bool owned) {
    return InstalledFileRecord{std::string(rawValue(tool)), sourceFileName,        result.destinationURL.string(),
                               result.sourceSHA256,         result.installedSHA256, result.preExisting,
                               owned};
}

}  // namespace

fs::path InstallCoordinator::toolsFolder(const fs::path& resourceFolder) {
    return resourceFolder / "Scripts" / kToolsFolderName;
}

fs::path InstallCoordinator::extensionFile(const fs::path& resourceFolder) {
    return resourceFolder / "UserPlugins" / kCuewardenExtensionFileName;
}

fs::path InstallCoordinator::keymapFile(const fs::path& resourceFolder) { return resourceFolder / "voduve-kb.ini"; }

fs::path InstallCoordinator::backupFolder() const { return seams.folders.applicationSupport() / "Backups"; }

fs::path InstallCoordinator::manifestFile() const { return InstallManifest::defaultLocation(seams.folders); }

InstallReport InstallCoordinator::install(const std::vector<ToolInstallChoice>& choices,
                                          const fs::path& resourceFolder) const {
    if (!VoduvePaths::isResourceFolder(resourceFolder)) refuse(kNotAResourceFolderCode, kNotAResourceFolderMessage);
    if (seams.voduveRunning()) refuse(kVoduveRunningCode, kVoduveRunningMessage);
    std::vector<ToolInstallChoice> enabled;
    for (const auto& choice : choices) {
        if (choice.enabled) enabled.push_back(choice);
    }
    if (enabled.empty()) refuse(kNothingSelectedCode, kNothingSelectedMessage);

    const auto tools = toolsFolder(resourceFolder);
    const auto backups = backupFolder();
    createFolder(tools);
    createFolder(backups);

    const auto previous = InstallManifest::read(manifestFile());

    InstallReport report;
    InstallManifest manifest;
    for (const auto& choice : enabled) {
        const ToolComponent* tool = ToolComponent::find(choice.tool);
        if (tool == nullptr) continue;

        if (tool->scriptResourceName && tool->scriptInstallFileName) {
            const auto result = fileInstaller.install(*tool->scriptResourceName, tools / *tool->scriptInstallFileName);
            manifest.files.push_back(
                fileRecord(tool->id, *tool->scriptResourceName, result, ownedBefore(previous, result)));
            report.messages.push_back(tool->displayName + (result.alreadyCompatible
                                                               ? ": already installed and compatible."
                                                               : ": script installed."));
        }

        if (tool->needsCuewardenPlugin) {
            const auto result = fileInstaller.install(kCuewardenExtensionFileName, extensionFile(resourceFolder));
            manifest.files.push_back(
                fileRecord(tool->id, kCuewardenExtensionFileName, result, ownedBefore(previous, result)));
            report.messages.push_back(result.alreadyCompatible
                                          ? "Cuewarden runtime: already installed and compatible."
                                          : "Cuewarden runtime: installed.");
        }

        if (tool->commandID && tool->actionDescription && tool->scriptInstallFileName) {
            const std::string scriptPath = std::string(kToolsFolderName) + "/" + *tool->scriptInstallFileName;
            shortcutManager.registerActionAndShortcut(*tool->commandID, *tool->actionDescription, scriptPath,
                                                      choice.shortcut, choice.replaceShortcutConflict,
                                                      keymapFile(resourceFolder), backups);
            InstalledActionRecord action{std::string(rawValue(tool->id)), *tool->commandID, scriptPath,
                                         std::nullopt, std::nullopt, std::nullopt};
            if (choice.shortcut) {
                action.shortcutDisplay = choice.shortcut->displayText();
                action.modifierCode = choice.shortcut->modifierCode();
                action.keyCode = choice.shortcut->keyCode;
            }
            manifest.actions.push_back(std::move(action));
        }
    }

    manifest.appVersion = seams.applicationVersion.value_or(kFallbackApplicationVersion);
    manifest.voduveResourcePath = resourceFolder.string();
    manifest.installedAt = std::chrono::floor<std::chrono::seconds>(seams.clock());
    const auto manifestPath = manifestFile();
    manifest.write(manifestPath);
    report.manifestURL = manifestPath;
    return report;
}

}  // namespace corvel::voduvetools

std::size_t std::hash<corvel::voduvetools::ToolInstallChoice>::operator()(
    const corvel::voduvetools::ToolInstallChoice& choice) const noexcept {
    return corvel::hashFields(static_cast<int>(choice.tool), choice.enabled, choice.shortcut,
                              choice.replaceShortcutConflict);
}
