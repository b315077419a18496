#include "editor/toolbar/toolbar_controls.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>

#include <algorithm>
#include <cmath>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "audio/preview/preview_player.hpp"
#include "common/format.hpp"
#include "core/phase_anchors.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/popover_frame.hpp"
#include "editor/toolbar/tempo_control_popover.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

using theme::FontDesign;
using theme::OrvantaButton;
using theme::OrvantaTheme;

namespace {

QString fromStd(const std::string& text) { return QString::fromStdString(text); }

constexpr int kMenuButtonPadding = 12;
// Legible beside the 9 px "BPM": the variable-tempo mark is drawn a little larger than the unit.
constexpr int kVariableTempoSymbolSide = 13;
// The highest zoom the session allows, as the widest readout.
constexpr double kWidestZoom = 2048.0;

// The widest tempo text the readout can show: three digits and one decimal, whatever the digits.
int widestTempoWidth(const QFontMetrics& metrics) {
    int widest = 0;
    for (char digit = '0'; digit <= '9'; ++digit) {
        const QString text = QString(3, QLatin1Char(digit)) + QStringLiteral(".") + QLatin1Char(digit);
        widest = std::max(widest, metrics.horizontalAdvance(text));
    }
    return widest + 1;
}

// A label of the menu buttons: the text, then a small chevron; the button keeps the width of the
// widest of the texts it can show.
QLabel* addMenuButtonLabel(OrvantaButton* button, const QFont& font, int chevronSide, const QStringList& texts) {
    auto* layout = new QHBoxLayout(button);
    layout->setContentsMargins(kMenuButtonPadding, 0, kMenuButtonPadding, 0);
    layout->setSpacing(4);
    auto* label = makeLabel({}, font);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    int widest = 0;
    for (const QString& text : texts) widest = std::max(widest, label->fontMetrics().horizontalAdvance(text));
    label->setMinimumWidth(widest);
    layout->addWidget(label, 0, Qt::AlignVCenter);
    auto* chevron = new theme::SymbolImage(QStringLiteral("chevron.down"), chevronSide, OrvantaTheme::white(0.8));
    chevron->setAttribute(Qt::WA_TransparentForMouseEvents);
    layout->addWidget(chevron, 0, Qt::AlignVCenter);
    return label;
}

// A key that runs `action` at once wherever the focus is in the window, for as long as `owner`
// is shown (a button's own shortcut would click it only after its press animation).
void bindKey(QWidget* owner, const QKeySequence& key, std::function<void()> action) {
    auto* shortcut = new QShortcut(key, owner);
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated, owner, std::move(action));
}

}  // namespace

// ---- Small widgets

ToolbarMenuButton::ToolbarMenuButton(const QString& systemImage, QSize symbolFrame, QWidget* parent)
    : QToolButton(parent), symbolFrame_(symbolFrame) {
    setProperty(theme::kSystemImageProperty, systemImage);
    setPopupMode(QToolButton::InstantPopup);
    setAutoRaise(true);
    setCursor(Qt::PointingHandCursor);
    setMenu(new QMenu(this));
}

QSize ToolbarMenuButton::sizeHint() const { return symbolFrame_ + QSize(8, 8); }

void ToolbarMenuButton::paintEvent(QPaintEvent*) {
    // The platform's own menu indicator stays hidden: the symbol is the whole label.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QRectF box(QPointF(0, 0), QSizeF(symbolFrame_));
    box.moveCenter(QRectF(rect()).center());
    const qreal side = std::min(box.width(), box.height());
    QRectF square(0, 0, side, side);
    square.moveCenter(box.center());
    const QColor ink = OrvantaTheme::white(isDown() ? 0.7 : 0.9);
    theme::paintSymbol(painter, property(theme::kSystemImageProperty).toString(), square,
                     isEnabled() ? ink : OrvantaTheme::disabled(ink));
}

TempoReadout::TempoReadout(std::function<void()> onDoubleClick, QWidget* parent)
    : QWidget(parent), onDoubleClick_(std::move(onDoubleClick)) {}

