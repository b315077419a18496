// Decoding and onset feature envelopes: the first stage of the tempo analysis.

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "audio/reading/audio_file_reader.hpp"
#include "analysis/local_mean.hpp"
#include "analysis/music_analyzer.hpp"
#include "analysis/tempo_refiner.hpp"
#include "analysis/vector_units.hpp"
#include "common/error.hpp"
#include "common/numeric.hpp"

#ifdef CORVEL_AUDIO_AVX2_PATHS
#include <immintrin.h>
#endif

namespace corvel::analysis {
namespace {

constexpr std::uint32_t kReadBlockFrames = 32768;
constexpr std::size_t kBandCount = 7;
// The duration of 512 samples at 44.1 kHz.
constexpr double kHopSeconds = 0.011609977324263039;
constexpr double kPi = 3.14159265358979323846;

struct FilterState {
    double lp180 = 0;
    double lp600 = 0;
    double lp2500 = 0;
    double lp7000 = 0;
    double previous = 0;
};

struct Span {
    std::int64_t startFrame = 0;
    std::int64_t endFrame = 0;
};

Span spanOf(double sampleRate, std::int64_t length, const std::optional<ORVAnalysisRange>& range) {
    const double fileSeconds = static_cast<double>(length) / sampleRate;
    double s = 0;
    double e = fileSeconds;
    if (range) {
        s = range->startSeconds >= 0 ? range->startSeconds : 0;
        s = std::min(s, fileSeconds);
        e = range->endSeconds >= s ? range->endSeconds : s;
        e = std::min(e, fileSeconds);
    }
    return Span{saturatingInt64(std::floor(sampleRate * s)), saturatingInt64(std::ceil(sampleRate * e))};
}

// Compress, rectify the rise, whiten and normalise one band's energy curve, in place; the
// whitened curve before normalising goes to `strengths` when given.
void makeBandOnsetEnvelope(std::vector<double>& curve, double frameSeconds, std::vector<float>* strengths) {
    double previous = 0;
    for (std::size_t k = 0; k < curve.size(); ++k) {
        const double y = std::log(1.0 + 55.0 * curve[k]);
        curve[k] = k == 0 ? 0.0 : std::max(y - previous, 0.0);
        previous = y;
    }
    ORVAudioMusicAnalyzer::suppressLocalMean(curve, frameSeconds);
    if (strengths) strengths->assign(curve.begin(), curve.end());
    ORVAudioMusicAnalyzer::normalizeByPercentile95(curve);
}

// Mean of the `keep` largest of `count` values, summed from the largest down.
template <std::size_t N>
double meanOfLargest(std::array<double, N>& values, std::size_t keep) {
    std::sort(values.begin(), values.end(), [](double a, double b) { return a > b; });
    double sum = 0;
    for (std::size_t i = 0; i < keep; ++i) sum += values[i];
    return sum / static_cast<double>(keep);
}

// Levels in dB of full scale; digital silence sits at the bottom of the scale.
constexpr double kSilenceDb = -120.0;
// Nothing this quiet is meaningful audio, however quiet the rest of the file.
constexpr double kAudibleFloorDb = -100.0;
// A background this far below the loud passages is noise or silence, not the music itself.
constexpr double kBackgroundDepthDb = 20.0;
// Sound stands out of such a background by this much...
constexpr double kAboveBackgroundDb = 10.0;
// ...and need never be louder than this below the loud passages.
constexpr double kBelowLoudDb = 50.0;
// Without a background, anything a little under the quietest stretch of music counts.
constexpr double kBelowSteadyLevelDb = 6.0;
// The floor shows in the gaps between notes, which a fifth of a second spans: over longer
// windows the rings of a soft pickup raise it to the pickup's own level.
constexpr double kFloorWindowSeconds = 0.2;
constexpr int kSustainedFrames = 4;

double levelDb(double rms) { return rms > 1e-6 ? 20.0 * std::log10(rms) : kSilenceDb; }

// The quietest stretch of the file: the lowest median level over windows of a fifth of a second.
double quietestLevelDb(const std::vector<double>& levels, double frameSeconds) {
    const std::size_t n = levels.size();
    const auto window = static_cast<std::size_t>(std::clamp<std::int64_t>(
        roundedInt64(kFloorWindowSeconds / frameSeconds), kSustainedFrames, static_cast<std::int64_t>(n)));
    const std::size_t hop = std::max<std::size_t>(window / 2, 1);
    std::vector<double> scratch(window);
    double quietest = std::numeric_limits<double>::infinity();
    for (std::size_t start = 0;; start += hop) {
        const std::size_t from = std::min(start, n - window);
        std::copy(levels.begin() + std::ptrdiff_t(from), levels.begin() + std::ptrdiff_t(from + window),
                  scratch.begin());
        const auto middle = scratch.begin() + std::ptrdiff_t(window / 2);
        std::nth_element(scratch.begin(), middle, scratch.end());
        quietest = std::min(quietest, *middle);
        if (from + window >= n) break;
    }
    return quietest;
}

}  // namespace

// The first frame of the first run of frames that stand out of the noise floor. The floor is
// the quietest fifth of a second; when it lies well below the loud passages (silence, hiss, room
// noise before the band) sound must rise clearly above it, and when it doesn't (music at a
// steady level throughout) the music itself is the floor and counts from its first frame.
std::optional<std::size_t> ORVAudioMusicAnalyzer::firstSustainedSoundFrame(std::span<const double> energy,
                                                                           double frameSeconds) {
    if (energy.empty() || !(frameSeconds > 0)) return std::nullopt;
    std::vector<double> levels(energy.size());
    std::transform(energy.begin(), energy.end(), levels.begin(), levelDb);
    const double floor = quietestLevelDb(levels, frameSeconds);
    const double loud = SetwrightMusicTempoRefiner::percentile(levels, 0.95);
    const double threshold =
        std::max({loud - floor >= kBackgroundDepthDb ? floor + kAboveBackgroundDb : floor - kBelowSteadyLevelDb,
                  loud - kBelowLoudDb, kAudibleFloorDb});
    int run = 0;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        run = levels[i] >= threshold ? run + 1 : 0;
        if (run == kSustainedFrames) return i + 1 - static_cast<std::size_t>(kSustainedFrames);
    }
    return std::nullopt;
}

