#include "audio/reading/audio_file_reader.hpp"

#include "audio/reading/audio_file_backend.hpp"
#include "common/error.hpp"

namespace corvel::audio {

AudioFileReader::AudioFileReader(std::unique_ptr<Backend> backend) : backend_(std::move(backend)) {}
AudioFileReader::~AudioFileReader() = default;

std::unique_ptr<AudioFileReader> AudioFileReader::open(const std::filesystem::path& file) {
    const auto opened = RegularFile::open(file);
    Error error;
    if (auto backend = openSndfileBackend(opened, &error)) {
        return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(backend)));
    }
    if (auto backend = openFFmpegBackend(opened, &error)) {
        return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(backend)));
    }
    throw ErrorException(error);
}

std::unique_ptr<AudioFileReader> AudioFileReader::openWithFFmpeg(const std::filesystem::path& file) {
    const auto opened = RegularFile::open(file);
    Error error;
    if (auto backend = openFFmpegBackend(opened, &error)) {
        return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(backend)));
    }
    throw ErrorException(error);
}

double AudioFileReader::sampleRate() const { return backend_->sampleRate(); }
std::uint32_t AudioFileReader::channelCount() const { return backend_->channelCount(); }
std::int64_t AudioFileReader::length() const { return backend_->length(); }
std::int64_t AudioFileReader::framePosition() const { return backend_->framePosition(); }
void AudioFileReader::setFramePosition(std::int64_t frame) { backend_->setFramePosition(frame); }
void AudioFileReader::read(AudioBuffer& buffer, std::uint32_t frameCount) { backend_->read(buffer, frameCount); }
const char* AudioFileReader::decoderName() const { return backend_->name(); }

}  // namespace corvel::audio
