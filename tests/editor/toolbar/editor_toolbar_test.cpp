#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include "theme/symbol_set.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/popover_frame.hpp"
#include "editor/toolbar/tempo_control_popover.hpp"
#include "editor/toolbar/toolbar_controls.hpp"
#include "editor/toolbar/toolbar_popovers.hpp"
#include "session/session_fixture.hpp"
#include "editor/widget_lookup.hpp"

namespace corvel::editor {
namespace {

namespace records = corvel::testing;
using testing::findBySymbol;
using testing::findByText;
using testing::findByToolTip;

constexpr int kFramePadding = 20;  // the strip's padding left and right of its row

bool hasToolTip(const QWidget* root, const QString& toolTip) {
    for (const QWidget* widget : root->findChildren<QWidget*>()) {
        if (widget->toolTip() == toolTip) return true;
    }
    return false;
}

QStringList actionTitles(const QMenu& menu) {
    QStringList titles;
    for (const QAction* action : menu.actions()) {
        titles << (action->isSeparator() ? QStringLiteral("—") : action->text());
    }
    return titles;
}

QAction* actionTitled(const QMenu& menu, const QString& title) {
    for (QAction* action : menu.actions()) {
        if (action->text() == title) return action;
    }
    ADD_FAILURE() << "no menu item " << title.toStdString();
    return nullptr;
}

class EditorToolbar : public session::testing::SessionTest {
protected:
    EditorToolbar() {
        toolbar.show();
        // Window shortcuts fire only in the active window.
        QApplication::setActiveWindow(&toolbar);
        EXPECT_TRUE(QTest::qWaitForWindowActive(&toolbar));
    }

    void setRowWidth(int width) {
        toolbar.resize(width + kFramePadding, toolbar.height());
        QCoreApplication::processEvents();
    }

    // The narrowest width at which each row shows.
    int widthOf(BeatloomToolbarLayout layout) { return toolbar.requiredWidth(layout); }
    int fullWidth() { return widthOf(BeatloomToolbarLayout::full); }
    int mediumWidth() { return widthOf(BeatloomToolbarLayout::medium); }
    int compactWidth() { return widthOf(BeatloomToolbarLayout::compact); }

    void settle() {
        QCoreApplication::processEvents();
        loop.advanceSeconds(0.0);
    }

    // A key pressed in the window, as the platform delivers it (shortcuts first).
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(toolbar.windowHandle(), key, modifiers);
    }

    QAbstractButton* button(const QString& toolTip) { return findByToolTip<QAbstractButton>(&toolbar, toolTip); }

