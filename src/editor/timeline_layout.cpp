#include "editor/timeline_layout.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_set>

#include "common/numeric.hpp"
#include "core/grid_lines.hpp"
#include "core/transient_snap.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

namespace {

using BeatloomTimeline::GridKind;
using BeatloomTimeline::GridLine;

// Grid lines farther outside the lane than this are not stroked.
constexpr double kGridStrokeMargin = 2;
// The locator and the playhead stay drawn this far outside the lane, so that one standing at
// an edge keeps its full width.
constexpr double kPlayPositionMargin = 3;
// The lane that an anchor marks hides the plain grid line at the same quarter position.
constexpr double kAnchorQuarterTolerance = 1e-9;
// Transient ticks look this far around each beat and bar line.
constexpr double kTransientTickRadiusSeconds = 0.05;

double songDuration(const session::BeatloomViewModel& model) {
    const auto& result = model.result.value();
    return result ? result->durationSeconds : 0.0;
}

bool isEven(std::int64_t n) { return n % 2 == 0; }

}  // namespace

std::vector<GridLine> songGridLines(const session::BeatloomViewModel& model, BeatloomGridResolution resolution) {
    if (!model.result.value()) return {};
    return BeatloomTimeline::gridLines(model.editableTempoPoints.value(), model.meterEvents.value(),
                                       model.barAnchors.value(), model.phaseLocks.value(),
                                       model.effectiveBarOneSeconds(), model.pickupBarCount.value(), false,
                                       model.timelineRegions.value(), model.rhythmicAnchors.value(), resolution,
                                       songDuration(model));
}

std::vector<GridLine> visibleGridLines(const std::vector<GridLine>& songLines, const BeatloomTimelineWindow& window,
                                       bool showSubdivisions) {
    // The song's lines are in time order: find the window's first line by bisection, so that a
    // deep zoom into a long song does not walk the whole grid.
    const double from = window.widenedStart();
    const double to = window.widenedEnd();
    auto it = std::lower_bound(songLines.begin(), songLines.end(), from,
                               [](const GridLine& line, double t) { return line.timeSeconds < t; });
    std::vector<GridLine> visible;
    for (; it != songLines.end() && it->timeSeconds <= to; ++it) {
        if (it->kind == GridKind::subdivision && !showSubdivisions) continue;
        visible.push_back(*it);
    }
    return visible;
}

std::vector<GridStroke> gridStrokes(const std::vector<GridLine>& visibleLines, const BeatloomTimelineWindow& window,
                                    bool gridFitMode, const std::vector<BeatloomGridFitAnchor>& gridFitAnchors,
                                    const std::optional<BeatloomGridFitter::Fit>& fit) {
    const double w = window.width;
    const auto onLane = [w](double x) { return x > -kGridStrokeMargin && x < w + kGridStrokeMargin; };
    const auto markedByAnchor = [&](const GridLine& line) {
        if (!gridFitMode || line.kind == GridKind::subdivision) return false;
        return std::any_of(gridFitAnchors.begin(), gridFitAnchors.end(), [&](const BeatloomGridFitAnchor& anchor) {
            return std::fabs(anchor.quarterPosition - line.quarterPosition) <= kAnchorQuarterTolerance;
        });
    };

    std::vector<GridStroke> strokes;
    for (const auto& line : visibleLines) {
        if (markedByAnchor(line)) continue;
        const double x = window.x(line.timeSeconds);
        if (onLane(x)) strokes.push_back({x, line.kind, false});
    }
    if (gridFitMode && fit) {
        for (const auto& line : visibleLines) {
            const double x = window.x(fit->interceptSeconds + fit->secondsPerQuarter * line.quarterPosition);
            if (onLane(x)) strokes.push_back({x, line.kind, true});
        }
    }
    return strokes;
}