std::int64_t ORVAudioMusicAnalyzer::hopSamples(double sampleRate) {
    return std::max<std::int64_t>(roundedInt64(sampleRate * kHopSeconds), 128);
}

ORVAudioFeatureSet ORVAudioMusicAnalyzer::decodeFeatureEnvelopes(const std::filesystem::path& file,
                                                                 std::optional<ORVAnalysisRange> range,
                                                                 ORVProgressSpan progress) {
    auto reader = audio::AudioFileReader::open(file);
    return decodeFeatureEnvelopes(*reader, range, progress);
}

namespace {

using BandEnergies = std::array<std::vector<double>, kBandCount>;

// The RMS of all channels over each run of `hop` frames, the last run possibly shorter.
class FineEnergy {
public:
    FineEnergy(std::uint32_t channels, std::int64_t hop) : channels_(channels), hop_(hop) {}

    void add(const std::vector<const float*>& channelData, std::uint32_t frames) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            for (std::uint32_t ch = 0; ch < channels_; ++ch) {
                const double x = channelData[ch][i];
                sum_ += x * x;
            }
            if (++counted_ == hop_) close();
        }
    }

    std::vector<float> finish() {
        if (counted_ > 0) close();
        return std::move(curve_);
    }

private:
    void close() {
        curve_.push_back(static_cast<float>(std::sqrt(sum_ / (static_cast<double>(counted_) * channels_))));
        sum_ = 0;
        counted_ = 0;
    }

    std::uint32_t channels_;
    std::int64_t hop_;
    double sum_ = 0;
    std::int64_t counted_ = 0;
    std::vector<float> curve_;
};

// Splits a sample into the bands: full range, below 180 Hz, 180-600, 600-2500, 2500 to the top
// corner (7 kHz at most), above it, and the sample-to-sample difference; adds each one's square.
struct BandSplitter {
    double a180, a600, a2500, aTop;
    double b180, b600, b2500, bTop;

    explicit BandSplitter(double sr) {
        const double topCorner = std::min(0.42 * sr, 7000.0);
        a180 = std::exp(-2.0 * kPi * 180.0 / sr);
        a600 = std::exp(-2.0 * kPi * 600.0 / sr);
        a2500 = std::exp(-2.0 * kPi * 2500.0 / sr);
        aTop = std::exp(-2.0 * kPi * topCorner / sr);
        b180 = 1 - a180;
        b600 = 1 - a600;
        b2500 = 1 - a2500;
        bTop = 1 - aTop;
    }

