#include "core/tempo_map_records.hpp"

#include <nlohmann/json.hpp>

#include "common/format.hpp"
#include "core/json_coding.hpp"

namespace corvel {

using nlohmann::json;
using namespace json_coding;

namespace {

std::string barDotBeat(std::int64_t bar, std::int64_t beat) {
    return formatInteger(bar) + "." + formatInteger(beat);
}

}  // namespace

std::string BeatloomGridFitAnchor::displayLabel() const {
    if (barNumber && beatNumber) return barDotBeat(*barNumber, *beatNumber);
    return isDownbeat ? "1" : "Beat";
}

std::string BeatloomRhythmicAnchor::displayLabel() const {
    if (musicalPosition) return barDotBeat(musicalPosition->bar, musicalPosition->beat);
    switch (kind) {
        case BeatloomRhythmicAnchorKind::freeReference: return "Anchor";
        case BeatloomRhythmicAnchorKind::beat: return "Beat";
        case BeatloomRhythmicAnchorKind::downbeat: return "Downbeat";
        case BeatloomRhythmicAnchorKind::rejoin: return "Rejoin";
    }
    return "Anchor";
}

// ---- JSON ------------------------------------------------------------------------------

void to_json(json& j, const BeatloomTempoPoint& v) {
    j = json{{"id", v.id.toString()}, {"timeSeconds", v.timeSeconds}, {"bpm", v.bpm},
             {"confidence", v.confidence}, {"linearToNext", v.linearToNext}};
}
void from_json(const json& j, BeatloomTempoPoint& v) {
    v = BeatloomTempoPoint{readUuid(j, "id"), readDouble(j, "timeSeconds"), readDouble(j, "bpm"),
                           readDouble(j, "confidence"), readBool(j, "linearToNext")};
}

void to_json(json& j, const BeatloomMeterEvent& v) {
    j = json{{"id", v.id.toString()}, {"timeSeconds", v.timeSeconds}, {"numerator", v.numerator},
             {"denominator", v.denominator}};
}
void from_json(const json& j, BeatloomMeterEvent& v) {
    v = BeatloomMeterEvent{readUuid(j, "id"), readDouble(j, "timeSeconds"), readInt(j, "numerator"),
                           readInt(j, "denominator")};
}

void to_json(json& j, const BeatloomBarAnchor& v) {
    j = json{{"id", v.id.toString()}, {"timeSeconds", v.timeSeconds}};
    writeOptional(j, "barNumberOverride", v.barNumberOverride);
}
void from_json(const json& j, BeatloomBarAnchor& v) {
    v = BeatloomBarAnchor{readUuid(j, "id"), readDouble(j, "timeSeconds"), std::nullopt};
    if (hasValue(j, "barNumberOverride")) v.barNumberOverride = readInt(j, "barNumberOverride");
}

void to_json(json& j, const BeatloomPhaseLock& v) {
    j = json{{"id", v.id.toString()}, {"timeSeconds", v.timeSeconds}, {"bar", v.bar},
             {"beat", v.beat}, {"fractionOfBeat", v.fractionOfBeat}};
    if (v.sourceTempoPointID) j["sourceTempoPointID"] = v.sourceTempoPointID->toString();
}
void from_json(const json& j, BeatloomPhaseLock& v) {
    v = BeatloomPhaseLock{readUuid(j, "id"), readDouble(j, "timeSeconds"), readInt(j, "bar"),
                          readInt(j, "beat"), readDouble(j, "fractionOfBeat"), std::nullopt};
    if (hasValue(j, "sourceTempoPointID")) v.sourceTempoPointID = readUuid(j, "sourceTempoPointID");
}

void to_json(json& j, const BeatloomMusicalPosition& v) {
    j = json{{"bar", v.bar}, {"beat", v.beat}, {"fractionOfBeat", v.fractionOfBeat}};
}
void from_json(const json& j, BeatloomMusicalPosition& v) {
    v = BeatloomMusicalPosition{readInt(j, "bar"), readInt(j, "beat"), readDouble(j, "fractionOfBeat")};
}

void to_json(json& j, const BeatloomGridFitAnchor& v) {
    j = json{{"id", v.id.toString()}, {"quarterPosition", v.quarterPosition}, {"timeSeconds", v.timeSeconds}};
    writeOptional(j, "barNumber", v.barNumber);
    writeOptional(j, "beatNumber", v.beatNumber);
    j["isDownbeat"] = v.isDownbeat;
    j["source"] = rawValue(v.source);
    j["isLocked"] = v.isLocked;
}
void from_json(const json& j, BeatloomGridFitAnchor& v) {
    v = BeatloomGridFitAnchor{readUuid(j, "id"),
                              readDouble(j, "quarterPosition"),
                              readDouble(j, "timeSeconds"),
                              std::nullopt,
                              std::nullopt,
                              readBool(j, "isDownbeat"),
                              readEnum<BeatloomGridFitAnchorSource>(j, "source"),
                              readBool(j, "isLocked")};
    if (hasValue(j, "barNumber")) v.barNumber = readInt(j, "barNumber");
    if (hasValue(j, "beatNumber")) v.beatNumber = readInt(j, "beatNumber");
}

void to_json(json& j, const BeatloomTimelineRegion& v) {
    j = json{{"id", v.id.toString()}, {"startSeconds", v.startSeconds}, {"endSeconds", v.endSeconds},
             {"mode", rawValue(v.mode)}, {"isLocked", v.isLocked}};
}
void from_json(const json& j, BeatloomTimelineRegion& v) {
    v = BeatloomTimelineRegion{readUuid(j, "id"), readDouble(j, "startSeconds"), readDouble(j, "endSeconds"),
                               readEnum<BeatloomTimelineMode>(j, "mode"), readBool(j, "isLocked")};
}

void to_json(json& j, const BeatloomRhythmicAnchor& v) {
    j = json{{"id", v.id.toString()}, {"regionID", v.regionID.toString()}, {"audioTimeSeconds", v.audioTimeSeconds}};
    writeOptional(j, "quarterPosition", v.quarterPosition);
    writeOptional(j, "musicalPosition", v.musicalPosition);
    j["kind"] = rawValue(v.kind);
    j["source"] = rawValue(v.source);
    j["confidence"] = v.confidence;
    j["isLocked"] = v.isLocked;
}
void from_json(const json& j, BeatloomRhythmicAnchor& v) {
    v = BeatloomRhythmicAnchor{readUuid(j, "id"),
                               readUuid(j, "regionID"),
                               readDouble(j, "audioTimeSeconds"),
                               std::nullopt,
                               std::nullopt,
                               readEnum<BeatloomRhythmicAnchorKind>(j, "kind"),
                               readEnum<BeatloomRhythmicAnchorSource>(j, "source"),
                               readDouble(j, "confidence"),
                               readBool(j, "isLocked")};
    if (hasValue(j, "quarterPosition")) v.quarterPosition = readDouble(j, "quarterPosition");
    if (hasValue(j, "musicalPosition")) v.musicalPosition = member(j, "musicalPosition").get<BeatloomMusicalPosition>();
}

void to_json(json& j, const BeatloomLockedRange& v) {
    j = json{{"id", v.id.toString()}, {"startSeconds", v.startSeconds}, {"endSeconds", v.endSeconds}};
}
void from_json(const json& j, BeatloomLockedRange& v) {
    v = BeatloomLockedRange{readUuid(j, "id"), readDouble(j, "startSeconds"), readDouble(j, "endSeconds")};
}

void to_json(json& j, const BeatloomTimeRange& v) {
    j = json{{"startSeconds", v.startSeconds}, {"endSeconds", v.endSeconds}};
}
void from_json(const json& j, BeatloomTimeRange& v) {
    v = BeatloomTimeRange{readDouble(j, "startSeconds"), readDouble(j, "endSeconds")};
}

}  // namespace corvel

