#include "core/midi_events.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/format.hpp"
#include "common/numeric.hpp"
#include "common/ordering.hpp"
#include "core/flexible_timeline.hpp"
#include "core/meter_map.hpp"
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

// The Rubato tempo of one effective region: from its first used anchor to its last, the
// events between consecutive anchors replace the metered tempo.
struct RubatoSpan {
    double start = 0;
    double end = 0;
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

// The tempo events of the whole file: the metered events outside every Rubato span, the
// Rubato events, and at the end of each span the metered tempo that covers the stretch up
// to the next metered event.
std::vector<TempoEvent> exportedTempoEvents(const std::vector<BeatloomTempoPoint>& tempoPoints,
                                            const std::vector<BeatloomTimelineRegion>& regions,
                                            const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                            double durationSeconds) {
    const std::vector<TempoEvent> metered = tempoEvents(tempoPoints, durationSeconds);
    const std::vector<RubatoSpan> spans = rubatoSpans(regions, rhythmicAnchors, durationSeconds);
    auto insideAnySpan = [&](double seconds, const RubatoSpan* except) {
        return std::any_of(spans.begin(), spans.end(), [&](const RubatoSpan& span) {
            return &span != except && insideSpan(span, seconds);
        });
    };

    std::vector<TempoEvent> events;
    for (const TempoEvent& event : metered) {
        if (!insideAnySpan(event.seconds, nullptr)) {
            events.push_back(event);
        }
    }
    const std::size_t meteredCount = events.size();
    const auto segs = BeatloomTimeline::segments(tempoPoints, durationSeconds);
    for (const RubatoSpan& span : spans) {
        events.insert(events.end(), span.events.begin(), span.events.end());
        if (insideAnySpan(span.end, &span)) {
            continue;  // another span takes over right there
        }
        double next = durationSeconds;
        for (std::size_t i = 0; i < meteredCount; ++i) {
            if (events[i].seconds > span.end + kSameTimeSeconds) {
                next = events[i].seconds;
                break;
            }
        }
        double bpm = bpmAt(tempoPoints, span.end, metered.front().bpm);
        if (next - span.end > kSameTimeSeconds) {
            bpm = coveringTempo(segs, span.end, next);
        }
        validateTempo(bpm);
        events.push_back({span.end, bpm});
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
    auto clampedTime = [&](double t) { return clampOr(t, 0, durationSeconds, 0); };

    std::vector<TempoEvent> events;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const BeatloomTempoPoint& point = points[i];
        validateTempo(point.bpm);
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
        // Steps of 0.25 s; the ramp's end gets the next point's own event.
        std::vector<double> bounds{t0};
        for (double step = 1;; ++step) {
            const double s = t0 + step * kRampStepSeconds;
            if (!(s < end - kSameTimeSeconds)) break;
            bounds.push_back(s);
        }
        bounds.push_back(end);
        for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
            const double bpm = coveringTempo(segs, bounds[k], bounds[k + 1]);
            validateTempo(bpm);
            events.push_back({bounds[k], bpm});
        }
    }
    std::vector<TempoEvent> merged = mergedTempoEvents(std::move(events));
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
    const std::vector<TempoEvent> tempo =
        exportedTempoEvents(tempoPoints, timelineRegions, rhythmicAnchors, durationSeconds);
    const std::vector<BeatloomMeterEvent> meters = normalizedMeterEvents(meterEvents, durationSeconds);
    if (meters.empty()) {
        throw TempoMIDIExporterError::invalidTimeline();
    }

    MetaEventPlan plan{tempo.front().bpm, meters.front(), {}};
    auto& events = plan.events;
    for (const TempoEvent& event : tempo) {
        events.push_back({event.seconds, kTempoPriority, TempoPayload{event.bpm}});
    }
    for (const BeatloomMeterEvent& meter : meters) {
        events.push_back({meter.timeSeconds, kMeterPriority, meter});
    }
    if (pickupBarCount >= 1) {
        events.push_back({0.0, kPickupMarkerPriority, MarkerPayload{pickupMarkerText(pickupBarCount)}});
    }
    if (barOneSeconds && std::isfinite(*barOneSeconds) && *barOneSeconds > kBarMergeDistance &&
        *barOneSeconds <= durationSeconds) {
        events.push_back({*barOneSeconds, kRestatedMeterPriority,
                          BeatloomTimeline::meterInForceAmongNormalized(meters, *barOneSeconds)});
        events.push_back({*barOneSeconds, kBarOneMarkerPriority, MarkerPayload{kBarOneMarker}});
    }
    std::vector<double> anchorTimes;
    for (const BeatloomBarAnchor& anchor : normalizedBarAnchors(barAnchors, durationSeconds)) {
        anchorTimes.push_back(anchor.timeSeconds);
    }
    for (double t : barStartTimes(anchorTimes, durationSeconds)) {
        events.push_back({t, kRestatedMeterPriority, BeatloomTimeline::meterInForceAmongNormalized(meters, t)});
        std::string text = kBarStartMarker;
        const auto named = std::find_if(barAnchors.begin(), barAnchors.end(), [&](const BeatloomBarAnchor& anchor) {
            return std::abs(anchor.timeSeconds - t) < kBarMergeDistance;
        });
        if (named != barAnchors.end() && named->barNumberOverride) {
            text = kRejoinBarMarkerPrefix + formatInteger(*named->barNumberOverride);
        }
        events.push_back({t, kBarStartMarkerPriority, MarkerPayload{std::move(text)}});
    }
    const auto regions = BeatloomFlexibleTimeline::normalizedRegions(timelineRegions, durationSeconds);
    for (const BeatloomTimelineRegion& region : regions) {
        const std::string word = region.mode == BeatloomTimelineMode::free ? "FREE" : "RUBATO";
        events.push_back({region.startSeconds, kRegionMarkerPriority, MarkerPayload{"Orvanta " + word + " START"}});
        events.push_back({region.endSeconds, kRegionMarkerPriority, MarkerPayload{"Orvanta " + word + " END"}});
    }

    stableInsertionSort(events, [](const TimedMetaEvent& a, const TimedMetaEvent& b) {
        if (std::abs(a.seconds - b.seconds) > kSameTimeSeconds) {
            return a.seconds < b.seconds;
        }
        return a.priority < b.priority;
    });
    return plan;
}

}  // namespace TempoMIDIExporter
}  // namespace corvel
