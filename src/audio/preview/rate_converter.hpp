#pragma once

#include <cstdint>

#include "audio/reading/audio_source.hpp"

struct SwrContext;

namespace corvel::audio {

// Converts planar float blocks at one sample rate into interleaved float frames at another
// (libswresample). Output frame n is the input at time n / outputRate: the converter holds
// back its filter's delay and gives the rest out at flush(). Not shared between threads.
class RateConverter {
public:
    // Throws ErrorException (domain "FFmpeg") when the converter can't be set up.
    RateConverter(std::uint32_t channelCount, int inputRate, int outputRate);
    ~RateConverter();
    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;

    // The most frames that converting `inputFrames` more frames can give.
    std::uint32_t maxOutputFrames(std::uint32_t inputFrames) const;
    // Converts the first `inputFrames` frames of the block into `out`, which has room for
    // `outputCapacity` frames (maxOutputFrames(inputFrames) always fits); returns the frames
    // written. Throws ErrorException.
    std::uint32_t convert(const AudioBuffer& block, std::uint32_t inputFrames, float* out,
                          std::uint32_t outputCapacity);
    // At the end of the input: the frames still held back.
    std::uint32_t flush(float* out, std::uint32_t outputCapacity);

private:
    std::uint32_t run(const std::uint8_t** input, int inputFrames, float* out, std::uint32_t outputCapacity);

    SwrContext* context_ = nullptr;
    std::uint32_t channels_;
};

}  // namespace corvel::audio
