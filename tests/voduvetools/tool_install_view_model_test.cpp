#include "voduvetools/tool_install_view_model.hpp"

#include <memory>
#include <new>
#include <stdexcept>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "voduvetools/keymap_document.hpp"
#include "voduvetools/setup_fixture.hpp"

namespace corvel::voduvetools {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using Kind = ToolComponent::Kind;
using Modifier = VoduveShortcut::Modifier;
using State = ToolInstallViewModel::State;

const char* const kCuewardenID = "_RS9e6552a898cec51c2bf0f00ba021f27806f30171";
const char* const kItemNotesID = "_RSb07f1a73447370286fe9143cb9c1a48646133742";
const char* const kRestart = "VODUVE must be restarted before using newly registered actions.";

using testing::otherAction;
using testing::shiftCommand;

class SetupModel : public testing::SetupFolders {
protected:
    std::unique_ptr<ToolInstallViewModel> makeModel() {
        auto seams = this->seams();
        seams.clock = [] { return system_clock::time_point(sys_days{year{2026} / 3 / 1} + hours{18}); };
        return std::make_unique<ToolInstallViewModel>(chooser, std::move(seams));
    }

    static fs::path cuewardenScript(const fs::path& folder) {
        return folder / "Scripts" / "Orvanta Corvel" / "Orvanta_Cuewarden.lua";
    }
    static fs::path itemNotesScript(const fs::path& folder) {
        return folder / "Scripts" / "Orvanta Corvel" / "Orvanta_ItemNotesToVideo.lua";
    }
    static fs::path extension(const fs::path& folder) { return folder / "UserPlugins" / "voduve_CuewardenStop.so"; }

