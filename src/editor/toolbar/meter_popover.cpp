#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <array>

#include "theme/orvanta_theme.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/popover_frame.hpp"
#include "editor/toolbar/toolbar_popovers.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

using theme::OrvantaTheme;

namespace {

constexpr int kPadding = 16;
constexpr int kSpacing = 12;
constexpr int kPresetMinimumWidth = 56;
constexpr int kPresetSpacing = 7;
constexpr int kBeatUnitWidth = 100;
constexpr std::int64_t kMinimumNumerator = 1;
constexpr std::int64_t kMaximumNumerator = 32;
constexpr std::array<std::int64_t, 5> kBeatUnits{1, 2, 4, 8, 16};

QString meterTitle(std::int64_t numerator, std::int64_t denominator) {
    return QString::fromStdString(BeatloomMeterChoice{numerator, denominator}.id());
}

}  // namespace

void BeatloomEditorToolbar::attachMeterPopover(QWidget* anchor) {
    attachPopover(ui_.showMeterPopover, anchor, [this] { return meterPopover(); });
}

QWidget* BeatloomEditorToolbar::meterPopover() {
    QVBoxLayout* layout = nullptr;
    QWidget* column = makePopoverColumn(kMeterPopoverWidth, kSpacing, kPadding, &layout);
    layout->addWidget(popoverHeader(QStringLiteral("Time Signature"), QStringLiteral("Set at the current locator")));

    // A choice always closes the popover, whether the session took the meter or not.
    const auto choose = [this](std::int64_t numerator, std::int64_t denominator) {
        model_.setTimeSignatureAtLocator(numerator, denominator);
        ui_.showMeterPopover.set(false);
        refresh();
    };

    auto* presets = new QWidget;
    auto* grid = new QGridLayout(presets);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(kPresetSpacing);
    const int columns =
        std::max(1, (kMeterPopoverWidth - 2 * kPadding + kPresetSpacing) / (kPresetMinimumWidth + kPresetSpacing));
    const BeatloomMeterEvent current = model_.meterEventAtLocator();
    int index = 0;
    for (const BeatloomMeterChoice& choice : meterChoices) {
        auto* button = new QPushButton(meterTitle(choice.numerator, choice.denominator));
        button->setMinimumWidth(kPresetMinimumWidth);
        const bool inForce = choice.numerator == current.numerator && choice.denominator == current.denominator;
        button->setProperty("tint", inForce ? QStringLiteral("orange") : QStringLiteral("gray"));
        QPalette palette = button->palette();
        palette.setColor(QPalette::ButtonText,
                         inForce ? OrvantaTheme::standardOrange() : OrvantaTheme::standardGray());
        button->setPalette(palette);
        connect(button, &QAbstractButton::clicked, this, [choose, choice] { choose(choice.numerator, choice.denominator); });
        grid->addWidget(button, index / columns, index % columns, Qt::AlignCenter);
        ++index;
    }
    layout->addWidget(presets);
    layout->addWidget(makeDivider());
    layout->addWidget(makeLabel(QStringLiteral("Custom"), OrvantaTheme::font(11, QFont::ExtraBold)));

    auto* customRow = new QWidget;
    auto* rowLayout = new QHBoxLayout(customRow);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    auto* numerator = new QSpinBox;
    numerator->setRange(static_cast<int>(kMinimumNumerator), static_cast<int>(kMaximumNumerator));
    customNumerator = std::clamp(customNumerator, kMinimumNumerator, kMaximumNumerator);
    numerator->setValue(static_cast<int>(customNumerator));
    rowLayout->addWidget(numerator, 0, Qt::AlignVCenter);
    auto* beatUnitLabel = new QLabel(QStringLiteral("Beat unit"));
    rowLayout->addWidget(beatUnitLabel, 0, Qt::AlignVCenter);
    auto* beatUnit = new QComboBox;
    beatUnit->setAccessibleName(QStringLiteral("Beat unit"));
    beatUnitLabel->setBuddy(beatUnit);
    beatUnit->setFixedWidth(kBeatUnitWidth);
    for (const std::int64_t unit : kBeatUnits) {
        beatUnit->addItem(QStringLiteral("1/") + QString::number(unit), QVariant::fromValue<qlonglong>(unit));
    }
    const auto* unitInUse = std::find(kBeatUnits.begin(), kBeatUnits.end(), customDenominator);
    if (unitInUse == kBeatUnits.end()) {
        // Only the listed beat units can be chosen here.
        customDenominator = 4;
        unitInUse = std::find(kBeatUnits.begin(), kBeatUnits.end(), customDenominator);
    }
    beatUnit->setCurrentIndex(static_cast<int>(unitInUse - kBeatUnits.begin()));
    rowLayout->addWidget(beatUnit, 0, Qt::AlignVCenter);
    rowLayout->addStretch();
    layout->addWidget(customRow);

    auto* set = new theme::OrvantaButton(theme::OrvantaButton::Style::primary, {});
    const auto retitle = [this, set] { set->setText(QStringLiteral("Set ") + meterTitle(customNumerator, customDenominator)); };
    retitle();
    connect(numerator, &QSpinBox::valueChanged, set, [this, retitle](int value) {
        customNumerator = value;
        retitle();
    });
    connect(beatUnit, &QComboBox::currentIndexChanged, set, [this, beatUnit, retitle](int) {
        customDenominator = beatUnit->currentData().toLongLong();
        retitle();
    });
    connect(set, &QAbstractButton::clicked, this, [this, choose] { choose(customNumerator, customDenominator); });
    layout->addWidget(set);
    return column;
}

}  // namespace corvel::editor
