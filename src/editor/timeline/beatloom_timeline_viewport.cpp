#include "editor/timeline/beatloom_timeline_viewport.hpp"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QResizeEvent>

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>

#include "theme/orvanta_theme.hpp"
#include "audio/preview/preview_player.hpp"
#include "common/numeric.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/timeline/flexible_timeline_overlay_view.hpp"
#include "editor/published_repaint_bridge.hpp"
#include "editor/timeline/timeline_labels.hpp"
#include "editor/timeline/timeline_marker_lane.hpp"
#include "editor/timeline/timeline_pointer.hpp"
#include "editor/timeline/timeline_raster.hpp"
#include "editor/timeline/widget_backdrop.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

namespace {

using theme::OrvantaTheme;
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

// Clears what lies outside the frame's rounded corners.
void clearOutsideCorners(QImage& picture, const QRectF& frame) {
    QPainterPath rounded;
    rounded.addRoundedRect(frame, BeatloomTimelineViewport::kCornerRadius, BeatloomTimelineViewport::kCornerRadius);
    const double r = BeatloomTimelineViewport::kCornerRadius;
    QPainterPath corners;
    for (const QPointF& corner : {frame.topLeft(), QPointF(frame.right() - r, frame.top()),
                                  QPointF(frame.left(), frame.bottom() - r), QPointF(frame.right() - r, frame.bottom() - r)}) {
        corners.addRect(QRectF(corner, QSizeF(r, r)));
    }
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.fillPath(corners.subtracted(rounded), Qt::black);
}

// The frame's outline: a 1 pixel line on the frame's edge, so that half of it lies inside;
// the straight edges laid into the pixels, the corners stroked.
void strokeFrame(QImage& picture, const QRectF& frame) {
    const double r = BeatloomTimelineViewport::kCornerRadius;
    const QColor half = OrvantaTheme::white(0.09 * 0.5);
    blendRow(picture, frame.top(), frame.left() + r, frame.right() - r, half);
    blendRow(picture, frame.bottom() - 1, frame.left() + r, frame.right() - r, half);
    blendLines(picture, {{frame.left(), 1, frame.top() + r, frame.bottom() - r, half},
                         {frame.right() - 1, 1, frame.top() + r, frame.bottom() - r, half}});
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(solidPen(OrvantaTheme::white(0.09), 1));
    painter.setBrush(Qt::NoBrush);
    for (const QPointF& corner : {frame.topLeft(), QPointF(frame.right() - r, frame.top()),
                                  QPointF(frame.left(), frame.bottom() - r), QPointF(frame.right() - r, frame.bottom() - r)}) {
        painter.setClipRect(QRectF(corner, QSizeF(r, r)));
        painter.drawRoundedRect(frame, r, r);
    }
}

}  // namespace

