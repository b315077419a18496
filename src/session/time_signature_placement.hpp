#pragma once

#include <cstdint>
#include <vector>

#include "core/tempo_map_records.hpp"

namespace corvel::session {

// The meter map (normalised, not yet normalised again) with a signature set at a time: a change
// less than 0.02 s from it takes the signature and moves there, the song-start one staying at
// 0 s; otherwise a new change is appended. The time is held inside the song.
std::vector<BeatloomMeterEvent> withTimeSignatureAt(const std::vector<BeatloomMeterEvent>& events, double seconds,
                                                    std::int64_t numerator, std::int64_t denominator,
                                                    double duration);

}  // namespace corvel::session
