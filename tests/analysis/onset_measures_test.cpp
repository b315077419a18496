#include "analysis/onset_measures.hpp"

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/music_analyzer.hpp"

namespace corvel::analysis {
namespace {

using A = ORVAudioMusicAnalyzer;
using Frames = std::vector<std::int64_t>;
constexpr double kInf = std::numeric_limits<double>::infinity();

// frames zeros with `height` at first, first + period, ...
std::vector<double> impulses(std::size_t frames, std::size_t first, std::size_t period, double height = 1.0) {
    std::vector<double> envelope(frames, 0.0);
    for (std::size_t i = first; i < frames; i += period) envelope[i] = height;
    return envelope;
}

TEST(OnsetMeasures, PeaksAreLocalMaximaAboveThePercentileOrTheFloor) {
    EXPECT_TRUE(A::onsetPeakFrames(std::vector<double>{0, 1}).empty());
    // Every frame of a plateau is a peak; the edges never are.
    EXPECT_EQ(A::onsetPeakFrames(std::vector<double>{1, 0, 0.5, 0.5, 0, 0, 0, 0, 0, 0, 0, 1}), (Frames{2, 3}));
    // Below the 0.08 floor nothing counts, however peaked.
    EXPECT_TRUE(A::onsetPeakFrames(impulses(50, 5, 10, 0.07)).empty());
    // A busy envelope raises the threshold to its 80th percentile (0.5 here).
    EXPECT_EQ(A::onsetPeakFrames(std::vector<double>{0, 0.45, 0, 0.6, 0, 0.9, 0, 0.2, 0.3, 0.4, 0.5}), (Frames{3, 5}));
}

TEST(OnsetMeasures, BestBeatPhaseFindsTheImpulsesAndKeepsTheFirstOnTies) {
    EXPECT_EQ(A::bestBeatPhase(impulses(200, 7, 20), 20.0), 6.0);  // +-1 frame reaches the impulse at 7 from 6 first
    EXPECT_EQ(A::bestBeatPhase(impulses(200, 0, 20), 20.0), 0.0);
    EXPECT_EQ(A::bestBeatPhase(std::vector<double>(200, 0.0), 20.0), 0.0);
    EXPECT_EQ(A::bestBeatPhase(impulses(200, 7, 20), 1.5), 0.0);
    EXPECT_EQ(A::bestBeatPhase({}, 20.0), 0.0);
    EXPECT_EQ(A::bestBeatPhase(impulses(200, 7, 20), std::numeric_limits<double>::quiet_NaN()), 0.0);
}

// The phase of the largest mean of the +-1-frame maxima at its beats round(phase + b x period),
// read plainly phase by phase: what the phase search must find, however it walks the phases.
double plainBestBeatPhase(const std::vector<double>& envelope, double period) {
    const auto maxima = A::beatPhaseMaxima(envelope);
    const auto n = static_cast<double>(envelope.size());
    double best = 0, bestMean = -kInf;
    for (double phase = 0; phase < std::min(std::ceil(period), n); ++phase) {
        double sum = 0;
        double count = 0;
        for (double b = 0; phase + b * period < n; ++b, ++count) {
            sum += maxima[static_cast<std::size_t>(std::round(phase + b * period))];
        }
        if (sum / count > bestMean) {
            bestMean = sum / count;
            best = phase;
        }
    }
    return best;
}

TEST(OnsetMeasures, BestBeatPhaseIsThePlainSearchForEveryPeriodAndLength) {
    // Uneven envelopes, so that every phase has a mean of its own and a beat summed into the
    // wrong phase, counted twice or left out moves the answer; lengths below, at and past a
    // few groups of phases, and periods with beats that fall on half frames.
    std::mt19937 random(17);
    std::uniform_real_distribution<double> strength(0.0, 1.0);
    for (const std::size_t frames : {3, 9, 16, 17, 40, 333, 1024, 4099}) {
        std::vector<double> envelope(frames);
        for (double& value : envelope) value = strength(random);
        for (const double period : {2.0, 2.5, 3.25, 4.999, 7.5, 8.0, 9.0, 12.125, 17.3, 31.5, 64.0, 64.75, 129.4}) {
            EXPECT_EQ(A::bestBeatPhase(envelope, period), plainBestBeatPhase(envelope, period))
                << frames << " frames, period " << period;
        }
    }
}

TEST(OnsetMeasures, GridFitWeighsRecallPrecisionAndStrength) {
    const auto envelope = impulses(100, 0, 10);
    const Frames peaks{10, 20, 30, 40, 50, 60, 70, 80, 90};
    // Grid on every impulse: all beats hit, all peaks on the grid, full strength.
    EXPECT_NEAR(A::gridFitScore(peaks, 100, envelope, 10.0, 10.0), 1.0, 1e-12);
    // Half tempo: 5 beats all hit, 5 of 9 peaks on the grid, F = 2 x 5/9 / (14/9) = 5/7.
    EXPECT_NEAR(A::gridFitScore(peaks, 100, envelope, 20.0, 10.0), 0.16 + 0.84 * 5.0 / 7.0, 1e-12);
    // Grid between the impulses: nothing hits, only 0.16 x strength is left (0 here).
    EXPECT_EQ(A::gridFitScore(peaks, 100, envelope, 10.0, 5.0), 0.0);
    // The impulse at frame 0 is no peak, so the beat there misses: recall 9/10, precision 1.
    EXPECT_NEAR(A::gridFitScore(peaks, 100, envelope, 10.0, 0.0), 0.16 + 0.84 * 18.0 / 19.0, 1e-12);
    EXPECT_EQ(A::gridFitScore({}, 100, envelope, 10.0, 0.0), 0.0);
    EXPECT_EQ(A::gridFitScore(peaks, 100, envelope, 0.0, 0.0), 0.0);
    EXPECT_EQ(A::gridFitScore(peaks, 100, envelope, 10.0, 100.0), 0.0);
}

TEST(OnsetMeasures, GridFitCountsPeaksWithinReachOfTheirNearestBeatInsideTheFrames) {
    // Period 10 over 100 silent frames: the score is 0.84 x F of beat recall and peak
    // precision; a peak counts when its nearest beat (halves away from zero) lies in
    // 0 ... 99 and at most 1 frame (the reach) away.
    struct Case {
        double phase;
        Frames peaks;
        double recall;
        double precision;
    };
    for (const Case& c : {
             // 9, 21, 39, 41 just within reach; 55, 65, 75 half a period off (rounded up);
             // 99 near the beat at 100, past the last frame.
             Case{0.0, {9, 21, 39, 41, 55, 65, 75, 99}, 3.0 / 10.0, 4.0 / 8.0},
             // 0 half a frame from the beat at -0.5, before the first frame; 10 (-0.95 beats
             // from the phase) rounds down to the beat at 9.5; 61 and 71 are 1.5 frames off.
             Case{19.5, {0, 10, 20, 39, 49, 61, 71, 79}, 6.0 / 9.0, 5.0 / 8.0},
         }) {
        const double f = 2 * c.recall * c.precision / (c.recall + c.precision);
        EXPECT_NEAR(A::gridFitScore(c.peaks, 100, std::vector<double>(100, 0.0), 10.0, c.phase), 0.84 * f, 1e-12)
            << "phase " << c.phase;
    }
}

TEST(OnsetMeasures, PulseCompletenessWantsEvenAndOddBeatsAlike) {
    EXPECT_NEAR(A::pulseCompletenessScore(impulses(100, 0, 10), 10.0, 0.0), 1.0, 1e-12);
    // Double tempo: the odd beats fall between the impulses.
    EXPECT_EQ(A::pulseCompletenessScore(impulses(100, 0, 10), 5.0, 0.0), 0.0);
    // Odd beats at half strength: balance 0.5, every beat above 0.16.
    auto accented = impulses(100, 0, 20);
    for (std::size_t i = 10; i < accented.size(); i += 20) accented[i] = 0.5;
    EXPECT_NEAR(A::pulseCompletenessScore(accented, 10.0, 0.0), 0.58 * 0.5 + 0.42, 1e-12);
    EXPECT_EQ(A::pulseCompletenessScore(impulses(31, 0, 2), 2.0, 0.0), 0.0);                // too few frames
    EXPECT_EQ(A::pulseCompletenessScore(impulses(50, 0, 10), 10.0, 0.0), 0.0);             // 2 odd beats
    EXPECT_EQ(A::pulseCompletenessScore(std::vector<double>(100, 0.0), 10.0, 0.0), 0.0);  // silence
}

TEST(OnsetMeasures, GridScoresAreTheGridFitAndThePulseCompletenessOnTheirOwn) {
    // A drifting, uneven patter of onsets: grids at periods whose two windows match and at
    // periods where they differ, at phases inside and beyond the envelope.
    std::mt19937 random(7);
    std::uniform_real_distribution<double> strength(0.0, 1.0);
    std::vector<double> envelope(2000, 0.0);
    for (double t = 3.0; t < 2000.0; t += 11.3 + 4.0 * strength(random)) {
        envelope[static_cast<std::size_t>(t)] = strength(random);
    }
    const Frames peaks = A::onsetPeakFrames(envelope);
    const auto frames = static_cast<std::int64_t>(envelope.size());
    for (const double period : {2.0, 7.5, 13.0, 15.0, 27.7, 45.0, 90.0}) {
        for (const double phase : {0.0, 3.4, 12.0, 1999.0, 2500.0}) {
            const ORVGridScores scores = A::gridScores(peaks, envelope, period, phase);
            EXPECT_EQ(scores.gridFit, A::gridFitScore(peaks, frames, envelope, period, phase)) << period << " " << phase;
            EXPECT_EQ(scores.pulseCompleteness, A::pulseCompletenessScore(envelope, period, phase))
                << period << " " << phase;
        }
    }
}

TEST(OnsetMeasures, WeightedMedian) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::vector<ORVWeightedValue> pairs;
        double expected;
    };
    for (const Case& c : {
             Case{{}, 0.0},
             Case{{{3, 1}, {1, 1}, {2, 1}}, 2.0},
             Case{{{1, 1}, {2, 1}}, 1.0},                  // the running sum reaches exactly half at the first
             Case{{{1, 1}, {2, 3}}, 2.0},
             Case{{{1, -5}, {2, 1}, {3, 1}}, 2.0},         // negative weights count as 0
             Case{{{5, 0}, {1, 0}, {3, -1}}, 3.0},         // no weight: the middle of the sorted values
             Case{{{5, 0}, {1, 0}}, 5.0},
             Case{{{2, nan}, {1, 1}, {3, 1}}, 1.0},        // a NaN weight counts as 0
         }) {
        EXPECT_EQ(A::weightedMedian(c.pairs), c.expected) << c.pairs.size();
    }
}

