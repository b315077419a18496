#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "theme/symbol_set.hpp"
#include "editor/popover_frame.hpp"
#include "editor/toolbar/rejoin_grid_popover.hpp"
#include "editor/toolbar/timeline_mode_menu.hpp"
#include "editor/toolbar/timeline_mode_menu_view.hpp"
#include "session/session_fixture.hpp"

namespace corvel::editor {
namespace {

using Mode = BeatloomTimelineMode;

// The 20 s song at 120 BPM in 4/4 with the locator at 4 s.
class TimelineModeMenuTest : public session::testing::SessionTest {
protected:
    TimelineModeMenuTest() {
        loadResult({corvel::testing::tempoPoint(0, 120)});
        model.seek(4);
    }

    std::vector<std::string> titles() {
        std::vector<std::string> out;
        for (const auto& entry : menu.items()) {
            const auto& item = entry.item;
            std::string title = item.isDivider ? "---" : (item.destructive ? "!" : "") + item.title;
            if (entry.shortcut) title += " [" + *entry.shortcut + "]";
            out.push_back(title);
        }
        return out;
    }

    void choose(const std::string& title) {
        for (const auto& entry : menu.items()) {
            if (!entry.item.isDivider && entry.item.title == title) return entry.item.action();
        }
        ADD_FAILURE() << "no item " << title;
    }

    std::vector<std::string> undoNames() const {
        std::vector<std::string> names;
        for (const auto& entry : model.editHistory().undoEntries()) names.push_back(entry.actionName);
        return names;
    }

    void pressA() { Q_EMIT menu.addAnchorShortcut()->activated(); }

