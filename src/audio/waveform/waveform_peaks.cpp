// Waveform peaks: the binning and normalisation rule and the two decoding routes.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <unistd.h>
#include <vector>

#include "audio/reading/audio_file_reader.hpp"
#include "audio/reading/ffmpeg_decoding.hpp"
#include "audio/reading/regular_file.hpp"
#include "audio/waveform/waveform_loader.hpp"
#include "common/numeric.hpp"

namespace corvel::audio {
namespace {

constexpr std::uint32_t kBlockFrames = 32768;

[[noreturn]] void throwWaveformError(int code, const char* message) {
    throw ErrorException(Error{kWaveformErrorDomain, code, message});
}

// Lowest and highest sample per bin over the frames fed in, in time order or not.
class PeakBins {
public:
    PeakBins(double durationSeconds, std::int64_t binCount)
        : duration_(durationSeconds),
          divisor_(std::max(durationSeconds, 1e-6)),
          count_(std::max<std::int64_t>(binCount, 1)),
          minPeaks_(static_cast<std::size_t>(count_), 0.0f),
          maxPeaks_(static_cast<std::size_t>(count_), 0.0f),
          reached_(static_cast<std::size_t>(count_), 0) {}

    // Adds one frame at time t; false (and nothing added) once t lies beyond the duration.
    template <typename SampleAt>
    bool add(double t, std::uint32_t channels, SampleAt sampleAt) {
        if (t > duration_) return false;
        const auto i = static_cast<std::size_t>(
            std::clamp<std::int64_t>(saturatingInt64(t / divisor_ * static_cast<double>(count_)), 0, count_ - 1));
        float lo = FLT_MAX;
        float hi = -FLT_MAX;
        bool anyNumber = false;
        for (std::uint32_t ch = 0; ch < channels; ++ch) {
            const float sample = sampleAt(ch);
            anyNumber = anyNumber || !std::isnan(sample);
            if (sample < lo) lo = sample;  // NaN takes part in neither comparison
            if (sample > hi) hi = sample;
        }
        if (!anyNumber || std::isinf(lo) || std::isinf(hi)) return true;
        if (reached_[i] != 0) {
            minPeaks_[i] = std::min(minPeaks_[i], lo);
            maxPeaks_[i] = std::max(maxPeaks_[i], hi);
        } else {
            minPeaks_[i] = lo;
            maxPeaks_[i] = hi;
            reached_[i] = 1;
            ++reachedCount_;
        }
        return true;
    }

