#include "app/diagnostics_snapshot.hpp"
#include "app/diagnostics_view.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QTest>

#include <fstream>

#include <gtest/gtest.h>

#include "common/app_version.hpp"
#include "theme/orvanta_theme.hpp"
#include "support/temp_folder.hpp"
#include "voduvetools/voduve_paths.hpp"

namespace corvel::app {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class DiagnosticsSnapshotTest : public testing::TempFolderTest {
protected:
    DiagnosticsSources sources(std::optional<std::string> version, bool running) const {
        DiagnosticsSources result;
        result.appVersion = [version] { return version; };
        result.operatingSystem = [] { return std::string("Debian GNU/Linux 12 (bookworm)"); };
        result.defaultResourceFolder = [folder = root / "VODUVE"] { return folder; };
        result.voduveRunning = [running] { return running; };
        return result;
    }

    std::string expected(const std::string& version, bool detected, bool running, bool keymap) const {
        const auto flag = [](bool value) { return std::string(value ? "true" : "false"); };
        return "Orvanta VODUVE Corvel Diagnostics\n"
               "App version: " + version + "\n"
               "Linux: Debian GNU/Linux 12 (bookworm)\n"
               "VODUVE resource path: " + (root / "VODUVE").string() + "\n"
               "VODUVE detected: " + flag(detected) + "\n"
               "VODUVE running: " + flag(running) + "\n"
               "Keymap exists: " + flag(keymap);
    }
};

TEST_F(DiagnosticsSnapshotTest, ReportsTheResourceFolderAndKeymapExactly) {
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> prepare;
        bool detected;
        bool keymap;
    };
    const Case cases[] = {
        {"no folder", [](const auto&) {}, false, false},
        {"empty folder", [](const auto& f) { std::filesystem::create_directories(f); }, false, false},
        {"unrelated content",
         [](const auto& f) {
             std::filesystem::create_directories(f / "UserPlugins");
             writeFile(f / "notes.txt", "x");
         },
         false, false},
        {"Scripts only", [](const auto& f) { std::filesystem::create_directories(f / "Scripts"); }, true, false},
        {"keymap only",
         [](const auto& f) {
             std::filesystem::create_directories(f);
             writeFile(f / "voduve-kb.ini", "KEY 1 65 _test 0\n");
         },
         true, true},
        {"folder named like the keymap",
         [](const auto& f) { std::filesystem::create_directories(f / "voduve-kb.ini"); }, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root / "VODUVE");
        c.prepare(root / "VODUVE");
        EXPECT_EQ(DiagnosticsSnapshot::make(sources("0.1.0", false)).text, expected("0.1.0", c.detected, false, c.keymap));
    }
}

TEST_F(DiagnosticsSnapshotTest, MissingOrEmptyVersionReadsUnknownAndRunningIsReported) {
    EXPECT_EQ(DiagnosticsSnapshot::make(sources(std::nullopt, true)).text, expected("unknown", false, true, false));
    EXPECT_EQ(DiagnosticsSnapshot::make(sources(std::string(), true)).text, expected("unknown", false, true, false));
}

TEST(DiagnosticsSystemSnapshotTest, HasSevenLinesWithTheBuildVersionAndDefaultFolder) {
    const std::string text = DiagnosticsSnapshot::make().text;
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    lines.push_back(text.substr(start));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "Orvanta VODUVE Corvel Diagnostics");
    EXPECT_EQ(lines[1], std::string("App version: ") + kApplicationVersion);
    EXPECT_EQ(lines[2].rfind("Linux: ", 0), 0u);
    EXPECT_GT(lines[2].size(), std::string("Linux: ").size());
    EXPECT_EQ(lines[3], "VODUVE resource path: " + voduvetools::VoduvePaths::defaultResourceFolder().string());
}