BeatloomTimelineViewport::BeatloomTimelineViewport(session::BeatloomViewModel& model,
                                                   audio::BeatloomPreviewPlayer& player, BeatloomEditorUIState& ui,
                                                   QWidget* parent)
    : QWidget(parent), model_(model), player_(player), ui_(ui) {
    setAccessibleName(QStringLiteral("Beatloom waveform editor"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // Inside a window the timeline paints what lies beneath it from a picture and is opaque.
    backdrop_ = new WidgetBackdrop(*this);

    bridge_ = new PublishedRepaintBridge([this] { repaintChanges(); }, this);
    const auto stillLayers = [this] { stillLayersChanged_ = true; };
    const auto staleGrid = [this] {
        songLinesStale_ = true;
        stillLayersChanged_ = true;
    };
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

    bridge_->watch(model_.waveformData, [this] {
        waveformLevelsStale_ = true;
        stillLayersChanged_ = true;
    });
    bridge_->watch(model_.viewportState, stillLayers);
    bridge_->watch(model_.gridFitAnchors, stillLayers);
    bridge_->watch(model_.gridFitResult, stillLayers);
    bridge_->watch(ui_.showSubdivisions, stillLayers);
    bridge_->watch(ui_.showTransients, stillLayers);
    bridge_->watch(ui_.gridFitMode, stillLayers);
    bridge_->watch(ui_.rangeSelectionMode, stillLayers);
    bridge_->watch(ui_.waveformLarge, [this] {
        stillLayersChanged_ = true;
        followLaneHeight();
    });
    bridge_->watch(model_.analysisSelection, stillLayers);
    bridge_->watch(model_.selectedTempoPointID, stillLayers);

    // The locator and the play head move over the still layers.
    bridge_->watch(model_.locatorSeconds);
    bridge_->watch(player_.transportState());
    // The page turns as the play head moves, before the frame that shows it is drawn.
    bridge_->watch(player_.currentPlaybackSeconds(),
                   [this] { model_.followPlayhead(player_.currentPlaybackSeconds().value()); });

    pointerInput_ = new TimelinePointerInput(*this, model_, ui_);

    followLaneHeight();
}

// The bridge goes first: no published change may reach a viewport that is half torn down.
BeatloomTimelineViewport::~BeatloomTimelineViewport() { delete bridge_; }

BeatloomTimelineGeometry BeatloomTimelineViewport::geometry() const {
    return BeatloomTimelineGeometry{kRulerHeight, kMarkerLaneHeight, kTimeRulerHeight, ui_.waveformLarge.value()};
}

BeatloomTimelineWindow BeatloomTimelineViewport::window() const { return timelineWindow(model_, width()); }

const SongGrid& BeatloomTimelineViewport::songGrid() const {
    if (songLinesStale_) {
        songGrid_ = SongGrid(songGridLines(model_, ui_.gridResolution.value()));
        songLinesStale_ = false;
        ++songLineRebuilds_;
    }
    return songGrid_;
}

const std::vector<BeatloomTimeline::GridLine>& BeatloomTimelineViewport::songLines() const {
    return songGrid().lines;
}

const WaveformLevels* BeatloomTimelineViewport::waveformLevels() const {
    if (waveformLevelsStale_) {
        const auto& waveform = model_.waveformData.value();
        waveformLevels_.reset();
        if (waveform) waveformLevels_.emplace(*waveform);
        waveformLevelsStale_ = false;
    }
    return waveformLevels_ ? &*waveformLevels_ : nullptr;
}

std::vector<BeatloomTimeline::GridLine> BeatloomTimelineViewport::visibleGridLines() const {
    return editor::visibleGridLines(songLines(), window(), ui_.showSubdivisions.value());
}

std::vector<BeatloomTimeline::GridLine> BeatloomTimelineViewport::drawnGridLines() const {
    return editor::drawnGridLines(songGrid(), window(), ui_.showSubdivisions.value());
}

TimelineCanvasPlan BeatloomTimelineViewport::canvasPlan() const {
    return canvasPlan(drawnGridLines(), pointerInput_->markerLane());
}

TimelineCanvasPlan BeatloomTimelineViewport::canvasPlan(const std::vector<BeatloomTimeline::GridLine>& lines,
                                                        const TimelinePointerInput::MarkerLane& lane) const {
    auto plan = editor::canvasPlan(model_, ui_, geometry(), window(), lines, waveformLevels());
    plan.markerLines = markerLinesOfShownHandles(plan.markerLines, lane.handles, window());
    plan.markerStrokes = markerStrokes(plan.markerLines, plan.geometry, lane.boxes());
    return plan;
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
    if (backdrop_->rendering()) return;
    QPainter painter(this);
    paintTimeline(painter);
}

void BeatloomTimelineViewport::paintTimeline(QPainter& painter) const {
    refreshStillLayers();
    paintBeneathStillLabels(painter);
    const auto locator = locatorX(model_, window());
    paintRulerLabelsAroundFlag(painter, locator);
    pointerInput_->paintLocatorFlag(painter);
    drawnLocatorX_ = locator;
    drawnPlayheadX_ = playheadX(model_, window());
}

void BeatloomTimelineViewport::paintBeneathStillLabels(QPainter& painter) const {
    if (const QImage* beneath = backdrop_->picture()) {
        painter.save();
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(QPointF(0, 0), *beneath);
        painter.restore();
    }
    painter.drawImage(QPointF(0, 0), belowPlayPositions_);
    paintPlayPositions(painter);
}

void BeatloomTimelineViewport::refreshStillLayers() const {
    const qreal ratio = devicePixelRatioF();
    const QSize size(int(std::ceil(BeatloomTimelineWindow::layoutWidth(width()))), int(geometry().totalHeight()));
    const StillLayerKey key{model_.viewportState.value().visibleStartSeconds,
                            model_.viewportState.value().visibleDurationSeconds, size, ratio};
    if (!stillLayersChanged_ && stillLayerKey_ == key) return;
    stillLayersChanged_ = false;
    stillLayerKey_ = key;
    ++layerRebuilds_;

    const double w = BeatloomTimelineWindow::layoutWidth(width());
    const QRectF frame(0, 0, w, geometry().totalHeight());
    const auto freshPicture = [&](QImage& picture, QRgb fill) {
        if (picture.size() != size * ratio || picture.devicePixelRatio() != ratio) {
            picture = QImage(size * ratio, QImage::Format_ARGB32_Premultiplied);
            picture.setDevicePixelRatio(ratio);
        }
        picture.fill(fill);
    };
    // Every layer works from the same cut of the grid and the same marker lane.
    const auto lines = drawnGridLines();
    const auto lane = pointerInput_->markerLane();

    freshPicture(belowPlayPositions_, qPremultiply(OrvantaTheme::black(0.28).rgba()));
    paintCanvasBelowPlayPositions(belowPlayPositions_, canvasPlan(lines, lane));
    clearOutsideCorners(belowPlayPositions_, frame);
    freshPicture(abovePlayPositions_, 0);
    {
        QPainter painter(&abovePlayPositions_);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setClipRect(frame);
        paintLaneSeparators(painter);
        for (const TimelineLayer layer : kTimelineLayerOrder) {
            if (layer != TimelineLayer::canvas && layer != TimelineLayer::locatorFlag) {
                paintLayer(painter, layer, lines, lane);
            }
        }
    }
    clearOutsideCorners(abovePlayPositions_, frame);
    strokeFrame(abovePlayPositions_, frame);
}

void BeatloomTimelineViewport::repaintChanges() {
    if (stillLayersChanged_) {
        update();
        return;
    }
    update(playPositionStrips());
}

QRect BeatloomTimelineViewport::playPositionStrips() const {
    const auto g = geometry();
    const auto win = window();
    QRect strips;
    // The locator's glow and its flag above it; the play head over the waveform lane.
    const auto locatorStrip = [&](double x) {
        strips |= QRectF(x - 4, 0, 8, g.waveformTop() + g.waveformHeight() + 1).toAlignedRect();
        if (const auto flag = locatorFlagPlacement(x, win.width)) {
            strips |= QRectF(flag->centreX - 18, 0, 36, flag->centreY + 14).toAlignedRect();
        }
    };
    const auto playheadStrip = [&](double x) {
        strips |= QRectF(x - 3, g.waveformTop() - 1, 6, g.waveformHeight() + 2).toAlignedRect();
    };
    if (drawnLocatorX_) locatorStrip(*drawnLocatorX_);
    if (const auto x = locatorX(model_, win)) locatorStrip(*x);
    if (drawnPlayheadX_) playheadStrip(*drawnPlayheadX_);
    if (const auto x = playheadX(model_, win)) playheadStrip(*x);
    // The labels the flag moved aside where it was, and those it moves where it is.
    strips |= movedLabelPixels(drawnLocatorX_);
    strips |= movedLabelPixels(locatorX(model_, win));
    return strips;
}

void BeatloomTimelineViewport::paintLayer(QPainter& painter, TimelineLayer layer,
                                          const std::vector<BeatloomTimeline::GridLine>& lines,
                                          const TimelinePointerInput::MarkerLane& lane) const {
    switch (layer) {
        case TimelineLayer::canvas:
            painter.drawImage(QPointF(0, 0), belowPlayPositions_);
            paintPlayPositions(painter);
            paintLaneSeparators(painter);
            return;
        case TimelineLayer::input: pointerInput_->paintInputLayer(painter); return;
        case TimelineLayer::rulerLabels: paintRulerLabels(painter, lines); return;
        case TimelineLayer::markerHandles: pointerInput_->paintMarkerHandles(painter, lane.handles); return;
        case TimelineLayer::locatorFlag: pointerInput_->paintLocatorFlag(painter); return;
        case TimelineLayer::flexibleTimelineOverlay: pointerInput_->paintFlexibleTimelineOverlay(painter, lane); return;
    }
}

void BeatloomTimelineViewport::paintCanvasBelowPlayPositions(QImage& picture, const TimelineCanvasPlan& plan) const {
    const auto& g = plan.geometry;
    const double w = plan.width;
    const double waveTop = g.waveformTop();
    const double waveBottom = waveTop + g.waveformHeight();

    // Vertical lines of a pixel or so fill whole pixel columns, laid into the picture's pixels
    // with the lanes: no blending over a column's edges.
    std::vector<ColumnLine> plainGrid;
    std::vector<ColumnLine> overTrace;
    for (const auto& stroke : plan.gridStrokes) {
        const QPen pen = gridPen(stroke.kind, stroke.fitted);
        const double lineWidth = stroke.kind == GridKind::bar ? 2 : 1;
        const double left = std::floor(stroke.x + 0.5 - lineWidth / 2);
        if (stroke.fitted) {
            const auto dashes = pen.dashPattern();
            overTrace.push_back({left, lineWidth, waveTop, waveBottom, pen.color(), dashes[0] * pen.widthF(),
                                 dashes[1] * pen.widthF()});
        } else {
            plainGrid.push_back({left, lineWidth, waveTop, waveBottom, pen.color()});
        }
    }
    // A 0.9 pixel stroke covers nine tenths of its column.
    const QColor traceColour = OrvantaTheme::white(0.9 * 0.9);
    std::vector<ColumnLine> trace;
    trace.reserve(plan.waveform.size());
    for (const auto& segment : plan.waveform) {
        trace.push_back({std::floor(segment.x), 1, segment.yTop, segment.yBottom, traceColour});
    }

    // The layers above that tint whole columns of lanes: the analysis selection's band over the
    // waveform lane (input layer), then the Free Time and Rubato bands over the marker and
    // waveform lanes (overlay).
    std::vector<ColumnTint> regionTints;
    for (const auto& band : flexibleRegionBands(model_.timelineRegions.value(), window(), g)) {
        regionTints.push_back({band.x, band.x + band.width, regionBandColour(band.mode)});
    }
    std::vector<ColumnTint> waveformTints;
    if (const auto selection = pointerInput_->rangeSelectionSurface().selectionBand()) {
        waveformTints.push_back({selection->x0, selection->x1, TimelinePointerInput::selectionBandColour()});
    }
    waveformTints.insert(waveformTints.end(), regionTints.begin(), regionTints.end());

    // Lanes; over the waveform lane the part that holds audio and the even bars each take a
    // faint white coat, then come the grid and the waveform.
    const QColor coat = OrvantaTheme::white(0.018);
    fillBand(picture, 0, g.rulerHeight, OrvantaTheme::black(0.58), coat, {}, {}, {});
    fillBand(picture, g.rulerHeight, g.markerLaneHeight, OrvantaTheme::black(0.34), coat, {}, {}, {}, regionTints);
    auto coated = plan.barShading;
    if (plan.audioSpan) coated.push_back(*plan.audioSpan);
    fillBand(picture, waveTop, g.waveformHeight(), OrvantaTheme::black(0.46), coat, coated, plainGrid, trace,
             waveformTints);
    fillBand(picture, g.timeRulerTop(), g.timeRulerHeight, OrvantaTheme::black(0.52), coat, {}, {}, {});

    {
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing, true);
        strokeHorizontal(painter, solidPen(OrvantaTheme::white(0.055), 0.5), waveTop + 0.25 * g.waveformHeight(), w);
        strokeHorizontal(painter, solidPen(OrvantaTheme::white(0.12), 0.8), waveTop + 0.5 * g.waveformHeight(), w);
        strokeHorizontal(painter, solidPen(OrvantaTheme::white(0.055), 0.5), waveTop + 0.75 * g.waveformHeight(), w);
    }

    // Transient ticks.
    const QColor tick = withOpacity(OrvantaTheme::standardCyan(), 0.62);
    for (const double x : plan.transientTicks) overTrace.push_back({std::floor(x), 1, waveTop + 2, waveTop + 10, tick});

    // Marker lines, once per pixel column and kind (the strokes of lines in one column are
    // alike); Grid Fit anchors only over the waveform lane.
    std::set<std::tuple<MarkerLineKind, std::int64_t, double>> drawnStrokes;
    for (const auto& stroke : plan.markerStrokes) {
        const double column = markerLineLeft(stroke.line);
        if (!drawnStrokes.emplace(stroke.line.kind, saturatingInt64(column), stroke.top).second) continue;
        const QPen pen = markerPen(stroke.line.kind);
        const auto dashes = pen.dashPattern();
        const bool dashed = pen.style() == Qt::CustomDashLine && dashes.size() >= 2;
        overTrace.push_back({column, markerLineWidth(stroke.line), stroke.top, stroke.bottom, pen.color(),
                             dashed ? dashes[0] * pen.widthF() : 0, dashed ? dashes[1] * pen.widthF() : 0});
    }
    blendLines(picture, overTrace);
}

void BeatloomTimelineViewport::paintPlayPositions(QPainter& painter) const {
    const auto g = geometry();
    const auto win = window();
    const double waveBottom = g.waveformTop() + g.waveformHeight();
    const auto locator = locatorX(model_, win);
    const auto playhead = playheadX(model_, win);
    if (!locator && !playhead) return;
    painter.save();
    // Only near the rounded corners does the frame cut into them.
    const auto nearCorner = [&](std::optional<double> x) {
        return x && (*x < kCornerRadius + 4 || *x > win.width - kCornerRadius - 4);
    };
    if (nearCorner(locator) || nearCorner(playhead)) {
        QPainterPath rounded;
        rounded.addRoundedRect(QRectF(0, 0, win.width, g.totalHeight()), kCornerRadius, kCornerRadius);
        painter.setClipPath(rounded, Qt::IntersectClip);
    }
    // Each is laid into a narrow picture of its own: a few columns, however tall.
    const auto draw = [&](double x, const std::vector<ColumnLine>& strokes) {
        const double left = std::floor(x) - 3;
        painter.drawImage(QPointF(left, 0), verticalStrokes(strokes, left, 8, waveBottom, devicePixelRatioF()));
    };
    if (locator) {
        const QColor& blue = OrvantaTheme::standardBlue();
        draw(*locator, {{*locator, 4, 0, waveBottom, withOpacity(blue, 0.2)}, {*locator, 1.3, 0, waveBottom, blue}});
    }
    if (playhead) draw(*playhead, {{*playhead, 2, g.waveformTop(), waveBottom, OrvantaTheme::white(0.98)}});
    painter.restore();
}

void BeatloomTimelineViewport::paintLaneSeparators(QPainter& painter) const {
    const auto g = geometry();
    const double w = window().width;
    const QPen separator = solidPen(OrvantaTheme::white(0.09), 1);
    strokeHorizontal(painter, separator, g.rulerHeight, w);
    strokeHorizontal(painter, separator, g.waveformTop(), w);
    strokeHorizontal(painter, separator, g.timeRulerTop(), w);
}

namespace {

QFont barLabelFont() { return OrvantaTheme::font(12, QFont::Black, theme::FontDesign::monospaced); }
QFont smallLabelFont() { return OrvantaTheme::font(9, QFont::Bold, theme::FontDesign::monospaced); }

// A bar label's dark pill reaches this far beyond its text.
constexpr double kPillPaddingX = 4;
constexpr double kPillPaddingY = 1;
// Labels keep this far inside the lane's ends, clear of the frame's outline and corners.
constexpr double kLabelEdgeMargin = 3;
// A label the locator's flag moves aside keeps this far from the flag (its outline included).
constexpr double kFlagLabelGap = 2;

}  // namespace

std::optional<QRectF> BeatloomTimelineViewport::audioStartTagBox() const {
    const auto tag = audioStartTag(window(), geometry());
    if (!tag) return std::nullopt;
    return audioStartTagRect(*tag);
}

std::vector<BeatloomTimelineViewport::PlacedRulerLabel> BeatloomTimelineViewport::placedRulerLabels() const {
    return placedRulerLabels(drawnGridLines());
}

std::vector<BeatloomTimelineViewport::PlacedRulerLabel> BeatloomTimelineViewport::placedRulerLabels(
    const std::vector<BeatloomTimeline::GridLine>& lines) const {
    const auto& result = model_.result.value();
    const double songDuration = result ? result->durationSeconds : 0.0;
    // Bar numbers thin on a stride of their own, chosen from every bar in the window.
    auto labels = rulerLabels(withEveryBar(songGrid(), window(), lines), window(), geometry(), songDuration);
    std::erase_if(labels, [](const RulerLabel& label) { return label.text.empty(); });

    std::vector<PlacedRulerLabel> placed;
    std::vector<LabelBox> boxes;
    for (auto& label : labels) {
        const bool isBar = label.kind == RulerLabelKind::bar;
        const QSizeF textSize = labelPicture(label).textSize;
        QRectF box(label.centreX - textSize.width() / 2, label.centreY - textSize.height() / 2, textSize.width(),
                   textSize.height());
        if (isBar) box.adjust(-kPillPaddingX, -kPillPaddingY, kPillPaddingX, kPillPaddingY);
        // Labels at the lane's ends move in rather than be cut off by its edge.
        const auto inside = keptInsideLane({box.left(), box.top(), box.right(), box.bottom()}, label.x, window().width,
                                           kLabelEdgeMargin);
        if (!inside) continue;
        box.moveLeft(inside->left);
        label.centreX = box.center().x();
        boxes.push_back(*inside);
        placed.push_back({std::move(label), box});
    }
    // The "AUDIO START" tag of the overlay beneath keeps its place; a label that would cover it
    // gives way, as does one that would cover a label before it (bars, then beats, then times).
    std::vector<LabelBox> reserved;
    if (const auto tag = audioStartTagBox()) reserved.push_back({tag->left(), tag->top(), tag->right(), tag->bottom()});
    std::vector<PlacedRulerLabel> kept;
    for (const std::size_t i : labelsWithoutOverlap(boxes, reserved)) kept.push_back(std::move(placed[i]));
    return kept;
}

const BeatloomTimelineViewport::LabelPicture& BeatloomTimelineViewport::labelPicture(const RulerLabel& label) const {
    const std::string key = std::to_string(int(label.kind)) + '|' + label.text;
    if (const auto found = labelPictures_.find(key); found != labelPictures_.end()) return found->second;
    if (labelPictures_.size() > 4096) labelPictures_.clear();

    const bool isBar = label.kind == RulerLabelKind::bar;
    const QFont font = isBar ? barLabelFont() : smallLabelFont();
    const QString text = QString::fromStdString(label.text);
    const QFontMetricsF metrics(font);
    const QSizeF textSize(metrics.horizontalAdvance(text), metrics.height());
    const QRectF box = isBar ? QRectF(QPointF(0, 0), textSize).adjusted(0, 0, 2 * kPillPaddingX, 2 * kPillPaddingY)
                             : QRectF(QPointF(0, 0), textSize);
    const qreal ratio = devicePixelRatioF();
    QImage image((box.size() * ratio).toSize() + QSize(1, 1), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(0);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    QRectF textRect = box;
    if (isBar) {
        // A dark pill behind the bar number keeps it readable over the grid.
        QPainterPath background;
        background.addRoundedRect(box, 4, 4);
        painter.fillPath(background, OrvantaTheme::black(0.78));
        textRect.adjust(kPillPaddingX, kPillPaddingY, -kPillPaddingX, -kPillPaddingY);
    }
    const QColor colour = isBar ? withOpacity(OrvantaTheme::standardBlue(), 0.98)
                                : (label.kind == RulerLabelKind::beat ? OrvantaTheme::white(0.64) : OrvantaTheme::white(0.42));
    painter.setFont(font);
    painter.setPen(colour);
    painter.drawText(textRect, Qt::AlignCenter, text);
    painter.end();
    return labelPictures_.emplace(key, LabelPicture{std::move(image), textSize}).first->second;
}

void BeatloomTimelineViewport::paintRulerLabels(QPainter& painter,
                                                const std::vector<BeatloomTimeline::GridLine>& lines) const {
    // Each text is drawn once into a picture, then laid on whole pixels wherever it stands.
    stillRulerLabels_ = placedRulerLabels(lines);
    for (const auto& [label, box] : stillRulerLabels_) {
        painter.drawImage(QPointF(std::round(box.left()), std::round(box.top())), labelPicture(label).image);
    }
}

std::vector<LabelMove> BeatloomTimelineViewport::labelsClearOfLocatorFlag(const std::vector<PlacedRulerLabel>& labels,
                                                                          std::optional<double> locator) const {
    if (!locator || labels.empty()) return {};
    const auto win = window();
    const auto flag = locatorFlagPlacement(*locator, win.width);
    if (!flag) return {};
    const auto parts = locatorFlagBoxes(*flag);
    std::vector<LabelBox> boxes;
    boxes.reserve(labels.size());
    for (const auto& placed : labels) boxes.push_back(boxOf(placed.box));
    // Most frames the flag covers no label at all.
    const auto covered = [&](const LabelBox& box) { return parts[0].intersects(box) || parts[1].intersects(box); };
    if (std::none_of(boxes.begin(), boxes.end(), covered)) return {};
    std::vector<LabelBox> reserved;
    if (const auto tag = audioStartTagBox()) reserved.push_back(boxOf(*tag));
    return labelsClearOfFlag(boxes, reserved, {parts.begin(), parts.end()}, win.width, kLabelEdgeMargin,
                             kFlagLabelGap);
}

std::vector<BeatloomTimelineViewport::PlacedRulerLabel> BeatloomTimelineViewport::shownRulerLabels() const {
    auto labels = placedRulerLabels();
    const auto moves = labelsClearOfLocatorFlag(labels, locatorX(model_, window()));
    std::vector<bool> gone(labels.size(), false);
    for (const auto& move : moves) {
        auto& [label, box] = labels[move.index];
        if (!move.box) {
            gone[move.index] = true;
            continue;
        }
        box.moveLeft(move.box->left);
        label.centreX = box.center().x();
    }
    std::vector<PlacedRulerLabel> shown;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (!gone[i]) shown.push_back(std::move(labels[i]));
    }
    return shown;
}

QRect BeatloomTimelineViewport::labelPictureRect(const RulerLabel& label, const QRectF& box) const {
    const QImage& image = labelPicture(label).image;
    return QRectF(QPointF(std::round(box.left()), std::round(box.top())), image.deviceIndependentSize()).toAlignedRect();
}

QRect BeatloomTimelineViewport::movedLabelPixels(std::optional<double> locator) const {
    QRect pixels;
    for (const auto& move : labelsClearOfLocatorFlag(stillRulerLabels_, locator)) {
        const auto& [label, box] = stillRulerLabels_[move.index];
        pixels |= labelPictureRect(label, box);
        if (move.box) pixels |= labelPictureRect(label, box.translated(move.box->left - box.left(), 0));
    }
    return pixels;
}

void BeatloomTimelineViewport::paintRulerLabelsAroundFlag(QPainter& painter, std::optional<double> locator) const {
    painter.drawImage(QPointF(0, 0), abovePlayPositions_);
    // The still picture holds nothing but the label in a label's pixels (the other ruler texts
    // and the "AUDIO START" tag keep clear of it, the marker lane lies below): painting what
    // lies beneath it there again takes the label away, and it is laid again where it stands.
    const auto moves = labelsClearOfLocatorFlag(stillRulerLabels_, locator);
    for (const auto& move : moves) {
        const auto& [label, box] = stillRulerLabels_[move.index];
        painter.save();
        painter.setClipRect(labelPictureRect(label, box), Qt::IntersectClip);
        paintBeneathStillLabels(painter);
        painter.restore();
    }
    for (const auto& move : moves) {
        if (!move.box) continue;
        const auto& label = stillRulerLabels_[move.index].label;
        painter.drawImage(QPointF(std::round(move.box->left), std::round(move.box->top)), labelPicture(label).image);
    }
}

}  // namespace corvel::editor
