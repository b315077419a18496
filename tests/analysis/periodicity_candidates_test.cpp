#include "analysis/periodicity_candidates.hpp"

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/music_analyzer.hpp"
#include "audio/test_signals.hpp"

namespace corvel::analysis {
namespace {

using A = ORVAudioMusicAnalyzer;
using Candidate = A::InternalCandidate;
using Envelopes = std::vector<std::vector<double>>;

// The hop of the analyser at 44.1 kHz.
constexpr double kHop = 512.0 / 44100.0;

// `frames` zeros with `height` at round(first + k x period).
std::vector<double> pulses(std::size_t frames, double period, double first = 5, double height = 1.0) {
    std::vector<double> envelope(frames, 0.0);
    for (double t = first; std::llround(t) < static_cast<long long>(frames); t += period) {
        envelope[static_cast<std::size_t>(std::llround(t))] = height;
    }
    return envelope;
}

std::vector<double> scaled(std::vector<double> envelope, double factor) {
    for (double& v : envelope) v *= factor;
    return envelope;
}

// Uniform noise, squared-ish so that it has a few tall peaks; fixed seed.
std::vector<double> noiseEnvelope(std::size_t frames, std::mt19937& rng, double height = 1.0) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> envelope(frames);
    for (double& v : envelope) v = height * uniform(rng) * uniform(rng);
    return envelope;
}

const Candidate* findTempo(const std::vector<Candidate>& candidates, double bpm, double tolerance = 0.005) {
    for (const Candidate& c : candidates) {
        if (A::relativeTempoDifference(c.bpm, bpm) <= tolerance) return &c;
    }
    return nullptr;
}

void expectRankedAndDistinct(const std::vector<Candidate>& candidates, std::size_t limit) {
    EXPECT_LE(candidates.size(), limit);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        EXPECT_GE(candidates[i].score, 0.0);
        EXPECT_LE(candidates[i].score, 1.0);
        for (std::size_t j = i + 1; j < candidates.size(); ++j) {
            EXPECT_GT(A::relativeTempoDifference(candidates[i].bpm, candidates[j].bpm), 0.012)
                << candidates[i].bpm << " " << candidates[j].bpm;
        }
    }
}

Candidate make(double bpm, double score, double agreement = 0.5, double accent = 0) {
    Candidate c;
    c.bpm = bpm;
    c.score = score;
    c.agreement = agreement;
    c.accentRecurrence = accent;
    return c;
}

std::vector<double> scoresOf(const std::vector<Candidate>& candidates) {
    std::vector<double> scores;
    for (const Candidate& c : candidates) scores.push_back(c.score);
    return scores;
}

// --- one envelope ---

TEST(EnvelopeCandidates, ImpulseTrainYieldsItsTempoAndSlowerMultiplesScoredByFitAndHarmonics) {
    // A beat every 20 frames of 25 ms: 120 BPM, with 60 and 40 BPM on every second and third beat.
    const auto candidates = A::envelopeCandidates(pulses(600, 20), 0.025);
    ASSERT_EQ(candidates.size(), 3u);
    EXPECT_NEAR(candidates[0].bpm, 120.0, 0.01);
    EXPECT_NEAR(candidates[1].bpm, 60.0, 0.01);
    EXPECT_NEAR(candidates[2].bpm, 40.0, 0.05);
    EXPECT_NEAR(candidates[0].score, 1.0, 1e-9);
    for (const Candidate& c : candidates) {
        EXPECT_EQ(c.agreement, 0.0);
        EXPECT_EQ(c.accentRecurrence, 0.0);
        EXPECT_NEAR(c.pulseCompleteness, 1.0, 1e-12);
    }
    // Half tempo: every beat hits, half the peaks lie on the grid.
    EXPECT_NEAR(candidates[1].gridFit, 0.16 + 0.84 * 2.0 / 3.0, 1e-12);
    // 60 BPM reads its own lag and the faster half of it (lag 20); lag 80 lies outside the table.
    const double acf20 = candidates[0].autocorrelation;
    const double acf40 = candidates[1].autocorrelation;
    EXPECT_NEAR(candidates[1].score,
                0.38 * acf40 + 0.42 * candidates[1].gridFit + 0.2 * std::min(0.6 * acf40 + 0.4 * acf20, 1.0), 1e-12);
    // 40 BPM: lag 30 falls between the beats (negative, read as 0) and lag 120 outside the table.
    const double acf60 = candidates[2].autocorrelation;
    EXPECT_NEAR(candidates[2].score, 0.38 * acf60 + 0.42 * candidates[2].gridFit + 0.2 * 0.6 * acf60, 1e-12);
}

