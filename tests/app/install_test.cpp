// `cmake --install` of this build into a fresh prefix, checked from the installed side: the
// layout, the program's own resource lookup from the installed bin folder, the extension's
// bytes, and the desktop entry.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "common/sha256.hpp"
#include "platform/paths.hpp"
#include "support/temp_folder.hpp"
#include "voduvetools/tool_catalogue.hpp"

namespace corvel {
namespace {

namespace fs = std::filesystem;

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

class InstallTest : public testing::TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        prefix = root / "prefix with space";
        const std::string command = quoted(CORVEL_CMAKE_COMMAND) + " --install " + quoted(CORVEL_BUILD_DIR) +
                                    " --prefix " + quoted(prefix) + " > " + quoted(root / "install.log") + " 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::set<std::string> installedFiles() const {
        std::set<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(prefix)) {
            if (!entry.is_directory()) files.insert(fs::relative(entry.path(), prefix).generic_string());
        }
        return files;
    }

    fs::path prefix;
};

TEST_F(InstallTest, PutsTheProgramItsResourcesTheDesktopEntryAndTheIconsAndNothingElse) {
    std::set<std::string> expected{
        "bin/orvanta-voduve-corvel",
        "share/orvanta-voduve-corvel/resources/Orvanta_Cuewarden.lua",
        "share/orvanta-voduve-corvel/resources/Orvanta_ItemNotesToVideo.lua",
        "share/orvanta-voduve-corvel/resources/voduve_CuewardenStop.so",
        "share/applications/orvanta-voduve-corvel.desktop",
    };
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        const std::string side = std::to_string(size);
        expected.insert("share/icons/hicolor/" + side + "x" + side + "/apps/orvanta-voduve-corvel.png");
    }
    EXPECT_EQ(installedFiles(), expected);
    const auto permissions = fs::status(prefix / "bin/orvanta-voduve-corvel").permissions();
    EXPECT_NE(permissions & fs::perms::owner_exec, fs::perms::none);
}

TEST_F(InstallTest, TheInstalledProgramFindsEveryResourceTheCatalogueNames) {
    const fs::path resources = platform::applicationResourcesFolder(prefix / "bin");
    ASSERT_TRUE(fs::is_directory(resources)) << resources;
    for (const auto& tool : voduvetools::ToolComponent::catalog()) {
        if (!tool.scriptResourceName) continue;
        EXPECT_TRUE(fs::is_regular_file(resources / *tool.scriptResourceName)) << *tool.scriptResourceName;
    }
    const fs::path extension = resources / voduvetools::kCuewardenExtensionFileName;
    ASSERT_TRUE(fs::is_regular_file(extension));
    const fs::path built = fs::path(CORVEL_BUILD_DIR) / "bin" / "resources" / voduvetools::kCuewardenExtensionFileName;
    EXPECT_EQ(sha256HexOfFile(extension), sha256HexOfFile(built));
}

TEST_F(InstallTest, TheDesktopEntryIsValid) {
    const fs::path entry = prefix / "share/applications/orvanta-voduve-corvel.desktop";
    const std::string command = "desktop-file-validate " + quoted(entry) + " > " + quoted(root / "validate.log") + " 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream log(root / "validate.log");
    const std::string output((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "");  // no hints or warnings either
}

}  // namespace
}  // namespace corvel