TEST(OnsetMeasures, NearestDistanceAndGridErrors) {
    const std::vector<double> times{0.1, 0.2, 0.4};
    EXPECT_EQ(A::nearestDistance({}, 1.0), kInf);
    EXPECT_NEAR(A::nearestDistance(times, 0.0), 0.1, 1e-12);
    EXPECT_NEAR(A::nearestDistance(times, 0.27), 0.07, 1e-12);
    EXPECT_NEAR(A::nearestDistance(times, 0.33), 0.07, 1e-12);
    EXPECT_NEAR(A::nearestDistance(times, 0.9), 0.5, 1e-12);
    EXPECT_EQ(A::nearestDistance(times, 0.2), 0.0);

    // Onsets every 0.1 s from 0.1 to 0.9 s; beats off by 0, 5, 30 and 80 ms.
    const auto envelope = impulses(100, 10, 10);
    const std::vector<double> beats{0.1, 0.205, 0.33, 0.98};
    const auto stats = A::gridErrorStatistics(envelope, beats, 0.01);
    EXPECT_NEAR(stats.median, 0.03, 1e-12);
    EXPECT_NEAR(stats.percentile95, 0.08, 1e-12);
    EXPECT_NEAR(stats.endDrift, 0.08, 1e-12);

    for (const auto& none : {A::gridErrorStatistics(std::vector<double>(100, 0.0), beats, 0.01),
                             A::gridErrorStatistics(envelope, {}, 0.01), A::gridErrorStatistics(envelope, beats, 0.0)}) {
        EXPECT_EQ(none.median, kInf);
        EXPECT_EQ(none.percentile95, kInf);
        EXPECT_EQ(none.endDrift, kInf);
    }
}

