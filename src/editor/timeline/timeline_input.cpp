#include "editor/timeline/timeline_input.hpp"

#include <cmath>

#include "common/numeric.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

using BeatloomTimeline::GridKind;

namespace {

// Pixels in seconds at the window's zoom.
double pixelsToSeconds(double pixels, const BeatloomTimelineWindow& window) {
    return pixels * window.duration / maxIgnoringNaN(window.width, 1.0);
}

}  // namespace

double seekSnappedTarget(const session::BeatloomViewModel& model, const BeatloomEditorUIState& ui, double normalized,
                         const BeatloomTimelineWindow& window, bool optionHeld) {
    const auto& result = model.result.value();
    const double songDuration = result ? result->durationSeconds : 0.0;
    double t = clampOr(normalized, 0.0, 1.0, 0.0) * window.duration + window.start;
    t = minIgnoringNaN(maxIgnoringNaN(t, 0.0), songDuration);
    if (!ui.snapEnabled.value() || optionHeld) return t;
    const auto grid = model.nearestGridTime(ui.gridResolution.value(), t);
    if (grid && std::abs(*grid - t) <= pixelsToSeconds(kLaneSnapPixels, window)) return *grid;
    return t;
}

void seekSnapped(session::BeatloomViewModel& model, const BeatloomEditorUIState& ui, double normalized,
                 const BeatloomTimelineWindow& window, bool optionHeld) {
    model.seek(seekSnappedTarget(model, ui, normalized, window, optionHeld));
}

std::optional<BeatloomTimeline::GridLine> nearestGridLine(const std::vector<BeatloomTimeline::GridLine>& lines,
                                                          double x, const BeatloomTimelineWindow& window,
                                                          double tolerance) {
    const BeatloomTimeline::GridLine* best = nullptr;
    double bestDistance = 0;
    for (const auto& line : lines) {
        if (line.kind == GridKind::subdivision) continue;
        const double distance = std::abs(window.x(line.timeSeconds) - x);
        if (best == nullptr || distance < bestDistance) {
            best = &line;
            bestDistance = distance;
        }
    }
    if (best == nullptr || !(bestDistance <= tolerance)) return std::nullopt;
    return *best;
}

double fitLineTransientWindow(const BeatloomTimelineWindow& window) {
    return minIgnoringNaN(maxIgnoringNaN(pixelsToSeconds(24, window), 0.002), 0.08);
}

void BeatloomGridFitLane::dragFitLine(session::BeatloomViewModel& model, const BeatloomEditorUIState& ui,
                                      const std::vector<BeatloomTimeline::GridLine>& lines,
                                      const BeatloomTimelineWindow& window, double x, bool optionHeld) {
    x = clampOr(x, 0.0, maxIgnoringNaN(window.width, 0.0), 0.0);
    if (!activeFitLineQuarter_) {
        const auto picked = nearestGridLine(lines, x, window, kLaneSnapPixels);
        if (!picked) return;
        model.beginGridAnchorMove();
        activeFitLineQuarter_ = picked->quarterPosition;
    }
    const double quarter = *activeFitLineQuarter_;
    const BeatloomTimeline::GridLine* line = nullptr;
    for (const auto& candidate : lines) {
        if (line == nullptr ||
            std::abs(candidate.quarterPosition - quarter) < std::abs(line->quarterPosition - quarter)) {
            line = &candidate;
        }
    }
    // The dragged line has left the visible lines: hold the anchor where it is.
    if (line == nullptr || !(std::abs(line->quarterPosition - quarter) < 1e-6)) return;
    const bool snap = ui.transientSnapEnabled.value() && !optionHeld;
    model.moveGridAnchor(*line, snap, window.seconds(x), fitLineTransientWindow(window));
}

void BeatloomGridFitLane::endFitLineDrag(session::BeatloomViewModel& model) {
    activeFitLineQuarter_.reset();
    model.endTransaction(model.gridFitStatusText());
}

std::optional<LocatorFlagPlacement> locatorFlagPlacement(double locatorX, double width) {
    constexpr double kEdgeMargin = 22;
    constexpr double kCentreY = 11;  // the 19 px column's outline starts a pixel below the top
    if (!(locatorX >= 0 && locatorX <= width)) return std::nullopt;
    return LocatorFlagPlacement{
        minIgnoringNaN(maxIgnoringNaN(locatorX, kEdgeMargin), maxIgnoringNaN(width - kEdgeMargin, kEdgeMargin)), kCentreY};
}

std::array<LabelBox, 2> locatorFlagBoxes(const LocatorFlagPlacement& flag) {
    constexpr double kBadgeWidth = 30;
    constexpr double kBadgeHeight = 15;
    constexpr double kPointerWidth = 7;
    constexpr double kPointerHeight = 4;
    const double top = flag.centreY - (kBadgeHeight + kPointerHeight) / 2;
    const double badgeBottom = top + kBadgeHeight;
    return {LabelBox{flag.centreX - kBadgeWidth / 2, top, flag.centreX + kBadgeWidth / 2, badgeBottom},
            LabelBox{flag.centreX - kPointerWidth / 2, badgeBottom, flag.centreX + kPointerWidth / 2,
                     badgeBottom + kPointerHeight}};
}

}  // namespace corvel::editor
