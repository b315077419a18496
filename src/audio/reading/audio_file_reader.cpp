#include "audio/reading/audio_file_reader.hpp"

#include <cerrno>

#include <sndfile.h>

extern "C" {
#include <libavutil/error.h>
}

#include "audio/reading/audio_file_backend.hpp"
#include "common/error.hpp"
#include "common/format.hpp"

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

namespace {

// Throws ErrorException when the decoder found a format out of the reader's range.
void refuseUnusualFormat(const std::filesystem::path& file, const AudioFileReader::Backend& backend) {
    const std::string domain = backend.name();
    const int code = domain == kFFmpegErrorDomain ? AVERROR(ERANGE) : SF_ERR_UNSUPPORTED_ENCODING;
    const std::string name = "\"" + file.filename().string() + "\"";
    const std::uint32_t channels = backend.channelCount();
    if (channels < 1 || channels > kMostChannels) {
        throw ErrorException(Error{domain, code,
                                   name + " holds " + formatInteger(channels) + " channels of audio; Orvanta VODUVE " +
                                       "Corvel reads files of 1 to " + formatInteger(kMostChannels) + " channels."});
    }
    const double rate = backend.sampleRate();
    if (!(rate >= kLowestSampleRate && rate <= kHighestSampleRate)) {
        throw ErrorException(Error{domain, code,
                                   name + " says its audio has " + formatFixed(rate, 0) + " samples a second; " +
                                       "Orvanta VODUVE Corvel reads sample rates of 1 Hz to 768 kHz."});
    }
}

}  // namespace

std::unique_ptr<AudioFileReader> AudioFileReader::open(const std::filesystem::path& file) {
    const auto opened = RegularFile::open(file);
    Error error;
    bool sndfileReads = false;
    auto backend = openSndfileBackend(opened, SndfileLength::declared, &error, &sndfileReads);
    if (!backend) backend = openFFmpegBackend(opened, &error);
    // Last, libsndfile counting the frames of a file it opened but FFmpeg can't read; one it
    // could not open at all is not tried again.
    if (!backend && sndfileReads) backend = openSndfileBackend(opened, SndfileLength::counted, nullptr);
    if (!backend) throw ErrorException(unreadableAudioError(file, error));
    refuseUnusualFormat(file, *backend);
    return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(backend)));
}

std::unique_ptr<AudioFileReader> AudioFileReader::openWithFFmpeg(const std::filesystem::path& file) {
    const auto opened = RegularFile::open(file);
    Error error;
    auto backend = openFFmpegBackend(opened, &error);
    if (!backend) throw ErrorException(unreadableAudioError(file, error));
    refuseUnusualFormat(file, *backend);
    return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(backend)));
}

double AudioFileReader::sampleRate() const { return backend_->sampleRate(); }
std::uint32_t AudioFileReader::channelCount() const { return backend_->channelCount(); }
std::int64_t AudioFileReader::length() const { return backend_->length(); }
std::int64_t AudioFileReader::framePosition() const { return backend_->framePosition(); }
void AudioFileReader::setFramePosition(std::int64_t frame) { backend_->setFramePosition(frame); }
void AudioFileReader::read(AudioBuffer& buffer, std::uint32_t frameCount) { backend_->read(buffer, frameCount); }
const char* AudioFileReader::decoderName() const { return backend_->name(); }

}  // namespace corvel::audio
