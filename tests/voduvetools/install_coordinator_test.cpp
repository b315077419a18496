#include "voduvetools/install_coordinator.hpp"

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_folder.hpp"

#include "common/atomic_file.hpp"
#include "common/error.hpp"
#include "common/sha256.hpp"
#include "voduvetools/install_manifest.hpp"
#include "voduvetools/keymap_document.hpp"

namespace corvel::voduvetools {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using Kind = ToolComponent::Kind;
using Modifier = VoduveShortcut::Modifier;

const VoduveShortcut kShiftCommandR = *VoduveShortcut::fromLetter("R", {Modifier::shift, Modifier::command});
const VoduveShortcut kShiftCommandV = *VoduveShortcut::fromLetter("V", {Modifier::shift, Modifier::command});
const sys_seconds kNow = sys_days{year{2026} / 3 / 1} + hours{18} + minutes{4} + seconds{5};
const char* const kCuewardenID = "_RS9e6552a898cec51c2bf0f00ba021f27806f30171";
const char* const kItemNotesID = "_RSb07f1a73447370286fe9143cb9c1a48646133742";

ToolInstallChoice choice(Kind tool, bool enabled, std::optional<VoduveShortcut> shortcut = std::nullopt,
                         bool replace = false) {
    return ToolInstallChoice{tool, enabled, std::move(shortcut), replace};
}

// The setup screen's default request: both VODUVE tools with their default shortcuts.
std::vector<ToolInstallChoice> bothTools() {
    return {choice(Kind::cuewarden, true, kShiftCommandR), choice(Kind::itemNotesVideo, true, kShiftCommandV)};
}

// Where a run can be made to fail or to stop: before a step of the run, at the move of a
// copied file into place, when the new keymap waits beside the old one, at its rename.
struct Faults {
    std::function<void(std::string_view)> checkpoint = nullptr;
    ResourceInstaller::MoveFunction move = ResourceInstaller::moveWithoutReplacing;
    std::function<void()> beforeReplace = nullptr;
    VoduveShortcutManager::RenameFunction rename = VoduveShortcutManager::posixRename;
};

class InstallRun : public corvel::testing::TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        voduve = root / "VODUVE";
        fs::create_directories(voduve / "Scripts");
        resources = root / "app" / "resources";
        write(resources / "Orvanta_Cuewarden.lua", "-- cuewarden\n");
        write(resources / "Orvanta_ItemNotesToVideo.lua", "-- item notes\n");
        write(resources / "voduve_CuewardenStop.so", "\x7f" "ELF");
        applicationFolder = root / "home" / ".local" / "share" / "Orvanta VODUVE Corvel";
    }

    InstallCoordinator coordinator(std::optional<std::string> version = "1.2.3", Faults faults = {}) const {
        InstallCoordinator::Seams seams;
        const auto home = (root / "home").string();
        seams.folders = platform::UserFolders([home](const std::string& name) -> std::optional<std::string> {
            if (name == "HOME") return home;
            return std::nullopt;
        });
        seams.voduveRunning = [this] { return voduveRunning; };
        seams.clock = [] { return system_clock::time_point(kNow) + milliseconds(750); };
        seams.applicationVersion = std::move(version);
        seams.checkpoint = std::move(faults.checkpoint);
        const auto when = platform::localDateTime(kNow);
        return InstallCoordinator(ResourceInstaller({resources, std::move(faults.move)}),
                                  VoduveShortcutManager({[when] { return platform::timePointFromLocal(when); },
                                                         std::move(faults.rename), std::move(faults.beforeReplace)}),
                                  std::move(seams));
    }

    // Every folder and file under the test's folder but the application's resources and
    // the keymap backups: a folder as "/", a file as its bytes.
    std::map<std::string, std::string> everything() const {
        std::map<std::string, std::string> result;
        for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
            const auto relative = fs::relative(it->path(), root).string();
            if (relative.starts_with("app") || it->path().filename() == "Backups") {
                if (it->is_directory()) it.disable_recursion_pending();
                continue;
            }
            result[relative] = it->is_directory() ? "/" : read(it->path());
        }
        return result;
    }
    // Entries anywhere under the test's folder whose names mark them as temporary files.
    std::vector<std::string> temporaryFiles() const {
        std::vector<std::string> result;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.path().filename().string().find(".tmp") != std::string::npos) {
                result.push_back(fs::relative(entry.path(), root).string());
            }
        }
        return result;
    }
    std::string backupName() const { return VoduveShortcutManager::backupFileName(platform::localDateTime(kNow)); }

    InstallReport run(const std::vector<ToolInstallChoice>& choices) const {
        return coordinator().install(choices, voduve);
    }
    Error failure(const std::vector<ToolInstallChoice>& choices, const fs::path& folder) const {
        try {
            coordinator().install(choices, folder);
        } catch (const ErrorException& e) {
            return e.error();
        }
        ADD_FAILURE() << "the run did not fail";
        return {};
    }

    fs::path manifestFile() const { return applicationFolder / "install-manifest.json"; }
    fs::path cuewardenScript() const { return voduve / "Scripts" / "Orvanta Corvel" / "Orvanta_Cuewarden.lua"; }
    fs::path itemNotesScript() const {
        return voduve / "Scripts" / "Orvanta Corvel" / "Orvanta_ItemNotesToVideo.lua";
    }
    fs::path extension() const { return voduve / "UserPlugins" / "voduve_CuewardenStop.so"; }
    VoduveKeymapDocument keymap() const { return VoduveKeymapDocument::parse(read(voduve / "voduve-kb.ini")); }

    fs::path voduve, resources, applicationFolder;
    bool voduveRunning = false;
};

