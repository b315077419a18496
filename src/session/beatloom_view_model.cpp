#include "session/beatloom_view_model.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include "common/numeric.hpp"
#include "core/flexible_grid.hpp"
#include "core/flexible_timeline.hpp"
#include "core/meter_map.hpp"
#include "core/tempo_points.hpp"
#include "core/time_tolerances.hpp"
#include "core/timeline_segments.hpp"
#include "session/metered_position.hpp"

namespace corvel::session {

BeatloomMusicalPosition musicalPositionFrom(const BeatloomTimeline::PhaseAnchor& anchor, double quarter) {
    const auto rule = BeatloomTimeline::meterRule(anchor.meter);
    // Before the anchor (pickup bars) the count runs backwards through whole beats.
    return BeatloomTimeline::countedPosition({anchor.barNumber, 1, 0.0}, (quarter - anchor.quarter) / rule.beatLengthQuarters,
                                             rule.beatsPerBar);
}

BeatloomViewModel::BeatloomViewModel(platform::MainLoop& mainLoop) : mainLoop_(mainLoop), previewPlayer_(mainLoop) {}

BeatloomViewModel::BeatloomViewModel(platform::MainLoop& mainLoop, audio::PreviewOutputFactory outputFactory,
                                     FileOpener openFile)
    : mainLoop_(mainLoop), previewPlayer_(mainLoop, std::move(outputFactory), std::move(openFile)) {}

double BeatloomViewModel::durationSeconds() const {
    return result.value() ? result.value()->durationSeconds : 0.0;
}

std::optional<double> BeatloomViewModel::tempoAtLocator() const {
    if (!result.value()) return std::nullopt;
    const auto& points = editableTempoPoints.value();
    if (points.empty()) return result.value()->bpm;
    return bpmAt(points, locatorSeconds.value(), points.front().bpm);
}

double BeatloomViewModel::effectiveBarOneSeconds() const {
    if (barOneSeconds.value()) return *barOneSeconds.value();
    if (result.value() && !result.value()->beatPositionsSeconds.empty()) {
        return result.value()->beatPositionsSeconds.front();
    }
    return 0.0;
}

std::vector<std::string> BeatloomViewModel::tempoMapIssues() const {
    const double duration = durationSeconds();
    std::set<std::string> issues;
    for (auto& issue : corvel::tempoMapIssues(editableTempoPoints.value(), duration)) issues.insert(std::move(issue));
    for (auto& issue : meterMapIssues(meterEvents.value(), barAnchors.value(), duration)) {
        issues.insert(std::move(issue));
    }
    for (auto& issue : BeatloomFlexibleTimeline::validate(timelineRegions.value(), rhythmicAnchors.value(), duration)) {
        issues.insert(std::move(issue.message));
    }
    return {issues.begin(), issues.end()};
}

BeatloomMeterEvent BeatloomViewModel::meterEventAtLocator() const {
    const auto events = normalizedMeterEvents(meterEvents.value(), durationSeconds());
    const double locator = locatorSeconds.value();
    const double target = locator < 0 ? 0.0 : locator;
    const BeatloomMeterEvent* found = nullptr;
    for (const auto& event : events) {
        if (event.timeSeconds <= target + kSameTimeSeconds) found = &event;
    }
    return found ? *found : events.front();
}

std::optional<BeatloomMusicalPosition> BeatloomViewModel::musicalPositionAtLocator() const {
    if (!result.value()) return std::nullopt;
    const double duration = result.value()->durationSeconds;
    const double locator = locatorSeconds.value();
    const auto region = BeatloomFlexibleTimeline::regionContaining(timelineRegions.value(), locator);
    if (region && region->mode == BeatloomTimelineMode::free) return std::nullopt;
    // Inside a Rubato region the position is the one its elastic grid shows, as the anchors
    // there are labelled.
    const auto effective = BeatloomFlexibleTimeline::regionContaining(
        BeatloomFlexibleTimeline::normalizedRegions(timelineRegions.value(), duration), locator);
    if (effective && effective->mode == BeatloomTimelineMode::rubato) {
        return BeatloomFlexibleTimeline::rubatoPosition(*effective, rhythmicAnchors.value(), meterEvents.value(), locator);
    }

    const auto segments = BeatloomTimeline::segments(
        editableTempoPoints.value(), std::max(duration, std::max(locator, 0.0) + kGridHorizonMarginSeconds));
    if (segments.empty()) return std::nullopt;
    const auto anchors = BeatloomTimeline::phaseAnchors(meterEvents.value(), barAnchors.value(), phaseLocks.value(),
                                                        effectiveBarOneSeconds(), segments,
                                                        std::max(duration, locator + kGridHorizonMarginSeconds));
    const auto index = BeatloomTimeline::phaseAnchorIndex(anchors, locator);
    if (!index) return std::nullopt;
    return musicalPositionFrom(anchors[*index], BeatloomTimeline::quarterPosition(segments, locator));
}

void BeatloomViewModel::stopPreview(bool returnToStart) {
    const double duration = durationSeconds();
    double target = locatorSeconds.value();
    if (previewPlayer_.transportState().value() != audio::BeatloomPreviewTransportState::stopped) {
        target = clampOr(previewPlayer_.currentPlaybackSeconds().value(), 0.0, duration, 0.0);
    }
    if (returnToStart) target = playbackStartSeconds_.value_or(locatorSeconds.value());
    previewPlayer_.stop();
    locatorSeconds.set(std::fmin(std::fmax(target, 0.0), duration));
    playbackStartSeconds_.reset();
}

void BeatloomViewModel::refreshGridFitPreview() {
    gridFitAnchors.set(BeatloomGridFitter::preparedAnchors(gridFitAnchors.value()));
    gridFitResult.set(BeatloomGridFitter::fit(gridFitAnchors.value()));
}

}  // namespace corvel::session