// ---- hashing ---------------------------------------------------------------------------

using namespace corvel;

std::size_t std::hash<BeatloomTempoPoint>::operator()(const BeatloomTempoPoint& v) const noexcept {
    return hashFields(v.id, v.timeSeconds, v.bpm, v.confidence, v.linearToNext);
}
std::size_t std::hash<BeatloomMeterEvent>::operator()(const BeatloomMeterEvent& v) const noexcept {
    return hashFields(v.id, v.timeSeconds, v.numerator, v.denominator);
}
std::size_t std::hash<BeatloomBarAnchor>::operator()(const BeatloomBarAnchor& v) const noexcept {
    return hashFields(v.id, v.timeSeconds, v.barNumberOverride);
}
std::size_t std::hash<BeatloomPhaseLock>::operator()(const BeatloomPhaseLock& v) const noexcept {
    return hashFields(v.id, v.timeSeconds, v.bar, v.beat, v.fractionOfBeat, v.sourceTempoPointID);
}
std::size_t std::hash<BeatloomMusicalPosition>::operator()(const BeatloomMusicalPosition& v) const noexcept {
    return hashFields(v.bar, v.beat, v.fractionOfBeat);
}
std::size_t std::hash<BeatloomGridFitAnchor>::operator()(const BeatloomGridFitAnchor& v) const noexcept {
    return hashFields(v.id, v.quarterPosition, v.timeSeconds, v.barNumber, v.beatNumber, v.isDownbeat, v.source,
                      v.isLocked);
}
std::size_t std::hash<BeatloomTimelineRegion>::operator()(const BeatloomTimelineRegion& v) const noexcept {
    return hashFields(v.id, v.startSeconds, v.endSeconds, v.mode, v.isLocked);
}
std::size_t std::hash<BeatloomRhythmicAnchor>::operator()(const BeatloomRhythmicAnchor& v) const noexcept {
    return hashFields(v.id, v.regionID, v.audioTimeSeconds, v.quarterPosition, v.musicalPosition, v.kind, v.source,
                      v.confidence, v.isLocked);
}
std::size_t std::hash<BeatloomLockedRange>::operator()(const BeatloomLockedRange& v) const noexcept {
    return hashFields(v.id, v.startSeconds, v.endSeconds);
}
std::size_t std::hash<BeatloomTimeRange>::operator()(const BeatloomTimeRange& v) const noexcept {
    return hashFields(v.startSeconds, v.endSeconds);
}
std::size_t std::hash<BeatloomTempoCandidate>::operator()(const BeatloomTempoCandidate& v) const noexcept {
    return hashFields(v.id, v.bpm, v.score);
}
std::size_t std::hash<BeatloomResult>::operator()(const BeatloomResult& v) const noexcept {
    return hashFields(v.fileName, v.bpm, v.confidence, v.durationSeconds, v.isVariableTempo, v.tempoMapReliable,
                      v.tempoPoints, v.candidates, v.beatPositionsSeconds, v.firstMeaningfulAudioSeconds,
                      v.ambiguous, v.reason);
}
std::size_t std::hash<BeatloomRangeAnalysisResult>::operator()(const BeatloomRangeAnalysisResult& v) const noexcept {
    return hashFields(v.targetRange, v.contextRange, v.tempoPoints, v.confidence, v.ambiguous, v.reason);
}