TEST(EnvelopeCandidates, FractionalPeriodIsRefinedBetweenWholeFrames) {
    // 120 BPM at the 44.1 kHz hop is a beat every 43.07 frames.
    const auto candidates = A::envelopeCandidates(pulses(2000, 60.0 / (120.0 * kHop), 3), kHop);
    ASSERT_FALSE(candidates.empty());
    EXPECT_NEAR(candidates[0].bpm, 120.0, 0.25);
    EXPECT_GT(candidates[0].periodFrames, 43.0);
    EXPECT_LT(candidates[0].periodFrames, 44.0);
    EXPECT_DOUBLE_EQ(candidates[0].bpm, 60.0 / (candidates[0].periodFrames * kHop));
    expectRankedAndDistinct(candidates, 7);
}

// The normalised autocorrelation of the envelope, mean removed, at one lag, every sum added
// plainly in frame order: what a candidate must read, however many lags are summed at once.
double plainAutocorrelation(const std::vector<double>& envelope, std::size_t lag) {
    double sum = 0;
    for (const double v : envelope) sum += v;
    const double mean = sum / static_cast<double>(envelope.size());
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i + lag < envelope.size(); ++i) {
        const double a = envelope[i] - mean;
        const double b = envelope[i + lag] - mean;
        ab += a * b;
        aa += a * a;
        bb += b * b;
    }
    return ab / std::max(std::sqrt(aa * bb), 1e-12);
}

TEST(EnvelopeCandidates, AutocorrelationIsThePlainSumAtTheCandidatesLag) {
    // Pulses in noise, so that every lag has a value of its own and a sum carried for the wrong
    // lag shows; the lengths end the lags after whole and partial groups of eight and sixteen.
    std::mt19937 rng(29);
    for (const std::size_t frames : {125, 360, 2000}) {
        for (const double period : {23.3, 37.0}) {
            std::vector<double> envelope = noiseEnvelope(frames, rng, 0.4);
            const std::vector<double> beats = pulses(frames, period, 2);
            for (std::size_t i = 0; i < frames; ++i) envelope[i] += beats[i];
            const auto candidates = A::envelopeCandidates(envelope, kHop);
            ASSERT_FALSE(candidates.empty()) << frames << " frames, period " << period;
            for (const Candidate& c : candidates) {
                // The lag's parabola moves the period by half a frame at most.
                const auto below = static_cast<std::size_t>(std::floor(c.periodFrames));
                const auto above = static_cast<std::size_t>(std::ceil(c.periodFrames));
                EXPECT_TRUE(c.autocorrelation == plainAutocorrelation(envelope, below) ||
                            c.autocorrelation == plainAutocorrelation(envelope, above))
                    << frames << " frames, period " << period << ", candidate at " << c.periodFrames;
            }
        }
    }
}

TEST(EnvelopeCandidates, TempoBoundsAreHalfABPMOutsideTheSearchRange) {
    // The same envelope read at two hops: the refined period stays, only the tempo moves.
    const auto envelope = pulses(1900, 18.8, 3);
    const auto atTenMs = A::envelopeCandidates(envelope, 0.01);
    const auto fast = std::find_if(atTenMs.begin(), atTenMs.end(),
                                   [](const Candidate& c) { return c.periodFrames > 18.5 && c.periodFrames < 19.5; });
    ASSERT_NE(fast, atTenMs.end());
    const double period = fast->periodFrames;

    const auto below = A::envelopeCandidates(envelope, 60.0 / (320.4 * period));
    ASSERT_NE(findTempo(below, 320.4, 1e-6), nullptr);
    const auto above = A::envelopeCandidates(envelope, 60.0 / (320.6 * period));
    EXPECT_FALSE(above.empty());
    for (const Candidate& c : above) EXPECT_LT(c.bpm, 320.5);
    expectRankedAndDistinct(below, 7);
}