    // Normalises to the loudest bin and completes the record. A decode that reached no bin
    // delivered no audio at all and is a failure, not an empty waveform.
    BeatloomWaveformData finish(std::string sourceDescription) {
        if (reachedCount_ == 0) throwWaveformError(kWaveformInvalidFormatCode, kWaveformInvalidFormatMessage);
        float peak = 0;
        for (std::size_t i = 0; i < reached_.size(); ++i) {
            if (reached_[i] != 0) peak = std::max({peak, std::abs(minPeaks_[i]), std::abs(maxPeaks_[i])});
        }
        if (peak > 1e-6f) {
            for (std::size_t i = 0; i < reached_.size(); ++i) {
                if (reached_[i] == 0) continue;
                minPeaks_[i] /= peak;
                maxPeaks_[i] /= peak;
            }
        }
        BeatloomWaveformData record;
        record.durationSeconds = duration_;
        record.minPeaks = std::move(minPeaks_);
        record.maxPeaks = std::move(maxPeaks_);
        record.sourceDescription = std::move(sourceDescription);
        record.algorithmVersion = kWaveformAlgorithmVersion;
        return record;
    }

private:
    double duration_;
    double divisor_;
    std::int64_t count_;
    std::vector<float> minPeaks_;
    std::vector<float> maxPeaks_;
    std::vector<std::uint8_t> reached_;
    std::int64_t reachedCount_ = 0;
};

}  // namespace

BeatloomWaveformData BeatloomWaveformLoader::computeWithAudioFile(const std::filesystem::path& file,
                                                                  double effectiveDurationSeconds,
                                                                  std::int64_t binCount) {
    if (::access(file.c_str(), R_OK) != 0) {
        throwWaveformError(kWaveformNotReadableCode, kWaveformNotReadableMessage);
    }
    auto reader = AudioFileReader::open(file);
    return computeWithSource(*reader, effectiveDurationSeconds, binCount, file.filename().string());
}

BeatloomWaveformData BeatloomWaveformLoader::computeWithSource(AudioSource& source, double effectiveDurationSeconds,
                                                               std::int64_t binCount, std::string sourceDescription) {
    const double sr = source.sampleRate();
    const std::uint32_t channels = source.channelCount();
    const std::int64_t length = source.length();
    if (!(sr > 0) || channels == 0 || length < 1) {
        throwWaveformError(kWaveformInvalidFormatCode, kWaveformInvalidFormatMessage);
    }
    // Blocks no longer than the frames up to the duration: a short file takes a short buffer.
    const auto blockFrames = static_cast<std::uint32_t>(std::clamp<std::int64_t>(
        std::min(length, saturatingInt64(std::floor(effectiveDurationSeconds * sr)) + 2), 1, kBlockFrames));
    auto buffer = source.makeBuffer(blockFrames);
    if (!buffer) throwWaveformError(kWaveformInvalidFormatCode, kWaveformInvalidFormatMessage);
    if (buffer->channelCount() < channels) throwWaveformError(kWaveformNotFloatCode, kWaveformNotFloatMessage);

    PeakBins bins(effectiveDurationSeconds, binCount);
    std::vector<const float*> channelData(channels);
    // Frames after the duration take no part; reading stops at the first of them.
    bool beyond = false;
    while (!beyond && source.framePosition() < length) {
        const std::int64_t blockStart = source.framePosition();
        const auto count = static_cast<std::uint32_t>(std::min<std::int64_t>(length - blockStart, blockFrames));
        source.read(*buffer, count);
        const std::uint32_t frames = buffer->frameLength();
        if (frames == 0) break;
        for (std::uint32_t ch = 0; ch < channels; ++ch) channelData[ch] = buffer->channel(ch);
        for (std::uint32_t k = 0; k < frames && !beyond; ++k) {
            const double t = static_cast<double>(blockStart + k) / sr;
            beyond = !bins.add(t, channels, [&](std::uint32_t ch) { return channelData[ch][k]; });
        }
    }
    return bins.finish(std::move(sourceDescription));
}

BeatloomWaveformData BeatloomWaveformLoader::computeWithAssetReader(const std::filesystem::path& file,
                                                                    double effectiveDurationSeconds,
                                                                    std::int64_t binCount, const Error& firstError) {
    // A file FFmpeg can't open, or one without an audio stream, has no audio track to
    // offer: the first route's error tells the user more.
    std::shared_ptr<const RegularFile> opened;
    try {
        opened = RegularFile::open(file);
    } catch (const ErrorException&) {
        throw ErrorException(firstError);
    }
    auto decoder = ffmpeg::StreamDecoder::open(opened, nullptr);
    if (!decoder) throw ErrorException(firstError);

    // Planar like the decoders' own output, which then needs no converting.
    ffmpeg::FloatConverter converter(AV_SAMPLE_FMT_FLTP, file);
    PeakBins bins(effectiveDurationSeconds, binCount);
    // Frames are timed as the reader times them: by the samples decoded before them, from the
    // first decoded frame on, whatever its timestamp (an encoder's delay gives it a later
    // one). A change of rate starts a new count where the last run of frames ended.
    int rate = 0;
    double rateStartSeconds = 0;
    std::int64_t samplesAtRate = 0;
    bool beyond = false;
    while (!beyond && decoder->next()) {
        const AVFrame* frame = decoder->frame();
        if (!ffmpeg::isUsable(frame)) continue;
        const int sr = frame->sample_rate;
        if (sr != rate) {
            if (rate > 0) rateStartSeconds += static_cast<double>(samplesAtRate) / rate;
            rate = sr;
            samplesAtRate = 0;
        }
        // Each frame keeps its own layout and rate, however often they change.
        const int frames = converter.convert(frame, frame->ch_layout, sr);
        const auto channels = static_cast<std::uint32_t>(converter.channels());
        const float* data = converter.data();
        const std::size_t stride = converter.stride();
        for (int k = 0; k < frames && !beyond; ++k) {
            const double t = rateStartSeconds + static_cast<double>(samplesAtRate + k) / sr;
            const float* samples = data + k;
            beyond = !bins.add(t, channels, [&](std::uint32_t ch) { return samples[ch * stride]; });
        }
        samplesAtRate += frames;
    }
    return bins.finish(file.filename().string());
}

}  // namespace corvel::audio
