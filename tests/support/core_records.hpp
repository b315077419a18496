#pragma once

#include <cstdint>
#include <optional>

#include "core/tempo_map_records.hpp"

// Short makers for the tempo-map records the core tests build again and again; each record
// gets a fresh id, full confidence and is unlocked.
namespace corvel::testing {

inline BeatloomTempoPoint tempoPoint(double time, double bpm, bool ramp = false) {
    return BeatloomTempoPoint{Uuid::random(), time, bpm, 1.0, ramp};
}

inline BeatloomMeterEvent meter(double time, std::int64_t numerator, std::int64_t denominator) {
    return BeatloomMeterEvent{Uuid::random(), time, numerator, denominator};
}

inline BeatloomBarAnchor barAnchor(double time, std::optional<std::int64_t> override = std::nullopt) {
    return BeatloomBarAnchor{Uuid::random(), time, override};
}

inline BeatloomTimelineRegion region(double start, double end,
                                     BeatloomTimelineMode mode = BeatloomTimelineMode::rubato) {
    return BeatloomTimelineRegion{Uuid::random(), start, end, mode, false};
}

inline BeatloomRhythmicAnchor rhythmicAnchor(const BeatloomTimelineRegion& owner, double time,
                                             std::optional<double> quarter,
                                             std::optional<BeatloomMusicalPosition> position = std::nullopt,
                                             BeatloomRhythmicAnchorKind kind = BeatloomRhythmicAnchorKind::beat) {
    return BeatloomRhythmicAnchor{Uuid::random(), owner.id, time, quarter, position, kind,
                                  BeatloomRhythmicAnchorSource::manual, 1.0, false};
}

}  // namespace corvel::testing
