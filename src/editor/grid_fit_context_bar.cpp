#include "editor/grid_fit_context_bar.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <cmath>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "common/format.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/popover_frame.hpp"
#include "editor/published_repaint_bridge.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

using theme::FontDesign;
using theme::OrvantaButton;
using theme::OrvantaTheme;

namespace {

constexpr qreal kCornerRadius = 10;
constexpr qreal kFillOpacity = 0.055;
constexpr qreal kStrokeOpacity = 0.18;
constexpr int kMoreSymbolSide = 20;
constexpr int kMorePopoverWidth = 240;
constexpr int kMorePopoverPadding = 14;
constexpr int kMorePopoverSpacing = 10;

QColor cyan(qreal opacity) {
    QColor color = OrvantaTheme::standardCyan();
    color.setAlphaF(static_cast<float>(opacity));
    return color;
}

QString fromStd(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

BeatloomGridFitContextBar::BeatloomGridFitContextBar(session::BeatloomViewModel& model, BeatloomEditorUIState& ui,
                                                     QWidget* parent)
    : QWidget(parent), model_(model), ui_(ui) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 7, 12, 7);
    row->setSpacing(10);

    auto* title = new QWidget;
    auto* titleLayout = new QHBoxLayout(title);
    titleLayout->setContentsMargins(0, 0, 0, 0);
    titleLayout->setSpacing(4);
    const QFont titleFont = OrvantaTheme::font(12, QFont::Black, FontDesign::rounded);
    titleLayout->addWidget(
        new theme::SymbolImage(QStringLiteral("scope"), QFontMetrics(titleFont).height(), OrvantaTheme::standardCyan()));
    titleLayout->addWidget(makeLabel(QStringLiteral("Grid Fit"), titleFont, OrvantaTheme::standardCyan()));
    row->addWidget(title);

    anchorCount_ = makeLabel(QString(), OrvantaTheme::font(11, QFont::Bold), OrvantaTheme::white(0.65));
    row->addWidget(anchorCount_);
    hint_ = makeLabel(QStringLiteral("Drag beat/bar lines onto transients"), OrvantaTheme::font(11, QFont::Medium),
                      OrvantaTheme::white(0.48));
    row->addWidget(hint_);
    fitDivider_ = new theme::OrvantaDivider;
    fitDivider_->setFixedSize(1, 18);
    row->addWidget(fitDivider_);
    fittedTempo_ = makeLabel(QString(), OrvantaTheme::font(13, QFont::Black, FontDesign::rounded));
    row->addWidget(fittedTempo_);
    fitError_ = makeLabel(QString(), OrvantaTheme::font(10, QFont::Bold, FontDesign::monospaced),
                          OrvantaTheme::white(0.55));
    row->addWidget(fitError_);
    outliers_ = makeLabel(QString(), OrvantaTheme::font(10, QFont::Bold), OrvantaTheme::standardOrange());
    row->addWidget(outliers_);

    row->addSpacing(6);
    row->addStretch(1);

    apply_ = new OrvantaButton(OrvantaButton::Style::primary, QStringLiteral("Apply"));
    connect(apply_, &QAbstractButton::clicked, this, [this] { model_.applyGridFit(); });
    row->addWidget(apply_);
    auto* cancel = new OrvantaButton(OrvantaButton::Style::secondary, QStringLiteral("Cancel"));
    connect(cancel, &QAbstractButton::clicked, this, [this] {
        model_.clearGridFit();
        ui_.gridFitMode.set(false);
    });
    row->addWidget(cancel);
    more_ = new OrvantaButton(OrvantaButton::Style::secondary, QString(), QStringLiteral("ellipsis"));
    more_->setMinimumSize(kMoreSymbolSide, kMoreSymbolSide);
    connect(more_, &QAbstractButton::clicked, this,
            [this] { ui_.showGridFitMorePopover.set(!ui_.showGridFitMorePopover.value()); });
    row->addWidget(more_);
    morePopover_ = new PopoverFrame(ui_.showGridFitMorePopover, more_, [this] { return buildMorePopover(); });

    bridge_ = new PublishedRepaintBridge([this] { refresh(); }, this);
    bridge_->watch(model_.gridFitAnchors);
    bridge_->watch(model_.gridFitResult);
    bridge_->watch(model_.lockedRanges);
    refresh();
}

BeatloomGridFitContextBar::~BeatloomGridFitContextBar() {
    // The popover's window goes before the buttons it hangs off.
    delete morePopover_;
}

QString BeatloomGridFitContextBar::anchorCountText(std::size_t count) {
    return QString::number(count) + QStringLiteral(" anchors");
}

