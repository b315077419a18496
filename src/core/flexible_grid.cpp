#include "core/flexible_grid.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
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

constexpr double kQuarterGuard = 1e-9;
constexpr double kLargestPairFraction = 1.000000001;
constexpr double kBeatTolerance = 0.001;

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// Remainder of a floor division: always in 0 ... divisor - 1 (divisor at least 1).
std::int64_t floorModulo(std::int64_t value, std::int64_t divisor) {
    const std::int64_t remainder = value % divisor;
    return remainder < 0 ? remainder + divisor : remainder;
}

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

// Bar and beat of a beat or bar line at quarter q, counted in beats from the positioned anchor
// nearest to it (on equal distance the earlier one); nothing when that anchor has no bar.beat.
void numberLine(GridLine& line, double q, const std::vector<BeatloomRhythmicAnchor>& anchors, const MeterRule& rule) {
    const BeatloomRhythmicAnchor* nearest = nullptr;
    double nearestDistance = 0;
    for (const auto& anchor : anchors) {
        const double distance = std::abs(q - *anchor.quarterPosition);
        if (nearest == nullptr || distance < nearestDistance) {
            nearest = &anchor;
            nearestDistance = distance;
        }
    }
    if (nearest == nullptr || !nearest->musicalPosition) return;
    const auto& position = *nearest->musicalPosition;
    const std::int64_t beatsAway = roundedInt64((q - *nearest->quarterPosition) / rule.beatLengthQuarters);
    const std::int64_t index = saturatingAdd(saturatingAdd(position.beat, -1), beatsAway);
    line.barNumber = saturatingAdd(position.bar, floorDivide(index, rule.beatsPerBar));
    line.beatNumber = floorModulo(index, rule.beatsPerBar) + 1;
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

    std::vector<GridLine> lines;
    for (std::size_t i = 0; i + 1 < anchors.size(); ++i) {
        const double qa = *anchors[i].quarterPosition;
        const double qb = *anchors[i + 1].quarterPosition;
        const double ta = anchors[i].audioTimeSeconds;
        const double tb = anchors[i + 1].audioTimeSeconds;
        if (!(qa + kSameTimeSeconds < qb) || !(ta + kSameTimeSeconds < tb)) continue;

        const std::int64_t kLo = saturatingInt64(std::ceil(qa / step - kQuarterGuard));
        const std::int64_t kHi = saturatingInt64(std::floor(qb / step + kQuarterGuard));
        if (kHi < kLo) continue;
        for (std::int64_t k = kLo;; ++k) {
            const double q = step * static_cast<double>(k);
            // A line on an anchor shared by two pairs belongs to the pair that ends there.
            const bool sharedStart = i > 0 && std::abs(q - qa) < kQuarterGuard;
            const double f = (q - qa) / (qb - qa);
            if (!sharedStart && f >= -kQuarterGuard && f <= kLargestPairFraction) {
                GridLine line;
                line.timeSeconds = ta + (tb - ta) * f;
                line.quarterPosition = q;
                const double beats = q / rule.beatLengthQuarters;
                const double wholeBeats = std::round(beats);
                if (std::abs(beats - wholeBeats) <= kBeatTolerance) {
                    line.kind = floorModulo(roundedInt64(wholeBeats), rule.beatsPerBar) == 0 ? GridKind::bar
                                                                                              : GridKind::beat;
                    numberLine(line, q, anchors, rule);
                }
                lines.push_back(line);
            }
            if (k == kHi) break;
        }
    }
    return BeatloomTimeline::mergedGridLines(std::move(lines));
}

std::vector<ClickEvent> rubatoClickEvents(const BeatloomTimelineRegion& region,
                                          const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                          const std::vector<BeatloomMeterEvent>& meterEvents) {
    const MeterRule rule = meterRuleAtRegion(region, meterEvents);
    std::vector<ClickEvent> clicks;
    for (const auto& line : rubatoGridLines(region, rhythmicAnchors, meterEvents, BeatloomGridResolution::quarter)) {
        if (line.kind == GridKind::subdivision) continue;
        const std::int64_t beats = roundedInt64(line.quarterPosition / rule.beatLengthQuarters);
        clicks.push_back(ClickEvent{line.timeSeconds, floorModulo(beats, rule.beatsPerBar) == 0});
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
