#pragma once

// What the analyser, the waveform and the preview do with a reader: read, seek forward and
// back, read again. Bounded so that every input costs little, however long it claims or
// turns out to be: a few blocks from the start and one after each seek. The seek back to the
// start may decode anew with a fresh decoder or open the file again, which costs more than
// all the rest for the compressed formats; opening the reader already went back there once
// (after counting to the end), so only one input in four, picked by its size, goes back again.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "audio/reading/audio_source.hpp"

namespace corvel::fuzz {

// The waveform's binning over the first tenth of a second, in as many bins as the app gives
// a tenth of a second (2,000 a second): the same rule as a whole song's, at a fraction of
// the work.
inline constexpr double kWaveformSeconds = 0.1;
inline constexpr std::int64_t kWaveformBins = 200;

// True for the inputs whose reader seeks back to the start once more.
inline bool seeksBackToTheStart(std::size_t inputSize) { return inputSize % 4 == 0; }

inline void exercise(audio::AudioSource& source, bool backToTheStart) {
    // Blocks of 1,000 frames end inside a decoded frame of every codec (1,024 samples for
    // AAC, 1,152 for MP3, 4,096 for FLAC): reads go on from a frame's middle as often as
    // with longer blocks, and decode only the frames they need.
    constexpr std::uint32_t kBlock = 1000;
    const std::uint32_t channels = source.channelCount();
    if (channels == 0 || channels > 64) return;
    auto buffer = source.makeBuffer(kBlock);
    if (!buffer) return;
    const std::int64_t length = source.length();
    if (length < 0) std::abort();
    double sum = 0;
    // Every sample read is touched, for the sanitizers to check; the loop itself tells the
    // fuzzer nothing, so it goes without coverage callbacks.
    auto readSome = [&](int blocks) __attribute__((no_sanitize("coverage"))) {
        for (int block = 0; block < blocks; ++block) {
            source.read(*buffer, kBlock);
            const std::uint32_t frames = buffer->frameLength();
            if (frames == 0) return;
            if (frames > kBlock) std::abort();
            for (std::uint32_t ch = 0; ch < channels; ++ch) {
                for (std::uint32_t i = 0; i < frames; ++i) sum += buffer->channel(ch)[i];
            }
        }
        if (source.framePosition() > length) std::abort();
    };
    auto seekTo = [&](std::int64_t to) {
        source.setFramePosition(to);
        const std::int64_t at = source.framePosition();
        if (at < 0 || at > length || (to >= 0 && to <= length && at != to)) std::abort();
    };
    readSome(2);
    // Forward halfway through the rest (by timestamp where that is far), to the last frames
    // and past the end; back before the start (decoding anew) and a little forward from
    // there; far back from the end where the audio is long enough to seek back by timestamp.
    const std::int64_t beyond = length > std::numeric_limits<std::int64_t>::max() - 7 ? length : length + 7;
    seekTo(source.framePosition() + (length - source.framePosition()) / 2);
    readSome(1);
    seekTo(std::max(source.framePosition(), length - 100));
    readSome(1);
    seekTo(beyond);
    readSome(1);
    if (backToTheStart) {
        seekTo(-5);
        seekTo(3);
        readSome(1);
    }
    if (source.sampleRate() > 0 && static_cast<double>(length) > 8 * source.sampleRate()) {
        seekTo(length - 1);
        seekTo(length / 2);
        readSome(1);
    }
    volatile double keep = sum;
    (void)keep;
}

}  // namespace corvel::fuzz
