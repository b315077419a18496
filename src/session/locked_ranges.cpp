// Corrected sections locked against later Grid Fits: the span of the Grid Fit anchors becomes a
// locked range, isolated in the tempo map by tempo points at both ends.

#include <algorithm>
#include <utility>

#include "common/ordering.hpp"
#include "core/tempo_points.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::session {

namespace {

constexpr double kShortestRangeSeconds = 0.001;
constexpr double kMergeGapSeconds = 0.0005;
constexpr double kAnchorInRangeTolerance = 1e-6;

}  // namespace

std::vector<BeatloomLockedRange> BeatloomViewModel::normalizeLockedRanges(std::vector<BeatloomLockedRange> ranges) {
    std::erase_if(ranges, [](const BeatloomLockedRange& range) {
        return !(range.endSeconds - range.startSeconds > kShortestRangeSeconds);
    });
    stableInsertionSort(ranges, [](const BeatloomLockedRange& a, const BeatloomLockedRange& b) {
        return a.startSeconds < b.startSeconds;
    });
    std::vector<BeatloomLockedRange> merged;
    for (auto& range : ranges) {
        if (!merged.empty() && range.startSeconds <= merged.back().endSeconds + kMergeGapSeconds) {
            merged.back().endSeconds = std::max(merged.back().endSeconds, range.endSeconds);
        } else {
            merged.push_back(std::move(range));
        }
    }
    return merged;
}

void BeatloomViewModel::lockCorrectedSection() {
    const auto& anchors = gridFitAnchors.value();
    std::optional<double> earliest;
    std::optional<double> latest;
    for (const auto& anchor : anchors) {
        if (!earliest || anchor.timeSeconds < *earliest) earliest = anchor.timeSeconds;
        if (!latest || anchor.timeSeconds > *latest) latest = anchor.timeSeconds;
    }
    if (!result.value() || anchors.size() < 2 || !(*latest - *earliest > kShortestRangeSeconds)) {
        errorText.set("Set at least two Grid-Fit anchors before locking a corrected section.");
        return;
    }
    const double lo = *earliest;
    const double hi = *latest;
    const double duration = result.value()->durationSeconds;

    performEdit("Lock Corrected Section", "Corrected Grid-Fit section locked.", [&](BeatloomViewModel& model) {
        // Points with the tempo already in force there: the grid does not move, so no phase locks.
        auto points = model.editableTempoPoints.value();
        for (const double edge : {lo, hi}) {
            if (auto inserted = insertingTempoPoint(points, edge, duration)) points = std::move(*inserted);
        }
        model.editableTempoPoints.set(normalizedTempoPoints(std::move(points)));

        auto ranges = model.lockedRanges.value();
        ranges.push_back(BeatloomLockedRange{Uuid::random(), lo, hi});
        model.lockedRanges.set(normalizeLockedRanges(std::move(ranges)));

        auto locked = model.gridFitAnchors.value();
        for (auto& anchor : locked) {
            if (lo - kAnchorInRangeTolerance <= anchor.timeSeconds && anchor.timeSeconds <= hi + kAnchorInRangeTolerance) {
                anchor.isLocked = true;
            }
        }
        model.gridFitAnchors.set(std::move(locked));
        model.refreshGridFitPreview();
    });
}

void BeatloomViewModel::removeLockedRange(const Uuid& id) {
    auto ranges = lockedRanges.value();
    std::erase_if(ranges, [&](const BeatloomLockedRange& range) { return range.id == id; });
    lockedRanges.set(std::move(ranges));
}

}  // namespace corvel::session
