#include "core/midi_events.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/format.hpp"
#include "common/numeric.hpp"
#include "common/ordering.hpp"
#include "core/flexible_timeline.hpp"
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

// The Rubato tempo of one effective region: from its first used anchor to its last, the
// events between consecutive anchors replace the metered tempo.
struct RubatoSpan {
    double start = 0;
    double end = 0;
    double quarters = 0;  // what the span's events add to the file's position
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
            }
            span.events.push_back({a.audioTimeSeconds, bpm});
            span.end = b.audioTimeSeconds;
            span.quarters += dq;
        }
        if (!span.events.empty()) {
            spans.push_back(std::move(span));
        }
    }
    return spans;
}

bool insideSpan(const RubatoSpan& span, double seconds) {
    return seconds >= span.start - kSameTimeSeconds && seconds <= span.end + kSameTimeSeconds;
}

bool isExportableTempo(double bpm) {
    try {
        validateTempo(bpm);
        return true;
    } catch (const TempoMIDIExporterError&) {
        return false;
    }
}

// The tempo events of the whole file: the metered events outside every Rubato span and the
// Rubato events. After a span the file stands at the span's own quarters, which need not be
// the editor's. From the span's end to the next landmark where the editor's metered grid shows
// again (a meter, marker or region end, a metered tempo event outside every region, or the
// song's end) the tempo that reaches the editor's quarter there is written, and from that
// landmark on the metered tempo resumes. When the editor's quarter there lies too close
// behind, a later landmark is taken; when none can be reached, invalidTempo.
std::vector<TempoEvent> exportedTempoEvents(const std::vector<BeatloomTempoPoint>& points,
                                            const std::vector<BeatloomTimeline::Segment>& segs,
                                            const std::vector<RubatoSpan>& spans,
                                            const std::vector<BeatloomTimelineRegion>& effectiveRegions,
                                            const std::vector<double>& landmarks,
                                            const std::vector<double>& sortedSplitTimes, double durationSeconds) {
    const std::vector<TempoEvent> metered = steppedTempoEvents(points, segs, sortedSplitTimes, durationSeconds);
    auto insideAnySpan = [&](double seconds, const RubatoSpan* except) {
        return std::any_of(spans.begin(), spans.end(), [&](const RubatoSpan& span) {
            return &span != except && insideSpan(span, seconds);
        });
    };
    auto insideAnyRegion = [&](double seconds) {
        return std::any_of(effectiveRegions.begin(), effectiveRegions.end(), [&](const BeatloomTimelineRegion& r) {
            return seconds >= r.startSeconds - kSameTimeSeconds && seconds < r.endSeconds - kSameTimeSeconds;
        });
    };
    std::vector<TempoEvent> kept;
    for (const TempoEvent& event : metered) {
        if (!insideAnySpan(event.seconds, nullptr)) kept.push_back(event);
    }

    struct Bridge {
        double from = 0;
        double to = 0;
        double bpm = 0;
    };
    std::vector<Bridge> bridges;
    for (const RubatoSpan& span : spans) {
        if (insideAnySpan(span.end, &span)) {
            continue;  // another span takes over right there
        }
        std::vector<double> targets{durationSeconds};
        for (const TempoEvent& event : kept) {
            if (!insideAnyRegion(event.seconds)) targets.push_back(event.seconds);
        }
        targets.insert(targets.end(), landmarks.begin(), landmarks.end());
        std::erase_if(targets, [&](double t) { return !(t > span.end + kSameTimeSeconds) || insideAnySpan(t, &span); });
        std::sort(targets.begin(), targets.end());
        if (targets.empty()) {
            continue;  // the span reaches the song's end
        }
        const double reached = BeatloomTimeline::quarterPosition(segs, span.start) + span.quarters;
        Bridge bridge{span.end, 0, 0};
        for (double t : targets) {
            bridge.to = t;
            bridge.bpm = (BeatloomTimeline::quarterPosition(segs, t) - reached) * 60 / (t - span.end);
            if (isExportableTempo(bridge.bpm)) break;
        }
        validateTempo(bridge.bpm);
        bridges.push_back(bridge);
    }

    // A bridge replaces the metered tempo up to its landmark, where the metered tempo resumes.
    std::vector<TempoEvent> events;
    for (const TempoEvent& event : kept) {
        const bool bridged = std::any_of(bridges.begin(), bridges.end(), [&](const Bridge& bridge) {
            return event.seconds > bridge.from - kSameTimeSeconds && event.seconds < bridge.to - kSameTimeSeconds;
        });
        if (!bridged) events.push_back(event);
    }
    for (const RubatoSpan& span : spans) {
        events.insert(events.end(), span.events.begin(), span.events.end());
    }
    for (const Bridge& bridge : bridges) {
        events.push_back({bridge.from, bridge.bpm});
        const bool meteredEventThere = std::any_of(kept.begin(), kept.end(), [&](const TempoEvent& event) {
            return std::abs(event.seconds - bridge.to) < kSameTimeSeconds;
        });
        if (meteredEventThere || !(bridge.to < durationSeconds - kSameTimeSeconds)) continue;
        double next = durationSeconds;
        for (const TempoEvent& event : kept) {
            if (event.seconds > bridge.to + kSameTimeSeconds) {
                next = event.seconds;
                break;
            }
        }
        for (const RubatoSpan& span : spans) {
            if (span.start > bridge.to + kSameTimeSeconds) next = std::min(next, span.start);
        }
        const double bpm = coveringTempo(segs, bridge.to, next);
        validateTempo(bpm);
        events.push_back({bridge.to, bpm});
    }

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
    std::vector<double> landmarks;
    for (const TimedMetaEvent& event : others) landmarks.push_back(event.seconds);
    std::vector<double> splitTimes = landmarks;
    for (const RubatoSpan& span : spans) splitTimes.push_back(span.start);
    const auto anchors = BeatloomTimeline::phaseAnchors(meterEvents, barAnchors, {}, barOneSeconds, segs, durationSeconds);
    const std::vector<double> beats = rampBeatTimes(segs, anchors);
    splitTimes.insert(splitTimes.end(), beats.begin(), beats.end());
    std::erase_if(splitTimes, [](double t) { return !std::isfinite(t); });
    std::sort(splitTimes.begin(), splitTimes.end());
    const std::vector<TempoEvent> tempo =
        exportedTempoEvents(points, segs, spans, regions, landmarks, splitTimes, durationSeconds);

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