void TempoReadout::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && onDoubleClick_) onDoubleClick_();
}

// ---- Texts

QString BeatloomEditorToolbar::gridResolutionText(BeatloomGridResolution resolution) {
    switch (resolution) {
        case BeatloomGridResolution::quarter: return QStringLiteral("1/4");
        case BeatloomGridResolution::eighth: return QStringLiteral("1/8");
        case BeatloomGridResolution::sixteenth: return QStringLiteral("1/16");
        case BeatloomGridResolution::eighthTriplet: return QStringLiteral("1/8T");
    }
    return {};
}

QString BeatloomEditorToolbar::gridText(BeatloomGridResolution resolution) {
    return QStringLiteral("Grid ") + gridResolutionText(resolution);
}

QString BeatloomEditorToolbar::tempoValueText() const {
    double bpm = 0;
    if (const auto atLocator = model_.tempoAtLocator()) {
        bpm = *atLocator;
    } else if (const auto& result = model_.result.value()) {
        bpm = result->bpm;
    }
    return fromStd(formatFixed(bpm, 1));
}

QString BeatloomEditorToolbar::meterText() const {
    const BeatloomMeterEvent meter = model_.meterEventAtLocator();
    return fromStd(BeatloomMeterChoice{meter.numerator, meter.denominator}.id());
}

QString BeatloomEditorToolbar::zoomText() const { return zoomText(model_.editorZoom.value()); }

QString BeatloomEditorToolbar::zoomText(double zoom) { return fromStd(formatFixed(zoom, 1)) + QStringLiteral("×"); }

QString BeatloomEditorToolbar::undoHelp() const {
    const auto& entries = model_.editHistory().undoEntries();
    if (entries.empty()) return QStringLiteral("Nothing to undo");
    return QStringLiteral("Undo ") + fromStd(entries.back().actionName) + QStringLiteral(" · ") +
           fromStd(formatKeyCombination({ModifierKey::control}, "Z"));
}

QString BeatloomEditorToolbar::redoHelp() const {
    const auto& entries = model_.editHistory().redoEntries();
    if (entries.empty()) return QStringLiteral("Nothing to redo");
    return QStringLiteral("Redo ") + fromStd(entries.back().actionName) + QStringLiteral(" · ") +
           fromStd(formatKeyCombination({ModifierKey::control, ModifierKey::shift}, "Z"));
}

bool BeatloomEditorToolbar::canExtendPickup() const {
    const auto& result = model_.result.value();
    if (!result) return false;
    const std::int64_t needed =
        BeatloomTimeline::pickupBarsBeforeBarOne(model_.editableTempoPoints.value(), model_.meterEvents.value(),
                                                 result->durationSeconds, model_.effectiveBarOneSeconds());
    return model_.pickupBarCount.value() < needed;
}

// ---- Actions

void BeatloomEditorToolbar::runSessionAction(const std::function<void(session::BeatloomViewModel&)>& operation) {
    operation(model_);
    refresh();
}

void BeatloomEditorToolbar::toggleFlag(Published<bool>& flag) {
    flag.set(!flag.value());
    refresh();
}

void BeatloomEditorToolbar::toggleClick() {
    player_.setClickEnabled(!player_.clickEnabled().value());
    refresh();
}

void BeatloomEditorToolbar::toggleMeterPopover() {
    const BeatloomMeterEvent meter = model_.meterEventAtLocator();
    customNumerator = meter.numerator;
    customDenominator = meter.denominator;
    toggleFlag(ui_.showMeterPopover);
}

void BeatloomEditorToolbar::openTempoPopover() { showTempoPopover.set(true); }

// ---- Control groups

