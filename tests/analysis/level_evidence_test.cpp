#include "analysis/level_evidence.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/music_analyzer.hpp"

namespace corvel::audio {
namespace {

using A = ORVAudioMusicAnalyzer;
constexpr double kFrameSeconds = 512.0 / 44100.0;

ORVAudioFeatureSet silentFeatures(double seconds) {
    ORVAudioFeatureSet set;
    set.frameSeconds = kFrameSeconds;
    set.durationSeconds = seconds;
    const auto n = std::size_t(std::ceil(seconds / kFrameSeconds));
    set.featureEnvelopes.fill(std::vector<double>(n, 0.0));
    set.consensusEnvelope.assign(n, 0.0);
    for (auto& band : set.bandOnsetStrengths) band.assign(n, 0.0f);
    return set;
}

// Onsets in the split bands every `every`-th beat of the tempo from beat `first` on.
void addBeats(ORVAudioFeatureSet& set, std::vector<std::size_t> bands, double bpm, int every, int first,
              float strength) {
    const double period = 60.0 / (kFrameSeconds * bpm);
    for (int beat = first;; beat += every) {
        const auto frame = std::size_t(std::lround(5 + beat * period));
        if (frame >= set.consensusEnvelope.size()) break;
        for (const std::size_t band : bands) {
            set.bandOnsetStrengths[band][frame] = std::max(set.bandOnsetStrengths[band][frame], strength);
            set.featureEnvelopes[band + 1][frame] = 1;
        }
        set.consensusEnvelope[frame] = 1;
    }
}

ORVLevelEvidence scored(double factor, double score) {
    ORVLevelEvidence e;
    e.factor = factor;
    e.bpm = 100 * factor;
    e.score = score;
    return e;
}

TEST(LevelEvidence, TheBestScoreWinsWithItsLeadAndProbability) {
    const std::vector levels{scored(0.5, 1.0), scored(1, 3.0), scored(2, 2.0)};
    const auto choice = A::chooseLevel(levels);
    EXPECT_EQ(choice.factor, 1.0);
    EXPECT_EQ(choice.runnerUpFactor, 2.0);
    EXPECT_DOUBLE_EQ(choice.margin, 1.0);
    EXPECT_NEAR(choice.probability, std::exp(3.0) / (std::exp(1.0) + std::exp(2.0) + std::exp(3.0)), 1e-12);
    // A tie goes to the quicker level; nothing to choose from leaves the tempo as it is.
    EXPECT_EQ(A::chooseLevel(std::vector{scored(1, 2.0), scored(2, 2.0)}).factor, 2.0);
    EXPECT_EQ(A::chooseLevel(std::vector<ORVLevelEvidence>{}).factor, 1.0);
    EXPECT_EQ(A::chooseLevel(std::vector{scored(1, 0.0)}).margin, std::numeric_limits<double>::infinity());
}

TEST(LevelEvidence, LevelsAreTheTempoTimesOctavesAndThirdsWithinRange) {
    auto set = silentFeatures(30);
    addBeats(set, {0}, 100, 2, 0, 1.0f);
    addBeats(set, {2, 3}, 100, 2, 1, 1.0f);
    addBeats(set, {4}, 200, 1, 0, 0.5f);
    A::InternalCandidate candidate;
    candidate.bpm = 101;
    candidate.score = 0.7;
    candidate.agreement = 0.6;
    const auto levels = A::levelEvidence(set, std::vector{candidate}, {}, 100);
    std::vector<double> tempi;
    for (const auto& level : levels) tempi.push_back(std::round(level.bpm * 100) / 100);
    EXPECT_EQ(tempi, (std::vector<double>{50, 66.67, 75, 100, 133.33, 150, 200, 266.67, 300}));
    for (const auto& level : levels) {
        const double octaves = std::log2(level.bpm / 120);
        EXPECT_NEAR(level.features[0], -octaves * octaves, 1e-12);
        // The consensus candidate speaks for the level it lies within 4 % of.
        EXPECT_EQ(level.features[2], level.factor == 1 ? 0.7 : 0.0) << level.bpm;
        EXPECT_EQ(level.features[3], level.factor == 1 ? 0.6 : 0.0) << level.bpm;
        // The accent rules' own choice is marked; here the backbeat's tempo.
        EXPECT_EQ(level.features[19], level.factor == 1 ? 1.0 : 0.0) << level.bpm;
        EXPECT_DOUBLE_EQ(level.score, A::levelScore(level.features));
    }
    EXPECT_TRUE(A::levelEvidence(set, {}, {}, 0).empty());
    EXPECT_TRUE(A::levelEvidence(ORVAudioFeatureSet{}, {}, {}, 120).empty());
}

TEST(LevelEvidence, AGrooveWithBusySixteenthsIsCountedAtItsBackbeat) {
    // 95 BPM, kick on 1 and 3, snare on 2 and 4, hats on every sixteenth, offered at its eighths
    // and at its beat: the backbeat's tempo is chosen, clearly.
    auto set = silentFeatures(40);
    addBeats(set, {0}, 95, 2, 0, 1.0f);
    addBeats(set, {1, 2, 3}, 95, 2, 1, 1.0f);
    addBeats(set, {3, 4}, 380, 1, 0, 0.5f);
    for (const double offered : {190.0, 95.0}) {
        const auto choice = A::metricalLevel(set, {}, {}, offered);
        EXPECT_NEAR(offered * choice.factor, 95, 1e-9) << offered;
        EXPECT_GT(choice.probability, 0.5) << offered;
    }
}

}  // namespace
}  // namespace corvel::audio
