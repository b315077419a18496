#include "core/grid_lines.hpp"

#include <cmath>
#include <limits>

#include "common/format.hpp"
#include "common/numeric.hpp"
#include "core/flexible_grid.hpp"
#include "core/flexible_timeline.hpp"
#include "core/phase_anchors.hpp"
#include "core/timeline_segments.hpp"

namespace corvel::BeatloomTimeline {
namespace {

constexpr double kLineTolerance = 0.00001;     // a line this close to a span edge still belongs to it
constexpr double kDurationSlack = 0.0005;      // lines may overhang the grid start and the audio end by this
constexpr double kQuarterGuard = 1e-9;         // guards quarter counts before rounding up or down
constexpr double kBeatTolerance = 0.001;       // a position this close to a whole beat is that beat
constexpr double kRegionTolerance = 0.000001;  // region bounds

// Grid indices beyond this are no longer exact in a double; positions that far out belong
// to no real song and their spans are left out.
constexpr double kLargestGridIndex = 9007199254740992.0;  // 2^53


// Where the grid starts: Bar 1, the first pickup bar before it, or the start of the audio.
double gridStart(const std::vector<Segment>& segs, const std::vector<BeatloomMeterEvent>& meterEvents,
                 double barOne, std::int64_t pickupBarCount, bool fromAudioStart, double step, double duration) {
    if (fromAudioStart) return 0;
    if (pickupBarCount < 1) return barOne;
    const MeterRule rule = meterRule(meterInForce(meterEvents, duration, barOne));
    const double pickupQuarters = rule.barLengthQuarters() * static_cast<double>(pickupBarCount);
    // A pickup longer than any real song would leave no room for the song itself: the grid
    // then starts at Bar 1.
    if (pickupQuarters / step > static_cast<double>(kMaxGridLines)) return barOne;
    const double startQuarter = quarterPosition(segs, barOne) - pickupQuarters;
    const std::optional<double> start = seconds(segs, startQuarter);
    return start && *start < barOne ? *start : barOne;
}

// The grid positions of one phase anchor's span: whole steps from the anchor's quarter,
// from the grid start or the anchor, whichever is later, to the next anchor or the end.
struct Span {
    const PhaseAnchor* anchor = nullptr;
    double lo = 0;
    double end = 0;
    bool isLast = false;
    std::int64_t firstStep = 0;
    std::int64_t lastStep = -1;  // empty when below firstStep
    std::size_t count() const { return lastStep < firstStep ? 0 : static_cast<std::size_t>(lastStep - firstStep) + 1; }
};

Span planSpan(const std::vector<Segment>& segs, const PhaseAnchor& anchor, double spanStart, double spanEnd,
              bool isLast, double step, double g) {
    Span span{&anchor, spanStart > g ? spanStart : g, spanEnd, isLast};
    if (!(g - kLineTolerance <= spanEnd && span.lo <= spanEnd + kLineTolerance)) return span;
    const double aq = anchor.quarter;
    const double kLo = std::ceil((quarterPosition(segs, span.lo) - aq) / step - kQuarterGuard);
    const double kHi = std::floor((quarterPosition(segs, spanEnd) - aq) / step + kQuarterGuard);
    if (!std::isfinite(kLo) || !std::isfinite(kHi) || kHi < kLo) return span;
    if (std::abs(kLo) > kLargestGridIndex || std::abs(kHi) > kLargestGridIndex) return span;
    span.firstStep = saturatingInt64(kLo);
    span.lastStep = saturatingInt64(kHi);
    return span;
}

// The segments from the first one that can hold `fromQuarter` to the end. Converting a
// position at or after `fromQuarter` over this tail gives exactly the time the whole list
// gives: the segments left out are the ones the conversion passes over anyway.
void segmentTail(const std::vector<Segment>& segs, double fromQuarter, std::vector<Segment>& tail) {
    std::size_t skipped = 0;
    while (skipped + 1 < segs.size() && segs[skipped].endQuarter + 1e-12 < fromQuarter) ++skipped;
    tail.assign(segs.begin() + static_cast<std::ptrdiff_t>(skipped), segs.end());
}

void drawSpan(const Span& span, const std::vector<Segment>& segs, double step, double g, double duration,
              std::vector<Segment>& tail, std::vector<GridLine>& lines) {
    if (span.count() == 0) return;
    const PhaseAnchor& anchor = *span.anchor;
    const double aq = anchor.quarter;
    const MeterRule rule = meterRule(anchor.meter);
    const double beatLength = rule.beatLengthQuarters;
    const std::int64_t beatsPerBar = rule.beatsPerBar < 1 ? 1 : rule.beatsPerBar;
    segmentTail(segs, aq + step * static_cast<double>(span.firstStep), tail);
    for (std::int64_t k = span.firstStep; k <= span.lastStep; ++k) {
        const double q = aq + step * static_cast<double>(k);
        const std::optional<double> time = seconds(tail, q);
        if (!time) continue;
        const double t = *time;
        if (!(span.lo - kLineTolerance <= t && t <= span.end + kLineTolerance)) continue;
        if (!(g - kDurationSlack <= t && t <= duration + kDurationSlack)) continue;
        // A line on the next anchor, or just before it, is drawn by the next anchor's span.
        if (!span.isLast && t >= span.end - kLineTolerance) continue;

        GridLine line{t, q, GridKind::subdivision, std::nullopt, std::nullopt};
        const double x = (q - aq) / beatLength;
        const double r = std::round(x);
        if (std::abs(x - r) <= kBeatTolerance) {
            const auto counted = countedOn({anchor.barNumber, 1, 0.0}, saturatingInt64(r), beatsPerBar);
            line.kind = counted.beat == 1 ? GridKind::bar : GridKind::beat;
            line.barNumber = counted.bar;
            line.beatNumber = counted.beat;
        }
        lines.push_back(line);
    }
}

// How many quarter notes the positioned anchors of a Rubato region cover. Its elastic grid
// draws a line at every step over that stretch, so a stretch beyond any real song is left out.
double rubatoPositions(const BeatloomTimelineRegion& region, const std::vector<BeatloomRhythmicAnchor>& anchors) {
    double lowest = std::numeric_limits<double>::infinity();
    double highest = -std::numeric_limits<double>::infinity();
    for (const auto& anchor : anchors) {
        if (anchor.regionID != region.id || !anchor.quarterPosition) continue;
        const double q = *anchor.quarterPosition;
        if (!std::isfinite(q) || !std::isfinite(anchor.audioTimeSeconds)) continue;
        lowest = q < lowest ? q : lowest;
        highest = q > highest ? q : highest;
    }
    return highest > lowest ? highest - lowest : 0.0;
}

}  // namespace

std::vector<GridLine> gridLines(const std::vector<BeatloomTempoPoint>& tempoPoints,
                                const std::vector<BeatloomMeterEvent>& meterEvents,
                                const std::vector<BeatloomBarAnchor>& barAnchors,
                                const std::vector<BeatloomPhaseLock>& phaseLocks, std::optional<double> barOneSeconds,
                                std::int64_t pickupBarCount, bool fromAudioStart,
                                const std::vector<BeatloomTimelineRegion>& timelineRegions,
                                const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                BeatloomGridResolution resolution, double duration) {
    if (!(duration > 0)) return {};
    if (barOneSeconds && std::isnan(*barOneSeconds)) barOneSeconds.reset();
    const std::vector<Segment> segs = segments(tempoPoints, duration);
    if (segs.empty()) return {};
    const std::vector<PhaseAnchor> anchors =
        phaseAnchors(meterEvents, barAnchors, phaseLocks, barOneSeconds, segs, duration);
    if (anchors.empty()) return {};

    const double barOne = barOneSeconds.value_or(0.0);
    const double step = gridStepQuarters(resolution);
    const double g = gridStart(segs, meterEvents, barOne, pickupBarCount, fromAudioStart, step, duration);

    // Plan every span first: the grid is bounded as a whole, and its lines fill one allocation.
    std::vector<Span> spans;
    spans.reserve(anchors.size());
    std::size_t budget = kMaxGridLines;
    for (std::size_t i = 0; i < anchors.size(); ++i) {
        const bool isLast = i + 1 == anchors.size();
        const double spanStart = i == 0 ? g : anchors[i].timeSeconds;
        const double spanEnd = isLast ? duration : anchors[i + 1].timeSeconds;
        Span span = planSpan(segs, anchors[i], spanStart, spanEnd, isLast, step, g);
        if (span.count() > budget) continue;  // a span beyond any real song is left out
        budget -= span.count();
        spans.push_back(span);
    }
    const std::vector<BeatloomTimelineRegion> regions =
        BeatloomFlexibleTimeline::normalizedRegions(timelineRegions, duration);
    // The Rubato regions whose elastic grid is drawn; one beyond any real song is left out.
    std::vector<const BeatloomTimelineRegion*> rubatoRegions;
    for (const auto& region : regions) {
        if (region.mode != BeatloomTimelineMode::rubato) continue;
        const double regionSteps = rubatoPositions(region, rhythmicAnchors) / step;
        if (!(regionSteps <= static_cast<double>(budget))) continue;
        budget -= static_cast<std::size_t>(regionSteps);
        rubatoRegions.push_back(&region);
    }

    std::vector<GridLine> lines;
    lines.reserve(kMaxGridLines - budget + anchors.size() + rhythmicAnchors.size());
    std::vector<Segment> tail;
    for (const Span& span : spans) drawSpan(span, segs, step, g, duration, tail, lines);

    // Every bar boundary and every lock on a downbeat draws its bar line, whatever the step.
    for (const PhaseAnchor& anchor : anchors) {
        if (!anchor.emitDownbeatAtAnchor) continue;
        if (!(g - kLineTolerance <= anchor.timeSeconds && anchor.timeSeconds <= duration)) continue;
        lines.push_back(GridLine{anchor.timeSeconds, anchor.quarter, GridKind::bar, anchor.barNumber, 1});
    }
    lines = mergedGridLines(std::move(lines));
    if (regions.empty()) return lines;

    // Free Time and Rubato regions alike lose their metered lines. The normalised regions start
    // and end in order, so the one region that can hold a time is the first that ends after it.
    std::erase_if(lines, [&regions](const GridLine& line) {
        const auto region = std::partition_point(regions.begin(), regions.end(), [&](const BeatloomTimelineRegion& r) {
            return !(line.timeSeconds < r.endSeconds - kRegionTolerance);
        });
        return region != regions.end() && region->startSeconds - kRegionTolerance <= line.timeSeconds;
    });
    for (const BeatloomTimelineRegion* region : rubatoRegions) {
        const auto elastic =
            BeatloomFlexibleTimeline::rubatoGridLines(*region, rhythmicAnchors, meterEvents, resolution);
        lines.insert(lines.end(), elastic.begin(), elastic.end());
    }
    return mergedGridLines(std::move(lines));
}

std::string barLabel(std::int64_t bar) {
    if (bar >= 1) return formatInteger(bar);
    if (bar == 0) return "P";
    // 1 - bar in unsigned arithmetic: exact even for the most negative bar.
    const std::uint64_t backwards = std::uint64_t{1} - static_cast<std::uint64_t>(bar);
    return "P" + std::to_string(backwards);
}

std::string gridLineLabel(std::int64_t bar, std::int64_t beat) {
    return barLabel(bar) + "." + formatInteger(beat);
}

}  // namespace corvel::BeatloomTimeline
