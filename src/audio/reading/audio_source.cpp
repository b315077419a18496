#include "audio/reading/audio_source.hpp"

#include <new>
#include <stdexcept>

namespace corvel::audio {

AudioBuffer::AudioBuffer(std::uint32_t channelCount, std::uint32_t frameCapacity)
    : channels_(channelCount), capacity_(frameCapacity), samples_(std::size_t(channelCount) * frameCapacity, 0.0f) {}

std::optional<AudioBuffer> AudioSource::makeBuffer(std::uint32_t frameCapacity) const {
    const auto channels = channelCount();
    if (channels == 0 || frameCapacity == 0) return std::nullopt;
    try {
        return AudioBuffer(channels, frameCapacity);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    } catch (const std::length_error&) {
        return std::nullopt;
    }
}

}  // namespace corvel::audio
