#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "support/fake_folder_chooser.hpp"
#include "support/temp_folder.hpp"
#include "voduvetools/keymap_document.hpp"
#include "voduvetools/tool_install_view_model.hpp"

namespace corvel::voduvetools::testing {

inline VoduveShortcut shiftCommand(const char* letter) {
    return *VoduveShortcut::fromLetter(letter, {VoduveShortcut::Modifier::shift, VoduveShortcut::Modifier::command});
}

// Keymap lines that give another command the shortcut, named as the user named it.
inline std::string otherAction(const std::string& id, const VoduveShortcut& shortcut, const std::string& name) {
    return VoduveKeymapDocument::scriptLine(id, name, "mine/" + id + ".lua") + "\n" +
           VoduveKeymapDocument::keyLine(id, name, shortcut) + "\n";
}

// The setup screen's world in a temp folder: a home folder with the default VODUVE folder
// inside (not created), the application's three resource files, a VODUVE that runs when the
// test says so and a folder panel that answers as prepared.
class SetupFolders : public corvel::testing::TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        home = root / "home";
        voduve = home / ".config" / "VODUVE";
        resources = root / "app" / "resources";
        write(resources / "Orvanta_Cuewarden.lua", "-- cuewarden\n");
        write(resources / "Orvanta_ItemNotesToVideo.lua", "-- item notes\n");
        write(resources / "voduve_CuewardenStop.so", "\x7f" "ELF");
    }

    ToolInstallViewModel::Seams seams() {
        ToolInstallViewModel::Seams result;
        result.folders = platform::UserFolders([h = home.string()](const std::string& name) -> std::optional<std::string> {
            if (name == "HOME") return h;
            return std::nullopt;
        });
        result.voduveRunning = [this] { return voduveRunning; };
        result.resourcesFolder = resources;
        result.applicationVersion = "1.2.3";
        return result;
    }

    std::filesystem::path home, voduve, resources;
    bool voduveRunning = false;
    corvel::testing::FakeFolderChooser chooser;
};

}  // namespace corvel::voduvetools::testing