TEST_F(InstallRun, RefusesAWrongFolderThenARunningVoduveThenAnEmptySelection) {
    voduveRunning = true;
    EXPECT_EQ(failure(bothTools(), root / "elsewhere"),
              (Error{"OrvantaCorvel", 2301, "The selected folder does not look like a VODUVE resource folder."}));
    EXPECT_EQ(failure(bothTools(), voduve),
              (Error{"OrvantaCorvel", 2302,
                     "VODUVE is currently running. Quit VODUVE before installing scripts or changing shortcuts."}));
    voduveRunning = false;
    EXPECT_EQ(failure({choice(Kind::cuewarden, false), choice(Kind::itemNotesVideo, false)}, voduve),
              (Error{"OrvantaCorvel", 2303, "Select at least one tool to install."}));
    EXPECT_EQ(failure({}, voduve).code, 2303);

    EXPECT_EQ(names(voduve), std::set<std::string>{"Scripts"});
    EXPECT_TRUE(names(voduve / "Scripts").empty());
    EXPECT_FALSE(fs::exists(root / "home"));
}

TEST_F(InstallRun, FirstRunInstallsBothToolsAndRecordsThem) {
    const auto report = run(bothTools());

    EXPECT_EQ(report.messages, (std::vector<std::string>{"Cuewarden: script installed.", "Cuewarden runtime: installed.",
                                                         "Razo Zerur → Ozovi: script installed."}));
    EXPECT_EQ(report.manifestURL, manifestFile());
    EXPECT_EQ(read(cuewardenScript()), "-- cuewarden\n");
    EXPECT_EQ(read(itemNotesScript()), "-- item notes\n");
    EXPECT_EQ(read(extension()), "\x7f" "ELF");

    const auto document = keymap();
    ASSERT_EQ(document.actions.size(), 2u);
    EXPECT_EQ(document.actions[0].scriptPath, "Orvanta Corvel/Orvanta_Cuewarden.lua");
    EXPECT_EQ(document.actions[1].description, "Custom: Orvanta VODUVE Corvel - Item Notes to Video");
    ASSERT_EQ(document.keys.size(), 2u);
    EXPECT_EQ(document.keys[1].commandID, kItemNotesID);

    const auto manifest = InstallManifest::read(manifestFile());
    ASSERT_TRUE(manifest.has_value());
    EXPECT_EQ(manifest->appVersion, "1.2.3");
    EXPECT_EQ(manifest->voduveResourcePath, voduve.string());
    EXPECT_EQ(manifest->installedAt, kNow);
    const auto digest = [](const fs::path& file) { return hexString(sha256OfFile(file)); };
    EXPECT_EQ(manifest->files,
              (std::vector<InstalledFileRecord>{
                  {"cuewarden", "Orvanta_Cuewarden.lua", cuewardenScript().string(), digest(cuewardenScript()),
                   digest(cuewardenScript()), false, true},
                  {"cuewarden", "voduve_CuewardenStop.so", extension().string(), digest(extension()),
                   digest(extension()), false, true},
                  {"itemNotesVideo", "Orvanta_ItemNotesToVideo.lua", itemNotesScript().string(),
                   digest(itemNotesScript()), digest(itemNotesScript()), false, true},
              }));
    EXPECT_EQ(manifest->actions,
              (std::vector<InstalledActionRecord>{
                  {"cuewarden", kCuewardenID, "Orvanta Corvel/Orvanta_Cuewarden.lua", "Ctrl+Shift+R", 13, 82},
                  {"itemNotesVideo", kItemNotesID, "Orvanta Corvel/Orvanta_ItemNotesToVideo.lua", "Ctrl+Shift+V", 13, 86},
              }));
}

