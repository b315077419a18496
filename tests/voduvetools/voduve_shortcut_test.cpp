#include "voduvetools/voduve_shortcut.hpp"

#include <unordered_set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/error.hpp"

namespace corvel::voduvetools {
namespace {

using Modifier = VoduveShortcut::Modifier;

TEST(VoduveShortcut, LetterAndModifiersGiveCodeLabelDisplayAndModifierValue) {
    const auto shiftCommandR = VoduveShortcut::fromLetter("r", {Modifier::shift, Modifier::command});
    ASSERT_TRUE(shiftCommandR);
    EXPECT_EQ(shiftCommandR->keyCode, 82);
    EXPECT_EQ(shiftCommandR->keyLabel, "R");
    EXPECT_EQ(shiftCommandR->displayText(), "Ctrl+Shift+R");
    EXPECT_EQ(shiftCommandR->modifierCode(), 13);

    const auto all = VoduveShortcut::fromLetter(
        "v", {Modifier::command, Modifier::shift, Modifier::option, Modifier::control});
    ASSERT_TRUE(all);
    EXPECT_EQ(all->displayText(), "Ctrl+Alt+Shift+Meta+V");
    EXPECT_EQ(all->modifierCode(), 61);

    const auto plain = VoduveShortcut::fromLetter("A", {});
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->displayText(), "A");
    EXPECT_EQ(plain->modifierCode(), 1);

    // Only the first character counts.
    EXPECT_EQ(VoduveShortcut::fromLetter("zebra", {})->keyCode, 90);
}

TEST(VoduveShortcut, OnlyTheLettersAToZMakeAShortcut) {
    for (const char* letter : {"1", " ", "", "Ä", "ä", "ß", "@", "[", "`", "{"}) {
        EXPECT_FALSE(VoduveShortcut::fromLetter(letter, {Modifier::command})) << letter;
    }
}

TEST(VoduveShortcut, ABindingLinesCodesGiveBackTheShortcutWhereTheyCan) {
    for (const auto& modifiers : std::vector<VoduveShortcut::ModifierSet>{
             {}, {Modifier::shift, Modifier::command}, {Modifier::command, Modifier::option},
             {Modifier::shift, Modifier::command, Modifier::option, Modifier::control}}) {
        const auto shortcut = *VoduveShortcut::fromLetter("K", modifiers);
        EXPECT_EQ(VoduveShortcut::fromKeymapCodes(shortcut.modifierCode(), shortcut.keyCode), shortcut)
            << shortcut.displayText();
    }
    // Bits no modifier has, an even value, no value, and keys that are no letter A to Z.
    for (const auto& [modifierCode, keyCode] : std::vector<std::pair<std::int64_t, std::int64_t>>{
             {65, 75}, {3, 75}, {14, 75}, {0, 75}, {-7, 75}, {13, 97}, {13, 48}, {13, 112}, {13, 91}}) {
        EXPECT_EQ(VoduveShortcut::fromKeymapCodes(modifierCode, keyCode), std::nullopt) << modifierCode << " " << keyCode;
    }
}

TEST(VoduveShortcut, JsonRoundTripIgnoresModifierOrder) {
    const auto shortcut = *VoduveShortcut::fromLetter("r", {Modifier::shift, Modifier::command});
    const nlohmann::json encoded = shortcut;
    EXPECT_EQ(encoded.at("keyCode"), 82);
    EXPECT_EQ(encoded.at("keyLabel"), "R");

    for (const char* text : {R"({"modifiers":["shift","command"],"keyCode":82,"keyLabel":"R"})",
                             R"({"keyLabel":"R","modifiers":["command","shift"],"keyCode":82})"}) {
        const auto decoded = nlohmann::json::parse(text).get<VoduveShortcut>();
        EXPECT_EQ(decoded, shortcut) << text;
        EXPECT_EQ(std::hash<VoduveShortcut>{}(decoded), std::hash<VoduveShortcut>{}(shortcut));
    }
    EXPECT_EQ(nlohmann::json(shortcut).get<VoduveShortcut>(), shortcut);
}

TEST(VoduveShortcut, DecodingRejectsWrongTypesAndUnknownModifiers) {
    for (const char* text : {
             R"({"modifiers":["hyper"],"keyCode":82,"keyLabel":"R"})",
             R"({"modifiers":"shift","keyCode":82,"keyLabel":"R"})",
             R"({"modifiers":[],"keyCode":82.5,"keyLabel":"R"})",
             R"({"modifiers":[],"keyCode":true,"keyLabel":"R"})",
             R"({"modifiers":[],"keyCode":"82","keyLabel":"R"})",
             R"({"modifiers":[],"keyLabel":"R"})",
             R"({"modifiers":[],"keyCode":18446744073709551615,"keyLabel":"R"})",
             R"([1,2])",
         }) {
        EXPECT_THROW(nlohmann::json::parse(text).get<VoduveShortcut>(), ErrorException) << text;
    }
}

TEST(VoduveShortcut, EqualShortcutsHashAlikeAndDifferentOnesDiffer) {
    const auto a = *VoduveShortcut::fromLetter("R", {Modifier::shift, Modifier::command});
    const auto b = *VoduveShortcut::fromLetter("r", {Modifier::command, Modifier::shift});
    const auto c = *VoduveShortcut::fromLetter("R", {Modifier::shift});
    std::unordered_set<VoduveShortcut> set{a, b, c};
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(set.size(), 2u);
}

}  // namespace
}  // namespace corvel::voduvetools