    static std::vector<std::string> statuses(const ToolInstallViewModel& model) {
        std::vector<std::string> result;
        for (const auto& tool : model.tools().value()) result.push_back(tool.statusText);
        return result;
    }
    // "commandID: description" of each conflict of the tool's row.
    static std::vector<std::string> conflicts(const ToolInstallViewModel& model, std::size_t index) {
        std::vector<std::string> result;
        for (const auto& c : model.tools().value().at(index).conflicts) {
            result.push_back(c.commandID + ": " + c.description);
        }
        return result;
    }
    void chooseFolder(ToolInstallViewModel& model, const fs::path& folder) {
        chooser.answer = folder;
        model.chooseVoduveFolder();
    }

};

TEST_F(SetupModel, StartsWithBothVoduveToolsEnabledOnTheirDefaultShortcutsInTheDefaultFolder) {
    const auto model = makeModel();

    const auto& tools = model->tools().value();
    ASSERT_EQ(tools.size(), 2u);
    EXPECT_EQ(tools[0].id, Kind::cuewarden);
    EXPECT_EQ(tools[0].component, *ToolComponent::find(Kind::cuewarden));
    EXPECT_EQ(tools[1].id, Kind::itemNotesVideo);
    EXPECT_EQ(tools[1].component.displayName, "Razo Zerur → Ozovi");
    for (const auto& tool : tools) {
        EXPECT_TRUE(tool.enabled);
        EXPECT_TRUE(tool.conflicts.empty());
        EXPECT_FALSE(tool.replaceConflict);
        EXPECT_EQ(tool.statusText, "VODUVE not detected");
    }
    EXPECT_EQ(tools[0].shortcut, shiftCommand("R"));
    EXPECT_EQ(tools[1].shortcut, shiftCommand("V"));
    EXPECT_EQ(model->voduvePath().value(), voduve.string());
    EXPECT_EQ(model->installMessage().value(), "");
    EXPECT_FALSE(model->isInstalling().value());
    EXPECT_TRUE(chooser.requests.empty());
}

TEST_F(SetupModel, StartReadsStatusesAndConflictsFromTheDefaultFolder) {
    write(cuewardenScript(voduve), "-- cuewarden\n");
    write(extension(voduve), "\x7f" "ELF");
    write(voduve / "voduve-kb.ini", otherAction("_RSmine", shiftCommand("V"), "Custom: my marker script"));

    const auto model = makeModel();

    EXPECT_EQ(statuses(*model), (std::vector<std::string>{"Installed", "Not installed"}));
    EXPECT_TRUE(conflicts(*model, 0).empty());
    EXPECT_EQ(conflicts(*model, 1), std::vector<std::string>{"_RSmine: Custom: my marker script"});
}

TEST_F(SetupModel, StatusComesFromTheFilesInTheChosenFolder) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& folder)> lay;
        std::vector<std::string> expected;  // Cuewarden, Razo Zerur → Ozovi
    };
    const auto none = [](const fs::path&) {};
    const Case cases[] = {
        {"nothing at the path", none, {"VODUVE not detected", "VODUVE not detected"}},
        {"an empty folder", [](const fs::path& f) { fs::create_directories(f); }, {"Not installed", "Not installed"}},
        {"a plain file at the path", [](const fs::path& f) { write(f, "x"); }, {"Not installed", "Not installed"}},
        {"everything identical",
         [](const fs::path& f) {
             write(cuewardenScript(f), "-- cuewarden\n");
             write(extension(f), "\x7f" "ELF");
             write(itemNotesScript(f), "-- item notes\n");
         },
         {"Installed", "Installed"}},
        {"identical script, no extension", [](const fs::path& f) { write(cuewardenScript(f), "-- cuewarden\n"); },
         {"Partially installed", "Not installed"}},
        {"extension alone, in a folder that is no resource folder",
         [](const fs::path& f) { write(extension(f), "\x7f" "ELF"); }, {"Partially installed", "Not installed"}},
        {"changed script, identical extension",
         [](const fs::path& f) {
             write(cuewardenScript(f), "-- edited by hand\n");
             write(extension(f), "\x7f" "ELF");
         },
         {"Different version detected", "Not installed"}},
        {"changed script, no extension", [](const fs::path& f) { write(cuewardenScript(f), "-- edited\n"); },
         {"Different version detected", "Not installed"}},
        {"identical script, changed extension",
         [](const fs::path& f) {
             write(cuewardenScript(f), "-- cuewarden\n");
             write(extension(f), "other");
         },
         {"Different version detected", "Not installed"}},
        {"a folder where the script belongs",
         [](const fs::path& f) { fs::create_directories(itemNotesScript(f)); },
         {"Not installed", "Different version detected"}},
        {"a dangling link where the extension belongs",
         [](const fs::path& f) {
             write(cuewardenScript(f), "-- cuewarden\n");
             fs::create_directories(extension(f).parent_path());
             fs::create_symlink(f / "gone.so", extension(f));
         },
         {"Different version detected", "Not installed"}},
        {"a link to an identical script",
         [](const fs::path& f) {
             write(f / "mine.lua", "-- item notes\n");
             fs::create_directories(itemNotesScript(f).parent_path());
             fs::create_symlink(f / "mine.lua", itemNotesScript(f));
         },
         {"Not installed", "Installed"}},
    };

    const auto model = makeModel();
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto folder = root / ("case" + std::to_string(n++)) / "VODUVE";
        c.lay(folder);
        chooseFolder(*model, folder);
        EXPECT_EQ(model->voduvePath().value(), folder.string());
        EXPECT_EQ(statuses(*model), c.expected);
    }
}

TEST_F(SetupModel, AnInstalledFileWhoseResourceTheApplicationLacksIsADifferentVersion) {
    write(itemNotesScript(voduve), "-- item notes\n");
    write(cuewardenScript(voduve), "-- cuewarden\n");
    fs::remove(resources / "Orvanta_ItemNotesToVideo.lua");
    fs::remove(resources / "voduve_CuewardenStop.so");

    const auto model = makeModel();

    // The missing extension resource doesn't matter while nothing is installed in its place.
    EXPECT_EQ(statuses(*model), (std::vector<std::string>{"Partially installed", "Different version detected"}));
    EXPECT_EQ(model->fileStatus("Orvanta_Cuewarden.lua", cuewardenScript(voduve)), "Installed");
    EXPECT_EQ(model->fileStatus("Scripts/Orvanta_Cuewarden.lua", cuewardenScript(voduve)),
              "Different version detected");
    EXPECT_EQ(model->fileStatus("Orvanta_Cuewarden.lua", voduve / "missing.lua"), "Not installed");
}

