#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include <memory>

#include <algorithm>

#include <gtest/gtest.h>

#include "theme/orvanta_theme.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/popover_frame.hpp"
#include "editor/toolbar/toolbar_popovers.hpp"
#include "session/session_fixture.hpp"
#include "editor/widget_lookup.hpp"

namespace corvel::editor {
namespace {

namespace records = corvel::testing;
using testing::findBySymbol;
using testing::findByText;
using testing::findByToolTip;

class ToolbarPopovers : public session::testing::SessionTest {
protected:
    audio::BeatloomPreviewPlayer& player() { return model.previewPlayer(); }

    // A popover opened from its own button, as the toolbar presents it.
    PopoverFrame& popover(Published<bool>& flag, QWidget* (BeatloomEditorToolbar::*build)() const) {
        auto button = std::make_unique<QPushButton>(QStringLiteral("open"), &toolbar);
        frames.push_back(std::make_unique<PopoverFrame>(flag, button.get(), [this, build] { return (toolbar.*build)(); }));
        buttons.push_back(std::move(button));
        return *frames.back();
    }

    BeatloomEditorUIState ui;
    BeatloomEditorToolbar toolbar{model, model.previewPlayer(), ui};
    std::vector<std::unique_ptr<PopoverFrame>> frames;
    std::vector<std::unique_ptr<QPushButton>> buttons;

