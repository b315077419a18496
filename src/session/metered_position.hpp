#pragma once

#include <optional>

#include "core/tempo_map_records.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::session {

// Where a time lies on the plain metered grid of the edited map, as if no Free Time or Rubato
// region existed: its quarter position (none without a tempo map) and its bar, beat and beat
// fraction (none where no bar counting reaches).
struct MeteredPosition {
    std::optional<double> quarterPosition;
    std::optional<BeatloomMusicalPosition> musicalPosition;
};

// A grid that must reach a time is built at least this far past it, so that a time at the very
// end of the song still lies inside it.
inline constexpr double kGridHorizonMarginSeconds = 0.001;

// The grid is built over the song's duration, or a little past the time when that lies later.
MeteredPosition meteredPositionAt(const BeatloomViewModel& model, double seconds, double duration);

}  // namespace corvel::session
