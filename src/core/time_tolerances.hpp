#pragma once

// Distances in seconds that the tempo map, its edits and its export agree on.

namespace corvel {

// Two times closer than this are the same instant.
inline constexpr double kSameTimeSeconds = 1e-6;

// The markers an edit places (tempo points, time signatures, bar anchors) keep this distance
// from each other and from the ends of the song: an edit this close to an existing marker
// takes that marker over instead of adding one.
inline constexpr double kMarkerSpacingSeconds = 0.02;

}  // namespace corvel
