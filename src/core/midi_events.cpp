#include "core/midi_events.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "common/format.hpp"
#include "common/numeric.hpp"
#include "common/ordering.hpp"
#include "core/flexible_timeline.hpp"
#include "core/grid_lines.hpp"
#include "core/meter_map.hpp"
#include "core/midi_writer.hpp"
#include "core/phase_anchors.hpp"
#include "core/tempo_points.hpp"
#include "core/time_tolerances.hpp"
#include "core/timeline_segments.hpp"

namespace corvel {

TempoMIDIExporterError::TempoMIDIExporterError(Kind kind, std::string message, double bpm, std::int64_t numerator,
                                               std::int64_t denominator)
    : ErrorException(Error{kTempoMIDIExporterErrorDomain, static_cast<std::int64_t>(kind), std::move(message)}),
      kind_(kind),
      bpm_(bpm),
      numerator_(numerator),
      denominator_(denominator) {}

TempoMIDIExporterError TempoMIDIExporterError::invalidTempo(double bpm) {
    return {Kind::invalidTempo, "Cannot export invalid tempo " + formatFixed(bpm, 2) + " BPM.", bpm, 0, 0};
}

TempoMIDIExporterError TempoMIDIExporterError::invalidMeter(std::int64_t numerator, std::int64_t denominator) {
    return {Kind::invalidMeter,
            "Cannot export invalid time signature " + formatInteger(numerator) + "/" + formatInteger(denominator) + ".",
            0, numerator, denominator};
}

TempoMIDIExporterError TempoMIDIExporterError::invalidTimeline() {
    return {Kind::invalidTimeline, "Cannot export this tempo map because its timeline is invalid.", 0, 0, 0};
}

namespace TempoMIDIExporter {
namespace {

constexpr double kBarMergeDistance = 0.0005;
constexpr double kSameBPM = 0.0001;
constexpr double kMinMicrosecondsPerQuarter = 10000;
constexpr double kMaxMicrosecondsPerQuarter = 16777215;
constexpr double kRampStepSeconds = 0.25;

// The tempo that covers the timeline's quarter notes between two times exactly.
double coveringTempo(const std::vector<BeatloomTimeline::Segment>& segments, double from, double to) {
    const double quarters =
        BeatloomTimeline::quarterPosition(segments, to) - BeatloomTimeline::quarterPosition(segments, from);
    return quarters * 60 / (to - from);
}

}  // namespace

void validateTempo(double bpm) {
    if (!(bpm > 0) || !std::isfinite(bpm)) {
        throw TempoMIDIExporterError::invalidTempo(bpm);
    }
    const double microseconds = 60000000.0 / bpm;
    if (!(microseconds >= kMinMicrosecondsPerQuarter && microseconds <= kMaxMicrosecondsPerQuarter)) {
        throw TempoMIDIExporterError::invalidTempo(bpm);
    }
}

std::vector<TempoEvent> mergedTempoEvents(std::vector<TempoEvent> events) {
    stableInsertionSort(events, [](const TempoEvent& a, const TempoEvent& b) { return a.seconds < b.seconds; });
    std::vector<TempoEvent> kept;
    for (const TempoEvent& event : events) {
        if (kept.empty()) {
            kept.push_back(event);
        } else if (std::abs(event.seconds - kept.back().seconds) < kSameTimeSeconds) {
            kept.back() = event;
        } else if (std::abs(event.bpm - kept.back().bpm) >= kSameBPM) {
            kept.push_back(event);
        }
    }
    return kept;
}

std::vector<double> barStartTimes(std::vector<double> times, double durationSeconds) {
    std::vector<double> clamped;
    for (double t : times) {
        if (std::isfinite(t)) {
            clamped.push_back(std::min(std::max(t, 0.0), durationSeconds));
        }
    }
    stableInsertionSort(clamped, [](double a, double b) { return a < b; });
    std::vector<double> kept;
    for (double t : clamped) {
        if (kept.empty() || std::abs(t - kept.back()) >= kBarMergeDistance) {
            kept.push_back(t);
        }
    }
    return kept;
}

std::string pickupMarkerText(std::int64_t count) {
    return "Orvanta Pickup: " + formatInteger(count) + " bar" + (count == 1 ? "" : "s") + " before Bar 1";
}

namespace {

// A regular ramp step this close to a time the ramp is split at gives way to it.
constexpr double kSplitMergeSeconds = 0.001;
// The most ramp steps and ramp beats one export builds: some 35 hours of ramps.
constexpr double kMaxRampEvents = 500000;
// The finest beat of a valid time signature, x/16, in quarter notes.
constexpr double kFinestBeatQuarters = 0.25;

// Refuses, before anything is built, a map whose tempo cannot be written, whose song is longer
// than the file can count in ticks, or whose ramps would need an unreasonable number of steps.
void checkTimeline(const std::vector<BeatloomTempoPoint>& points, const std::vector<BeatloomTimeline::Segment>& segs,
                   double durationSeconds) {
    for (const BeatloomTempoPoint& point : points) validateTempo(point.bpm);
    if (segs.empty()) return;
    if (!(segs.back().endQuarter * kTicksPerQuarter <= static_cast<double>(kMaxVariableLengthQuantity))) {
        throw TempoMIDIExporterError::invalidTimeline();
    }
    double rampEvents = 0;
    for (const auto& seg : segs) {
        if (seg.linear) {
            rampEvents += (seg.endTime - seg.startTime) / kRampStepSeconds +
                          (seg.endQuarter - seg.startQuarter) / kFinestBeatQuarters;
        }
    }
    if (!(rampEvents <= kMaxRampEvents) || !(durationSeconds >= 0)) {
        throw TempoMIDIExporterError::invalidTimeline();
    }
}

// The tempo events of normalised, checked points. Each ramp is cut into steps of 0.25 s and at
// every split time inside it (a regular step within 1 ms of a split time gives way); each
// step carries the tempo that covers exactly the timeline's quarters within it, so every step
// boundary lands on its quarter position.
std::vector<TempoEvent> steppedTempoEvents(const std::vector<BeatloomTempoPoint>& points,
                                           const std::vector<BeatloomTimeline::Segment>& segs,
                                           const std::vector<double>& sortedSplitTimes, double durationSeconds) {
    auto clampedTime = [&](double t) { return clampOr(t, 0, durationSeconds, 0); };
    auto nearSplit = [&](double t) {
        const auto at = std::lower_bound(sortedSplitTimes.begin(), sortedSplitTimes.end(), t - kSplitMergeSeconds);
        return at != sortedSplitTimes.end() && *at <= t + kSplitMergeSeconds;
    };

    std::vector<TempoEvent> events;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const BeatloomTempoPoint& point = points[i];
        const double t0 = clampedTime(point.timeSeconds);
        if (!point.linearToNext || i + 1 >= points.size()) {
            events.push_back({t0, point.bpm});
            continue;
        }
        const double end = std::max(t0, clampedTime(points[i + 1].timeSeconds));
        if (!(end > t0)) {
            events.push_back({t0, point.bpm});
            continue;
        }
        std::vector<double> bounds{t0};
        for (auto at = std::upper_bound(sortedSplitTimes.begin(), sortedSplitTimes.end(), t0 + kSameTimeSeconds);
             at != sortedSplitTimes.end() && *at < end - kSameTimeSeconds; ++at) {
            bounds.push_back(*at);
        }
        for (double step = 1;; ++step) {
            const double s = t0 + step * kRampStepSeconds;
            if (!(s < end - kSameTimeSeconds)) break;
            if (!nearSplit(s) && end - s > kSplitMergeSeconds) bounds.push_back(s);
        }
        std::sort(bounds.begin(), bounds.end());
        bounds.push_back(end);  // the ramp's end gets the next point's own event
        for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
            if (bounds[k + 1] - bounds[k] <= kSameTimeSeconds) continue;
            const double bpm = coveringTempo(segs, bounds[k], bounds[k + 1]);
            validateTempo(bpm);
            events.push_back({bounds[k], bpm});
        }
    }
    return events;
}

// The times of the editor's beats inside the ramps: the beats of each phase anchor's meter
// counted from its quarter, as the grid draws them.
std::vector<double> rampBeatTimes(const std::vector<BeatloomTimeline::Segment>& segs,
                                  const std::vector<BeatloomTimeline::PhaseAnchor>& anchors) {
    std::vector<double> times;
    if (anchors.empty()) return times;
    for (const auto& seg : segs) {
        if (!seg.linear || !(seg.endTime > seg.startTime)) continue;
        for (std::size_t j = *BeatloomTimeline::phaseAnchorIndex(anchors, seg.startTime); j < anchors.size(); ++j) {
            const double lo = j == 0 ? seg.startTime : std::max(seg.startTime, anchors[j].timeSeconds);
            const double hi = j + 1 < anchors.size() ? std::min(seg.endTime, anchors[j + 1].timeSeconds) : seg.endTime;
            if (lo >= seg.endTime) break;
            if (!(hi > lo)) continue;
            const double beat = BeatloomTimeline::meterRule(anchors[j].meter).beatLengthQuarters;
            if (!(beat >= kFinestBeatQuarters)) continue;  // no valid time signature: refused when written
            const double aq = anchors[j].quarter;
            const double qlo = BeatloomTimeline::quarterPosition(segs, lo);
            const double qhi = BeatloomTimeline::quarterPosition(segs, hi);
            for (double k = std::ceil((qlo - aq) / beat - 1e-9); aq + k * beat <= qhi + 1e-9; ++k) {
                if (const auto t = BeatloomTimeline::seconds(segs, aq + k * beat)) times.push_back(*t);
            }
        }
    }
    return times;
}

// Beats from the start of its bar to a beat numbered from 1, whatever the number.
std::int64_t beatIndexInBar(std::int64_t beat, const BeatloomTimeline::MeterRule& rule) {
    const std::int64_t perBar = std::max<std::int64_t>(rule.beatsPerBar, 1);
    const std::int64_t inBar = (beat % perBar + perBar) % perBar;  // the beat's number, taken into 0...perBar - 1
    return (inBar + perBar - 1) % perBar;
}

// The Rubato tempo of one effective region: from its first used anchor to its last, the
// events between consecutive anchors replace the metered tempo.
struct RubatoSpan {
    double regionStart = 0;
    double start = 0;
    double end = 0;
    double firstQuarter = 0;  // the first used anchor's position on the region's own axis
    std::optional<BeatloomMusicalPosition> firstPosition;  // and the bar.beat it is labelled with
    std::optional<BeatloomMusicalPosition> lastPosition;   // the last used anchor's bar.beat
    std::vector<TempoEvent> events;
};

std::vector<RubatoSpan> rubatoSpans(const std::vector<BeatloomTimelineRegion>& regions,
                                    const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                    double durationSeconds) {
    std::vector<RubatoSpan> spans;
    for (const auto& region : BeatloomFlexibleTimeline::normalizedRegions(regions, durationSeconds)) {
        if (region.mode != BeatloomTimelineMode::rubato) {
            continue;
        }
        std::vector<BeatloomRhythmicAnchor> anchors;
        for (const BeatloomRhythmicAnchor& anchor : rhythmicAnchors) {
            if (anchor.regionID == region.id) {
                anchors.push_back(anchor);
            }
        }
        stableInsertionSort(anchors, [](const BeatloomRhythmicAnchor& a, const BeatloomRhythmicAnchor& b) {
            return a.audioTimeSeconds < b.audioTimeSeconds;
        });
        std::erase_if(anchors, [](const BeatloomRhythmicAnchor& anchor) { return !anchor.quarterPosition; });
        RubatoSpan span;
        span.regionStart = region.startSeconds;
        for (std::size_t i = 0; i + 1 < anchors.size(); ++i) {
            const BeatloomRhythmicAnchor& a = anchors[i];
            const BeatloomRhythmicAnchor& b = anchors[i + 1];
            const double dt = b.audioTimeSeconds - a.audioTimeSeconds;
            const double dq = *b.quarterPosition - *a.quarterPosition;
            if (!(dt > kSameTimeSeconds) || !(dq > kSameTimeSeconds)) {
                continue;
            }
            const double bpm = dq * 60 / dt;
            validateTempo(bpm);
            if (span.events.empty()) {
                span.start = a.audioTimeSeconds;
                span.firstQuarter = *a.quarterPosition;
                span.firstPosition = a.musicalPosition;
            }
            span.events.push_back({a.audioTimeSeconds, bpm});
            span.end = b.audioTimeSeconds;
            span.lastPosition = b.musicalPosition;
        }
        if (!span.events.empty()) {
            spans.push_back(std::move(span));
        }
    }
    return spans;
}

// The tempi a file can hold, kept a hair inside the limits so that a tempo computed to reach a
// position is never refused for its last bit.
constexpr double kSlowestTempo = 60000000.0 / kMaxMicrosecondsPerQuarter * (1 + 1e-9);
constexpr double kFastestTempo = 60000000.0 / kMinMicrosecondsPerQuarter * (1 - 1e-9);
// A position this close to where the file must be is as good as there.
constexpr double kPositionSlackQuarters = 0.25 / kTicksPerQuarter;

// Where a tempo change may land: the positions a bar length apart (all of them in `base`'s
// class) that put the next line on the beat and bar the editor shows.
struct Lattice {
    double base = 0;
    double step = 0;
};

// The file being built: its tempo events, sorted by time (at equal times the later one rules,
// as the merge keeps it), and the position they reach.
class FileTempo {
public:
    explicit FileTempo(std::vector<TempoEvent> events) : events_(std::move(events)) {
        std::stable_sort(events_.begin(), events_.end(),
                         [](const TempoEvent& a, const TempoEvent& b) { return a.seconds < b.seconds; });
    }

