#pragma once

#include <filesystem>
#include <memory>

#include "audio/reading/audio_file_reader.hpp"
#include "audio/reading/regular_file.hpp"
#include "common/error.hpp"

namespace corvel::audio {

// One decoding library behind the reader: an audio source that also names its library.
class AudioFileReader::Backend : public AudioSource {
public:
    virtual const char* name() const = 0;
};

// Both return null (with the library's error in *error) when the library can't read the
// file; a backend keeps the opened file for its whole life.
std::unique_ptr<AudioFileReader::Backend> openSndfileBackend(std::shared_ptr<const RegularFile> file, Error* error);
std::unique_ptr<AudioFileReader::Backend> openFFmpegBackend(std::shared_ptr<const RegularFile> file, Error* error);

}  // namespace corvel::audio
