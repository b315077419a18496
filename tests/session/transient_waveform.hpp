#pragma once

#include <cstddef>
#include <vector>

#include "core/waveform_data.hpp"
#include "session/session_fixture.hpp"

namespace corvel::session::testing {

// A silent song overview in 10 ms bins with one sharp hit in the bin of each given time; the
// transient search returns the centre of that bin (a hit at 5.0 s snaps to 5.005 s).
inline BeatloomWaveformData waveformWithHits(const std::vector<double>& hitSeconds) {
    constexpr double kBinSeconds = 0.01;
    const auto bins = static_cast<std::size_t>(kSongSeconds / kBinSeconds);
    BeatloomWaveformData waveform;
    waveform.durationSeconds = kSongSeconds;
    waveform.minPeaks.assign(bins, 0.0f);
    waveform.maxPeaks.assign(bins, 0.0f);
    for (double hit : hitSeconds) {
        const auto bin = static_cast<std::size_t>(hit / kBinSeconds);
        waveform.minPeaks[bin] = -0.9f;
        waveform.maxPeaks[bin] = 0.9f;
    }
    return waveform;
}

}  // namespace corvel::session::testing
