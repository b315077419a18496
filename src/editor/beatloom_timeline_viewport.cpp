#include "editor/beatloom_timeline_viewport.hpp"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QResizeEvent>

#include "app/orvanta_theme.hpp"
#include "audio/preview_player.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/published_repaint_bridge.hpp"
#include "editor/timeline_labels.hpp"
#include "editor/timeline_pointer.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

namespace {

using app::OrvantaTheme;
using BeatloomTimeline::GridKind;

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(float(color.alphaF() * opacity));
    return color;
}

QPen solidPen(const QColor& color, double width) {
    QPen pen(color, width, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    return pen;
}

// Dash lengths in pixels; Qt measures dash patterns in pen widths.
QPen dashedPen(const QColor& color, double width, double on, double off) {
    QPen pen = solidPen(color, width);
    pen.setDashPattern({on / width, off / width});
    pen.setDashOffset(0);
    return pen;
}

void strokeVertical(QPainter& painter, const QPen& pen, double x, double top, double bottom) {
    painter.setPen(pen);
    painter.drawLine(QPointF(x, top), QPointF(x, bottom));
}

void strokeHorizontal(QPainter& painter, const QPen& pen, double y, double width) {
    painter.setPen(pen);
    painter.drawLine(QPointF(0, y), QPointF(width, y));
}

QPen gridPen(GridKind kind, bool fitted) {
    if (fitted) {
        const QColor& cyan = OrvantaTheme::standardCyan();
        switch (kind) {
            case GridKind::subdivision: return dashedPen(withOpacity(cyan, 0.12), 0.55, 2, 3);
            case GridKind::beat: return dashedPen(withOpacity(cyan, 0.38), 0.95, 4, 3);
            case GridKind::bar: return dashedPen(withOpacity(cyan, 0.72), 1.65, 6, 3);
        }
    }
    switch (kind) {
        case GridKind::subdivision: return solidPen(OrvantaTheme::white(0.1), 0.5);
        case GridKind::beat: return solidPen(OrvantaTheme::white(0.3), 0.9);
        case GridKind::bar: break;
    }
    return solidPen(withOpacity(OrvantaTheme::standardBlue(), 0.82), 1.5);
}

constexpr double kMarkerOpacity = 0.84;
constexpr double kMarkerLineWidth = 1.2;

QPen markerPen(MarkerLineKind kind) {
    switch (kind) {
        case MarkerLineKind::tempoPoint:
            return dashedPen(withOpacity(OrvantaTheme::standardPurple(), kMarkerOpacity), kMarkerLineWidth, 5, 3);
        case MarkerLineKind::meterEvent:
            return dashedPen(withOpacity(OrvantaTheme::standardOrange(), kMarkerOpacity), kMarkerLineWidth, 3, 3);
        case MarkerLineKind::songBarOne:
            return dashedPen(withOpacity(OrvantaTheme::standardCyan(), kMarkerOpacity), kMarkerLineWidth, 7, 3);
        case MarkerLineKind::lockedDownbeat:
            return dashedPen(withOpacity(OrvantaTheme::standardCyan(), 0.72 * kMarkerOpacity), kMarkerLineWidth, 2, 2);
        case MarkerLineKind::gridFitAnchor: break;
    }
    return solidPen(withOpacity(OrvantaTheme::standardCyan(), 0.95), 2);
}

}  // namespace

BeatloomTimelineViewport::BeatloomTimelineViewport(session::BeatloomViewModel& model,
                                                   audio::BeatloomPreviewPlayer& player, BeatloomEditorUIState& ui,
                                                   QWidget* parent)
    : QWidget(parent), model_(model), player_(player), ui_(ui) {
    setAccessibleName(QStringLiteral("Beatloom waveform editor"));
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    bridge_ = new PublishedRepaintBridge([this] { update(); }, this);
    const auto staleGrid = [this] { songLinesStale_ = true; };
    bridge_->watch(model_.result, staleGrid);
    bridge_->watch(model_.editableTempoPoints, staleGrid);
    bridge_->watch(model_.meterEvents, staleGrid);
    bridge_->watch(model_.barAnchors, staleGrid);
    bridge_->watch(model_.phaseLocks, staleGrid);
    bridge_->watch(model_.barOneSeconds, staleGrid);
    bridge_->watch(model_.pickupBarCount, staleGrid);
    bridge_->watch(model_.timelineRegions, staleGrid);
    bridge_->watch(model_.rhythmicAnchors, staleGrid);
    bridge_->watch(ui_.gridResolution, staleGrid);

    bridge_->watch(model_.viewportState);
    bridge_->watch(model_.locatorSeconds);
    bridge_->watch(model_.waveformData);
    bridge_->watch(model_.gridFitAnchors);
    bridge_->watch(model_.gridFitResult);
    bridge_->watch(ui_.showSubdivisions);
    bridge_->watch(ui_.showTransients);
    bridge_->watch(ui_.gridFitMode);
    bridge_->watch(ui_.rangeSelectionMode);
    bridge_->watch(ui_.waveformLarge, [this] { followLaneHeight(); });
    bridge_->watch(player_.transportState());
    // The page turns as the play head moves, before the frame that shows it is drawn.
    bridge_->watch(player_.currentPlaybackSeconds(),
                   [this] { model_.followPlayhead(player_.currentPlaybackSeconds().value()); });

    bridge_->watch(model_.analysisSelection);
    bridge_->watch(model_.selectedTempoPointID);
    pointerInput_ = new TimelinePointerInput(*this, model_, ui_);

    followLaneHeight();
}