    // The file's position, in quarter notes, at a time.
    double quartersAt(double seconds) const {
        double quarters = 0;
        double at = 0;
        double bpm = events_.empty() ? 120 : events_.front().bpm;
        for (const TempoEvent& event : events_) {
            const double time = std::max(event.seconds, 0.0);
            if (time > seconds) break;
            quarters += (time - at) * bpm / 60;
            at = time;
            bpm = event.bpm;
        }
        return quarters + (seconds - at) * bpm / 60;
    }

    bool hasEventAt(double seconds) const {
        return std::any_of(events_.begin(), events_.end(), [&](const TempoEvent& event) {
            return std::abs(event.seconds - seconds) < kSameTimeSeconds;
        });
    }

    std::optional<double> nextEventAfter(double seconds) const {
        for (const TempoEvent& event : events_) {
            if (event.seconds > seconds + kSameTimeSeconds) return event.seconds;
        }
        return std::nullopt;
    }

    // One tempo from `from` to `to` in place of whatever ran there.
    void bridge(double from, double to, double bpm) {
        std::erase_if(events_, [&](const TempoEvent& event) {
            return event.seconds > from - kSameTimeSeconds && event.seconds < to - kSameTimeSeconds;
        });
        insert({from, bpm});
    }

    void insert(TempoEvent event) {
        const auto at = std::upper_bound(events_.begin(), events_.end(), event.seconds,
                                         [](double t, const TempoEvent& e) { return t < e.seconds; });
        events_.insert(at, event);
    }

