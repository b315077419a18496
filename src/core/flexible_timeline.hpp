#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/uuid.hpp"
#include "core/tempo_map_records.hpp"

// Free Time and Rubato regions: the effective regions every consumer (grid, clicks, export,
// region actions) works from, the region at a time, the canonical orders of regions and
// rhythmic anchors, and the validation of regions and Rubato anchors.

namespace corvel::BeatloomFlexibleTimeline {

inline constexpr char kRegionsOverlapMessage[] = "Timeline regions overlap.";
inline constexpr char kRubatoTimesMustIncreaseMessage[] = "Rubato anchor times must increase.";
inline constexpr char kRubatoPositionsMustIncreaseMessage[] = "Rubato musical positions must increase.";

// One validation finding. Issues compare and hash by their message alone.
struct ValidationIssue {
    std::string message;
    friend bool operator==(const ValidationIssue&, const ValidationIssue&) = default;
};

// The effective regions for a song of the given duration (a negative or NaN duration counts
// as 0): only Free Time and Rubato regions with finite ends, clamped to the song and turned
// the right way round, longer than 0.0005 s, in region order, and with every region that
// starts inside the one before it trimmed to start at that region's end (dropped when no
// more than 0.0005 s is left). Ids, modes and lock flags are kept; only times change.
std::vector<BeatloomTimelineRegion> normalizedRegions(const std::vector<BeatloomTimelineRegion>& regions,
                                                      double durationSeconds);

// The findings that block an export, in this order: one "Timeline regions overlap." for each
// region (clamped and sorted, before trimming) that starts inside the one before it, then per
// effective Rubato region the anchor pairs whose times or quarter positions do not increase.
std::vector<ValidationIssue> validate(const std::vector<BeatloomTimelineRegion>& regions,
                                      const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                      double durationSeconds);

// Whether a region holds a time: start - 1e-6 <= time < end - 1e-6 (a time at the end belongs
// to what follows).
bool regionContains(const BeatloomTimelineRegion& region, double time);

// The first region of the list, in its own order, that holds the time (regionContains).
// The list is taken as it is (not normalised) and the mode is not looked at.
std::optional<BeatloomTimelineRegion> regionContaining(double time,
                                                       const std::vector<BeatloomTimelineRegion>& regions);
std::optional<BeatloomTimelineRegion> regionContaining(const std::vector<BeatloomTimelineRegion>& regions,
                                                       double time);

// Canonical orders, as strict "comes before" tests for corvel::stableInsertionSort.
// Region order: by start, starts within 1e-6 s of each other by end.
bool regionOrder(const BeatloomTimelineRegion& a, const BeatloomTimelineRegion& b);
// Anchor time order: by audio time.
bool anchorTimeOrder(const BeatloomRhythmicAnchor& a, const BeatloomRhythmicAnchor& b);
// Anchor position order: by quarter position, an unset one counting as 0.
bool anchorPositionOrder(const BeatloomRhythmicAnchor& a, const BeatloomRhythmicAnchor& b);
// Anchor list order: by region id (its upper-case text), within a region by audio time.
bool anchorListOrder(const BeatloomRhythmicAnchor& a, const BeatloomRhythmicAnchor& b);

// Filters for the region and anchor actions, each capturing one value.
// Deleting a region or an anchor by id spares a locked one.
inline auto keepUnlessUnlockedRegion(Uuid regionID) {
    return [regionID](const BeatloomTimelineRegion& region) { return region.id != regionID || region.isLocked; };
}
inline auto keepUnlessUnlockedAnchor(Uuid anchorID) {
    return [anchorID](const BeatloomRhythmicAnchor& anchor) { return anchor.id != anchorID || anchor.isLocked; };
}
inline auto anchorBelongsToRegion(Uuid regionID) {
    return [regionID](const BeatloomRhythmicAnchor& anchor) { return anchor.regionID == regionID; };
}
inline auto anchorSharesRegionWithPosition(const BeatloomRhythmicAnchor& other) {
    return [regionID = other.regionID](const BeatloomRhythmicAnchor& anchor) {
        return anchor.regionID == regionID && anchor.quarterPosition.has_value();
    };
}

}  // namespace corvel::BeatloomFlexibleTimeline

template <>
struct std::hash<corvel::BeatloomFlexibleTimeline::ValidationIssue> {
    std::size_t operator()(const corvel::BeatloomFlexibleTimeline::ValidationIssue& issue) const noexcept {
        return std::hash<std::string>{}(issue.message);
    }
};