TEST_F(InstallRun, ASecondRunFindsEverythingInPlaceAndKeepsOwnership) {
    run(bothTools());
    const auto keymapBefore = read(voduve / "voduve-kb.ini");
    const auto backupsBefore = names(applicationFolder / "Backups");

    const auto report = run(bothTools());

    EXPECT_EQ(report.messages, (std::vector<std::string>{"Cuewarden: already installed and compatible.",
                                                         "Cuewarden runtime: already installed and compatible.",
                                                         "Razo Zerur → Ozovi: already installed and compatible."}));
    EXPECT_EQ(read(voduve / "voduve-kb.ini"), keymapBefore);
    EXPECT_EQ(names(applicationFolder / "Backups"), backupsBefore);
    const auto manifest = InstallManifest::read(manifestFile());
    ASSERT_TRUE(manifest.has_value());
    ASSERT_EQ(manifest->files.size(), 3u);
    for (const auto& file : manifest->files) {
        EXPECT_TRUE(file.preExisting) << file.destinationPath;
        EXPECT_TRUE(file.ownedByInstaller) << file.destinationPath;
    }
}

TEST_F(InstallRun, FilesFoundInPlaceAreOwnedOnlyWhenTheLastRunRecordedTheseBytesThere) {
    // The user put the identical script there; the last manifest recorded another
    // version at that path, and the extension under another path.
    write(cuewardenScript(), "-- cuewarden\n");
    write(extension(), "\x7f" "ELF");
    InstallManifest previous;
    previous.files = {
        {"cuewarden", "Orvanta_Cuewarden.lua", cuewardenScript().string(), "", std::string(64, '0'), false, true},
        {"cuewarden", "voduve_CuewardenStop.so", (root / "old" / "voduve_CuewardenStop.so").string(), "",
         hexString(sha256OfFile(extension())), false, true},
    };
    fs::create_directories(applicationFolder);
    previous.write(manifestFile());

    run({choice(Kind::cuewarden, true, kShiftCommandR)});

    const auto manifest = InstallManifest::read(manifestFile());
    ASSERT_TRUE(manifest.has_value());
    ASSERT_EQ(manifest->files.size(), 2u);
    for (const auto& file : manifest->files) {
        EXPECT_TRUE(file.preExisting) << file.destinationPath;
        EXPECT_FALSE(file.ownedByInstaller) << file.destinationPath;
    }
}

