#include "core/midi_events.hpp"

#include <cmath>
#include <utility>

#include "common/format.hpp"
#include "common/ordering.hpp"

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

constexpr double kTimeTolerance = 0.000001;
constexpr double kBarMergeDistance = 0.0005;
constexpr double kSameBPM = 0.0001;
constexpr double kMinMicrosecondsPerQuarter = 10000;
constexpr double kMaxMicrosecondsPerQuarter = 16777215;

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
        } else if (std::abs(event.seconds - kept.back().seconds) < kTimeTolerance) {
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

}  // namespace TempoMIDIExporter
}  // namespace corvel
