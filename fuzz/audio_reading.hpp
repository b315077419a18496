#pragma once

// What the analyser, the waveform and the preview do with a reader: read it through,
// seek back and forth, read again. Bounded so that a huge claimed length stays quick.

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "audio/reading/audio_source.hpp"

namespace corvel::fuzz {

inline void exercise(audio::AudioSource& source) {
    constexpr std::uint32_t kBlock = 4096;
    constexpr std::int64_t kMostFrames = 1 << 20;
    const std::uint32_t channels = source.channelCount();
    if (channels == 0 || channels > 64) return;
    auto buffer = source.makeBuffer(kBlock);
    if (!buffer) return;
    const std::int64_t length = source.length();
    std::int64_t total = 0;
    double sum = 0;
    auto readSome = [&](std::int64_t most) {
        for (std::int64_t read = 0; read < most;) {
            source.read(*buffer, kBlock);
            const std::uint32_t frames = buffer->frameLength();
            if (frames == 0) return;
            if (frames > kBlock) std::abort();
            for (std::uint32_t ch = 0; ch < channels; ++ch) {
                for (std::uint32_t i = 0; i < frames; ++i) sum += buffer->channel(ch)[i];
            }
            read += frames;
            total += frames;
            if (total > kMostFrames) return;
        }
    };
    readSome(kMostFrames);
    if (source.framePosition() > length) std::abort();
    for (const std::int64_t to : {length / 2, std::int64_t(3), length - 100, length + 7, std::int64_t(-5)}) {
        source.setFramePosition(to);
        const std::int64_t at = source.framePosition();
        if (at < 0 || at > length) std::abort();
        readSome(2 * kBlock);
    }
    volatile double keep = sum;
    (void)keep;
}

}  // namespace corvel::fuzz