TEST_F(SetupModel, StatusesCoverDisabledToolsToo) {
    fs::create_directories(voduve / "Scripts");
    const auto model = makeModel();
    model->editTool(1, [](State& tool) { tool.enabled = false; });
    write(itemNotesScript(voduve), "-- item notes\n");

    model->refreshStatuses();

    EXPECT_EQ(statuses(*model), (std::vector<std::string>{"Not installed", "Installed"}));
}

TEST_F(SetupModel, ConflictsAreSearchedOnlyWithAResourceFolderAKeymapAndAShortcut) {
    write(voduve / "voduve-kb.ini", otherAction("_RSmine", shiftCommand("R"), "Custom: my marker script") +
                                        VoduveKeymapDocument::keyLine(kItemNotesID, "own", shiftCommand("V")) + "\n");
    const auto model = makeModel();
    EXPECT_EQ(conflicts(*model, 0), std::vector<std::string>{"_RSmine: Custom: my marker script"});
    // The keymap binding Ctrl+Shift+V to the tool's own action is no conflict.
    EXPECT_TRUE(conflicts(*model, 1).empty());

    // Without a shortcut there is nothing to collide with.
    model->setShortcut(Kind::cuewarden, std::nullopt);
    EXPECT_TRUE(conflicts(*model, 0).empty());
    model->setShortcut(Kind::cuewarden, shiftCommand("R"));
    EXPECT_EQ(conflicts(*model, 0).size(), 1u);

    // A keymap that is not UTF-8 yields no conflicts and no message.
    write(voduve / "voduve-kb.ini", otherAction("_RSmine", shiftCommand("R"), "Caf\xe9"));
    model->refreshAllConflicts();
    EXPECT_TRUE(conflicts(*model, 0).empty());
    EXPECT_EQ(model->installMessage().value(), "");

    // A folder without the keymap gives empty conflicts.
    chooseFolder(*model, root / "elsewhere");
    EXPECT_TRUE(conflicts(*model, 0).empty());
}

TEST_F(SetupModel, SettingOrClearingAShortcutTurnsReplaceOffAndSearchesAgain) {
    write(voduve / "voduve-kb.ini", otherAction("_RSmine", shiftCommand("E"), "Custom: my marker script") +
                                        otherAction("_RSyours", shiftCommand("E"), "Custom: your script"));
    const auto model = makeModel();
    ASSERT_TRUE(conflicts(*model, 0).empty());

    model->editTool(0, [](State& tool) { tool.replaceConflict = true; });
    model->setShortcut(Kind::cuewarden, shiftCommand("E"));
    const auto& tool = model->tools().value()[0];
    EXPECT_EQ(tool.shortcut, shiftCommand("E"));
    EXPECT_FALSE(tool.replaceConflict);
    EXPECT_EQ(conflicts(*model, 0), (std::vector<std::string>{"_RSmine: Custom: my marker script",
                                                              "_RSyours: Custom: your script"}));

    model->editTool(0, [](State& t) { t.replaceConflict = true; });
    model->setShortcut(Kind::cuewarden, std::nullopt);
    EXPECT_EQ(model->tools().value()[0].shortcut, std::nullopt);
    EXPECT_FALSE(model->tools().value()[0].replaceConflict);
    EXPECT_TRUE(conflicts(*model, 0).empty());

    // Beatloom has no row: nothing changes.
    const auto before = model->tools().value();
    model->setShortcut(Kind::beatloom, shiftCommand("B"));
    model->suggestFreeShortcut(Kind::beatloom);
    EXPECT_EQ(model->tools().value(), before);
    EXPECT_EQ(model->installMessage().value(), "");
}

