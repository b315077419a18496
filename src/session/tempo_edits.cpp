// The user's corrections of the detected map, marker by marker, and time signatures at the
// locator. Each builds a new list with the core's edit functions and commits it as one step.

#include <algorithm>
#include <cmath>
#include <string>

#include "common/format.hpp"
#include "common/numeric.hpp"
#include "core/meter_map.hpp"
#include "core/tempo_points.hpp"
#include "core/time_tolerances.hpp"
#include "session/beatloom_view_model.hpp"
#include "session/time_signature_placement.hpp"
#include "session/typed_number.hpp"

namespace corvel::session {

namespace {


}  // namespace

bool BeatloomViewModel::setTempoPointBPM(const Uuid& id, std::string_view text) {
    const auto bpm = parseTypedNumber(text);
    if (!bpm || !isSupportedBPM(*bpm)) {
        errorText.set(std::string(kBPMOutOfRangeMessage));
        return false;
    }
    auto changed = settingTempoPointBPM(editableTempoPoints.value(), id, *bpm);
    if (!changed) {
        errorText.set(std::string(kBPMOutOfRangeMessage));
        return false;
    }
    applyTempoEdit(std::move(*changed), "Change Tempo", "Tempo updated. Play with click to verify the correction.");
    return true;
}

void BeatloomViewModel::moveTempoPoint(const Uuid& id, double seconds) {
    if (!result.value()) return;
    auto moved = movingTempoPoint(editableTempoPoints.value(), id, seconds, result.value()->durationSeconds);
    if (!moved) return;
    applyTempoEdit(std::move(*moved), "Move Tempo Marker", "Tempo-change position updated.");
}

void BeatloomViewModel::addTempoPointAtLocator() {
    const auto& points = editableTempoPoints.value();
    if (!result.value() || points.empty()) return;
    const double bpm = bpmAt(points, locatorSeconds.value(), points.front().bpm);
    if (!isSupportedBPM(bpm)) return;
    const double duration = result.value()->durationSeconds;
    if (!(duration > tempo_limits::minimumRange)) return;

    auto map = normalizedTempoPoints(points);
    const double time =
        clampOr(locatorSeconds.value(), kMarkerSpacingSeconds, duration - kMarkerSpacingSeconds, kMarkerSpacingSeconds);
    Uuid markerID;
    const auto nearby = std::find_if(map.begin(), map.end(), [&](const BeatloomTempoPoint& point) {
        return std::abs(point.timeSeconds - time) < kMarkerSpacingSeconds;
    });
    if (nearby != map.end()) {
        markerID = nearby->id;
    } else {
        BeatloomTempoPoint added{Uuid::random(), time, bpm, 1.0, false};
        markerID = added.id;
        map.push_back(added);
        map = normalizedTempoPoints(std::move(map));
    }
    if (map != editableTempoPoints.value()) {
        applyTempoEdit(std::move(map), "Add Tempo Marker", "Tempo change added at the locator.");
    }
    selectedTempoPointID.set(markerID);
}

void BeatloomViewModel::deleteTempoPoint(const Uuid& id) {
    auto remaining = deletingTempoPoint(editableTempoPoints.value(), id);
    if (!remaining) {
        errorText.set(std::string(kSongStartTempoMessage));
        return;
    }
    applyTempoEdit(std::move(*remaining), "Delete Tempo Marker", "Tempo change removed.");
    const auto& points = editableTempoPoints.value();
    selectedTempoPointID.set(points.empty() ? std::nullopt : std::optional<Uuid>(points.front().id));
}

void BeatloomViewModel::setTempoTransition(const Uuid& id, bool ramp) {
    auto changed = settingTempoPointRamp(editableTempoPoints.value(), id, ramp);
    if (!changed) return;
    if (ramp) {
        applyTempoEdit(std::move(*changed), "Set Tempo Ramp", "Tempo transition set to Ramp.");
    } else {
        applyTempoEdit(std::move(*changed), "Set Tempo Step", "Tempo transition set to Step.");
    }
}

void BeatloomViewModel::chooseTempoCandidate(double bpm) {
    const auto& points = editableTempoPoints.value();
    if (points.empty()) return;
    const Uuid firstID = points.front().id;
    if (!settingTempoPointBPM(points, firstID, bpm)) return;
    applyTempoEdit({BeatloomTempoPoint{firstID, 0.0, bpm, 1.0, false}}, "Choose Tempo Candidate",
                   "Tempo candidate selected. Verify it with the click.");
    selectedTempoPointID.set(firstID);
}

void BeatloomViewModel::setTimeSignatureAtLocator(std::int64_t numerator, std::int64_t denominator) {
    if (!result.value()) return;
    const double duration = result.value()->durationSeconds;
    if (!isValidTimeSignature(numerator, denominator) || !(duration >= 0)) {
        errorText.set(std::string(kInvalidTimeSignatureMessage));
        return;
    }
    const auto events =
        withTimeSignatureAt(meterEvents.value(), locatorSeconds.value(), numerator, denominator, duration);
    applyMeterAndBarAnchorEdit(events, barAnchors.value(), "Change Time Signature",
                               "Time signature " + formatInteger(numerator) + "/" + formatInteger(denominator) +
                                   " set at the locator.");
}

void BeatloomViewModel::deleteTimeSignature(const Uuid& id) {
    std::optional<std::vector<BeatloomMeterEvent>> remaining;
    if (result.value()) remaining = removingMeterEvent(id, meterEvents.value(), result.value()->durationSeconds);
    if (!remaining) {
        errorText.set(std::string(kSongStartTimeSignatureMessage));
        return;
    }
    applyMeterAndBarAnchorEdit(*remaining, barAnchors.value(), "Delete Time Signature",
                               "Time-signature change removed.");
}

void BeatloomViewModel::resetToDetected() {
    if (!result.value() || transactionStart_) return;
    const auto& detected = *result.value();
    auto before = captureEditorState();
    stopPreview(false);

    editableTempoPoints.set(detected.tempoPoints);
    // A map that already is the plain 4/4 start keeps its event, so resetting an unedited
    // session changes nothing and records nothing.
    const auto& meters = meterEvents.value();
    const bool plainFourFour = meters.size() == 1 && meters.front().timeSeconds == 0.0 &&
                               meters.front().numerator == 4 && meters.front().denominator == 4;
    if (!plainFourFour) meterEvents.set({BeatloomMeterEvent{Uuid::random(), 0.0, 4, 4}});
    barAnchors.set({});
    phaseLocks.set({});
    barOneSeconds.set(detected.beatPositionsSeconds.empty() ? 0.0 : detected.beatPositionsSeconds.front());
    pickupBarCount.set(0);
    selectedTempoPointID.set(detected.tempoPoints.empty() ? std::nullopt
                                                          : std::optional<Uuid>(detected.tempoPoints.front().id));
    gridFitAnchors.set({});
    gridFitResult.set(std::nullopt);
    lockedRanges.set({});
    timelineRegions.set({});
    rhythmicAnchors.set({});

    editHistory_.record("Reset to Detected", std::move(before), captureEditorState());
    statusText.set("Detected Beatloom result restored. Meter reset to 4/4; Grid Fit, locks and manual bar starts "
                   "cleared.");
    exportStatusText.set("");
    errorText.set("");
}

}  // namespace corvel::session