TEST(EnvelopeCandidates, NothingWithoutFourOnsetPeaksOrEnoughLags) {
    // Perfectly periodic but below the 0.08 peak floor.
    EXPECT_TRUE(A::envelopeCandidates(pulses(600, 20, 5, 0.07), 0.025).empty());
    EXPECT_TRUE(A::envelopeCandidates(std::vector<double>(600, 0.0), 0.025).empty());
    const auto firstPeaks = [](std::size_t keep) {
        auto envelope = pulses(120, 20);  // peaks at 5, 25, 45, ...
        std::fill(envelope.begin() + static_cast<std::ptrdiff_t>(5 + 20 * keep), envelope.end(), 0.0);
        return envelope;
    };
    EXPECT_TRUE(A::envelopeCandidates(firstPeaks(3), 0.025).empty());
    EXPECT_FALSE(A::envelopeCandidates(firstPeaks(4), 0.025).empty());
    // 29 frames: the longest lag (9) is within two of the shortest (7 frames = 0.1875 s).
    EXPECT_TRUE(A::envelopeCandidates(pulses(29, 8, 1), 0.025).empty());
    EXPECT_FALSE(A::envelopeCandidates(pulses(30, 8, 1), 0.025).empty());
    EXPECT_TRUE(A::envelopeCandidates({}, 0.025).empty());
}

TEST(EnvelopeCandidates, NoiseHasNoConvincingTempo) {
    std::mt19937 rng(7);
    const auto candidates = A::envelopeCandidates(noiseEnvelope(3000, rng), kHop);
    expectRankedAndDistinct(candidates, 7);
    for (const Candidate& c : candidates) EXPECT_LT(c.score, 0.3) << c.bpm;
}

// --- consensus ---

TEST(ConsensusCandidates, OnlyEnvelopesOfEnoughFramesWithSignalTakePart) {
    EXPECT_TRUE(A::consensusCandidates(Envelopes{}, true, 0.025).empty());
    EXPECT_TRUE(A::consensusCandidates(Envelopes{pulses(95, 10)}, true, 0.025).empty());
    EXPECT_FALSE(A::consensusCandidates(Envelopes{pulses(96, 10)}, true, 0.025).empty());
    EXPECT_TRUE(A::consensusCandidates(Envelopes{std::vector<double>(600, 0.0), scaled(pulses(600, 20), 1e-6)}, true,
                                       0.025)
                    .empty());
}

TEST(ConsensusCandidates, AccentsAreMeasuredOnTheLastEnvelopeThatTakesPart) {
    const auto beat = pulses(1200, 20);
    const auto other = pulses(1200, 27);
    const auto tiny = scaled(other, 1e-6);
    const auto faint = scaled(other, 2e-6);  // no onset peaks, but signal enough to take part
    struct Case {
        Envelopes envelopes;
        const std::vector<double>* measured;
    };
    for (const Case& c : {Case{{beat, other}, &other}, Case{{beat, std::vector<double>(1200, 0.0)}, &beat},
                          Case{{beat, tiny}, &beat}, Case{{beat, faint}, &faint}}) {
        const auto candidates = A::consensusCandidates(c.envelopes, false, 0.025);
        ASSERT_FALSE(candidates.empty());
        for (const Candidate& candidate : candidates) {
            EXPECT_EQ(candidate.accentRecurrence, A::measureAccentRecurrence(*c.measured, candidate.periodFrames))
                << candidate.bpm;
        }
    }
}

