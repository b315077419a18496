#include "editor/toolbar/toolbar_popovers.hpp"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <cmath>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "audio/preview/preview_player.hpp"
#include "common/format.hpp"
#include "core/raw_enum.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/popover_frame.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

using theme::FontDesign;
using theme::OrvantaTheme;

namespace {

constexpr int kPopoverPadding = 16;
constexpr int kPopoverSpacing = 12;
constexpr int kShortcutsSpacing = 9;
constexpr int kShortcutKeyWidth = 82;
constexpr int kVolumeTextWidth = 44;
constexpr int kSpeakerSide = 16;

// The slider moves in steps of 0.05 over 0.25 ... 2.0, so its positions are whole steps.
constexpr double kVolumeStep = 0.05;
constexpr int kVolumeMinimumStep = 5;
constexpr int kVolumeMaximumStep = 40;

int volumeStep(double volume) { return static_cast<int>(std::lround(volume / kVolumeStep)); }

QString rawText(BeatloomGridResolution resolution) {
    const auto raw = rawValue(resolution);
    return QString::fromUtf8(raw.data(), static_cast<qsizetype>(raw.size()));
}

}  // namespace

// ---- Meter choice and mode button

std::string BeatloomMeterChoice::id() const { return std::to_string(numerator) + "/" + std::to_string(denominator); }

BeatloomModeButtonStyle::Appearance BeatloomModeButtonStyle::appearance(bool pressed) const {
    Appearance look;
    look.textOpacity = pressed ? 0.82 : 0.96;
    if (active) {
        look.accentOpacity = pressed ? 0.78 : 0.96;
    } else {
        look.fillStartOpacity = pressed ? 0.10 : 0.16;
    }
    return look;
}

QFont BeatloomModeButtonStyle::font() { return OrvantaTheme::font(fontPixelSize, QFont::Bold, FontDesign::rounded); }

void BeatloomModeButtonStyle::paint(QPainter& painter, const QRectF& rect, const QString& label, bool pressed) const {
    const Appearance look = appearance(pressed);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(rect, cornerRadius, cornerRadius);
    if (active) {
        const qreal opacity = painter.opacity();
        painter.setOpacity(opacity * look.accentOpacity);
        painter.fillPath(shape, OrvantaTheme::accentGradient(rect));
        painter.setOpacity(opacity);
    } else {
        QLinearGradient fill(rect.topLeft(), rect.bottomRight());
        fill.setColorAt(0, OrvantaTheme::white(look.fillStartOpacity));
        fill.setColorAt(1, OrvantaTheme::white(fillEndOpacity));
        painter.fillPath(shape, fill);
    }
    painter.setPen(QPen(OrvantaTheme::white(outlineOpacity), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(shape);
    painter.setFont(font());
    painter.setPen(OrvantaTheme::white(look.textOpacity));
    painter.drawText(rect.adjusted(horizontalPadding, 0, -horizontalPadding, 0), Qt::AlignCenter, label);
    painter.restore();
}

BeatloomModeButton::BeatloomModeButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    setCursor(Qt::PointingHandCursor);
}

void BeatloomModeButton::setActive(bool active) {
    if (style_.active == active) return;
    style_.active = active;
    update();
}

void BeatloomModeButton::setSystemImage(const QString& systemImage) {
    setProperty(theme::kSystemImageProperty, systemImage);
    updateGeometry();
    update();
}

QString BeatloomModeButton::systemImage() const { return property(theme::kSystemImageProperty).toString(); }

int BeatloomModeButton::symbolSide() const { return text().isEmpty() ? kSymbolOnlySide : kSymbolBesideTextSide; }

QSize BeatloomModeButton::sizeHint() const {
    const QFontMetrics metrics(BeatloomModeButtonStyle::font());
    int width = metrics.horizontalAdvance(text()) + 2 * BeatloomModeButtonStyle::horizontalPadding;
    if (!systemImage().isEmpty()) width += symbolSide() + (text().isEmpty() ? 0 : kSymbolSpacing);
    return {width, std::max(BeatloomModeButtonStyle::minimumHeight, metrics.height())};
}

void BeatloomModeButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // A toggle that can't be used now is drawn faded, like the theme's buttons.
    painter.setOpacity(isEnabled() ? 1.0 : OrvantaTheme::disabledOpacity);
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const QString symbol = systemImage();
    if (symbol.isEmpty()) {
        style_.paint(painter, area, text(), isDown());
        return;
    }
    // The symbol leads the label; the pair is centred like a label alone.
    style_.paint(painter, area, {}, isDown());
    const QColor ink = OrvantaTheme::white(style_.appearance(isDown()).textOpacity);
    const QFontMetricsF metrics(BeatloomModeButtonStyle::font());
    const qreal side = symbolSide();
    const qreal textWidth = text().isEmpty() ? 0 : kSymbolSpacing + metrics.horizontalAdvance(text());
    const qreal left = area.center().x() - (side + textWidth) / 2;
    painter.setRenderHint(QPainter::Antialiasing);
    theme::paintSymbol(painter, symbol, QRectF(left, area.center().y() - side / 2, side, side), ink);
    if (!text().isEmpty()) {
        painter.setFont(BeatloomModeButtonStyle::font());
        painter.setPen(ink);
        painter.drawText(QRectF(left + side + kSymbolSpacing, area.top(), textWidth, area.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, text());
    }
}

// ---- Toolbar

QWidget* BeatloomEditorToolbar::popoverHeader(const QString& title, const std::optional<QString>& subtitle) {
    auto* header = new QWidget;
    auto* layout = new QVBoxLayout(header);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(makeLabel(title, OrvantaTheme::font(15, QFont::ExtraBold, FontDesign::rounded)), 0,
                      Qt::AlignLeft);
    if (subtitle) {
        layout->addWidget(makeLabel(*subtitle, OrvantaTheme::font(11, QFont::Medium), OrvantaTheme::secondaryText()),
                          0, Qt::AlignLeft);
    }
    return header;
}

QWidget* BeatloomEditorToolbar::shortcutRow(const QString& key, const QString& action) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* keyLabel = makeLabel(key, OrvantaTheme::font(11, QFont::Bold, FontDesign::monospaced));
    // A key longer than the column (a modifier held while dragging) widens it; it is never cut.
    keyLabel->setMinimumWidth(kShortcutKeyWidth);
    keyLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    layout->addWidget(keyLabel);
    layout->addWidget(makeLabel(action, OrvantaTheme::font(12, QFont::Medium)));
    layout->addStretch();
    return row;
}

