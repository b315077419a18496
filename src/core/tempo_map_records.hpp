#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "common/hashing.hpp"
#include "common/uuid.hpp"
#include "core/raw_enum.hpp"

// The value records of a tempo map. Times are seconds from the start of the audio; BPM counts
// quarter notes per minute; quarter positions count quarter notes on the musical grid. Every
// record compares field by field (a NaN field never equals itself) and hashes the same fields.

namespace corvel {

enum class BeatloomTimelineMode { metered, rubato, free };
enum class BeatloomRhythmicAnchorKind { freeReference, beat, downbeat, rejoin };
enum class BeatloomRhythmicAnchorSource { automatic, manual };
enum class BeatloomGridFitAnchorSource { automatic, manual };
enum class BeatloomGridResolution { quarter, eighth, sixteenth, eighthTriplet };
enum class BeatloomFreeTimeClickMode { off, anchorOnly };

template <>
struct RawEnumCases<BeatloomTimelineMode> {
    static constexpr std::array<std::pair<BeatloomTimelineMode, std::string_view>, 3> cases{{
        {BeatloomTimelineMode::metered, "metered"},
        {BeatloomTimelineMode::rubato, "rubato"},
        {BeatloomTimelineMode::free, "free"},
    }};
};
template <>
struct RawEnumCases<BeatloomRhythmicAnchorKind> {
    static constexpr std::array<std::pair<BeatloomRhythmicAnchorKind, std::string_view>, 4> cases{{
        {BeatloomRhythmicAnchorKind::freeReference, "freeReference"},
        {BeatloomRhythmicAnchorKind::beat, "beat"},
        {BeatloomRhythmicAnchorKind::downbeat, "downbeat"},
        {BeatloomRhythmicAnchorKind::rejoin, "rejoin"},
    }};
};
template <>
struct RawEnumCases<BeatloomRhythmicAnchorSource> {
    static constexpr std::array<std::pair<BeatloomRhythmicAnchorSource, std::string_view>, 2> cases{{
        {BeatloomRhythmicAnchorSource::automatic, "automatic"},
        {BeatloomRhythmicAnchorSource::manual, "manual"},
    }};
};
template <>
struct RawEnumCases<BeatloomGridFitAnchorSource> {
    static constexpr std::array<std::pair<BeatloomGridFitAnchorSource, std::string_view>, 2> cases{{
        {BeatloomGridFitAnchorSource::automatic, "automatic"},
        {BeatloomGridFitAnchorSource::manual, "manual"},
    }};
};
template <>
struct RawEnumCases<BeatloomGridResolution> {
    static constexpr std::array<std::pair<BeatloomGridResolution, std::string_view>, 4> cases{{
        {BeatloomGridResolution::quarter, "1/4"},
        {BeatloomGridResolution::eighth, "1/8"},
        {BeatloomGridResolution::sixteenth, "1/16"},
        {BeatloomGridResolution::eighthTriplet, "1/8T"},
    }};
};
template <>
struct RawEnumCases<BeatloomFreeTimeClickMode> {
    static constexpr std::array<std::pair<BeatloomFreeTimeClickMode, std::string_view>, 2> cases{{
        {BeatloomFreeTimeClickMode::off, "off"},
        {BeatloomFreeTimeClickMode::anchorOnly, "anchorOnly"},
    }};
};

// One tempo change. A normalised map is sorted, starts at exactly 0 s, keeps at least 0.0005 s
// between neighbours and its last point never ramps.
struct BeatloomTempoPoint {
    Uuid id = Uuid::random();
    double timeSeconds = 0;
    double bpm = 120;
    double confidence = 1;
    bool linearToNext = false;  // the BPM ramps linearly to the next point's BPM
    friend bool operator==(const BeatloomTempoPoint&, const BeatloomTempoPoint&) = default;
};

// A time-signature change; valid numerators 1 to 32, denominators 1, 2, 4, 8 or 16.
struct BeatloomMeterEvent {
    Uuid id = Uuid::random();
    double timeSeconds = 0;
    std::int64_t numerator = 4;
    std::int64_t denominator = 4;
    friend bool operator==(const BeatloomMeterEvent&, const BeatloomMeterEvent&) = default;
};

// A locked downbeat: a bar start pinned to an audio time, optionally restarting the count.
struct BeatloomBarAnchor {
    Uuid id = Uuid::random();
    double timeSeconds = 0;
    std::optional<std::int64_t> barNumberOverride;
    friend bool operator==(const BeatloomBarAnchor&, const BeatloomBarAnchor&) = default;
};

// Pins a musical position to an audio time so a tempo edit keeps the grid's phase there.
struct BeatloomPhaseLock {
    Uuid id = Uuid::random();
    double timeSeconds = 0;
    std::int64_t bar = 1;
    std::int64_t beat = 1;
    double fractionOfBeat = 0;
    std::optional<Uuid> sourceTempoPointID;
    friend bool operator==(const BeatloomPhaseLock&, const BeatloomPhaseLock&) = default;
};

struct BeatloomMusicalPosition {
    std::int64_t bar = 1;
    std::int64_t beat = 1;
    double fractionOfBeat = 0;
    friend bool operator==(const BeatloomMusicalPosition&, const BeatloomMusicalPosition&) = default;
};

// A beat line placed on a transient, as input to the Grid Fit solver.
struct BeatloomGridFitAnchor {
    Uuid id = Uuid::random();
    double quarterPosition = 0;
    double timeSeconds = 0;
    std::optional<std::int64_t> barNumber;
    std::optional<std::int64_t> beatNumber;
    bool isDownbeat = false;
    BeatloomGridFitAnchorSource source = BeatloomGridFitAnchorSource::manual;
    bool isLocked = false;
    friend bool operator==(const BeatloomGridFitAnchor&, const BeatloomGridFitAnchor&) = default;