    std::vector<TempoEvent> take() { return std::move(events_); }

private:
    std::vector<TempoEvent> events_;
};

// The position the file reaches at `to` after one tempo from `from`, where it stands at
// `reached`: on the lattice when there is one, the point of it nearest to `wanted` among those
// a file tempo can reach; otherwise `wanted`, held to what can be reached. When no point of the
// lattice can be reached (the editor shows two beats closer together than a file can hold),
// invalidTempo with the tempo the next point ahead would need.
double reachableTarget(double reached, double from, double to, double wanted, const std::optional<Lattice>& lattice) {
    const double seconds = to - from;
    const double lowest = reached + kSlowestTempo * seconds / 60;
    const double highest = reached + kFastestTempo * seconds / 60;
    if (!lattice || !(lattice->step > 0) || !std::isfinite(lattice->base)) {
        return std::clamp(wanted, lowest, highest);
    }
    const double first = std::ceil((lowest - lattice->base) / lattice->step);
    const double last = std::floor((highest - lattice->base) / lattice->step);
    if (first <= last) {
        const double k = std::clamp(std::round((wanted - lattice->base) / lattice->step), first, last);
        return lattice->base + k * lattice->step;
    }
    const double below = lattice->base + last * lattice->step;
    const double above = lattice->base + first * lattice->step;
    const double nearest = lowest - below <= above - highest ? below : above;
    const double held = std::clamp(nearest, lowest, highest);
    if (std::abs(held - nearest) <= kPositionSlackQuarters) return held;
    // The file would have to rush ahead faster than it can: the tempo that would take.
    throw TempoMIDIExporterError::invalidTempo((above - reached) * 60 / seconds);
}

// A bar or beat line the editor draws outside the Free Time and Rubato regions.
struct MeteredLine {
    double seconds = 0;
    std::optional<BeatloomMusicalPosition> position;
};

std::vector<MeteredLine> meteredLines(const std::vector<BeatloomTempoPoint>& points,
                                      const std::vector<BeatloomMeterEvent>& meterEvents,
                                      const std::vector<BeatloomBarAnchor>& barAnchors, std::optional<double> barOneSeconds,
                                      std::int64_t pickupBarCount, std::vector<BeatloomTimelineRegion> regions,
                                      double durationSeconds) {
    // As Free Time, a region keeps none of the metered lines and draws none of its own.
    for (auto& region : regions) region.mode = BeatloomTimelineMode::free;
    std::vector<MeteredLine> lines;
    for (const auto& line : BeatloomTimeline::gridLines(points, meterEvents, barAnchors, {}, barOneSeconds, pickupBarCount,
                                                        false, regions, {}, BeatloomGridResolution::sixteenth,
                                                        durationSeconds)) {
        if (line.kind == BeatloomTimeline::GridKind::subdivision || line.timeSeconds < 0 ||
            line.timeSeconds > durationSeconds) {
            continue;
        }
        MeteredLine metered{line.timeSeconds, std::nullopt};
        if (line.barNumber && line.beatNumber) metered.position = BeatloomMusicalPosition{*line.barNumber, *line.beatNumber, 0};
        lines.push_back(metered);
    }
    return lines;
}

// Beats from one bar.beat to another in bars of `beatsPerBar` beats.
double beatsBetween(const BeatloomMusicalPosition& from, const BeatloomMusicalPosition& to, std::int64_t beatsPerBar) {
    return (static_cast<double>(to.bar) - static_cast<double>(from.bar)) * static_cast<double>(beatsPerBar) +
           (static_cast<double>(to.beat) - static_cast<double>(from.beat));
}

// The number of the editor's bar that holds a time, counted from the phase anchor in force.
std::int64_t editorBarAt(const std::vector<BeatloomTimeline::PhaseAnchor>& anchors,
                         const std::vector<BeatloomTimeline::Segment>& segs, double seconds) {
    const auto index = BeatloomTimeline::phaseAnchorIndex(anchors, seconds);
    if (!index) return 1;
    const auto& anchor = anchors[*index];
    const auto rule = BeatloomTimeline::meterRule(anchor.meter);
    const double beats = (BeatloomTimeline::quarterPosition(segs, seconds) - anchor.quarter) / rule.beatLengthQuarters;
    // A looser guard than the grid's: a bar line that went through seconds may land a hair short.
    return BeatloomTimeline::countedPosition({anchor.barNumber, 1, 0.0}, beats, rule.beatsPerBar, 1e-6).bar;
}

// A time signature of the file: where it stands, what it counts, and the number the editor
// gives the bar that starts there.
struct Signature {
    double seconds = 0;
    BeatloomMeterEvent meter;
    std::int64_t bar = 1;
};

// The tempo events of the whole file. Outside the Rubato spans the file runs at the editor's
// metered tempo and inside them at the anchors' tempo; each span is joined to the editor's
// lines around it. The lead-in runs from the last line the editor draws before the span's
// first anchor (a metered line, or the last anchor of the span before) to that anchor, the
// catch-up from the span's last anchor to the first metered line after it. Each join takes one
// tempo, which counts on the beats from the bar.beat the editor shows where the join starts to
// the one it shows where it ends, so that the line it reaches falls on that beat of the bar the
// file counts from its last time signature. Where the count runs backwards, or a side has no
// bar.beat, the join lands on the same beat of the bar as near as it can to where the editor's
// quarters put it; a first anchor without a bar.beat is simply reached at its own position. When
// the metered grid resumes right at a span's last anchor (Rejoin Grid) the file goes on from
// there; when no line follows a span, its last tempo runs on.
std::vector<TempoEvent> exportedTempoEvents(const std::vector<BeatloomTempoPoint>& points,
                                            const std::vector<BeatloomTimeline::Segment>& segs,
                                            const std::vector<RubatoSpan>& spans, const std::vector<MeteredLine>& lines,
                                            const std::vector<Signature>& signatures,
                                            const std::vector<double>& sortedSplitTimes, double durationSeconds) {
    const std::vector<TempoEvent> metered = steppedTempoEvents(points, segs, sortedSplitTimes, durationSeconds);
    std::vector<TempoEvent> initial;
    for (const TempoEvent& event : metered) {
        const bool insideASpan = std::any_of(spans.begin(), spans.end(), [&](const RubatoSpan& span) {
            return event.seconds > span.start - kSameTimeSeconds && event.seconds < span.end - kSameTimeSeconds;
        });
        if (!insideASpan) initial.push_back(event);
    }
    for (const RubatoSpan& span : spans) initial.insert(initial.end(), span.events.begin(), span.events.end());
    FileTempo file(std::move(initial));

    auto quarterAt = [&](double t) { return BeatloomTimeline::quarterPosition(segs, t); };
    // The time signature that counts the bars at the end of a join from `from` to `to`: the last
    // one at or before `to`. None when it stands inside the join: the join itself starts its bar.
    auto countingSignature = [&](double from, double to) -> const Signature* {
        const Signature* counting = nullptr;
        for (const Signature& signature : signatures) {
            if (signature.seconds <= to + kSameTimeSeconds) counting = &signature;
        }
        return counting && counting->seconds <= from + kSameTimeSeconds ? counting : nullptr;
    };
    auto join = [&](double from, double to, double target) {
        const double bpm = (target - file.quartersAt(from)) * 60 / (to - from);
        validateTempo(bpm);
        file.bridge(from, to, bpm);
    };
    auto byTime = [](const MeteredLine& line, double t) { return line.seconds < t; };

    double shift = 0;  // the file's position past the editor's metered one
    const RubatoSpan* previous = nullptr;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const RubatoSpan& span = spans[i];

        // Lead-in, from the editor's last line before the first anchor: a metered line, or the
        // end of the span before.
        const auto lineBefore = std::lower_bound(lines.begin(), lines.end(), span.start - kSameTimeSeconds, byTime);
        std::optional<double> from;
        std::optional<BeatloomMusicalPosition> fromPosition;
        if (lineBefore != lines.begin()) {
            from = std::prev(lineBefore)->seconds;
            fromPosition = std::prev(lineBefore)->position;
        }
        if (previous && (!from || *from < previous->end)) {
            from = previous->end;
            fromPosition = previous->lastPosition;
        }
        if (!from && span.regionStart < span.start - kSameTimeSeconds) from = span.regionStart;
        if (from && span.start - *from > kSameTimeSeconds) {
            const double reached = file.quartersAt(*from);
            double wanted = span.firstQuarter + shift;
            std::optional<Lattice> lattice;
            const Signature* counting = span.firstPosition ? countingSignature(*from, span.start) : nullptr;
            if (counting) {
                // The anchor's beat of the bar the signature counts, the beats from the line before
                // it on, when that has a bar.beat, or else its bar counted from the signature's.
                const auto rule = BeatloomTimeline::meterRule(counting->meter);
                lattice = Lattice{file.quartersAt(counting->seconds) +
                                      rule.beatLengthQuarters *
                                          static_cast<double>(beatIndexInBar(span.firstPosition->beat, rule)),
                                  rule.barLengthQuarters()};
                wanted = fromPosition
                             ? reached + rule.beatLengthQuarters * beatsBetween(*fromPosition, *span.firstPosition,
                                                                               rule.beatsPerBar)
                             : lattice->base + lattice->step * (static_cast<double>(span.firstPosition->bar) -
                                                                static_cast<double>(counting->bar));
            }
            join(*from, span.start, reachableTarget(reached, *from, span.start, wanted, lattice));
        }
        previous = &span;

        // Catch-up, to the first metered line after the last anchor.
        const auto lineAfter = std::upper_bound(lines.begin(), lines.end(), span.end - kSameTimeSeconds,
                                                [](double t, const MeteredLine& line) { return t < line.seconds; });
        if (lineAfter == lines.end()) continue;
        const double to = lineAfter->seconds;
        if (i + 1 < spans.size() && !(to < spans[i + 1].start - kSameTimeSeconds)) continue;
        double reachedThere = file.quartersAt(span.end);
        if (to - span.end > kSameTimeSeconds) {
            double wanted = quarterAt(to) + shift;
            std::optional<Lattice> lattice;
            if (const Signature* counting = countingSignature(span.end, to)) {
                // The line's beat of the bar the signature counts, the beats from the last anchor
                // on, when both have a bar.beat, or else where the metered grid has it.
                const auto rule = BeatloomTimeline::meterRule(counting->meter);
                lattice = Lattice{file.quartersAt(counting->seconds) + quarterAt(to) - quarterAt(counting->seconds),
                                  rule.barLengthQuarters()};
                wanted = span.lastPosition && lineAfter->position
                             ? reachedThere + rule.beatLengthQuarters * beatsBetween(*span.lastPosition,
                                                                                    *lineAfter->position, rule.beatsPerBar)
                             : lattice->base;
            }
            reachedThere = reachableTarget(reachedThere, span.end, to, wanted, lattice);
            join(span.end, to, reachedThere);
        }
        if (!file.hasEventAt(to) && to < durationSeconds - kSameTimeSeconds) {
            // From the line on the metered tempo runs again.
            double next = file.nextEventAfter(to).value_or(durationSeconds);
            if (i + 1 < spans.size()) next = std::min(next, spans[i + 1].start);
            if (next > to + kSameTimeSeconds) {
                const double bpm = coveringTempo(segs, to, next);
                validateTempo(bpm);
                file.insert({to, bpm});
            }
        }
        shift = reachedThere - quarterAt(to);
    }
    std::vector<TempoEvent> events = file.take();

