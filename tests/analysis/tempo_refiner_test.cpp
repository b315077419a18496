#include "analysis/tempo_refiner.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace corvel::analysis {
namespace {

namespace R = SetwrightMusicTempoRefiner;

constexpr double kHop = 512.0 / 44100.0;

std::vector<double> impulses(std::size_t frames, std::size_t first, std::size_t period) {
    std::vector<double> envelope(frames, 0.0);
    for (std::size_t i = first; i < frames; i += period) envelope[i] = 1.0;
    return envelope;
}

TEST(TempoRefiner, PercentileTakesTheRoundedIndexOfTheSortedValues) {
    struct Case {
        std::vector<double> values;
        double q;
        double expected;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const Case& c : {Case{{}, 0.5, 0.0}, Case{{3, 1, 2}, 0.5, 2.0}, Case{{1, 2, 3, 4}, 0.5, 3.0},
                          Case{{5}, 0.95, 5.0}, Case{{4, 1, 3, 2}, 0.0, 1.0}, Case{{4, 1, 3, 2}, 1.0, 4.0},
                          Case{{4, 1, 3, 2}, 7.0, 4.0}, Case{{2, nan, 1}, 0.0, 1.0}, Case{{2, 1, 3}, nan, 1.0}}) {
        EXPECT_EQ(R::percentile(c.values, c.q), c.expected) << c.values.size() << " q " << c.q;
    }
    const std::vector<double> unchanged{3, 1, 2};
    R::percentile(unchanged, 0.5);
    EXPECT_EQ(unchanged, (std::vector<double>{3, 1, 2}));
}

// A whole song's envelope is counted rather than copied and sorted: the same element comes out,
// among negative values, zeros of either sign, infinities, repeats and NaN.
TEST(TempoRefiner, PercentileOfALongInputIsTheSortedElement) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> values(200003);
    std::uint64_t state = 12345;
    for (std::size_t i = 0; i < values.size(); ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        const auto draw = static_cast<double>(state >> 40) / static_cast<double>(1u << 24);
        // Mostly zeros (a floored envelope), then values close together and a few far apart.
        values[i] = i % 3 == 0 ? 0.0 : (i % 7 == 0 ? -draw : 1.0 + draw * 1e-9);
    }
    const double specials[] = {nan, -0.0, inf, -inf, 1e300, -1e-300, nan};
    for (std::size_t i = 0; i < std::size(specials); ++i) values[1000 + 29989 * i] = specials[i];
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end(), [](double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); });
    for (const double q : {0.0, 0.1, 0.3334, 0.5, 0.8, 0.95, 0.99999, 1.0}) {
        const auto index = static_cast<std::size_t>(std::llround(static_cast<double>(values.size() - 1) * q));
        const double got = R::percentile(values, q);
        if (std::isnan(sorted[index])) {
            EXPECT_TRUE(std::isnan(got)) << q;
        } else {
            EXPECT_EQ(got, sorted[index]) << q;
        }
    }
}

TEST(TempoRefiner, RefinesAnImpulseTrainToItsExactPeriodAndPhase) {
    const auto envelope = impulses(5168, 10, 43);
    const auto result = R::refine(envelope, kHop, 120.0, 0.8, 0.01);
    ASSERT_TRUE(result.has_value());
    EXPECT_NEAR(result->bpm, 120.18531976744185, 1e-6);
    // The period is searched to within a millionth of a frame; the beat, carried back to the
    // first over the song's beats, to within a hundred-thousandth.
    EXPECT_NEAR(result->grid.period, 43.0, 1e-6);
    EXPECT_NEAR(result->grid.beat, 10.0, 1e-5);
    EXPECT_NEAR(result->confidence, 1.0, 0.02);
    EXPECT_GE(result->gridScore, 0.0);
    EXPECT_LE(result->gridScore, 1.0);

    // Any positive minimum step gives the same answer.
    const auto other = R::refine(envelope, kHop, 120.0, 0.8, 5.0);
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(other->bpm, result->bpm);
}

// Adds an onset of the given height whose peak lies at a fractional frame, shared between
// the two frames around it as an envelope sampled at its hop shows it.
void addOnset(std::vector<double>& envelope, double frame, double height) {
    const auto first = static_cast<std::size_t>(std::floor(frame));
    const double late = frame - std::floor(frame);
    if (first + 1 >= envelope.size()) return;
    envelope[first] = std::max(envelope[first], height * (1 - 0.6 * late));
    envelope[first + 1] = std::max(envelope[first + 1], height * (0.4 + 0.6 * late));
}

