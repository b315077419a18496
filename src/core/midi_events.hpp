#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "core/tempo_map_records.hpp"

// The timed events of the tempo-map file: tempo changes, time signatures and markers, built
// from the edited map and ordered as the file writes them (see midi_writer.hpp).

namespace corvel {

inline constexpr const char* kTempoMIDIExporterErrorDomain = "TempoMIDIExporterError";

// Why an export was refused. The message is the text the user sees.
class TempoMIDIExporterError : public ErrorException {
public:
    enum class Kind : std::int64_t { invalidTempo = 0, invalidMeter = 1, invalidTimeline = 2 };

    // "Cannot export invalid tempo 3.50 BPM."
    static TempoMIDIExporterError invalidTempo(double bpm);
    // "Cannot export invalid time signature 4/3."
    static TempoMIDIExporterError invalidMeter(std::int64_t numerator, std::int64_t denominator);
    // "Cannot export this tempo map because its timeline is invalid."
    static TempoMIDIExporterError invalidTimeline();

    Kind kind() const noexcept { return kind_; }
    double bpm() const noexcept { return bpm_; }
    std::int64_t numerator() const noexcept { return numerator_; }
    std::int64_t denominator() const noexcept { return denominator_; }

private:
    TempoMIDIExporterError(Kind kind, std::string message, double bpm, std::int64_t numerator,
                           std::int64_t denominator);
    Kind kind_;
    double bpm_ = 0;
    std::int64_t numerator_ = 0;
    std::int64_t denominator_ = 0;
};

namespace TempoMIDIExporter {

// Seconds of song time and the quarter notes per minute from that time on.
struct TempoEvent {
    double seconds = 0;
    double bpm = 0;
    friend bool operator==(const TempoEvent&, const TempoEvent&) = default;
};

struct TempoPayload {
    double bpm = 0;
    friend bool operator==(const TempoPayload&, const TempoPayload&) = default;
};
struct MarkerPayload {
    std::string text;
    friend bool operator==(const MarkerPayload&, const MarkerPayload&) = default;
};
using MetaPayload = std::variant<TempoPayload, BeatloomMeterEvent, MarkerPayload>;

// Lower priorities come first among events at the same time.
inline constexpr int kRegionMarkerPriority = 4;
inline constexpr int kPickupMarkerPriority = 5;
inline constexpr int kMeterPriority = 10;
inline constexpr int kRestatedMeterPriority = 11;
inline constexpr int kBarOneMarkerPriority = 12;
inline constexpr int kBarStartMarkerPriority = 13;
inline constexpr int kTempoPriority = 30;

struct TimedMetaEvent {
    double seconds = 0;
    int priority = 0;
    MetaPayload payload;
    friend bool operator==(const TimedMetaEvent&, const TimedMetaEvent&) = default;
};

// Everything the file writer needs: the tempo and meter at the head of the track and the
// sorted events after it.
struct MetaEventPlan {
    double firstBPM = 0;
    BeatloomMeterEvent headMeter;
    std::vector<TimedMetaEvent> events;
};

inline constexpr const char* kTrackName = "Orvanta Beatloom Tempo Map";
inline constexpr const char* kBarOneMarker = "Orvanta Bar 1";
inline constexpr const char* kBarStartMarker = "Orvanta Bar Start";
inline constexpr const char* kRejoinBarMarkerPrefix = "Orvanta Rejoin Bar ";

// A tempo is exportable when it is finite and its microseconds per quarter note,
// 60000000 / bpm, lie in 10000...16777215: about 3.5763 to 6000 BPM. The top end keeps
// the file's whole-microsecond tempo resolution within 0.005 % of the tempo; anything
// faster is not music but two anchors placed on top of each other. Throws invalidTempo.
void validateTempo(double bpm);

// The tempo events of the normalised tempo points up to the duration. A ramp is written as
// steps of 0.25 s (the last one shorter), each with the tempo that covers exactly the
// quarter notes of the timeline within the step, so nothing after a ramp drifts.
// Throws invalidTimeline for an empty map, a duration that is negative or not finite, a song
// longer than the file can count in ticks (0x0FFFFFFF) or ramps that would need more than
// half a million steps, all before any step is built; invalidTempo for a point or step tempo
// that validateTempo refuses.
std::vector<TempoEvent> tempoEvents(const std::vector<BeatloomTempoPoint>& tempoPoints, double durationSeconds);

// The tempo between consecutive positioned anchors of each effective Rubato region:
// 60 x quarters / seconds, standing at the earlier anchor. Pairs whose time or position
// does not grow by more than 1e-6 are skipped. Throws invalidTempo.
std::vector<TempoEvent> rubatoTempoEvents(const std::vector<BeatloomTimelineRegion>& regions,
                                          const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                          double durationSeconds);

// Sorted by time; an event within 1e-6 s of the last kept one replaces it, and an event
// whose BPM differs by less than 0.0001 from the last kept one is dropped.
std::vector<TempoEvent> mergedTempoEvents(std::vector<TempoEvent> events);

// Finite times clamped to 0...duration, ascending, with times less than 0.0005 s after
// the last kept one dropped.
std::vector<double> barStartTimes(std::vector<double> times, double durationSeconds);

// The marker text of a pickup of `count` bars: "Orvanta Pickup: 2 bars before Bar 1".
std::string pickupMarkerText(std::int64_t count);

// All events of the file in writing order. Every event, every Rubato span start and every
// beat of the editor's grid inside a ramp also splits the ramp's steps, so each lands on its
// quarter position. From the first to the last used anchor of a Rubato region only the Rubato
// tempo stands. One tempo leads in to the first anchor from the last bar or beat line the editor
// draws before it (a metered line, or the last anchor of a Rubato region just before), and one
// catches up from the last anchor to the first metered line after it, each landing on the beat
// and bar the editor shows there; from that line the metered tempo resumes, and after a span
// that no line follows its last tempo runs on to the end. With pickup bars, the meter is
// restated where the first whole pickup bar begins after 0 s. Throws what the operations above
// throw; invalidTempo also when a join would need a tempo no file can hold, and invalidTimeline
// when no tempo event is left.
MetaEventPlan metaEvents(const std::vector<BeatloomTempoPoint>& tempoPoints,
                         const std::vector<BeatloomMeterEvent>& meterEvents,
                         const std::vector<BeatloomBarAnchor>& barAnchors, std::optional<double> barOneSeconds,
                         std::int64_t pickupBarCount, const std::vector<BeatloomTimelineRegion>& timelineRegions,
                         const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors, double durationSeconds);

}  // namespace TempoMIDIExporter
}  // namespace corvel
