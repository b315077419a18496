// Starting and stopping the click-track preview from the transport button, and seeking.

#include <cmath>

#include "common/error.hpp"
#include "common/numeric.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::session {

void BeatloomViewModel::startPreviewPlayback() {
    if (!selectedURL.value() || !result.value()) return;
    pageFollowEnabled.set(true);
    playbackStartSeconds_ = locatorSeconds.value();
    try {
        previewPlayer_.play(*selectedURL.value(), previewClickMap(),
                            BeatloomTimeRange{locatorSeconds.value(), result.value()->durationSeconds});
        errorText.set("");
    } catch (const ErrorException& failure) {
        // The start stays remembered, so the next stop still returns the locator there.
        errorText.set(failure.error().message);
    }
}

audio::PreviewClickMap BeatloomViewModel::previewClickMap() const {
    audio::PreviewClickMap map;
    map.tempoPoints = editableTempoPoints.value();
    map.meterEvents = meterEvents.value();
    map.barAnchors = barAnchors.value();
    map.phaseLocks = phaseLocks.value();
    map.barOneSeconds = effectiveBarOneSeconds();
    map.pickupBarCount = pickupBarCount.value();
    map.regions = timelineRegions.value();
    map.rhythmicAnchors = rhythmicAnchors.value();
    map.freeTimeClickMode = freeTimeClickMode.value();
    return map;
}

void BeatloomViewModel::togglePlayback() {
    if (previewPlayer_.transportState().value() != audio::BeatloomPreviewTransportState::stopped) {
        stopPreview(true);
        return;
    }
    pageFollowEnabled.set(true);
    startPreviewPlayback();
}

void BeatloomViewModel::seek(double seconds) {
    stopPreview(false);
    // A time that is no number leaves the locator where the stop put it.
    locatorSeconds.set(clampOr(seconds, 0.0, durationSeconds(), locatorSeconds.value()));
}

}  // namespace corvel::session