    BeatloomEditorUIState ui;
    BeatloomEditorToolbar toolbar{model, model.previewPlayer(), ui};
};

TEST_F(EditorToolbar, PicksTheWidestRowWhoseControlsFitAtTheirNaturalSizes) {
    EXPECT_GT(fullWidth(), mediumWidth());
    EXPECT_GT(mediumWidth(), compactWidth());
    const std::vector<std::pair<int, BeatloomToolbarLayout>> cases{
        {fullWidth() + 300, BeatloomToolbarLayout::full},  {fullWidth(), BeatloomToolbarLayout::full},
        {fullWidth() - 1, BeatloomToolbarLayout::medium},  {mediumWidth(), BeatloomToolbarLayout::medium},
        {mediumWidth() - 1, BeatloomToolbarLayout::compact}, {0, BeatloomToolbarLayout::compact},
    };
    for (const auto& [width, layout] : cases) {
        EXPECT_EQ(toolbar.layoutMode(width), layout) << width;
        setRowWidth(width);
        EXPECT_EQ(toolbar.currentLayout(), layout) << width;
    }
}

TEST_F(EditorToolbar, EachLayoutShowsItsOwnControls) {
    struct Row {
        int width;
        bool clickSettings, tempoScale, meterAndGrid, rangeSelect, zoomButtons, viewAndHelp, more;
        const char* setOne;
        bool gridFitText, exportText;
    };
    const std::vector<Row> rows{
        {fullWidth(), true, true, true, true, true, true, false, "Set New 1", true, true},
        {mediumWidth(), false, true, true, false, false, false, true, "Set 1", true, true},
        {compactWidth(), false, false, false, false, false, false, true, "Set 1", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.width);
        setRowWidth(row.width);
        EXPECT_EQ(hasToolTip(&toolbar, "Click settings"), row.clickSettings);
        EXPECT_EQ(hasToolTip(&toolbar, "Half the tempo of the current section"), row.tempoScale);
        EXPECT_EQ(hasToolTip(&toolbar, "Time signature at the locator"), row.meterAndGrid);
        EXPECT_EQ(testing::countByText<QLabel>(&toolbar, "Grid 1/8"), row.meterAndGrid ? 1 : 0);
        EXPECT_EQ(hasToolTip(&toolbar, "Select a waveform range for targeted tempo re-analysis"), row.rangeSelect);
        EXPECT_EQ(hasToolTip(&toolbar, "Zoom In · Up Arrow"), row.zoomButtons);
        EXPECT_EQ(hasToolTip(&toolbar, "View options"), row.viewAndHelp);
        EXPECT_EQ(hasToolTip(&toolbar, "Keyboard shortcuts"), row.viewAndHelp);
        EXPECT_EQ(hasToolTip(&toolbar, "More Beatloom controls"), row.more);
        EXPECT_EQ(testing::countByText<QAbstractButton>(&toolbar, row.setOne), 1);
        EXPECT_EQ(testing::countByText<QAbstractButton>(&toolbar, "Grid Fit"), row.gridFitText ? 1 : 0);
        EXPECT_EQ(testing::countByText<QAbstractButton>(&toolbar, "Export"), row.exportText ? 1 : 0);
        // Present in every row.
        EXPECT_TRUE(hasToolTip(&toolbar, "Play / Stop · Space"));
        EXPECT_TRUE(hasToolTip(&toolbar, "Double-click to enter tempo manually"));
        EXPECT_TRUE(hasToolTip(&toolbar, "Align beat/bar lines to real transients."));
        EXPECT_TRUE(hasToolTip(&toolbar, "Clear Beatloom Project — original audio is never deleted"));
        EXPECT_TRUE(hasToolTip(&toolbar, "Nothing to undo"));
    }
}

TEST_F(EditorToolbar, EverySymbolItShowsIsDrawnByTheAppIconSet) {
    loadResult({records::tempoPoint(0, 120)});
    for (const int width : {fullWidth(), mediumWidth(), compactWidth()}) {
        setRowWidth(width);
        for (const QWidget* widget : toolbar.findChildren<QWidget*>()) {
            const QString symbol = widget->property(theme::kSystemImageProperty).toString();
            if (!symbol.isEmpty()) {
                EXPECT_TRUE(theme::hasSymbol(symbol)) << symbol.toStdString();
            }
        }
    }
    for (const char* stateSymbol : {"stop.fill", "metronome.fill"}) EXPECT_TRUE(theme::hasSymbol(stateSymbol));
}

TEST_F(EditorToolbar, SpaceAndTheZoomKeysWorkInEveryLayout) {
    loadResult({records::tempoPoint(0, 120)});
    for (const int width : {fullWidth(), mediumWidth(), compactWidth()}) {
        SCOPED_TRACE(width);
        setRowWidth(width);
        press(Qt::Key_Space);
        settle();
        EXPECT_TRUE(playing());
        press(Qt::Key_Space);
        settle();
        EXPECT_FALSE(playing());

        model.resetZoom();
        press(Qt::Key_Up);
        EXPECT_NEAR(model.editorZoom.value(), 1.35, 1e-9);
        press(Qt::Key_Up);
        press(Qt::Key_Down);
        EXPECT_NEAR(model.editorZoom.value(), 1.35, 1e-9);
        press(Qt::Key_0);
        EXPECT_DOUBLE_EQ(model.editorZoom.value(), 1.0);
    }
}

TEST_F(EditorToolbar, ZoomButtonsStepBy135AndTheReadoutFollows) {
    loadResult({records::tempoPoint(0, 120)});
    setRowWidth(fullWidth());
    QAbstractButton* zoomIn = button("Zoom In · Up Arrow");
    zoomIn->click();
    zoomIn->click();
    EXPECT_NEAR(model.editorZoom.value(), 1.8225, 1e-9);
    EXPECT_EQ(button("Fit Song · 0")->text(), QStringLiteral("1.8×"));
    button("Fit Song · 0")->click();
    EXPECT_EQ(button("Fit Song · 0")->text(), QStringLiteral("1.0×"));
}

TEST_F(EditorToolbar, PlayStopSymbolAndClickToggleFollowThePlayer) {
    loadResult({records::tempoPoint(0, 120)});
    QAbstractButton* playStop = button("Play / Stop · Space");
    EXPECT_EQ(playStop->property(theme::kSystemImageProperty).toString(), "play.fill");
    playStop->click();
    EXPECT_EQ(playStop->property(theme::kSystemImageProperty).toString(), "stop.fill");
    model.previewPlayer().pause();
    settle();
    EXPECT_EQ(playStop->property(theme::kSystemImageProperty).toString(), "stop.fill");

    model.previewPlayer().setClickEnabled(false);
    settle();
    QAbstractButton* click = button("Click off");
    EXPECT_EQ(click->property(theme::kSystemImageProperty).toString(), "metronome");
    click->click();
    EXPECT_TRUE(model.previewPlayer().clickEnabled().value());
    EXPECT_EQ(click->toolTip(), "Click on");
    EXPECT_EQ(click->property(theme::kSystemImageProperty).toString(), "metronome.fill");
}

TEST_F(EditorToolbar, TempoReadoutShowsTheValueAndTheVariableTempoMark) {
    EXPECT_EQ(toolbar.tempoValueText(), "0.0");
    EXPECT_TRUE(findByText<QLabel>(&toolbar, "BPM"));
    QWidget* mark = findBySymbol(&toolbar, "waveform.path");
    EXPECT_FALSE(mark->isVisible());
    loadResult({records::tempoPoint(0, 96.26)});
    settle();
    EXPECT_EQ(toolbar.tempoValueText(), "96.3");
    EXPECT_FALSE(mark->isVisible());
    model.editableTempoPoints.set({records::tempoPoint(0, 96), records::tempoPoint(8, 120)});
    settle();
    EXPECT_TRUE(mark->isVisible());
}

TEST_F(EditorToolbar, OnlyADoubleClickOnTheReadoutOpensTheTempoPopoverFilledWithTheTempoAtTheLocator) {
    setRowWidth(compactWidth());
    loadResult({records::tempoPoint(0, 120)});
    // The readout is told apart by its tool tip (its class has no meta-object of its own).
    QWidget* readout = findByToolTip(&toolbar, "Double-click to enter tempo manually");
    ASSERT_TRUE(readout);
    QTest::mouseClick(readout, Qt::LeftButton);
    EXPECT_FALSE(toolbar.showTempoPopover.value());
    // Well after the single click, so the two are not taken for one gesture.
    QTest::mouseDClick(readout, Qt::LeftButton, {}, {}, QApplication::doubleClickInterval() + 50);
    EXPECT_TRUE(toolbar.showTempoPopover.value());
    BeatloomTempoControlPopover* panel = nullptr;
    for (QWidget* child : readout->findChildren<QWidget*>()) {
        if (auto* candidate = dynamic_cast<BeatloomTempoControlPopover*>(child)) panel = candidate;
    }
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->tempoText(), QStringLiteral("120.0"));
    toolbar.showTempoPopover.set(false);
}

