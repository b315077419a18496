#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/uuid.hpp"
#include "core/tempo_map_records.hpp"
#include "core/time_tolerances.hpp"

// The tempo map as a list of tempo points: its canonical form, the BPM in force at a time,
// the validation messages that block an export, and the edits the tempo editor offers.
// Every function is pure. An edit that is refused returns std::nullopt and the caller
// reports it; an accepted edit returns the new normalised map.

namespace corvel {

using TempoPoints = std::vector<BeatloomTempoPoint>;

namespace tempo_limits {
inline constexpr double orderTie = kSameTimeSeconds;  // times this close count as the same
inline constexpr double mergeDistance = 0.0005;     // closer points fall together
inline constexpr double editMargin = kMarkerSpacingSeconds;  // distance kept by move, insert and merge
inline constexpr double tooCloseThreshold = 0.019999;
inline constexpr double minimumBPM = 30;
inline constexpr double maximumBPM = 300;
inline constexpr double minimumRange = 0.04;        // shortest audio to insert into, shortest merged range
inline constexpr double mergedConfidenceFloor = 0.01;
}  // namespace tempo_limits

inline constexpr std::string_view kTempoIssueBPMOutOfRange = "BPM is outside the supported Beatloom range";
inline constexpr std::string_view kTempoIssueOutsideAudio = "Tempo change lies outside the audio";
inline constexpr std::string_view kTempoIssueTooClose = "Tempo changes are too close together";
inline constexpr std::string_view kTempoIssueEmptyMap = "Tempo map is empty";

// True when the BPM is finite and within the supported 30...300 range.
bool isSupportedBPM(double bpm);

// The tempo-point order: earlier time first; times within 0.000001 s tie and are ordered by
// the upper-case text of their ids.
bool tempoPointComesBefore(const BeatloomTempoPoint& a, const BeatloomTempoPoint& b);

// Sorted, first point at exactly 0 s, no two points closer than 0.0005 s (the later one of a
// close run survives whole), last point without a ramp. Points with a NaN time cannot be
// ordered; they are kept, in input order, after all others so that validation reports them.
TempoPoints normalizedTempoPoints(TempoPoints points);

// BPM in force at a time over the normalised map, following linear ramps. Times before 0 s
// and NaN count as 0 s. An empty map gives the fallback.
double bpmAt(const TempoPoints& points, double timeSeconds, double fallbackBPM);

// Id of the point in force at a time (the first point for earlier times); none for an empty map.
std::optional<Uuid> governingTempoPointID(const TempoPoints& points, double timeSeconds);

// Messages that block an export, each at most once, in ascending character order.
std::vector<std::string> tempoMapIssues(const TempoPoints& points, double audioDurationSeconds);

std::optional<TempoPoints> settingTempoPointBPM(const TempoPoints& points, const Uuid& id, double bpm);

// Multiplies the BPM of the point in force at the time (double and half tempo).
std::optional<TempoPoints> scalingTempoAt(const TempoPoints& points, double timeSeconds, double factor);

// Moves a point, keeping 0.02 s from its neighbours and from the audio end; the point at the
// song start never moves.
std::optional<TempoPoints> movingTempoPoint(const TempoPoints& points, const Uuid& id, double timeSeconds,
                                            double audioDurationSeconds);

std::optional<TempoPoints> deletingTempoPoint(const TempoPoints& points, const Uuid& id);

// Ramp on only where a next point exists.
std::optional<TempoPoints> settingTempoPointRamp(const TempoPoints& points, const Uuid& id, bool on);

// Inserts a point with the BPM in force there; inside a ramp the ramp is split in two. A
// time within 0.02 s of an existing point gives the unchanged normalised map.
std::optional<TempoPoints> insertingTempoPoint(const TempoPoints& points, double timeSeconds,
                                               double audioDurationSeconds);

// Replaces the tempo inside [start, end] by a re-analysis of that range. Nothing outside the
// range changes: every old point outside it stays, and bpmAt gives the old value at every time
// before start and after end. Inside the range, within 0.02 s of its edges, the old tempo may
// run on where an old point or ramp leaves no room for the re-analysed one. None when the range
// is shorter than 0.04 s or cannot hold the re-analysed tempo between those seams.
std::optional<TempoPoints> mergingReanalyzedRange(const TempoPoints& points, const TempoPoints& reanalyzed,
                                                  double rangeStartSeconds, double rangeEndSeconds,
                                                  double audioDurationSeconds);

// Analyser output cleaned for merging: only finite times with supported BPMs, sorted, close
// points merged, no ramp on the last point. The first point is not moved to 0 s.
TempoPoints sanitizedAnalyzerTempoPoints(TempoPoints points);

// BPM in force over a list sorted by time alone (no normalisation, time not clamped).
double bpmAtSorted(const TempoPoints& points, double timeSeconds, double fallbackBPM);

}  // namespace corvel
