#pragma once

#include <filesystem>
#include <memory>

#include "audio/reading/audio_source.hpp"

namespace corvel::audio {

inline constexpr const char* kSndfileErrorDomain = "libsndfile";
inline constexpr const char* kFFmpegErrorDomain = "FFmpeg";

// An audio file opened for reading: libsndfile for what it knows (WAV, AIFF, FLAC, OGG,
// MP3), FFmpeg's first audio stream for everything else (M4A/AAC, video containers).
// Samples come as 32-bit floats per channel at the file's own rate.
class AudioFileReader final : public AudioSource {
public:
    class Backend;

    // Throws ErrorException: domain "POSIX" when the file can't be opened at all or is no
    // regular file (a named pipe, device or folder is refused without blocking), else the
    // library's domain and message when neither library can read it. The reader keeps the
    // opened file: replacing it on disk later changes nothing the reader delivers.
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