// The bridge goes first: no published change may reach a viewport that is half torn down.
BeatloomTimelineViewport::~BeatloomTimelineViewport() { delete bridge_; }

BeatloomTimelineGeometry BeatloomTimelineViewport::geometry() const {
    return BeatloomTimelineGeometry{kRulerHeight, kMarkerLaneHeight, kTimeRulerHeight, ui_.waveformLarge.value()};
}

BeatloomTimelineWindow BeatloomTimelineViewport::window() const { return timelineWindow(model_, width()); }

const std::vector<BeatloomTimeline::GridLine>& BeatloomTimelineViewport::songLines() const {
    if (songLinesStale_) {
        songLines_ = songGridLines(model_, ui_.gridResolution.value());
        songLinesStale_ = false;
        ++songLineRebuilds_;
    }
    return songLines_;
}

std::vector<BeatloomTimeline::GridLine> BeatloomTimelineViewport::visibleGridLines() const {
    return editor::visibleGridLines(songLines(), window(), ui_.showSubdivisions.value());
}

TimelineCanvasPlan BeatloomTimelineViewport::canvasPlan() const {
    return editor::canvasPlan(model_, ui_, geometry(), window(), visibleGridLines());
}

QSize BeatloomTimelineViewport::sizeHint() const { return {1200, int(geometry().totalHeight())}; }

QSize BeatloomTimelineViewport::minimumSizeHint() const { return {1, int(geometry().totalHeight())}; }

void BeatloomTimelineViewport::followLaneHeight() {
    setFixedHeight(int(geometry().totalHeight()));
    updateGeometry();
}

void BeatloomTimelineViewport::reportWidth() {
    model_.setViewportPixelWidth(BeatloomTimelineWindow::layoutWidth(width()));
}

void BeatloomTimelineViewport::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (event->size().width() != event->oldSize().width()) reportWidth();
}

void BeatloomTimelineViewport::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    reportWidth();
}

void BeatloomTimelineViewport::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintTimeline(painter);
}