TEST_F(EditorToolbar, RangeSelectSwitchesGridFitOffButGridFitLeavesRangeSelectOn) {
    setRowWidth(fullWidth());
    ui.gridFitMode.set(true);
    button("Select a waveform range for targeted tempo re-analysis")->click();
    EXPECT_TRUE(ui.rangeSelectionMode.value());
    EXPECT_FALSE(ui.gridFitMode.value());
    EXPECT_EQ(model.statusText.value(), BeatloomEditorToolbar::kRangeSelectStatus);

    auto* gridFit = button("Align beat/bar lines to real transients.");
    gridFit->click();
    EXPECT_TRUE(ui.gridFitMode.value());
    EXPECT_TRUE(ui.rangeSelectionMode.value());
    EXPECT_TRUE(static_cast<BeatloomModeButton*>(gridFit)->active());

    gridFit->click();
    toolbar.toggleRangeSelection();
    EXPECT_FALSE(ui.rangeSelectionMode.value());
    EXPECT_FALSE(ui.gridFitMode.value());
    EXPECT_EQ(model.statusText.value(), BeatloomEditorToolbar::kRangeSelectStatus);
}

TEST_F(EditorToolbar, ClearProjectAsksFirstThenResetsAndClosesPopoversButHelp) {
    QAbstractButton* clear = button("Clear Beatloom Project — original audio is never deleted");
    EXPECT_FALSE(clear->isEnabled());
    loadResult({records::tempoPoint(0, 120)});
    settle();
    ASSERT_TRUE(clear->isEnabled());

    clear->click();
    ASSERT_TRUE(toolbar.clearConfirmation());
    EXPECT_TRUE(toolbar.showClearConfirmation);
    EXPECT_EQ(toolbar.clearConfirmation()->text(), "Clear current Beatloom project?");
    EXPECT_EQ(toolbar.clearConfirmation()->informativeText(), "Your original audio file will not be deleted.");
    // Cancel stands first, before Clear Project, whatever order the platform gives roles.
    QMessageBox& alert = *toolbar.clearConfirmation();
    QTest::qWait(0);
    QPushButton* cancel = findByText<QPushButton>(&alert, "Cancel");
    QPushButton* clearProject = findByText<QPushButton>(&alert, "Clear Project");
    EXPECT_LT(cancel->mapTo(&alert, QPoint(0, 0)).x(), clearProject->mapTo(&alert, QPoint(0, 0)).x());
    EXPECT_EQ(alert.defaultButton(), cancel);
    EXPECT_EQ(alert.escapeButton(), cancel);
    cancel->click();
    settle();
    EXPECT_FALSE(toolbar.showClearConfirmation);
    EXPECT_TRUE(model.result.value());

    ui.gridFitMode.set(true);
    ui.rangeSelectionMode.set(true);
    ui.showGridPopover.set(true);
    clear->click();
    ASSERT_TRUE(toolbar.clearConfirmation());
    ui.showHelpPopover.set(true);
    findByText<QPushButton>(toolbar.clearConfirmation(), "Clear Project")->click();
    settle();
    EXPECT_FALSE(toolbar.showClearConfirmation);
    EXPECT_FALSE(model.result.value());
    EXPECT_FALSE(ui.gridFitMode.value());
    EXPECT_FALSE(ui.rangeSelectionMode.value());
    EXPECT_FALSE(ui.showGridPopover.value());
    EXPECT_TRUE(ui.showHelpPopover.value());
    EXPECT_FALSE(clear->isEnabled());
    ui.showHelpPopover.set(false);
}

