#include "audio/reading/audio_file_reader.hpp"

#include <cerrno>

extern "C" {
#include <libavutil/error.h>
}

#include "audio/reading/audio_file_backend.hpp"
#include "common/error.hpp"

namespace corvel::audio {

AudioFileReader::AudioFileReader(std::unique_ptr<Backend> backend) : backend_(std::move(backend)) {}
AudioFileReader::~AudioFileReader() = default;

Error unreadableAudioError(const std::filesystem::path& file, const Error& decoderError) {
    if (decoderError.domain == kPosixErrorDomain ||
        (decoderError.domain == kFFmpegErrorDomain &&
         (decoderError.code == AVERROR(EIO) || decoderError.code == AVERROR(ENOMEM)))) {
        return decoderError;
    }
    return Error{decoderError.domain, decoderError.code,
                 "\"" + file.filename().string() + "\" is not an audio file that Orvanta VODUVE Corvel can read. " +
                     "Open an audio file such as WAV, AIFF, FLAC, MP3, M4A or Ogg."};
}

std::unique_ptr<AudioFileReader> AudioFileReader::open(const std::filesystem::path& file) {
    const auto opened = RegularFile::open(file);
    Error error;
    if (auto backend = openSndfileBackend(opened, SndfileLength::declared, &error)) {
        return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(backend)));
    }
    if (auto backend = openFFmpegBackend(opened, &error)) {
        return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(backend)));
    }
    if (auto backend = openSndfileBackend(opened, SndfileLength::counted, nullptr)) {
        return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(backend)));
    }
    throw ErrorException(unreadableAudioError(file, error));
}

std::unique_ptr<AudioFileReader> AudioFileReader::openWithFFmpeg(const std::filesystem::path& file) {
    const auto opened = RegularFile::open(file);
    Error error;
    if (auto backend = openFFmpegBackend(opened, &error)) {
        return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(backend)));
    }
    throw ErrorException(unreadableAudioError(file, error));
}

double AudioFileReader::sampleRate() const { return backend_->sampleRate(); }
std::uint32_t AudioFileReader::channelCount() const { return backend_->channelCount(); }
std::int64_t AudioFileReader::length() const { return backend_->length(); }
std::int64_t AudioFileReader::framePosition() const { return backend_->framePosition(); }
void AudioFileReader::setFramePosition(std::int64_t frame) { backend_->setFramePosition(frame); }
void AudioFileReader::read(AudioBuffer& buffer, std::uint32_t frameCount) { backend_->read(buffer, frameCount); }
const char* AudioFileReader::decoderName() const { return backend_->name(); }

}  // namespace corvel::audio
