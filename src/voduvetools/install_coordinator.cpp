#include "voduvetools/install_coordinator.hpp"

#include <cerrno>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "common/atomic_file.hpp"
#include "common/error.hpp"
#include "common/hashing.hpp"
#include "voduvetools/install_manifest.hpp"

namespace corvel::voduvetools {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void refuse(int code, const char* message) {
    throw ErrorException(Error{kCorvelErrorDomain, code, message});
}

// Creates the folder with its missing parents, noting each folder it made.
void createFolder(const fs::path& folder, std::vector<fs::path>& made) {
    std::vector<fs::path> missing;
    for (fs::path path = folder; !path.empty(); path = path.parent_path()) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0) break;
        missing.push_back(path);
        if (path == path.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0777) == 0) {
            made.push_back(*it);
        } else if (errno != EEXIST) {
            throw ErrorException(Error::fromErrno(errno, "create folder " + folder.string()));
        }
    }
}

// The previous manifest's bytes, or nothing when there is no readable manifest.
std::optional<std::string> readManifestBytes(const fs::path& file) {
    try {
        const auto bytes = readFileBytes(file, kManifestSizeLimit);
        return std::string(bytes.begin(), bytes.end());
    } catch (const ErrorException&) {
        return std::nullopt;
    }
}

void refuseSharedShortcuts(const std::vector<ToolInstallChoice>& enabled) {
    for (std::size_t i = 0; i < enabled.size(); ++i) {
        for (std::size_t k = i + 1; k < enabled.size(); ++k) {
            if (!shareAShortcut(enabled[i], enabled[k])) continue;
            const ToolComponent* first = ToolComponent::find(enabled[i].tool);
            const ToolComponent* second = ToolComponent::find(enabled[k].tool);
            if (first == nullptr || second == nullptr) continue;
            throw ErrorException(Error{kCorvelErrorDomain, kSharedShortcutCode,
                                       sharedShortcutMessage(first->displayName, second->displayName,
                                                             *enabled[i].shortcut)});
        }
    }
}

// The report line of a binding that an action took from another one.
std::string replacedBindingLine(const ToolComponent& tool, const VoduveShortcut& shortcut,
                                const ShortcutConflict& lost, const std::optional<fs::path>& backup) {
    std::string line = shortcut.displayText() + " was taken from \"" + lost.description + "\" for " +
                       tool.displayName + ".";
    if (backup) line += " The previous voduve-kb.ini was backed up to " + backup->string() + ".";
    return line;
}

// What a run has written so far, to be taken back when it fails.
struct WrittenSoFar {
    std::vector<fs::path> folders;  // in the order made
    std::vector<fs::path> files;    // copied by the run
    bool manifest = false;

    void undo(const fs::path& manifestPath, const std::optional<std::string>& previousManifest) const noexcept {
        bool filesRemoved = true;
        for (auto it = files.rbegin(); it != files.rend(); ++it) {
            if (::unlink(it->c_str()) != 0 && errno != ENOENT) filesRemoved = false;
        }
        // While a copied file stays, the new manifest stays too: it lists that file as ours.
        if (manifest && filesRemoved) {
            try {
                if (previousManifest) {
                    writeFileAtomically(manifestPath, std::string_view(*previousManifest));
                } else {
                    ::unlink(manifestPath.c_str());
                }
            } catch (...) {
                // The new manifest stays; it names no file that is not there or not ours.
            }
        }
        for (auto it = folders.rbegin(); it != folders.rend(); ++it) ::rmdir(it->c_str());  // only when empty
    }
};

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

bool shareAShortcut(const ToolInstallChoice& a, const ToolInstallChoice& b) {
    return a.enabled && b.enabled && a.tool != b.tool && a.shortcut && a.shortcut == b.shortcut;
}