std::vector<session::BeatloomPixelSpan> barShadingSpans(const std::vector<GridLine>& visibleLines,
                                                        const BeatloomTimelineWindow& window) {
    std::vector<GridLine> bars;
    std::copy_if(visibleLines.begin(), visibleLines.end(), std::back_inserter(bars),
                 [](const GridLine& line) { return line.kind == GridKind::bar; });
    std::stable_sort(bars.begin(), bars.end(),
                     [](const GridLine& a, const GridLine& b) { return a.timeSeconds < b.timeSeconds; });

    std::vector<session::BeatloomPixelSpan> spans;
    for (std::size_t i = 0; i < bars.size(); ++i) {
        if (!bars[i].barNumber || !isEven(*bars[i].barNumber)) continue;
        const double x0 = window.x(bars[i].timeSeconds);
        const double end = i + 1 < bars.size() ? bars[i + 1].timeSeconds : window.start + window.duration;
        const double x1 = window.x(end);
        spans.push_back({x0, std::max(x1, x0)});
    }
    return spans;
}

std::vector<WaveformSegment> waveformSegments(const BeatloomWaveformData& waveform,
                                              const BeatloomTimelineWindow& window,
                                              const BeatloomTimelineGeometry& geometry) {
    const auto n = std::int64_t(std::min(waveform.minPeaks.size(), waveform.maxPeaks.size()));
    const double waveformDuration = waveform.durationSeconds;
    const auto range =
        session::BeatloomViewportState::visiblePeakRange(window.start, window.duration, waveformDuration, n);
    const double w = window.width;
    if (range.empty() || !(w > 0)) return {};

    const std::int64_t columns = std::max<std::int64_t>(saturatingInt64(w), 1);
    const double centre = geometry.waveformCentreY();
    const double scale = geometry.waveformAmplitudeScale();
    std::vector<WaveformSegment> segments;

    if (range.hi - range.lo < columns) {
        // Deep zoom: each bin its own stroke at the bin's centre.
        const double binSeconds = waveformDuration / double(std::max<std::int64_t>(n, 1));
        for (std::int64_t i = range.lo; i < range.hi; ++i) {
            const double x = window.x(binSeconds * (double(i) + 0.5));
            if (x < -1 || x > w + 1) continue;
            const double mn = waveform.minPeaks[std::size_t(i)];
            const double mx = waveform.maxPeaks[std::size_t(i)];
            // A damaged cache record may hold a non-finite peak; it has no place on screen.
            if (!std::isfinite(mn) || !std::isfinite(mx)) continue;
            segments.push_back({x, centre - scale * mx, centre - scale * mn});
        }
        return segments;
    }

    // One stroke per pixel column over the envelope of the bins it covers.
    const auto binAt = [&](double t) {
        const double clamped = clampOr(t, 0, waveformDuration, 0);
        return std::clamp<std::int64_t>(saturatingInt64(clamped / waveformDuration * double(n)), 0, n - 1);
    };
    const double divisor = maxIgnoringNaN(w, 1.0);
    segments.reserve(std::size_t(columns));
    for (std::int64_t c = 0; c < columns; ++c) {
        const double t0 = window.start + window.duration * double(c) / divisor;
        const double t1 = window.start + window.duration * double(c + 1) / divisor;
        const std::int64_t first = std::max(binAt(t0), range.lo);
        const std::int64_t last = std::min(std::max(binAt(t0), binAt(t1)), range.hi - 1);
        if (first > last) continue;
        double mn = INFINITY;
        double mx = -INFINITY;
        bool finite = true;
        for (std::int64_t i = first; i <= last; ++i) {
            const double lo = waveform.minPeaks[std::size_t(i)];
            const double hi = waveform.maxPeaks[std::size_t(i)];
            if (std::isnan(lo) || std::isnan(hi)) finite = false;
            mn = std::fmin(mn, lo);
            mx = std::fmax(mx, hi);
        }
        if (!finite || !std::isfinite(mn) || !std::isfinite(mx)) continue;
        segments.push_back({double(c) + 0.5, centre - scale * mx, centre - scale * mn});
    }
    return segments;
}

