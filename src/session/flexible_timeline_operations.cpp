// Free Time and Rubato: regions where the song leaves its regular metered grid, started,
// converted and deleted at the locator, and the rhythmic anchors set inside them.

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>
#include <utility>

#include "common/numeric.hpp"
#include "common/ordering.hpp"
#include "core/flexible_timeline.hpp"
#include "core/meter_map.hpp"
#include "core/time_tolerances.hpp"
#include "core/timeline_segments.hpp"
#include "core/transient_snap.hpp"
#include "session/metered_position.hpp"

namespace corvel::session {

namespace {

// No region starts in the last half millisecond of the song.
constexpr double kLastStartMarginSeconds = 0.0005;
// Start Rubato looks for its region just after the locator, where the region surely begins.
constexpr double kRegionLookupOffset = 1e-5;
// An anchor this close to the locator already marks it.
constexpr double kSameAnchorSeconds = 0.001;
// A dragged positioned anchor keeps this distance from its neighbours.
constexpr double kAnchorSpacingSeconds = 0.001;
constexpr double kTransientSearchSeconds = 0.06;

constexpr std::string_view kNoRegionMessage = "Start Free Time or Rubato first.";
constexpr std::string_view kNoRoomForAnchorMessage =
    "No rhythmic anchor fits here: the next anchor of the region follows too closely.";

const BeatloomTimelineRegion* regionWithID(const std::vector<BeatloomTimelineRegion>& regions, const Uuid& id) {
    const auto it = std::find_if(regions.begin(), regions.end(),
                                 [&](const BeatloomTimelineRegion& region) { return region.id == id; });
    return it == regions.end() ? nullptr : &*it;
}

BeatloomRhythmicAnchorKind kindOf(const std::optional<BeatloomMusicalPosition>& position) {
    return position && position->beat == 1 ? BeatloomRhythmicAnchorKind::downbeat : BeatloomRhythmicAnchorKind::beat;
}

BeatloomRhythmicAnchor newAnchor(const Uuid& regionID, double seconds, std::optional<double> quarter,
                                 std::optional<BeatloomMusicalPosition> position, BeatloomRhythmicAnchorKind kind) {
    return BeatloomRhythmicAnchor{Uuid::random(), regionID, seconds, quarter, position, kind,
                                  BeatloomRhythmicAnchorSource::manual, 1.0, false};
}

// The time of the strongest transient near a time, or the time itself.
double snappedToTransient(const std::optional<BeatloomWaveformData>& waveform, double seconds) {
    if (!waveform) return seconds;
    const auto snap = snappedTransient(*waveform, seconds, kTransientSearchSeconds);
    return snap ? snap->time : seconds;
}

// A time this little past a beat line, in beats, is on it.
constexpr double kOnTheBeat = 0.001;

// The first anchor of a Rubato region is a performed beat: the metered beat at its time, or,
// when the time lies past that beat's line, the next beat. The line of the beat it has passed
// stays on the metered grid before the region, so the region's bars count on from there
// without showing a beat twice. Its quarter position stays the metered one of its time.
MeteredPosition firstRubatoBeat(MeteredPosition metered, const BeatloomViewModel& model, double seconds,
                                double duration) {
    auto& position = metered.musicalPosition;
    if (!position) return metered;
    if (position->fractionOfBeat > kOnTheBeat) {
        const auto rule = BeatloomTimeline::meterRule(BeatloomTimeline::meterInForceAmongNormalized(
            normalizedMeterEvents(model.meterEvents.value(), duration), seconds));
        position = position->beat >= rule.beatsPerBar ? BeatloomMusicalPosition{position->bar + 1, 1, 0.0}
                                                      : BeatloomMusicalPosition{position->bar, position->beat + 1, 0.0};
    }
    position->fractionOfBeat = 0;
    return metered;
}

// Rubato started again later inside a region hands the part before the new start back to the
// metered grid: the anchors there go with it instead of piling up, positioned, on the new start.
std::vector<BeatloomRhythmicAnchor> withoutAnchorsBeforeTheirRegion(std::vector<BeatloomRhythmicAnchor> anchors,
                                                                    const std::vector<BeatloomTimelineRegion>& regions) {
    std::erase_if(anchors, [&](const BeatloomRhythmicAnchor& anchor) {
        const auto* region = regionWithID(regions, anchor.regionID);
        return region && anchor.audioTimeSeconds < region->startSeconds - kSameTimeSeconds;
    });
    return anchors;
}

}  // namespace

std::vector<BeatloomRhythmicAnchor> BeatloomViewModel::normalizedRhythmicAnchors(
    std::vector<BeatloomRhythmicAnchor> anchors, const std::vector<BeatloomTimelineRegion>& regions) {
    std::erase_if(anchors, [&](const BeatloomRhythmicAnchor& anchor) {
        return !regionWithID(regions, anchor.regionID) || !std::isfinite(anchor.audioTimeSeconds);
    });
    stableInsertionSort(anchors, BeatloomFlexibleTimeline::anchorListOrder);
    for (auto& anchor : anchors) {
        const auto* region = regionWithID(regions, anchor.regionID);
        anchor.audioTimeSeconds = std::fmin(std::fmax(anchor.audioTimeSeconds, region->startSeconds), region->endSeconds);
        anchor.confidence = clampOr(anchor.confidence, 0.0, 1.0, 0.0);
    }
    return anchors;
}

std::vector<BeatloomTimelineRegion> BeatloomViewModel::startRegion(BeatloomTimelineMode mode,
                                                                   const std::vector<BeatloomTimelineRegion>& regions,
                                                                   double seconds, double duration) {
    const double time = std::fmin(std::fmax(duration, 0.0), std::fmax(seconds, 0.0));
    auto list = BeatloomFlexibleTimeline::normalizedRegions(regions, duration);
    if (mode == BeatloomTimelineMode::metered) return list;
    if (!(time < duration - kLastStartMarginSeconds)) return list;

    const auto containing = std::find_if(list.begin(), list.end(), [&](const BeatloomTimelineRegion& region) {
        return BeatloomFlexibleTimeline::regionContains(region, time);
    });
    if (containing != list.end()) {
        // The part before the time returns to the metered grid.
        containing->mode = mode;
        containing->startSeconds = time;
    } else {
        double end = duration;
        const auto next = std::find_if(list.begin(), list.end(),
                                       [&](const BeatloomTimelineRegion& region) { return region.startSeconds > time; });
        if (next != list.end()) end = next->startSeconds;
        list.push_back(BeatloomTimelineRegion{Uuid::random(), std::fmin(time, end), std::fmax(time, end), mode, false});
    }
    return BeatloomFlexibleTimeline::normalizedRegions(list, duration);
}

std::vector<BeatloomRhythmicAnchor> BeatloomViewModel::replaceRhythmicAnchor(
    const BeatloomRhythmicAnchor& anchor, const std::vector<BeatloomRhythmicAnchor>& anchors,
    const std::vector<BeatloomTimelineRegion>& regions) {
    auto list = anchors;
    for (auto& stored : list) {
        if (stored.id == anchor.id && !stored.isLocked) stored = anchor;
    }
    return normalizedRhythmicAnchors(std::move(list), regions);
}

BeatloomTimelineMode BeatloomViewModel::regionAtLocator() const {
    const auto region = BeatloomFlexibleTimeline::regionContaining(timelineRegions.value(), locatorSeconds.value());
    return region ? region->mode : BeatloomTimelineMode::metered;
}

void BeatloomViewModel::startFreeTimeAtLocator() {
    if (!result.value()) return;
    const double duration = result.value()->durationSeconds;
    const double locator = locatorSeconds.value();
    performEdit("Start Free Time",
                "Free Time starts at the locator. The continuous beat grid is suspended until Rejoin Grid.",
                [&](BeatloomViewModel& model) {
                    model.timelineRegions.set(
                        startRegion(BeatloomTimelineMode::free, model.timelineRegions.value(), locator, duration));
                    model.rhythmicAnchors.set(
                        normalizedRhythmicAnchors(model.rhythmicAnchors.value(), model.timelineRegions.value()));
                });
}

void BeatloomViewModel::startRubatoAtLocator() {
    if (!result.value()) return;
    const double duration = result.value()->durationSeconds;
    const double locator = locatorSeconds.value();
    const auto metered = firstRubatoBeat(meteredPositionAt(*this, locator, duration), *this, locator, duration);
    auto regions = startRegion(BeatloomTimelineMode::rubato, timelineRegions.value(), locator, duration);
    auto anchors = withoutAnchorsBeforeTheirRegion(rhythmicAnchors.value(), regions);
    const auto region = BeatloomFlexibleTimeline::regionContaining(regions, locator + kRegionLookupOffset);
    if (region) {
        const auto ofRegion = [&](const BeatloomRhythmicAnchor& anchor) { return anchor.regionID == region->id; };
        const bool marked = std::any_of(anchors.begin(), anchors.end(), [&](const auto& anchor) {
            return ofRegion(anchor) && std::abs(anchor.audioTimeSeconds - locator) < kSameAnchorSeconds;
        });
        if (!marked) {
            // A region started inside one that goes on keeps that one's later anchors: the first
            // anchor must come before them in the music too.
            const bool blocked = metered.quarterPosition &&
                                 std::any_of(anchors.begin(), anchors.end(), [&](const auto& anchor) {
                                     return ofRegion(anchor) && anchor.quarterPosition &&
                                            !(*anchor.quarterPosition > *metered.quarterPosition + kSameTimeSeconds);
                                 });
            if (blocked) {
                errorText.set(std::string(kNoRoomForAnchorMessage));
                return;
            }
            anchors.push_back(newAnchor(region->id, locator, metered.quarterPosition, metered.musicalPosition,
                                        kindOf(metered.musicalPosition)));
        }
    }
    performEdit("Start Rubato", "Rubato starts at the locator. Add rhythmic anchors on performed beats.",
                [&](BeatloomViewModel& model) {
                    model.timelineRegions.set(std::move(regions));
                    model.rhythmicAnchors.set(normalizedRhythmicAnchors(std::move(anchors), model.timelineRegions.value()));
                });
}

void BeatloomViewModel::addRhythmicAnchorAtLocator() {
    const double locator = locatorSeconds.value();
    const auto region =
        result.value() ? BeatloomFlexibleTimeline::regionContaining(timelineRegions.value(), locator) : std::nullopt;
    if (!region) {
        errorText.set(std::string(kNoRegionMessage));
        return;
    }
    const double duration = result.value()->durationSeconds;
    const double time = snappedToTransient(waveformData.value(), locator);
    const auto append = [&](BeatloomRhythmicAnchor anchor) {
        return [anchor = std::move(anchor)](BeatloomViewModel& model) {
            auto anchors = model.rhythmicAnchors.value();
            anchors.push_back(anchor);
            model.rhythmicAnchors.set(normalizedRhythmicAnchors(std::move(anchors), model.timelineRegions.value()));
        };
    };

    if (region->mode == BeatloomTimelineMode::metered) return;
    if (region->mode == BeatloomTimelineMode::free) {
        performEdit("Add Free Anchor", "Reference anchor added in Free Time.",
                    append(newAnchor(region->id, time, std::nullopt, std::nullopt,
                                     BeatloomRhythmicAnchorKind::freeReference)));
        return;
    }

    const auto rule = BeatloomTimeline::meterRule(
        BeatloomTimeline::meterInForceAmongNormalized(normalizedMeterEvents(meterEvents.value(), duration), time));
    std::vector<BeatloomRhythmicAnchor> positioned;
    for (const auto& anchor : rhythmicAnchors.value()) {
        if (anchor.regionID == region->id && anchor.quarterPosition) positioned.push_back(anchor);
    }
    stableInsertionSort(positioned, BeatloomFlexibleTimeline::anchorTimeOrder);

    // The anchors placed before the locator and the first one at or after it.
    const BeatloomRhythmicAnchor* before = nullptr;
    const BeatloomRhythmicAnchor* after = nullptr;
    for (const auto& anchor : positioned) {
        if (anchor.audioTimeSeconds < time - kSameTimeSeconds) {
            before = &anchor;
        } else if (!after) {
            after = &anchor;
        }
    }

    std::optional<double> quarter;
    std::optional<BeatloomMusicalPosition> position;
    if (before) {
        // The next performed beat after the anchor placed before it.
        const auto& previous = *before;
        quarter = *previous.quarterPosition + rule.beatLengthQuarters;
        if (const auto& last = previous.musicalPosition) {
            position = last->beat >= rule.beatsPerBar ? BeatloomMusicalPosition{last->bar + 1, 1, 0.0}
                                                      : BeatloomMusicalPosition{last->bar, last->beat + 1, 0.0};
        }
    } else {
        const auto metered = firstRubatoBeat(meteredPositionAt(*this, time, duration), *this, time, duration);
        quarter = metered.quarterPosition;
        position = metered.musicalPosition;
    }
    // The region's anchors follow each other in time and in the music: a beat that would not
    // come before the next anchor in both has no room here.
    if (after && (!(after->audioTimeSeconds > time + kSameTimeSeconds) ||
                  (quarter && !(*after->quarterPosition > *quarter + kSameTimeSeconds)))) {
        errorText.set(std::string(kNoRoomForAnchorMessage));
        return;
    }
    performEdit("Add Rhythmic Anchor",
                "Rhythmic anchor added. Move the locator to the next performed beat and press A again.",
                append(newAnchor(region->id, time, quarter, position, kindOf(position))));
}

void BeatloomViewModel::moveRhythmicAnchor(const Uuid& id, bool snap, double seconds) {
    if (!std::isfinite(seconds)) return;
    const auto& anchors = rhythmicAnchors.value();
    const auto stored = std::find_if(anchors.begin(), anchors.end(),
                                     [&](const BeatloomRhythmicAnchor& anchor) { return anchor.id == id; });
    if (stored == anchors.end() || stored->isLocked) return;
    const auto* region = regionWithID(timelineRegions.value(), stored->regionID);
    if (!region) return;

    const auto intoRegion = [&](double time) {
        return std::fmin(std::fmax(time, region->startSeconds), region->endSeconds);
    };
    double time = intoRegion(seconds);
    if (snap) time = intoRegion(snappedToTransient(waveformData.value(), time));

    if (stored->quarterPosition) {
        // A positioned anchor keeps its place in the musical order of its region.
        std::vector<BeatloomRhythmicAnchor> positioned;
        for (const auto& anchor : anchors) {
            if (anchor.regionID == region->id && anchor.quarterPosition) positioned.push_back(anchor);
        }
        stableInsertionSort(positioned, BeatloomFlexibleTimeline::anchorPositionOrder);
        const auto at = std::find_if(positioned.begin(), positioned.end(),
                                     [&](const BeatloomRhythmicAnchor& anchor) { return anchor.id == id; });
        double lower = region->startSeconds;
        double upper = region->endSeconds;
        if (at != positioned.begin()) lower = std::prev(at)->audioTimeSeconds + kAnchorSpacingSeconds;
        if (std::next(at) != positioned.end()) upper = std::next(at)->audioTimeSeconds - kAnchorSpacingSeconds;
        time = lower <= upper ? std::fmin(std::fmax(time, lower), upper) : stored->audioTimeSeconds;
    }

    auto moved = *stored;
    moved.audioTimeSeconds = time;
    rhythmicAnchors.set(replaceRhythmicAnchor(moved, rhythmicAnchors.value(), timelineRegions.value()));
}

void BeatloomViewModel::removeRhythmicAnchor(const Uuid& id) {
    auto anchors = rhythmicAnchors.value();
    std::erase_if(anchors, [keep = BeatloomFlexibleTimeline::keepUnlessUnlockedAnchor(id)](const auto& anchor) {
        return !keep(anchor);
    });
    rhythmicAnchors.set(normalizedRhythmicAnchors(std::move(anchors), timelineRegions.value()));
}

void BeatloomViewModel::convertRegion(BeatloomTimelineMode target) {
    if (target == BeatloomTimelineMode::metered || !result.value()) return;
    const auto found = BeatloomFlexibleTimeline::regionContaining(timelineRegions.value(), locatorSeconds.value());
    if (!found) return;
    const double duration = result.value()->durationSeconds;
    const bool toFree = target == BeatloomTimelineMode::free;
    const Uuid regionID = found->id;
    performEdit(toFree ? "Convert to Free Time" : "Convert to Rubato",
                toFree ? "Region converted to Free Time." : "Region converted to Rubato.",
                [&](BeatloomViewModel& model) {
                    auto regions = BeatloomFlexibleTimeline::normalizedRegions(model.timelineRegions.value(), duration);
                    const auto region = std::find_if(regions.begin(), regions.end(),
                                                     [&](const auto& candidate) { return candidate.id == regionID; });
                    if (region != regions.end() && !region->isLocked) {
                        region->mode = target;
                        regions = BeatloomFlexibleTimeline::normalizedRegions(regions, duration);
                    }
                    model.timelineRegions.set(std::move(regions));

                    auto anchors = model.rhythmicAnchors.value();
                    if (toFree) {
                        // Free Time has no musical positions, whatever the region's lock.
                        for (auto& anchor : anchors) {
                            if (anchor.regionID != regionID) continue;
                            anchor.quarterPosition.reset();
                            anchor.musicalPosition.reset();
                            anchor.kind = BeatloomRhythmicAnchorKind::freeReference;
                        }
                    }
                    model.rhythmicAnchors.set(normalizedRhythmicAnchors(std::move(anchors), model.timelineRegions.value()));
                });
}

void BeatloomViewModel::deleteRegionAtLocator() {
    if (!result.value()) return;
    const auto found = BeatloomFlexibleTimeline::regionContaining(timelineRegions.value(), locatorSeconds.value());
    if (!found) return;
    const double duration = result.value()->durationSeconds;
    const Uuid regionID = found->id;
    performEdit("Delete Timeline Region", "Free/Rubato region removed; regular metered grid restored.",
                [&](BeatloomViewModel& model) {
                    auto regions = model.timelineRegions.value();
                    std::erase_if(regions, [keep = BeatloomFlexibleTimeline::keepUnlessUnlockedRegion(regionID)](
                                               const auto& region) { return !keep(region); });
                    model.timelineRegions.set(BeatloomFlexibleTimeline::normalizedRegions(regions, duration));
                    auto anchors = model.rhythmicAnchors.value();
                    std::erase_if(anchors, BeatloomFlexibleTimeline::anchorBelongsToRegion(regionID));
                    model.rhythmicAnchors.set(std::move(anchors));
                });
}

}  // namespace corvel::session
