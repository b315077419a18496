#include "voduvetools/install_manifest.hpp"

#include <fstream>
#include <functional>
#include <map>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/temp_folder.hpp"

#include "common/atomic_file.hpp"
#include "common/error.hpp"

namespace corvel::voduvetools {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono;

const sys_seconds kInstalledAt = sys_days{year{2026} / 3 / 1} + hours{18} + minutes{4} + seconds{5};

InstalledFileRecord fileRecord(const std::string& tool, const std::string& name) {
    return {tool, name, "/home/ann/.config/VODUVE/Scripts/Orvanta Corvel/" + name, std::string(64, 'a'),
            std::string(64, 'a'), false, true};
}

InstallManifest sampleManifest() {
    InstallManifest manifest;
    manifest.appVersion = "0.1.0";
    manifest.voduveResourcePath = "/home/ann/.config/VODUVE";
    manifest.installedAt = kInstalledAt;
    manifest.files = {fileRecord("cuewarden", "Orvanta_Cuewarden.lua"),
                      fileRecord("itemNotesVideo", "Orvanta_ItemNotesToVideo.lua")};
    manifest.actions = {
        {"cuewarden", "_RS9e6552a898cec51c2bf0f00ba021f27806f30171", "Orvanta Corvel/Orvanta_Cuewarden.lua", "⇧⌘R",
         13, 82},
        {"itemNotesVideo", "_RSb07f1a73447370286fe9143cb9c1a48646133742",
         "Orvanta Corvel/Orvanta_ItemNotesToVideo.lua", std::nullopt, std::nullopt, std::nullopt},
    };
    return manifest;
}

// The sample manifest's JSON after an edit, decoded again.
std::optional<InstallManifest> decodedAfter(const std::function<void(json&)>& edit) {
    auto document = json::parse(sampleManifest().encoded());
    edit(document);
    return InstallManifest::decoded(document.dump());
}

std::vector<std::string> keysInFileOrder(const std::string& text, const std::vector<std::string>& keys) {
    std::map<std::size_t, std::string> byPosition;
    for (const auto& key : keys) byPosition[text.find("\"" + key + "\"")] = key;
    std::vector<std::string> ordered;
    for (const auto& [position, key] : byPosition) ordered.push_back(key);
    return ordered;
}

TEST(InstallManifest, EncodesAndDecodesToTheSameManifest) {
    const auto manifest = sampleManifest();
    EXPECT_EQ(manifest.product, "Orvanta VODUVE Corvel");
    EXPECT_EQ(manifest.schemaVersion, 1);
    EXPECT_EQ(InstallManifest::decoded(manifest.encoded()), manifest);
    EXPECT_EQ(std::hash<InstallManifest>{}(*InstallManifest::decoded(manifest.encoded())),
              std::hash<InstallManifest>{}(manifest));

    InstallManifest empty = manifest;
    empty.files.clear();
    empty.actions.clear();
    const auto document = json::parse(empty.encoded());
    EXPECT_EQ(document["files"], json::array());
    EXPECT_EQ(document["actions"], json::array());
    EXPECT_EQ(InstallManifest::decoded(empty.encoded()), empty);
}

TEST(InstallManifest, WritesSortedKeysAnIsoDateAndNoAbsentShortcut) {
    const auto text = sampleManifest().encoded();
    EXPECT_EQ(keysInFileOrder(text, {"product", "schemaVersion", "appVersion", "voduveResourcePath", "installedAt",
                                     "files", "actions"}),
              (std::vector<std::string>{"actions", "appVersion", "files", "installedAt", "product", "schemaVersion",
                                        "voduveResourcePath"}));
    const auto firstFile = text.substr(text.find("\"destinationPath\""));
    EXPECT_EQ(keysInFileOrder(firstFile, {"toolID", "sourceFileName", "destinationPath", "sourceSHA256",
                                          "installedSHA256", "preExisting", "ownedByInstaller"}),
              (std::vector<std::string>{"destinationPath", "installedSHA256", "ownedByInstaller", "preExisting",
                                        "sourceFileName", "sourceSHA256", "toolID"}));

    const auto document = json::parse(text);
    EXPECT_EQ(document["installedAt"], "2026-03-01T18:04:05Z");
    EXPECT_EQ(document["actions"][0]["shortcutDisplay"], "⇧⌘R");
    EXPECT_EQ(document["actions"][0]["modifierCode"], 13);
    EXPECT_EQ(document["actions"][0]["keyCode"], 82);
    const auto& withoutShortcut = document["actions"][1];
    for (const char* key : {"shortcutDisplay", "modifierCode", "keyCode"}) {
        EXPECT_FALSE(withoutShortcut.contains(key)) << key;
    }
}

TEST(InstallManifest, DecodesOtherVersionsExtraKeysAndAbsentShortcuts) {
    const auto decoded = decodedAfter([](json& document) {
        document["schemaVersion"] = 2;
        document["product"] = "Something else";
        document["comment"] = "from a later version";
        document["files"][0]["size"] = 120;
        auto& action = document["actions"][0];
        action.erase("shortcutDisplay");
        action["modifierCode"] = nullptr;
        action["extra"] = true;
    });
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->schemaVersion, 2);
    EXPECT_EQ(decoded->product, "Something else");
    const auto& action = decoded->actions[0];
    EXPECT_FALSE(action.shortcutDisplay.has_value());
    EXPECT_FALSE(action.modifierCode.has_value());
    EXPECT_EQ(action.keyCode, 82);
    EXPECT_EQ(decoded->files[0], sampleManifest().files[0]);
}

