#pragma once

#include <filesystem>
#include <memory>

#include "audio/audio_file_reader.hpp"
#include "common/error.hpp"

namespace corvel::audio {

// One decoding library behind the reader: an audio source that also names its library.
class AudioFileReader::Backend : public AudioSource {
public:
    virtual const char* name() const = 0;
};

// Both return null (with the library's error in *error) when the library can't read the file.
std::unique_ptr<AudioFileReader::Backend> openSndfileBackend(const std::filesystem::path& file, Error* error);
std::unique_ptr<AudioFileReader::Backend> openFFmpegBackend(const std::filesystem::path& file, Error* error);

}  // namespace corvel::audio
