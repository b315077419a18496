#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvel::audio {

// Non-interleaved 32-bit float blocks, one array per channel, with a fixed capacity and
// the number of frames a read filled in.
class AudioBuffer {
public:
    AudioBuffer(std::uint32_t channelCount, std::uint32_t frameCapacity);

    std::uint32_t channelCount() const { return channels_; }
    std::uint32_t frameCapacity() const { return capacity_; }
    std::uint32_t frameLength() const { return length_; }
    void setFrameLength(std::uint32_t frames) { length_ = frames < capacity_ ? frames : capacity_; }

    // Samples of one channel (frameCapacity() of them; the first frameLength() are valid).
    float* channel(std::uint32_t index) { return samples_.data() + std::size_t(index) * capacity_; }
    const float* channel(std::uint32_t index) const { return samples_.data() + std::size_t(index) * capacity_; }

private:
    std::uint32_t channels_;
    std::uint32_t capacity_;
    std::uint32_t length_ = 0;
    std::vector<float> samples_;
};

// A readable stream of audio frames at its own rate: what the analyser and the waveform
// builder take from an audio file. Not shared between threads; open one per thread.
class AudioSource {
public:
    virtual ~AudioSource() = default;

    virtual double sampleRate() const = 0;
    virtual std::uint32_t channelCount() const = 0;
    // Exact number of frames.
    virtual std::int64_t length() const = 0;
    virtual std::int64_t framePosition() const = 0;
    // Positions beyond the length are clamped to it. Throws ErrorException on a failed seek.
    virtual void setFramePosition(std::int64_t frame) = 0;
    // Reads up to min(frameCount, buffer capacity) frames from the position on, sets the
    // buffer's frame length to what was read (0 at the end) and advances the position.
    // Throws ErrorException on a decoding or I/O failure.
    virtual void read(AudioBuffer& buffer, std::uint32_t frameCount) = 0;

    // A buffer in this source's channel layout; none when it can't be made.
    virtual std::optional<AudioBuffer> makeBuffer(std::uint32_t frameCapacity) const;
};

}  // namespace corvel::audio
