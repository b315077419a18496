#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/tempo_map_records.hpp"

// The continuous musical axis: the song cut into tempo segments, one per tempo point, and the
// conversions between audio time and quarter position across steps and linear ramps; the
// beat and bar lengths of a time signature and the meter in force at a time.

namespace corvel {

// Quotient rounded towards minus infinity, so a - b * quotient lies in 0...b - 1. The divisor
// is meant to be at least 1 (beats per bar); a smaller one counts as 1.
std::int64_t floorDivide(std::int64_t dividend, std::int64_t divisor);

}  // namespace corvel

namespace corvel::BeatloomTimeline {

// One piece of the quarter-note axis, from a tempo point to the next one or to the end of the
// audio. Segments follow each other without gaps in time and in quarters, starting at 0 s and
// quarter 0; tempo points that coincide after clamping give zero-length segments.
struct Segment {
    double startTime = 0;
    double endTime = 0;
    double startBPM = 120;  // at least 1
    double endBPM = 120;    // equals startBPM unless linear
    bool linear = false;    // the BPM runs in a straight line from startBPM to endBPM
    double startQuarter = 0;
    double endQuarter = 0;
    friend bool operator==(const Segment&, const Segment&) = default;
};

// One segment per point of the normalised tempo map, covering 0...duration. An empty map, or a
// duration that is negative or NaN, gives no segments. A BPM below 1 or not finite counts as 1.
std::vector<Segment> segments(const std::vector<BeatloomTempoPoint>& tempoPoints, double duration);

// Quarter position at a time. Before the map it extrapolates backwards at the first tempo
// (negative positions); after the end of the audio it stays at the last position. No segments: 0.
double quarterPosition(const std::vector<Segment>& segments, double seconds);

// The time of a quarter position, the inverse of quarterPosition. Positions before 0 extrapolate
// backwards at the first tempo; positions past the end map to the end of the audio. Absent for
// no segments, a NaN position, or a time that is not finite.
std::optional<double> seconds(const std::vector<Segment>& segments, double quarterPosition);

// Beat length and beats per bar of a time signature. Compound meters (x/8 with x at least 6
// and divisible by 3) count dotted-quarter beats; every other meter counts its written note
// value (a denominator below 1 counts as a whole note).
struct MeterRule {
    double beatLengthQuarters = 1;
    std::int64_t beatsPerBar = 4;  // at least 1
    double barLengthQuarters() const { return beatLengthQuarters * static_cast<double>(beatsPerBar); }
    friend bool operator==(const MeterRule&, const MeterRule&) = default;
};

MeterRule meterRule(std::int64_t numerator, std::int64_t denominator);
MeterRule meterRule(const BeatloomMeterEvent& meter);

// A bar.beat position's fraction of a beat stays below this, so that it never reads as the
// next beat.
inline constexpr double kLargestBeatFraction = 0.999999;

// The bar.beat `beatsAway` whole beats on (back, when negative) from a bar.beat, in bars of
// `beatsPerBar` beats (fewer than 1 count as 1); its fraction of a beat is 0. Bar numbers stop
// at the ends of their range.
BeatloomMusicalPosition countedOn(const BeatloomMusicalPosition& from, std::int64_t beatsAway,
                                  std::int64_t beatsPerBar);

// The bar, beat and fraction of a beat `beats` beats on from a bar.beat (whose own fraction is
// not counted). Whole beats count by floor, so that before the bar.beat the count runs backwards
// through whole beats and the fraction stays the distance past the beat line; a count within
// `guard` below a whole beat reaches it. The fraction lies in 0 ... kLargestBeatFraction (NaN
// beats: none, and no fraction).
BeatloomMusicalPosition countedPosition(const BeatloomMusicalPosition& from, double beats, std::int64_t beatsPerBar,
                                        double guard = 1e-9);

// The meter in force at a time among meter events that are already normalised and not empty:
// the last event at or before t + 1e-6 s, the first event when none is. A negative or NaN time
// counts as 0. Returns the default 4/4 at 0 s for an empty list.
BeatloomMeterEvent meterInForceAmongNormalized(const std::vector<BeatloomMeterEvent>& normalizedMeterEvents,
                                               double seconds);

// The meter in force at a time: the meter events are normalised with the audio duration first.
BeatloomMeterEvent meterInForce(const std::vector<BeatloomMeterEvent>& meterEvents, double duration,
                                double seconds);

}  // namespace corvel::BeatloomTimeline
