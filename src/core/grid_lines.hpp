#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/grid_records.hpp"
#include "core/tempo_map_records.hpp"

// The musical grid of the whole song (bar, beat and subdivision lines with their bar.beat
// numbers) and the texts under which bars and positions are shown.

namespace corvel::BeatloomTimeline {

// The grid of the whole song, sorted by time and merged, from the session's edited map as it
// stands (nothing needs to be normalised first). The grid starts at Bar 1, at the first of
// `pickupBarCount` pickup bars before it (these may reach before 0 s), or at 0 s with
// `fromAudioStart`. Free Time regions have no lines; Rubato regions carry their elastic
// lines instead of the metered ones. A non-positive duration or an empty tempo map gives no
// lines. A NaN Bar 1 time counts as absent.
std::vector<GridLine> gridLines(const std::vector<BeatloomTempoPoint>& tempoPoints,
                                const std::vector<BeatloomMeterEvent>& meterEvents,
                                const std::vector<BeatloomBarAnchor>& barAnchors,
                                const std::vector<BeatloomPhaseLock>& phaseLocks, std::optional<double> barOneSeconds,
                                std::int64_t pickupBarCount, bool fromAudioStart,
                                const std::vector<BeatloomTimelineRegion>& timelineRegions,
                                const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors,
                                BeatloomGridResolution resolution, double duration);

// Bar 1 and above in decimal digits; pickup bars count backwards from Bar 1: bar 0 is "P",
// bar -1 "P2", bar -2 "P3".
std::string barLabel(std::int64_t bar);

// The bar label, a full stop and the beat: (5, 2) is "5.2", (0, 1) "P.1", (-1, 3) "P2.3".
std::string gridLineLabel(std::int64_t bar, std::int64_t beat);

}  // namespace corvel::BeatloomTimeline
