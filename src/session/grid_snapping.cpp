// Snapping: the grid line nearest to a time, for drags and click-to-seek.

#include <cmath>
#include <cstddef>
#include <limits>

#include "core/flexible_grid.hpp"
#include "core/flexible_timeline.hpp"
#include "core/grid_lines.hpp"
#include "core/meter_map.hpp"
#include "core/timeline_segments.hpp"
#include "session/beatloom_view_model.hpp"
#include "session/pickup_grid.hpp"

namespace corvel::session {

namespace {

// A time this little before the first grid line still snaps to it.
constexpr double kBeforeGridTolerance = 1e-5;

bool insideAnyRegion(double time, const std::vector<BeatloomTimelineRegion>& regions) {
    for (const auto& region : regions) {
        if (BeatloomFlexibleTimeline::regionContains(region, time)) return true;
    }
    return false;
}

}  // namespace

std::optional<double> BeatloomViewModel::nearestGridTime(BeatloomGridResolution resolution, double seconds) const {
    if (!result.value() || !std::isfinite(seconds)) return std::nullopt;
    const double duration = result.value()->durationSeconds;
    if (!(duration > 0)) return std::nullopt;
    const double barOne = effectiveBarOneSeconds();
    const std::int64_t pickups = pickupBarCount.value();
    const auto& points = editableTempoPoints.value();

    if (timelineRegions.value().empty()) {
        const auto segments = BeatloomTimeline::segments(points, duration);
        if (segments.empty()) return std::nullopt;
        const auto anchors = BeatloomTimeline::phaseAnchors(meterEvents.value(), barAnchors.value(),
                                                            phaseLocks.value(), barOne, segments, duration);
        // Pickup bars reach back from Bar 1 in Bar 1's meter.
        double earliest = barOne;
        if (pickups > 0) {
            earliest = startOfBarsBeforeBarOne(segments, meterEvents.value(), duration, barOne, pickups).value_or(barOne);
        }
        if (seconds < earliest - kBeforeGridTolerance) return std::nullopt;

        const auto index = BeatloomTimeline::phaseAnchorIndex(anchors, seconds);
        if (!index) return std::nullopt;
        const auto& anchor = anchors[*index];
        const double step = BeatloomTimeline::gridStepQuarters(resolution);
        const double quarter = BeatloomTimeline::quarterPosition(segments, std::fmin(seconds, duration));
        const double target = anchor.quarter + step * std::round((quarter - anchor.quarter) / step);
        auto snapped = BeatloomTimeline::seconds(segments, target);
        if (!snapped) return std::nullopt;
        // Counting restarts at the next anchor; no line lies beyond it.
        if (*index + 1 < anchors.size() && anchors[*index + 1].timeSeconds < *snapped) {
            snapped = anchors[*index + 1].timeSeconds;
        }
        return std::fmin(std::fmax(*snapped, earliest), duration);
    }

    auto lines = BeatloomTimeline::gridLines(points, meterEvents.value(), barAnchors.value(), phaseLocks.value(),
                                             barOne, pickups, false, {}, {}, resolution, duration);
    const auto containing = BeatloomFlexibleTimeline::regionContaining(timelineRegions.value(), seconds);
    if (containing && containing->mode == BeatloomTimelineMode::free) return std::nullopt;

    const auto regions = BeatloomFlexibleTimeline::normalizedRegions(timelineRegions.value(), duration);
    if (!regions.empty()) {
        std::vector<BeatloomTimeline::GridLine> combined;
        for (const auto& line : lines) {
            if (!insideAnyRegion(line.timeSeconds, regions)) combined.push_back(line);
        }
        for (const auto& region : regions) {
            if (region.mode != BeatloomTimelineMode::rubato) continue;
            for (const auto& line : BeatloomFlexibleTimeline::rubatoGridLines(region, rhythmicAnchors.value(),
                                                                              meterEvents.value(), resolution)) {
                combined.push_back(line);
            }
        }
        lines = BeatloomTimeline::mergedGridLines(std::move(combined));
    }

    std::optional<double> nearest;
    double nearestDistance = std::numeric_limits<double>::infinity();
    for (const auto& line : lines) {
        const double distance = std::abs(line.timeSeconds - seconds);
        if (!nearest || distance < nearestDistance) {
            nearest = line.timeSeconds;
            nearestDistance = distance;
        }
    }
    return nearest;
}

}  // namespace corvel::session