QWidget* BeatloomEditorToolbar::tempoScaleButtons() {
    auto* group = new QWidget;
    auto* layout = new QHBoxLayout(group);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(3);
    const auto add = [&](const QString& title, double factor, const QString& help) {
        auto* button = new OrvantaButton(OrvantaButton::Style::secondary, title);
        button->setFont(OrvantaTheme::font(10, QFont::Black, FontDesign::rounded));
        button->setToolTip(help);
        connect(button, &QAbstractButton::clicked, this, [this, factor] {
            model_.scaleSectionTempo(factor);
            refresh();
        });
        layout->addWidget(button);
    };
    add(QStringLiteral("÷2"), 0.5, QStringLiteral("Half the tempo of the current section"));
    add(QStringLiteral("×2"), 2.0, QStringLiteral("Double the tempo of the current section"));
    return group;
}

QWidget* BeatloomEditorToolbar::barOneGroup(bool compact) {
    auto* group = new QWidget;
    auto* layout = new QHBoxLayout(group);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);

    auto* setOne = new OrvantaButton(OrvantaButton::Style::secondary,
                                     compact ? QStringLiteral("Set 1") : QStringLiteral("Set New 1"));
    setOne->setToolTip(QStringLiteral(
        "Lock the current locator as Beat 1. Existing grid on the left and other locked 1s stay fixed."));
    setOne->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    connect(setOne, &QAbstractButton::clicked, this,
            [this] { runSessionAction([](auto& model) { model.lockDownbeatAtLocator(); }); });
    layout->addWidget(setOne);

    auto* menuButton = new ToolbarMenuButton(QStringLiteral("chevron.down"), QSize(12, 20));
    menuButton->setToolTip(QStringLiteral("Locked downbeat, absolute Bar 1 and pickup options"));
    QMenu* menu = menuButton->menu();
    const auto item = [&](const QString& title, void (session::BeatloomViewModel::*operation)()) {
        QAction* action = menu->addAction(title);
        connect(action, &QAction::triggered, this,
                [this, operation] { runSessionAction([operation](auto& model) { (model.*operation)(); }); });
        return action;
    };
    item(QStringLiteral("Set Locked 1"), &session::BeatloomViewModel::lockDownbeatAtLocator);
    item(QStringLiteral("Set Song Bar 1 (Absolute)"), &session::BeatloomViewModel::setSongBarOneAtLocator);
    menu->addSeparator();
    QAction* extendOne = item(QStringLiteral("Extend Pickup Before Song Bar 1 — One Bar"),
                              &session::BeatloomViewModel::extendPickupOneBar);
    QAction* extendToStart = item(QStringLiteral("Extend Pickup Before Song Bar 1 — to Audio Start"),
                                  &session::BeatloomViewModel::extendPickupToAudioStart);
    QAction* removePickup =
        item(QStringLiteral("Remove Pickup Bars"), &session::BeatloomViewModel::removePickupBars);
    removePickup->setProperty("destructive", true);
    follow([this, extendOne, extendToStart, removePickup] {
        const bool canExtend = canExtendPickup();
        extendOne->setEnabled(canExtend);
        extendToStart->setEnabled(canExtend);
        removePickup->setEnabled(model_.pickupBarCount.value() != 0);
    });
    layout->addWidget(menuButton);
    return group;
}

namespace {

struct ZoomKey {
    Qt::Key key;
    const char* help;
};

}  // namespace

