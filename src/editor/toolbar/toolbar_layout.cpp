#include <QHBoxLayout>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QResizeEvent>
#include <QToolButton>

#include "theme/orvanta_theme.hpp"
#include "audio/preview/preview_player.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/popover_frame.hpp"
#include "editor/published_repaint_bridge.hpp"
#include "editor/toolbar/timeline_mode_menu.hpp"
#include "editor/toolbar/toolbar_controls.hpp"
#include "editor/toolbar/toolbar_popovers.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

using theme::OrvantaTheme;

namespace {

constexpr int kHorizontalPadding = 10;
constexpr int kVerticalPadding = 5;
constexpr qreal kStripCornerRadius = 13;
constexpr int kDividerHeight = 26;

// A vertical line between groups of the widest row.
class ToolbarDivider final : public QWidget {
public:
    ToolbarDivider() { setFixedSize(1, kDividerHeight); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), OrvantaTheme::separator());
        painter.fillRect(rect(), OrvantaTheme::white(0.08));
    }
};

QHBoxLayout* rowLayout(QWidget* row, int spacing) {
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    layout->setAlignment(Qt::AlignVCenter);
    return layout;
}

void addFlexibleSpace(QHBoxLayout* layout, int minimumLength) {
    layout->addSpacing(minimumLength);
    layout->addStretch(1);
}

}  // namespace

BeatloomEditorToolbar::BeatloomEditorToolbar(session::BeatloomViewModel& model, audio::BeatloomPreviewPlayer& player,
                                             BeatloomEditorUIState& ui, QWidget* parent)
    : QWidget(parent), model_(model), player_(player), ui_(ui) {
    setContentsMargins(kHorizontalPadding, kVerticalPadding, kHorizontalPadding, kVerticalPadding);
    setFixedHeight(kRowHeight + 2 * kVerticalPadding);
    auto* frame = new QHBoxLayout(this);
    frame->setContentsMargins(0, 0, 0, 0);
    // The width picks the row, so the row in use must never hold the strip at its own width.
    frame->setSizeConstraint(QLayout::SetNoConstraint);
    bridge_ = std::make_unique<PublishedRepaintBridge>([this] { refresh(); });
    bridge_->watch(model_.result);
    bridge_->watch(model_.editableTempoPoints);
    bridge_->watch(model_.meterEvents);
    bridge_->watch(model_.barAnchors);
    bridge_->watch(model_.barOneSeconds);
    bridge_->watch(model_.pickupBarCount);
    bridge_->watch(model_.locatorSeconds);
    bridge_->watch(model_.timelineRegions);
    bridge_->watch(model_.statusText);
    bridge_->watch(model_.errorText);
    bridge_->watch(model_.editorZoom);
    bridge_->watch(player_.transportState());
    bridge_->watch(player_.clickEnabled());
    bridge_->watch(ui_.gridResolution);
    bridge_->watch(ui_.gridFitMode);
    bridge_->watch(ui_.rangeSelectionMode);
    rebuildRow(layoutMode(contentsRect().width()));
}

BeatloomEditorToolbar::~BeatloomEditorToolbar() {
    // The popovers of the row follow flags that may outlive the toolbar; they go first.
    updates_.clear();
    delete row_;
    row_ = nullptr;
}

BeatloomToolbarLayout BeatloomEditorToolbar::layoutMode(int width) {
    for (const BeatloomToolbarLayout layout : {BeatloomToolbarLayout::full, BeatloomToolbarLayout::medium}) {
        if (width >= requiredWidth(layout)) return layout;
    }
    return BeatloomToolbarLayout::compact;
}

int BeatloomEditorToolbar::requiredWidth(BeatloomToolbarLayout layout) {
    std::optional<int>& width = requiredWidths_[static_cast<std::size_t>(layout)];
    if (!width) {
        // The row is built and thrown away: without popovers, and without keeping its updates.
        measuring_ = true;
        const std::size_t updateCount = updates_.size();
        const std::unique_ptr<QWidget> row(buildRow(layout));
        width = row->layout()->sizeHint().width();
        updates_.erase(updates_.begin() + static_cast<std::ptrdiff_t>(updateCount), updates_.end());
        measuring_ = false;
    }
    return *width;
}

