#include "editor/waveform_editor.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cstddef>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "common/format.hpp"
#include "core/grid_lines.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/beatloom_screen_widgets.hpp"
#include "editor/timeline/beatloom_timeline_viewport.hpp"
#include "editor/grid_fit_context_bar.hpp"
#include "editor/popover_frame.hpp"
#include "editor/published_repaint_bridge.hpp"
#include "editor/timeline/timeline_handle_view.hpp"
#include "editor/timeline/timeline_labels.hpp"
#include "editor/toolbar/timeline_mode_menu_view.hpp"
#include "editor/toolbar/toolbar_popovers.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {
namespace {

using theme::FontDesign;
using theme::OrvantaButton;
using theme::OrvantaTheme;

QString fromStd(const std::string& text) { return QString::fromStdString(text); }

QFont statusFont() { return OrvantaTheme::font(11, QFont::Bold, FontDesign::monospaced); }

QLabel* divider() {
    auto* label = makeLabel(QStringLiteral("|"), statusFont(), OrvantaTheme::white(0.2));
    label->setObjectName(QStringLiteral("statusDivider"));
    return label;
}

}  // namespace

BeatloomWaveformEditor::BeatloomWaveformEditor(session::BeatloomViewModel& model, audio::BeatloomPreviewPlayer& player,
                                               BeatloomEditorUIState& ui, QWidget* parent)
    : QWidget(parent), model_(model), player_(player), ui_(ui) {
    setObjectName(QStringLiteral("waveformEditor"));
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    stack->setSpacing(kSpacing);

    toolbar_ = new BeatloomEditorToolbar(model_, player_, ui_);
    toolbar_->setTimelineModeMenu(
        [this](bool showText) -> QWidget* { return new BeatloomTimelineModeMenu(model_, showText); });
    stack->addWidget(toolbar_);
    stack->addWidget(rangeBar_ = makeRangeSelectionBar());
    gridFitBar_ = new BeatloomGridFitContextBar(model_, ui_);
    stack->addWidget(gridFitBar_);
    stack->addWidget(loading_ = makeLoadingState());
    viewport_ = new BeatloomTimelineViewport(model_, player_, ui_);
    stack->addWidget(viewport_);
    stack->addWidget(statusRow_ = makeStatusRow());
    stack->addWidget(unavailable_ = makeUnavailableState());

    bridge_ = new PublishedRepaintBridge([this] { refresh(); }, this);
    bridge_->watch(model_.result);
    bridge_->watch(model_.analysisSelection);
    bridge_->watch(model_.isAnalyzing);
    bridge_->watch(model_.isWaveformLoading);
    bridge_->watch(model_.waveformData);
    bridge_->watch(model_.waveformErrorText);
    bridge_->watch(model_.locatorSeconds);
    bridge_->watch(model_.pageFollowEnabled);
    // The two mode bars come and go at once, not at the next turn of the event loop: until the
    // panel is laid out again the timeline would lie over the status row.
    bridge_->watch(ui_.rangeSelectionMode, [this] { refresh(); });
    bridge_->watch(ui_.gridFitMode, [this] { refresh(); });
    // The position and tempo at the locator follow the edited map as well.
    bridge_->watch(model_.editableTempoPoints);
    bridge_->watch(model_.meterEvents);
    bridge_->watch(model_.barAnchors);
    bridge_->watch(model_.phaseLocks);
    bridge_->watch(model_.barOneSeconds);
    bridge_->watch(model_.pickupBarCount);
    bridge_->watch(model_.timelineRegions);
    // Inside Rubato the position counts from the region's anchors.
    bridge_->watch(model_.rhythmicAnchors);
    refresh();
}

// The subscriptions end before the widgets they update.
BeatloomWaveformEditor::~BeatloomWaveformEditor() { delete bridge_; }

QString BeatloomWaveformEditor::selectionText(const BeatloomTimeRange& selection) {
    const double length = std::max(selection.endSeconds - selection.startSeconds, 0.0);
    return QStringLiteral("Selection  ") + fromStd(formatFixed(selection.startSeconds, 3)) + QStringLiteral("–") +
           fromStd(formatFixed(selection.endSeconds, 3)) + QStringLiteral(" s  ·  ") + fromStd(formatFixed(length, 1)) +
           QStringLiteral(" s");
}

QString BeatloomWaveformEditor::musicalPositionText(const std::optional<BeatloomMusicalPosition>& position) {
    if (!position) return QStringLiteral("—");
    return fromStd(BeatloomTimeline::gridLineLabel(position->bar, position->beat));
}

QString BeatloomWaveformEditor::tempoText(const std::optional<double>& bpm) {
    if (!bpm) return {};
    return fromStd(formatFixed(*bpm, 1)) + QStringLiteral(" BPM");
}

