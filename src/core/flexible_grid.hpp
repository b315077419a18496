#pragma once

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
// carry a quarter position: lines at whole multiples of the resolution step between the first
// and the last of them, sorted by time and merged. Fewer than two such anchors: no lines.
// Anchors of other regions are ignored, and so are anchors with a time or position that is
// not finite.
std::vector<BeatloomTimeline::GridLine> rubatoGridLines(const BeatloomTimelineRegion& region,
                                                        const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                                        const std::vector<BeatloomMeterEvent>& meterEvents,
                                                        BeatloomGridResolution resolution);

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