QWidget* BeatloomEditorToolbar::zoomGroup() {
    auto* group = new QWidget;
    auto* layout = new QHBoxLayout(group);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);

    auto* zoomOut = new OrvantaButton(OrvantaButton::Style::secondary, {}, QStringLiteral("minus.magnifyingglass"));
    bindKey(zoomOut, QKeySequence(Qt::Key_Down), [zoomOut] { zoomOut->click(); });
    zoomOut->setToolTip(QStringLiteral("Zoom Out · Down Arrow"));
    connect(zoomOut, &QAbstractButton::clicked, this, [this] {
        model_.setZoom(model_.editorZoom.value() / kZoomStep);
        refresh();
    });

    auto* fit = new OrvantaButton(OrvantaButton::Style::secondary, zoomText());
    fit->setFont(OrvantaTheme::font(10, QFont::ExtraBold, FontDesign::monospaced));
    // As wide as the widest zoom it can show, so that zooming never moves the controls.
    fit->setText(zoomText(kWidestZoom));
    fit->setMinimumWidth(std::max(34, fit->sizeHint().width()));
    bindKey(fit, QKeySequence(Qt::Key_0), [fit] { fit->click(); });
    fit->setToolTip(QStringLiteral("Fit Song · 0"));
    connect(fit, &QAbstractButton::clicked, this,
            [this] { runSessionAction([](auto& model) { model.resetZoom(); }); });
    follow([this, fit] { fit->setText(zoomText()); });

    auto* zoomIn = new OrvantaButton(OrvantaButton::Style::secondary, {}, QStringLiteral("plus.magnifyingglass"));
    bindKey(zoomIn, QKeySequence(Qt::Key_Up), [zoomIn] { zoomIn->click(); });
    zoomIn->setToolTip(QStringLiteral("Zoom In · Up Arrow"));
    connect(zoomIn, &QAbstractButton::clicked, this, [this] {
        model_.setZoom(model_.editorZoom.value() * kZoomStep);
        refresh();
    });

    layout->addWidget(zoomOut);
    layout->addWidget(fit);
    layout->addWidget(zoomIn);
    return group;
}

QWidget* BeatloomEditorToolbar::zoomShortcutCarrier() {
    // Never seen or clicked: the buttons stay "visible" at no size so that their keys work in
    // the rows without zoom buttons (a hidden widget's shortcut does not fire).
    auto* group = new QWidget;
    auto* layout = new QHBoxLayout(group);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    const auto add = [&](Qt::Key key, std::function<void()> action) {
        auto* button = new QPushButton;
        button->setFlat(true);
        button->setFixedSize(0, 0);
        button->setFocusPolicy(Qt::NoFocus);
        connect(button, &QAbstractButton::clicked, this, [this, action = std::move(action)] {
            action();
            refresh();
        });
        bindKey(button, QKeySequence(key), [button] { button->click(); });
        layout->addWidget(button);
    };
    add(Qt::Key_Down, [this] { model_.setZoom(model_.editorZoom.value() / kZoomStep); });
    add(Qt::Key_0, [this] { model_.resetZoom(); });
    add(Qt::Key_Up, [this] { model_.setZoom(model_.editorZoom.value() * kZoomStep); });
    group->setFixedSize(0, 0);
    group->setAccessibleName({});
    return group;
}

QWidget* BeatloomEditorToolbar::undoRedoGroup() {
    auto* group = new QWidget;
    auto* layout = new QHBoxLayout(group);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto* undo = new OrvantaButton(OrvantaButton::Style::secondary, {}, QStringLiteral("arrow.uturn.backward"));
    bindKey(undo, QKeySequence(Qt::CTRL | Qt::Key_Z), [undo] { undo->click(); });
    connect(undo, &QAbstractButton::clicked, this, [this] { runSessionAction([](auto& model) { model.undo(); }); });
    auto* redo = new OrvantaButton(OrvantaButton::Style::secondary, {}, QStringLiteral("arrow.uturn.forward"));
    bindKey(redo, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), [redo] { redo->click(); });
    connect(redo, &QAbstractButton::clicked, this, [this] { runSessionAction([](auto& model) { model.redo(); }); });
    follow([this, undo, redo] {
        undo->setEnabled(!model_.editHistory().undoEntries().empty());
        undo->setToolTip(undoHelp());
        redo->setEnabled(!model_.editHistory().redoEntries().empty());
        redo->setToolTip(redoHelp());
    });
    layout->addWidget(undo);
    layout->addWidget(redo);
    return group;
}

// ---- The row's own buttons