QString BeatloomWaveformEditor::cacheHelpText(const BeatloomWaveformData& waveform) {
    const std::size_t bins = std::max<std::size_t>(std::min(waveform.minPeaks.size(), waveform.maxPeaks.size()), 1);
    const double bucketMilliseconds = waveform.durationSeconds / double(bins) * 1000;
    return QStringLiteral("Waveform cache: ") + fromStd(formatFixed(bucketMilliseconds, 2)) +
           QStringLiteral(" ms per bucket");
}

QWidget* BeatloomWaveformEditor::makeRangeSelectionBar() {
    const QColor orange = OrvantaTheme::standardOrange();
    auto* bar = new RoundedBox(9, withOpacity(orange, 0.07), withOpacity(orange, 0.22), 1);
    bar->setObjectName(QStringLiteral("rangeSelectionBar"));
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(10, 7, 10, 7);
    row->setSpacing(10);
    row->addWidget(new theme::SymbolImage(QStringLiteral("selection.pin.in.out"), 12, orange), 0, Qt::AlignVCenter);

    selectionPart_ = new QWidget;
    auto* selection = new QHBoxLayout(selectionPart_);
    selection->setContentsMargins(0, 0, 0, 0);
    selection->setSpacing(10);
    selectionLabel_ = makeLabel({}, statusFont(), OrvantaTheme::white(0.8));
    selectionLabel_->setObjectName(QStringLiteral("selectionText"));
    selection->addWidget(selectionLabel_, 0, Qt::AlignVCenter);
    selection->addStretch();
    reanalyze_ = new OrvantaButton(OrvantaButton::Style::primary, QStringLiteral("Re-analyze Selection"));
    connect(reanalyze_, &QAbstractButton::clicked, this, [this] { model_.reanalyzeSelection(); });
    selection->addWidget(reanalyze_, 0, Qt::AlignVCenter);
    auto* clear = new OrvantaButton(OrvantaButton::Style::secondary, QStringLiteral("Clear"));
    connect(clear, &QAbstractButton::clicked, this, [this] {
        model_.analysisSelection.set(std::nullopt);
        ui_.rangeSelectionMode.set(false);
    });
    selection->addWidget(clear, 0, Qt::AlignVCenter);
    row->addWidget(selectionPart_, 1);

    hintPart_ = new QWidget;
    auto* hint = new QHBoxLayout(hintPart_);
    hint->setContentsMargins(0, 0, 0, 0);
    hint->setSpacing(10);
    hint->addWidget(makeLabel(QStringLiteral("Drag across the waveform to select a range for targeted re-analysis."),
                              OrvantaTheme::font(11, QFont::DemiBold), OrvantaTheme::white(0.72)),
                    0, Qt::AlignVCenter);
    hint->addStretch();
    auto* cancel = new OrvantaButton(OrvantaButton::Style::secondary, QStringLiteral("Cancel"));
    connect(cancel, &QAbstractButton::clicked, this, [this] { ui_.rangeSelectionMode.set(false); });
    hint->addWidget(cancel, 0, Qt::AlignVCenter);
    row->addWidget(hintPart_, 1);
    return bar;
}

QWidget* BeatloomWaveformEditor::makeLoadingState() {
    auto* state = new QWidget;
    state->setObjectName(QStringLiteral("waveformLoading"));
    state->setMinimumHeight(250);
    state->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* row = new QHBoxLayout(state);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    row->addStretch();
    auto* progress = new QProgressBar;
    progress->setRange(0, 0);  // indeterminate
    progress->setTextVisible(false);
    progress->setFixedSize(24, 6);
    row->addWidget(progress, 0, Qt::AlignVCenter);
    row->addWidget(makeLabel(QStringLiteral("Building high-resolution waveform…"), OrvantaTheme::font(13, QFont::DemiBold),
                             OrvantaTheme::white(0.76)),
                   0, Qt::AlignVCenter);
    row->addStretch();
    return state;
}

QWidget* BeatloomWaveformEditor::makeUnavailableState() {
    auto* state = new QWidget;
    state->setObjectName(QStringLiteral("waveformUnavailable"));
    state->setMinimumHeight(220);
    state->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* column = new QVBoxLayout(state);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    column->addStretch();
    column->addWidget(new theme::SymbolImage(QStringLiteral("waveform.badge.exclamationmark"), 28,
                                           OrvantaTheme::standardOrange()),
                      0, Qt::AlignHCenter);
    auto* title = makeLabel(QStringLiteral("Waveform unavailable"), OrvantaTheme::font(14, QFont::Bold),
                            OrvantaTheme::white(0.86));
    column->addWidget(title, 0, Qt::AlignHCenter);
    errorText_ = makeLabel({}, OrvantaTheme::font(11, QFont::Medium), OrvantaTheme::white(0.58));
    errorText_->setObjectName(QStringLiteral("waveformErrorText"));
    errorText_->setAlignment(Qt::AlignHCenter);
    column->addWidget(errorText_, 0, Qt::AlignHCenter);
    column->addStretch();
    return state;
}

