// Rejoin Grid: a Free Time or Rubato region ends at the locator and the regular metered grid
// resumes there with a bar number, a tempo and a time signature, all in one step.

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "common/format.hpp"
#include "common/numeric.hpp"
#include "core/flexible_timeline.hpp"
#include "core/meter_map.hpp"
#include "core/tempo_points.hpp"
#include "core/time_tolerances.hpp"
#include "core/timeline_segments.hpp"
#include "session/metered_position.hpp"
#include "session/time_signature_placement.hpp"

namespace corvel::session {

namespace {

// A region ending this close to the rejoin counts as the one that ends there; one that began
// no further back than this is removed rather than ended.
constexpr double kShortestRegionSeconds = 0.0005;
// The metered bar of a region is the one just before the region starts.
constexpr double kBeforeRegionSeconds = 0.0001;
// The shortest bar any grid can draw: a bar of one sixteenth at the fastest tempo.
constexpr double kShortestBarSeconds = 60.0 / tempo_limits::maximumBPM * 0.25;

// The highest bar number a song this long can reach: one bar for every shortest bar in it.
std::int64_t highestBarOfSong(double duration) {
    const double bars = std::ceil(std::max(duration, 0.0) / kShortestBarSeconds);
    return std::max<std::int64_t>(saturatingInt64(bars), 1);
}

// The quarter position of the first downbeat after the region's last anchor that carries a
// position and a bar.beat, counted in the beats of the meter in force at the region's start;
// none when no such anchor exists.
std::optional<double> downbeatAfterLastAnchor(const std::vector<BeatloomRhythmicAnchor>& anchors,
                                              const BeatloomTimelineRegion& region,
                                              const std::vector<BeatloomMeterEvent>& meterEvents) {
    const BeatloomRhythmicAnchor* last = nullptr;
    for (const auto& anchor : anchors) {
        if (anchor.regionID != region.id || !anchor.quarterPosition || !anchor.musicalPosition ||
            !std::isfinite(*anchor.quarterPosition)) {
            continue;
        }
        if (!last || anchor.audioTimeSeconds > last->audioTimeSeconds) last = &anchor;
    }
    if (!last) return std::nullopt;
    const auto rule =
        BeatloomTimeline::meterRule(BeatloomTimeline::meterInForce(meterEvents, region.endSeconds, region.startSeconds));
    const std::int64_t perBar = rule.beatsPerBar;
    // Beats from the start of its bar to the anchor, whatever its beat number.
    const std::int64_t beatNumber = (last->musicalPosition->beat % perBar + perBar) % perBar;
    const std::int64_t beatInBar = (beatNumber + perBar - 1) % perBar;
    return *last->quarterPosition + rule.beatLengthQuarters * static_cast<double>(perBar - beatInBar);
}

}  // namespace

std::vector<BeatloomTimelineRegion> BeatloomViewModel::endRegion(const std::vector<BeatloomTimelineRegion>& regions,
                                                                 double seconds, double duration) {
    const double time = std::fmin(std::fmax(duration, 0.0), std::fmax(seconds, 0.0));
    auto list = BeatloomFlexibleTimeline::normalizedRegions(regions, duration);
    const auto region = std::find_if(list.begin(), list.end(), [&](const BeatloomTimelineRegion& candidate) {
        return BeatloomFlexibleTimeline::regionContains(candidate, time) ||
               std::abs(candidate.endSeconds - time) < kShortestRegionSeconds;
    });
    if (region != list.end() && !region->isLocked) {
        if (time - region->startSeconds <= kShortestRegionSeconds) {
            list.erase(region);
        } else {
            region->endSeconds = time;
        }
    }
    return BeatloomFlexibleTimeline::normalizedRegions(list, duration);
}

std::int64_t BeatloomViewModel::suggestedRejoinBar(const BeatloomTimelineRegion& region) const {
    std::optional<std::int64_t> highest;
    for (const auto& anchor : rhythmicAnchors.value()) {
        if (anchor.regionID != region.id || !anchor.musicalPosition) continue;
        if (!highest || anchor.musicalPosition->bar > *highest) highest = anchor.musicalPosition->bar;
    }
    if (highest) return std::max<std::int64_t>(*highest + 1, 1);

    const double before = std::max(region.startSeconds - kBeforeRegionSeconds, 0.0);
    const double duration = result.value() ? result.value()->durationSeconds : region.endSeconds;
    const auto metered = meteredPositionAt(*this, before, std::max(before + kGridHorizonMarginSeconds, duration));
    if (!metered.musicalPosition) return 1;
    return std::max<std::int64_t>(metered.musicalPosition->bar + 1, 1);
}

void BeatloomViewModel::rejoinGridAtLocator(std::optional<std::int64_t> bar, std::optional<double> bpm,
                                            std::optional<std::int64_t> numerator,
                                            std::optional<std::int64_t> denominator) {
    const double locator = locatorSeconds.value();
    const auto region =
        result.value() ? BeatloomFlexibleTimeline::regionContaining(timelineRegions.value(), locator) : std::nullopt;
    if (!region) {
        errorText.set(std::string(kRejoinOutsideRegionMessage));
        return;
    }
    const std::int64_t rejoinBar = bar.value_or(suggestedRejoinBar(*region));
    const double requestedBPM = bpm ? *bpm : tempoAtLocator().value_or(result.value()->bpm);
    const auto meter = meterEventAtLocator();
    const std::int64_t beats = numerator.value_or(meter.numerator);
    const std::int64_t noteValue = denominator.value_or(meter.denominator);
    if (!isValidTimeSignature(beats, noteValue)) {
        errorText.set(std::string(kRejoinInvalidTimeSignatureMessage));
        return;
    }
    const double duration = result.value()->durationSeconds;
    if (rejoinBar < 1 || rejoinBar > highestBarOfSong(duration)) {
        errorText.set(std::string(kRejoinInvalidBarMessage));
        return;
    }
    if (std::isnan(requestedBPM)) {
        errorText.set(std::string(kRejoinInvalidTempoMessage));
        return;
    }
    const double tempo = std::clamp(requestedBPM, tempo_limits::minimumBPM, tempo_limits::maximumBPM);
    const Uuid regionID = region->id;

    // The map with the rejoin tempo at the locator, and where the locator lies on it.
    auto points = normalizedTempoPoints(editableTempoPoints.value());
    if (duration > tempo_limits::minimumRange) {
        const double tempoTime = clampOr(locator, kMarkerSpacingSeconds, duration - kMarkerSpacingSeconds, kMarkerSpacingSeconds);
        const auto nearby = std::find_if(points.begin(), points.end(), [&](const BeatloomTempoPoint& point) {
            return std::abs(point.timeSeconds - tempoTime) < kMarkerSpacingSeconds;
        });
        if (nearby != points.end()) {
            nearby->bpm = tempo;
        } else {
            points.push_back(BeatloomTempoPoint{Uuid::random(), tempoTime, tempo, 1.0, false});
        }
        points = normalizedTempoPoints(std::move(points));
    }
    const auto segments = BeatloomTimeline::segments(points, duration);
    std::optional<double> quarter;
    if (!segments.empty()) quarter = BeatloomTimeline::quarterPosition(segments, locator);

    // The region keeps its anchors before the locator; the rejoin anchor replaces any at it and
    // must follow the kept ones in the music as well as in time.
    auto anchors = rhythmicAnchors.value();
    std::erase_if(anchors, [&](const BeatloomRhythmicAnchor& anchor) {
        return anchor.regionID == regionID && !(anchor.audioTimeSeconds < locator - kSameTimeSeconds);
    });
    // The grid rejoins on the downbeat that follows the region's last counted beat: the region's
    // bars count on from its anchors up to it, whatever number the rejoin gives that bar.
    if (const auto counted = downbeatAfterLastAnchor(anchors, *region, meterEvents.value())) quarter = counted;
    const bool reachesPast = quarter && std::any_of(anchors.begin(), anchors.end(), [&](const auto& anchor) {
        return anchor.regionID == regionID && anchor.quarterPosition &&
               !(*anchor.quarterPosition < *quarter - kSameTimeSeconds);
    });
    if (reachesPast) {
        errorText.set(std::string(kRejoinBeforeAnchorMessage));
        return;
    }

    const std::string status =
        "Regular grid rejoins at Bar " + formatInteger(rejoinBar) + ".1 · " + formatFixed(tempo, 1) + " BPM.";

    performEdit("Rejoin Grid", status, [&](BeatloomViewModel& model) {
        model.timelineRegions.set(endRegion(model.timelineRegions.value(), locator, duration));
        model.editableTempoPoints.set(points);

        if (duration >= 0) {
            model.meterEvents.set(normalizedMeterEvents(
                withTimeSignatureAt(model.meterEvents.value(), locator, beats, noteValue, duration), duration));
        }

        auto bars = model.barAnchors.value();
        std::erase_if(bars, [&](const BeatloomBarAnchor& anchor) {
            return std::abs(anchor.timeSeconds - locator) < kMarkerSpacingSeconds;
        });
        // The count restarts at the rejoin bar.
        bars.push_back(BeatloomBarAnchor{Uuid::random(), locator, rejoinBar});
        model.barAnchors.set(normalizedBarAnchors(bars, duration));

        anchors.push_back(BeatloomRhythmicAnchor{Uuid::random(), regionID, locator, quarter,
                                                 BeatloomMusicalPosition{rejoinBar, 1, 0.0},
                                                 BeatloomRhythmicAnchorKind::rejoin,
                                                 BeatloomRhythmicAnchorSource::manual, 1.0, false});
        model.rhythmicAnchors.set(std::move(anchors));
    });
}

}  // namespace corvel::session