    // Events before the audio start count from 0 s; the last of them is the tempo in force there.
    stableInsertionSort(events, [](const TempoEvent& a, const TempoEvent& b) { return a.seconds < b.seconds; });
    for (TempoEvent& event : events) {
        event.seconds = std::max(event.seconds, 0.0);
    }
    std::vector<TempoEvent> merged = mergedTempoEvents(std::move(events));
    if (merged.empty()) {
        throw TempoMIDIExporterError::invalidTimeline();
    }
    if (merged.front().seconds > kSameTimeSeconds) {
        merged.insert(merged.begin(), TempoEvent{0.0, merged.front().bpm});
        merged = mergedTempoEvents(std::move(merged));
    }
    return merged;
}

}  // namespace

std::vector<TempoEvent> tempoEvents(const std::vector<BeatloomTempoPoint>& tempoPoints, double durationSeconds) {
    const std::vector<BeatloomTempoPoint> points = normalizedTempoPoints(tempoPoints);
    if (points.empty() || !std::isfinite(durationSeconds) || durationSeconds < 0) {
        throw TempoMIDIExporterError::invalidTimeline();
    }
    const auto segs = BeatloomTimeline::segments(points, durationSeconds);
    checkTimeline(points, segs, durationSeconds);
    std::vector<TempoEvent> merged = mergedTempoEvents(steppedTempoEvents(points, segs, {}, durationSeconds));
    if (merged.empty()) {
        throw TempoMIDIExporterError::invalidTimeline();
    }
    if (merged.front().seconds > kSameTimeSeconds) {
        merged.insert(merged.begin(), TempoEvent{0.0, merged.front().bpm});
    }
    return merged;
}

