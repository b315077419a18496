#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/uuid.hpp"
#include "core/grid_fitter.hpp"
#include "editor/timeline/timeline_layout.hpp"

// The handles over the bar ruler and marker lane: one per editable item of the map (song Bar 1,
// tempo markers, time signatures, locked downbeats and, in Grid Fit mode, Grid Fit anchors).
// What each shows, where it stands and what a click, a drag or its context menu does, free of
// Qt. Handles are rebuilt from the session for every frame and every gesture event.

namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

class BeatloomEditorUIState;

enum class MarkerHandleKind { songBarOne, tempoMarker, timeSignature, lockedDownbeat, gridFitAnchor };

struct MarkerHandle {
    MarkerHandleKind kind = MarkerHandleKind::tempoMarker;
    Uuid id;  // nil for song Bar 1
    double timeSeconds = 0;
    double centreX = 0;
    double centreY = 0;
    std::string text;      // the label drawn on it; empty for the symbol and dot handles
    std::string helpText;  // shown on hover; empty for none
    bool movable = false;
    bool selected = false;  // the selected tempo marker
    BeatloomGridFitter::AnchorStatus status = BeatloomGridFitter::AnchorStatus::good;
    std::int64_t numerator = 0;
    std::int64_t denominator = 0;
    double quarterPosition = 0;
    bool isLocked = false;
};

// The handle's centre x: its time's x, held off the lane's edges so that an item off screen
// sticks to the nearer edge (the left margin wins in a narrow lane).
double markerHandleCentreX(MarkerHandleKind kind, double seconds, const BeatloomTimelineWindow& window);

// The handles of the items in the widened window, bottom to top: Bar 1, tempo markers, time
// signatures (the song-start one included), locked downbeats, then Grid Fit anchors in Grid Fit mode.
std::vector<MarkerHandle> markerHandles(const session::BeatloomViewModel& model, const BeatloomEditorUIState& ui,
                                        const BeatloomTimelineWindow& window,
                                        const BeatloomTimelineGeometry& geometry);

std::string songBarOneHelpText(std::int64_t pickupBarCount);

// The marker lines of the items whose handles are shown: a marker whose handle gave way to
// another draws no line either, so that crowded markers do not merge into bands.
std::vector<MarkerLine> markerLinesOfShownHandles(const std::vector<MarkerLine>& lines,
                                                  const std::vector<MarkerHandle>& shown,
                                                  const BeatloomTimelineWindow& window);

// How far the pointer must move before a press on the handle becomes a drag; none for a handle
// that cannot be dragged at all.
std::optional<double> markerHandleDragDistance(MarkerHandleKind kind);

// A click that stayed a click.
void markerHandleClicked(session::BeatloomViewModel& model, const MarkerHandle& handle);
// Every movement of a drag, the pointer at that time; Option held suspends snapping for this
// movement. The first movement opens the drag's undo step.
void markerHandleDragChanged(session::BeatloomViewModel& model, const BeatloomEditorUIState& ui,
                             const MarkerHandle& handle, double seconds, bool optionHeld);
// Closes the drag's undo step; it is recorded only when the map changed.
void markerHandleDragEnded(session::BeatloomViewModel& model, const MarkerHandle& handle);

// One entry of a context menu: an action, or a divider.
struct TimelineMenuItem {
    std::string title;
    bool destructive = false;
    bool isDivider = false;
    std::function<void()> action;
};

// The context menu of a handle, in order; empty when the handle offers none.
std::vector<TimelineMenuItem> markerHandleContextMenu(session::BeatloomViewModel& model, const MarkerHandle& handle);

}  // namespace corvel::editor
