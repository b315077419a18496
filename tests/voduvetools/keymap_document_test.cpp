#include "voduvetools/keymap_document.hpp"

#include <gtest/gtest.h>

namespace corvel::voduvetools {
namespace {

using Modifier = VoduveShortcut::Modifier;

VoduveShortcut shiftCommand(const char* letter) {
    return *VoduveShortcut::fromLetter(letter, {Modifier::shift, Modifier::command});
}

struct ScriptCase {
    std::string line;
    std::optional<VoduveActionRecord> expected;  // lineIndex 7
};

VoduveActionRecord action(std::string id, std::string description, std::string path) {
    return VoduveActionRecord{7, std::move(id), std::move(description), std::move(path)};
}

TEST(KeymapDocument, ScriptActionLines) {
    const std::vector<ScriptCase> cases = {
        {R"(SCR 4 0 RS1234 "Custom: Tool" "Orvanta Corvel/tool.lua")",
         action("RS1234", "Custom: Tool", "Orvanta Corvel/tool.lua")},
        // Tabs and other Unicode blanks separate fields after the keyword...
        {"SCR 4\t0\tX\t\"d\"\t\"p\"", action("X", "d", "p")},
        {"SCR 4 0 X \"d\"\u2003\"p\"", action("X", "d", "p")},
        // ...but the keyword must be followed by one plain blank, and be upper case.
        {"SCR\t4 0 X \"d\" \"p\"", std::nullopt},
        {R"(scr 4 0 X "d" "p")", std::nullopt},
        // Missing fields.
        {R"(SCR 4 0 X "d")", std::nullopt},
        {R"(SCR 4 0 "d" "p")", std::nullopt},
        {R"(SCR 4 X "d" "p")", std::nullopt},
        {"SCR 4 0 X \"d\" ", action("X", "d", "")},
        // Quoted identifiers lose their quotes; an empty pair is taken as written.
        {R"(SCR 4 0 "_RS 12" "Desc" "p")", action("_RS 12", "Desc", "p")},
        {R"(SCR 4 0 "" "Desc" "p")", action(R"("")", "Desc", "p")},
        // A backslash does not escape a quote when reading.
        {R"(SCR 4 0 X "a \"b\"" "p")", std::nullopt},
        {R"(SCR 4 0 X "d" "a \"b\" c")", action("X", "d", R"("a \"b\" c")")},
        // Unquoted or trailing text: the rest of the line is the path, trimmed.
        {R"(SCR 4 0 X "d" "p" extra)", action("X", "d", R"("p" extra)")},
        {"SCR 4 0 X \"d\"   some/path.lua \t ", action("X", "d", "some/path.lua")},
        {R"(SCR 4 0 X "" "")", action("X", "", "")},
        // A line terminator character ends the line only at its very end.
        {"SCR 4 0 X \"d\" \"p\"\u2028", action("X", "d", "p")},
        {"SCR 4 0 X \"d\" a\u2028b", std::nullopt},
        {"SCR 4 0 X \"d\" a\vb", std::nullopt},
        {"SCR 4 0 X \"d\" a\u0085", action("X", "d", "a")},
        // Bytes that are not UTF-8 are carried along.
        {"SCR 4 0 X\xff \"d\xfe\" \"p\xff\"", action("X\xff", "d\xfe", "p\xff")},
        {R"(KEY 13 82 _X 0)", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VoduveKeymapDocument::parseScriptLine(c.line, 7), c.expected) << c.line;
    }
}

struct KeyCase {
    std::string line;
    std::optional<VoduveKeyRecord> expected;
};

VoduveKeyRecord key(std::int64_t modifiers, std::int64_t code, std::string id, std::int64_t section,
                    std::optional<std::string> comment) {
    return VoduveKeyRecord{3, modifiers, code, std::move(id), section, std::move(comment)};
}

TEST(KeymapDocument, KeyBindingLines) {
    const std::vector<KeyCase> cases = {
        {"KEY 13 82 _RS1234 0\t\t # Main : ⇧⌘R : Custom: Tool",
         key(13, 82, "_RS1234", 0, "Main : ⇧⌘R : Custom: Tool")},
        {"KEY\t13\t82\t_X\t0", std::nullopt},  // the keyword needs a blank
        {"KEY 13\t82 \t _X\t0", key(13, 82, "_X", 0, std::nullopt)},
        {"KEY 13 82 _X", std::nullopt},
        {"KEY 13 R _X 0", std::nullopt},
        {"key 13 82 _X 0", std::nullopt},
        {"KEY +13 -82 _X -0", key(13, -82, "_X", 0, std::nullopt)},
        {"KEY ++13 82 _X 0", std::nullopt},
        {"KEY 13 82 _X 0x1", std::nullopt},
        {"KEY -9223372036854775808 82 _X 9223372036854775807",
         key(INT64_MIN, 82, "_X", INT64_MAX, std::nullopt)},
        {"KEY 13 82 _X 9223372036854775808", std::nullopt},
        {"KEY 13 82 _X 3\u00A0", std::nullopt},  // only blanks and tabs separate fields
        {"KEY 13 82 _X 0 more fields # c # d", key(13, 82, "_X", 0, "c # d")},
        {"KEY 13 82 _X 0#", key(13, 82, "_X", 0, "")},
        {"KEY 13 82 # _X 0", std::nullopt},
        {"SCR 4 0 X \"d\" \"p\"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VoduveKeymapDocument::parseKeyLine(c.line, 3), c.expected) << c.line;
    }
}

TEST(KeymapDocument, DescriptionFromComment) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"Main : ⇧⌘R : Custom: Tool", "Custom: Tool"},
        {"Main : ⇧⌘R : A : B", "A : B"},
        {"Main : ⇧⌘R : \tX\t", "X"},
        {"Main : ⇧⌘R :  ", std::nullopt},
        {"Main : ⇧⌘R", std::nullopt},
        {"Main:⇧⌘R:Tool", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [comment, expected] : cases) {
        EXPECT_EQ(VoduveKeymapDocument::descriptionFromComment(comment), expected) << comment;
    }
}

TEST(KeymapDocument, ParseSplitsLinesAndRemembersTheEndingStyle) {
    const auto crlf = VoduveKeymapDocument::parse("a\r\nb\rc\nSCR 4 0 X \"d\" \"p\"\r\n");
    EXPECT_EQ(crlf.newline, "\r\n");
    EXPECT_TRUE(crlf.hadTrailingNewline);
    EXPECT_EQ(crlf.lines, (std::vector<std::string>{"a", "b", "c", "SCR 4 0 X \"d\" \"p\""}));
    ASSERT_EQ(crlf.actions.size(), 1u);
    EXPECT_EQ(crlf.actions[0].lineIndex, 3u);

    const auto lf = VoduveKeymapDocument::parse("a\rb\n\n");
    EXPECT_EQ(lf.newline, "\n");
    EXPECT_EQ(lf.lines, (std::vector<std::string>{"a", "b", ""}));

    const auto empty = VoduveKeymapDocument::parse("");
    EXPECT_FALSE(empty.hadTrailingNewline);
    EXPECT_EQ(empty.lines, std::vector<std::string>{""});
}

TEST(KeymapDocument, WrittenLines) {
    EXPECT_EQ(VoduveKeymapDocument::keyLine("RS1234", "Custom: Tool", shiftCommand("r")),
              "KEY 13 82 _RS1234 0\t\t # Main : Ctrl+Shift+R : Custom: Tool");
    EXPECT_EQ(VoduveKeymapDocument::keyLine("_RS1234", "T", *VoduveShortcut::fromLetter("a", {})),
              "KEY 1 65 _RS1234 0\t\t # Main : A : T");
    EXPECT_EQ(VoduveKeymapDocument::scriptLine("_RS1", R"(say "hi" \ now)", R"(a\b "c".lua)"),
              R"(SCR 4 0 RS1 "say \"hi\" \\ now" "a\\b \"c\".lua")");
    EXPECT_EQ(VoduveKeymapDocument::scriptLine("__RS1", "d", "p"), R"(SCR 4 0 _RS1 "d" "p")");
}

const std::string kToolLine = R"(SCR 4 0 RS1 "New" "Orvanta Corvel/tool.lua")";
const std::string kToolKey = "KEY 13 82 _RS1 0\t\t # Main : Ctrl+Shift+R : New";

std::string upsertTool(const std::string& text, std::optional<VoduveShortcut> shortcut = shiftCommand("R"),
                       bool replace = false) {
    return VoduveKeymapDocument::parse(text).upsert("RS1", "New", "Orvanta Corvel/tool.lua", shortcut, replace);
}

TEST(KeymapDocument, UpsertKeepsForeignLinesAndTheLineEndingStyle) {
    // CRLF file: old entries of the tool go, a lone CR or LF becomes a CRLF line end,
    // trailing empty lines collapse and the tool's lines come last.
    const std::string crlf =
        "// header \xff\r\n"
        "ACT 0 0 \"x\" \"y\"  \r\n"
        "SCR 4 0 _RS1 \"Old\" \"Orvanta Corvel/old.lua\"\r\n"
        "SCR 4 0 OTHER \"Other\" \"Orvanta Corvel/tool.lua\"\r\n"  // same script, other id
        "KEY 13 69 RS1 0\r\n"
        "KEY 13 82 _RS1 1 # other section\r\n"
        "weird\rline\n  \r\n\r\n\r\n";
    EXPECT_EQ(upsertTool(crlf),
              "// header \xff\r\nACT 0 0 \"x\" \"y\"  \r\nweird\r\nline\r\n  \r\n" + kToolLine + "\r\n" + kToolKey +
                  "\r\n");

    // LF file without a final line end.
    EXPECT_EQ(upsertTool("a\n\tb", std::nullopt), "a\n\tb\n" + kToolLine + "\n");
    // Empty file.
    EXPECT_EQ(upsertTool(""), kToolLine + "\n" + kToolKey + "\n");
    EXPECT_EQ(upsertTool("", std::nullopt), kToolLine + "\n");
}

TEST(KeymapDocument, UpsertIsIdempotent) {
    for (const std::string original : {"", "x\r\ny", "SCR 4 0 RS1 \"Old\" \"old.lua\"\nKEY 1 65 RS1 0\n"}) {
        for (const auto& shortcut : {std::optional<VoduveShortcut>(shiftCommand("R")), std::optional<VoduveShortcut>()}) {
            const auto once = upsertTool(original, shortcut);
            EXPECT_EQ(upsertTool(once, shortcut), once) << original;
        }
    }
    // Already registered in the original text: returned byte for byte, odd endings included.
    const std::string registered = "x\r" + kToolLine + "\r\n" + kToolKey;
    EXPECT_EQ(upsertTool(registered), registered);
    // A second binding of the same action, or a binding when none is wanted, is rewritten.
    EXPECT_EQ(upsertTool(registered, std::nullopt), "x\r\n" + kToolLine + "\r\n");
    EXPECT_EQ(upsertTool(registered + "\r\nKEY 1 65 RS1 0"), "x\r\n" + kToolLine + "\r\n" + kToolKey + "\r\n");
}

TEST(KeymapDocument, ConflictsFailUnlessReplaced) {
    const std::string text =
        "KEY 13 82 _OTHER 0 # Main : ⇧⌘R : Other\n"
        "KEY 13 82 _THIRD 1\n"  // another section
        "KEY 13 82 RS1 0\n";    // the tool itself, written without underscore
    try {
        upsertTool(text);
        FAIL() << "expected a conflict";
    } catch (const VoduveKeymapError& error) {
        EXPECT_EQ(error.kind(), VoduveKeymapError::Kind::shortcutConflict);
        EXPECT_EQ(error.error().message, "The selected shortcut is already assigned in VODUVE.");
        ASSERT_EQ(error.conflicts().size(), 1u);
        EXPECT_EQ(error.conflicts()[0].commandID, "_OTHER");
        EXPECT_EQ(error.conflicts()[0].lineIndex, 0u);
    }
    EXPECT_EQ(upsertTool(text, shiftCommand("R"), true), "KEY 13 82 _THIRD 1\n" + kToolLine + "\n" + kToolKey + "\n");

    const auto document = VoduveKeymapDocument::parse(text);
    const auto shortcut = shiftCommand("R");
    EXPECT_EQ(document.conflictingKeys(shortcut, 82, 0, std::nullopt).size(), 2u);
    EXPECT_EQ(document.conflictingKeys(shortcut, 82, 0, std::string("_RS1")).size(), 1u);
    EXPECT_EQ(document.conflictingKeys(shortcut, 82, 1, std::string("RS1")).size(), 1u);
    EXPECT_TRUE(document.conflictingKeys(shortcut, 69, 0, std::nullopt).empty());
}

TEST(KeymapDocument, KeyBindingMatches) {
    const auto shortcut = shiftCommand("R");
    const VoduveKeyRecord bound{0, 13, 82, "_RS1", 0, std::nullopt};
    auto otherSection = bound;
    otherSection.sectionID = 2;
    EXPECT_TRUE(VoduveKeymapDocument::keyBindingMatches(std::nullopt, {}));
    EXPECT_FALSE(VoduveKeymapDocument::keyBindingMatches(std::nullopt, {bound}));
    EXPECT_TRUE(VoduveKeymapDocument::keyBindingMatches(shortcut, {bound}));
    EXPECT_FALSE(VoduveKeymapDocument::keyBindingMatches(shortcut, {}));
    EXPECT_FALSE(VoduveKeymapDocument::keyBindingMatches(shortcut, {bound, bound}));
    EXPECT_FALSE(VoduveKeymapDocument::keyBindingMatches(shortcut, {otherSection}));
    EXPECT_FALSE(VoduveKeymapDocument::keyBindingMatches(shiftCommand("V"), {bound}));
}

TEST(KeymapDocument, VeryLongLinesParse) {
    constexpr std::size_t kLength = 200'000;
    const std::string longPath(kLength, 'p');
    const auto valid = VoduveKeymapDocument::parseScriptLine("SCR 4 0 X \"d\" " + longPath, 0);
    ASSERT_TRUE(valid);
    EXPECT_EQ(valid->scriptPath, longPath);

    // Shapes that make a backtracking matcher work hard: long runs of blanks, quotes
    // that never close, many quote pairs, blanks before a final terminator.
    std::string quotes;
    while (quotes.size() < kLength) quotes += "\" ";
    const std::vector<std::string> hostile = {
        "SCR " + std::string(kLength, ' '),
        "SCR 4 0 X \"" + std::string(kLength, 'a'),
        "SCR 4 0 " + quotes,
        "SCR 4 0 X \"d\"" + std::string(kLength, ' ') + "\v" + std::string(kLength, ' ') + "x",
        "SCR 4 0 \"X" + std::string(kLength, ' ') + "\" \"d\" \" " + std::string(kLength, 'b'),
    };
    for (const auto& line : hostile) {
        EXPECT_NO_THROW((void)VoduveKeymapDocument::parseScriptLine(line, 0));
    }
    EXPECT_EQ(VoduveKeymapDocument::parseScriptLine(hostile[4], 0)->scriptPath, "\" " + std::string(kLength, 'b'));

    std::string keyLine = "KEY";
    while (keyLine.size() < kLength) keyLine += " 1";
    EXPECT_EQ(VoduveKeymapDocument::parseKeyLine(keyLine, 0)->commandID, "1");
    const auto document = VoduveKeymapDocument::parse(hostile[2] + "\n" + keyLine + "\n");
    EXPECT_EQ(document.lines.size(), 2u);
}

}  // namespace
}  // namespace corvel::voduvetools