TEST_F(InstallRun, ADifferentFileStopsTheRunBeforeAnythingIsWritten) {
    run({choice(Kind::itemNotesVideo, true, kShiftCommandV)});
    write(cuewardenScript(), "-- cuewarden, as the user changed it\n");
    const auto before = everything();

    // Razo Zerur → Ozovi comes first in this request, but Cuewarden's file is checked
    // before anything is written.
    const auto error = failure({choice(Kind::itemNotesVideo, true), choice(Kind::cuewarden, true, kShiftCommandR)},
                               voduve);

    EXPECT_EQ(error.code, 2202);
    EXPECT_EQ(error.message, "A different file already exists at " + cuewardenScript().string() +
                                 ". It was not overwritten. To install this tool, move that file to another folder (or "
                                 "delete it), then install again.");
    EXPECT_EQ(everything(), before);
}

TEST_F(InstallRun, OnlyTheChosenToolIsInstalledAndTheManifestIsReplaced) {
    run(bothTools());

    const auto report = run({choice(Kind::cuewarden, false, kShiftCommandR), choice(Kind::itemNotesVideo, true)});

    EXPECT_EQ(report.messages, std::vector<std::string>{"Razo Zerur → Ozovi: already installed and compatible."});
    const auto manifest = InstallManifest::read(manifestFile());
    ASSERT_TRUE(manifest.has_value());
    ASSERT_EQ(manifest->files.size(), 1u);
    EXPECT_EQ(manifest->files[0].toolID, "itemNotesVideo");
    EXPECT_EQ(manifest->actions,
              (std::vector<InstalledActionRecord>{{"itemNotesVideo", kItemNotesID,
                                                   "Orvanta Corvel/Orvanta_ItemNotesToVideo.lua", std::nullopt,
                                                   std::nullopt, std::nullopt}}));
    // Without a shortcut the action keeps no key binding.
    for (const auto& key : keymap().keys) EXPECT_NE(key.commandID, kItemNotesID);
}

TEST_F(InstallRun, ATakenShortcutStopsTheRunBeforeAnythingIsWritten) {
    const std::string userKeymap = "KEY 13 82 _RSmine 0\t\t # Main : Ctrl+Shift+R : My tool\n";
    write(voduve / "voduve-kb.ini", userKeymap);
    const auto before = everything();

    const auto error = failure(bothTools(), voduve);

    EXPECT_EQ(error.message, "The selected shortcut is already assigned in VODUVE.");
    EXPECT_EQ(everything(), before);
    EXPECT_FALSE(fs::exists(applicationFolder));

    // Taking the shortcut over is the user's choice; the report names the action that lost
    // it and where the old keymap went.
    const auto report = run({choice(Kind::cuewarden, true, kShiftCommandR, true),
                             choice(Kind::itemNotesVideo, true, kShiftCommandV)});
    const auto backup = applicationFolder / "Backups" / backupName();
    EXPECT_EQ(report.messages.back(), "Ctrl+Shift+R was taken from \"My tool\" for Cuewarden. The previous "
                                      "voduve-kb.ini was backed up to " + backup.string() + ".");
    EXPECT_EQ(report.messages.size(), 4u);
    EXPECT_EQ(read(backup), userKeymap);
    for (const auto& key : keymap().keys) EXPECT_NE(key.commandID, "_RSmine");
}

TEST_F(InstallRun, TwoToolsOnOneShortcutAreRefusedBeforeAnythingIsWritten) {
    const auto before = everything();
    EXPECT_EQ(failure({choice(Kind::cuewarden, true, kShiftCommandV, true),
                       choice(Kind::itemNotesVideo, true, kShiftCommandV, true)},
                      voduve),
              (Error{"OrvantaCorvel", 2304,
                     "Cuewarden and Razo Zerur → Ozovi have the same shortcut Ctrl+Shift+V. Choose another shortcut "
                     "for one of them."}));
    EXPECT_EQ(everything(), before);
    // A disabled tool's shortcut is no clash.
    run({choice(Kind::cuewarden, false, kShiftCommandV), choice(Kind::itemNotesVideo, true, kShiftCommandV)});
}