    void add(FilterState& f, double x, std::array<double, kBandCount>& sums) const {
        f.lp180 = b180 * x + a180 * f.lp180;
        f.lp600 = b600 * x + a600 * f.lp600;
        f.lp2500 = b2500 * x + a2500 * f.lp2500;
        f.lp7000 = bTop * x + aTop * f.lp7000;
        const double d2 = f.lp600 - f.lp180;
        const double d3 = f.lp2500 - f.lp600;
        const double d4 = f.lp7000 - f.lp2500;
        const double d5 = x - f.lp7000;
        const double d6 = x - f.previous;
        sums[0] += x * x;
        sums[1] += f.lp180 * f.lp180;
        sums[2] += d2 * d2;
        sums[3] += d3 * d3;
        sums[4] += d4 * d4;
        sums[5] += d5 * d5;
        sums[6] += d6 * d6;
        f.previous = x;
    }

    // add() for frames begin ... begin + count - 1 of every channel, channel by channel within
    // a frame.
    void addFrames(FilterState* filters, std::uint32_t channels, const float* const* data, std::uint32_t begin,
                   std::uint32_t count, std::array<double, kBandCount>& sums) const {
        for (std::uint32_t i = begin; i < begin + count; ++i) {
            for (std::uint32_t ch = 0; ch < channels; ++ch) {
                const float sample = data[ch][i];
                // A damaged float file may hold NaN or infinity; such a sample counts as silence.
                const double x = std::isfinite(sample) ? static_cast<double>(sample) : 0.0;
                add(filters[ch], x, sums);
            }
        }
    }

#ifdef CORVEL_AUDIO_AVX2_PATHS
    // addFrames() for one or two channels, with the four low-passes of a channel side by side
    // in one vector and the seven squares in two: every lane computes what add() computes, in
    // the same order.
    __attribute__((target("avx2"))) void addFramesWide(FilterState* filters, std::uint32_t channels,
                                                       const float* const* data, std::uint32_t begin,
                                                       std::uint32_t count,
                                                       std::array<double, kBandCount>& sums) const {
        const __m256d a = _mm256_setr_pd(a180, a600, a2500, aTop);
        const __m256d b = _mm256_setr_pd(b180, b600, b2500, bTop);
        const __m256d zero = _mm256_setzero_pd();
        // Bands 1-4 (low-pass 180 and the three differences of neighbouring low-passes) and
        // bands 0, 5, 6 (the sample, above the top corner, the step) with a spare lane.
        __m256d low = _mm256_setr_pd(sums[1], sums[2], sums[3], sums[4]);
        __m256d rest = _mm256_setr_pd(sums[0], sums[5], sums[6], 0.0);
        __m256d pass[2];
        __m256d previous[2];
        for (std::uint32_t ch = 0; ch < channels; ++ch) {
            const FilterState& f = filters[ch];
            pass[ch] = _mm256_setr_pd(f.lp180, f.lp600, f.lp2500, f.lp7000);
            previous[ch] = _mm256_set1_pd(f.previous);
        }
        for (std::uint32_t i = begin; i < begin + count; ++i) {
            for (std::uint32_t ch = 0; ch < channels; ++ch) {
                const float sample = data[ch][i];
                const double value = std::isfinite(sample) ? static_cast<double>(sample) : 0.0;
                const __m256d x = _mm256_set1_pd(value);
                const __m256d lp = _mm256_add_pd(_mm256_mul_pd(b, x), _mm256_mul_pd(a, pass[ch]));
                // [0, lp180, lp600, lp2500] and [0, lp7000, previous, 0].
                const __m256d below = _mm256_blend_pd(_mm256_permute4x64_pd(lp, 0x90), zero, 0x1);
                const __m256d against = _mm256_blend_pd(
                    _mm256_blend_pd(zero, _mm256_permute4x64_pd(lp, 0xff), 0x2), previous[ch], 0x4);
                const __m256d d = _mm256_sub_pd(lp, below);
                const __m256d e = _mm256_sub_pd(x, against);
                low = _mm256_add_pd(low, _mm256_mul_pd(d, d));
                rest = _mm256_add_pd(rest, _mm256_mul_pd(e, e));
                pass[ch] = lp;
                previous[ch] = x;
            }
        }
        for (std::uint32_t ch = 0; ch < channels; ++ch) {
            double lp[4];
            _mm256_storeu_pd(lp, pass[ch]);
            FilterState& f = filters[ch];
            f.lp180 = lp[0];
            f.lp600 = lp[1];
            f.lp2500 = lp[2];
            f.lp7000 = lp[3];
            f.previous = _mm256_cvtsd_f64(previous[ch]);
        }
        double lowSums[4];
        double restSums[4];
        _mm256_storeu_pd(lowSums, low);
        _mm256_storeu_pd(restSums, rest);
        sums[0] = restSums[0];
        sums[1] = lowSums[0];
        sums[2] = lowSums[1];
        sums[3] = lowSums[2];
        sums[4] = lowSums[3];
        sums[5] = restSums[1];
        sums[6] = restSums[2];
    }
#endif
};