TEST(InstallManifest, RefusesMissingKeysWrongTypesAndOtherDates) {
    const std::vector<std::pair<const char*, std::function<void(json&)>>> cases = {
        {"date without zone", [](json& d) { d["installedAt"] = "2026-03-01T18:04:05"; }},
        {"date as a number", [](json& d) { d["installedAt"] = 1772388245; }},
        {"no resource path", [](json& d) { d.erase("voduveResourcePath"); }},
        {"no app version", [](json& d) { d.erase("appVersion"); }},
        {"null product", [](json& d) { d["product"] = nullptr; }},
        {"schema version as text", [](json& d) { d["schemaVersion"] = "1"; }},
        {"schema version as a fraction", [](json& d) { d["schemaVersion"] = 1.0; }},
        {"schema version too large", [](json& d) { d["schemaVersion"] = 18446744073709551615ULL; }},
        {"files not a list", [](json& d) { d["files"] = json::object(); }},
        {"no actions", [](json& d) { d.erase("actions"); }},
        {"file without ownership", [](json& d) { d["files"][1].erase("ownedByInstaller"); }},
        {"file flag as a number", [](json& d) { d["files"][0]["preExisting"] = 0; }},
        {"file record not an object", [](json& d) { d["files"][0] = "Orvanta_Cuewarden.lua"; }},
        {"action without command", [](json& d) { d["actions"][0].erase("commandID"); }},
        {"key code as text", [](json& d) { d["actions"][0]["keyCode"] = "82"; }},
        {"modifier value as a fraction", [](json& d) { d["actions"][0]["modifierCode"] = 13.5; }},
        {"display text as a number", [](json& d) { d["actions"][0]["shortcutDisplay"] = 13; }},
    };
    for (const auto& [name, edit] : cases) EXPECT_FALSE(decodedAfter(edit).has_value()) << name;
    for (const char* text : {"", "{", "[]", "null", "\"manifest\""}) {
        EXPECT_FALSE(InstallManifest::decoded(text).has_value()) << text;
    }
}

using ManifestFile = corvel::testing::TempFolderTest;

TEST_F(ManifestFile, ReadsNothingFromAMissingOrBrokenFile) {
    const auto file = root / "install-manifest.json";
    EXPECT_FALSE(InstallManifest::read(file).has_value());
    std::ofstream(file) << "{\"product\": ";
    EXPECT_FALSE(InstallManifest::read(file).has_value());
    EXPECT_FALSE(InstallManifest::read(root).has_value());
}

TEST_F(ManifestFile, EachWriteReplacesTheWholeManifest) {
    const auto file = root / "install-manifest.json";
    sampleManifest().write(file);
    EXPECT_EQ(InstallManifest::read(file), sampleManifest());

    auto later = sampleManifest();
    later.files.erase(later.files.begin());
    later.actions.erase(later.actions.begin());
    later.write(file);
    EXPECT_EQ(InstallManifest::read(file), later);
}

TEST_F(ManifestFile, AFailedWriteKeepsThePreviousManifest) {
    const auto file = root / "install-manifest.json";
    sampleManifest().write(file);

    auto unwritable = sampleManifest();
    unwritable.voduveResourcePath = "/home/ann/\xff\xfe";
    EXPECT_THROW(unwritable.write(file), ErrorException);
    EXPECT_THROW(sampleManifest().write(root / "missing" / "install-manifest.json"), ErrorException);

    EXPECT_EQ(InstallManifest::read(file), sampleManifest());
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(root)) ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(InstallManifestLocation, LiesInTheApplicationDataFolder) {
    const platform::UserFolders folders([](const std::string& name) -> std::optional<std::string> {
        if (name == "HOME") return "/home/ann";
        return std::nullopt;
    });
    EXPECT_EQ(InstallManifest::defaultLocation(folders),
              "/home/ann/.local/share/Orvanta VODUVE Corvel/install-manifest.json");
}

}  // namespace
}  // namespace corvel::voduvetools
