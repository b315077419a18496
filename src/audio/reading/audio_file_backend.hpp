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

// Which lengths the libsndfile route takes: only a declared length known to be the audio
// present (uncompressed sample data, or a compressed file whose declared last frames read
// back), or else also the frames counted by reading the file through.
enum class SndfileLength { declared, counted };

// Both return null (with the library's error in *error) when the library can't read the
// file; a backend keeps the opened file for its whole life. The FFmpeg route counts the
// frames it decodes. *readable (when asked for) tells whether libsndfile opened the file at
// all, whatever its length.
std::unique_ptr<AudioFileReader::Backend> openSndfileBackend(std::shared_ptr<const RegularFile> file,
                                                             SndfileLength length, Error* error,
                                                             bool* readable = nullptr);
std::unique_ptr<AudioFileReader::Backend> openFFmpegBackend(std::shared_ptr<const RegularFile> file, Error* error);

}  // namespace corvel::audio