std::string sharedShortcutMessage(const std::string& first, const std::string& second,
                                  const VoduveShortcut& shortcut) {
    return first + " and " + second + " have the same shortcut " + shortcut.displayText() +
           ". Choose another shortcut for one of them.";
}

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
    refuseSharedShortcuts(enabled);

    const auto tools = toolsFolder(resourceFolder);
    const auto backups = backupFolder();
    const auto manifestPath = manifestFile();
    const auto keymap = keymapFile(resourceFolder);

    // Everything is checked before anything is written.
    const auto previousBytes = readManifestBytes(manifestPath);
    const auto previous = previousBytes ? InstallManifest::decoded(*previousBytes) : std::nullopt;

    struct FileStep {
        const ToolComponent* tool;
        std::string resourceName;
        fs::path destination;
        bool extension;
    };
    std::vector<FileStep> fileSteps;
    std::vector<ActionRegistration> registrations;
    std::vector<const ToolComponent*> registeredTools;
    InstallManifest manifest;
    for (const auto& choice : enabled) {
        const ToolComponent* tool = ToolComponent::find(choice.tool);
        if (tool == nullptr) continue;
        if (tool->scriptResourceName && tool->scriptInstallFileName) {
            fileSteps.push_back({tool, *tool->scriptResourceName, tools / *tool->scriptInstallFileName, false});
        }
        if (tool->needsCuewardenPlugin) {
            fileSteps.push_back({tool, kCuewardenExtensionFileName, extensionFile(resourceFolder), true});
        }
        if (tool->commandID && tool->actionDescription && tool->scriptInstallFileName) {
            const std::string scriptPath = std::string(kToolsFolderName) + "/" + *tool->scriptInstallFileName;
            registrations.push_back(ActionRegistration{*tool->commandID, *tool->actionDescription, scriptPath,
                                                       choice.shortcut, choice.replaceShortcutConflict});
            registeredTools.push_back(tool);
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
    for (const auto& step : fileSteps) {
        const auto planned = fileInstaller.preview(step.resourceName, step.destination);
        manifest.files.push_back(fileRecord(step.tool->id, step.resourceName, planned, ownedBefore(previous, planned)));
    }
    shortcutManager.planRegistrations(registrations, keymap);

    manifest.appVersion = seams.applicationVersion.value_or(kFallbackApplicationVersion);
    manifest.voduveResourcePath = resourceFolder.string();
    manifest.installedAt = std::chrono::floor<std::chrono::seconds>(seams.clock());
    const auto checkpoint = [this](std::string_view step) {
        if (seams.checkpoint) seams.checkpoint(step);
    };

    InstallReport report;
    WrittenSoFar written;
    try {
        createFolder(tools, written.folders);
        createFolder(backups, written.folders);
        for (const auto& step : fileSteps) createFolder(step.destination.parent_path(), written.folders);

        checkpoint("manifest");
        manifest.write(manifestPath);
        written.manifest = true;

        bool asPlanned = true;
        for (std::size_t i = 0; i < fileSteps.size(); ++i) {
            const auto& step = fileSteps[i];
            checkpoint("copy " + step.resourceName);
            const auto result = fileInstaller.install(step.resourceName, step.destination);
            if (result.ownedByInstaller) written.files.push_back(step.destination);
            const auto record = fileRecord(step.tool->id, step.resourceName, result, ownedBefore(previous, result));
            if (record != manifest.files[i]) {
                manifest.files[i] = record;
                asPlanned = false;
            }
            if (step.extension) {
                report.messages.push_back(result.alreadyCompatible
                                              ? "Cuewarden runtime: already installed and compatible."
                                              : "Cuewarden runtime: installed.");
            } else {
                report.messages.push_back(step.tool->displayName + (result.alreadyCompatible
                                                                        ? ": already installed and compatible."
                                                                        : ": script installed."));
            }
        }

        // A file that turned up identical while the run went on is recorded as it was found.
        if (!asPlanned) manifest.write(manifestPath);

        // Last, so that a failure before it leaves the keymap untouched; a failure inside
        // it leaves or puts the keymap back as it was.
        checkpoint("keymap");
        const auto change = shortcutManager.registerActions(registrations, keymap, backups);
        for (std::size_t i = 0; i < change.replaced.size() && i < registrations.size(); ++i) {
            for (const auto& lost : change.replaced[i]) {
                report.messages.push_back(
                    replacedBindingLine(*registeredTools[i], *registrations[i].shortcut, lost, change.backup));
            }
        }
    } catch (...) {
        written.undo(manifestPath, previousBytes);
        throw;
    }
    report.manifestURL = manifestPath;
    return report;
}

}  // namespace corvel::voduvetools

std::size_t std::hash<corvel::voduvetools::ToolInstallChoice>::operator()(
    const corvel::voduvetools::ToolInstallChoice& choice) const noexcept {
    return corvel::hashFields(static_cast<int>(choice.tool), choice.enabled, choice.shortcut,
                              choice.replaceShortcutConflict);
}
