// Keeping the grid in place across tempo edits: tempo points that an edit leaves where they
// are get phase locks that pin the bar, beat and beat phase the grid showed there before.

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "common/ordering.hpp"
#include "core/flexible_timeline.hpp"
#include "core/grid_lines.hpp"
#include "core/time_tolerances.hpp"
#include "core/timeline_segments.hpp"
#include "session/beatloom_view_model.hpp"
#include "session/metered_position.hpp"

namespace corvel::session {

namespace {

using BeatloomTimeline::kLargestBeatFraction;

// A point that moved less than this counts as left in place.
constexpr double kUnmovedSeconds = 0.0005;
constexpr double kFractionTolerance = 1e-5;

bool insideFreeTime(double time, const std::vector<BeatloomTimelineRegion>& regions) {
    const auto region = BeatloomFlexibleTimeline::regionContaining(regions, time);
    return region && region->mode == BeatloomTimelineMode::free;
}

bool samePosition(const BeatloomMusicalPosition& a, const BeatloomMusicalPosition& b) {
    return a.bar == b.bar && a.beat == b.beat &&
           std::abs(std::min(a.fractionOfBeat, kLargestBeatFraction) - std::min(b.fractionOfBeat, kLargestBeatFraction)) <
               kFractionTolerance;
}

}  // namespace

std::vector<BeatloomPhaseLock> BeatloomViewModel::phaseLocksForTempoChange(
    const std::vector<BeatloomTempoPoint>& oldPoints, const std::vector<BeatloomTempoPoint>& newPoints) const {
    return phaseLocksKeepingGrid(oldPoints, newPoints, {});
}

std::vector<BeatloomPhaseLock> BeatloomViewModel::phaseLocksKeepingGrid(
    const std::vector<BeatloomTempoPoint>& oldPoints, const std::vector<BeatloomTempoPoint>& newPoints,
    const std::vector<Uuid>& pinnedPointIDs) const {
    if (!result.value()) return phaseLocks.value();
    const double duration = result.value()->durationSeconds;
    const double barOne = effectiveBarOneSeconds();

    std::unordered_map<Uuid, const BeatloomTempoPoint*> newByID;
    for (const auto& point : newPoints) newByID.emplace(point.id, &point);

    std::vector<BeatloomPhaseLock> carried;
    for (const auto& lock : phaseLocks.value()) {
        if (!lock.sourceTempoPointID) {
            carried.push_back(lock);
            continue;
        }
        const auto found = newByID.find(*lock.sourceTempoPointID);
        if (found == newByID.end()) continue;
        auto moved = lock;
        moved.timeSeconds = found->second->timeSeconds;
        carried.push_back(moved);
    }

    // The grid of a map with its locks, worked out once and then asked at many times; the new
    // map's is worked out again only after a lock was added to it.
    struct Grid {
        double horizon = 0;
        std::vector<BeatloomTimeline::Segment> segments;
        std::vector<BeatloomTimeline::PhaseAnchor> anchors;
    };
    const auto gridOf = [&](const std::vector<BeatloomTempoPoint>& points, const std::vector<BeatloomPhaseLock>& locks,
                            double horizon) {
        Grid grid{horizon, BeatloomTimeline::segments(points, horizon), {}};
        if (!grid.segments.empty()) {
            grid.anchors = BeatloomTimeline::phaseAnchors(meterEvents.value(), barAnchors.value(), locks, barOne,
                                                          grid.segments, horizon);
        }
        return grid;
    };
    const auto positionIn = [](const Grid& grid, double time) -> std::optional<BeatloomMusicalPosition> {
        if (grid.segments.empty()) return std::nullopt;
        const auto index = BeatloomTimeline::phaseAnchorIndex(grid.anchors, time);
        if (!index) return std::nullopt;
        return musicalPositionFrom(grid.anchors[*index], BeatloomTimeline::quarterPosition(grid.segments, time));
    };
    std::optional<Grid> oldGrid;
    std::optional<Grid> newGrid;
    const auto positionBefore = [&](double horizon, double time) {
        if (!oldGrid || oldGrid->horizon != horizon) oldGrid = gridOf(oldPoints, phaseLocks.value(), horizon);
        return positionIn(*oldGrid, time);
    };
    const auto positionAfter = [&](double horizon, double time) {
        if (!newGrid || newGrid->horizon != horizon) newGrid = gridOf(newPoints, carried, horizon);
        return positionIn(*newGrid, time);
    };
    const auto lockAdded = [&] { newGrid.reset(); };

    // Points the edit made keep what the old grid showed at their time, before the unmoved
    // points below see the new grid.
    for (const auto& id : pinnedPointIDs) {
        const auto found = newByID.find(id);
        if (found == newByID.end()) continue;
        const double time = found->second->timeSeconds;
        if (!(time > 0) || insideFreeTime(time, timelineRegions.value())) continue;
        const double horizon = std::max(duration, time + kGridHorizonMarginSeconds);
        const auto before = positionBefore(horizon, time);
        if (!before) continue;
        const auto after = positionAfter(horizon, time);
        if (after && samePosition(*before, *after)) continue;
        std::erase_if(carried, [&](const BeatloomPhaseLock& lock) { return lock.sourceTempoPointID == id; });
        carried.push_back(BeatloomPhaseLock{Uuid::random(), time, before->bar, before->beat,
                                            std::min(before->fractionOfBeat, kLargestBeatFraction), id});
        lockAdded();
    }

    // The song-start point never gets a lock.
    for (std::size_t i = 1; i < oldPoints.size(); ++i) {
        const auto& point = oldPoints[i];
        const auto found = newByID.find(point.id);
        if (found == newByID.end() || !(std::abs(found->second->timeSeconds - point.timeSeconds) < kUnmovedSeconds)) {
            continue;
        }
        const double time = point.timeSeconds;
        if (insideFreeTime(time, timelineRegions.value())) continue;
        const double horizon = std::max(duration, time + kGridHorizonMarginSeconds);
        const auto before = positionBefore(horizon, time);
        if (!before) continue;
        // Locks added for earlier points already shape the new grid seen here.
        const auto after = positionAfter(horizon, time);
        if (!after || samePosition(*before, *after)) continue;

        BeatloomPhaseLock lock{Uuid::random(), time, before->bar, before->beat,
                               std::min(before->fractionOfBeat, kLargestBeatFraction), point.id};
        const auto existing = std::find_if(carried.begin(), carried.end(), [&](const BeatloomPhaseLock& candidate) {
            return candidate.sourceTempoPointID == point.id;
        });
        if (existing != carried.end()) {
            *existing = lock;
        } else {
            carried.push_back(lock);
        }
        lockAdded();
    }

    stableInsertionSort(carried, [](const BeatloomPhaseLock& a, const BeatloomPhaseLock& b) {
        return a.timeSeconds < b.timeSeconds;
    });
    return carried;
}

std::optional<double> BeatloomViewModel::firstMovedGridLineAfter(
    double after, const std::vector<BeatloomTempoPoint>& newPoints,
    const std::vector<BeatloomPhaseLock>& newLocks) const {
    if (!result.value()) return std::nullopt;
    const double duration = result.value()->durationSeconds;
    const auto barsAndBeats = [&](const std::vector<BeatloomTempoPoint>& points,
                                  const std::vector<BeatloomPhaseLock>& locks) {
        auto lines = BeatloomTimeline::gridLines(points, meterEvents.value(), barAnchors.value(), locks,
                                                 effectiveBarOneSeconds(), pickupBarCount.value(), false,
                                                 timelineRegions.value(), rhythmicAnchors.value(),
                                                 BeatloomGridResolution::quarter, duration);
        std::erase_if(lines, [&](const BeatloomTimeline::GridLine& line) {
            return line.kind == BeatloomTimeline::GridKind::subdivision || !(line.timeSeconds > after + kSameTimeSeconds);
        });
        return lines;
    };
    const auto before = barsAndBeats(editableTempoPoints.value(), phaseLocks.value());
    const auto changed = barsAndBeats(newPoints, newLocks);
    const std::size_t common = std::min(before.size(), changed.size());
    for (std::size_t i = 0; i < common; ++i) {
        const auto& old = before[i];
        const auto& now = changed[i];
        if (std::abs(old.timeSeconds - now.timeSeconds) > kSameTimeSeconds || old.kind != now.kind ||
            old.barNumber != now.barNumber || old.beatNumber != now.beatNumber) {
            return std::min(old.timeSeconds, now.timeSeconds);
        }
    }
    if (before.size() > common) return before[common].timeSeconds;
    if (changed.size() > common) return changed[common].timeSeconds;
    return std::nullopt;
}

}  // namespace corvel::session