void BeatloomEditorToolbar::attachPopover(Published<bool>& isPresented, QWidget* anchor,
                                          std::function<QWidget*()> buildContent) {
    if (measuring_) return;
    new PopoverFrame(isPresented, anchor, std::move(buildContent));
}

void BeatloomEditorToolbar::follow(std::function<void()> update) {
    update();
    updates_.push_back(std::move(update));
}

void BeatloomEditorToolbar::refresh() {
    for (const auto& update : updates_) update();
}

void BeatloomEditorToolbar::rebuildRow(BeatloomToolbarLayout layout) {
    updates_.clear();
    // Deleted now, not later: the old row's key shortcuts would otherwise compete with the new one's.
    delete row_;
    layout_ = layout;
    row_ = buildRow(layout);
    row_->setFixedHeight(kRowHeight);
    this->layout()->addWidget(row_);
}

QWidget* BeatloomEditorToolbar::buildRow(BeatloomToolbarLayout layout) {
    switch (layout) {
        case BeatloomToolbarLayout::full: return fullRow();
        case BeatloomToolbarLayout::medium: return mediumRow();
        case BeatloomToolbarLayout::compact: break;
    }
    return compactRow();
}

void BeatloomEditorToolbar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const BeatloomToolbarLayout wanted = layoutMode(contentsRect().width());
    if (wanted != layout_) rebuildRow(wanted);
}

void BeatloomEditorToolbar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath strip;
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    strip.addRoundedRect(area, kStripCornerRadius, kStripCornerRadius);
    painter.fillPath(strip, OrvantaTheme::black(0.20));
    painter.strokePath(strip, QPen(OrvantaTheme::white(0.09), 1));
}

QSize BeatloomEditorToolbar::minimumSizeHint() const { return {0, kRowHeight + 2 * kVerticalPadding}; }

QWidget* BeatloomEditorToolbar::divider() const { return new ToolbarDivider; }

namespace {

// The mode menu's title follows the locator; the row keeps room for the longest one, so that
// moving the locator never changes what fits.
void holdWidestTitle(QToolButton& menu) {
    const QString shown = menu.text();
    int widest = 0;
    for (const auto mode : {BeatloomTimelineMode::metered, BeatloomTimelineMode::rubato, BeatloomTimelineMode::free}) {
        menu.setText(QString::fromStdString(timelineModeLabel(mode).title));
        widest = std::max(widest, menu.sizeHint().width());
    }
    menu.setText(shown);
    menu.setMinimumWidth(widest);
}

QWidget* timelineModeMenuSlot(const std::function<QWidget*(bool)>& builder, bool showText) {
    QWidget* menu = builder ? builder(showText) : nullptr;
    if (auto* button = qobject_cast<QToolButton*>(menu); button != nullptr && showText) holdWidestTitle(*button);
    return menu;
}

}  // namespace

void BeatloomEditorToolbar::setTimelineModeMenu(std::function<QWidget*(bool showText)> builder) {
    timelineModeMenu_ = std::move(builder);
    requiredWidths_ = {};
    rebuildRow(layoutMode(contentsRect().width()));
}

QWidget* BeatloomEditorToolbar::fullRow() {
    auto* row = new QWidget;
    QHBoxLayout* layout = rowLayout(row, 9);
    layout->addWidget(transportGroup(true));
    layout->addWidget(divider());
    layout->addWidget(tempoReadout());
    layout->addWidget(tempoScaleButtons());
    layout->addWidget(meterButton());
    layout->addWidget(gridButton());
    layout->addWidget(rangeSelectButton());
    layout->addWidget(divider());
    layout->addWidget(barOneGroup(false));
    if (QWidget* modeMenu = timelineModeMenuSlot(timelineModeMenu_, true)) layout->addWidget(modeMenu);
    layout->addWidget(gridFitToggle(true));
    addFlexibleSpace(layout, 8);
    layout->addWidget(zoomGroup());
    layout->addWidget(divider());
    layout->addWidget(undoRedoGroup());
    layout->addWidget(viewOptionsButton());
    layout->addWidget(shortcutsButton());
    layout->addWidget(exportButton(true));
    layout->addWidget(clearProjectButton());
    return row;
}