TEST(ConsensusCandidates, FeaturesWithinTwoPercentFormOneTempo) {
    const auto at120 = pulses(3000, 50, 5);
    // 117.65 BPM is 2 % away: one tempo that both features support, centred on the weighted
    // median (equal weights: the lower one).
    const auto joined = A::consensusCandidates(Envelopes{at120, pulses(3000, 51, 7)}, false, 0.01);
    ASSERT_FALSE(joined.empty());
    EXPECT_NEAR(joined[0].bpm, 60.0 / 0.51, 1e-3);
    EXPECT_EQ(joined[0].agreement, 1.0);
    EXPECT_EQ(findTempo(joined, 120.0, 1e-3), nullptr);

    // 115.4 BPM is 3.8 % away: two tempi, each with half the features.
    const auto apart = A::consensusCandidates(Envelopes{at120, pulses(3000, 52, 7)}, false, 0.01);
    ASSERT_NE(findTempo(apart, 120.0, 1e-3), nullptr);
    ASSERT_NE(findTempo(apart, 60.0 / 0.52, 1e-3), nullptr);
    EXPECT_EQ(findTempo(apart, 120.0, 1e-3)->agreement, 0.5);
    EXPECT_EQ(findTempo(apart, 60.0 / 0.52, 1e-3)->agreement, 0.5);
}

TEST(ConsensusCandidates, OneFeatureNeverSupportsATempoTwice) {
    // Beats every 1.00 s and every 1.02 s in one envelope: its candidates hold both 60 and
    // 58.8 BPM, but the second falls into the first one's cluster and is dropped.
    auto both = pulses(3000, 50, 5);
    const auto slower = pulses(3000, 51, 7);
    for (std::size_t i = 0; i < both.size(); ++i) both[i] = std::max(both[i], slower[i]);
    const auto own = A::envelopeCandidates(both, 0.01);
    ASSERT_NE(findTempo(own, 60.0, 1e-3), nullptr);
    ASSERT_NE(findTempo(own, 60.0 / 1.02, 1e-3), nullptr);

    const auto consensus = A::consensusCandidates(Envelopes{both}, false, 0.01);
    ASSERT_NE(findTempo(consensus, 60.0, 1e-3), nullptr);
    EXPECT_EQ(findTempo(consensus, 60.0 / 1.02, 1e-3), nullptr);
    for (const Candidate& c : consensus) EXPECT_EQ(c.agreement, 1.0);
}

TEST(ConsensusCandidates, AgreementOfManyFeaturesRaisesAndALoneFeatureLowersTheScore) {
    const auto beat = pulses(1200, 20);
    const auto other = pulses(1200, 27);
    const Candidate lone = A::envelopeCandidates(other, 0.025)[0];  // 88.9 BPM
    const Candidate own = A::envelopeCandidates(beat, 0.025)[0];    // 120 BPM
    ASSERT_NEAR(lone.bpm, 88.89, 0.01);

    // Three features: two at 120 BPM (no bonus below three), one alone (no penalty below four).
    const auto three = A::consensusCandidates(Envelopes{beat, beat, other}, false, 0.025);
    ASSERT_NE(findTempo(three, 120.0), nullptr);
    ASSERT_NE(findTempo(three, lone.bpm), nullptr);
    EXPECT_NEAR(findTempo(three, 120.0)->score, 0.62 * own.score + 0.38 * 2.0 / 3.0, 1e-12);
    EXPECT_NEAR(findTempo(three, lone.bpm)->score, 0.62 * lone.score + 0.38 / 3.0, 1e-12);

    // Four features: three agree (+0.06), the lone one keeps 76 % of its base.
    const auto four = A::consensusCandidates(Envelopes{beat, beat, beat, other}, false, 0.025);
    ASSERT_NE(findTempo(four, 120.0), nullptr);
    ASSERT_NE(findTempo(four, lone.bpm), nullptr);
    EXPECT_NEAR(findTempo(four, 120.0)->score, std::min(0.62 * own.score + 0.38 * 0.75 + 0.06, 1.0), 1e-12);
    EXPECT_NEAR(findTempo(four, lone.bpm)->score, 0.76 * (0.62 * lone.score + 0.38 * 0.25), 1e-12);
    EXPECT_EQ(findTempo(four, 120.0)->agreement, 0.75);
    EXPECT_EQ(findTempo(four, lone.bpm)->agreement, 0.25);
    EXPECT_NEAR(findTempo(four, 120.0)->periodFrames, 20.0, 1e-3);
}