void BeatloomTimelineViewport::paintTimeline(QPainter& painter) const {
    painter.setRenderHint(QPainter::Antialiasing, true);
    const double w = BeatloomTimelineWindow::layoutWidth(width());
    const QRectF frame(0, 0, w, geometry().totalHeight());
    QPainterPath rounded;
    rounded.addRoundedRect(frame, kCornerRadius, kCornerRadius);

    painter.fillPath(rounded, OrvantaTheme::black(0.28));
    painter.save();
    painter.setClipPath(rounded);
    // Every layer works from the same cut of the grid.
    const auto lines = visibleGridLines();
    for (const TimelineLayer layer : kTimelineLayerOrder) paintLayer(painter, layer, lines);
    painter.restore();
    painter.setPen(solidPen(OrvantaTheme::white(0.09), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(rounded);
}

void BeatloomTimelineViewport::paintLayer(QPainter& painter, TimelineLayer layer,
                                          const std::vector<BeatloomTimeline::GridLine>& lines) const {
    switch (layer) {
        case TimelineLayer::canvas:
            paintCanvas(painter, editor::canvasPlan(model_, ui_, geometry(), window(), lines));
            return;
        case TimelineLayer::input: pointerInput_->paintInputLayer(painter); return;
        case TimelineLayer::rulerLabels: paintRulerLabels(painter, lines); return;
        case TimelineLayer::markerHandles: pointerInput_->paintMarkerHandles(painter); return;
        case TimelineLayer::locatorFlag: pointerInput_->paintLocatorFlag(painter); return;
        case TimelineLayer::flexibleTimelineOverlay: pointerInput_->paintFlexibleTimelineOverlay(painter); return;
    }
}

void BeatloomTimelineViewport::paintCanvas(QPainter& painter, const TimelineCanvasPlan& plan) const {
    const auto& g = plan.geometry;
    const double w = plan.width;
    const double waveTop = g.waveformTop();
    const double waveBottom = waveTop + g.waveformHeight();

    // Lanes.
    painter.fillRect(QRectF(0, 0, w, g.rulerHeight), OrvantaTheme::black(0.58));
    painter.fillRect(QRectF(0, g.rulerHeight, w, g.markerLaneHeight), OrvantaTheme::black(0.34));
    painter.fillRect(QRectF(0, waveTop, w, g.waveformHeight()), OrvantaTheme::black(0.46));
    painter.fillRect(QRectF(0, g.timeRulerTop(), w, g.timeRulerHeight), OrvantaTheme::black(0.52));
    if (plan.audioSpan) {
        painter.fillRect(QRectF(plan.audioSpan->x0, waveTop, std::max(plan.audioSpan->x1 - plan.audioSpan->x0, 0.0),
                                g.waveformHeight()),
                         OrvantaTheme::white(0.018));
    }
    for (const auto& span : plan.barShading) {
        painter.fillRect(QRectF(span.x0, waveTop, std::max(span.x1 - span.x0, 0.0), g.waveformHeight()),
                         OrvantaTheme::white(0.018));
    }
    strokeHorizontal(painter, solidPen(OrvantaTheme::white(0.055), 0.5), waveTop + 0.25 * g.waveformHeight(), w);
    strokeHorizontal(painter, solidPen(OrvantaTheme::white(0.12), 0.8), waveTop + 0.5 * g.waveformHeight(), w);
    strokeHorizontal(painter, solidPen(OrvantaTheme::white(0.055), 0.5), waveTop + 0.75 * g.waveformHeight(), w);

    // Grid.
    for (const auto& stroke : plan.gridStrokes) {
        strokeVertical(painter, gridPen(stroke.kind, stroke.fitted), stroke.x, waveTop, waveBottom);
    }

    // Waveform, one path stroked once.
    if (!plan.waveform.empty()) {
        QPainterPath trace;
        for (const auto& segment : plan.waveform) {
            trace.moveTo(segment.x, segment.yTop);
            trace.lineTo(segment.x, segment.yBottom);
        }
        painter.strokePath(trace, solidPen(OrvantaTheme::white(0.9), 0.9));
    }

    // Transient ticks.
    const QPen tickPen = solidPen(withOpacity(OrvantaTheme::standardCyan(), 0.62), 1.2);
    for (const double x : plan.transientTicks) strokeVertical(painter, tickPen, x, waveTop + 2, waveTop + 10);

    // Marker lines; Grid Fit anchors only over the waveform lane.
    for (const auto& marker : plan.markerLines) {
        const double top = marker.kind == MarkerLineKind::gridFitAnchor ? waveTop : g.rulerHeight;
        strokeVertical(painter, markerPen(marker.kind), marker.x, top, waveBottom);
    }

    // Locator (with its glow) and playhead.
    if (plan.locatorX) {
        const QColor& blue = OrvantaTheme::standardBlue();
        strokeVertical(painter, solidPen(withOpacity(blue, 0.2), 4), *plan.locatorX, 0, waveBottom);
        strokeVertical(painter, solidPen(blue, 1.3), *plan.locatorX, 0, waveBottom);
    }
    if (plan.playheadX) strokeVertical(painter, solidPen(OrvantaTheme::white(0.98), 2), *plan.playheadX, waveTop, waveBottom);

    // Lane separators.
    const QPen separator = solidPen(OrvantaTheme::white(0.09), 1);
    strokeHorizontal(painter, separator, g.rulerHeight, w);
    strokeHorizontal(painter, separator, waveTop, w);
    strokeHorizontal(painter, separator, g.timeRulerTop(), w);
}

void BeatloomTimelineViewport::paintRulerLabels(QPainter& painter,
                                                const std::vector<BeatloomTimeline::GridLine>& lines) const {
    const auto& result = model_.result.value();
    const double songDuration = result ? result->durationSeconds : 0.0;
    const auto labels = rulerLabels(lines, window(), geometry(), songDuration);

    const QFont barFont = OrvantaTheme::font(12, QFont::Black, app::FontDesign::monospaced);
    const QFont smallFont = OrvantaTheme::font(9, QFont::Bold, app::FontDesign::monospaced);
    const QColor barText = withOpacity(OrvantaTheme::standardBlue(), 0.98);
    const QColor beatText = OrvantaTheme::white(0.64);
    const QColor timeText = OrvantaTheme::white(0.42);
    const QFontMetricsF barMetrics(barFont);
    const QFontMetricsF smallMetrics(smallFont);

    for (const auto& label : labels) {
        if (label.text.empty()) continue;
        const QString text = QString::fromStdString(label.text);
        const bool isBar = label.kind == RulerLabelKind::bar;
        const QFontMetricsF& metrics = isBar ? barMetrics : smallMetrics;
        const QSizeF textSize(metrics.horizontalAdvance(text), metrics.height());
        const QRectF textRect(label.centreX - textSize.width() / 2, label.centreY - textSize.height() / 2,
                              textSize.width(), textSize.height());
        if (isBar) {
            // A dark pill behind the bar number keeps it readable over the grid.
            const QRectF pill = textRect.adjusted(-4, -1, 4, 1);
            QPainterPath background;
            background.addRoundedRect(pill, 4, 4);
            painter.fillPath(background, OrvantaTheme::black(0.78));
        }
        painter.setFont(isBar ? barFont : smallFont);
        painter.setPen(isBar ? barText : (label.kind == RulerLabelKind::beat ? beatText : timeText));
        painter.drawText(textRect, Qt::AlignCenter, text);
    }
}

}  // namespace corvel::editor
