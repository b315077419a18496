#include "voduvetools/install_coordinator.hpp"

#include <fstream>
#include <set>

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

    InstallCoordinator coordinator(std::optional<std::string> version = "1.2.3") const {
        InstallCoordinator::Seams seams;
        const auto home = (root / "home").string();
        seams.folders = platform::UserFolders([home](const std::string& name) -> std::optional<std::string> {
            if (name == "HOME") return home;
            return std::nullopt;
        });
        seams.voduveRunning = [this] { return voduveRunning; };
        seams.clock = [] { return system_clock::time_point(kNow) + milliseconds(750); };
        seams.applicationVersion = std::move(version);
        const auto when = platform::localDateTime(kNow);
        return InstallCoordinator(ResourceInstaller({resources, ResourceInstaller::moveWithoutReplacing}),
                                  VoduveShortcutManager({[when] { return platform::timePointFromLocal(when); },
                                                         VoduveShortcutManager::posixRename}),
                                  std::move(seams));
    }

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

TEST_F(InstallRun, ADifferentFileStopsTheRunAfterTheToolsBeforeIt) {
    run({choice(Kind::itemNotesVideo, true, kShiftCommandV)});
    const auto manifestBefore = read(manifestFile());
    write(cuewardenScript(), "-- cuewarden, as the user changed it\n");

    // Razo Zerur → Ozovi comes first in this request and goes through; Cuewarden stops.
    const auto error = failure({choice(Kind::itemNotesVideo, true), choice(Kind::cuewarden, true, kShiftCommandR)},
                               voduve);

    EXPECT_EQ(error.code, 2202);
    EXPECT_EQ(read(cuewardenScript()), "-- cuewarden, as the user changed it\n");
    EXPECT_FALSE(fs::exists(voduve / "UserPlugins"));
    EXPECT_EQ(read(manifestFile()), manifestBefore);
    // The earlier tool's registration (now without a shortcut) stays.
    const auto document = keymap();
    ASSERT_EQ(document.actions.size(), 1u);
    EXPECT_TRUE(document.keys.empty());
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

TEST_F(InstallRun, ATakenShortcutStopsTheRunAtThatToolsAction) {
    const std::string userKeymap = "KEY 13 82 _RSmine 0\t\t # Main : ⇧⌘R : My tool\n";
    write(voduve / "voduve-kb.ini", userKeymap);

    const auto error = failure(bothTools(), voduve);

    EXPECT_EQ(error.message, "The selected shortcut is already assigned in VODUVE.");
    EXPECT_EQ(read(voduve / "voduve-kb.ini"), userKeymap);
    EXPECT_TRUE(fs::exists(cuewardenScript()));
    EXPECT_TRUE(fs::exists(extension()));
    EXPECT_FALSE(fs::exists(itemNotesScript()));
    EXPECT_FALSE(fs::exists(manifestFile()));

    // Taking the shortcut over is the user's choice, and the old keymap is backed up.
    run({choice(Kind::cuewarden, true, kShiftCommandR, true), choice(Kind::itemNotesVideo, true, kShiftCommandV)});
    std::set<std::string> backedUp;
    for (const auto& name : names(applicationFolder / "Backups")) backedUp.insert(read(applicationFolder / "Backups" / name));
    EXPECT_TRUE(backedUp.contains(userKeymap));
    for (const auto& key : keymap().keys) EXPECT_NE(key.commandID, "_RSmine");
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