TEST(ConsensusCandidates, EqualScoresRankTheFasterTempoFirst) {
    // 115.4 and 120 BPM get the same score and agreement; the slower one's cluster comes first.
    const auto candidates = A::consensusCandidates(Envelopes{pulses(3000, 52, 7), pulses(3000, 50, 5)}, false, 0.01);
    ASSERT_GE(candidates.size(), 2u);
    EXPECT_NEAR(candidates[0].bpm, 120.0, 1e-3);
    EXPECT_NEAR(candidates[1].bpm, 60.0 / 0.52, 1e-3);
    EXPECT_EQ(candidates[0].score, candidates[1].score);
}

TEST(ConsensusCandidates, DoubleTempoWithRecurringAccentsWinsOnlyWithResolution) {
    // Strong beats every 40 frames (60 BPM) and weak ones between: at 120 BPM the accents
    // alternate and recur; at 60 BPM the beats are all alike.
    auto accented = pulses(1200, 20, 5, 0.2);
    for (std::size_t i = 5; i < accented.size(); i += 40) accented[i] = 1.0;
    const Envelopes envelopes{accented, accented, accented};

    const auto plain = A::consensusCandidates(envelopes, false, 0.025);
    const auto resolved = A::consensusCandidates(envelopes, true, 0.025);
    ASSERT_FALSE(plain.empty());
    ASSERT_FALSE(resolved.empty());
    EXPECT_NEAR(plain[0].bpm, 60.0, 0.01);
    EXPECT_NEAR(resolved[0].bpm, 120.0, 0.01);

    const Candidate* slowPlain = findTempo(plain, 60.0);
    const Candidate* fastPlain = findTempo(plain, 120.0);
    ASSERT_NE(slowPlain, nullptr);
    ASSERT_NE(fastPlain, nullptr);
    EXPECT_GE(fastPlain->accentRecurrence, slowPlain->accentRecurrence + 0.035);
    EXPECT_NEAR(findTempo(resolved, 60.0)->score, slowPlain->score - 0.2, 1e-12);
    EXPECT_NEAR(findTempo(resolved, 120.0)->score, fastPlain->score + 0.05, 1e-12);
}

TEST(ConsensusCandidates, ABeatInNoiseIsFoundByEveryFeature) {
    std::mt19937 rng(11);
    Envelopes envelopes;
    for (int f = 0; f < 4; ++f) {
        auto envelope = pulses(2600, 60.0 / (120.0 * kHop), 3 + f % 2);
        const auto noise = noiseEnvelope(envelope.size(), rng, 0.6);
        for (std::size_t i = 0; i < envelope.size(); ++i) envelope[i] = std::max(envelope[i], noise[i]);
        envelopes.push_back(envelope);
    }
    const auto candidates = A::consensusCandidates(envelopes, true, kHop);
    ASSERT_FALSE(candidates.empty());
    EXPECT_NEAR(candidates[0].bpm, 120.0, 0.3);
    EXPECT_EQ(candidates[0].agreement, 1.0);
    expectRankedAndDistinct(candidates, 10);
}

TEST(ConsensusCandidates, NeverMoreThanTenOrTwoWithinOnePointTwoPercent) {
    std::mt19937 rng(3);
    Envelopes envelopes;
    for (int f = 0; f < 9; ++f) envelopes.push_back(noiseEnvelope(2600, rng));
    const auto candidates = A::consensusCandidates(envelopes, true, kHop);
    EXPECT_EQ(candidates.size(), 10u);
    expectRankedAndDistinct(candidates, 10);
    // Same input, same answer.
    const auto again = A::consensusCandidates(envelopes, true, kHop);
    ASSERT_EQ(again.size(), candidates.size());
    for (std::size_t i = 0; i < again.size(); ++i) {
        EXPECT_EQ(again[i].bpm, candidates[i].bpm);
        EXPECT_EQ(again[i].score, candidates[i].score);
    }
}