TEST_F(SetupModel, TheCardsBindingWritesItsRowAndNothingElse) {
    write(voduve / "voduve-kb.ini", otherAction("_RSmine", shiftCommand("R"), "Custom: my marker script"));
    const auto model = makeModel();
    int changes = 0;
    const auto watch = model->tools().subscribe([&changes](const auto&) { ++changes; });

    model->editTool(0, [](State& tool) {
        tool.enabled = false;
        tool.shortcut = shiftCommand("K");
        tool.id = Kind::beatloom;
        tool.component = ToolComponent::beatloomTool();
    });
    model->editTool(2, [](State& tool) { tool.enabled = false; });

    EXPECT_EQ(changes, 1);
    const auto& tool = model->tools().value()[0];
    EXPECT_FALSE(tool.enabled);
    EXPECT_EQ(tool.shortcut, shiftCommand("K"));
    EXPECT_EQ(tool.id, Kind::cuewarden);
    EXPECT_EQ(tool.component.id, Kind::cuewarden);
    // The recorded shortcut reaches the conflicts only through setShortcut.
    EXPECT_EQ(conflicts(*model, 0).size(), 1u);
    EXPECT_EQ(model->tools().value().size(), 2u);
}

TEST_F(SetupModel, SuggestionTakesTheFirstFreeShiftCommandLetter) {
    // No keymap at all (not even a folder): R, unless the other card has chosen it.
    {
        const auto model = makeModel();
        model->editTool(1, [](State& tool) { tool.replaceConflict = true; });
        model->suggestFreeShortcut(Kind::itemNotesVideo);
        EXPECT_EQ(model->tools().value()[1].shortcut, shiftCommand("V"));  // Cuewarden has R
        EXPECT_FALSE(model->tools().value()[1].replaceConflict);
        model->setShortcut(Kind::cuewarden, std::nullopt);
        model->suggestFreeShortcut(Kind::itemNotesVideo);
        EXPECT_EQ(model->tools().value()[1].shortcut, shiftCommand("R"));
        EXPECT_FALSE(model->tools().value()[1].replaceConflict);
        EXPECT_TRUE(conflicts(*model, 1).empty());
    }
    // R and V are taken by others, E is taken by the tool itself and counts as free.
    write(voduve / "voduve-kb.ini", otherAction("_RSmine", shiftCommand("R"), "Custom: mine") +
                                        otherAction("_RSyours", shiftCommand("V"), "Custom: yours") +
                                        VoduveKeymapDocument::keyLine(kCuewardenID, "own", shiftCommand("E")) + "\n");
    const auto model = makeModel();
    ASSERT_EQ(conflicts(*model, 0).size(), 1u);
    model->suggestFreeShortcut(Kind::cuewarden);
    EXPECT_EQ(model->tools().value()[0].shortcut, shiftCommand("E"));
    EXPECT_TRUE(conflicts(*model, 0).empty());
    EXPECT_EQ(model->installMessage().value(), "");
}

TEST_F(SetupModel, WithNoFreeLetterTheMessageSaysSoAndTheShortcutStays) {
    const std::string letters = kFreeShortcutLetters;
    ASSERT_EQ(letters, "RVEYUIOPGHJKLBNM");
    std::string allTaken;
    for (const char letter : letters) {
        allTaken += otherAction(std::string("_RS") + letter, shiftCommand(std::string(1, letter).c_str()),
                                std::string("Custom: ") + letter);
    }
    const std::string notice =
        "No free Ctrl+Shift letter shortcut was found. Choose another combination or use No Shortcut.";

    for (const auto& keymap : {allTaken, std::string("Caf\xe9 ") + allTaken}) {
        write(voduve / "voduve-kb.ini", keymap);
        const auto model = makeModel();
        model->editTool(1, [](State& tool) { tool.replaceConflict = true; });
        const auto before = model->tools().value();

        model->suggestFreeShortcut(Kind::itemNotesVideo);

        EXPECT_EQ(model->installMessage().value(), notice);
        EXPECT_EQ(model->tools().value(), before);
    }
}

