#pragma once

#include <string>
#include <vector>

#include "common/hashing.hpp"

namespace corvel {

// The waveform of one audio file: per equal time bin, the normalised lowest and highest
// sample value. It is also the record of the on-disk waveform cache.
struct BeatloomWaveformData {
    double durationSeconds = 0;     // the effective duration the bins divide
    std::vector<float> minPeaks;    // 0 for a bin no frame reached
    std::vector<float> maxPeaks;
    std::string sourceDescription;  // the audio file's name with extension
    std::string algorithmVersion;
    friend bool operator==(const BeatloomWaveformData&, const BeatloomWaveformData&) = default;
};

}  // namespace corvel

template <>
struct std::hash<corvel::BeatloomWaveformData> {
    std::size_t operator()(const corvel::BeatloomWaveformData& data) const noexcept {
        return corvel::hashFields(data.durationSeconds, data.minPeaks, data.maxPeaks, data.sourceDescription,
                                  data.algorithmVersion);
    }
};
