#include "editor/toolbar/tempo_control_popover.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "common/format.hpp"
#include "editor/popover_frame.hpp"
#include "editor/published_repaint_bridge.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

using theme::FontDesign;
using theme::OrvantaTheme;

namespace {

constexpr int kPadding = 16;
constexpr int kSpacing = 12;
constexpr int kFieldWidth = 100;
constexpr int kActiveSymbolSide = 12;
QString bpmText(double bpm) { return QString::fromStdString(formatFixed(bpm, 1)); }

}  // namespace

BeatloomTempoOperations BeatloomTempoOperations::of(session::BeatloomViewModel& model) {
    return {
        .setManualTempo = [&model](const std::string& text) { return model.setManualTempo(text); },
        .scaleSectionTempo = [&model](double factor) { model.scaleSectionTempo(factor); },
        .useDetectedTempo = [&model] { model.useDetectedTempo(); },
        .reanalyzeTempo = [&model] { model.reanalyzeTempo(); },
        .isDetectedTempoActive = [&model] { return model.isDetectedTempoActive(); },
    };
}

BeatloomTempoControlPopover::BeatloomTempoControlPopover(session::BeatloomViewModel& model,
                                                         Published<bool>& isPresented, QWidget* parent)
    : BeatloomTempoControlPopover(model, isPresented, BeatloomTempoOperations::of(model), parent) {}

BeatloomTempoControlPopover::BeatloomTempoControlPopover(session::BeatloomViewModel& model,
                                                         Published<bool>& isPresented,
                                                         BeatloomTempoOperations operations, QWidget* parent)
    : QWidget(parent), model_(model), isPresented_(isPresented), operations_(std::move(operations)) {
    setFixedWidth(kWidth);
    setFont(popoverControlFont());
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    column->setSpacing(kSpacing);
    column->setAlignment(Qt::AlignTop);

    auto* header = new QWidget;
    auto* headerLayout = new QVBoxLayout(header);
    headerLayout->setContentsMargins(0, 0, 0, 0);
    headerLayout->setSpacing(2);
    headerLayout->addWidget(makeLabel(QStringLiteral("Tempo"), OrvantaTheme::font(15, QFont::ExtraBold, FontDesign::rounded)));
    subtitle_ = makeLabel(QString(), OrvantaTheme::font(11, QFont::Medium), OrvantaTheme::secondaryText());
    headerLayout->addWidget(subtitle_);
    column->addWidget(header);

    auto* manualRow = new QWidget;
    auto* manualLayout = new QHBoxLayout(manualRow);
    manualLayout->setContentsMargins(0, 0, 0, 0);
    manualLayout->setSpacing(8);
    field_ = new QLineEdit;
    field_->setPlaceholderText(QStringLiteral("BPM"));
    field_->setFixedWidth(kFieldWidth);
    connect(field_, &QLineEdit::returnPressed, this, [this] { applyManualTempo(); });
    manualLayout->addWidget(field_);
    manualLayout->addWidget(makeLabel(QStringLiteral("BPM"), OrvantaTheme::font(11, QFont::ExtraBold),
                                      OrvantaTheme::secondaryText()));
    apply_ = new theme::OrvantaButton(theme::OrvantaButton::Style::primary, QStringLiteral("Apply"));
    connect(apply_, &QAbstractButton::clicked, this, [this] { applyManualTempo(); });
    manualLayout->addWidget(apply_);
    manualLayout->addStretch();
    column->addWidget(manualRow);
    refusal_ = makeLabel(QString(), OrvantaTheme::font(11, QFont::DemiBold), OrvantaTheme::standardRed());
    refusal_->setObjectName(QStringLiteral("tempoRefusal"));
    refusal_->setWordWrap(true);
    refusal_->hide();
    column->addWidget(refusal_);

    auto* scaleRow = new QWidget;
    auto* scaleLayout = new QHBoxLayout(scaleRow);
    scaleLayout->setContentsMargins(0, 0, 0, 0);
    scaleLayout->setSpacing(8);
    half_ = new QPushButton(QStringLiteral("÷2 Half"));
    half_->setToolTip(QStringLiteral("Halve the tempo of the section at the locator without re-analyzing audio"));
    connect(half_, &QPushButton::clicked, this, [this] { scaleTempo(0.5); });
    double_ = new QPushButton(QStringLiteral("×2 Double"));
    double_->setToolTip(QStringLiteral("Double the tempo of the section at the locator without re-analyzing audio"));
    QPalette prominent = double_->palette();
    OrvantaTheme::setRoleColor(prominent, QPalette::Button, OrvantaTheme::standardBlue());
    OrvantaTheme::setRoleColor(prominent, QPalette::ButtonText, Qt::white);
    double_->setPalette(prominent);
    connect(double_, &QPushButton::clicked, this, [this] { scaleTempo(2.0); });
    scaleLayout->addStretch();
    scaleLayout->addWidget(half_);
    scaleLayout->addWidget(double_);
    scaleLayout->addStretch();
    column->addWidget(scaleRow);

    auto* hint = makeLabel(
        QStringLiteral("Use ÷2 / ×2 when the rhythm is correct but Beatloom chose the wrong half-/double-time level."),
        OrvantaTheme::font(10, QFont::Medium), OrvantaTheme::secondaryText());
    hint->setWordWrap(true);
    column->addWidget(hint);
    column->addWidget(makeDivider());

    auto* detectionRow = new QWidget;
    auto* detectionLayout = new QHBoxLayout(detectionRow);
    detectionLayout->setContentsMargins(0, 0, 0, 0);
    auto* detection = new QWidget;
    auto* detectionColumn = new QVBoxLayout(detection);
    detectionColumn->setContentsMargins(0, 0, 0, 0);
    detectionColumn->setSpacing(2);
    detectionColumn->addWidget(makeLabel(QStringLiteral("Automatic detection"), OrvantaTheme::font(11, QFont::ExtraBold)));
    detected_ = makeLabel(QString(), OrvantaTheme::font(11, QFont::Medium, FontDesign::monospaced),
                          OrvantaTheme::secondaryText());
    detectionColumn->addWidget(detected_);
    detectionLayout->addWidget(detection);
    detectionLayout->addStretch();
    active_ = new QWidget;
    auto* activeLayout = new QHBoxLayout(active_);
    activeLayout->setContentsMargins(0, 0, 0, 0);
    activeLayout->setSpacing(4);
    activeLayout->addWidget(
        new theme::SymbolImage(QStringLiteral("checkmark.circle.fill"), kActiveSymbolSide, OrvantaTheme::standardGreen()));
    activeLayout->addWidget(
        makeLabel(QStringLiteral("Active"), OrvantaTheme::font(10, QFont::Bold), OrvantaTheme::standardGreen()));
    detectionLayout->addWidget(active_);
    column->addWidget(detectionRow);

    auto* buttonRow = new QWidget;
    auto* buttonLayout = new QHBoxLayout(buttonRow);
    buttonLayout->setContentsMargins(0, 0, 0, 0);
    useDetected_ = new QPushButton(QStringLiteral("Use Detected Tempo"));
    connect(useDetected_, &QPushButton::clicked, this, [this] {
        if (!operations_.useDetectedTempo) return;
        operations_.useDetectedTempo();
        refreshTempoText();
    });
    buttonLayout->addWidget(useDetected_);
    reanalyze_ = new QPushButton;
    reanalyze_->setToolTip(QStringLiteral(
        "Run the Orvanta tempo analyzer again. Meter, Bar 1, Pickup and Free/Rubato edits are preserved."));
    // The analysis runs on; its new map reaches the field only when the popover opens again.
    connect(reanalyze_, &QPushButton::clicked, this, [this] {
        if (operations_.reanalyzeTempo) operations_.reanalyzeTempo();
    });
    buttonLayout->addWidget(reanalyze_);
    buttonLayout->addStretch();
    column->addWidget(buttonRow);

    bridge_ = new PublishedRepaintBridge([this] { refresh(); }, this);
    bridge_->watch(model_.editableTempoPoints);
    bridge_->watch(model_.result);
    bridge_->watch(model_.isAnalyzing);
    bridge_->watch(model_.selectedURL);
    bridge_->watch(model_.errorText);
    refresh();
    refreshTempoText();
}

