#include "platform/paths.hpp"

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "support/temp_folder.hpp"

namespace corvel::platform {
namespace {

EnvironmentLookup fakeEnvironment(std::map<std::string, std::string> values) {
    return [values](const std::string& name) -> std::optional<std::string> {
        auto it = values.find(name);
        if (it == values.end()) return std::nullopt;
        return it->second;
    };
}

TEST(UserFolders, FallsBackToTheHomeFolder) {
    const UserFolders folders(fakeEnvironment({{"HOME", "/home/ann"}}));
    EXPECT_EQ(folders.applicationSupport(), "/home/ann/.local/share/Orvanta VODUVE Corvel");
    EXPECT_EQ(folders.caches(), "/home/ann/.cache");
    EXPECT_EQ(folders.defaultVoduveResourceFolder(), "/home/ann/.config/VODUVE");
}

TEST(UserFolders, HonoursAbsoluteXdgFoldersOnly) {
    const UserFolders folders(fakeEnvironment({{"HOME", "/home/ann"},
                                               {"XDG_DATA_HOME", "/data"},
                                               {"XDG_CACHE_HOME", "relative/cache"},
                                               {"XDG_CONFIG_HOME", ""}}));
    EXPECT_EQ(folders.applicationSupport(), "/data/Orvanta VODUVE Corvel");
    EXPECT_EQ(folders.caches(), "/home/ann/.cache");
    EXPECT_EQ(folders.defaultVoduveResourceFolder(), "/home/ann/.config/VODUVE");
}

using ResourcesFolder = corvel::testing::TempFolderTest;

TEST_F(ResourcesFolder, PrefersTheFolderBesideTheProgramOverTheInstalledShare) {
    const auto bin = root / "bin";
    const auto share = root / "share" / "orvanta-voduve-corvel" / "resources";
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(share);
    EXPECT_EQ(std::filesystem::weakly_canonical(applicationResourcesFolder(bin)),
              std::filesystem::weakly_canonical(share));

    std::filesystem::create_directories(bin / "resources");
    EXPECT_EQ(applicationResourcesFolder(bin), bin / "resources");
}

TEST(ExecutableFolder, IsTheFolderOfThisTestProgram) {
    EXPECT_TRUE(std::filesystem::exists(executableFolder() / "corvel_platform_tests"));
}

}  // namespace
}  // namespace corvel::platform