QWidget* BeatloomWaveformEditor::makeStatusRow() {
    auto* row = new QWidget;
    row->setObjectName(QStringLiteral("waveformStatusRow"));
    auto* items = new QHBoxLayout(row);
    items->setContentsMargins(3, 0, 3, 0);
    items->setSpacing(10);
    const QColor text = OrvantaTheme::white(0.62);
    locator_ = makeLabel({}, statusFont(), text);
    locator_->setObjectName(QStringLiteral("statusLocator"));
    items->addWidget(locator_, 0, Qt::AlignVCenter);
    items->addWidget(divider(), 0, Qt::AlignVCenter);
    position_ = makeLabel({}, statusFont(), text);
    position_->setObjectName(QStringLiteral("statusPosition"));
    items->addWidget(position_, 0, Qt::AlignVCenter);
    items->addWidget(divider(), 0, Qt::AlignVCenter);
    tempo_ = makeLabel({}, statusFont(), text);
    tempo_->setObjectName(QStringLiteral("statusTempo"));
    items->addWidget(tempo_, 0, Qt::AlignVCenter);
    items->addStretch();
    follow_ = new theme::SymbolImage(QStringLiteral("location.fill"), 11, text);
    follow_->setObjectName(QStringLiteral("followPlaybackIndicator"));
    items->addWidget(follow_, 0, Qt::AlignVCenter);
    return row;
}

void BeatloomWaveformEditor::refresh() {
    const bool loaded = model_.result.value().has_value();
    const bool loading = model_.isWaveformLoading.value();
    const bool hasWaveform = model_.waveformData.value().has_value();

    bool partsChanged = false;
    const auto show = [&partsChanged, this](QWidget* part, bool shown) {
        const bool settled = part->testAttribute(Qt::WA_WState_ExplicitShowHide) && part->isHidden() != shown;
        part->setVisible(shown);
        partsChanged = partsChanged || !settled;
    };
    show(toolbar_, loaded);
    show(rangeBar_, loaded && (ui_.rangeSelectionMode.value() || model_.analysisSelection.value()));
    show(gridFitBar_, loaded && ui_.gridFitMode.value());
    show(loading_, loaded && loading);
    show(viewport_, loaded && !loading && hasWaveform);
    show(statusRow_, loaded && !loading && hasWaveform);
    show(unavailable_, loaded && !loading && !hasWaveform);

    refreshRangeSelectionBar();
    refreshStatusRow();
    const std::string& error = model_.waveformErrorText.value();
    errorText_->setText(fromStd(error));
    errorText_->setVisible(!error.empty());
    if (partsChanged && isVisible()) layOutNow(this);
    if (loaded != boxShown_) {
        boxShown_ = loaded;
        update();
    }
}

void BeatloomWaveformEditor::refreshRangeSelectionBar() {
    const auto& selection = model_.analysisSelection.value();
    selectionPart_->setVisible(selection.has_value());
    hintPart_->setVisible(!selection.has_value());
    if (!selection) return;
    selectionLabel_->setText(selectionText(*selection));
    const bool analysing = model_.isAnalyzing.value();
    const double length = std::max(selection->endSeconds - selection->startSeconds, 0.0);
    reanalyze_->setText(analysing ? QStringLiteral("Analyzing…") : QStringLiteral("Re-analyze Selection"));
    reanalyze_->setEnabled(!analysing && length >= kMinimumReanalysisSeconds);
}

void BeatloomWaveformEditor::refreshStatusRow() {
    locator_->setText(fromStd(formatRulerTime(model_.locatorSeconds.value())));
    position_->setText(musicalPositionText(model_.musicalPositionAtLocator()));
    const QString tempo = tempoText(model_.tempoAtLocator());
    tempo_->setText(tempo);
    tempo_->setVisible(!tempo.isEmpty());
    if (model_.pageFollowEnabled.value()) {
        follow_->setSymbol(QStringLiteral("location.fill"), withOpacity(OrvantaTheme::standardBlue(), 0.72));
        follow_->setToolTip(QStringLiteral("Follow Playback on"));
    } else {
        follow_->setSymbol(QStringLiteral("location.slash"), OrvantaTheme::white(0.3));
        follow_->setToolTip(QStringLiteral("Follow Playback paused"));
    }
    const auto& waveform = model_.waveformData.value();
    statusRow_->setToolTip(waveform ? cacheHelpText(*waveform) : QString());
}

void BeatloomWaveformEditor::paintEvent(QPaintEvent*) {
    if (!model_.result.value()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(OrvantaTheme::black(0.14));
    painter.drawRoundedRect(box, kCornerRadius, kCornerRadius);
    painter.setPen(QPen(OrvantaTheme::white(0.08), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(box, kCornerRadius, kCornerRadius);
}

}  // namespace corvel::editor
