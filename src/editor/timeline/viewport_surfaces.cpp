#include "editor/timeline/viewport_surfaces.hpp"

#include <cmath>

#include "common/numeric.hpp"

namespace corvel::editor {

bool BeatloomWaveformSeekSurface::mouseDownOrDragged(double x, double boundsWidth) const {
    if (!(boundsWidth > 0) || !onSeekNormalized) return false;
    onSeekNormalized(clampOr(x / boundsWidth, 0.0, 1.0, 0.0));
    return true;
}

bool BeatloomWaveformSeekSurface::scrollWheel(double deltaX, double deltaY, bool shiftHeld) const {
    double delta = deltaX;
    if (!(std::abs(deltaX) > std::abs(deltaY))) {
        if (!shiftHeld) return false;
        delta = deltaY;
    }
    if (!(std::abs(delta) > 0.01)) return false;
    if (onHorizontalScrollPixels) onHorizontalScrollPixels(-delta);
    return true;
}

double BeatloomRangeSelectionSurface::timeAt(double x) const {
    const double width = state.viewportPixelWidth;
    const double clampedX = clampOr(x, 0.0, maxIgnoringNaN(width, 0.0), 0.0);
    const double t = state.visibleStartSeconds + state.visibleDurationSeconds * clampedX / maxIgnoringNaN(width, 1.0);
    return minIgnoringNaN(maxIgnoringNaN(t, 0.0), sourceDurationSeconds);
}

std::optional<session::BeatloomPixelSpan> BeatloomRangeSelectionSurface::selectionBand() const {
    if (!selection) return std::nullopt;
    const double width = state.viewportPixelWidth;
    const auto x = [&](double seconds) {
        const double raw = maxIgnoringNaN(width, 1.0) * (seconds - state.visibleStartSeconds) /
                           maxIgnoringNaN(state.visibleDurationSeconds, 1e-6);
        return clampOr(raw, 0.0, maxIgnoringNaN(width, 0.0), 0.0);
    };
    const double x0 = x(selection->startSeconds);
    const double x1 = x(selection->endSeconds);
    if (!(x0 < x1)) return std::nullopt;
    return session::BeatloomPixelSpan{x0, x1};
}

bool BeatloomRangeSelectionSurface::takesHitAt(double x, double y) const {
    return isActive && x >= 0 && x <= state.viewportPixelWidth && y >= waveformTop && y <= waveformTop + waveformHeight;
}

void BeatloomRangeSelectionSurface::dragChanged(double startX, double currentX) {
    const double t = timeAt(currentX);
    if (!dragStartSeconds) dragStartSeconds = timeAt(startX);
    if (onSelectionChanged) onSelectionChanged(*dragStartSeconds, t);
}

}  // namespace corvel::editor
