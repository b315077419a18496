#include "setup/tool_card_view.hpp"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "setup/setup_widgets.hpp"

namespace corvel::setup {

using voduvetools::ToolComponent;
namespace {

using theme::OrvantaTheme;
using Kind = ToolComponent::Kind;
using Modifier = VoduveShortcut::Modifier;
using State = ToolInstallViewModel::State;

ShortcutConflict conflictNamed(const std::string& description) {
    return ShortcutConflict{Uuid::random(), "_RSmine", description};
}

State rowOf(Kind kind) {
    State state;
    state.id = kind;
    state.component = *ToolComponent::find(kind);
    state.shortcut = state.component.defaultShortcut;
    return state;
}

// A card over a row of its own; every call the card makes is logged in order.
class ToolCardTest : public ::testing::Test {
protected:
    void make(State initial) {
        state = std::move(initial);
        card = std::make_unique<ToolCardView>(
            ToolCardView::Binding{[this] { return state; },
                                  [this](const std::function<void(State&)>& change) {
                                      change(state);
                                      log.push_back("edit");
                                  }},
            [this](std::optional<VoduveShortcut> shortcut) {
                EXPECT_EQ(state.shortcut, shortcut);  // the row already holds it
                log.push_back("changed " + (shortcut ? shortcut->displayText() : std::string("none")));
            },
            [this] { log.push_back("suggest"); });
        card->resize(900, 400);
        card->show();
    }

    bool shows(const QWidget* widget) const { return widget->isVisibleTo(card.get()); }
    std::vector<QString> lines() const {
        std::vector<QString> texts;
        for (const QLabel* line : card->conflictLines()) texts.push_back(line->text());
        return texts;
    }