QWidget* BeatloomEditorToolbar::transportGroup(bool showClickSettings) {
    auto* group = new QWidget;
    auto* layout = new QHBoxLayout(group);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(5);

    auto* playStop = new OrvantaButton(OrvantaButton::Style::primary, {}, QStringLiteral("play.fill"));
    bindKey(playStop, QKeySequence(Qt::Key_Space), [playStop] { playStop->click(); });
    playStop->setToolTip(QStringLiteral("Play / Stop · Space"));
    connect(playStop, &QAbstractButton::clicked, this,
            [this] { runSessionAction([](auto& model) { model.togglePlayback(); }); });
    layout->addWidget(playStop);

    auto* click = new OrvantaButton(OrvantaButton::Style::secondary, {}, QStringLiteral("metronome"));
    connect(click, &QAbstractButton::clicked, this, [this] { toggleClick(); });
    layout->addWidget(click);

    follow([this, playStop, click] {
        const bool stopped = player_.transportState().value() == audio::BeatloomPreviewTransportState::stopped;
        playStop->setSystemImage(stopped ? QStringLiteral("play.fill") : QStringLiteral("stop.fill"));
        const bool clickOn = player_.clickEnabled().value();
        click->setSystemImage(clickOn ? QStringLiteral("metronome.fill") : QStringLiteral("metronome"));
        click->setToolTip(clickOn ? QStringLiteral("Click on") : QStringLiteral("Click off"));
    });

    if (showClickSettings) {
        auto* settings = new OrvantaButton(OrvantaButton::Style::secondary, {}, QStringLiteral("chevron.down"));
        settings->setToolTip(QStringLiteral("Click settings"));
        connect(settings, &QAbstractButton::clicked, this, [this] { toggleFlag(ui_.showClickPopover); });
        attachPopover(ui_.showClickPopover, settings, [this] { return clickPopover(); });
        layout->addWidget(settings);
    }
    return group;
}

QWidget* BeatloomEditorToolbar::tempoReadout() {
    auto* readout = new TempoReadout([this] { openTempoPopover(); });
    readout->setToolTip(QStringLiteral("Double-click to enter tempo manually"));
    readout->setAccessibleName(QStringLiteral("Current tempo. Double-click to edit."));
    readout->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    auto* layout = new QHBoxLayout(readout);
    layout->setContentsMargins(3, 0, 3, 0);
    layout->setSpacing(3);

    auto* value = new theme::OrvantaGradientText(tempoValueText());
    value->setObjectName(QStringLiteral("tempoValue"));
    value->setFont(OrvantaTheme::font(23, QFont::Black, FontDesign::rounded));
    value->setAttribute(Qt::WA_TransparentForMouseEvents);
    // The readout keeps the width of the widest tempo, so the row never moves as the tempo changes.
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    value->setFixedWidth(widestTempoWidth(value->fontMetrics()));
    auto* unit = makeLabel(QStringLiteral("BPM"), OrvantaTheme::font(9, QFont::ExtraBold), OrvantaTheme::white(0.46));
    unit->setAttribute(Qt::WA_TransparentForMouseEvents);
    QColor orange = OrvantaTheme::standardOrange();
    orange.setAlphaF(0.85);
    auto* variable = new theme::SymbolImage(QStringLiteral("waveform.path"), kVariableTempoSymbolSide, orange);
    variable->setToolTip(QStringLiteral("Variable tempo map"));
    QSizePolicy keepRoom = variable->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    variable->setSizePolicy(keepRoom);
    layout->addWidget(value, 0, Qt::AlignBaseline);
    layout->addWidget(unit, 0, Qt::AlignBaseline);
    layout->addWidget(variable, 0, Qt::AlignVCenter);
    follow([this, value, variable] {
        value->setText(tempoValueText());
        variable->setVisible(model_.editableTempoPoints.value().size() >= 2);
    });

    // The panel fills its field with the tempo at the locator as it opens.
    attachPopover(showTempoPopover, readout,
                  [this]() -> QWidget* { return new BeatloomTempoControlPopover(model_, showTempoPopover); });
    return readout;
}

