#pragma once

#include <optional>

#include "core/waveform_data.hpp"

namespace corvel {

// Where a requested time snaps to: the centre of the winning waveform bin.
struct BeatloomTransientSnap {
    double time = 0;      // seconds, never beyond the waveform's duration
    double score = 0;     // always above the acceptance threshold
    double distance = 0;  // from the requested time after it was clamped to the audio
    friend bool operator==(const BeatloomTransientSnap&, const BeatloomTransientSnap&) = default;
};

// The strongest sudden rise of the peak envelope within `radius` seconds of `time` (the radius
// is held to 0.008...0.12 s), judged from the waveform overview alone; nothing when the
// waveform is unusable or no bin rises clearly enough. The first two and the last two bins
// are never returned. Allocates nothing.
std::optional<BeatloomTransientSnap> snappedTransient(const BeatloomWaveformData& waveform, double time,
                                                      double radius);

}  // namespace corvel