TEST_F(SetupModel, FolderPanelAlwaysOpensBesideTheDefaultFolderAndCancelChangesNothing) {
    write(root / "mine" / "VODUVE" / "voduve-kb.ini",
          otherAction("_RSmine", shiftCommand("R"), "Custom: my marker script"));
    write(cuewardenScript(root / "mine" / "VODUVE"), "-- cuewarden\n");
    const auto model = makeModel();

    chooseFolder(*model, root / "mine" / "VODUVE");
    EXPECT_EQ(model->voduvePath().value(), (root / "mine" / "VODUVE").string());
    EXPECT_EQ(statuses(*model), (std::vector<std::string>{"Partially installed", "Not installed"}));
    EXPECT_EQ(conflicts(*model, 0).size(), 1u);

    int changes = 0;
    const auto watchTools = model->tools().subscribe([&changes](const auto&) { ++changes; });
    const auto watchPath = model->voduvePath().subscribe([&changes](const auto&) { ++changes; });
    chooser.answer = std::nullopt;
    model->chooseVoduveFolder();
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(model->voduvePath().value(), (root / "mine" / "VODUVE").string());

    const platform::FolderChoiceRequest expected{"Choose the VODUVE resource folder", home / ".config"};
    EXPECT_EQ(chooser.requests, (std::vector<platform::FolderChoiceRequest>{expected, expected}));
}

TEST_F(SetupModel, InstallShowsTheReportLinesWithTheRestartAdviceAndRefreshes) {
    fs::create_directories(voduve / "Scripts");
    write(voduve / "voduve-kb.ini", otherAction("_RSmine", shiftCommand("R"), "Custom: my marker script"));
    const auto model = makeModel();
    model->editTool(0, [](State& tool) { tool.replaceConflict = true; });
    ASSERT_EQ(conflicts(*model, 0).size(), 1u);

    std::vector<bool> installing;
    std::vector<std::string> messages;
    const auto watchFlag = model->isInstalling().subscribe([&](bool value) { installing.push_back(value); });
    const auto watchMessage = model->installMessage().subscribe([&](const std::string& m) { messages.push_back(m); });

    model->install();

    const auto backup = home / ".local" / "share" / "Orvanta VODUVE Corvel" / "Backups" /
                        VoduveShortcutManager::backupFileName(platform::localDateTime(
                            system_clock::time_point(sys_days{year{2026} / 3 / 1} + hours{18})));
    EXPECT_EQ(model->installMessage().value(),
              std::string("Cuewarden: script installed.\nCuewarden runtime: installed.\n"
                          "Razo Zerur → Ozovi: script installed.\n"
                          "Ctrl+Shift+R was taken from \"Custom: my marker script\" for Cuewarden. The previous "
                          "voduve-kb.ini was backed up to ") +
                  backup.string() + ".\n\n" + kRestart);
    EXPECT_TRUE(fs::exists(backup));
    EXPECT_EQ(installing, (std::vector<bool>{true, false}));
    EXPECT_EQ(statuses(*model), (std::vector<std::string>{"Installed", "Installed"}));
    // The installer took Ctrl+Shift+R over, so nothing holds it against Cuewarden any more.
    EXPECT_TRUE(conflicts(*model, 0).empty());
    EXPECT_EQ(messages.size(), 1u);

    // A second run finds everything in place.
    model->install();
    EXPECT_EQ(model->installMessage().value(),
              std::string("Cuewarden: already installed and compatible.\n"
                          "Cuewarden runtime: already installed and compatible.\n"
                          "Razo Zerur → Ozovi: already installed and compatible.\n\n") +
                  kRestart);
    EXPECT_EQ(messages.size(), 3u);  // cleared at the start, then the new report
    EXPECT_EQ(messages[1], "");
}

