#include "core/transient_snap.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>

#include <gtest/gtest.h>

namespace corvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A waveform of `bins` bins over `duration` seconds: silence (or a steady level) with spikes.
BeatloomWaveformData waveform(std::size_t bins, double duration, const std::map<std::size_t, float>& spikes = {},
                              float level = 0) {
    BeatloomWaveformData data;
    data.durationSeconds = duration;
    data.minPeaks.assign(bins, -level);
    data.maxPeaks.assign(bins, level);
    for (const auto& [bin, amplitude] : spikes) {
        data.minPeaks.at(bin) = -amplitude / 2;  // the larger of the two magnitudes counts
        data.maxPeaks.at(bin) = amplitude;
    }
    return data;
}

double binCentre(const BeatloomWaveformData& data, std::size_t bin) {
    return data.durationSeconds / static_cast<double>(data.maxPeaks.size()) * (static_cast<double>(bin) + 0.5);
}

TEST(TransientSnap, UnusableWaveformsNeverSnap) {
    auto unequalCounts = waveform(8, 0.08, {{4, 0.8f}});
    unequalCounts.minPeaks.pop_back();
    struct Case {
        const char* what;
        BeatloomWaveformData data;
    };
    const Case cases[] = {
        {"7 bins", waveform(7, 0.07, {{4, 0.8f}})},
        {"7 usable bins", unequalCounts},
        {"no bins", waveform(0, 1.0)},
        {"zero duration", waveform(8, 0, {{4, 0.8f}})},
        {"negative duration", waveform(8, -1, {{4, 0.8f}})},
        {"NaN duration", waveform(8, kNaN, {{4, 0.8f}})},
        {"infinite duration", waveform(8, kInf, {{4, 0.8f}})},
        {"silence", waveform(400, 4.0)},
        {"steady tone", waveform(400, 4.0, {}, 0.6f)},
        {"damaged peaks", waveform(400, 4.0, {{200, std::numeric_limits<float>::quiet_NaN()}, {205, std::numeric_limits<float>::infinity()}})},
    };
    for (const auto& c : cases) {
        for (const double time : {0.0, 0.045, 2.0, 4.0}) {
            EXPECT_FALSE(snappedTransient(c.data, time, 0.05)) << c.what << " at " << time;
        }
    }
}

TEST(TransientSnap, SnapsToTheCentreOfASpike) {
    const auto data = waveform(8, 0.08, {{4, 0.8f}});
    const auto snap = snappedTransient(data, 0.04, 0.05);
    ASSERT_TRUE(snap);
    EXPECT_DOUBLE_EQ(snap->time, 0.045);
    EXPECT_NEAR(snap->distance, 0.005, 1e-12);
    // Full rise over background, previous bin and neighbours, less the distance penalty.
    EXPECT_NEAR(snap->score, 0.8 - 0.015 * 0.005 / 0.05, 1e-6);
}

TEST(TransientSnap, FirstTwoAndLastTwoBinsAreNeverReturned) {
    const struct {
        std::size_t bins;
        std::size_t spike;
        bool snaps;
    } cases[] = {
        {8, 0, false}, {8, 1, false}, {8, 2, true},   {8, 5, true},   {8, 6, false},
        {8, 7, false}, {100, 97, true}, {100, 98, false}, {100, 99, false}, {100, 1, false},
    };
    for (const auto& c : cases) {
        const auto data = waveform(c.bins, 1.0, {{c.spike, 0.9f}});
        const auto snap = snappedTransient(data, binCentre(data, c.spike), 0.12);
        ASSERT_EQ(snap.has_value(), c.snaps) << c.bins << " bins, spike at " << c.spike;
        if (snap) {
            EXPECT_DOUBLE_EQ(snap->time, binCentre(data, c.spike));
        }
    }
}