QString BeatloomGridFitContextBar::fittedTempoText(double bpm) {
    // Rounded to a tenth first, halves away from zero, so 121.25 reads 121.3.
    return fromStd(formatFixed(std::round(bpm * 10) / 10, 1) + " BPM");
}

QString BeatloomGridFitContextBar::fitErrorText(double rmsErrorSeconds) {
    return QStringLiteral("±") + fromStd(formatFixed(rmsErrorSeconds * 1000, 1)) + QStringLiteral(" ms");
}

QString BeatloomGridFitContextBar::outlierText(std::int64_t outlierCount) {
    if (outlierCount < 1) return {};
    return QString::number(outlierCount) + (outlierCount == 1 ? QStringLiteral(" outlier") : QStringLiteral(" outliers"));
}

QString BeatloomGridFitContextBar::lockedRangeText(const BeatloomLockedRange& range) {
    return fromStd(formatFixed(range.startSeconds, 2)) + QStringLiteral("–") +
           fromStd(formatFixed(range.endSeconds, 2)) + QStringLiteral(" s");
}

void BeatloomGridFitContextBar::unlockCorrectedSection(const BeatloomLockedRange& range) {
    model_.performEdit("Unlock Corrected Section", "Corrected section unlocked.",
                       [id = range.id](session::BeatloomViewModel& model) { model.removeLockedRange(id); });
}

QWidget* BeatloomGridFitContextBar::morePopoverContent() const { return morePopover_->content(); }

void BeatloomGridFitContextBar::refresh() {
    anchorCount_->setText(anchorCountText(model_.gridFitAnchors.value().size()));
    const auto& fit = model_.gridFitResult.value();
    hint_->setVisible(!fit);
    fitDivider_->setVisible(fit.has_value());
    fittedTempo_->setVisible(fit.has_value());
    fitError_->setVisible(fit.has_value());
    outliers_->setVisible(fit && fit->outlierCount >= 1);
    if (fit) {
        fittedTempo_->setText(fittedTempoText(fit->bpm));
        fitError_->setText(fitErrorText(fit->rmsErrorSeconds));
        outliers_->setText(outlierText(fit->outlierCount));
    }
    apply_->setEnabled(fit && fit->inlierCount >= 4);
    refreshMorePopover();
}

QWidget* BeatloomGridFitContextBar::buildMorePopover() {
    QVBoxLayout* layout = nullptr;
    QWidget* column = makePopoverColumn(kMorePopoverWidth, kMorePopoverSpacing, kMorePopoverPadding, &layout);
    layout->addWidget(makeToggle(QStringLiteral("Transient Snap"), ui_.transientSnapEnabled));

    lockRange_ = new QPushButton(QStringLiteral("Lock Corrected Range"));
    connect(lockRange_, &QPushButton::clicked, this, [this] { model_.lockCorrectedSection(); });
    layout->addWidget(lockRange_, 0, Qt::AlignLeft);

    unlockRange_ = new QPushButton(QStringLiteral("Unlock Range"));
    unlockRange_->setMenu(new QMenu(unlockRange_));
    layout->addWidget(unlockRange_, 0, Qt::AlignLeft);

    clearAnchors_ = new QPushButton(QStringLiteral("Clear Anchors"));
    OrvantaTheme::setTextColor(clearAnchors_, OrvantaTheme::standardRed());
    connect(clearAnchors_, &QPushButton::clicked, this, [this] { model_.clearGridFit(); });
    layout->addWidget(clearAnchors_, 0, Qt::AlignLeft);

    refreshMorePopover();
    return column;
}

void BeatloomGridFitContextBar::refreshMorePopover() {
    if (!lockRange_ || !unlockRange_ || !clearAnchors_) return;
    const std::size_t anchorCount = model_.gridFitAnchors.value().size();
    lockRange_->setEnabled(anchorCount >= 2);
    clearAnchors_->setEnabled(anchorCount > 0);

    const auto& ranges = model_.lockedRanges.value();
    unlockRange_->setVisible(!ranges.empty());
    QMenu* menu = unlockRange_->menu();
    menu->clear();
    for (const auto& range : ranges) {
        menu->addAction(lockedRangeText(range), this, [this, range] { unlockCorrectedSection(range); });
    }
}

void BeatloomGridFitContextBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius, kCornerRadius);
    painter.fillPath(shape, cyan(kFillOpacity));
    painter.setPen(QPen(cyan(kStrokeOpacity), 1));
    painter.drawPath(shape);
}

}  // namespace corvel::editor