// Three minutes of a swung groove as its onset envelope shows it, at a tempo between whole
// frames: chords with soft attacks on every beat, whose rising energy holds the envelope at its
// top for 70 to 150 ms (every frame of it a peak, none stronger), and a ride on the swung eighth
// between the beats, over a floor of room noise. Any line within the attacks' width meets a peak
// on every beat, so a line through the peaks stays about where it was started; a tenth of a
// percent off, the beats walk off the music within the song.
TEST(TempoRefiner, ReadsASwungGrooveWithSoftChordsToAHundredthOfItsTempo) {
    struct Case {
        const char* what;
        double bpm;
        double start;  // the tempo the refinement starts from
        double swing;  // where the ride's eighth falls, as a share of the beat
    };
    for (const Case& c : {Case{"swung at 97.3, started high", 97.3, 97.42, 2.0 / 3},
                          Case{"swung at 97.3, started low", 97.3, 97.14, 2.0 / 3},
                          Case{"swung at 97.3, started far", 97.3, 97.8, 2.0 / 3},
                          Case{"hard swing at 131.7", 131.7, 131.88, 0.72},
                          Case{"ballad at 76.4", 76.4, 76.3, 2.0 / 3}}) {
        const double period = 60.0 / (c.bpm * kHop);
        std::vector<double> envelope(static_cast<std::size_t>(180.0 / kHop), 0.0);
        std::uint64_t state = 977;
        const auto draw = [&state] {
            state = state * 6364136223846793005u + 1442695040888963407u;
            return static_cast<double>(state >> 11) / 9007199254740992.0;
        };
        for (double& v : envelope) v = 0.1 * draw();
        for (int beat = 0;; ++beat) {
            const double frame = 20.3 + beat * period;
            if (frame + period >= static_cast<double>(envelope.size())) break;
            const auto first = static_cast<std::size_t>(std::lround(frame));
            const auto attack = static_cast<std::size_t>(6 + 7 * draw());
            for (std::size_t k = 0; k < attack; ++k) envelope[first + k] = 1.0;
            addOnset(envelope, frame + c.swing * period, 0.35 + 0.15 * draw());
        }
        const auto result = R::refine(envelope, kHop, c.start, 0.8, 0.01);
        ASSERT_TRUE(result.has_value()) << c.what;
        EXPECT_NEAR(result->bpm, c.bpm, 0.05) << c.what;
    }
}

TEST(TempoRefiner, RefusesWhatCannotBeRefined) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        std::vector<double> envelope;
        double hop;
        double bpm;
        double radius;
        double step;
    };
    const auto good = impulses(5168, 10, 43);
    for (const Case& c : {
             Case{"255 frames", impulses(255, 10, 43), 0.1, 120, 0.8, 0.01},
             Case{"shorter than 15 s", impulses(1200, 10, 43), kHop, 120, 0.8, 0.01},
             Case{"17 peaks", impulses(17 * 43, 10, 43), 0.05, 120, 0.8, 0.01},
             Case{"no peaks", std::vector<double>(5168, 0.0), kHop, 120, 0.8, 0.01},
             Case{"zero step", good, kHop, 120, 0.8, 0.0},
             Case{"NaN step", good, kHop, 120, 0.8, nan},
             Case{"NaN bpm", good, kHop, nan, 0.8, 0.01},
             Case{"zero bpm", good, kHop, 0, 0.8, 0.01},
             Case{"infinite radius", good, kHop, 120, inf, 0.01},
             Case{"zero hop", good, 0, 120, 0.8, 0.01},
             Case{"tempo far from the pulse", good, kHop, 90, 0.8, 0.01},
         }) {
        EXPECT_FALSE(R::refine(c.envelope, c.hop, c.bpm, c.radius, c.step).has_value()) << c.what;
    }
}

TEST(TempoRefiner, BuildingBlocks) {
    // Flat tops give a peak per frame; nearest-peak ties go to the later peak.
    const std::vector<double> flat{0, 0.5, 0.5, 0.5, 0, 0, 0.9, 0};
    EXPECT_EQ(R::peakFrames(flat), (std::vector<std::int64_t>{1, 2, 3, 6}));
    const std::vector<std::int64_t> peaks{10, 20};
    EXPECT_EQ(R::nearestPeak(peaks, 15.0), 20);
    EXPECT_EQ(R::nearestPeak(peaks, 14.9), 10);
    EXPECT_EQ(R::nearestPeak(peaks, 99.0), 20);
    EXPECT_FALSE(R::nearestPeak({}, 3.0).has_value());

    EXPECT_EQ(R::beatCount(100, {10, 10}), 9);
    EXPECT_EQ(R::beatCount(100, {100, 10}), 0);
    EXPECT_EQ(R::beatCount(100, {0, 0}), 0);

    std::vector<R::FitPoint> line;
    for (int j = 0; j < 20; ++j) line.push_back({double(j), 5.0 + 40.0 * j + (j == 7 ? 30.0 : 0.0)});
    const auto fit = R::robustLinearFit(line);
    ASSERT_TRUE(fit.has_value());
    EXPECT_NEAR(fit->slope, 40.0, 1e-9);  // the outlier at beat 7 is dropped
    EXPECT_NEAR(fit->intercept, 5.0, 1e-9);
    EXPECT_EQ(fit->points.size(), 19u);
    EXPECT_FALSE(R::robustLinearFit(std::span(line).first(11)).has_value());
    EXPECT_FALSE(R::leastSquaresFit(std::vector<R::FitPoint>{{1, 1}, {1, 2}}).has_value());
}

}  // namespace
}  // namespace corvel::analysis