std::vector<TempoEvent> rubatoTempoEvents(const std::vector<BeatloomTimelineRegion>& regions,
                                          const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                          double durationSeconds) {
    std::vector<TempoEvent> events;
    for (const RubatoSpan& span : rubatoSpans(regions, rhythmicAnchors, durationSeconds)) {
        events.insert(events.end(), span.events.begin(), span.events.end());
    }
    return events;
}

MetaEventPlan metaEvents(const std::vector<BeatloomTempoPoint>& tempoPoints,
                         const std::vector<BeatloomMeterEvent>& meterEvents,
                         const std::vector<BeatloomBarAnchor>& barAnchors, std::optional<double> barOneSeconds,
                         std::int64_t pickupBarCount, const std::vector<BeatloomTimelineRegion>& timelineRegions,
                         const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors, double durationSeconds) {
    const std::vector<BeatloomTempoPoint> points = normalizedTempoPoints(tempoPoints);
    if (points.empty() || !std::isfinite(durationSeconds) || durationSeconds < 0) {
        throw TempoMIDIExporterError::invalidTimeline();
    }
    const auto segs = BeatloomTimeline::segments(points, durationSeconds);
    checkTimeline(points, segs, durationSeconds);
    const std::vector<RubatoSpan> spans = rubatoSpans(timelineRegions, rhythmicAnchors, durationSeconds);
    const std::vector<BeatloomMeterEvent> meters = normalizedMeterEvents(meterEvents, durationSeconds);
    if (meters.empty()) {
        throw TempoMIDIExporterError::invalidTimeline();
    }

    // Everything but the tempo, in the order ties keep.
    std::vector<TimedMetaEvent> others;
    for (const BeatloomMeterEvent& meter : meters) {
        others.push_back({meter.timeSeconds, kMeterPriority, meter});
    }
    if (pickupBarCount >= 1) {
        others.push_back({0.0, kPickupMarkerPriority, MarkerPayload{pickupMarkerText(pickupBarCount)}});
    }
    if (barOneSeconds && std::isfinite(*barOneSeconds) && *barOneSeconds > kBarMergeDistance &&
        *barOneSeconds <= durationSeconds) {
        others.push_back({*barOneSeconds, kRestatedMeterPriority,
                          BeatloomTimeline::meterInForceAmongNormalized(meters, *barOneSeconds)});
        others.push_back({*barOneSeconds, kBarOneMarkerPriority, MarkerPayload{kBarOneMarker}});
        // The file counts its bars from its start; where the first whole pickup bar begins
        // after it, the meter is restated so that the pickup bars fall where the editor has them.
        const BeatloomMeterEvent barOneMeter = BeatloomTimeline::meterInForceAmongNormalized(meters, *barOneSeconds);
        const double barLength = BeatloomTimeline::meterRule(barOneMeter).barLengthQuarters();
        const double barOneQuarter = BeatloomTimeline::quarterPosition(segs, *barOneSeconds);
        const double wholePickups = std::min(static_cast<double>(pickupBarCount), std::floor(barOneQuarter / barLength));
        if (wholePickups >= 1) {
            const auto start = BeatloomTimeline::seconds(segs, barOneQuarter - wholePickups * barLength);
            if (start && *start > kBarMergeDistance) others.push_back({*start, kRestatedMeterPriority, barOneMeter});
        }
    }
    std::vector<double> anchorTimes;
    for (const BeatloomBarAnchor& anchor : normalizedBarAnchors(barAnchors, durationSeconds)) {
        anchorTimes.push_back(anchor.timeSeconds);
    }
    for (double t : barStartTimes(anchorTimes, durationSeconds)) {
        others.push_back({t, kRestatedMeterPriority, BeatloomTimeline::meterInForceAmongNormalized(meters, t)});
        std::string text = kBarStartMarker;
        const auto named = std::find_if(barAnchors.begin(), barAnchors.end(), [&](const BeatloomBarAnchor& anchor) {
            return std::abs(anchor.timeSeconds - t) < kBarMergeDistance;
        });
        if (named != barAnchors.end() && named->barNumberOverride) {
            text = kRejoinBarMarkerPrefix + formatInteger(*named->barNumberOverride);
        }
        others.push_back({t, kBarStartMarkerPriority, MarkerPayload{std::move(text)}});
    }
    const auto regions = BeatloomFlexibleTimeline::normalizedRegions(timelineRegions, durationSeconds);
    for (const BeatloomTimelineRegion& region : regions) {
        const std::string word = region.mode == BeatloomTimelineMode::free ? "FREE" : "RUBATO";
        others.push_back({region.startSeconds, kRegionMarkerPriority, MarkerPayload{"Orvanta " + word + " START"}});
        others.push_back({region.endSeconds, kRegionMarkerPriority, MarkerPayload{"Orvanta " + word + " END"}});
    }
    auto comesBefore = [](const TimedMetaEvent& a, const TimedMetaEvent& b) {
        if (std::abs(a.seconds - b.seconds) > kSameTimeSeconds) {
            return a.seconds < b.seconds;
        }
        return a.priority < b.priority;
    };
    stableInsertionSort(others, comesBefore);

    // Every event lands on the editor's position: ramps are split at the events, at the start
    // of each Rubato span and at the editor's beats.
    std::vector<double> splitTimes;
    std::vector<Signature> signatures;
    for (const TimedMetaEvent& event : others) {
        splitTimes.push_back(event.seconds);
        if (const auto* meter = std::get_if<BeatloomMeterEvent>(&event.payload)) signatures.push_back({event.seconds, *meter});
    }
    for (const RubatoSpan& span : spans) splitTimes.push_back(span.start);
    const auto anchors = BeatloomTimeline::phaseAnchors(meterEvents, barAnchors, {}, barOneSeconds, segs, durationSeconds);
    for (Signature& signature : signatures) signature.bar = editorBarAt(anchors, segs, signature.seconds);
    const std::vector<double> beats = rampBeatTimes(segs, anchors);
    splitTimes.insert(splitTimes.end(), beats.begin(), beats.end());
    std::erase_if(splitTimes, [](double t) { return !std::isfinite(t); });
    std::sort(splitTimes.begin(), splitTimes.end());
    const std::vector<TempoEvent> tempo = exportedTempoEvents(
        points, segs, spans,
        spans.empty() ? std::vector<MeteredLine>{}
                      : meteredLines(points, meterEvents, barAnchors, barOneSeconds, pickupBarCount, regions,
                                     durationSeconds),
        signatures, splitTimes, durationSeconds);

    // The tempo events are sorted and come last among events at one time: merge the two lists.
    MetaEventPlan plan{tempo.front().bpm, meters.front(), {}};
    auto& events = plan.events;
    events.reserve(tempo.size() + others.size());
    std::size_t next = 0;
    for (const TempoEvent& event : tempo) {
        const TimedMetaEvent timed{event.seconds, kTempoPriority, TempoPayload{event.bpm}};
        while (next < others.size() && !comesBefore(timed, others[next])) events.push_back(others[next++]);
        events.push_back(timed);
    }
    events.insert(events.end(), others.begin() + static_cast<std::ptrdiff_t>(next), others.end());
    return plan;
}

}  // namespace TempoMIDIExporter
}  // namespace corvel
