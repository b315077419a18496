#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "audio/reading/audio_source.hpp"
#include "common/error.hpp"

namespace corvel::audio {

inline constexpr const char* kSndfileErrorDomain = "libsndfile";
inline constexpr const char* kFFmpegErrorDomain = "FFmpeg";

// The error of a file that no decoder can read, from the last decoder's: the library's
// domain and code with a message that names the file and says what to open instead. A
// failure to read the bytes at all (an I/O error, no memory) keeps the library's message.
Error unreadableAudioError(const std::filesystem::path& file, const Error& decoderError);

// The formats the reader opens: a file that decodes to more channels, or is sampled slower
// or faster, is refused (no recording is made that way; a damaged header says so).
inline constexpr std::uint32_t kMostChannels = 64;
inline constexpr double kLowestSampleRate = 1.0;
inline constexpr double kHighestSampleRate = 768000.0;

// An audio file opened for reading, at the length of the audio it holds. libsndfile reads
// what it knows the length of without decoding it all (uncompressed WAV and AIFF, FLAC whose
// declared length reads back); FFmpeg's first audio stream everything else (MP3, Ogg,
// M4A/AAC, video containers, FLAC cut short or of unknown length), counting the frames it
// decodes; libsndfile, counting too, what only it can read. Samples come as 32-bit floats
// per channel at the file's own rate.
class AudioFileReader final : public AudioSource {
public:
    class Backend;

    // Throws ErrorException: domain "POSIX" when the file can't be opened at all or is no
    // regular file (a named pipe, device or folder is refused without blocking); the
    // decoder's domain with a message saying so when it decodes to a format out of the range
    // above; else unreadableAudioError's. The reader keeps the opened file: replacing it on disk later
    // changes nothing the reader delivers.
    static std::unique_ptr<AudioFileReader> open(const std::filesystem::path& file);

    // Only the FFmpeg route, whatever the file (for comparing the two decoders).
    static std::unique_ptr<AudioFileReader> openWithFFmpeg(const std::filesystem::path& file);

    ~AudioFileReader() override;

    double sampleRate() const override;
    std::uint32_t channelCount() const override;
    std::int64_t length() const override;
    std::int64_t framePosition() const override;
    void setFramePosition(std::int64_t frame) override;
    void read(AudioBuffer& buffer, std::uint32_t frameCount) override;

    // "libsndfile" or "FFmpeg": which library decodes this file.
    const char* decoderName() const;

private:
    explicit AudioFileReader(std::unique_ptr<Backend> backend);
    std::unique_ptr<Backend> backend_;
};

}  // namespace corvel::audio