// A fine energy curve (RMS per fine frame of 1.5 ms) of a note every half second whose attack
// starts at `onset` within its beat, rising from silence to `level` over `attack` seconds and
// decaying over 100 ms; `smear` adds a faint rise for the 20 ms before each attack, as lossy
// coding spreads it ahead of a transient.
std::vector<float> fineNotes(double onset, double attack, double smear) {
    constexpr double kFine = 0.0015;
    constexpr int kSteps = 30;  // the frame's mean level, from this many instants
    std::vector<float> curve(std::size_t(20.0 / kFine));
    for (std::size_t j = 0; j < curve.size(); ++j) {
        double sum = 0;
        for (int k = 0; k < kSteps; ++k) {
            const double t = (double(j) + (k + 0.5) / kSteps) * kFine;
            const double inBeat = std::fmod(t - onset + 10.0, 0.5);  // time since the last attack began
            double level = inBeat < attack ? inBeat / attack : std::exp(-(inBeat - attack) / 0.1);
            if (0.5 - inBeat < 0.02) level = smear * (1 - (0.5 - inBeat) / 0.02);
            sum += level;
        }
        curve[j] = float(sum / kSteps);
    }
    return curve;
}

// The phase moves from within a frame or two of the attacks onto them (where their level rises
// most), finer than the fine frame, wherever the whole-frame phase lay and whatever faint
// smear runs ahead of them; nothing that rises leaves the phase as it was.
TEST(OnsetMeasures, OnsetAlignedPhaseLandsOnTheAttacks) {
    using M = ORVAnalyzerOnsetMeasures;
    constexpr double kFine = 0.0015;
    constexpr double kFrame = 0.0116;
    struct Case {
        double onset;
        double attack;
        double smear;
        double coarse;  // the whole-frame phase given
    };
    for (const Case c : {Case{0.35, 0.0005, 0, 0.3483}, Case{0.35, 0.0005, 0, 0.3367}, Case{0.35, 0.0005, 0.05, 0.3367},
                         Case{0.1234, 0.002, 0.1, 0.1161}, Case{0.1234, 0.002, 0, 0.1277}}) {
        SCOPED_TRACE(::testing::Message() << "onset " << c.onset << " from " << c.coarse << " smear " << c.smear);
        const auto curve = fineNotes(c.onset, c.attack, c.smear);
        const double phase = M::onsetAlignedPhase(curve, kFine, c.coarse, 0.5, 0, 20, kFrame, 2 * kFrame);
        EXPECT_GE(phase, c.onset - 0.0005);
        EXPECT_LE(phase, c.onset + c.attack + 0.0005);
    }
    // The same attacks from both sides of a frame land within a tenth of a millisecond.
    const auto curve = fineNotes(0.35, 0.0005, 0.05);
    EXPECT_NEAR(M::onsetAlignedPhase(curve, kFine, 0.3483, 0.5, 0, 20, kFrame, 2 * kFrame),
                M::onsetAlignedPhase(curve, kFine, 0.3367, 0.5, 0, 20, kFrame, 2 * kFrame), 0.0001);

    const std::vector<float> silent(10000, 0.0f);
    EXPECT_EQ(M::onsetAlignedPhase(silent, kFine, 0.3367, 0.5, 0, 20, kFrame, 2 * kFrame), 0.3367);
    EXPECT_EQ(M::onsetAlignedPhase({}, kFine, 0.3367, 0.5, 0, 20, kFrame, 2 * kFrame), 0.3367);
    EXPECT_EQ(M::onsetAlignedPhase(curve, 0, 0.3367, 0.5, 0, 20, kFrame, 2 * kFrame), 0.3367);
}

TEST(OnsetMeasures, AccentRecurrenceMeasuresRepeatsEveryTwoFourAndEightBeats) {
    // Strong first beat of every four: lags 4 and 8 correlate fully, lag 2 negatively.
    auto bars = impulses(1000, 0, 10, 0.5);
    for (std::size_t i = 0; i < bars.size(); i += 40) bars[i] = 1.0;
    EXPECT_NEAR(A::measureAccentRecurrence(bars, 10.0), 2.0 / 3.0, 1e-12);
    // Equal beats have no spread to correlate.
    EXPECT_EQ(A::measureAccentRecurrence(impulses(1000, 0, 10), 10.0), 0.0);

    auto shortBars = bars;
    shortBars.resize(255);
    EXPECT_EQ(A::measureAccentRecurrence(shortBars, 10.0), 0.0);
    shortBars = bars;
    shortBars.resize(256);
    EXPECT_EQ(A::measureAccentRecurrence(shortBars, 32.0), 0.0);  // 8 beat strengths
    EXPECT_EQ(A::measureAccentRecurrence(bars, 1.5), 0.0);
    EXPECT_EQ(A::measureAccentRecurrence(bars, kInf), 0.0);
}

}  // namespace
}  // namespace corvel::analysis