TEST(TransientSnap, RadiusIsHeldBetweenEightAndOneHundredTwentyMilliseconds) {
    // 1 ms bins; the request sits on the centre of bin 1000.
    const struct {
        double radius;
        std::size_t offsetBins;
        bool snaps;
    } cases[] = {
        {1.0, 120, true}, {1.0, 121, false}, {kInf, 120, true}, {0.05, 50, true}, {0.05, 51, false},
        {0.0, 8, true},   {0.0, 9, false},   {-1.0, 8, true},   {kNaN, 8, true},  {kNaN, 9, false},
    };
    for (const auto& c : cases) {
        for (const bool after : {true, false}) {
            const std::size_t spike = after ? 1000 + c.offsetBins : 1000 - c.offsetBins;
            const auto data = waveform(2000, 2.0, {{spike, 0.5f}});
            const auto snap = snappedTransient(data, binCentre(data, 1000), c.radius);
            ASSERT_EQ(snap.has_value(), c.snaps) << "radius " << c.radius << ", spike at " << spike;
            if (snap) {
                EXPECT_DOUBLE_EQ(snap->time, binCentre(data, spike));
            }
        }
    }
}

TEST(TransientSnap, SearchReachesAtLeastTwoBinsEachSide) {
    // One-second bins are far wider than any radius; a loud spike two bins off still counts.
    const auto twoAway = waveform(16, 16.0, {{6, 1000.0f}});
    const auto snap = snappedTransient(twoAway, 8.5, 0.0);
    ASSERT_TRUE(snap);
    EXPECT_DOUBLE_EQ(snap->time, 6.5);
    EXPECT_FALSE(snappedTransient(waveform(16, 16.0, {{5, 1000.0f}}), 8.5, 0.0));
}

TEST(TransientSnap, RequestsOutsideTheAudioCountAsItsEnds) {
    const auto nearEnd = waveform(100, 1.0, {{96, 0.7f}});
    const auto atEnd = snappedTransient(nearEnd, 1.0, 0.05);
    ASSERT_TRUE(atEnd);
    EXPECT_DOUBLE_EQ(atEnd->time, 0.965);
    EXPECT_NEAR(atEnd->distance, 0.035, 1e-12);
    EXPECT_EQ(snappedTransient(nearEnd, 5.0, 0.05), atEnd);
    EXPECT_EQ(snappedTransient(nearEnd, kInf, 0.05), atEnd);

    const auto nearStart = waveform(100, 1.0, {{3, 0.7f}});
    const auto atStart = snappedTransient(nearStart, 0.0, 0.05);
    ASSERT_TRUE(atStart);
    EXPECT_DOUBLE_EQ(atStart->time, 0.035);
    EXPECT_EQ(snappedTransient(nearStart, -3.0, 0.05), atStart);
    EXPECT_EQ(snappedTransient(nearStart, kNaN, 0.05), atStart);
}

TEST(TransientSnap, EqualSpikesAtEqualDistanceGoToTheEarlierOne) {
    // Bins of 1/1024 s keep both distances exactly equal.
    const double request = 512.5 / 1024;
    const auto equal = waveform(1024, 1.0, {{507, 0.5f}, {517, 0.5f}});
    const auto snap = snappedTransient(equal, request, 0.05);
    ASSERT_TRUE(snap);
    EXPECT_DOUBLE_EQ(snap->time, 507.5 / 1024);

    const auto laterStronger = waveform(1024, 1.0, {{507, 0.5f}, {517, 0.51f}});
    EXPECT_DOUBLE_EQ(snappedTransient(laterStronger, request, 0.05)->time, 517.5 / 1024);
}

TEST(TransientSnap, ResultStaysWithinTheAudioOnNoisyWaveforms) {
    std::uint32_t state = 12345;
    const auto noise = [&] {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 16777216.0f;
    };
    for (const std::size_t bins : {8u, 9u, 37u, 512u}) {
        for (const double duration : {0.01, 0.3, 7.0}) {
            BeatloomWaveformData data;
            data.durationSeconds = duration;
            for (std::size_t k = 0; k < bins; ++k) {
                data.minPeaks.push_back(-noise());
                data.maxPeaks.push_back(noise() * noise());
            }
            const double binSeconds = duration / static_cast<double>(bins);
            for (double time = -0.1; time <= duration + 0.1; time += duration / 13) {
                const auto snap = snappedTransient(data, time, 0.03);
                if (!snap) continue;
                EXPECT_LE(snap->time, duration);
                EXPECT_GE(snap->time, 2.5 * binSeconds - 1e-12);
                EXPECT_LE(snap->time, (static_cast<double>(bins) - 2.5) * binSeconds + 1e-12);
                EXPECT_GT(snap->score, 0.004);
                EXPECT_DOUBLE_EQ(snap->distance, std::fabs(snap->time - std::clamp(time, 0.0, duration)));
            }
        }
    }
}

}  // namespace
}  // namespace corvel
