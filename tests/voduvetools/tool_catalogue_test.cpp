#include "voduvetools/tool_catalogue.hpp"

#include <gtest/gtest.h>

#include "voduvetools/resource_installer.hpp"

namespace corvel::voduvetools {
namespace {

using Kind = ToolComponent::Kind;
using Modifier = VoduveShortcut::Modifier;

bool isScriptCommandID(const std::string& id) {
    if (id.size() != 43 || id.rfind("_RS", 0) != 0) return false;
    for (std::size_t i = 3; i < id.size(); ++i) {
        const char c = id[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

TEST(ToolCatalogue, ListsTheThreeToolsInOrder) {
    const auto& catalog = ToolComponent::catalog();
    ASSERT_EQ(catalog.size(), 3u);
    EXPECT_EQ(catalog[0].id, Kind::cuewarden);
    EXPECT_EQ(catalog[1].id, Kind::itemNotesVideo);
    EXPECT_EQ(catalog[2].id, Kind::beatloom);
    EXPECT_EQ(catalog[1].displayName, "Razo Zerur \xE2\x86\x92 Ozovi");
    EXPECT_EQ(catalog[1].actionDescription, "Custom: Orvanta VODUVE Corvel - Item Notes to Video");
    EXPECT_EQ(catalog[2].summary, "Analyze audio tempo directly in the app. No VODUVE required.");
}

TEST(ToolCatalogue, OnlyTheVoduveToolsCarryScriptsActionsAndShortcuts) {
    for (const auto& tool : ToolComponent::catalog()) {
        SCOPED_TRACE(std::string(rawValue(tool.id)));
        const bool inVoduve = tool.integration == ToolComponent::Integration::voduve;
        EXPECT_EQ(inVoduve, tool.id != Kind::beatloom);
        EXPECT_EQ(tool.scriptResourceName.has_value(), inVoduve);
        EXPECT_EQ(tool.scriptInstallFileName, tool.scriptResourceName);
        EXPECT_EQ(tool.actionDescription.has_value(), inVoduve);
        EXPECT_EQ(tool.defaultShortcut.has_value(), inVoduve);
        EXPECT_EQ(tool.commandID.has_value() && isScriptCommandID(*tool.commandID), inVoduve);
        EXPECT_EQ(tool.needsCuewardenPlugin, tool.id == Kind::cuewarden);
    }
    const auto& cuewarden = *ToolComponent::find(Kind::cuewarden);
    EXPECT_EQ(cuewarden.defaultShortcut->displayText(), "Ctrl+Shift+R");
    EXPECT_EQ(cuewarden.defaultShortcut->keyCode, 82);
    EXPECT_EQ(ToolComponent::find(Kind::itemNotesVideo)->defaultShortcut,
              VoduveShortcut::fromLetter("V", {Modifier::shift, Modifier::command}));
}

TEST(ToolCatalogue, SelectionsOfTheCatalogue) {
    const auto& voduveTools = ToolComponent::voduveTools();
    ASSERT_EQ(voduveTools.size(), 2u);
    EXPECT_EQ(voduveTools[0], ToolComponent::catalog()[0]);
    EXPECT_EQ(voduveTools[1], ToolComponent::catalog()[1]);
    EXPECT_EQ(ToolComponent::beatloomTool().displayName, "Beatloom");
    EXPECT_EQ(&ToolComponent::beatloomTool(), ToolComponent::find(Kind::beatloom));
}

TEST(ToolCatalogue, KindsConvertToAndFromTheirRawValues) {
    for (auto kind : kAllToolKinds) EXPECT_EQ(toolKindFromRawValue(rawValue(kind)), kind);
    EXPECT_EQ(toolKindFromRawValue("itemNotesVideo"), Kind::itemNotesVideo);
    for (const char* raw : {"", "Cuewarden", "itemnotesvideo", "beatloom "}) {
        EXPECT_FALSE(toolKindFromRawValue(raw).has_value()) << raw;
    }
}

TEST(ToolCatalogue, TheApplicationCarriesEveryScript) {
    const ResourceInstaller installer;
    for (const auto& tool : ToolComponent::voduveTools()) {
        EXPECT_TRUE(installer.resourceURL(*tool.scriptResourceName).has_value()) << *tool.scriptResourceName;
    }
}

}  // namespace
}  // namespace corvel::voduvetools