TEST_F(SetupModel, ADanglingLinkReadsAsADifferentVersionAndInstallLeavesIt) {
    const fs::path link = itemNotesScript(voduve);
    fs::create_directories(link.parent_path());
    fs::create_symlink(root / "nowhere.lua", link);
    const auto model = makeModel();
    model->editTool(0, [](State& tool) { tool.enabled = false; });
    EXPECT_EQ(statuses(*model)[1], "Different version detected");

    model->install();
    EXPECT_NE(model->installMessage().value().find("A different file already exists at " + link.string()),
              std::string::npos)
        << model->installMessage().value();
    EXPECT_EQ(statuses(*model)[1], "Different version detected");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_FALSE(fs::exists(root / "nowhere.lua"));
}

TEST_F(SetupModel, InstallSendsEveryRowAsItStands) {
    fs::create_directories(voduve / "Scripts");
    const auto model = makeModel();
    model->setShortcut(Kind::cuewarden, std::nullopt);
    model->editTool(1, [](State& tool) { tool.enabled = false; });

    model->install();

    EXPECT_EQ(model->installMessage().value(),
              std::string("Cuewarden: script installed.\nCuewarden runtime: installed.\n\n") + kRestart);
    const auto keymap = VoduveKeymapDocument::parse(read(voduve / "voduve-kb.ini"));
    ASSERT_EQ(keymap.actions.size(), 1u);
    EXPECT_TRUE(VoduveKeymapDocument::sameCommand(keymap.actions[0].commandID, kCuewardenID));
    EXPECT_TRUE(keymap.keys.empty());
    EXPECT_FALSE(fs::exists(itemNotesScript(voduve)));
    EXPECT_EQ(statuses(*model), (std::vector<std::string>{"Installed", "Not installed"}));
}

TEST_F(SetupModel, AFailedInstallShowsOnlyTheErrorAndKeepsStatusesAndConflicts) {
    // Refusals, in the coordinator's order.
    {
        const auto model = makeModel();  // the default folder doesn't exist
        model->install();
        EXPECT_EQ(model->installMessage().value(), "The selected folder does not look like a VODUVE resource folder.");
        EXPECT_FALSE(model->isInstalling().value());
    }
    fs::create_directories(voduve / "Scripts");
    {
        voduveRunning = true;
        const auto model = makeModel();
        model->install();
        EXPECT_EQ(model->installMessage().value(),
                  "VODUVE is currently running. Quit VODUVE before installing scripts or changing shortcuts.");
        voduveRunning = false;
    }
    {
        const auto model = makeModel();
        model->editTool(0, [](State& tool) { tool.enabled = false; });
        model->editTool(1, [](State& tool) { tool.enabled = false; });
        model->install();
        EXPECT_EQ(model->installMessage().value(), "Select at least one tool to install.");
    }

    // A conflict that may not be replaced fails the run before anything is copied; the
    // rows keep what they showed before.
    write(voduve / "voduve-kb.ini", otherAction("_RSmine", shiftCommand("R"), "Custom: my marker script"));
    const auto model = makeModel();
    const auto before = model->tools().value();
    std::vector<bool> installing;
    const auto watchFlag = model->isInstalling().subscribe([&](bool value) { installing.push_back(value); });

    model->install();

    EXPECT_EQ(model->installMessage().value(), VoduveKeymapError::shortcutConflict({}).error().message);
    EXPECT_EQ(installing, (std::vector<bool>{true, false}));
    EXPECT_FALSE(fs::exists(cuewardenScript(voduve)));
    EXPECT_EQ(model->tools().value(), before);
    EXPECT_EQ(before[0].statusText, "Not installed");
}

