#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/midi_events.hpp"
#include "core/tempo_map_records.hpp"

// The tempo map as a Standard MIDI File: format 0, one track, 960 ticks per quarter note,
// meta events only (track name, time signatures, tempos, markers, end of track).

namespace corvel::TempoMIDIExporter {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t kTicksPerQuarter = 960;
// The largest value a variable-length quantity may carry: four bytes of seven bits.
inline constexpr std::uint64_t kMaxVariableLengthQuantity = 0x0FFFFFFF;

// The whole file for the edited map. Throws TempoMIDIExporterError; nothing is returned
// after an error.
Bytes midiData(const std::vector<BeatloomTempoPoint>& tempoPoints, const std::vector<BeatloomMeterEvent>& meterEvents,
               const std::vector<BeatloomBarAnchor>& barAnchors, std::optional<double> barOneSeconds,
               std::int64_t pickupBarCount, const std::vector<BeatloomTimelineRegion>& timelineRegions,
               const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors, double durationSeconds);

// Writes prepared events: the head, every event inside -1e-6...duration + 1e-6 with its
// delta-time, and the end of track at the duration. The tick position of every event is
// rounded from its exact position, so rounding never adds up over the file. Each tempo is
// written with the whole microseconds that make the seconds a reader counts at the following
// ticks match the song's time (restated where one stretch is long enough to drift otherwise).
// Throws invalidTempo, invalidMeter, and invalidTimeline for a track longer than a four-byte
// delta-time can count.
Bytes fileBytes(const MetaEventPlan& plan, double durationSeconds);

// Appends the value in 7-bit groups, most significant first, bit 7 set on all but the last
// byte. A value above 0x0FFFFFFF throws invalidTimeline and appends nothing.
void variableLengthQuantity(Bytes& bytes, std::uint64_t value);

// FF 58 04 nn dd cc 08. Throws invalidMeter, appending nothing, for an invalid signature.
void timeSignatureEvent(Bytes& bytes, const BeatloomMeterEvent& meter);

// FF 51 03 and the microseconds per quarter note. Throws invalidTempo, appending nothing.
void tempoMetaEvent(Bytes& bytes, double bpm);

void appendUInt32BigEndian(Bytes& bytes, std::uint32_t value);
void appendUInt16BigEndian(Bytes& bytes, std::uint16_t value);

// round(seconds x bpm x 960 / 60); 0 for seconds or bpm not above 0; saturates.
std::uint64_t ticks(double seconds, double bpm);

// log2 of a power of two from 1 up; nothing for anything else.
std::optional<std::uint8_t> denominatorPower(std::int64_t denominator);

}  // namespace corvel::TempoMIDIExporter