BeatloomTempoControlPopover::~BeatloomTempoControlPopover() = default;

QString BeatloomTempoControlPopover::tempoText() const { return field_->text(); }

void BeatloomTempoControlPopover::setTempoText(const QString& text) { field_->setText(text); }

void BeatloomTempoControlPopover::refreshTempoText() {
    double bpm = 0;
    if (const auto atLocator = model_.tempoAtLocator()) {
        bpm = *atLocator;
    } else if (const auto& result = model_.result.value()) {
        bpm = result->bpm;
    }
    field_->setText(bpmText(bpm));
}

void BeatloomTempoControlPopover::applyManualTempo() {
    if (!operations_.setManualTempo) return;
    // A refused entry stays as typed and the popover stays open, saying why.
    if (!operations_.setManualTempo(field_->text().toStdString())) {
        showRefusal();
        return;
    }
    refreshTempoText();
    isPresented_.set(false);
}

void BeatloomTempoControlPopover::scaleTempo(double factor) {
    if (!operations_.scaleSectionTempo) return;
    operations_.scaleSectionTempo(factor);
    showRefusal();
    refreshTempoText();
}

void BeatloomTempoControlPopover::showRefusal() {
    const std::string& error = model_.errorText.value();
    refusal_->setText(QString::fromStdString(error));
    refusal_->setVisible(!error.empty());
}

void BeatloomTempoControlPopover::refresh() {
    // Another edit or message has taken the error line's place.
    if (refusal_->text().toStdString() != model_.errorText.value()) refusal_->hide();
    subtitle_->setText(model_.editableTempoPoints.value().size() < 2 ? QStringLiteral("Edit song tempo")
                                                                     : QStringLiteral("Edit tempo at the locator"));
    const bool canEnter = static_cast<bool>(operations_.setManualTempo);
    field_->setEnabled(canEnter);
    apply_->setEnabled(canEnter);
    half_->setEnabled(static_cast<bool>(operations_.scaleSectionTempo));
    double_->setEnabled(static_cast<bool>(operations_.scaleSectionTempo));

    const auto& result = model_.result.value();
    detected_->setVisible(result.has_value());
    if (result) detected_->setText(QStringLiteral("Detected ") + bpmText(result->bpm) + QStringLiteral(" BPM"));

    const bool detectedActive = operations_.isDetectedTempoActive && operations_.isDetectedTempoActive();
    active_->setVisible(detectedActive);
    useDetected_->setEnabled(!detectedActive && operations_.useDetectedTempo);

    const bool analyzing = model_.isAnalyzing.value();
    reanalyze_->setText(analyzing ? QStringLiteral("Analyzing…") : QStringLiteral("Re-analyze Audio"));
    reanalyze_->setEnabled(!analyzing && model_.selectedURL.value().has_value() && operations_.reanalyzeTempo);
}

}  // namespace corvel::editor
