#include "editor/toolbar/rejoin_grid_popover.hpp"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "theme/orvanta_theme.hpp"
#include "common/format.hpp"
#include "editor/popover_frame.hpp"

namespace corvel::editor {

namespace {

using theme::FontDesign;
using theme::OrvantaTheme;

constexpr int kWidth = 320;
constexpr int kRowTitleWidth = 58;
constexpr int kTempoFieldWidth = 90;
constexpr int kMeterPickerWidth = 110;

QWidget* makeRow(const QString& title, QHBoxLayout** layout) {
    auto* row = new QWidget;
    *layout = new QHBoxLayout(row);
    (*layout)->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(title);
    label->setFixedWidth(kRowTitleWidth);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    (*layout)->addWidget(label);
    return row;
}

}  // namespace

BeatloomRejoinGridPopover::BeatloomRejoinGridPopover(session::BeatloomViewModel& model, RejoinGridValues& values,
                                                     Published<bool>& isPresented, QWidget* parent)
    : QWidget(parent), model_(model), values_(values), isPresented_(isPresented) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    QVBoxLayout* column = nullptr;
    outer->addWidget(makePopoverColumn(kWidth, 12, 16, &column));

    auto* header = new QWidget;
    auto* headerLayout = new QVBoxLayout(header);
    headerLayout->setContentsMargins(0, 0, 0, 0);
    headerLayout->setSpacing(2);
    headerLayout->addWidget(
        makeLabel(QStringLiteral("Rejoin Grid"), OrvantaTheme::font(15, QFont::ExtraBold, FontDesign::rounded)));
    headerLayout->addWidget(makeLabel(QStringLiteral("Resume a regular musical grid at the locator"),
                                      OrvantaTheme::font(11, QFont::Medium), OrvantaTheme::secondaryText()));
    column->addWidget(header);

    QHBoxLayout* row = nullptr;
    column->addWidget(makeRow(QStringLiteral("Bar"), &row));
    bar_ = new QSpinBox;
    bar_->setRange(int(kRejoinBarMinimum), int(kRejoinBarMaximum));
    bar_->setSingleStep(1);
    bar_->setSuffix(QStringLiteral(".1"));  // the label reads bar 17 as 17.1
    bar_->setValue(int(std::clamp(values_.bar, kRejoinBarMinimum, kRejoinBarMaximum)));
    values_.bar = bar_->value();
    connect(bar_, &QSpinBox::valueChanged, this, [this](int bar) { values_.bar = bar; });
    row->addWidget(bar_);
    row->addStretch();

    column->addWidget(makeRow(QStringLiteral("Tempo"), &row));
    tempo_ = new QLineEdit(QString::fromStdString(formatFixed(values_.bpm, 1)));
    tempo_->setPlaceholderText(QStringLiteral("BPM"));
    tempo_->setFixedWidth(kTempoFieldWidth);
    // Text that does not read as a number leaves the tempo as it was.
    connect(tempo_, &QLineEdit::textEdited, this, [this](const QString& text) {
        bool ok = false;
        const double bpm = QString(text).replace(QLatin1Char(','), QLatin1Char('.')).trimmed().toDouble(&ok);
        if (ok && std::isfinite(bpm)) values_.bpm = bpm;
    });
    connect(tempo_, &QLineEdit::editingFinished, this,
            [this] { tempo_->setText(QString::fromStdString(formatFixed(values_.bpm, 1))); });
    row->addWidget(tempo_);
    row->addWidget(makeLabel(QStringLiteral("BPM"), popoverControlFont(), OrvantaTheme::secondaryText()));
    row->addStretch();

    column->addWidget(makeRow(QStringLiteral("Meter"), &row));
    meter_ = new QComboBox;
    meter_->setFixedWidth(kMeterPickerWidth);
    for (const auto& choice : kRejoinMeterChoices) {
        const QString text = QString::fromStdString(choice.text());
        meter_->addItem(text, text);
    }
    // A meter that is none of the choices selects no entry but is still what "Rejoin" sends.
    const BeatloomMeterChoiceLite current{values_.numerator, values_.denominator};
    meter_->setCurrentIndex(meter_->findData(QString::fromStdString(current.text())));
    connect(meter_, &QComboBox::activated, this, [this](int index) {
        if (const auto meter = parseMeterChoice(meter_->itemData(index).toString().toStdString())) {
            values_.numerator = meter->first;
            values_.denominator = meter->second;
        }
    });
    row->addWidget(meter_);
    row->addStretch();

    column->addWidget(makeDivider());

    auto* buttons = new QWidget;
    auto* buttonLayout = new QHBoxLayout(buttons);
    buttonLayout->setContentsMargins(0, 0, 0, 0);
    buttonLayout->addStretch();
    cancel_ = new QPushButton(QStringLiteral("Cancel"));
    connect(cancel_, &QPushButton::clicked, this, [this] { isPresented_.set(false); });
    buttonLayout->addWidget(cancel_);
    rejoin_ = new theme::OrvantaButton(theme::OrvantaButton::Style::primary, QStringLiteral("Rejoin"));
    connect(rejoin_, &QAbstractButton::clicked, this, [this] {
        applyRejoinGrid(model_, values_);
        // Closed whether the session took the values or refused them.
        isPresented_.set(false);
    });
    buttonLayout->addWidget(rejoin_);
    column->addWidget(buttons);
}

}  // namespace corvel::editor
