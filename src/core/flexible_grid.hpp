#pragma once

#include <optional>
#include <vector>

#include "core/grid_records.hpp"
#include "core/tempo_map_records.hpp"

// The grid and clicks of Free Time and Rubato regions. Inside a Rubato region the musical axis
// is stretched linearly between consecutive positioned anchors, so each span between two
// anchors runs at its own constant tempo; Free Time regions have no grid. The click track
// silences metered clicks inside every such region, clicks Rubato regions on their elastic
// grid and Free Time regions on their anchors or not at all.

namespace corvel::BeatloomFlexibleTimeline {

// The elastic grid of one effective region (its mode is not looked at), from its anchors that
// carry a quarter position, sorted by time and merged; fewer than two such anchors: no lines.
// Between two anchors the lines fall on whole steps of the resolution counted from the first
// of them, so every anchor has its line, and bars and beats count on from the last anchor that
// carries a bar.beat (the line on an anchor shows the anchor's own bar.beat); a bar line is the
// first beat of a bar. Before the first such anchor beats count from quarter 0 and carry no
// numbers. Anchors of other regions are ignored, and so are anchors with a time or position
// that is not finite.
std::vector<BeatloomTimeline::GridLine> rubatoGridLines(const BeatloomTimelineRegion& region,
                                                        const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                                        const std::vector<BeatloomMeterEvent>& meterEvents,
                                                        BeatloomGridResolution resolution);

// The bar, beat and fraction of a beat that the region's grid shows at a time: between two of
// its anchors, counted on from the last anchor with a bar.beat as the lines are; on an anchor,
// the anchor's own bar.beat. None before the first anchor, after the last one, or where the
// grid carries no numbers.
std::optional<BeatloomMusicalPosition> rubatoPosition(const BeatloomTimelineRegion& region,
                                                      const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                                      const std::vector<BeatloomMeterEvent>& meterEvents,
                                                      double seconds);

// One click on every beat and bar line of the region's grid at quarter resolution, accented
// on the bar lines.
std::vector<BeatloomTimeline::ClickEvent> rubatoClickEvents(const BeatloomTimelineRegion& region,
                                                            const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                                            const std::vector<BeatloomMeterEvent>& meterEvents);

// The preview click track: the metered clicks outside every effective region, the Rubato
// clicks of Rubato regions and, in anchor-only mode, one click per Free Time anchor (accented
// for downbeat and rejoin anchors), sorted by time and merged. Without an effective region
// the metered clicks come back exactly as passed.
std::vector<BeatloomTimeline::ClickEvent> clickEvents(const std::vector<BeatloomTimeline::ClickEvent>& meteredClicks,
                                                      const std::vector<BeatloomTimelineRegion>& regions,
                                                      const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                                      const std::vector<BeatloomMeterEvent>& meterEvents,
                                                      BeatloomFreeTimeClickMode freeTimeClickMode,
                                                      double durationSeconds);

}  // namespace corvel::BeatloomFlexibleTimeline