    State state;
    std::vector<std::string> log;
    std::unique_ptr<ToolCardView> card;
};

TEST_F(ToolCardTest, HeaderShowsTheToolItsSymbolAndItsStatusInCapitals) {
    struct Case {
        Kind kind;
        const char* symbol;
    };
    for (const Case& c : {Case{Kind::cuewarden, "flag.2.crossed.fill"}, Case{Kind::itemNotesVideo, "text.bubble.fill"},
                          Case{Kind::beatloom, "text.bubble.fill"}}) {
        State row = rowOf(c.kind);
        row.statusText = "Partially installed";
        make(row);
        SCOPED_TRACE(row.component.displayName);
        EXPECT_EQ(card->icon()->name(), QString::fromLatin1(c.symbol));
        EXPECT_TRUE(theme::hasSymbol(card->icon()->name()));
        EXPECT_EQ(card->nameLabel()->text(), QString::fromStdString(row.component.displayName));
        EXPECT_EQ(card->summaryLabel()->text(), QString::fromStdString(row.component.summary));
        EXPECT_EQ(card->statusBadge()->text(), QStringLiteral("PARTIALLY INSTALLED"));
        EXPECT_EQ(card->statusBadge()->color(), OrvantaTheme::standardOrange());
        EXPECT_TRUE(card->enableCheckbox()->isChecked());
    }
}

TEST(ToolCardStatusTest, ColoursByExactStatusText) {
    struct Case {
        const char* status;
        QColor color;
    };
    const Case cases[] = {
        {"Installed", OrvantaTheme::standardGreen()},
        {"Partially installed", OrvantaTheme::standardOrange()},
        {"Different version detected", OrvantaTheme::standardOrange()},
        {"VODUVE not detected", OrvantaTheme::standardGray()},
        {"Not installed", OrvantaTheme::white(0.52)},
        {"installed", OrvantaTheme::white(0.52)},
        {"Installed ", OrvantaTheme::white(0.52)},
        {"", OrvantaTheme::white(0.52)},
    };
    for (const auto& c : cases) EXPECT_EQ(ToolCardView::statusColor(c.status), c.color) << '"' << c.status << '"';
}

TEST_F(ToolCardTest, EnabledRowShowsTheShortcutRowAndConflictsOnlyWhenThereAreAny) {
    make(rowOf(Kind::cuewarden));
    EXPECT_TRUE(shows(card->divider()));
    EXPECT_TRUE(shows(card->shortcutRow()));
    EXPECT_FALSE(shows(card->conflictBox()));
    EXPECT_EQ(card->recorder()->displayedText(), QStringLiteral("Ctrl+Shift+R"));
    EXPECT_EQ(card->panelOpacity(), 1.0);

    state.conflicts = {conflictNamed("Custom: my marker script"), conflictNamed("VODUVE Command _RSother")};
    card->rebuild();
    EXPECT_TRUE(shows(card->conflictBox()));
    EXPECT_EQ(lines(), (std::vector<QString>{QStringLiteral("Ctrl+Shift+R is assigned to: Custom: my marker script"),
                                             QStringLiteral("Ctrl+Shift+R is assigned to: VODUVE Command _RSother")}));

    state.shortcut.reset();
    state.conflicts = {conflictNamed("Custom: my marker script")};
    card->rebuild();
    EXPECT_EQ(lines(), std::vector<QString>{QStringLiteral("Shortcut is assigned to: Custom: my marker script")});
    EXPECT_EQ(card->recorder()->displayedText(), QStringLiteral("No Shortcut"));

    state.conflicts.clear();
    card->rebuild();
    EXPECT_FALSE(shows(card->conflictBox()));
    EXPECT_TRUE(lines().empty());
}

TEST_F(ToolCardTest, UncheckingHidesAllButTheHeaderAndDimsTheCard) {
    State row = rowOf(Kind::cuewarden);
    row.conflicts = {conflictNamed("Custom: my marker script")};
    make(row);
    ASSERT_TRUE(shows(card->conflictBox()));

    QTest::mouseClick(card->enableCheckbox(), Qt::LeftButton);
    EXPECT_FALSE(state.enabled);
    EXPECT_EQ(log, std::vector<std::string>{"edit"});
    EXPECT_FALSE(shows(card->divider()));
    EXPECT_FALSE(shows(card->shortcutRow()));
    EXPECT_FALSE(shows(card->conflictBox()));
    EXPECT_TRUE(shows(card->statusBadge()));
    EXPECT_EQ(card->panelOpacity(), 0.68);

    // A click on the tool's name toggles it back, conflicts and shortcut still held.
    QTest::mouseClick(card->nameLabel(), Qt::LeftButton);
    EXPECT_TRUE(state.enabled);
    EXPECT_TRUE(shows(card->conflictBox()));
    EXPECT_EQ(card->recorder()->displayedText(), QStringLiteral("Ctrl+Shift+R"));
    EXPECT_EQ(card->panelOpacity(), 1.0);
}

TEST_F(ToolCardTest, ReplaceCheckboxAndFreeShortcutButtonReachTheRowAndTheCreator) {
    State row = rowOf(Kind::itemNotesVideo);
    row.conflicts = {conflictNamed("Custom: my marker script")};
    make(row);
    EXPECT_EQ(card->replaceCheckbox()->text(), QStringLiteral("Replace existing assignment"));
    EXPECT_FALSE(card->replaceCheckbox()->isChecked());

    QTest::mouseClick(card->replaceCheckbox(), Qt::LeftButton);
    EXPECT_TRUE(state.replaceConflict);
    EXPECT_TRUE(shows(card->conflictBox()));  // ticking it does not hide the conflict

    EXPECT_EQ(card->freeShortcutButton()->text(), QStringLiteral("USE FREE SHORTCUT"));
    QTest::mouseClick(card->freeShortcutButton(), Qt::LeftButton);
    EXPECT_EQ(log, (std::vector<std::string>{"edit", "suggest"}));
}

TEST_F(ToolCardTest, RecordingStoresTheShortcutInTheRowBeforeReportingIt) {
    make(rowOf(Kind::cuewarden));
    QTest::mouseClick(card->recorder(), Qt::LeftButton);
    QTest::keyClick(card->recorder(), Qt::Key_K, Qt::AltModifier | Qt::ControlModifier);
    const auto recorded = *VoduveShortcut::fromLetter("K", {Modifier::option, Modifier::command});
    EXPECT_EQ(state.shortcut, recorded);
    EXPECT_EQ(log, (std::vector<std::string>{"edit", "changed Ctrl+Alt+K"}));

    QTest::mouseClick(card->recorder(), Qt::LeftButton);
    QTest::keyClick(card->recorder(), Qt::Key_Backspace);
    EXPECT_EQ(state.shortcut, std::nullopt);
    EXPECT_EQ(log, (std::vector<std::string>{"edit", "changed Ctrl+Alt+K", "edit", "changed none"}));
    EXPECT_EQ(card->recorder()->displayedText(), QStringLiteral("No Shortcut"));
}

}  // namespace
}  // namespace corvel::setup
