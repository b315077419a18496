// The visible time window of the timeline: its size from the zoom, bounded scrolling, paging
// along with the play head, and revealing the pickup bars before Bar 1.

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"
#include "core/timeline_segments.hpp"
#include "session/beatloom_view_model.hpp"
#include "session/pickup_grid.hpp"

namespace corvel::session {

namespace {

constexpr double kMinimumZoom = 1.0;
constexpr double kMaximumZoom = 2048.0;
constexpr double kZoomTolerance = 1e-6;
constexpr double kShortestWindowSeconds = 0.001;
constexpr double kMinimumPixelWidth = 1.0;
// Narrower width changes are layout jitter.
constexpr double kPixelWidthJitter = 0.5;
// The window may show this share of itself before the song and must keep this share of audio.
constexpr double kLeadInShare = 0.5;
constexpr double kTailShare = 0.1;
// The play head turns the page on reaching this share of the window and lands on that one.
constexpr double kPageTurnShare = 0.9;
constexpr double kPageLandingShare = 0.1;
constexpr double kShortestDivisor = 1e-6;
// The margin left beside a revealed bar start: a hundredth of the window, 0.02 to 0.25 s, but
// never more than a quarter of it.
constexpr double kRevealMarginShare = 0.01;
constexpr double kRevealMarginMinimum = 0.02;
constexpr double kRevealMarginMaximum = 0.25;
constexpr double kRevealMarginWindowShare = 0.25;

double windowSeconds(double duration, double zoom) { return std::max(duration, kShortestWindowSeconds) / zoom; }

// Half a window before the song at most, and at least a tenth of a window of audio.
double boundedStart(double start, double visibleDuration, double songDuration) {
    const double window = std::max(visibleDuration, kShortestWindowSeconds);
    const double lo = -kLeadInShare * window;
    const double hi = std::max(songDuration, 0.0) - kTailShare * window;
    return std::min(std::max(start, lo), std::max(lo, hi));
}

// The player's position while it plays, else the locator.
double playPositionSeconds(const BeatloomViewModel& model) {
    const auto& player = model.previewPlayer();
    if (player.transportState().value() == audio::BeatloomPreviewTransportState::playing) {
        return player.currentPlaybackSeconds().value();
    }
    return model.locatorSeconds.value();
}

// A window of that length centred on the play position; not bounded, like a zoom.
void showWindowAroundPlayPosition(BeatloomViewModel& model, double windowDuration) {
    model.viewportState.set(BeatloomViewportState{
        playPositionSeconds(model) - windowDuration / 2,
        windowDuration,
        std::max(model.viewportState.value().viewportPixelWidth, kMinimumPixelWidth),
    });
}

}  // namespace

void BeatloomViewModel::setViewportPixelWidth(double width) {
    // A width that is no finite number is no layout: the window keeps the one it has.
    if (!std::isfinite(width)) return;
    const double w = std::max(width, kMinimumPixelWidth);
    auto viewport = viewportState.value();
    if (!(std::abs(w - viewport.viewportPixelWidth) > kPixelWidthJitter)) return;
    viewport.viewportPixelWidth = w;
    viewportState.set(viewport);
}

void BeatloomViewModel::setZoom(double zoom) {
    // A zoom that is no number keeps the current one.
    const double z = clampOr(zoom, kMinimumZoom, kMaximumZoom, editorZoom.value());
    if (!result.value()) {
        editorZoom.set(z);
        return;
    }
    if (std::abs(z - editorZoom.value()) <= kZoomTolerance) return;
    editorZoom.set(z);
    showWindowAroundPlayPosition(*this, windowSeconds(result.value()->durationSeconds, z));
}

void BeatloomViewModel::resetZoom() {
    if (!result.value()) return;
    editorZoom.set(kMinimumZoom);
    viewportState.set(BeatloomViewportState{
        0.0,
        windowSeconds(result.value()->durationSeconds, kMinimumZoom),
        std::max(viewportState.value().viewportPixelWidth, kMinimumPixelWidth),
    });
}

void BeatloomViewModel::centerViewportOnPlayhead() {
    if (!result.value()) return;
    const double zoom = clampOr(editorZoom.value(), kMinimumZoom, kMaximumZoom, kMinimumZoom);
    showWindowAroundPlayPosition(*this, windowSeconds(result.value()->durationSeconds, zoom));
}

void BeatloomViewModel::scrollViewport(double pixels) {
    if (!result.value() || !std::isfinite(pixels)) return;
    auto viewport = viewportState.value();
    const double secondsPerPixel =
        viewport.visibleDurationSeconds / std::max(viewport.viewportPixelWidth, kMinimumPixelWidth);
    viewport.visibleStartSeconds = boundedStart(viewport.visibleStartSeconds + pixels * secondsPerPixel,
                                                viewport.visibleDurationSeconds, result.value()->durationSeconds);
    viewportState.set(viewport);
    disablePageFollowWhilePlaying();
}

void BeatloomViewModel::disablePageFollowWhilePlaying() {
    if (previewPlayer_.transportState().value() == audio::BeatloomPreviewTransportState::playing) {
        pageFollowEnabled.set(false);
    }
}

void BeatloomViewModel::followPlayhead(double seconds) {
    if (!pageFollowEnabled.value() || !result.value()) return;
    if (previewPlayer_.transportState().value() != audio::BeatloomPreviewTransportState::playing) return;
    auto viewport = viewportState.value();
    const double window = viewport.visibleDurationSeconds;
    const double ratio = (seconds - viewport.visibleStartSeconds) / std::max(window, kShortestDivisor);
    if (!(ratio >= kPageTurnShare)) return;
    viewport.visibleStartSeconds =
        boundedStart(seconds - kPageLandingShare * window, window, result.value()->durationSeconds);
    viewportState.set(viewport);
}

void BeatloomViewModel::revealBarsBeforeBarOne(std::int64_t bars) {
    if (!result.value() || bars < 1) return;
    const double duration = result.value()->durationSeconds;
    const double barOne = effectiveBarOneSeconds();
    double target = barOne;
    if (duration > 0) {
        const auto segments = BeatloomTimeline::segments(editableTempoPoints.value(), duration);
        if (!segments.empty()) {
            target = startOfBarsBeforeBarOne(segments, meterEvents.value(), duration, barOne, bars).value_or(barOne);
        }
    }
    if (!std::isfinite(target)) return;

    auto viewport = viewportState.value();
    const double window = viewport.visibleDurationSeconds;
    const double start = viewport.visibleStartSeconds;
    const double margin = std::max(
        std::min(std::clamp(kRevealMarginShare * window, kRevealMarginMinimum, kRevealMarginMaximum),
                 kRevealMarginWindowShare * window),
        0.0);
    double newStart = start;
    if (target < start + margin) {
        newStart = target - margin;
    } else if (target > start + window - margin) {
        newStart = target - window + margin;
    } else {
        return;
    }
    viewport.visibleStartSeconds = boundedStart(newStart, window, duration);
    viewportState.set(viewport);
}

}  // namespace corvel::session