    ~ToolbarPopovers() override {
        frames.clear();
        buttons.clear();
    }
};

TEST_F(ToolbarPopovers, StartFromTheirInitialValuesAndOfferTheEightMeterPresetsInOrder) {
    EXPECT_EQ(toolbar.customNumerator, 4);
    EXPECT_EQ(toolbar.customDenominator, 4);
    EXPECT_FALSE(toolbar.showClearConfirmation);
    EXPECT_FALSE(toolbar.showTempoPopover.value());
    model.meterEvents.set({records::meter(0, 7, 8)});
    std::vector<std::string> ids;
    for (const auto& choice : BeatloomEditorToolbar::meterChoices) ids.push_back(choice.id());
    EXPECT_EQ(ids, (std::vector<std::string>{"2/4", "3/4", "4/4", "5/4", "6/8", "7/8", "9/8", "12/8"}));
}

TEST_F(ToolbarPopovers, OpenAndCloseOnlyThroughTheirFlagsAndClearProjectLeavesTheShortcutsOpen) {
    auto& grid = popover(ui.showGridPopover, &BeatloomEditorToolbar::gridPopover);
    auto& view = popover(ui.showViewPopover, &BeatloomEditorToolbar::viewPopover);
    auto& help = popover(ui.showHelpPopover, &BeatloomEditorToolbar::shortcutsPopover);
    EXPECT_FALSE(grid.isVisible());
    EXPECT_EQ(grid.content(), nullptr);

    ui.showGridPopover.set(true);
    ASSERT_TRUE(grid.isVisible());
    ASSERT_NE(grid.content(), nullptr);
    // A click outside closes the pop-up window; the flag follows.
    grid.close();
    EXPECT_FALSE(ui.showGridPopover.value());
    EXPECT_EQ(grid.content(), nullptr);

    ui.showGridPopover.set(true);
    ui.showViewPopover.set(true);
    ui.showHelpPopover.set(true);
    ui.dismissPopovers();
    EXPECT_FALSE(grid.isVisible());
    EXPECT_FALSE(view.isVisible());
    EXPECT_TRUE(help.isVisible());
    EXPECT_TRUE(ui.showHelpPopover.value());
}

TEST_F(ToolbarPopovers, GridPopoverWritesResolutionAndSwitchesAndShowsTheSubdivisionsFlagItSharesWithView) {
    auto& grid = popover(ui.showGridPopover, &BeatloomEditorToolbar::gridPopover);
    auto& view = popover(ui.showViewPopover, &BeatloomEditorToolbar::viewPopover);
    ui.showGridPopover.set(true);
    ui.showViewPopover.set(true);
    QWidget* content = grid.content();
    EXPECT_TRUE(findByText<QRadioButton>(content, "1/8")->isChecked());

    findByText<QRadioButton>(content, "1/16")->click();
    EXPECT_EQ(ui.gridResolution.value(), BeatloomGridResolution::sixteenth);
    ui.gridResolution.set(BeatloomGridResolution::eighthTriplet);
    EXPECT_TRUE(findByText<QRadioButton>(content, "1/8T")->isChecked());

    findByText<QCheckBox>(content, "Snap to Grid")->click();
    findByText<QCheckBox>(content, "Transient Snap")->click();
    EXPECT_FALSE(ui.snapEnabled.value());
    EXPECT_FALSE(ui.transientSnapEnabled.value());

    auto* gridSubdivisions = findByText<QCheckBox>(content, "Show Subdivisions");
    auto* viewSubdivisions = findByText<QCheckBox>(view.content(), "Show Subdivisions");
    gridSubdivisions->click();
    EXPECT_FALSE(ui.showSubdivisions.value());
    EXPECT_FALSE(viewSubdivisions->isChecked());
    viewSubdivisions->click();
    EXPECT_TRUE(ui.showSubdivisions.value());
    EXPECT_TRUE(gridSubdivisions->isChecked());
    // The popover stays open for further settings.
    EXPECT_TRUE(ui.showGridPopover.value());
}

TEST_F(ToolbarPopovers, ClickPopoverSetsThePlayersClickAndKeepsTheLevelWhileTheClickIsOff) {
    auto& click = popover(ui.showClickPopover, &BeatloomEditorToolbar::clickPopover);
    ui.showClickPopover.set(true);
    QWidget* content = click.content();
    findBySymbol(content, "speaker.wave.1");
    auto* slider = content->findChild<QSlider*>();
    ASSERT_NE(slider, nullptr);
    EXPECT_NE(findByText<QLabel>(content, "150%"), nullptr);

    slider->setValue(slider->minimum());
    EXPECT_DOUBLE_EQ(player().clickVolume().value(), 0.25);
    EXPECT_NE(findByText<QLabel>(content, "25%"), nullptr);
    slider->setValue(slider->maximum());
    EXPECT_DOUBLE_EQ(player().clickVolume().value(), 2.0);
    EXPECT_NE(findByText<QLabel>(content, "200%"), nullptr);
    slider->setValue(23);  // 1.15: the per-cent text rounds, it does not truncate
    EXPECT_NE(findByText<QLabel>(content, "115%"), nullptr);

    auto* enabled = findByText<QCheckBox>(content, "Enabled");
    EXPECT_TRUE(enabled->isChecked());
    enabled->click();
    EXPECT_FALSE(player().clickEnabled().value());
    EXPECT_TRUE(slider->isEnabled());
    enabled->click();
    EXPECT_TRUE(player().clickEnabled().value());
    EXPECT_EQ(slider->value(), 23);
    EXPECT_NEAR(player().clickVolume().value(), 1.15, 1e-12);

    // Whoever else changes the player, the popover shows it.
    player().setClickVolume(0.5);
    EXPECT_EQ(slider->value(), 10);
    EXPECT_NE(findByText<QLabel>(content, "50%"), nullptr);
}

TEST_F(ToolbarPopovers, ClickVolumeTextRoundsHalvesAwayFromZero) {
    const std::vector<std::pair<double, QString>> cases{{0.25, "25%"}, {1.5, "150%"}, {2.0, "200%"}, {0.555, "56%"}, {1.004, "100%"}};
    for (const auto& [volume, text] : cases) EXPECT_EQ(BeatloomEditorToolbar::clickVolumeText(volume), text) << volume;
}

TEST_F(ToolbarPopovers, ClickPopoverWritesTheFreeTimeClickModeIntoTheSession) {
    auto& click = popover(ui.showClickPopover, &BeatloomEditorToolbar::clickPopover);
    ui.showClickPopover.set(true);
    auto* picker = findByToolTip<QComboBox>(
        click.content(), "Off silences click in Free Time; Anchor Only clicks only on manual Free anchors.");
    ASSERT_NE(picker, nullptr);
    ASSERT_EQ(picker->count(), 2);
    EXPECT_EQ(picker->itemText(0), "Off");
    EXPECT_EQ(picker->itemText(1), "Anchor Only");
    EXPECT_EQ(picker->currentText(), "Off");
    picker->activated(1);
    EXPECT_EQ(model.freeTimeClickMode.value(), BeatloomFreeTimeClickMode::anchorOnly);
    model.freeTimeClickMode.set(BeatloomFreeTimeClickMode::off);
    EXPECT_EQ(picker->currentText(), "Off");
}

TEST_F(ToolbarPopovers, ViewPopoverSwitchesTheDisplayAndItsButtonsAlwaysCloseIt) {
    auto& view = popover(ui.showViewPopover, &BeatloomEditorToolbar::viewPopover);
    ui.showViewPopover.set(true);
    QWidget* content = view.content();
    findByText<QCheckBox>(content, "Follow Playback")->click();
    EXPECT_FALSE(model.pageFollowEnabled.value());
    findByText<QCheckBox>(content, "Show Transient Candidates")->click();
    EXPECT_TRUE(ui.showTransients.value());
    findByText<QCheckBox>(content, "Large Waveform")->click();
    EXPECT_FALSE(ui.waveformLarge.value());
    EXPECT_TRUE(ui.showViewPopover.value());

    // Without a song "Fit Song" changes nothing but still closes the popover.
    const auto viewport = model.viewportState.value();
    findByText<QPushButton>(content, "Fit Song")->click();
    EXPECT_FALSE(ui.showViewPopover.value());
    EXPECT_FALSE(view.isVisible());
    EXPECT_EQ(model.viewportState.value(), viewport);
    QCoreApplication::processEvents();

    loadResult({records::tempoPoint(0, 120)});
    model.setViewportPixelWidth(1000);
    model.setZoom(4);
    model.seek(12);
    ui.showViewPopover.set(true);
    findByText<QPushButton>(view.content(), "Center Locator")->click();
    EXPECT_FALSE(ui.showViewPopover.value());
    EXPECT_NEAR(model.viewportState.value().visibleStartSeconds, 12 - 2.5, 1e-9);

    ui.showViewPopover.set(true);
    findByText<QPushButton>(view.content(), "Fit Song")->click();
    EXPECT_FALSE(ui.showViewPopover.value());
    EXPECT_EQ(model.viewportState.value().visibleStartSeconds, 0);
    EXPECT_EQ(model.viewportState.value().visibleDurationSeconds, session::testing::kSongSeconds);
}

TEST_F(ToolbarPopovers, ShortcutsPopoverListsTheEightShortcutsInOrder) {
    auto& help = popover(ui.showHelpPopover, &BeatloomEditorToolbar::shortcutsPopover);
    ui.showHelpPopover.set(true);
    EXPECT_EQ(testing::labelTexts(help.content()),
              (QStringList{"Keyboard Shortcuts", "Space", "Play / Stop", "↑", "Zoom In", "↓", "Zoom Out", "0",
                           "Fit Song", "Ctrl+Z", "Undo", "Ctrl+Shift+Z", "Redo", "A", "Add Free/Rubato Anchor",
                           "Alt + Drag", "Bypass Snap"}));
    // Every key fits the key column, so the actions stand in one line beside them.
    for (const QString key : {"Space", "Ctrl+Shift+Z", "Alt + Drag"}) {
        const auto* label = testing::findByText<QLabel>(help.content(), key);
        ASSERT_TRUE(label) << key.toStdString();
        EXPECT_EQ(label->width(), label->minimumWidth()) << key.toStdString();
    }
}

// The brightest pixel of a region: how strongly something there stands out of the dark.
int brightest(const QImage& image, const QRect& region) {
    int value = 0;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) value = std::max(value, qGray(image.pixel(x, y)));
    }
    return value;
}