TEST_F(SetupModel, FilesThatAreNoFilesNeverHoldUpTheScreen) {
    // A pipe nobody writes to blocks a plain read for ever; /dev/zero never ends.
    const auto pipe = [](const fs::path& at) {
        fs::create_directories(at.parent_path());
        ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0);
    };
    const auto zeros = [](const fs::path& at) {
        fs::create_directories(at.parent_path());
        fs::create_symlink("/dev/zero", at);
    };
    const auto manifest = home / ".local" / "share" / "Orvanta VODUVE Corvel" / "install-manifest.json";
    struct Case {
        const char* what;
        std::function<void()> lay;
        std::string keymapProblem;  // found in the screen's keymap line
        std::string cuewardenProblem;  // found on Cuewarden's card
        std::string installMessage;    // found in the message after an install
    };
    const std::string notAFile = ": Not a regular file (";
    const Case cases[] = {
        {"a pipe as voduve-kb.ini", [&] { pipe(voduve / "voduve-kb.ini"); },
         "voduve-kb.ini could not be read, so shortcuts can't be checked against it: open " +
             (voduve / "voduve-kb.ini").string() + notAFile + "a named pipe)",
         "", (voduve / "voduve-kb.ini").string() + notAFile + "a named pipe)"},
        {"voduve-kb.ini linked to /dev/zero", [&] { zeros(voduve / "voduve-kb.ini"); },
         notAFile + "a character device)", "", notAFile + "a character device)"},
        {"a pipe as the installed script", [&] { pipe(cuewardenScript(voduve)); }, "",
         "An installed file could not be read: open " + cuewardenScript(voduve).string() + notAFile +
             "a named pipe)",
         "A different file already exists at " + cuewardenScript(voduve).string()},
        {"the installed extension linked to /dev/zero", [&] { zeros(extension(voduve)); }, "",
         notAFile + "a character device)", "A different file already exists at " + extension(voduve).string()},
        {"a pipe as the install manifest", [&] { pipe(manifest); }, "", "", "Cuewarden: script installed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(home);
        fs::create_directories(voduve / "Scripts");
        c.lay();

        const auto model = makeModel();

        const auto& problem = model->keymapProblem().value();
        if (c.keymapProblem.empty()) EXPECT_EQ(problem, "");
        else EXPECT_NE(problem.find(c.keymapProblem), std::string::npos) << problem;
        const auto& row = model->tools().value()[0];
        if (c.cuewardenProblem.empty()) {
            EXPECT_EQ(row.problem, "");
        } else {
            EXPECT_NE(row.problem.find(c.cuewardenProblem), std::string::npos) << row.problem;
            EXPECT_EQ(row.statusText, "Different version detected");
        }
        EXPECT_EQ(model->tools().value()[1].problem, "");

        model->install();
        EXPECT_NE(model->installMessage().value().find(c.installMessage), std::string::npos)
            << model->installMessage().value();
    }
}

TEST_F(SetupModel, TwoCardsOnOneShortcutShowItAndAreNotInstalled) {
    fs::create_directories(voduve / "Scripts");
    const auto model = makeModel();
    const auto shared = [&model] {
        std::vector<std::vector<Kind>> result;
        for (const auto& tool : model->tools().value()) result.push_back(tool.sharedShortcutWith);
        return result;
    };
    EXPECT_EQ(shared(), (std::vector<std::vector<Kind>>{{}, {}}));

    model->setShortcut(Kind::itemNotesVideo, shiftCommand("R"));
    EXPECT_EQ(shared(), (std::vector<std::vector<Kind>>{{Kind::itemNotesVideo}, {Kind::cuewarden}}));
    model->editTool(0, [](State& tool) { tool.enabled = false; });  // a tool that isn't installed clashes with nothing
    EXPECT_EQ(shared(), (std::vector<std::vector<Kind>>{{}, {}}));
    model->editTool(0, [](State& tool) { tool.enabled = true; });
    EXPECT_EQ(shared()[0], std::vector<Kind>{Kind::itemNotesVideo});

    model->install();
    EXPECT_EQ(model->installMessage().value(),
              "Cuewarden and Razo Zerur → Ozovi have the same shortcut Ctrl+Shift+R. Choose another shortcut for one "
              "of them.");
    EXPECT_TRUE(names(voduve / "Scripts").empty());

    model->suggestFreeShortcut(Kind::itemNotesVideo);
    EXPECT_EQ(model->tools().value()[1].shortcut, shiftCommand("V"));
    EXPECT_EQ(shared(), (std::vector<std::vector<Kind>>{{}, {}}));
}

