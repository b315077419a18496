// Where the bar count stands: song Bar 1, the pickup bars before it and locked downbeats.
// Refusals here go to the status line: they say the grid is already as asked.

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "common/numeric.hpp"
#include "core/meter_map.hpp"
#include "core/phase_anchors.hpp"
#include "core/timeline_segments.hpp"
#include "core/transient_snap.hpp"
#include "session/beatloom_view_model.hpp"
#include "session/pickup_grid.hpp"

namespace corvel::session {

namespace {

// A downbeat this close to a locked one is that one.
constexpr double kSameDownbeatSeconds = 0.02;
// The Bar 1 handle snaps to a transient within what this many pixels of the view cover,
// held to kSnapRadiusMinimum...kSnapRadiusMaximum seconds.
constexpr double kSnapRadiusPixels = 24.0;
constexpr double kSnapRadiusMinimum = 0.015;
constexpr double kSnapRadiusMaximum = 0.1;

constexpr std::string_view kLockDownbeatName = "Set Locked 1";
constexpr std::string_view kLockDownbeatStatus =
    "Downbeat locked. Grid before this point and other locked 1s stay fixed.";
constexpr std::string_view kAlreadyLockedStatus = "This downbeat is already locked.";
constexpr std::string_view kSetBarOneName = "Set Song Bar 1";
constexpr std::string_view kSetBarOneStatus = "Absolute song Bar 1 set. Existing locked downbeats remain fixed.";
constexpr std::string_view kExtendOneBarName = "Extend Pickup One Bar";
constexpr std::string_view kExtendOneBarStatus = "Pickup grid extended backward by one bar.";
constexpr std::string_view kNoPickupNeededStatus = "Bar 1 is already at the audio start; no pickup bar is needed.";
constexpr std::string_view kGridReachesStartStatus = "The grid already reaches the audio start.";
constexpr std::string_view kExtendToStartName = "Extend Pickup to Audio Start";
constexpr std::string_view kExtendToStartStatus = "Pickup grid extended backward to the audio start.";
constexpr std::string_view kPickupReachesStartStatus = "Pickup grid already reaches the audio start.";
constexpr std::string_view kBarOneAtStartStatus = "Bar 1 is already at the audio start.";
constexpr std::string_view kRemovePickupName = "Remove Pickup Bars";
constexpr std::string_view kRemovePickupStatus = "Pickup grid removed. Bar 1 remains fixed.";
constexpr std::string_view kMoveBarOneName = "Move Song Bar 1";
constexpr std::string_view kDeleteBarStartName = "Delete New 1";
constexpr std::string_view kDeleteBarStartStatus = "Manual bar start removed.";

}  // namespace

void BeatloomViewModel::lockDownbeatAtLocator() {
    if (!result.value()) return;
    const double duration = result.value()->durationSeconds;
    const double locator = locatorSeconds.value();
    const double time = std::min(std::max(duration, 0.0), std::max(locator, 0.0));

    auto candidates = normalizedBarAnchors(barAnchors.value(), duration);
    const bool alreadyLocked = std::any_of(candidates.begin(), candidates.end(), [&](const BeatloomBarAnchor& anchor) {
        return std::abs(anchor.timeSeconds - time) < kSameDownbeatSeconds;
    });
    if (!alreadyLocked) {
        candidates.push_back(BeatloomBarAnchor{Uuid::random(), time, std::nullopt});
        candidates = normalizedBarAnchors(candidates, duration);
    }
    if (candidates == barAnchors.value()) {
        statusText.set(std::string(kAlreadyLockedStatus));
        return;
    }
    performEdit(kLockDownbeatName, kLockDownbeatStatus, [&](BeatloomViewModel& model) {
        model.barAnchors.set(std::move(candidates));
        // Stopping a running preview must not leave the locator at the play head.
        model.locatorSeconds.set(locator);
    });
}

void BeatloomViewModel::setSongBarOneAtLocator() {
    if (!result.value()) return;
    const double duration = result.value()->durationSeconds;
    const double locator = locatorSeconds.value();
    const auto& points = editableTempoPoints.value();
    const double barOne = effectiveBarOneSeconds();
    const std::int64_t pickups = pickupBarCount.value();

    // The grid reaches back to the first pickup bar; the bars from there to the new Bar 1
    // become pickup bars, so the grid starts where it did.
    double gridStart = barOne;
    if (duration > 0 && pickups > 0) {
        const auto segments = BeatloomTimeline::segments(points, duration);
        if (!segments.empty()) {
            gridStart =
                startOfBarsBeforeBarOne(segments, meterEvents.value(), duration, barOne, pickups).value_or(barOne);
        }
    }
    const std::int64_t newPickups =
        BeatloomTimeline::barsBetween(points, meterEvents.value(), duration, locator, gridStart);

    performEdit(kSetBarOneName, kSetBarOneStatus, [&](BeatloomViewModel& model) {
        model.barOneSeconds.set(locator);
        model.pickupBarCount.set(newPickups);
        model.locatorSeconds.set(locator);
    });
}

void BeatloomViewModel::extendPickupOneBar() {
    if (!result.value()) return;
    const std::int64_t needed = BeatloomTimeline::pickupBarsBeforeBarOne(
        editableTempoPoints.value(), meterEvents.value(), result.value()->durationSeconds, effectiveBarOneSeconds());
    if (needed < 1) {
        statusText.set(std::string(kNoPickupNeededStatus));
        return;
    }
    const std::int64_t current = pickupBarCount.value();
    const std::int64_t count = current < needed ? current + 1 : needed;
    if (count == current) {
        statusText.set(std::string(kGridReachesStartStatus));
        return;
    }
    performEdit(kExtendOneBarName, kExtendOneBarStatus,
                [count](BeatloomViewModel& model) { model.pickupBarCount.set(count); });
    revealBarsBeforeBarOne(count);
}

void BeatloomViewModel::extendPickupToAudioStart() {
    if (!result.value()) return;
    const std::int64_t needed = BeatloomTimeline::pickupBarsBeforeBarOne(
        editableTempoPoints.value(), meterEvents.value(), result.value()->durationSeconds, effectiveBarOneSeconds());
    if (needed == pickupBarCount.value()) {
        statusText.set(std::string(needed > 0 ? kPickupReachesStartStatus : kBarOneAtStartStatus));
        return;
    }
    performEdit(kExtendToStartName, kExtendToStartStatus,
                [needed](BeatloomViewModel& model) { model.pickupBarCount.set(needed); });
    revealBarsBeforeBarOne(needed);
}

void BeatloomViewModel::removePickupBars() {
    if (pickupBarCount.value() < 1) return;
    performEdit(kRemovePickupName, kRemovePickupStatus, [](BeatloomViewModel& model) { model.pickupBarCount.set(0); });
}

void BeatloomViewModel::beginSongBarOneDrag() { beginTransaction(std::string(kMoveBarOneName)); }

void BeatloomViewModel::updateSongBarOneDrag(bool snapToTransient, double seconds) {
    if (!result.value() || std::isnan(seconds)) return;
    const double duration = std::max(result.value()->durationSeconds, 0.0);
    double time = std::clamp(seconds, 0.0, duration);
    if (snapToTransient && waveformData.value()) {
        const auto& viewport = viewportState.value();
        const double pixelSeconds = viewport.visibleDurationSeconds / std::max(viewport.viewportPixelWidth, 1.0);
        const double radius = clampOr(pixelSeconds * kSnapRadiusPixels, kSnapRadiusMinimum, kSnapRadiusMaximum,
                                      kSnapRadiusMinimum);
        if (const auto snap = snappedTransient(*waveformData.value(), time, radius)) time = snap->time;
        time = std::clamp(time, 0.0, duration);
    }
    barOneSeconds.set(time);
    locatorSeconds.set(time);
}

void BeatloomViewModel::removeManualBarStart(const Uuid& id) {
    if (!result.value()) return;
    auto anchors = normalizedBarAnchors(barAnchors.value(), result.value()->durationSeconds);
    const auto found =
        std::find_if(anchors.begin(), anchors.end(), [&](const BeatloomBarAnchor& anchor) { return anchor.id == id; });
    if (found == anchors.end()) return;
    anchors.erase(found);
    applyMeterAndBarAnchorEdit(meterEvents.value(), anchors, kDeleteBarStartName, kDeleteBarStartStatus);
}

}  // namespace corvel::session
