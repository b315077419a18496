#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/tempo_map_records.hpp"
#include "core/timeline_segments.hpp"

// Where bars begin and what they are called. Bar 1, the locked downbeats (some of which restart
// the bar count), the time-signature changes and the phase locks become phase anchors: points
// where a bar is known to start, each with its quarter position, bar number and meter. Between
// two anchors the grid counts beats of the earlier anchor's meter from its quarter.

namespace corvel::BeatloomTimeline {

// A point where bar counting is pinned. Rebuilt from the edited map on every use.
struct PhaseAnchor {
    double timeSeconds = 0;
    // Quarter position of the bar start that the anchor pins: the position at timeSeconds for a
    // bar boundary, earlier for a phase lock that sits inside a bar.
    double quarter = 0;
    std::int64_t barNumber = 1;  // 0 and below are pickup bars
    BeatloomMeterEvent meter;    // the meter in force at timeSeconds
    bool emitDownbeatAtAnchor = true;  // the anchor's own time is a downbeat
    friend bool operator==(const PhaseAnchor&, const PhaseAnchor&) = default;
};

// Bar boundaries (Bar 1, bar anchors, meter changes after the first) closer than this fall
// together, the earliest one kept; a phase lock this close to an anchor replaces it.
inline constexpr double kBoundaryMergeSeconds = 0.0005;
// A bar-number override pins the nearest boundary only when it lies closer than this.
inline constexpr double kOverridePinSeconds = 0.001;

// The phase anchors of a song, sorted by time. `segments` must come from the same tempo map and
// duration. An absent or NaN Bar 1 counts as 0 s; a negative or NaN duration counts as 0.
std::vector<PhaseAnchor> phaseAnchors(const std::vector<BeatloomMeterEvent>& meterEvents,
                                      const std::vector<BeatloomBarAnchor>& barAnchors,
                                      const std::vector<BeatloomPhaseLock>& phaseLocks,
                                      std::optional<double> barOneSeconds, const std::vector<Segment>& segments,
                                      double duration);

// Index of the anchor that governs a time: the last one at or before max(t, 0) + 1e-6 s, the
// first one for earlier times (a NaN time counts as 0). Absent for no anchors.
std::optional<std::size_t> phaseAnchorIndex(const std::vector<PhaseAnchor>& anchors, double seconds);

// Whole bars, in the meter in force at the later time, from the earlier time up to the later
// one (clamped to the audio); a partial bar counts as a bar. 0 when the later time is not after
// the earlier one or the duration is not positive.
std::int64_t barsBetween(const std::vector<BeatloomTempoPoint>& tempoPoints,
                         const std::vector<BeatloomMeterEvent>& meterEvents, double duration, double laterSeconds,
                         double earlierSeconds);

// The fewest whole bars of Bar 1's meter that reach from Bar 1 back to (or past) the start of
// the audio.
std::int64_t pickupBarsBeforeBarOne(const std::vector<BeatloomTempoPoint>& tempoPoints,
                                    const std::vector<BeatloomMeterEvent>& meterEvents, double duration,
                                    double barOneSeconds);

}  // namespace corvel::BeatloomTimeline
