#include "session/metered_position.hpp"

#include <algorithm>

#include "core/phase_anchors.hpp"
#include "core/timeline_segments.hpp"

namespace corvel::session {

MeteredPosition meteredPositionAt(const BeatloomViewModel& model, double seconds, double duration) {
    const auto segments = BeatloomTimeline::segments(
        model.editableTempoPoints.value(), std::max(duration, std::max(seconds, 0.0) + kGridHorizonMarginSeconds));
    if (segments.empty()) return {};
    MeteredPosition position;
    position.quarterPosition = BeatloomTimeline::quarterPosition(segments, seconds);
    const auto anchors = BeatloomTimeline::phaseAnchors(
        model.meterEvents.value(), model.barAnchors.value(), model.phaseLocks.value(),
        model.effectiveBarOneSeconds(), segments, std::max(duration, seconds + kGridHorizonMarginSeconds));
    if (const auto index = BeatloomTimeline::phaseAnchorIndex(anchors, seconds)) {
        position.musicalPosition = musicalPositionFrom(anchors[*index], *position.quarterPosition);
    }
    return position;
}

}  // namespace corvel::session