TEST_F(ToolbarPopovers, APopoverHasAVisibleEdgeAndItsUnchosenRadioCirclesShow) {
    auto& grid = popover(ui.showGridPopover, &BeatloomEditorToolbar::gridPopover);
    ui.showGridPopover.set(true);
    const QImage frame = grid.grab().toImage();
    const int face = qGray(frame.pixel(frame.width() / 2, frame.height() - 4));
    const int edge = qGray(frame.pixel(0, frame.height() / 2));
    EXPECT_LT(face, 50);                  // dark, like the window under it
    EXPECT_GT(edge, face + 25);           // but outlined
    EXPECT_GT(edge, 50);                  // and outlined brighter than the black timeline

    auto* unchosen = findByText<QRadioButton>(grid.content(), "1/4");
    ASSERT_FALSE(unchosen->isChecked());
    const QImage radio = unchosen->grab().toImage();
    EXPECT_GT(brightest(radio, QRect(0, 0, 18, radio.height())), 110);
}

TEST_F(ToolbarPopovers, APopoverStaysInsideItsWindowWhereverItsButtonSits) {
    QWidget window;
    window.setGeometry(100, 100, 800, 700);
    auto* button = new QPushButton(QStringLiteral("open"), &window);
    button->resize(40, 30);
    window.show();
    Published<bool> presented{false};
    PopoverFrame frame(presented, button, [this] { return toolbar.viewPopover(); });
    struct Case {
        const char* where;
        QPoint at;
        bool below;  // else above the button
    };
    for (const Case& c : {Case{"top left", {10, 10}, true}, Case{"top right", {750, 10}, true},
                          Case{"bottom right", {750, 660}, false}}) {
        SCOPED_TRACE(c.where);
        button->move(c.at);
        presented.set(true);
        ASSERT_TRUE(frame.isVisible());
        EXPECT_TRUE(window.geometry().contains(frame.geometry()));
        const QRect anchor(button->mapToGlobal(QPoint(0, 0)), button->size());
        EXPECT_EQ(frame.geometry().top() > anchor.bottom(), c.below);
        EXPECT_EQ(frame.geometry().bottom() < anchor.top(), !c.below);
        presented.set(false);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

TEST(BeatloomModeButtonStyle, ActiveShowsTheAccentGradientAndPressingDimsItAndTheLabel) {
    struct Case {
        bool active;
        bool pressed;
        qreal text, accent, fillStart;
    };
    for (const Case& c : {Case{true, false, 0.96, 0.96, 0}, Case{true, true, 0.82, 0.78, 0},
                          Case{false, false, 0.96, 0, 0.16}, Case{false, true, 0.82, 0, 0.10}}) {
        const auto look = BeatloomModeButtonStyle{c.active}.appearance(c.pressed);
        EXPECT_DOUBLE_EQ(look.textOpacity, c.text) << c.active << c.pressed;
        EXPECT_DOUBLE_EQ(look.accentOpacity, c.accent) << c.active << c.pressed;
        EXPECT_DOUBLE_EQ(look.fillStartOpacity, c.fillStart) << c.active << c.pressed;
    }

    // On screen: the active button's leading edge carries the accent gradient's pink.
    BeatloomModeButton button(QStringLiteral("Grid Fit"));
    button.resize(button.sizeHint());
    EXPECT_GE(button.height(), BeatloomModeButtonStyle::minimumHeight);
    const auto leadingColour = [&button] {
        QImage image(button.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::black);
        button.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image.pixelColor(3, button.height() / 2);
    };
    const QColor inactive = leadingColour();
    button.setActive(true);
    const QColor active = leadingColour();
    EXPECT_GT(active.red(), inactive.red() + 100);
    EXPECT_LT(active.blue(), active.red());
}

}  // namespace
}  // namespace corvel::editor
