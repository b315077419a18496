#include "core/flexible_timeline.hpp"

#include <algorithm>
#include <cmath>

#include "common/ordering.hpp"
#include "core/time_tolerances.hpp"

namespace corvel::BeatloomFlexibleTimeline {
namespace {

constexpr double kMinimumRegionLength = 0.0005;
constexpr double kPositionTolerance = 1e-6;

// The regions that can take part, clamped to 0...duration, turned the right way round,
// long enough, and in region order; not yet trimmed against each other.
std::vector<BeatloomTimelineRegion> clampedSortedRegions(const std::vector<BeatloomTimelineRegion>& regions,
                                                         double durationSeconds) {
    // NaN duration: fmax picks 0.
    const double duration = std::fmax(durationSeconds, 0.0);
    std::vector<BeatloomTimelineRegion> kept;
    kept.reserve(regions.size());
    for (const auto& region : regions) {
        if (region.mode == BeatloomTimelineMode::metered) continue;
        if (!std::isfinite(region.startSeconds) || !std::isfinite(region.endSeconds)) continue;
        BeatloomTimelineRegion clamped = region;
        clamped.startSeconds = std::clamp(region.startSeconds, 0.0, duration);
        clamped.endSeconds = std::clamp(region.endSeconds, 0.0, duration);
        if (clamped.endSeconds < clamped.startSeconds) std::swap(clamped.startSeconds, clamped.endSeconds);
        if (clamped.endSeconds - clamped.startSeconds > kMinimumRegionLength) kept.push_back(clamped);
    }
    stableInsertionSort(kept, regionOrder);
    return kept;
}

}  // namespace

bool regionOrder(const BeatloomTimelineRegion& a, const BeatloomTimelineRegion& b) {
    if (std::abs(a.startSeconds - b.startSeconds) > kSameTimeSeconds) return a.startSeconds < b.startSeconds;
    return a.endSeconds < b.endSeconds;
}

bool anchorTimeOrder(const BeatloomRhythmicAnchor& a, const BeatloomRhythmicAnchor& b) {
    return a.audioTimeSeconds < b.audioTimeSeconds;
}

bool anchorPositionOrder(const BeatloomRhythmicAnchor& a, const BeatloomRhythmicAnchor& b) {
    return a.quarterPosition.value_or(0.0) < b.quarterPosition.value_or(0.0);
}

bool anchorListOrder(const BeatloomRhythmicAnchor& a, const BeatloomRhythmicAnchor& b) {
    if (a.regionID == b.regionID) return a.audioTimeSeconds < b.audioTimeSeconds;
    // The byte order of UUIDs is the order of their upper-case text forms.
    return a.regionID < b.regionID;
}

std::vector<BeatloomTimelineRegion> normalizedRegions(const std::vector<BeatloomTimelineRegion>& regions,
                                                      double durationSeconds) {
    std::vector<BeatloomTimelineRegion> result;
    for (auto& region : clampedSortedRegions(regions, durationSeconds)) {
        if (result.empty()) {
            result.push_back(region);
            continue;
        }
        // Appended regions only ever end later, so the last one holds the furthest end.
        const double previousEnd = result.back().endSeconds;
        if (region.startSeconds < previousEnd - kSameTimeSeconds) {
            // It starts inside the region before it: it loses its head, or goes when that
            // leaves too little of it.
            region.startSeconds = previousEnd;
            if (region.endSeconds - previousEnd > kMinimumRegionLength) result.push_back(region);
        } else {
            result.push_back(region);
        }
    }
    return result;
}

std::vector<ValidationIssue> validate(const std::vector<BeatloomTimelineRegion>& regions,
                                      const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                      double durationSeconds) {
    std::vector<ValidationIssue> issues;

    // Overlaps are looked for before trimming, which would hide them: a region overlaps when it
    // starts inside the one before it in region order.
    const auto untrimmed = clampedSortedRegions(regions, durationSeconds);
    for (std::size_t i = 1; i < untrimmed.size(); ++i) {
        if (untrimmed[i].startSeconds < untrimmed[i - 1].endSeconds - kSameTimeSeconds) {
            issues.push_back(ValidationIssue{kRegionsOverlapMessage});
        }
    }

    for (const auto& region : normalizedRegions(regions, durationSeconds)) {
        if (region.mode != BeatloomTimelineMode::rubato) continue;
        std::vector<BeatloomRhythmicAnchor> anchors;
        const auto belongs = anchorBelongsToRegion(region.id);
        for (const auto& anchor : rhythmicAnchors) {
            if (belongs(anchor)) anchors.push_back(anchor);
        }
        stableInsertionSort(anchors, anchorTimeOrder);
        std::erase_if(anchors, [](const BeatloomRhythmicAnchor& anchor) { return !anchor.quarterPosition; });
        for (std::size_t i = 1; i < anchors.size(); ++i) {
            const auto& previous = anchors[i - 1];
            const auto& current = anchors[i];
            // Written as "not after" so that NaN times and positions are reported too.
            if (!(current.audioTimeSeconds > previous.audioTimeSeconds + kSameTimeSeconds)) {
                issues.push_back(ValidationIssue{kRubatoTimesMustIncreaseMessage});
            }
            if (!(*current.quarterPosition > *previous.quarterPosition + kPositionTolerance)) {
                issues.push_back(ValidationIssue{kRubatoPositionsMustIncreaseMessage});
            }
        }
    }
    return issues;
}

bool regionContains(const BeatloomTimelineRegion& region, double time) {
    return region.startSeconds - kSameTimeSeconds <= time && time < region.endSeconds - kSameTimeSeconds;
}

std::optional<BeatloomTimelineRegion> regionContaining(double time,
                                                       const std::vector<BeatloomTimelineRegion>& regions) {
    for (const auto& region : regions) {
        if (regionContains(region, time)) return region;
    }
    return std::nullopt;
}

std::optional<BeatloomTimelineRegion> regionContaining(const std::vector<BeatloomTimelineRegion>& regions,
                                                       double time) {
    return regionContaining(time, regions);
}

}  // namespace corvel::BeatloomFlexibleTimeline