std::vector<double> transientTickXs(const std::vector<GridLine>& visibleLines, const BeatloomWaveformData& waveform,
                                    const BeatloomTimelineWindow& window) {
    std::unordered_set<std::int64_t> seenMilliseconds;
    std::vector<double> xs;
    for (const auto& line : visibleLines) {
        if (line.kind == GridKind::subdivision) continue;
        const auto snap = snappedTransient(waveform, line.timeSeconds, kTransientTickRadiusSeconds);
        if (!snap) continue;
        if (!seenMilliseconds.insert(roundedInt64(snap->time * 1000)).second) continue;
        const double x = window.x(snap->time);
        if (x >= 0 && x <= window.width) xs.push_back(x);
    }
    return xs;
}

std::vector<MarkerLine> markerLines(const session::BeatloomViewModel& model, const BeatloomTimelineWindow& window,
                                    bool gridFitMode) {
    std::vector<MarkerLine> lines;
    const auto add = [&](double seconds, MarkerLineKind kind) {
        if (window.inWidenedWindow(seconds)) lines.push_back({window.x(seconds), kind});
    };
    for (const auto& point : model.editableTempoPoints.value()) add(point.timeSeconds, MarkerLineKind::tempoPoint);
    const auto& meters = model.meterEvents.value();
    for (std::size_t i = 1; i < meters.size(); ++i) add(meters[i].timeSeconds, MarkerLineKind::meterEvent);
    if (const auto barOne = model.barOneSeconds.value()) add(*barOne, MarkerLineKind::songBarOne);
    for (const auto& anchor : model.barAnchors.value()) add(anchor.timeSeconds, MarkerLineKind::lockedDownbeat);
    if (gridFitMode) {
        for (const auto& anchor : model.gridFitAnchors.value()) add(anchor.timeSeconds, MarkerLineKind::gridFitAnchor);
    }
    return lines;
}

namespace {

std::optional<double> playPositionX(double seconds, const BeatloomTimelineWindow& window) {
    const double x = window.x(seconds);
    if (x >= -kPlayPositionMargin && x <= window.width + kPlayPositionMargin) return x;
    return std::nullopt;
}

}  // namespace

std::optional<double> locatorX(const session::BeatloomViewModel& model, const BeatloomTimelineWindow& window) {
    return playPositionX(model.locatorSeconds.value(), window);
}

std::optional<double> playheadX(const session::BeatloomViewModel& model, const BeatloomTimelineWindow& window) {
    const auto& player = model.previewPlayer();
    if (player.transportState().value() == audio::BeatloomPreviewTransportState::stopped) return std::nullopt;
    return playPositionX(player.currentPlaybackSeconds().value(), window);
}

BeatloomTimelineWindow timelineWindow(const session::BeatloomViewModel& model, double width) {
    const auto& state = model.viewportState.value();
    return {state.visibleStartSeconds, state.visibleDurationSeconds, BeatloomTimelineWindow::layoutWidth(width)};
}

TimelineCanvasPlan canvasPlan(const session::BeatloomViewModel& model, const BeatloomEditorUIState& ui,
                              const BeatloomTimelineGeometry& geometry, const BeatloomTimelineWindow& window,
                              const std::vector<GridLine>& visibleLines) {
    const bool gridFitMode = ui.gridFitMode.value();
    TimelineCanvasPlan plan;
    plan.geometry = geometry;
    plan.width = window.width;
    plan.audioSpan = session::BeatloomViewportState::visiblePixelRange(window.start, window.duration, window.width,
                                                                       songDuration(model));
    plan.barShading = barShadingSpans(visibleLines, window);
    plan.gridStrokes =
        gridStrokes(visibleLines, window, gridFitMode, model.gridFitAnchors.value(), model.gridFitResult.value());
    if (const auto& waveform = model.waveformData.value()) {
        plan.waveform = waveformSegments(*waveform, window, geometry);
        if (ui.showTransients.value() || gridFitMode) plan.transientTicks = transientTickXs(visibleLines, *waveform, window);
    }
    plan.markerLines = markerLines(model, window, gridFitMode);
    plan.locatorX = locatorX(model, window);
    plan.playheadX = playheadX(model, window);
    return plan;
}

}  // namespace corvel::editor