TEST(ConsensusCandidates, DecodedClickTracksAreFoundByTheFeaturesTogether) {
    for (const double bpm : {87.0, 124.0, 172.0}) {
        audio::testkit::Signal song = audio::testkit::clicks(44100, 1, 30, bpm);
        const audio::testkit::Signal bed = audio::testkit::noise(44100, 1, song.frames(), 0.1);
        for (std::size_t i = 0; i < song.interleaved.size(); ++i) song.interleaved[i] += bed.interleaved[i];
        audio::testkit::MemorySource source(std::move(song));
        const auto set = A::decodeFeatureEnvelopes(source);
        Envelopes envelopes(set.featureEnvelopes.begin(), set.featureEnvelopes.end());
        envelopes.push_back(set.consensusEnvelope);

        const auto candidates = A::consensusCandidates(envelopes, true, set.frameSeconds);
        ASSERT_FALSE(candidates.empty()) << bpm;
        EXPECT_NEAR(candidates[0].bpm, bpm, bpm * 0.01);
        EXPECT_EQ(candidates[0].agreement, 1.0) << bpm;
        expectRankedAndDistinct(candidates, 10);
    }
}

// --- building blocks ---

TEST(MetricalResolution, DoubleTempoTakesOverWhenItsAccentsRecurMoreClearly) {
    struct Case {
        const char* label;
        Candidate fast;  // the 120 BPM partner of a 60 BPM candidate (score 0.5, accent 0.1)
        double slowScore, fastScore;
    };
    for (const Case& c : {
             Case{"accent 0.035 ahead", make(120, 0.4, 0.5, 0.14), 0.3, 0.45},
             Case{"accent not far enough ahead", make(120, 0.4, 0.5, 0.13), 0.5, 0.4},
             Case{"broad agreement needs only 0.02", make(120, 0.4, 0.66, 0.125), 0.3, 0.45},
             Case{"partner too weak", make(120, 0.35, 0.5, 0.3), 0.5, 0.35},
             Case{"stronger partner", make(120, 0.98, 0.5, 0.3), 0.3, 1.0},
             Case{"2.4 % off the double", make(122.9, 0.4, 0.5, 0.3), 0.3, 0.45},
             Case{"2.6 % off the double", make(123.2, 0.4, 0.5, 0.3), 0.5, 0.4},
         }) {
        std::vector<Candidate> candidates{make(60, 0.5, 0.5, 0.1), c.fast};
        A::resolveMetricalRelations(candidates);
        EXPECT_NEAR(candidates[0].score, c.slowScore, 1e-12) << c.label;
        EXPECT_NEAR(candidates[1].score, c.fastScore, 1e-12) << c.label;
    }
    std::vector<Candidate> weak{make(60, 0.1, 0.5, 0.0), make(120, 0.1, 0.5, 0.5)};
    A::resolveMetricalRelations(weak);
    EXPECT_EQ(weak[0].score, 0.0);
}

TEST(MetricalResolution, ThreeToTwoFavoursTheFasterTempoWithClearerAccents) {
    std::vector<Candidate> candidates{make(80, 0.5, 0.5, 0.1), make(120, 0.4, 0.5, 0.145)};
    A::resolveMetricalRelations(candidates);
    EXPECT_EQ(scoresOf(candidates), (std::vector<double>{0.5 - 0.14, 0.4 + 0.05}));

    candidates = {make(80, 0.5, 0.5, 0.1), make(120, 0.4, 0.5, 0.135)};
    A::resolveMetricalRelations(candidates);
    EXPECT_EQ(scoresOf(candidates), (std::vector<double>{0.5, 0.4}));
}

