#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/tempo_map_records.hpp"
#include "core/timeline_segments.hpp"

namespace corvel::session {

// Where the bars before Bar 1 begin: the time `bars` whole bars of the meter in force at Bar 1
// before Bar 1, when the map reaches that far back and the time lies before Bar 1; none
// otherwise. `segments` come from the edited map over the song's duration.
std::optional<double> startOfBarsBeforeBarOne(const std::vector<BeatloomTimeline::Segment>& segments,
                                              const std::vector<BeatloomMeterEvent>& meterEvents, double duration,
                                              double barOneSeconds, std::int64_t bars);

}  // namespace corvel::session