TEST(OsReleaseTest, ReadsThePrettyNameWithShellQuoting) {
    struct Case {
        const char* name;
        const char* text;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"double quoted", "NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
         "Debian GNU/Linux 12 (bookworm)"},
        {"single quoted", "PRETTY_NAME='Arch Linux'\n", "Arch Linux"},
        {"bare", "PRETTY_NAME=Gentoo\n", "Gentoo"},
        {"escapes", "PRETTY_NAME=\"A \\\"quoted\\\" \\$name\"\n", "A \"quoted\" $name"},
        {"carriage return", "PRETTY_NAME=\"Fedora Linux 39\"\r\n", "Fedora Linux 39"},
        {"last assignment wins", "PRETTY_NAME=\"Old\"\nPRETTY_NAME=\"New\"", "New"},
        {"commented out", "#PRETTY_NAME=\"Hidden\"\nNAME=x\n", std::nullopt},
        {"similar key", "XPRETTY_NAME=\"No\"\n", std::nullopt},
        {"empty value", "PRETTY_NAME=\"\"\n", std::nullopt},
        {"unterminated", "PRETTY_NAME=\"Open end\n", "Open end"},
        {"empty text", "", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(prettyNameFromOsRelease(c.text), c.expected) << c.name;
    }
}

class OperatingSystemDescriptionTest : public testing::TempFolderTest {};

TEST_F(OperatingSystemDescriptionTest, FallsBackFromFileToFileThenToTheKernelThenToUnknown) {
    const auto kernel = []() -> std::optional<std::string> { return std::string("Linux 6.1.0"); };
    const auto noKernel = []() -> std::optional<std::string> { return std::nullopt; };
    const auto missing = root / "missing";
    const auto without = root / "without";
    const auto with = root / "with";
    writeFile(without, "NAME=Debian\n");
    writeFile(with, "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");

    EXPECT_EQ(operatingSystemDescription({missing, with}, kernel), "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(operatingSystemDescription({without, missing}, kernel), "Linux 6.1.0");
    EXPECT_EQ(operatingSystemDescription({missing}, noKernel), "unknown");
    EXPECT_EQ(operatingSystemDescription({}, nullptr), "unknown");
    // A folder in place of the file reads as no file.
    std::filesystem::create_directories(root / "folder");
    EXPECT_EQ(operatingSystemDescription({root / "folder"}, kernel), "Linux 6.1.0");
}

TEST(UnameTest, NamesTheKernel) {
    const auto description = unameDescription();
    ASSERT_TRUE(description.has_value());
    EXPECT_EQ(description->rfind("Linux", 0), 0u);
}

TEST(DiagnosticsViewTest, ShowsCopiesAndRefreshesTheReport) {
    int taken = 0;
    const auto maker = [&taken] {
        ++taken;
        return DiagnosticsSnapshot{"Report " + std::to_string(taken) + "\nsecond line"};
    };
    DiagnosticsView view(DiagnosticsSnapshot{"First report\nline two"}, maker);
    view.resize(1200, 800);
    view.show();
    EXPECT_EQ(view.reportLabel()->text(), QStringLiteral("First report\nline two"));
    EXPECT_EQ(view.copyButton()->text(), QStringLiteral("COPY DIAGNOSTICS"));
    EXPECT_EQ(view.copyButton()->property("systemImage").toString(), QStringLiteral("doc.on.doc"));
    EXPECT_EQ(view.refreshButton()->text(), QStringLiteral("REFRESH"));

    QGuiApplication::clipboard()->setText(QStringLiteral("something else"));
    QTest::mouseClick(view.copyButton(), Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("First report\nline two"));
    EXPECT_EQ(taken, 0);  // copying takes no new snapshot

    QTest::mouseClick(view.refreshButton(), Qt::LeftButton);
    EXPECT_EQ(taken, 1);
    EXPECT_EQ(view.snapshot().text, "Report 1\nsecond line");
    EXPECT_EQ(view.reportLabel()->text(), QStringLiteral("Report 1\nsecond line"));
    view.copyToPasteboard();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("Report 1\nsecond line"));
}

TEST(DiagnosticsViewTest, KeepsWithinItsWidthAndGivesTheReportRoom) {
    DiagnosticsView view(DiagnosticsSnapshot{"x"}, [] { return DiagnosticsSnapshot{"y"}; });
    view.resize(1400, 800);
    view.show();
    QCoreApplication::processEvents();
    const QWidget* column = view.reportLabel();
    while (column->parentWidget() != &view) column = column->parentWidget();
    EXPECT_LE(column->width(), 1020);
    EXPECT_NEAR(column->geometry().center().x(), view.rect().center().x(), 1);
    EXPECT_GE(view.reportLabel()->parentWidget()->parentWidget()->height(), 360);  // the scroll view
}

}  // namespace
}  // namespace corvel::app
