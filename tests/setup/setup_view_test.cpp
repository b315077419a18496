#include "setup/setup_view.hpp"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QTest>

#include <memory>
#include <string>
#include <sys/stat.h>
#include <utility>

#include <gtest/gtest.h>

#include "theme/orvanta_theme.hpp"
#include "voduvetools/setup_fixture.hpp"
#include "setup/setup_widgets.hpp"
#include "setup/tool_card_view.hpp"

namespace corvel::setup {

using voduvetools::ShortcutConflict;
using voduvetools::ToolComponent;
namespace {

namespace fs = std::filesystem;
using theme::OrvantaTheme;
using Modifier = VoduveShortcut::Modifier;

using voduvetools::testing::otherAction;
using voduvetools::testing::shiftCommand;

// The screen over a home folder of its own, the application's resources and a VODUVE that
// runs when the test says so.
class SetupViewTest : public voduvetools::testing::SetupFolders {
protected:
    void makeView() {
        view = std::make_unique<SetupView>([this] { ++beatloomOpened; }, chooser, seams());
        view->resize(1200, 900);
        view->show();
    }

    bool shows(const QWidget* widget) const { return widget->isVisibleTo(view.get()); }
    bool installEnabled() const { return view->installButton()->isEnabled(); }
    ToolCardView& card(std::size_t index) const { return *view->cards().at(index); }
    const ToolInstallViewModel::State& row(std::size_t index) const { return view->model().tools().value().at(index); }
    void click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton); }
    QLabel* labelWithText(const QString& text) const {
        for (QLabel* label : view->findChildren<QLabel*>()) {
            if (label->text() == text) return label;
        }
        return nullptr;
    }

    int beatloomOpened = 0;
    std::unique_ptr<SetupView> view;
};

TEST_F(SetupViewTest, ShowsTheToolsTheFolderAndOneCardPerVoduveTool) {
    makeView();
    const ToolComponent& beatloom = ToolComponent::beatloomTool();
    for (const QString& text : {QStringLiteral("Orvanta"), QStringLiteral("Corvel"), QStringLiteral("STANDALONE TOOL"),
                                QStringLiteral("STANDALONE"), QString::fromStdString(beatloom.displayName),
                                QString::fromStdString(beatloom.summary), QStringLiteral("VODUVE TOOLS")}) {
        EXPECT_NE(labelWithText(text), nullptr) << text.toStdString();
    }
    EXPECT_EQ(view->openBeatloomButton()->text(), QStringLiteral("OPEN BEATLOOM"));
    EXPECT_EQ(view->openBeatloomButton()->property("systemImage").toString(), QStringLiteral("play.fill"));
    EXPECT_EQ(view->chooseFolderButton()->text(), QStringLiteral("CHOOSE FOLDER…"));
    EXPECT_EQ(view->installButton()->text(), QStringLiteral("INSTALL SELECTED VODUVE TOOLS"));
    EXPECT_EQ(view->installButton()->property("systemImage").toString(), QStringLiteral("arrow.down.to.line.compact"));
    EXPECT_GE(view->installButton()->width(), 290);

    ASSERT_EQ(view->cards().size(), 2u);
    EXPECT_EQ(card(0).nameLabel()->text(), QStringLiteral("Cuewarden"));
    EXPECT_EQ(card(1).nameLabel()->text(), QStringLiteral("Razo Zerur → Ozovi"));
    EXPECT_EQ(card(0).recorder()->displayedText(), QStringLiteral("Ctrl+Shift+R"));
    EXPECT_EQ(card(1).recorder()->displayedText(), QStringLiteral("Ctrl+Shift+V"));
    EXPECT_FALSE(shows(view->messageArea()));
}