TEST_F(InstallRun, ARunThatFailsAtAnyStepLeavesFolderKeymapAndManifestAsTheyWere) {
    const auto fail = [](const char* what) { throw ErrorException(Error{"test", 1, what}); };
    struct Case {
        const char* what;
        Faults faults;
    };
    const auto failAt = [fail](std::string step) {
        return Faults{[fail, step](std::string_view now) {
            if (now == step) fail("stopped");
        }};
    };
    std::vector<Case> cases = {
        {"before the manifest", failAt("manifest")},
        {"before the first copy", failAt("copy Orvanta_Cuewarden.lua")},
        {"before the extension", failAt("copy voduve_CuewardenStop.so")},
        {"before the last copy", failAt("copy Orvanta_ItemNotesToVideo.lua")},
        {"before the keymap", failAt("keymap")},
    };
    cases.push_back({"at the move of the extension", Faults{}});
    cases.back().faults.move = [fail](const fs::path& from, const fs::path& to) {
        if (to.filename() == "voduve_CuewardenStop.so") fail("disk full");
        return ResourceInstaller::moveWithoutReplacing(from, to);
    };
    cases.push_back({"at the keymap's rename", Faults{}});
    cases.back().faults.rename = [](const fs::path&, const fs::path&) { return ENOSPC; };
    cases.push_back({"at the keymap's verification", Faults{}});
    const auto renames = std::make_shared<int>(0);
    cases.back().faults.rename = [renames](const fs::path& from, const fs::path& to) {
        const int result = VoduveShortcutManager::posixRename(from, to);
        if ((*renames)++ == 0) std::ofstream(to, std::ios::binary | std::ios::trunc) << "spoiled\n";
        return result;
    };
    cases.push_back({"when the keymap keeps changing", Faults{}});
    cases.back().faults.beforeReplace = [this] {
        std::ofstream(voduve / "voduve-kb.ini", std::ios::binary | std::ios::app) << "# edited\n";
    };

    // A first run into a VODUVE folder without a keymap, and a run after an earlier one,
    // with the user's own keymap (whose backups stay where the keymap code keeps them).
    for (const bool earlierRun : {false, true}) {
        for (auto& c : cases) {
            const std::string what = c.what;
            SCOPED_TRACE(what + (earlierRun ? ", after an earlier run" : ", first run"));
            fs::remove_all(root / "home");
            fs::remove_all(voduve);
            fs::create_directories(voduve / "Scripts");
            if (earlierRun) {
                write(voduve / "voduve-kb.ini", "KEY 1 65 _RSmine 0\n");
                run({choice(Kind::itemNotesVideo, true, kShiftCommandV)});
            }
            auto before = everything();
            const auto keymapBefore = before.contains("VODUVE/voduve-kb.ini") ? before["VODUVE/voduve-kb.ini"] : "";

            *renames = 0;
            EXPECT_THROW(coordinator("1.2.3", c.faults).install(bothTools(), voduve), ErrorException);

            auto after = everything();
            if (what == "when the keymap keeps changing") {
                // The other program's edits stay, after what the keymap held.
                EXPECT_EQ(after["VODUVE/voduve-kb.ini"].rfind(keymapBefore + "# edited\n", 0), 0u);
                before.erase("VODUVE/voduve-kb.ini");
                after.erase("VODUVE/voduve-kb.ini");
            }
            EXPECT_EQ(after, before);
            EXPECT_TRUE(temporaryFiles().empty()) << temporaryFiles().front();
        }
    }
}

TEST_F(InstallRun, AFileThatTurnsUpWhileTheRunGoesOnIsRecordedAsFound) {
    // The user puts the identical script in place after the run checked the folder.
    Faults faults;
    faults.checkpoint = [this](std::string_view step) {
        if (step == "copy Orvanta_Cuewarden.lua") write(cuewardenScript(), "-- cuewarden\n");
    };
    const auto report = coordinator("1.2.3", faults).install(bothTools(), voduve);

    EXPECT_EQ(report.messages.front(), "Cuewarden: already installed and compatible.");
    const auto manifest = InstallManifest::read(manifestFile());
    ASSERT_TRUE(manifest.has_value());
    ASSERT_EQ(manifest->files.size(), 3u);
    EXPECT_TRUE(manifest->files[0].preExisting);
    EXPECT_FALSE(manifest->files[0].ownedByInstaller);
    EXPECT_TRUE(manifest->files[1].ownedByInstaller);
}

