// The libsndfile route of the audio-file reader.

#include <algorithm>
#include <vector>

#include <sndfile.h>

#include "audio/audio_file_backend.hpp"
#include "common/format.hpp"

namespace corvel::audio {
namespace {

class SndfileBackend final : public AudioFileReader::Backend {
public:
    SndfileBackend(SNDFILE* file, const SF_INFO& info, std::filesystem::path path)
        : file_(file), info_(info), path_(std::move(path)) {}
    ~SndfileBackend() override { sf_close(file_); }

    double sampleRate() const override { return static_cast<double>(info_.samplerate); }
    std::uint32_t channelCount() const override { return static_cast<std::uint32_t>(std::max(info_.channels, 0)); }
    std::int64_t length() const override { return std::max<sf_count_t>(info_.frames, 0); }
    std::int64_t framePosition() const override { return position_; }
    const char* name() const override { return kSndfileErrorDomain; }

    void setFramePosition(std::int64_t frame) override {
        const std::int64_t target = std::clamp<std::int64_t>(frame, 0, length());
        if (target == position_) return;
        if (sf_seek(file_, target, SEEK_SET) < 0) {
            throw ErrorException(Error{kSndfileErrorDomain, sf_error(file_),
                                       "seek " + path_.string() + " to frame " + formatInteger(target) + ": " +
                                           sf_strerror(file_)});
        }
        position_ = target;
    }

    void read(AudioBuffer& buffer, std::uint32_t frameCount) override {
        buffer.setFrameLength(0);
        const std::uint32_t channels = channelCount();
        const std::int64_t wanted =
            std::min<std::int64_t>({frameCount, buffer.frameCapacity(), length() - position_});
        if (wanted <= 0 || channels == 0 || buffer.channelCount() < channels) return;
        const std::size_t needed = static_cast<std::size_t>(wanted) * channels;
        if (interleaved_.size() < needed) interleaved_.resize(needed);
        const sf_count_t got = sf_readf_float(file_, interleaved_.data(), wanted);
        if (got < 0 || (got < wanted && sf_error(file_) != SF_ERR_NO_ERROR)) {
            throw ErrorException(Error{kSndfileErrorDomain, sf_error(file_),
                                       "read " + path_.string() + ": " + sf_strerror(file_)});
        }
        const auto frames = static_cast<std::uint32_t>(got);
        for (std::uint32_t ch = 0; ch < channels; ++ch) {
            float* out = buffer.channel(ch);
            const float* in = interleaved_.data() + ch;
            for (std::uint32_t i = 0; i < frames; ++i) out[i] = in[std::size_t(i) * channels];
        }
        buffer.setFrameLength(frames);
        position_ += got;
    }

private:
    SNDFILE* file_;
    SF_INFO info_;
    std::filesystem::path path_;
    std::int64_t position_ = 0;
    std::vector<float> interleaved_;
};

}  // namespace

std::unique_ptr<AudioFileReader::Backend> openSndfileBackend(const std::filesystem::path& file, Error* error) {
    SF_INFO info{};
    SNDFILE* handle = sf_open(file.c_str(), SFM_READ, &info);
    if (handle == nullptr) {
        if (error != nullptr) {
            *error = Error{kSndfileErrorDomain, sf_error(nullptr), "open " + file.string() + ": " + sf_strerror(nullptr)};
        }
        return nullptr;
    }
    // Integer files read as floats in -1...1; float files come through unchanged.
    sf_command(handle, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    return std::make_unique<SndfileBackend>(handle, info, file);
}

}  // namespace corvel::audio
