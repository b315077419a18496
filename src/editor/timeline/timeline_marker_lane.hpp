#pragma once

#include <cstddef>
#include <vector>

#include "editor/timeline/timeline_labels.hpp"

// Where the items over the marker lane (marker handles, region pills, rhythmic anchors) stand
// once none covers another: at a wide zoom they crowd, and where a Free Time region rejoins
// the grid a tempo change, a time signature, a locked downbeat and an anchor fall on one
// time. Items are placed one by one in priority order; one that would cover an item placed
// before it moves, within what it may, to the nearest place where it covers nothing, or gives
// way and is left out. No painting here.

namespace corvel::editor {

struct MarkerLaneItem {
    LabelBox box;  // where the item would stand
    // How far the item may move sideways: a shift from minimumShift to maximumShift (pixels,
    // negative to the left); both 0 for an item that stays at its place or gives way.
    double minimumShift = 0;
    double maximumShift = 0;
    // Boxes the item would rather stay clear of too, when it can (the natural places of items
    // placed after it); it covers them when there is no other room.
    std::vector<LabelBox> avoid;
};

struct MarkerLanePlacement {
    bool shown = false;
    double shift = 0;  // how far the item moved from its place
};

// Items meet when their boxes overlap by more than this from above and below (a chip's edge
// that grazes the symbol under it is not a collision) and come closer than a pixel side by side.
inline constexpr double kMarkerLaneGraze = 3;
// The gap a moved item keeps from the item it moved past.
inline constexpr double kMarkerLaneGap = 2;

bool markerLaneItemsMeet(const LabelBox& a, const LabelBox& b);

// The placement of each item, in the order given; earlier items win. No item moves out over
// the ends of a lane `laneWidth` wide.
std::vector<MarkerLanePlacement> layOutMarkerLane(const std::vector<MarkerLaneItem>& items, double laneWidth);

// The pixel columns a marker line fills: from the column of its x, two wide for a Grid Fit
// anchor and one for the others.
double markerLineLeft(const MarkerLine& line);
double markerLineWidth(const MarkerLine& line);

// The strokes of the marker lines, each from the top of the marker lane (of the waveform lane
// for a Grid Fit anchor) to the bottom of the waveform lane, broken where one of `items` (the
// boxes of the chips, pills and anchors the marker lane shows) stands over its columns: an
// item hides the lines beneath it wholly, its own and those of its neighbours alike, rather
// than let them show through its translucent ground. Strokes come line by line, top down.
std::vector<MarkerStroke> markerStrokes(const std::vector<MarkerLine>& lines, const BeatloomTimelineGeometry& geometry,
                                        const std::vector<LabelBox>& items);

}  // namespace corvel::editor
