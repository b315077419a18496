#include <algorithm>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "analysis/music_analyzer.hpp"
#include "analysis/tempo_refiner.hpp"
#include "audio/test_signals.hpp"
#include "common/error.hpp"

namespace corvel::analysis {
namespace {

using namespace audio::testkit;
using A = ORVAudioMusicAnalyzer;

ORVAudioFeatureSet decode(Signal signal, std::optional<ORVAnalysisRange> range = std::nullopt) {
    MemorySource source(std::move(signal));
    return A::decodeFeatureEnvelopes(source, range);
}

void expectAllOf(const ORVAudioFeatureSet& set, auto predicate, const char* what) {
    for (std::size_t f = 0; f < set.featureEnvelopes.size(); ++f) {
        for (double v : set.featureEnvelopes[f]) ASSERT_TRUE(predicate(v)) << what << " feature " << f << ": " << v;
    }
    for (double v : set.consensusEnvelope) ASSERT_TRUE(predicate(v)) << what << " consensus: " << v;
}

TEST(FeatureEnvelopes, HopFollowsTheSampleRate) {
    struct Case {
        double rate;
        std::int64_t hop;
    };
    for (const Case& c : {Case{44100, 512}, Case{48000, 557}, Case{8000, 128}, Case{16000, 186}}) {
        const auto set = decode(noise(c.rate, 1, c.hop * 100));
        EXPECT_DOUBLE_EQ(set.frameSeconds, double(c.hop) / c.rate) << c.rate;
        EXPECT_EQ(set.consensusEnvelope.size(), 100u) << c.rate;
        EXPECT_DOUBLE_EQ(set.durationSeconds, double(c.hop * 100) / c.rate);
        EXPECT_EQ(A::hopSamples(c.rate), c.hop);
        for (const auto& envelope : set.featureEnvelopes) EXPECT_EQ(envelope.size(), 100u);
    }
}

TEST(FeatureEnvelopes, ErrorsComeInTheirOrder) {
    struct Case {
        const char* what;
        double rate;
        std::uint32_t channels;
        bool failBuffer;
        std::int64_t frames;
        std::optional<ORVAnalysisRange> range;
        int code;
        const char* message;
    };
    const double nan = std::nan("");
    const ORVAnalysisRange empty{0, 0};
    for (const Case& c : {
             Case{"rate 0 before everything", 0, 1, true, 10, empty, 2003, "Invalid audio format."},
             Case{"NaN rate", nan, 1, false, 44100, std::nullopt, 2003, "Invalid audio format."},
             Case{"no channels", 44100, 0, true, 10, empty, 2003, "Invalid audio format."},
             Case{"empty range before the buffer", 44100, 1, true, 44100, empty, 2006,
                  "The selected analysis range is too short."},
             Case{"empty file", 44100, 1, false, 0, std::nullopt, 2006, "The selected analysis range is too short."},
             Case{"buffer before reading", 44100, 1, true, 10, std::nullopt, 2004,
                  "The audio buffer could not be created."},
             Case{"0.7 s: 61 frames", 44100, 1, false, 30870, std::nullopt, 2005, "Too little usable audio."},
             Case{"end before a fractional start: one sample", 44100, 1, false, 44100, ORVAnalysisRange{0.5000001, 0.1},
                  2005, "Too little usable audio."},
         }) {
        MemorySource source(noise(44100, 1, c.frames));
        source.reportedSampleRate = c.rate;
        source.reportedChannels = c.channels;
        source.failBuffer = c.failBuffer;
        try {
            A::decodeFeatureEnvelopes(source, c.range);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const ErrorException& failure) {
            EXPECT_EQ(failure.error(), (Error{"ORVBeatloom", c.code, c.message})) << c.what;
        }
    }
}

TEST(FeatureEnvelopes, SilenceGivesZeroEnvelopesAndNoMeaningfulAudio) {
    const auto set = decode(silence(44100, 2, 44100 * 2));
    EXPECT_FALSE(set.firstMeaningfulAudioSeconds.has_value());
    expectAllOf(set, [](double v) { return v == 0.0; }, "silence");
}

TEST(FeatureEnvelopes, FirstMeaningfulAudioIsTheStartOfTheFirstSustainedRun) {
    const auto set = decode(concatenated(silence(44100, 1, 200 * 512), sine(44100, 1, 300 * 512, 440)));
    ASSERT_TRUE(set.firstMeaningfulAudioSeconds.has_value());
    EXPECT_DOUBLE_EQ(*set.firstMeaningfulAudioSeconds, 200 * set.frameSeconds);

    // Sound at one steady level from the first sample on is meaningful from the first frame.
    EXPECT_EQ(decode(sine(44100, 1, 300 * 512, 440)).firstMeaningfulAudioSeconds, 0.0);
}

// Clicks over a noise bed at a steady level, as dense music is.
Signal steadyPattern(double seconds, double bpm) {
    Signal pattern = clicks(44100, 1, seconds, bpm, 0.5);
    const Signal bed = noise(44100, 1, pattern.frames(), 0.15, 9);
    for (std::size_t i = 0; i < pattern.interleaved.size(); ++i) pattern.interleaved[i] += bed.interleaved[i];
    return pattern;
}

// A pickup beat of two soft snare hits on its eighths (a sharp crack and a short ring, as a
// sampled snare has), then a band at a steady level.
Signal pickupThenBand(double bpm, double seconds, double softness) {
    const double beat = 60.0 / bpm;
    Signal pickup = noise(44100, 1, std::int64_t(beat * 44100), 1.0, 3);
    for (std::int64_t i = 0; i < pickup.frames(); ++i) {
        const double t = std::fmod(double(i) / 44100, beat / 2);
        pickup.interleaved[std::size_t(i)] *= float(softness * (std::exp(-t / 0.006) + 0.2 * std::exp(-t / 0.06)));
    }
    return concatenated(pickup, groove(44100, 1, seconds, steadyBeats(bpm, seconds)));
}

TEST(FeatureEnvelopes, FirstMeaningfulAudioRisesAboveTheNoiseFloor) {
    struct Case {
        const char* what;
        Signal signal;
        double expected;
    };
    const auto seconds = [](double s) { return std::int64_t(s * 44100); };
    for (const Case& c : {
             Case{"a steady pattern from the start", steadyPattern(60, 124), 0.0},
             Case{"8 s of digital silence before a long pattern",
                  concatenated(silence(44100, 1, seconds(8)), steadyPattern(60, 124)), 8.0},
             Case{"hiss 50 dB down before the pattern",
                  concatenated(noise(44100, 1, seconds(6), 0.0015, 5), steadyPattern(40, 96)), 6.0},
             Case{"a soft pickup snare before the band", pickupThenBand(140, 30, 0.1), 0.0},
             Case{"the pickup after 8 s of digital silence",
                  concatenated(silence(44100, 1, seconds(8)), pickupThenBand(140, 30, 0.1)), 8.0},
         }) {
        const auto set = decode(c.signal);
        ASSERT_TRUE(set.firstMeaningfulAudioSeconds.has_value()) << c.what;
        EXPECT_NEAR(*set.firstMeaningfulAudioSeconds, c.expected, set.frameSeconds) << c.what;
    }
    // Digital silence holds no sound at all.
    EXPECT_EQ(A::firstSustainedSoundFrame(std::vector<double>(400, 0.0), 0.0116), std::nullopt);
}

TEST(FeatureEnvelopes, IdenticalChannelsMatchTheMonoTwin) {
    // Stereo and three channels: the band split takes its vector path for the usual files and
    // its plain one for more channels, and both must split the hops alike.
    const Signal mono = clicks(44100, 1, 8.0, 128);
    const auto monoSet = decode(mono);
    for (const std::uint32_t channels : {2u, 3u}) {
        const auto set = decode(duplicatedChannels(mono, channels));
        ASSERT_EQ(monoSet.consensusEnvelope.size(), set.consensusEnvelope.size()) << channels;
        for (std::size_t f = 0; f < monoSet.featureEnvelopes.size(); ++f) {
            for (std::size_t k = 0; k < monoSet.featureEnvelopes[f].size(); ++k) {
                ASSERT_NEAR(monoSet.featureEnvelopes[f][k], set.featureEnvelopes[f][k], 1e-9)
                    << channels << " channels, feature " << f << " frame " << k;
            }
        }
        for (std::size_t k = 0; k < monoSet.consensusEnvelope.size(); ++k) {
            ASSERT_NEAR(monoSet.consensusEnvelope[k], set.consensusEnvelope[k], 1e-9) << channels << " channels, " << k;
        }
        EXPECT_EQ(monoSet.firstMeaningfulAudioSeconds, set.firstMeaningfulAudioSeconds) << channels;
    }
}

// Noise whose level changes at random every few frames: onsets in far more than 5 % of
// the frames, so every envelope is divided by its 95th percentile.
Signal restlessNoise(double rate, std::uint32_t channels, double seconds) {
    Signal signal = noise(rate, channels, std::int64_t(seconds * rate), 1.0, 3);
    const Signal levels = noise(rate, 1, std::int64_t(seconds * 40) + 1, 0.5, 4);
    for (std::int64_t i = 0; i < signal.frames(); ++i) {
        const float level = 0.5f + levels.interleaved[std::size_t(double(i) / rate * 40)];
        for (std::uint32_t ch = 0; ch < channels; ++ch) signal.interleaved[std::size_t(i) * channels + ch] *= level;
    }
    return signal;
}

TEST(FeatureEnvelopes, EnvelopesAreNeverNegativeAndNormalisedOnesLieInTheUnitRange) {
    for (const Signal& signal : {restlessNoise(44100, 2, 6.0), restlessNoise(22050, 1, 4.0)}) {
        const auto set = decode(signal);
        expectAllOf(set, [](double v) { return v >= 0.0 && v <= 1.0; }, "normalised");
        EXPECT_EQ(*std::max_element(set.consensusEnvelope.begin(), set.consensusEnvelope.end()), 1.0);
    }
    // Damaged float samples count as silence instead of poisoning the analysis.
    Signal damaged = restlessNoise(44100, 1, 4.0);
    damaged.interleaved[1000] = std::nanf("");
    damaged.interleaved[2000] = INFINITY;
    const auto damagedSet = decode(damaged);
    expectAllOf(damagedSet, [](double v) { return v >= 0.0 && v <= 1.0; }, "damaged");
    Signal silenced = damaged;
    silenced.interleaved[1000] = 0.0f;
    silenced.interleaved[2000] = 0.0f;
    const auto silencedSet = decode(silenced);
    EXPECT_EQ(damagedSet.featureEnvelopes, silencedSet.featureEnvelopes);
    EXPECT_EQ(damagedSet.consensusEnvelope, silencedSet.consensusEnvelope);

    // Sparse clicks leave most frames at 0: those envelopes stay undivided, but never negative.
    expectAllOf(decode(clicks(44100, 1, 6.0, 100)), [](double v) { return v >= 0.0 && std::isfinite(v); }, "clicks");
}

TEST(FeatureEnvelopes, RangesAreClampedToTheFile) {
    const Signal signal = noise(44100, 1, 44100 * 3);
    EXPECT_DOUBLE_EQ(decode(signal, ORVAnalysisRange{-4, 99}).durationSeconds, 3.0);
    const auto middle = decode(signal, ORVAnalysisRange{1.0, 2.5});
    EXPECT_DOUBLE_EQ(middle.durationSeconds, 1.5);
    EXPECT_EQ(middle.consensusEnvelope.size(), std::size_t(std::ceil(1.5 * 44100 / 512)));
}

TEST(FeatureEnvelopes, ASourceClaimingFarMoreFramesThanItHoldsCostsOnlyWhatItDelivers) {
    MemorySource source(noise(44100, 1, 44100 * 3));
    source.reportedLength = std::numeric_limits<std::int64_t>::max();
    const auto set = A::decodeFeatureEnvelopes(source);
    EXPECT_EQ(set.consensusEnvelope.size(), std::size_t(std::ceil(3.0 * 44100 / 512)));
}

TEST(FeatureEnvelopes, AClickTrackFileRefinesToItsTempo) {
    TempFolder folder("envelopes-clicks");
    writeWav(folder / "clicks.wav", clicks(44100, 2, 40.0, 123, 0.8, 0.25));
    const auto set = A::decodeFeatureEnvelopes(folder / "clicks.wav");
    EXPECT_DOUBLE_EQ(set.durationSeconds, 40.0);
    const auto refined = SetwrightMusicTempoRefiner::refine(set.consensusEnvelope, set.frameSeconds, 123.3, 0.8, 0.01);
    ASSERT_TRUE(refined.has_value());
    EXPECT_NEAR(refined->bpm, 123.0, 0.02);
}

}  // namespace
}  // namespace corvel::analysis
