#pragma once

#include <filesystem>
#include <memory>

#include "audio/audio_file_reader.hpp"
#include "common/error.hpp"

namespace corvel::audio {

class AudioFileReader::Backend {
public:
    virtual ~Backend() = default;
    virtual double sampleRate() const = 0;
    virtual std::uint32_t channelCount() const = 0;
    virtual std::int64_t length() const = 0;
    virtual std::int64_t framePosition() const = 0;
    virtual void setFramePosition(std::int64_t frame) = 0;
    virtual void read(AudioBuffer& buffer, std::uint32_t frameCount) = 0;
    virtual const char* name() const = 0;
};

// Both return null (with the library's error in *error) when the library can't read the file.
std::unique_ptr<AudioFileReader::Backend> openSndfileBackend(const std::filesystem::path& file, Error* error);
std::unique_ptr<AudioFileReader::Backend> openFFmpegBackend(const std::filesystem::path& file, Error* error);

}  // namespace corvel::audio
