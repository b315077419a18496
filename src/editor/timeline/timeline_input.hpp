#pragma once

#include <array>
#include <optional>
#include <vector>

#include "core/grid_records.hpp"
#include "editor/timeline/timeline_labels.hpp"
#include "editor/timeline/timeline_layout.hpp"

// What a click, a drag or a Grid Fit drag on the timeline's lanes does to the session. Free of
// Qt: the widget passes pointer positions in its own coordinates and whether Option (Alt) is
// held at that very event, since holding it suspends snapping for that movement only.

namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

class BeatloomEditorUIState;

// A lane click snaps to a grid time only this close to it, in pixels; the Grid Fit lane picks
// beat and bar lines within the same distance.
inline constexpr double kLaneSnapPixels = 18;

// Where a click or drag at a position across the lanes (0 left, 1 right) puts the locator: the
// time there, held inside the song, or the nearest grid time at the current resolution when
// snapping is on, Option is not held and that time lies within 18 pixels.
double seekSnappedTarget(const session::BeatloomViewModel& model, const BeatloomEditorUIState& ui, double normalized,
                         const BeatloomTimelineWindow& window, bool optionHeld);
void seekSnapped(session::BeatloomViewModel& model, const BeatloomEditorUIState& ui, double normalized,
                 const BeatloomTimelineWindow& window, bool optionHeld);

// The beat or bar line drawn nearest to x, when it lies within `tolerance` pixels; subdivision
// lines never count and the earlier of two equally near lines wins.
std::optional<BeatloomTimeline::GridLine> nearestGridLine(const std::vector<BeatloomTimeline::GridLine>& lines,
                                                          double x, const BeatloomTimelineWindow& window,
                                                          double tolerance);

// How far from the pointer a dragged Grid Fit line looks for a transient: 24 pixels, at least
// 2 ms and at most 80 ms.
double fitLineTransientWindow(const BeatloomTimelineWindow& window);

// The Grid Fit lane over the waveform: dragging a beat or bar line onto a transient places or
// moves that line's Grid Fit anchor, as one undo step per drag.
class BeatloomGridFitLane final {
public:
    // The quarter position of the line being dragged; none between drags.
    const std::optional<double>& activeFitLineQuarter() const { return activeFitLineQuarter_; }

    // Every movement of a drag, at x over the lines visible at that moment. Until a line is
    // picked, each movement tries again to find one within 18 pixels.
    void dragFitLine(session::BeatloomViewModel& model, const BeatloomEditorUIState& ui,
                     const std::vector<BeatloomTimeline::GridLine>& lines, const BeatloomTimelineWindow& window,
                     double x, bool optionHeld);
    // Closes the drag; the status line then tells the fit's quality when the anchors changed.
    void endFitLineDrag(session::BeatloomViewModel& model);

private:
    std::optional<double> activeFitLineQuarter_;
};

// The locator flag: a badge 30 x 15 over a pointer 4 high, centred here above the locator, none
// while the locator is out of view. It stands a pixel below the timeline's top and keeps clear
// of the frame's rounded corners (22 px from either edge), so that neither cuts its outline.
struct LocatorFlagPlacement {
    double centreX = 0;
    double centreY = 0;
    friend bool operator==(const LocatorFlagPlacement&, const LocatorFlagPlacement&) = default;
};
std::optional<LocatorFlagPlacement> locatorFlagPlacement(double locatorX, double width);
// What the flag covers: its badge, and the pointer under it.
std::array<LabelBox, 2> locatorFlagBoxes(const LocatorFlagPlacement& flag);

}  // namespace corvel::editor