    // "5.2" with bar and beat known, else "1" for a downbeat and "Beat" otherwise.
    std::string displayLabel() const;
};

// A span of the song whose grid is not metered.
struct BeatloomTimelineRegion {
    Uuid id = Uuid::random();
    double startSeconds = 0;
    double endSeconds = 0;
    BeatloomTimelineMode mode = BeatloomTimelineMode::free;
    bool isLocked = false;
    friend bool operator==(const BeatloomTimelineRegion&, const BeatloomTimelineRegion&) = default;
};

// An anchor inside a Free Time or Rubato region.
struct BeatloomRhythmicAnchor {
    Uuid id = Uuid::random();
    Uuid regionID;
    double audioTimeSeconds = 0;
    std::optional<double> quarterPosition;  // Rubato anchors only
    std::optional<BeatloomMusicalPosition> musicalPosition;
    BeatloomRhythmicAnchorKind kind = BeatloomRhythmicAnchorKind::beat;
    BeatloomRhythmicAnchorSource source = BeatloomRhythmicAnchorSource::manual;
    double confidence = 1;
    bool isLocked = false;
    friend bool operator==(const BeatloomRhythmicAnchor&, const BeatloomRhythmicAnchor&) = default;

    // "12.3" with a musical position, else the kind's word ("Anchor", "Beat", "Downbeat", "Rejoin").
    std::string displayLabel() const;
};

struct BeatloomLockedRange {
    Uuid id = Uuid::random();
    double startSeconds = 0;
    double endSeconds = 0;
    friend bool operator==(const BeatloomLockedRange&, const BeatloomLockedRange&) = default;
};

struct BeatloomTimeRange {
    double startSeconds = 0;
    double endSeconds = 0;
    friend bool operator==(const BeatloomTimeRange&, const BeatloomTimeRange&) = default;
};

struct BeatloomTempoCandidate {
    Uuid id = Uuid::random();
    double bpm = 0;
    double score = 0;
    friend bool operator==(const BeatloomTempoCandidate&, const BeatloomTempoCandidate&) = default;
};

// The whole-file analysis as the editor receives it.
struct BeatloomResult {
    std::string fileName;
    double bpm = 0;
    double confidence = 0;
    double durationSeconds = 0;
    bool isVariableTempo = false;
    bool tempoMapReliable = false;
    std::vector<BeatloomTempoPoint> tempoPoints;
    std::vector<BeatloomTempoCandidate> candidates;
    std::vector<double> beatPositionsSeconds;
    std::optional<double> firstMeaningfulAudioSeconds;
    bool ambiguous = false;
    std::string reason;
    friend bool operator==(const BeatloomResult&, const BeatloomResult&) = default;
};

// The re-analysis of a selection.
struct BeatloomRangeAnalysisResult {
    BeatloomTimeRange targetRange;
    BeatloomTimeRange contextRange;
    std::vector<BeatloomTempoPoint> tempoPoints;
    double confidence = 0;
    bool ambiguous = false;
    std::string reason;
    friend bool operator==(const BeatloomRangeAnalysisResult&, const BeatloomRangeAnalysisResult&) = default;
};

// JSON coding of the coded records: keys are the field names, absent optionals are left out,
// UUIDs are upper-case text and enumerations their raw strings. Reading checks every type
// (no silent bool or float to integer) and throws nlohmann::json::exception on bad data.
void to_json(nlohmann::json& json, const BeatloomTempoPoint& value);
void from_json(const nlohmann::json& json, BeatloomTempoPoint& value);
void to_json(nlohmann::json& json, const BeatloomMeterEvent& value);
void from_json(const nlohmann::json& json, BeatloomMeterEvent& value);
void to_json(nlohmann::json& json, const BeatloomBarAnchor& value);
void from_json(const nlohmann::json& json, BeatloomBarAnchor& value);
void to_json(nlohmann::json& json, const BeatloomPhaseLock& value);
void from_json(const nlohmann::json& json, BeatloomPhaseLock& value);
void to_json(nlohmann::json& json, const BeatloomMusicalPosition& value);
void from_json(const nlohmann::json& json, BeatloomMusicalPosition& value);
void to_json(nlohmann::json& json, const BeatloomGridFitAnchor& value);
void from_json(const nlohmann::json& json, BeatloomGridFitAnchor& value);
void to_json(nlohmann::json& json, const BeatloomTimelineRegion& value);
void from_json(const nlohmann::json& json, BeatloomTimelineRegion& value);
void to_json(nlohmann::json& json, const BeatloomRhythmicAnchor& value);
void from_json(const nlohmann::json& json, BeatloomRhythmicAnchor& value);
void to_json(nlohmann::json& json, const BeatloomLockedRange& value);
void from_json(const nlohmann::json& json, BeatloomLockedRange& value);
void to_json(nlohmann::json& json, const BeatloomTimeRange& value);
void from_json(const nlohmann::json& json, BeatloomTimeRange& value);

}  // namespace corvel

#define CORVEL_DECLARE_HASH(Type)                                     \
    template <>                                                       \
    struct std::hash<corvel::Type> {                                  \
        std::size_t operator()(const corvel::Type& value) const noexcept; \
    };

CORVEL_DECLARE_HASH(BeatloomTempoPoint)
CORVEL_DECLARE_HASH(BeatloomMeterEvent)
CORVEL_DECLARE_HASH(BeatloomBarAnchor)
CORVEL_DECLARE_HASH(BeatloomPhaseLock)
CORVEL_DECLARE_HASH(BeatloomMusicalPosition)
CORVEL_DECLARE_HASH(BeatloomGridFitAnchor)
CORVEL_DECLARE_HASH(BeatloomTimelineRegion)
CORVEL_DECLARE_HASH(BeatloomRhythmicAnchor)
CORVEL_DECLARE_HASH(BeatloomLockedRange)
CORVEL_DECLARE_HASH(BeatloomTimeRange)
CORVEL_DECLARE_HASH(BeatloomTempoCandidate)
CORVEL_DECLARE_HASH(BeatloomResult)
CORVEL_DECLARE_HASH(BeatloomRangeAnalysisResult)