QString BeatloomEditorToolbar::clickVolumeText(double volume) {
    return QString::number(std::lround(volume * 100)) + QLatin1Char('%');
}

QWidget* BeatloomEditorToolbar::gridPopover() const {
    QVBoxLayout* layout = nullptr;
    QWidget* column = makePopoverColumn(kGridPopoverWidth, kPopoverSpacing, kPopoverPadding, &layout);
    layout->addWidget(popoverHeader(QStringLiteral("Grid"), QStringLiteral("Display and snapping")));

    auto* picker = new QWidget;
    auto* pickerLayout = new QVBoxLayout(picker);
    pickerLayout->setContentsMargins(0, 0, 0, 0);
    pickerLayout->addWidget(new QLabel(QStringLiteral("Resolution")));
    auto* group = new QButtonGroup(picker);
    for (const auto& [resolution, raw] : RawEnumCases<BeatloomGridResolution>::cases) {
        auto* option = new QRadioButton(rawText(resolution));
        option->setChecked(ui_.gridResolution.value() == resolution);
        group->addButton(option, static_cast<int>(resolution));
        pickerLayout->addWidget(option);
    }
    keepWhileAlive(picker, ui_.gridResolution.subscribe([group](const BeatloomGridResolution& resolution) {
        if (auto* option = group->button(static_cast<int>(resolution))) option->setChecked(true);
    }));
    QObject::connect(group, &QButtonGroup::idClicked, picker,
                     [&ui = ui_](int id) { ui.gridResolution.set(static_cast<BeatloomGridResolution>(id)); });
    layout->addWidget(picker);

    layout->addWidget(makeDivider());
    layout->addWidget(makeToggle(QStringLiteral("Snap to Grid"), ui_.snapEnabled));
    layout->addWidget(makeToggle(QStringLiteral("Transient Snap"), ui_.transientSnapEnabled));
    layout->addWidget(makeToggle(QStringLiteral("Show Subdivisions"), ui_.showSubdivisions));
    return column;
}

