// `cmake --install --strip` of this build into a fresh prefix, as the README installs it,
// checked from the installed side: the layout, the program's own resource lookup from the
// installed bin folder, the extension's bytes, the stripped program and the desktop entry.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "common/app_version.hpp"
#include "common/sha256.hpp"
#include "platform/paths.hpp"
#include "support/temp_folder.hpp"
#include "voduvetools/tool_catalogue.hpp"

namespace corvel {
namespace {

namespace fs = std::filesystem;

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

std::string fileText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The section names of a 64-bit little-endian ELF file; empty for anything else.
std::set<std::string> elfSectionNames(const fs::path& file) {
    const std::string bytes = fileText(file);
    const auto read = [&bytes](std::size_t at, std::size_t size) -> std::uint64_t {
        if (at + size > bytes.size()) return 0;
        std::uint64_t value = 0;
        for (std::size_t i = size; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    if (bytes.compare(0, 4, "\x7f" "ELF") != 0 || read(4, 1) != 2 || read(5, 1) != 1) return {};
    const std::uint64_t table = read(0x28, 8);
    const std::uint64_t entrySize = read(0x3a, 2);
    const std::uint64_t count = read(0x3c, 2);
    const std::uint64_t namesEntry = table + entrySize * read(0x3e, 2);
    const std::uint64_t names = read(namesEntry + 0x18, 8);
    std::set<std::string> sections;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t name = names + read(table + entrySize * i, 4);
        if (name < bytes.size()) sections.insert(std::string(bytes.c_str() + name));
    }
    return sections;
}

// The key=value lines of a desktop entry's main group.
std::map<std::string, std::string> desktopEntryKeys(const fs::path& file) {
    std::map<std::string, std::string> keys;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) keys.emplace(line.substr(0, equals), line.substr(equals + 1));
    }
    return keys;
}

class InstallTest : public testing::TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        prefix = root / "prefix with space";
        const std::string command = quoted(CORVEL_CMAKE_COMMAND) + " --install " + quoted(CORVEL_BUILD_DIR) +
                                    " --prefix " + quoted(prefix) + " --strip > " + quoted(root / "install.log") + " 2>&1";
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

TEST_F(InstallTest, TheInstalledProgramIsStrippedAndTheBuiltOneKeepsItsSymbols) {
    const auto installed = elfSectionNames(prefix / "bin/orvanta-voduve-corvel");
    ASSERT_TRUE(installed.contains(".text"));
    EXPECT_FALSE(installed.contains(".symtab"));
    EXPECT_FALSE(installed.contains(".debug_info"));
    EXPECT_TRUE(elfSectionNames(fs::path(CORVEL_BUILD_DIR) / "bin/orvanta-voduve-corvel").contains(".symtab"));
}

TEST_F(InstallTest, TheDesktopEntryNamesTheWindowClassAndTheIconOfTheProgram) {
    const std::string entryName = kDesktopEntryName;
    const auto keys = desktopEntryKeys(prefix / "share/applications" / (entryName + ".desktop"));
    // The program's windows carry this class (the application's name, set at its start).
    EXPECT_EQ(keys.count("StartupWMClass") == 1 ? keys.at("StartupWMClass") : "", entryName);
    EXPECT_EQ(keys.count("Icon") == 1 ? keys.at("Icon") : "", entryName);
    EXPECT_TRUE(fs::is_regular_file(prefix / "share/icons/hicolor/256x256/apps" / (entryName + ".png")));
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