QWidget* BeatloomEditorToolbar::meterButton() {
    auto* button = new OrvantaButton(OrvantaButton::Style::secondary, {});
    button->setToolTip(QStringLiteral("Time signature at the locator"));
    // The longest meter: a two-digit numerator over a two-digit beat unit.
    QLabel* label = addMenuButtonLabel(button, OrvantaTheme::font(12, QFont::Black, FontDesign::monospaced), 7,
                                       {QStringLiteral("32/16")});
    button->setFixedWidth(button->layout()->sizeHint().width());
    connect(button, &QAbstractButton::clicked, this, [this] { toggleMeterPopover(); });
    follow([this, label] { label->setText(meterText()); });
    attachMeterPopover(button);
    return button;
}

QWidget* BeatloomEditorToolbar::gridButton() {
    auto* button = new OrvantaButton(OrvantaButton::Style::secondary, {});
    QStringList texts;
    for (const auto resolution : {BeatloomGridResolution::quarter, BeatloomGridResolution::eighth,
                                  BeatloomGridResolution::sixteenth, BeatloomGridResolution::eighthTriplet}) {
        texts << gridText(resolution);
    }
    QLabel* label =
        addMenuButtonLabel(button, OrvantaTheme::font(11, QFont::ExtraBold, FontDesign::rounded), 7, texts);
    button->setFixedWidth(button->layout()->sizeHint().width());
    connect(button, &QAbstractButton::clicked, this, [this] { toggleFlag(ui_.showGridPopover); });
    follow([this, label] { label->setText(gridText(ui_.gridResolution.value())); });
    attachPopover(ui_.showGridPopover, button, [this] { return gridPopover(); });
    return button;
}

QWidget* BeatloomEditorToolbar::gridFitToggle(bool showText) {
    auto* button = new BeatloomModeButton(showText ? QStringLiteral("Grid Fit") : QString());
    button->setSystemImage(QStringLiteral("point.3.connected.trianglepath.dotted"));
    button->setToolTip(QStringLiteral("Align beat/bar lines to real transients."));
    connect(button, &QAbstractButton::clicked, this, [this] { toggleFlag(ui_.gridFitMode); });
    follow([this, button] { button->setActive(ui_.gridFitMode.value()); });
    return button;
}

QWidget* BeatloomEditorToolbar::viewOptionsButton() {
    auto* button = new OrvantaButton(OrvantaButton::Style::secondary, {}, QStringLiteral("eye"));
    button->setToolTip(QStringLiteral("View options"));
    connect(button, &QAbstractButton::clicked, this, [this] { toggleFlag(ui_.showViewPopover); });
    attachPopover(ui_.showViewPopover, button, [this] { return viewPopover(); });
    return button;
}

QWidget* BeatloomEditorToolbar::shortcutsButton() {
    auto* button = new OrvantaButton(OrvantaButton::Style::secondary, {}, QStringLiteral("questionmark.circle"));
    button->setToolTip(QStringLiteral("Keyboard shortcuts"));
    connect(button, &QAbstractButton::clicked, this, [this] { toggleFlag(ui_.showHelpPopover); });
    attachPopover(ui_.showHelpPopover, button, [this] { return shortcutsPopover(); });
    return button;
}

QWidget* BeatloomEditorToolbar::exportButton(bool showText) {
    auto* button = new OrvantaButton(OrvantaButton::Style::primary, showText ? QStringLiteral("Export") : QString(),
                                     QStringLiteral("square.and.arrow.up"));
    button->setToolTip(QStringLiteral("Export the confirmed tempo and meter map as MIDI"));
    connect(button, &QAbstractButton::clicked, this,
            [this] { runSessionAction([](auto& model) { model.exportTempoMIDI(); }); });
    return button;
}

QWidget* BeatloomEditorToolbar::clearProjectButton() {
    auto* button = new OrvantaButton(OrvantaButton::Style::secondary, {}, QStringLiteral("trash"));
    button->setToolTip(QStringLiteral("Clear Beatloom Project — original audio is never deleted"));
    button->setAccessibleName(QStringLiteral("Clear Beatloom Project"));
    connect(button, &QAbstractButton::clicked, this, [this] { requestClearProject(); });
    follow([this, button] { button->setEnabled(model_.result.value().has_value()); });
    return button;
}

}  // namespace corvel::editor
