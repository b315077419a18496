#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/uuid.hpp"
#include "core/tempo_map_records.hpp"
#include "editor/timeline/timeline_handles.hpp"
#include "editor/timeline/timeline_layout.hpp"

// The Free Time / Rubato overlay of the timeline: the regions' bands and pills, the rhythmic
// anchors' markers, the "AUDIO START" tag, and what the pills' and anchors' context menus and
// an anchor drag do. Everything is worked out from the session for every frame and gesture
// event, free of Qt; the viewport paints and hit-tests from these placements.

namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

class BeatloomEditorUIState;

// The tint over the marker and waveform lanes for the visible part of a region.
struct FlexibleRegionBand {
    Uuid regionID;
    BeatloomTimelineMode mode = BeatloomTimelineMode::free;
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// The labelled capsule in the marker lane of a region that reaches into the window.
struct FlexibleRegionPill {
    BeatloomTimelineRegion region;
    std::string text;
    std::string helpText;
    double centreX = 0;
    double centreY = 0;
};

// The small marker of a rhythmic anchor near the bottom of the marker lane.
struct RhythmicAnchorMarker {
    BeatloomRhythmicAnchor anchor;
    std::string symbol;
    std::optional<std::string> label;  // none for a Free Time reference anchor
    std::string helpText;
    bool isReference = false;  // drawn in blue; every other kind in orange
    double centreX = 0;
    double centreY = 0;
};

struct AudioStartTag {
    double centreX = 0;
    double centreY = 0;
};

inline constexpr double kRhythmicAnchorDragMinimumDistance = 2;
// A pill's centre keeps this far from the lane's edges.
inline constexpr double kRegionPillEdgeMargin = 38;

// One band per region with a non-empty visible part, in list order.
std::vector<FlexibleRegionBand> flexibleRegionBands(const std::vector<BeatloomTimelineRegion>& regions,
                                                    const BeatloomTimelineWindow& window,
                                                    const BeatloomTimelineGeometry& geometry);
// One pill per region that touches the window (1e-6 s tolerance), in list order.
std::vector<FlexibleRegionPill> flexibleRegionPills(const std::vector<BeatloomTimelineRegion>& regions,
                                                    const BeatloomTimelineWindow& window,
                                                    const BeatloomTimelineGeometry& geometry);
// One marker per anchor inside the window (1e-6 s tolerance), in list order.
std::vector<RhythmicAnchorMarker> rhythmicAnchorMarkers(const std::vector<BeatloomRhythmicAnchor>& anchors,
                                                        const BeatloomTimelineWindow& window,
                                                        const BeatloomTimelineGeometry& geometry);
// Shown while the window begins in negative time and reaches past 0 s.
std::optional<AudioStartTag> audioStartTag(const BeatloomTimelineWindow& window,
                                           const BeatloomTimelineGeometry& geometry);

// Convert and delete, each after moving the locator into the region.
std::vector<TimelineMenuItem> regionPillContextMenu(session::BeatloomViewModel& model,
                                                    const BeatloomTimelineRegion& region);
std::vector<TimelineMenuItem> rhythmicAnchorContextMenu(session::BeatloomViewModel& model,
                                                        const BeatloomRhythmicAnchor& anchor);

// Every movement of an anchor drag, the pointer at that time; Option held suspends transient
// snapping for this movement. The first movement opens the drag's undo step.
void rhythmicAnchorDragChanged(session::BeatloomViewModel& model, const BeatloomEditorUIState& ui, const Uuid& anchorID,
                               double seconds, bool optionHeld);
// Closes the drag's undo step; it is recorded only when an anchor moved.
void rhythmicAnchorDragEnded(session::BeatloomViewModel& model);

}  // namespace corvel::editor
