#include "audio/audio_file_reader.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "audio/audio_file_backend.hpp"
#include "common/error.hpp"

namespace corvel::audio {
namespace {

// Tells a missing or unreadable file apart from one that no library understands.
void requireReadableFile(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ErrorException(Error::fromErrno(errno, "open " + file.string()));
    ::close(fd);
}

}  // namespace

AudioFileReader::AudioFileReader(std::unique_ptr<Backend> backend) : backend_(std::move(backend)) {}
AudioFileReader::~AudioFileReader() = default;

std::unique_ptr<AudioFileReader> AudioFileReader::open(const std::filesystem::path& file) {
    requireReadableFile(file);
    Error error;
    if (auto backend = openSndfileBackend(file, &error)) {
        return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(backend)));
    }
    if (auto backend = openFFmpegBackend(file, &error)) {
        return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(backend)));
    }
    throw ErrorException(error);
}

std::unique_ptr<AudioFileReader> AudioFileReader::openWithFFmpeg(const std::filesystem::path& file) {
    requireReadableFile(file);
    Error error;
    if (auto backend = openFFmpegBackend(file, &error)) {
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