QWidget* BeatloomEditorToolbar::mediumRow() {
    auto* row = new QWidget;
    QHBoxLayout* layout = rowLayout(row, 7);
    layout->addWidget(transportGroup(false));
    layout->addWidget(tempoReadout());
    layout->addWidget(tempoScaleButtons());
    layout->addWidget(meterButton());
    layout->addWidget(gridButton());
    layout->addWidget(barOneGroup(true));
    if (QWidget* modeMenu = timelineModeMenuSlot(timelineModeMenu_, false)) layout->addWidget(modeMenu);
    layout->addWidget(gridFitToggle(true));
    addFlexibleSpace(layout, 6);
    layout->addWidget(undoRedoGroup());
    layout->addWidget(moreMenu());
    layout->addWidget(exportButton(true));
    layout->addWidget(clearProjectButton());
    layout->addWidget(zoomShortcutCarrier());
    return row;
}

QWidget* BeatloomEditorToolbar::compactRow() {
    auto* row = new QWidget;
    QHBoxLayout* layout = rowLayout(row, 6);
    layout->addWidget(transportGroup(false));
    layout->addWidget(tempoReadout());
    layout->addWidget(barOneGroup(true));
    if (QWidget* modeMenu = timelineModeMenuSlot(timelineModeMenu_, false)) layout->addWidget(modeMenu);
    layout->addWidget(gridFitToggle(false));
    addFlexibleSpace(layout, 4);
    layout->addWidget(undoRedoGroup());
    layout->addWidget(moreMenu());
    layout->addWidget(exportButton(false));
    layout->addWidget(clearProjectButton());
    layout->addWidget(zoomShortcutCarrier());
    return row;
}

QWidget* BeatloomEditorToolbar::rangeSelectButton() {
    auto* button = new theme::OrvantaButton(theme::OrvantaButton::Style::secondary, QStringLiteral("Select Range"),
                                          QStringLiteral("selection.pin.in.out"));
    button->setToolTip(QStringLiteral("Select a waveform range for targeted tempo re-analysis"));
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    connect(button, &QAbstractButton::clicked, this, [this] { toggleRangeSelection(); });
    return button;
}

// ---- Modes and Clear Project

void BeatloomEditorToolbar::toggleRangeSelection() {
    ui_.rangeSelectionMode.set(!ui_.rangeSelectionMode.value());
    if (ui_.rangeSelectionMode.value()) {
        ui_.gridFitMode.set(false);
        model_.statusText.set(kRangeSelectStatus);
    }
    refresh();
}

void BeatloomEditorToolbar::requestClearProject() {
    if (clearAlert_) return;
    showClearConfirmation = true;
    auto* alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Clear current Beatloom project?"),
                                  QStringLiteral("Clear current Beatloom project?"), QMessageBox::NoButton, this);
    alert->setInformativeText(QStringLiteral("Your original audio file will not be deleted."));
    // The message box places buttons by role, each platform in its own order; two buttons of one
    // role keep the order they are added in, so Cancel stands first everywhere. Escape and the
    // default still mean Cancel.
    QPushButton* cancel = alert->addButton(QStringLiteral("Cancel"), QMessageBox::ActionRole);
    QPushButton* clear = alert->addButton(QStringLiteral("Clear Project"), QMessageBox::ActionRole);
    clear->setProperty("destructive", true);
    alert->setDefaultButton(cancel);
    alert->setEscapeButton(cancel);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    connect(alert, &QMessageBox::buttonClicked, this, [this, clear](QAbstractButton* pressed) {
        if (pressed == clear) clearProject();
    });
    connect(alert, &QDialog::finished, this, [this] { showClearConfirmation = false; });
    clearAlert_ = alert;
    alert->open();
}

QMessageBox* BeatloomEditorToolbar::clearConfirmation() const { return qobject_cast<QMessageBox*>(clearAlert_.data()); }

void BeatloomEditorToolbar::clearProject() {
    model_.resetSession();
    ui_.dismissPopovers();
    refresh();
}

}  // namespace corvel::editor
