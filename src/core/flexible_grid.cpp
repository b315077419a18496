#include "core/flexible_grid.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "common/numeric.hpp"
#include "common/ordering.hpp"
#include "core/flexible_timeline.hpp"
#include "core/time_tolerances.hpp"
#include "core/timeline_segments.hpp"

namespace corvel::BeatloomFlexibleTimeline {
namespace {

using BeatloomTimeline::ClickEvent;
using BeatloomTimeline::GridKind;
using BeatloomTimeline::GridLine;
using BeatloomTimeline::MeterRule;
using BeatloomTimeline::countedOn;

constexpr double kQuarterGuard = 1e-9;
constexpr double kBeatTolerance = 0.001;

// Beat length and beats per bar of the meter in force at the region's start, with the meter
// events normalised to end at the region's end.
MeterRule meterRuleAtRegion(const BeatloomTimelineRegion& region, const std::vector<BeatloomMeterEvent>& meterEvents) {
    return BeatloomTimeline::meterRule(
        BeatloomTimeline::meterInForce(meterEvents, region.endSeconds, region.startSeconds));
}

// The region's anchors that carry a usable quarter position, in position order (anchors at the
// same position keep their time order).
std::vector<BeatloomRhythmicAnchor> positionedAnchors(const BeatloomTimelineRegion& region,
                                                      const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors) {
    std::vector<BeatloomRhythmicAnchor> own;
    for (const auto& anchor : rhythmicAnchors) {
        if (anchor.regionID == region.id) own.push_back(anchor);
    }
    stableInsertionSort(own, anchorTimeOrder);
    std::vector<BeatloomRhythmicAnchor> kept;
    for (const auto& anchor : own) {
        if (anchor.quarterPosition && std::isfinite(*anchor.quarterPosition) &&
            std::isfinite(anchor.audioTimeSeconds)) {
            kept.push_back(anchor);
        }
    }
    stableInsertionSort(kept, anchorPositionOrder);
    return kept;
}

// Where the grid of a pair of anchors counts its beats from: the last anchor up to the pair's
// first one (in position order) that carries a bar.beat. Without one, beats count from quarter 0
// and the lines carry no numbers.
struct CountOrigin {
    double quarter = 0;
    std::optional<BeatloomMusicalPosition> position;
};

CountOrigin countOrigin(const std::vector<BeatloomRhythmicAnchor>& anchors, std::size_t upTo) {
    for (std::size_t i = upTo + 1; i-- > 0;) {
        if (anchors[i].musicalPosition) return {*anchors[i].quarterPosition, anchors[i].musicalPosition};
    }
    return {};
}

// The kind and numbers of the line at quarter q, counted from the origin. A beat that is the
// first of its bar makes a bar line.
void classifyLine(GridLine& line, double q, const CountOrigin& origin, const MeterRule& rule) {
    const double beats = (q - origin.quarter) / rule.beatLengthQuarters;
    const double wholeBeats = std::round(beats);
    if (std::abs(beats - wholeBeats) > kBeatTolerance) return;
    if (!origin.position) {
        // Counted from quarter 0 as the first beat of a bar, without numbers.
        line.kind = countedOn({}, roundedInt64(wholeBeats), rule.beatsPerBar).beat == 1 ? GridKind::bar : GridKind::beat;
        return;
    }
    const auto position = countedOn(*origin.position, roundedInt64(wholeBeats), rule.beatsPerBar);
    line.kind = position.beat == 1 ? GridKind::bar : GridKind::beat;
    line.barNumber = position.bar;
    line.beatNumber = position.beat;
}

bool pairRuns(const BeatloomRhythmicAnchor& a, const BeatloomRhythmicAnchor& b) {
    return *a.quarterPosition + kSameTimeSeconds < *b.quarterPosition &&
           a.audioTimeSeconds + kSameTimeSeconds < b.audioTimeSeconds;
}

}  // namespace

std::vector<GridLine> rubatoGridLines(const BeatloomTimelineRegion& region,
                                      const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                      const std::vector<BeatloomMeterEvent>& meterEvents,
                                      BeatloomGridResolution resolution) {
    const auto anchors = positionedAnchors(region, rhythmicAnchors);
    if (anchors.size() < 2) return {};
    const MeterRule rule = meterRuleAtRegion(region, meterEvents);
    const double step = BeatloomTimeline::gridStepQuarters(resolution);

    // Anchors whose positions lie absurdly far apart would ask for billions of lines: such a
    // region is left without an elastic grid (and so without Rubato clicks).
    double positions = 0;
    for (std::size_t i = 0; i + 1 < anchors.size(); ++i) {
        const double span = *anchors[i + 1].quarterPosition - *anchors[i].quarterPosition;
        if (span > 0) positions += span / step;
    }
    if (!(positions <= static_cast<double>(BeatloomTimeline::kMaxGridLines))) return {};

    // Each pair draws the steps counted from its origin, from its first anchor up to (not
    // including) its second one, whose line the next pair draws; the last pair of a run also
    // draws its second anchor. An anchor with a bar.beat is its own origin, so the lines sit on
    // the anchors and the bars count on from them, and the line on an anchor carries its bar.beat.
    std::vector<GridLine> lines;
    for (std::size_t i = 0; i + 1 < anchors.size(); ++i) {
        const auto& a = anchors[i];
        const auto& b = anchors[i + 1];
        if (!pairRuns(a, b)) continue;
        const double qa = *a.quarterPosition;
        const double qb = *b.quarterPosition;
        const double ta = a.audioTimeSeconds;
        const double tb = b.audioTimeSeconds;
        const CountOrigin origin = countOrigin(anchors, i);
        auto lineAt = [&](double q) {
            GridLine line;
            line.timeSeconds = ta + (tb - ta) * ((q - qa) / (qb - qa));
            line.quarterPosition = q;
            return line;
        };

        const std::int64_t kLo = saturatingInt64(std::ceil((qa - origin.quarter) / step - kQuarterGuard));
        const std::int64_t kHi = saturatingInt64(std::floor((qb - origin.quarter) / step + kQuarterGuard));
        for (std::int64_t k = kLo; k <= kHi; ++k) {
            const double q = origin.quarter + step * static_cast<double>(k);
            if (q > qb - kQuarterGuard) break;
            GridLine line = lineAt(q);
            classifyLine(line, q, origin, rule);
            lines.push_back(line);
            if (k == kHi) break;
        }

        const bool runEnds = i + 2 >= anchors.size() || !pairRuns(b, anchors[i + 2]);
        if (!runEnds) continue;
        GridLine last = lineAt(qb);
        last.timeSeconds = tb;
        if (b.musicalPosition) {
            classifyLine(last, qb, CountOrigin{qb, b.musicalPosition}, rule);
            lines.push_back(last);
        } else {
            const double steps = (qb - origin.quarter) / step;
            if (std::abs(steps - std::round(steps)) <= kQuarterGuard * std::max(1.0, std::abs(steps))) {
                classifyLine(last, qb, origin, rule);
                lines.push_back(last);
            }
        }
    }
    return BeatloomTimeline::mergedGridLines(std::move(lines));
}

std::optional<BeatloomMusicalPosition> rubatoPosition(const BeatloomTimelineRegion& region,
                                                      const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                                      const std::vector<BeatloomMeterEvent>& meterEvents,
                                                      double seconds) {
    if (!std::isfinite(seconds)) return std::nullopt;
    const auto anchors = positionedAnchors(region, rhythmicAnchors);
    const MeterRule rule = meterRuleAtRegion(region, meterEvents);
    for (std::size_t i = 0; i + 1 < anchors.size(); ++i) {
        const auto& a = anchors[i];
        const auto& b = anchors[i + 1];
        if (!pairRuns(a, b)) continue;
        const double ta = a.audioTimeSeconds;
        const double tb = b.audioTimeSeconds;
        if (seconds < ta - kSameTimeSeconds || seconds > tb + kSameTimeSeconds) continue;
        // On an anchor the grid shows the anchor's own bar.beat.
        for (const auto* anchor : {&a, &b}) {
            if (anchor->musicalPosition && std::abs(seconds - anchor->audioTimeSeconds) <= kSameTimeSeconds) {
                return countedOn(*anchor->musicalPosition, 0, rule.beatsPerBar);
            }
        }
        const CountOrigin origin = countOrigin(anchors, i);
        if (!origin.position) return std::nullopt;
        const double q = *a.quarterPosition + (*b.quarterPosition - *a.quarterPosition) * ((seconds - ta) / (tb - ta));
        return BeatloomTimeline::countedPosition(*origin.position, (q - origin.quarter) / rule.beatLengthQuarters,
                                                 rule.beatsPerBar, kQuarterGuard);
    }
    return std::nullopt;
}

std::vector<ClickEvent> rubatoClickEvents(const BeatloomTimelineRegion& region,
                                          const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                          const std::vector<BeatloomMeterEvent>& meterEvents) {
    std::vector<ClickEvent> clicks;
    for (const auto& line : rubatoGridLines(region, rhythmicAnchors, meterEvents, BeatloomGridResolution::quarter)) {
        if (line.kind == GridKind::subdivision) continue;
        clicks.push_back(ClickEvent{line.timeSeconds, line.kind == GridKind::bar});
    }
    return clicks;
}

std::vector<ClickEvent> clickEvents(const std::vector<ClickEvent>& meteredClicks,
                                    const std::vector<BeatloomTimelineRegion>& regions,
                                    const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                    const std::vector<BeatloomMeterEvent>& meterEvents,
                                    BeatloomFreeTimeClickMode freeTimeClickMode, double durationSeconds) {
    const auto effective = normalizedRegions(regions, durationSeconds);
    if (effective.empty()) return meteredClicks;

    // Metered clicks fall silent inside Free Time and Rubato regions alike.
    std::vector<ClickEvent> clicks;
    for (const auto& click : meteredClicks) {
        if (std::isfinite(click.timeSeconds) && !regionContaining(effective, click.timeSeconds)) {
            clicks.push_back(click);
        }
    }

    for (const auto& region : effective) {
        if (region.mode == BeatloomTimelineMode::rubato) {
            const auto rubato = rubatoClickEvents(region, rhythmicAnchors, meterEvents);
            clicks.insert(clicks.end(), rubato.begin(), rubato.end());
        } else if (region.mode == BeatloomTimelineMode::free &&
                   freeTimeClickMode == BeatloomFreeTimeClickMode::anchorOnly) {
            std::vector<BeatloomRhythmicAnchor> own;
            for (const auto& anchor : rhythmicAnchors) {
                if (anchor.regionID == region.id && std::isfinite(anchor.audioTimeSeconds)) own.push_back(anchor);
            }
            stableInsertionSort(own, anchorTimeOrder);
            for (const auto& anchor : own) {
                const bool accent = anchor.kind == BeatloomRhythmicAnchorKind::downbeat ||
                                    anchor.kind == BeatloomRhythmicAnchorKind::rejoin;
                clicks.push_back(ClickEvent{anchor.audioTimeSeconds, accent});
            }
        }
    }
    return BeatloomTimeline::mergedClickEvents(std::move(clicks));
}

}  // namespace corvel::BeatloomFlexibleTimeline