QWidget* BeatloomEditorToolbar::clickPopover() const {
    QVBoxLayout* layout = nullptr;
    QWidget* column = makePopoverColumn(kClickPopoverWidth, kPopoverSpacing, kPopoverPadding, &layout);
    layout->addWidget(popoverHeader(QStringLiteral("Click"), QStringLiteral("Preview the musical grid")));

    auto& player = player_;
    layout->addWidget(makeToggle(QStringLiteral("Enabled"), player.clickEnabled(),
                                 [&player](bool on) { player.setClickEnabled(on); }));

    // The level stays adjustable while the click is off; the player keeps it for when it is on.
    auto* volumeRow = new QWidget;
    auto* rowLayout = new QHBoxLayout(volumeRow);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    rowLayout->addWidget(new theme::SymbolImage(QStringLiteral("speaker.wave.1"), kSpeakerSide,
                                              OrvantaTheme::secondaryText()));
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(kVolumeMinimumStep, kVolumeMaximumStep);
    slider->setSingleStep(1);
    slider->setPageStep(1);
    rowLayout->addWidget(slider, 1);
    auto* percent = makeLabel(QString(), OrvantaTheme::font(11, QFont::Bold, FontDesign::monospaced));
    percent->setFixedWidth(kVolumeTextWidth);
    percent->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    rowLayout->addWidget(percent);
    const auto showVolume = [slider, percent](double volume) {
        const QSignalBlocker quiet(slider);
        slider->setValue(volumeStep(volume));
        percent->setText(clickVolumeText(volume));
    };
    showVolume(player.clickVolume().value());
    keepWhileAlive(volumeRow, player.clickVolume().subscribe(showVolume));
    QObject::connect(slider, &QSlider::valueChanged, volumeRow, [&player, showVolume](int step) {
        player.setClickVolume(step * kVolumeStep);
        showVolume(player.clickVolume().value());
    });
    layout->addWidget(volumeRow);

    layout->addWidget(makeDivider());

    auto* freeTimeRow = new QWidget;
    auto* freeTimeLayout = new QHBoxLayout(freeTimeRow);
    freeTimeLayout->setContentsMargins(0, 0, 0, 0);
    freeTimeLayout->addWidget(new QLabel(QStringLiteral("Free Time")));
    auto* freeTime = new QComboBox;
    freeTime->addItem(QStringLiteral("Off"), static_cast<int>(BeatloomFreeTimeClickMode::off));
    freeTime->addItem(QStringLiteral("Anchor Only"), static_cast<int>(BeatloomFreeTimeClickMode::anchorOnly));
    freeTime->setToolTip(QStringLiteral("Off silences click in Free Time; Anchor Only clicks only on manual Free anchors."));
    const auto showMode = [freeTime](const BeatloomFreeTimeClickMode& mode) {
        freeTime->setCurrentIndex(freeTime->findData(static_cast<int>(mode)));
    };
    showMode(model_.freeTimeClickMode.value());
    keepWhileAlive(freeTime, model_.freeTimeClickMode.subscribe(showMode));
    QObject::connect(freeTime, &QComboBox::activated, freeTime, [freeTime, &model = model_](int index) {
        model.freeTimeClickMode.set(static_cast<BeatloomFreeTimeClickMode>(freeTime->itemData(index).toInt()));
    });
    freeTimeLayout->addWidget(freeTime, 1);
    layout->addWidget(freeTimeRow);
    return column;
}

QWidget* BeatloomEditorToolbar::viewPopover() const {
    QVBoxLayout* layout = nullptr;
    QWidget* column = makePopoverColumn(kViewPopoverWidth, kPopoverSpacing, kPopoverPadding, &layout);
    layout->addWidget(popoverHeader(QStringLiteral("View"), QStringLiteral("Timeline display")));
    layout->addWidget(makeToggle(QStringLiteral("Follow Playback"), model_.pageFollowEnabled));
    layout->addWidget(makeToggle(QStringLiteral("Show Subdivisions"), ui_.showSubdivisions));
    layout->addWidget(makeToggle(QStringLiteral("Show Transient Candidates"), ui_.showTransients));
    layout->addWidget(makeToggle(QStringLiteral("Large Waveform"), ui_.waveformLarge));
    layout->addWidget(makeDivider());

    // The popover closes after either button, also when there was nothing to fit or centre.
    auto* fitSong = new QPushButton(QStringLiteral("Fit Song"));
    QObject::connect(fitSong, &QPushButton::clicked, fitSong, [&model = model_, &ui = ui_] {
        model.resetZoom();
        ui.showViewPopover.set(false);
    });
    layout->addWidget(fitSong, 0, Qt::AlignLeft);
    auto* centerLocator = new QPushButton(QStringLiteral("Center Locator"));
    QObject::connect(centerLocator, &QPushButton::clicked, centerLocator, [&model = model_, &ui = ui_] {
        model.centerViewportOnPlayhead();
        ui.showViewPopover.set(false);
    });
    layout->addWidget(centerLocator, 0, Qt::AlignLeft);
    return column;
}

QWidget* BeatloomEditorToolbar::shortcutsPopover() const {
    QVBoxLayout* layout = nullptr;
    QWidget* column = makePopoverColumn(kShortcutsPopoverWidth, kShortcutsSpacing, kPopoverPadding, &layout);
    layout->addWidget(popoverHeader(QStringLiteral("Keyboard Shortcuts")));
    const std::string undo = formatKeyCombination({ModifierKey::control}, "Z");
    const std::string redo = formatKeyCombination({ModifierKey::control, ModifierKey::shift}, "Z");
    const std::string bypass = std::string(modifierKeyName(ModifierKey::alt)) + " + Drag";
    const std::array<std::pair<std::string, const char*>, 8> rows{{
        {"Space", "Play / Stop"},
        {"↑", "Zoom In"},
        {"↓", "Zoom Out"},
        {"0", "Fit Song"},
        {undo, "Undo"},
        {redo, "Redo"},
        {"A", "Add Free/Rubato Anchor"},
        {bypass, "Bypass Snap"},
    }};
    for (const auto& [key, action] : rows) {
        layout->addWidget(shortcutRow(QString::fromStdString(key), QString::fromUtf8(action)));
    }
    return column;
}

}  // namespace corvel::editor