TEST_F(SetupModel, AnInstalledToolShowsTheShortcutTheKeymapHoldsForIt) {
    // Cuewarden was installed on Ctrl+Alt+K because another script holds Ctrl+Shift+R; the
    // item notes tool was installed without a shortcut.
    const auto ctrlAltK = *VoduveShortcut::fromLetter("K", {Modifier::command, Modifier::option});
    const std::string keymap =
        otherAction("_RSmine", shiftCommand("R"), "Custom: my marker script") +
        VoduveKeymapDocument::scriptLine(kCuewardenID, "Custom: Orvanta VODUVE Corvel - Cuewarden",
                                         "Orvanta Corvel/Orvanta_Cuewarden.lua") + "\n" +
        VoduveKeymapDocument::keyLine(kCuewardenID, "Custom: Orvanta VODUVE Corvel - Cuewarden", ctrlAltK) + "\n" +
        VoduveKeymapDocument::scriptLine(kItemNotesID, "Custom: Orvanta VODUVE Corvel - Item Notes to Video",
                                         "Orvanta Corvel/Orvanta_ItemNotesToVideo.lua") + "\n";
    write(voduve / "voduve-kb.ini", keymap);
    write(cuewardenScript(voduve), "-- cuewarden\n");
    write(extension(voduve), "\x7f" "ELF");
    write(itemNotesScript(voduve), "-- item notes\n");

    const auto model = makeModel();

    EXPECT_EQ(model->tools().value()[0].shortcut, ctrlAltK);
    EXPECT_EQ(model->tools().value()[1].shortcut, std::nullopt);
    EXPECT_TRUE(conflicts(*model, 0).empty());
    EXPECT_EQ(statuses(*model), (std::vector<std::string>{"Installed", "Installed"}));

    // Installing again as the screen shows it rebinds nothing.
    model->install();
    EXPECT_EQ(read(voduve / "voduve-kb.ini"), keymap);

    // A binding that is no letter shortcut leaves the tool's shortcut as it was.
    write(root / "other" / "voduve-kb.ini",
          VoduveKeymapDocument::scriptLine(kCuewardenID, "Cuewarden", "Orvanta Corvel/Orvanta_Cuewarden.lua") +
              "\nKEY 1 112 " + kCuewardenID + " 0\n");
    chooseFolder(*model, root / "other");
    EXPECT_EQ(model->tools().value()[0].shortcut, ctrlAltK);
}

TEST_F(SetupModel, NoErrorEscapesTheModel) {
    fs::create_directories(voduve / "Scripts");
    auto seams = this->seams();
    seams.voduveRunning = []() -> bool { throw std::bad_alloc(); };
    struct BrokenChooser final : platform::FolderChooser {
        std::optional<fs::path> chooseFolder(const platform::FolderChoiceRequest&) override {
            throw std::runtime_error("the panel could not be shown");
        }
    } brokenChooser;
    ToolInstallViewModel model(brokenChooser, std::move(seams));

    model.install();
    EXPECT_EQ(model.installMessage().value(), "There was not enough memory to finish this.");
    EXPECT_FALSE(model.isInstalling().value());
    model.chooseVoduveFolder();
    EXPECT_EQ(model.installMessage().value(), "the panel could not be shown");
    EXPECT_EQ(model.voduvePath().value(), voduve.string());
}

}  // namespace
}  // namespace corvel::voduvetools