TEST_F(SetupViewTest, AFolderThatIsNoResourceFolderShowsTheWarningAndBlocksInstalling) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> prepare;
        const char* status;
    };
    const Case cases[] = {
        {"nothing there", [](const fs::path&) {}, "VODUVE NOT DETECTED"},
        {"unrelated folder", [](const fs::path& f) { fs::create_directories(f / "UserPlugins"); }, "NOT INSTALLED"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(voduve);
        c.prepare(voduve);
        makeView();
        EXPECT_EQ(view->folderSymbol()->name(), QStringLiteral("exclamationmark.triangle.fill"));
        EXPECT_EQ(view->folderSymbol()->color(), withOpacity(OrvantaTheme::standardOrange(), 0.92));
        EXPECT_EQ(view->folderTitle()->text(), QStringLiteral("VODUVE resource folder not detected"));
        EXPECT_EQ(view->folderPath()->text(), QString::fromStdString(voduve.string()));
        EXPECT_FALSE(installEnabled());
        EXPECT_EQ(card(0).statusBadge()->text(), QString::fromLatin1(c.status));
    }
}

TEST_F(SetupViewTest, ADetectedFolderAllowsInstallingUntilVoduveRuns) {
    fs::create_directories(voduve / "Scripts");
    makeView();
    EXPECT_EQ(view->folderSymbol()->name(), QStringLiteral("checkmark.circle.fill"));
    EXPECT_EQ(view->folderSymbol()->color(), withOpacity(OrvantaTheme::standardGreen(), 0.92));
    EXPECT_EQ(view->folderTitle()->text(), QStringLiteral("VODUVE detected"));
    EXPECT_FALSE(shows(view->runningWarning()));
    EXPECT_TRUE(installEnabled());

    // The running test runs again at the next rebuild, here after the next action.
    voduveRunning = true;
    click(card(1).enableCheckbox());
    EXPECT_TRUE(shows(view->runningWarning()));
    EXPECT_EQ(view->runningWarning()->text(),
              QStringLiteral("VODUVE is running. Quit VODUVE before installing scripts or changing shortcuts."));
    EXPECT_FALSE(installEnabled());

    voduveRunning = false;
    click(card(1).enableCheckbox());
    EXPECT_FALSE(shows(view->runningWarning()));
    EXPECT_TRUE(installEnabled());
}