TEST(MetricalResolution, BothPassesDecideOnTheIncomingScoresAndTheirChangesAddUp) {
    // 60 loses to its double first (0.5 -> 0.3); the three-to-two pass still sees 60 at 0.5,
    // so 40 loses to it (0.45 -> 0.31) and 60 gains back 0.05.
    std::vector<Candidate> candidates{make(40, 0.45, 0.5, 0.0), make(60, 0.5, 0.5, 0.1), make(120, 0.5, 0.5, 0.2)};
    A::resolveMetricalRelations(candidates);
    EXPECT_NEAR(candidates[0].score, 0.31, 1e-12);
    EXPECT_NEAR(candidates[1].score, 0.35, 1e-12);
    EXPECT_NEAR(candidates[2].score, 0.55, 1e-12);

    // A winner gains once per pass however many it wins against.
    candidates = {make(80, 0.4, 0.5, 0.05), make(79, 0.4, 0.5, 0.05), make(120, 0.45, 0.5, 0.2)};
    A::resolveMetricalRelations(candidates);
    EXPECT_NEAR(candidates[0].score, 0.26, 1e-12);
    EXPECT_NEAR(candidates[1].score, 0.26, 1e-12);
    EXPECT_NEAR(candidates[2].score, 0.5, 1e-12);
}

TEST(ConsensusRanking, ScoreThenAgreementThenFasterTempo) {
    const auto ranked = A::rankedDistinctTempi({make(100, 0.5, 0.4), make(90, 0.5000005, 0.6), make(80, 0.5, 0.6),
                                                make(70, 0.6, 0.1)});
    std::vector<double> tempi;
    for (const Candidate& c : ranked) tempi.push_back(c.bpm);
    EXPECT_EQ(tempi, (std::vector<double>{70, 90, 80, 100}));

    // 1 % apart: the lower ranked one goes; 1.5 % apart: both stay.
    EXPECT_EQ(A::rankedDistinctTempi({make(120, 0.6), make(121.2, 0.7)}).size(), 1u);
    EXPECT_EQ(A::rankedDistinctTempi({make(120, 0.6), make(121.2, 0.7)})[0].bpm, 121.2);
    EXPECT_EQ(A::rankedDistinctTempi({make(120, 0.6), make(121.8, 0.7)}).size(), 2u);

    std::vector<Candidate> many;
    for (int i = 0; i < 14; ++i) many.push_back(make(60 + 10 * i, 0.1 * (i % 5)));
    EXPECT_EQ(A::rankedDistinctTempi(many).size(), 10u);
}

TEST(CandidateHelpers, RelatedSearchDistinctTempoAndBestMember) {
    const std::vector<Candidate> candidates{make(240, 0.3), make(236, 0.5), make(240, 0.6), make(240, 0.9)};
    const Candidate reference = make(120, 0.6);
    EXPECT_EQ(A::findRelatedCandidate(0, 4, 9, candidates, reference, 240), std::optional<std::size_t>{1});
    EXPECT_EQ(A::findRelatedCandidate(0, 4, 1, candidates, reference, 240), std::optional<std::size_t>{2});
    EXPECT_EQ(A::findRelatedCandidate(3, 9, 9, candidates, reference, 240), std::optional<std::size_t>{3});
    EXPECT_EQ(A::findRelatedCandidate(0, 4, 9, candidates, reference, 250), std::nullopt);
    EXPECT_EQ(A::findRelatedCandidate(0, 1, 9, candidates, reference, 240), std::nullopt);  // 0.3 < 0.6 - 0.14

    const std::vector<Candidate> kept{make(100, 0.5), make(150, 0.5)};
    EXPECT_FALSE(A::isDistinctTempo(kept, make(101, 0.5)));
    EXPECT_TRUE(A::isDistinctTempo(kept, make(101.5, 0.5)));
    EXPECT_TRUE(A::isDistinctTempo({}, make(101, 0.5)));

    EXPECT_EQ(A::bestMember({}), std::nullopt);
    const std::vector<A::ClusterMember> members{{0, make(100, 0.4)}, {1, make(101, 0.7)}, {2, make(102, 0.7)}};
    const auto best = A::bestMember(members);
    ASSERT_TRUE(best);
    EXPECT_EQ(best->feature, 1);
}

}  // namespace
}  // namespace corvel::analysis