// Reads the span from the source and returns each band's RMS per hop of samples (all
// channels together), the last hop possibly shorter.
BandEnergies readBandEnergies(audio::AudioSource& source, const Span& span, std::int64_t length, std::int64_t hop,
                              FineEnergy& fine, ORVProgressSpan progress) {
    const std::uint32_t channels = source.channelCount();
    auto buffer = source.makeBuffer(kReadBlockFrames);
    if (!buffer) throwAnalysisError(kAudioBufferCode, kAudioBufferMessage);
    const BandSplitter splitter(source.sampleRate());

    std::vector<FilterState> filters(channels);
    BandEnergies energy;
    const std::int64_t limit = std::min(span.endFrame, length);
    // Room for the frames the length promises, up to some minutes of audio: a source that
    // claims far more than it holds costs no memory until it delivers it.
    constexpr std::int64_t kMostReservedFrames = std::int64_t(1) << 16;
    const std::int64_t expectedFrames =
        std::max<std::int64_t>(limit - std::clamp<std::int64_t>(span.startFrame, 0, length), 0) / hop + 2;
    for (auto& curve : energy) curve.reserve(static_cast<std::size_t>(std::min(expectedFrames, kMostReservedFrames)));

    std::array<double, kBandCount> sums{};
    std::int64_t counted = 0;
    const double channelDivisor = static_cast<double>(channels);
    auto appendFrame = [&] {
        const double divisor = static_cast<double>(counted) * channelDivisor;
        for (std::size_t band = 0; band < kBandCount; ++band) {
            energy[band].push_back(std::sqrt(sums[band] / divisor));
            sums[band] = 0;
        }
        counted = 0;
    };

    std::vector<const float*> channelData(channels);
    // Mono and stereo, the usual files, take the vector path where the processor has it.
#ifdef CORVEL_AUDIO_AVX2_PATHS
    const bool wide = channels <= 2 && processorHasAvx2();
#else
    const bool wide = false;
#endif
    const std::int64_t readFrom = source.framePosition();
    while (source.framePosition() < limit) {
        const auto want = static_cast<std::uint32_t>(
            std::min<std::int64_t>(limit - source.framePosition(), kReadBlockFrames));
        source.read(*buffer, want);
        const std::uint32_t frames = buffer->frameLength();
        if (frames == 0) break;
        for (std::uint32_t ch = 0; ch < channels; ++ch) channelData[ch] = buffer->channel(ch);
        fine.add(channelData, frames);
        // Up to the end of the block or of the hop at a time.
        for (std::uint32_t i = 0; i < frames;) {
            const auto take = static_cast<std::uint32_t>(std::min<std::int64_t>(frames - i, hop - counted));
            if (wide) {
#ifdef CORVEL_AUDIO_AVX2_PATHS
                splitter.addFramesWide(filters.data(), channels, channelData.data(), i, take, sums);
#endif
            } else {
                splitter.addFrames(filters.data(), channels, channelData.data(), i, take, sums);
            }
            i += take;
            counted += take;
            if (counted >= hop) appendFrame();
        }
        progress.report(static_cast<double>(source.framePosition() - readFrom) / static_cast<double>(limit - readFrom));
    }
    if (counted > 0) appendFrame();
    return energy;
}

// Per frame, the mean of the three strongest of the five split bands' envelopes, its local
// mean suppressed and normalised.
std::vector<double> combinedBandEnvelope(const ORVAudioFeatureSet& result) {
    const std::size_t n = result.featureEnvelopes[0].size();
    std::vector<double> combined(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::array<double, 5> bands{};
        for (std::size_t b = 0; b < 5; ++b) bands[b] = result.featureEnvelopes[b + 1][k];
        combined[k] = meanOfLargest(bands, 3);
    }
    ORVAudioMusicAnalyzer::suppressLocalMean(combined, result.frameSeconds);
    ORVAudioMusicAnalyzer::normalizeByPercentile95(combined);
    return combined;
}