TEST_F(SetupViewTest, AConflictBlocksInstallingUntilReplacedDisabledOrChanged) {
    write(voduve / "voduve-kb.ini", otherAction("_RSmine", shiftCommand("R"), "Custom: my marker script"));
    makeView();
    ASSERT_TRUE(shows(card(0).conflictBox()));
    EXPECT_EQ(card(0).conflictLines().at(0)->text(), QStringLiteral("Ctrl+Shift+R is assigned to: Custom: my marker script"));
    EXPECT_FALSE(shows(card(1).conflictBox()));
    EXPECT_FALSE(installEnabled());

    click(card(0).replaceCheckbox());
    EXPECT_TRUE(row(0).replaceConflict);
    EXPECT_TRUE(installEnabled());
    click(card(0).replaceCheckbox());
    EXPECT_FALSE(installEnabled());

    // A disabled tool's conflict blocks nothing.
    click(card(0).enableCheckbox());
    EXPECT_FALSE(row(0).enabled);
    EXPECT_TRUE(installEnabled());
    click(card(0).enableCheckbox());
    EXPECT_FALSE(installEnabled());

    // A recorded free shortcut goes to the model, which finds no conflict for it.
    click(card(0).recorder());
    QTest::keyClick(card(0).recorder(), Qt::Key_Y, Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_EQ(row(0).shortcut, shiftCommand("Y"));
    EXPECT_TRUE(row(0).conflicts.empty());
    EXPECT_FALSE(shows(card(0).conflictBox()));
    EXPECT_TRUE(installEnabled());
}

TEST_F(SetupViewTest, TheFreeShortcutButtonAsksTheModelForTheCardsTool) {
    write(voduve / "voduve-kb.ini", otherAction("_RSmine", shiftCommand("R"), "Custom: my marker script"));
    makeView();
    click(card(0).replaceCheckbox());
    click(card(0).freeShortcutButton());
    // R is taken by another command, V by the other card.
    EXPECT_EQ(row(0).shortcut, shiftCommand("E"));
    EXPECT_FALSE(row(0).replaceConflict);
    EXPECT_EQ(card(0).recorder()->displayedText(), QStringLiteral("Ctrl+Shift+E"));
    EXPECT_EQ(row(1).shortcut, shiftCommand("V"));  // the other card is untouched
    EXPECT_FALSE(shows(card(0).conflictBox()));
    EXPECT_TRUE(installEnabled());
}

TEST_F(SetupViewTest, TwoCardsOnOneShortcutSayWhoElseHasItAndBlockInstalling) {
    fs::create_directories(voduve / "Scripts");
    makeView();
    ASSERT_TRUE(installEnabled());

    click(card(1).recorder());
    QTest::keyClick(card(1).recorder(), Qt::Key_R, Qt::ShiftModifier | Qt::ControlModifier);

    EXPECT_FALSE(installEnabled());
    for (const auto& [index, other] : {std::pair{0, "Razo Zerur → Ozovi"}, std::pair{1, "Cuewarden"}}) {
        ASSERT_TRUE(shows(card(index).conflictBox())) << index;
        ASSERT_EQ(card(index).conflictLines().size(), 1u);
        EXPECT_EQ(card(index).conflictLines()[0]->text(),
                  QString::fromStdString(std::string("Ctrl+Shift+R is also chosen for ") + other +
                                         ". Choose another shortcut for one of them."));
        // Replacing can't settle it; another shortcut can.
        EXPECT_FALSE(shows(card(index).replaceCheckbox()));
        EXPECT_TRUE(shows(card(index).freeShortcutButton()));
    }

    click(card(1).freeShortcutButton());
    EXPECT_EQ(row(1).shortcut, shiftCommand("V"));
    EXPECT_FALSE(shows(card(0).conflictBox()));
    EXPECT_FALSE(shows(card(1).conflictBox()));
    EXPECT_TRUE(installEnabled());
}

TEST_F(SetupViewTest, FilesThatCantBeReadAreNamedOnTheScreenAndTheCard) {
    fs::create_directories(voduve / "Scripts");
    makeView();
    EXPECT_FALSE(shows(view->keymapProblemLabel()));
    EXPECT_FALSE(shows(card(0).problemLabel()));

    ASSERT_EQ(::mkfifo((voduve / "voduve-kb.ini").c_str(), 0644), 0);
    fs::create_directories(voduve / "UserPlugins");
    fs::create_symlink("/dev/zero", voduve / "UserPlugins" / "voduve_CuewardenStop.so");
    makeView();

    ASSERT_TRUE(shows(view->keymapProblemLabel()));
    EXPECT_EQ(view->keymapProblemLabel()->text().toStdString(),
              "voduve-kb.ini could not be read, so shortcuts can't be checked against it: open " +
                  (voduve / "voduve-kb.ini").string() + ": Not a regular file (a named pipe)");
    ASSERT_TRUE(shows(card(0).problemLabel()));
    EXPECT_EQ(card(0).problemLabel()->text().toStdString(),
              "An installed file could not be read: open " + (voduve / "UserPlugins" / "voduve_CuewardenStop.so").string() +
                  ": Not a regular file (a character device)");
    EXPECT_EQ(card(0).statusBadge()->text(), QStringLiteral("DIFFERENT VERSION DETECTED"));
    EXPECT_FALSE(shows(card(1).problemLabel()));
}

TEST_F(SetupViewTest, InstallingShowsTheReportAndTheNewStatuses) {
    fs::create_directories(voduve / "Scripts");
    makeView();
    ASSERT_TRUE(installEnabled());
    // What the screen shows while the run is under way (it runs inside the click).
    std::vector<std::pair<QString, bool>> whileInstalling;
    const auto watch = view->model().isInstalling().subscribe([this, &whileInstalling](bool installing) {
        if (installing) whileInstalling.emplace_back(view->installButton()->text(), installEnabled());
    });
    click(view->installButton());
    EXPECT_EQ(whileInstalling, (std::vector<std::pair<QString, bool>>{{QStringLiteral("INSTALLING…"), false}}));

    ASSERT_TRUE(shows(view->messageArea()));
    const std::string message = view->messageLabel()->text().toStdString();
    EXPECT_EQ(message, view->model().installMessage().value());
    EXPECT_NE(message.find("\n\nVODUVE must be restarted before using newly registered actions."), std::string::npos);
    EXPECT_EQ(card(0).statusBadge()->text(), QStringLiteral("INSTALLED"));
    EXPECT_EQ(card(1).statusBadge()->text(), QStringLiteral("INSTALLED"));
    EXPECT_EQ(view->installButton()->text(), QStringLiteral("INSTALL SELECTED VODUVE TOOLS"));
    EXPECT_TRUE(fs::exists(voduve / "UserPlugins" / "voduve_CuewardenStop.so"));
}

TEST_F(SetupViewTest, WithNoToolChosenInstallRefusesInTheMessageArea) {
    fs::create_directories(voduve / "Scripts");
    makeView();
    click(card(0).enableCheckbox());
    click(card(1).enableCheckbox());
    EXPECT_TRUE(installEnabled());
    EXPECT_FALSE(shows(view->messageArea()));
    click(view->installButton());
    EXPECT_TRUE(shows(view->messageArea()));
    EXPECT_EQ(view->messageLabel()->text(), QStringLiteral("Select at least one tool to install."));
}

TEST_F(SetupViewTest, ReturnPressesTheInstallButtonOnlyWhenItIsEnabled) {
    makeView();  // no resource folder: the button is off
    QTest::keyClick(view.get(), Qt::Key_Return);
    EXPECT_FALSE(shows(view->messageArea()));

    fs::create_directories(voduve / "Scripts");
    makeView();
    click(card(0).enableCheckbox());
    click(card(1).enableCheckbox());
    QTest::keyClick(card(0).enableCheckbox(), Qt::Key_Return);  // from a focused child too
    EXPECT_EQ(view->messageLabel()->text(), QStringLiteral("Select at least one tool to install."));
}

TEST_F(SetupViewTest, ChoosingAFolderShowsItAndItsDetection) {
    makeView();
    const fs::path other = root / "Other VODUVE";
    fs::create_directories(other / "Scripts");

    chooser.answer.reset();
    click(view->chooseFolderButton());
    ASSERT_EQ(chooser.requests.size(), 1u);
    EXPECT_EQ(chooser.requests[0].message, "Choose the VODUVE resource folder");
    EXPECT_EQ(chooser.requests[0].startFolder, home / ".config");
    EXPECT_EQ(view->folderPath()->text(), QString::fromStdString(voduve.string()));
    EXPECT_EQ(view->folderTitle()->text(), QStringLiteral("VODUVE resource folder not detected"));

    chooser.answer = other;
    click(view->chooseFolderButton());
    EXPECT_EQ(view->folderPath()->text(), QString::fromStdString(other.string()));
    EXPECT_EQ(view->folderTitle()->text(), QStringLiteral("VODUVE detected"));
    EXPECT_EQ(card(0).statusBadge()->text(), QStringLiteral("NOT INSTALLED"));
    EXPECT_TRUE(installEnabled());
}

TEST_F(SetupViewTest, OpenBeatloomAsksForTheTempoEditor) {
    makeView();
    click(view->openBeatloomButton());
    EXPECT_EQ(beatloomOpened, 1);
}

TEST(SetupInstallRuleTest, BlocksInTheRuleOrder) {
    ToolInstallViewModel::State clean;
    ToolInstallViewModel::State conflicting;
    conflicting.conflicts = {ShortcutConflict{Uuid::random(), "_RSmine", "Custom"}};
    ToolInstallViewModel::State replacing = conflicting;
    replacing.replaceConflict = true;
    ToolInstallViewModel::State disabledConflicting = conflicting;
    disabledConflicting.enabled = false;
    struct Case {
        const char* name;
        bool detected, running, installing;
        std::vector<ToolInstallViewModel::State> tools;
        bool disabled;
    };
    const Case cases[] = {
        {"all clear", true, false, false, {clean, clean}, false},
        {"no tools", true, false, false, {}, false},
        {"not detected", false, false, false, {clean}, true},
        {"running", true, true, false, {clean}, true},
        {"installing", true, false, true, {clean}, true},
        {"conflict", true, false, false, {clean, conflicting}, true},
        {"conflict to replace", true, false, false, {replacing, clean}, false},
        {"conflict of a disabled tool", true, false, false, {disabledConflicting}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SetupView::installDisabled(c.detected, c.running, c.installing, c.tools), c.disabled) << c.name;
    }
}

}  // namespace
}  // namespace corvel::setup