    BeatloomTimelineModeMenu menu{model, true};
};

TEST_F(TimelineModeMenuTest, ItemsAndLabelFollowTheModeAtTheLocator) {
    EXPECT_EQ(menu.mode(), Mode::metered);
    EXPECT_EQ(menu.text(), QStringLiteral("Timeline"));
    EXPECT_EQ(menu.toolTip(), QStringLiteral("Free Time / Rubato / Rejoin Grid"));
    EXPECT_EQ(titles(), (std::vector<std::string>{"Start Free Time Here", "Start Rubato Here"}));

    choose("Start Free Time Here");
    EXPECT_EQ(menu.mode(), Mode::free);
    EXPECT_EQ(menu.text(), QStringLiteral("Free Time"));
    EXPECT_EQ(titles(), (std::vector<std::string>{"Add Reference Anchor [A]", "---", "Convert to Rubato",
                                                  "Rejoin Grid Here…", "---", "!Delete Free Time Region"}));

    choose("Convert to Rubato");
    EXPECT_EQ(menu.mode(), Mode::rubato);
    EXPECT_EQ(menu.text(), QStringLiteral("Rubato"));
    EXPECT_EQ(titles(), (std::vector<std::string>{"Add Rhythmic Anchor [A]", "---", "Convert to Free Time",
                                                  "Rejoin Grid Here…", "---", "!Delete Rubato Region"}));

    choose("Delete Rubato Region");
    EXPECT_EQ(menu.mode(), Mode::metered);
    EXPECT_EQ(undoNames(),
              (std::vector<std::string>{"Start Free Time", "Convert to Rubato", "Delete Timeline Region"}));

    const BeatloomTimelineModeMenu symbolOnly(model, false);
    EXPECT_EQ(symbolOnly.property("systemImage").toString(), QStringLiteral("waveform.path"));
    for (const Mode mode : {Mode::metered, Mode::rubato, Mode::free}) {
        EXPECT_TRUE(theme::hasSymbol(QString::fromStdString(timelineModeLabel(mode).symbol)));
    }
    EXPECT_EQ(timelineModeLabel(Mode::rubato).symbol, "point.3.connected.trianglepath.dotted");
    EXPECT_EQ(timelineModeLabel(Mode::free).symbol, "pause.rectangle");
}

TEST_F(TimelineModeMenuTest, ARegionNoLongerHoldsTheLocatorAtItsEnd) {
    BeatloomTimelineRegion region;
    region.startSeconds = 2;
    region.endSeconds = 6;
    region.mode = Mode::rubato;
    model.timelineRegions.set({region});
    for (const double locator : {2.0 - 5e-7, 5.9}) {
        model.seek(locator);
        EXPECT_EQ(menu.mode(), Mode::rubato) << locator;
    }
    for (const double locator : {6.0 - 5e-7, 6.0, 7.0}) {
        model.seek(locator);
        EXPECT_EQ(menu.mode(), Mode::metered) << locator;
    }
}

TEST_F(TimelineModeMenuTest, KeyAAddsAnAnchorOnlyInsideARegion) {
    EXPECT_EQ(menu.addAnchorShortcut()->key(), QKeySequence(Qt::Key_A));
    model.statusText.set("");
    pressA();
    EXPECT_TRUE(undoNames().empty());
    EXPECT_TRUE(model.statusText.value().empty());
    EXPECT_TRUE(model.errorText.value().empty());

    model.startRubatoAtLocator();
    const auto before = model.rhythmicAnchors.value().size();
    model.seek(4.5);
    pressA();
    EXPECT_EQ(model.rhythmicAnchors.value().size(), before + 1);
    EXPECT_EQ(undoNames().back(), "Add Rhythmic Anchor");

    model.convertRegion(Mode::free);
    model.seek(5.2);
    pressA();
    EXPECT_EQ(undoNames().back(), "Add Free Anchor");
    EXPECT_EQ(model.statusText.value(), "Reference anchor added in Free Time.");
}

TEST_F(TimelineModeMenuTest, RejoinGridOpensOnlyInARegionWithTheValuesThere) {
    menu.rejoinValues() = {7, 99.5, 5, 4};
    menu.openRejoinGrid();  // no region at the locator
    EXPECT_FALSE(menu.showRejoinPopover().value());
    EXPECT_EQ(menu.rejoinValues(), (RejoinGridValues{7, 99.5, 5, 4}));

    model.startFreeTimeAtLocator();
    model.seek(9);
    choose("Rejoin Grid Here…");
    EXPECT_TRUE(menu.showRejoinPopover().value());
    const auto region = model.timelineRegions.value().front();
    EXPECT_EQ(menu.rejoinValues(), (RejoinGridValues{model.suggestedRejoinBar(region), 120.0, 4, 4}));
    ASSERT_NE(menu.rejoinPopover()->content(), nullptr);
    menu.showRejoinPopover().set(false);
}

TEST_F(TimelineModeMenuTest, RejoinPopoverEditsTheKeptValuesAndAlwaysCloses) {
    model.startRubatoAtLocator();
    model.seek(9);
    Published<bool> shown{true};
    RejoinGridValues values{17, 132.26, 7, 16};  // a meter none of the choices offers
    BeatloomRejoinGridPopover popover(model, values, shown);

    EXPECT_EQ(popover.barStepper()->text(), QStringLiteral("17.1"));
    EXPECT_EQ(popover.tempoField()->text(), QStringLiteral("132.3"));
    EXPECT_EQ(popover.meterPicker()->count(), 8);
    EXPECT_EQ(popover.meterPicker()->currentIndex(), -1);
    popover.barStepper()->setValue(0);
    EXPECT_EQ(values.bar, 1);
    EXPECT_EQ(popover.barStepper()->text(), QStringLiteral("1.1"));
    popover.barStepper()->setValue(10000);
    EXPECT_EQ(values.bar, 9999);

    Q_EMIT popover.meterPicker()->activated(7);
    EXPECT_EQ(popover.meterPicker()->itemText(7), QStringLiteral("12/8"));
    EXPECT_EQ(values.numerator, 12);
    EXPECT_EQ(values.denominator, 8);
    popover.tempoField()->setText(QStringLiteral("96.5"));
    Q_EMIT popover.tempoField()->textEdited(QStringLiteral("96.5"));
    Q_EMIT popover.tempoField()->textEdited(QStringLiteral("fast"));  // unreadable: the tempo stays
    EXPECT_EQ(values.bpm, 96.5);

    popover.cancelButton()->click();
    EXPECT_FALSE(shown.value());
    EXPECT_EQ(values, (RejoinGridValues{9999, 96.5, 12, 8}));
    EXPECT_EQ(undoNames(), (std::vector<std::string>{"Start Rubato"}));

    shown.set(true);
    values.bar = 5;
    popover.rejoinButton()->click();
    EXPECT_FALSE(shown.value());
    EXPECT_EQ(undoNames().back(), "Rejoin Grid");
    EXPECT_EQ(model.statusText.value(), "Regular grid rejoins at Bar 5.1 · 96.5 BPM.");

    // A refused rejoin closes the popover too; the error line says why.
    shown.set(true);
    values.denominator = 3;
    model.startFreeTimeAtLocator();
    popover.rejoinButton()->click();
    EXPECT_FALSE(shown.value());
    EXPECT_EQ(model.errorText.value(), "Invalid time signature for Rejoin Grid.");
}

TEST(RejoinMeterChoice, ParsesExactlyTwoNumbers) {
    using Pair = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(parseMeterChoice("12/8"), Pair(12, 8));
    EXPECT_EQ(parseMeterChoice("6//8"), Pair(6, 8));
    EXPECT_EQ(parseMeterChoice("x/3/4"), Pair(3, 4));
    EXPECT_FALSE(parseMeterChoice("3/4/2"));
    EXPECT_FALSE(parseMeterChoice("7"));
    EXPECT_FALSE(parseMeterChoice("/"));
    std::vector<std::string> texts;
    for (const auto& choice : kRejoinMeterChoices) texts.push_back(choice.text());
    EXPECT_EQ(texts, (std::vector<std::string>{"2/4", "3/4", "4/4", "5/4", "6/8", "7/8", "9/8", "12/8"}));
    EXPECT_EQ(rejoinBarLabel(17), "17.1");
}

}  // namespace
}  // namespace corvel::editor