TEST_F(EditorToolbar, MeterButtonTogglesItsPopoverAndReseedsTheCustomMeter) {
    setRowWidth(fullWidth());
    loadResult({records::tempoPoint(0, 120)});
    model.meterEvents.set({records::meter(0, 7, 8)});
    settle();
    EXPECT_TRUE(findByText<QLabel>(&toolbar, "7/8"));
    QAbstractButton* meter = button("Time signature at the locator");
    meter->click();
    EXPECT_TRUE(ui.showMeterPopover.value());
    EXPECT_EQ(toolbar.customNumerator, 7);
    EXPECT_EQ(toolbar.customDenominator, 8);
    toolbar.customNumerator = 3;
    meter->click();
    EXPECT_FALSE(ui.showMeterPopover.value());
    EXPECT_EQ(toolbar.customNumerator, 7);
}

TEST_F(EditorToolbar, GridButtonNamesTheResolution) {
    setRowWidth(fullWidth());
    ui.gridResolution.set(BeatloomGridResolution::eighthTriplet);
    settle();
    EXPECT_TRUE(findByText<QLabel>(&toolbar, "Grid 1/8T"));
}

TEST_F(EditorToolbar, TempoScaleAndBarOneButtonsEditTheMapAsUndoableSteps) {
    setRowWidth(fullWidth());
    loadResult({records::tempoPoint(0, 120)});
    settle();
    QAbstractButton* undo = button("Nothing to undo");
    QAbstractButton* redo = button("Nothing to redo");
    EXPECT_FALSE(undo->isEnabled());
    EXPECT_FALSE(redo->isEnabled());

    button("Double the tempo of the current section")->click();
    EXPECT_DOUBLE_EQ(model.editableTempoPoints.value().front().bpm, 240);
    EXPECT_TRUE(undo->isEnabled());
    EXPECT_EQ(undo->toolTip(), "Undo Double Tempo · Ctrl+Z");

    press(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(model.editableTempoPoints.value().front().bpm, 120);
    EXPECT_EQ(redo->toolTip(), "Redo Double Tempo · Ctrl+Shift+Z");
    press(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_DOUBLE_EQ(model.editableTempoPoints.value().front().bpm, 240);

    button("Half the tempo of the current section")->click();
    EXPECT_DOUBLE_EQ(model.editableTempoPoints.value().front().bpm, 120);

    model.locatorSeconds.set(2.0);
    findByText<QAbstractButton>(&toolbar, "Set New 1")->click();
    EXPECT_EQ(model.barAnchors.value().size(), 1u);
}

TEST_F(EditorToolbar, BarOneMenuOffersPickupItemsOnlyWhenTheyCanAct) {
    setRowWidth(fullWidth());
    auto* menuButton =
        dynamic_cast<ToolbarMenuButton*>(findByToolTip(&toolbar, "Locked downbeat, absolute Bar 1 and pickup options"));
    ASSERT_TRUE(menuButton);
    const QMenu& menu = *menuButton->menu();
    EXPECT_EQ(actionTitles(menu),
              (QStringList{"Set Locked 1", "Set Song Bar 1 (Absolute)", "—",
                           "Extend Pickup Before Song Bar 1 — One Bar",
                           "Extend Pickup Before Song Bar 1 — to Audio Start", "Remove Pickup Bars"}));
    QAction* extendOne = actionTitled(menu, "Extend Pickup Before Song Bar 1 — One Bar");
    QAction* extendToStart = actionTitled(menu, "Extend Pickup Before Song Bar 1 — to Audio Start");
    QAction* remove = actionTitled(menu, "Remove Pickup Bars");
    EXPECT_FALSE(extendOne->isEnabled());
    EXPECT_FALSE(extendToStart->isEnabled());
    EXPECT_FALSE(remove->isEnabled());

    // Bar 1 at 4 s at 120 BPM in 4/4: two bars reach back to the audio start.
    loadResult({records::tempoPoint(0, 120)});
    model.barOneSeconds.set(4.0);
    settle();
    EXPECT_TRUE(toolbar.canExtendPickup());
    EXPECT_TRUE(extendOne->isEnabled());
    extendOne->trigger();
    EXPECT_EQ(model.pickupBarCount.value(), 1);
    EXPECT_TRUE(remove->isEnabled());
    extendToStart->trigger();
    EXPECT_EQ(model.pickupBarCount.value(), 2);
    EXPECT_FALSE(extendOne->isEnabled());
    EXPECT_FALSE(extendToStart->isEnabled());
    remove->trigger();
    EXPECT_EQ(model.pickupBarCount.value(), 0);
}

TEST_F(EditorToolbar, MoreMenuOffersWhatTheNarrowRowsLeaveOut) {
    setRowWidth(compactWidth());
    loadResult({records::tempoPoint(0, 120)});
    ui.gridResolution.set(BeatloomGridResolution::sixteenth);
    QMenu menu;
    toolbar.populateMoreMenu(menu);
    EXPECT_EQ(actionTitles(menu),
              (QStringList{"Time Signature · 4/4", "Grid · 1/16", "—", "Select Range for Re-analysis", "—",
                           "Half Current Tempo (÷2)", "Double Current Tempo (×2)", "—", "Use Detected Tempo",
                           "Re-analyze Audio…", "Click", "Click Settings…", "Follow Playback", "—", "Zoom In",
                           "Zoom Out", "Fit Song", "Center Locator", "View Options…", "—",
                           "Keyboard Shortcuts…"}));
    EXPECT_FALSE(actionTitled(menu, "Use Detected Tempo")->isEnabled());
    EXPECT_TRUE(actionTitled(menu, "Re-analyze Audio…")->isEnabled());

    ui.gridFitMode.set(true);
    actionTitled(menu, "Select Range for Re-analysis")->trigger();
    EXPECT_TRUE(ui.rangeSelectionMode.value());
    EXPECT_FALSE(ui.gridFitMode.value());
    EXPECT_EQ(model.statusText.value(), "");  // the menu item writes no status line

    model.analysisSelection.set(BeatloomTimeRange{2, 8});
    model.isAnalyzing.set(true);
    QMenu again;
    toolbar.populateMoreMenu(again);
    EXPECT_TRUE(actionTitled(again, "Cancel Range Selection"));
    EXPECT_FALSE(actionTitled(again, "Re-analyze Selection")->isEnabled());
    EXPECT_FALSE(actionTitled(again, "Re-analyze Audio…")->isEnabled());
    actionTitled(again, "Clear Selection")->trigger();
    EXPECT_FALSE(model.analysisSelection.value());
    model.isAnalyzing.set(false);

    actionTitled(again, "Keyboard Shortcuts…")->trigger();
    EXPECT_TRUE(ui.showHelpPopover.value());
    ui.showHelpPopover.set(false);

    QMenu* grid = actionTitled(again, "Grid · 1/16")->menu();
    actionTitled(*grid, "1/8T")->trigger();
    EXPECT_EQ(ui.gridResolution.value(), BeatloomGridResolution::eighthTriplet);
    actionTitled(*grid, "Snap to Grid")->trigger();
    EXPECT_FALSE(ui.snapEnabled.value());
    QMenu third;
    toolbar.populateMoreMenu(third);
    EXPECT_TRUE(actionTitled(third, "Grid · 1/8T"));

    QMenu* meters = actionTitled(third, "Time Signature · 4/4")->menu();
    actionTitled(*meters, "6/8")->trigger();
    EXPECT_EQ(model.meterEventAtLocator().numerator, 6);
    EXPECT_EQ(model.meterEventAtLocator().denominator, 8);
}

TEST_F(EditorToolbar, MeterPopoverMarksTheMeterInForceAndSetsACustomMeter) {
    setRowWidth(compactWidth());
    loadResult({records::tempoPoint(0, 120)});
    model.meterEvents.set({records::meter(0, 6, 8)});
    ui.showMeterPopover.set(true);
    QWidget* content = nullptr;
    for (QWidget* child : toolbar.findChildren<QWidget*>()) {
        auto* frame = dynamic_cast<PopoverFrame*>(child);
        if (frame && frame->content() && frame->content()->findChild<QSpinBox*>()) content = frame->content();
    }
    ASSERT_TRUE(content);
    for (const auto& choice : BeatloomEditorToolbar::meterChoices) {
        const auto title = QString::fromStdString(choice.id());
        EXPECT_EQ(findByText<QPushButton>(content, title)->property("tint").toString(),
                  choice.id() == "6/8" ? "orange" : "gray")
            << choice.id();
    }
    auto* numerator = content->findChild<QSpinBox*>();
    numerator->setValue(0);
    EXPECT_EQ(numerator->value(), 1);
    numerator->setValue(40);
    EXPECT_EQ(numerator->value(), 32);
    auto* unit = content->findChild<QComboBox*>();
    // The beat-unit picker says what it picks.
    const auto* unitLabel = findByText<QLabel>(content, "Beat unit");
    ASSERT_TRUE(unitLabel);
    EXPECT_EQ(unitLabel->buddy(), unit);
    unit->setCurrentIndex(unit->findText("1/16"));
    QAbstractButton* set = findByText<QAbstractButton>(content, "Set 32/16");
    ASSERT_TRUE(set);
    set->click();
    EXPECT_FALSE(ui.showMeterPopover.value());
    EXPECT_EQ(model.meterEventAtLocator().numerator, 32);
    EXPECT_EQ(model.meterEventAtLocator().denominator, 16);
}

TEST_F(EditorToolbar, NoTextItShowsNamesAKeyOfAnotherPlatform) {
    loadResult({records::tempoPoint(0, 120)});
    model.scaleSectionTempo(2.0);
    model.undo();
    model.scaleSectionTempo(2.0);
    settle();
    // Key names as whole words: "View Options…" names no key.
    const QStringList foreign{"⌘", "⇧", "⌥", "⌃", "\\bCmd\\b", "\\bOption\\b", "\\bCommand\\b"};
    QStringList shown;
    const auto collect = [&shown](const QWidget* root) {
        for (const QWidget* widget : root->findChildren<QWidget*>()) {
            shown << testing::widgetText(widget) << widget->toolTip();
            for (const QAction* action : widget->actions()) shown << action->text() << action->toolTip();
        }
    };
    for (const auto layout :
         {BeatloomToolbarLayout::full, BeatloomToolbarLayout::medium, BeatloomToolbarLayout::compact}) {
        setRowWidth(widthOf(layout));
        collect(&toolbar);
        for (QMenu* menu : toolbar.findChildren<QMenu*>()) {
            emit menu->aboutToShow();
            for (const QAction* action : menu->actions()) shown << action->text();
        }
    }
    ui.showHelpPopover.set(true);
    for (QWidget* child : toolbar.findChildren<QWidget*>()) {
        if (auto* frame = dynamic_cast<PopoverFrame*>(child); frame && frame->content()) collect(frame->content());
    }
    ui.showHelpPopover.set(false);
    EXPECT_TRUE(shown.contains("Undo Double Tempo · Ctrl+Z"));
    EXPECT_TRUE(shown.contains("Ctrl+Shift+Z"));
    for (const QString& text : shown) {
        for (const QString& name : foreign) {
            EXPECT_FALSE(text.contains(QRegularExpression(name))) << text.toStdString();
        }
    }
}

TEST_F(EditorToolbar, TheVariableTempoMarkIsLegibleBesideTheUnit) {
    loadResult({records::tempoPoint(0, 96), records::tempoPoint(8, 120)});
    settle();
    const QWidget* mark = findBySymbol(&toolbar, "waveform.path");
    ASSERT_TRUE(mark);
    EXPECT_TRUE(mark->isVisible());
    EXPECT_GE(mark->height(), findByText<QLabel>(&toolbar, "BPM")->fontMetrics().height());
}

}  // namespace
}  // namespace corvel::editor