TEST_F(InstallRun, ARunKilledAtAnyStepLeavesItsFilesKnownAsOursToTheNextRun) {
    const std::vector<std::string> stops = {"manifest", "copy Orvanta_Cuewarden.lua", "copy voduve_CuewardenStop.so",
                                            "copy Orvanta_ItemNotesToVideo.lua", "keymap", "move",
                                            "beforeReplace", "rename"};
    for (const auto& stop : stops) {
        SCOPED_TRACE(stop);
        fs::remove_all(root / "home");
        fs::remove_all(voduve);
        fs::create_directories(voduve / "Scripts");
        const std::string userKeymap = "KEY 1 65 _RSmine 0\n";
        write(voduve / "voduve-kb.ini", userKeymap);

        // The run dies at the chosen point as if killed: no undo, no destructor runs.
        Faults faults;
        faults.checkpoint = [stop](std::string_view step) {
            if (step == stop) ::_exit(0);
        };
        faults.move = [stop](const fs::path& from, const fs::path& to) {
            if (stop == "move" && to.filename() == "voduve_CuewardenStop.so") ::_exit(0);
            return ResourceInstaller::moveWithoutReplacing(from, to);
        };
        faults.beforeReplace = [stop] {
            if (stop == "beforeReplace") ::_exit(0);
        };
        faults.rename = [stop](const fs::path& from, const fs::path& to) {
            const int result = VoduveShortcutManager::posixRename(from, to);
            if (stop == "rename") ::_exit(0);
            return result;
        };
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                coordinator("1.2.3", faults).install(bothTools(), voduve);
            } catch (...) {
                ::_exit(2);
            }
            ::_exit(3);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 0);

        // The keymap is whole: the old one, or the new one with both actions.
        const auto text = read(voduve / "voduve-kb.ini");
        EXPECT_TRUE(text == userKeymap || keymap().actions.size() == 2u) << text;

        run(bothTools());
        const auto manifest = InstallManifest::read(manifestFile());
        ASSERT_TRUE(manifest.has_value());
        ASSERT_EQ(manifest->files.size(), 3u);
        for (const auto& file : manifest->files) EXPECT_TRUE(file.ownedByInstaller) << file.destinationPath;
        EXPECT_EQ(keymap().actions.size(), 2u);
        EXPECT_EQ(read(voduve / "voduve-kb.ini").rfind(userKeymap, 0), 0u);
        EXPECT_TRUE(temporaryFiles().empty()) << temporaryFiles().front();
    }
}

TEST_F(InstallRun, ACorruptManifestIsReplaced) {
    write(manifestFile(), "{\"files\": [");
    run(bothTools());
    EXPECT_TRUE(InstallManifest::read(manifestFile()).has_value());
}

TEST_F(InstallRun, BeatloomAloneMakesTheFoldersAndAnEmptyManifest) {
    const auto report = coordinator(std::nullopt).install({choice(Kind::beatloom, true)}, voduve);

    EXPECT_TRUE(report.messages.empty());
    EXPECT_TRUE(fs::is_directory(voduve / "Scripts" / "Orvanta Corvel"));
    EXPECT_TRUE(fs::is_directory(applicationFolder / "Backups"));
    EXPECT_FALSE(fs::exists(voduve / "voduve-kb.ini"));
    const auto manifest = InstallManifest::read(manifestFile());
    ASSERT_TRUE(manifest.has_value());
    EXPECT_TRUE(manifest->files.empty());
    EXPECT_TRUE(manifest->actions.empty());
    EXPECT_EQ(manifest->appVersion, "0.1.0");
}

TEST_F(InstallRun, AMissingResourceIsReported) {
    fs::remove(resources / "voduve_CuewardenStop.so");
    EXPECT_EQ(failure(bothTools(), voduve),
              (Error{"OrvantaCorvel", 2201, "Missing bundled resource: voduve_CuewardenStop.so"}));
    EXPECT_FALSE(fs::exists(manifestFile()));
}

}  // namespace
}  // namespace corvel::voduvetools
