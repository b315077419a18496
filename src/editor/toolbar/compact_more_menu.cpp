#include <QAction>
#include <QMenu>

#include <array>

#include "audio/preview/preview_player.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/popover_frame.hpp"
#include "editor/toolbar/toolbar_controls.hpp"
#include "editor/toolbar/toolbar_popovers.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

namespace {

constexpr std::array<BeatloomGridResolution, 4> kGridChoices{
    BeatloomGridResolution::quarter, BeatloomGridResolution::eighth, BeatloomGridResolution::sixteenth,
    BeatloomGridResolution::eighthTriplet};

QString meterTitle(std::int64_t numerator, std::int64_t denominator) {
    return QString::fromStdString(BeatloomMeterChoice{numerator, denominator}.id());
}

}  // namespace

QWidget* BeatloomEditorToolbar::moreMenu() {
    auto* button = new ToolbarMenuButton(QStringLiteral("ellipsis.circle"), QSize(20, 20));
    button->setToolTip(QStringLiteral("More Beatloom controls"));
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    QMenu* menu = button->menu();
    // The items are read afresh each time the menu opens, so titles and enabled states are current.
    connect(menu, &QMenu::aboutToShow, this, [this, menu] {
        menu->clear();
        populateMoreMenu(*menu);
    });
    populateMoreMenu(*menu);
    // In the medium row the time-signature button presents the meter popover itself.
    if (layout_ == BeatloomToolbarLayout::compact) attachMeterPopover(button);
    attachPopover(ui_.showClickPopover, button, [this] { return clickPopover(); });
    attachPopover(ui_.showHelpPopover, button, [this] { return shortcutsPopover(); });
    return button;
}

void BeatloomEditorToolbar::populateMoreMenu(QMenu& menu) {
    const auto add = [this, &menu](const QString& title, std::function<void()> action) {
        QAction* item = menu.addAction(title);
        connect(item, &QAction::triggered, this, [this, action = std::move(action)] {
            action();
            refresh();
        });
        return item;
    };

    QMenu* meterMenu = menu.addMenu(QStringLiteral("Time Signature · ") + meterText());
    for (const BeatloomMeterChoice& choice : meterChoices) {
        QAction* item = meterMenu->addAction(meterTitle(choice.numerator, choice.denominator));
        connect(item, &QAction::triggered, this, [this, choice] {
            model_.setTimeSignatureAtLocator(choice.numerator, choice.denominator);
            refresh();
        });
    }
    meterMenu->addSeparator();
    connect(meterMenu->addAction(QStringLiteral("Custom…")), &QAction::triggered, this,
            [this] { ui_.showMeterPopover.set(true); });

    QMenu* gridMenu =
        menu.addMenu(QStringLiteral("Grid · ") + gridResolutionText(ui_.gridResolution.value()));
    for (const BeatloomGridResolution resolution : kGridChoices) {
        connect(gridMenu->addAction(gridResolutionText(resolution)), &QAction::triggered, this,
                [this, resolution] { ui_.gridResolution.set(resolution); });
    }
    gridMenu->addSeparator();
    const auto toggle = [this](QMenu& target, const QString& title, bool checked, std::function<void(bool)> change) {
        QAction* item = target.addAction(title);
        item->setCheckable(true);
        item->setChecked(checked);
        connect(item, &QAction::toggled, this, [this, change = std::move(change)](bool on) {
            change(on);
            refresh();
        });
        return item;
    };
    toggle(*gridMenu, QStringLiteral("Snap to Grid"), ui_.snapEnabled.value(),
           [this](bool on) { ui_.snapEnabled.set(on); });
    toggle(*gridMenu, QStringLiteral("Transient Snap"), ui_.transientSnapEnabled.value(),
           [this](bool on) { ui_.transientSnapEnabled.set(on); });
    toggle(*gridMenu, QStringLiteral("Show Subdivisions"), ui_.showSubdivisions.value(),
           [this](bool on) { ui_.showSubdivisions.set(on); });
    menu.addSeparator();

    // Unlike the row's Range Select button, the menu item leaves the status line alone.
    add(ui_.rangeSelectionMode.value() ? QStringLiteral("Cancel Range Selection")
                                       : QStringLiteral("Select Range for Re-analysis"),
        [this] {
            ui_.rangeSelectionMode.set(!ui_.rangeSelectionMode.value());
            if (ui_.rangeSelectionMode.value()) ui_.gridFitMode.set(false);
        });
    if (model_.analysisSelection.value()) {
        add(QStringLiteral("Re-analyze Selection"), [this] { model_.reanalyzeSelection(); })
            ->setEnabled(!model_.isAnalyzing.value());
        add(QStringLiteral("Clear Selection"), [this] { model_.analysisSelection.set(std::nullopt); });
    }
    menu.addSeparator();

    add(QStringLiteral("Half Current Tempo (÷2)"), [this] { model_.scaleSectionTempo(0.5); });
    add(QStringLiteral("Double Current Tempo (×2)"), [this] { model_.scaleSectionTempo(2.0); });
    menu.addSeparator();

    add(QStringLiteral("Use Detected Tempo"), [this] { model_.useDetectedTempo(); })
        ->setEnabled(!model_.isDetectedTempoActive());
    add(QStringLiteral("Re-analyze Audio…"), [this] { model_.reanalyzeTempo(); })
        ->setEnabled(!model_.isAnalyzing.value() && model_.selectedURL.value().has_value());
    toggle(menu, QStringLiteral("Click"), player_.clickEnabled().value(),
           [this](bool on) { player_.setClickEnabled(on); });
    add(QStringLiteral("Click Settings…"), [this] { ui_.showClickPopover.set(true); });
    toggle(menu, QStringLiteral("Follow Playback"), model_.pageFollowEnabled.value(),
           [this](bool on) { model_.pageFollowEnabled.set(on); });
    menu.addSeparator();

    add(QStringLiteral("Zoom In"), [this] { model_.setZoom(model_.editorZoom.value() * kZoomStep); });
    add(QStringLiteral("Zoom Out"), [this] { model_.setZoom(model_.editorZoom.value() / kZoomStep); });
    add(QStringLiteral("Fit Song"), [this] { model_.resetZoom(); });
    add(QStringLiteral("Center Locator"), [this] { model_.centerViewportOnPlayhead(); });
    menu.addSeparator();

    add(QStringLiteral("Keyboard Shortcuts…"), [this] { ui_.showHelpPopover.set(true); });
}

}  // namespace corvel::editor