// Per frame, the mean of the five strongest feature envelopes, its local mean suppressed and
// normalised.
std::vector<double> consensusEnvelope(const ORVAudioFeatureSet& result) {
    const std::size_t n = result.featureEnvelopes[0].size();
    std::vector<double> consensus(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::array<double, ORVAudioFeatureSet::kFeatureCount> all{};
        for (std::size_t f = 0; f < all.size(); ++f) all[f] = result.featureEnvelopes[f][k];
        consensus[k] = meanOfLargest(all, 5);
    }
    ORVAudioMusicAnalyzer::suppressLocalMean(consensus, result.frameSeconds);
    ORVAudioMusicAnalyzer::normalizeByPercentile95(consensus);
    return consensus;
}

}  // namespace

ORVAudioFeatureSet ORVAudioMusicAnalyzer::decodeFeatureEnvelopes(audio::AudioSource& source,
                                                                 std::optional<ORVAnalysisRange> range,
                                                                 ORVProgressSpan progress) {
    const double sr = source.sampleRate();
    const std::uint32_t channels = source.channelCount();
    if (!(sr > 0) || !std::isfinite(sr) || channels == 0) {
        throwAnalysisError(kInvalidAudioFormatCode, kInvalidAudioFormatMessage);
    }
    const std::int64_t length = std::max<std::int64_t>(source.length(), 0);
    const Span span = spanOf(sr, length, range);
    if (span.startFrame >= span.endFrame) throwAnalysisError(kRangeTooShortCode, kRangeTooShortMessage);
    source.setFramePosition(std::clamp<std::int64_t>(span.startFrame, 0, length));

    const std::int64_t hop = hopSamples(sr);
    const std::int64_t fineHop = std::max<std::int64_t>(hop / 8, 1);
    FineEnergy fine(channels, fineHop);
    BandEnergies energy = readBandEnergies(source, span, length, hop, fine, progress);
    const auto& fullBand = energy[0];
    if (fullBand.size() < 64) throwAnalysisError(kTooLittleAudioCode, kTooLittleAudioMessage);

    ORVAudioFeatureSet result;
    result.frameSeconds = static_cast<double>(hop) / sr;
    result.fineEnergy = fine.finish();
    if (!result.fineEnergy.empty()) {
        result.loudestFineEnergy = *std::max_element(result.fineEnergy.begin(), result.fineEnergy.end());
    }
    result.fineFrameSeconds = static_cast<double>(fineHop) / sr;
    result.durationSeconds = static_cast<double>(span.endFrame - span.startFrame) / sr;

    if (const auto frame = firstSustainedSoundFrame(fullBand, result.frameSeconds)) {
        result.firstMeaningfulAudioSeconds = static_cast<double>(*frame) * result.frameSeconds;
    }

    // Each energy curve becomes its envelope in place, so that a long span never holds both.
    for (std::size_t band = 0; band < kBandCount; ++band) {
        const bool split = band >= 1 && band <= ORVAudioFeatureSet::kSplitBandCount;
        result.featureEnvelopes[band] = std::move(energy[band]);
        makeBandOnsetEnvelope(result.featureEnvelopes[band], result.frameSeconds,
                              split ? &result.bandOnsetStrengths[band - 1] : nullptr);
    }
    result.featureEnvelopes[7] = combinedBandEnvelope(result);
    result.consensusEnvelope = consensusEnvelope(result);
    return result;
}

void ORVAudioMusicAnalyzer::suppressLocalMean(std::vector<double>& envelope, double frameSeconds) {
    const std::size_t n = envelope.size();
    if (n == 0) return;
    // Never wider than the envelope, so the index arithmetic below can't overflow.
    const std::int64_t radius = std::clamp<std::int64_t>(roundedInt64(0.3 / frameSeconds, 2), 2,
                                                         static_cast<std::int64_t>(n));
    visitLocalMeans(envelope, radius, [&envelope](std::size_t k, double mean) {
        const double value = envelope[k] - 0.78 * mean;
        envelope[k] = value > 0 ? value : 0.0;
    });
}

void ORVAudioMusicAnalyzer::normalizeByPercentile95(std::vector<double>& envelope) {
    const double p = SetwrightMusicTempoRefiner::percentile(envelope, 0.95);
    if (!(p > 1e-12)) return;
    for (auto& value : envelope) value = std::min(value / p, 1.0);
}

}  // namespace corvel::analysis
