#include "analysis/analysis_driver.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/level_weights.hpp"
#include "analysis/music_analyzer.hpp"
#include "audio/test_signals.hpp"
#include "common/error.hpp"
#include "common/format.hpp"

namespace corvel::analysis {
namespace {

using A = ORVAudioMusicAnalyzer;
using Candidate = A::InternalCandidate;
using Section = ORVDetectedTempoSection;
using Observation = ORVLocalTempoObservation;
using Refinement = SetwrightMusicTempoRefiner::Refinement;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kFrameSeconds = 512.0 / 44100.0;

Candidate candidate(double bpm, double score, double agreement = 0.5) {
    Candidate c;
    c.bpm = bpm;
    c.score = score;
    c.agreement = agreement;
    c.autocorrelation = 0.3;
    c.gridFit = 0.4;
    return c;
}

Section section(double start, double end, double bpm, double confidence = 0.7, std::int64_t count = 5) {
    return Section{start, end, bpm, confidence, count};
}

Observation observation(double bpm, double confidence, double factor = 1) {
    Observation o;
    o.bpm = bpm;
    o.confidence = confidence;
    o.observedBPM = bpm * factor;
    o.metricalFactor = factor;
    return o;
}

ORVLocalTempoTracking tracking(std::vector<Section> sections, bool reliable, double stability = 0.5,
                               std::vector<Observation> observations = {}) {
    ORVLocalTempoTracking t;
    t.sections = std::move(sections);
    t.isReliable = reliable;
    t.stability = stability;
    t.observations = std::move(observations);
    return t;
}

Refinement refinement(double bpm, double confidence) {
    Refinement r;
    r.bpm = bpm;
    r.confidence = confidence;
    return r;
}

// `seconds` of envelope at 44.1 kHz hops with a peak every `period` frames from `phase` on.
ORVAudioFeatureSet pulseFeatures(double seconds, double periodFrames, double phaseFrames = 0) {
    ORVAudioFeatureSet set;
    set.frameSeconds = kFrameSeconds;
    set.durationSeconds = seconds;
    std::vector<double> envelope(std::size_t(std::ceil(seconds / kFrameSeconds)), 0.0);
    for (double f = phaseFrames;; f += periodFrames) {
        const auto frame = std::size_t(std::lround(f));
        if (frame >= envelope.size()) break;
        envelope[frame] = 1;
    }
    set.featureEnvelopes.fill(envelope);
    set.consensusEnvelope = envelope;
    return set;
}

ORVAudioFeatureSet beatFeatures(double seconds, const std::vector<std::pair<double, double>>& parts);

void holdLastPeak(ORVAudioFeatureSet& features) {
    features.consensusEnvelope.back() = 1;
    for (auto& envelope : features.featureEnvelopes) envelope.back() = 1;
}

ORVConsensusTop top(double bpm, double score, double agreement) { return {bpm, score, agreement, 0.3, 0.4}; }

void expectAnalysisError(const std::function<void()>& run, int code, const std::string& message) {
    try {
        run();
        FAIL() << "expected error " << code;
    } catch (const ErrorException& e) {
        EXPECT_EQ(e.error(), (Error{"ORVBeatloom", code, message}));
    }
}

// --- decisions between the stages ---

TEST(AnalysisDriver, PreferredConsensusTempoIsNoneWhenWeakOrShadowedByAMetricalRelative) {
    const std::vector<Candidate> none;
    EXPECT_EQ(A::preferredConsensusTempo(none), std::nullopt);
    EXPECT_EQ(A::preferredConsensusTempo(std::vector{candidate(120, 0.29)}), std::nullopt);
    EXPECT_EQ(A::preferredConsensusTempo(std::vector{candidate(120, kNaN)}), std::nullopt);
    EXPECT_EQ(A::preferredConsensusTempo(std::vector{candidate(120, 0.3)}), 120.0);
    // The half tempo nearly as strong and as widely supported shadows the best.
    EXPECT_EQ(A::preferredConsensusTempo(std::vector{candidate(120, 0.6, 0.6), candidate(60, 0.53, 0.31)}),
              std::nullopt);
    // Too weak, too little agreement, or no metrical relative: the best stands.
    EXPECT_EQ(A::preferredConsensusTempo(std::vector{candidate(120, 0.6, 0.6), candidate(60, 0.52, 0.3)}), 120.0);
    EXPECT_EQ(A::preferredConsensusTempo(std::vector{candidate(120, 0.6, 0.6), candidate(60, 0.6, 0.29)}), 120.0);
    EXPECT_EQ(A::preferredConsensusTempo(std::vector{candidate(120, 0.6, 0.6), candidate(90, 0.6, 0.6)}), 120.0);
    EXPECT_EQ(A::preferredConsensusTempo(std::vector{candidate(120, 0.6, 0.6), candidate(80, 0.6, 0.6)}), std::nullopt);
}

TEST(AnalysisDriver, LocalTempoFollowsTheTrackerOrTheConsensus) {
    // A reliable lone section keeps its own level, however well the consensus supports a
    // metrical relative: the level is decided afterwards, from the accents.
    const auto lone = tracking({section(0, 30, 60)}, true);
    EXPECT_EQ(A::localTempo(top(120, 0.9, 0.9), lone), 60.0);
    EXPECT_EQ(A::localTempo(top(90, 0.9, 0.9), lone), 60.0);
    EXPECT_EQ(A::localTempo(top(80, 0.5, 0.6), lone), 60.0);
    // With several sections the first one's tempo stands.
    EXPECT_EQ(A::localTempo(top(120, 0.9, 0.9), tracking({section(0, 10, 60), section(10, 20, 62)}, true)), 60.0);

    // Not reliable: the observations' median pulls only when it is the same pulse.
    const auto near = tracking({}, false, 0.9, {observation(102, 0.8), observation(102, 0.6), observation(90, 0.1)});
    EXPECT_EQ(A::localTempo(top(100, 0.2, 0.5), near), 102.0);  // stability 0.9 outweighs score 0.2
    EXPECT_EQ(A::localTempo(top(100, 0.95, 0.5), near), 100.0);
    const auto far = tracking({}, false, 0.9, {observation(110, 0.8)});
    EXPECT_EQ(A::localTempo(top(100, 0.2, 0.5), far), 100.0);
    EXPECT_EQ(A::localTempo(top(100, 0.2, 0.5), tracking({section(0, 30, 60)}, false)), 100.0);
}

TEST(AnalysisDriver, RefinementStartsFromTheLocalTempoUnlessItIsAMetricalRelative) {
    EXPECT_EQ(A::refinementTempo(120, 90), 90.0);    // 3:4, unrelated
    EXPECT_EQ(A::refinementTempo(120, 60), 120.0);   // octave
    EXPECT_EQ(A::refinementTempo(120, 80), 120.0);   // three to two
    EXPECT_EQ(A::refinementTempo(120, 123), 123.0);  // the same pulse, measured along the song
    EXPECT_EQ(A::refinementTempo(120, kNaN), 120.0);
}

TEST(AnalysisDriver, OfTwoReadingsThreeToTwoApartTheOneOnTheOnsetsIsRefined) {
    // Onsets on every beat at 96: a grid at 144 meets them on every third of its points only.
    const auto features = pulseFeatures(40, 60.0 / (kFrameSeconds * 96));
    const struct {
        double consensus, local, start, refined;
    } cases[] = {
        {144, 96, 96, 96},     // the consensus runs the cross-rhythm: the tracked beat is refined
        {96, 144, 96, 96},     // the tracker runs it: the consensus stands
        {192, 96, 192, 192},   // an octave apart: the consensus, as before
        {120, 96.2, 96.2, 96}, // unrelated: the local tempo
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.consensus);
        const auto [start, refined] =
            A::wholeSongRefinement(features.consensusEnvelope, kFrameSeconds, c.consensus, c.local);
        EXPECT_EQ(start, c.start);
        ASSERT_TRUE(refined.has_value());
        EXPECT_NEAR(refined->bpm, c.refined, 0.05);
    }
}

TEST(AnalysisDriver, RelatedSectionsCollapseIntoOneConfidentRefinedPulse) {
    auto features = pulseFeatures(30, 60.0 / (kFrameSeconds * 100));
    features.firstMeaningfulAudioSeconds = 1.25;
    const auto twoSections =
        tracking({section(0, 15, 100, 0.7, 6), section(15, 30, 200, 0.9, 7)}, true, 0.8,
                 {observation(100, 0.7), observation(100, 0.7, 2), observation(200, 0.8, 0.5)});
    const std::vector<Candidate> candidates{candidate(100.01, 0.7, 0.7)};

    const auto m = A::assembleMeasurement(features, candidates, top(100.01, 0.7, 0.7), twoSections, 100, 100,
                                          refinement(100.02, 0.85));
    ASSERT_EQ(m.sections.size(), 1u);
    EXPECT_EQ(m.sections[0].startSeconds, 1.25);
    EXPECT_EQ(m.sections[0].endSeconds, 30.0);
    EXPECT_EQ(m.sections[0].bpm, 100.0);
    EXPECT_EQ(m.sections[0].confidence, 0.9);
    EXPECT_EQ(m.sections[0].observationCount, 13);
    EXPECT_EQ(m.bpm, 100.0);
    EXPECT_FALSE(m.tempoMapReliable);
    EXPECT_EQ(m.candidates[0].bpm, 100.0);  // the refinement replaces the candidate it started from
    EXPECT_EQ(m.reason,
              "Whole-song metrical consensus rejected subdivision aliases in the local path and resolved one "
              "constant pulse at 100.00 BPM. Long-term beat-grid drift fit 85 %.");

    // Not confident enough: the refinement is dropped, and the section the tracker followed at
    // the double comes back to the song's level and joins the first.
    const auto kept = A::assembleMeasurement(features, candidates, top(100.01, 0.7, 0.7), twoSections, 100.02, 100,
                                             refinement(100.02, 0.79));
    ASSERT_EQ(kept.sections.size(), 1u);
    EXPECT_EQ(kept.sections[0].bpm, 100.0);
    EXPECT_EQ(kept.sections[0].endSeconds, 30.0);
    EXPECT_EQ(kept.sections[0].observationCount, 13);
    EXPECT_EQ(kept.bpm, 100.0);
    EXPECT_EQ(kept.candidates[0].bpm, 100.0);  // rounded only
    // Sections of different tempi stay a map where the music changes tempo.
    auto changing = beatFeatures(30, {{0, 100}, {15, 130}});
    changing.firstMeaningfulAudioSeconds = 0.0;
    const auto change = tracking({section(0, 15, 100, 0.7, 6), section(15, 30, 130, 0.9, 7)}, true, 0.8,
                                 {observation(100, 0.7), observation(100, 0.7, 2), observation(130, 0.8, 0.5)});
    const auto map = A::assembleMeasurement(changing, candidates, top(100.01, 0.7, 0.7), change, 100.02, 100,
                                            refinement(100.02, 0.79));
    ASSERT_EQ(map.sections.size(), 2u);
    EXPECT_TRUE(map.tempoMapReliable);
    EXPECT_EQ(map.reason,
              "Canonical tempo-family tracker: 2 stable sections (100.00 BPM \u2192 130.00 BPM). 2 local "
              "half-/2:3-rate observations were retained as rhythmic evidence without becoming tempo-map sections.");
    // A section unrelated to the refined tempo keeps the map too.
    const auto unrelated = tracking({section(0, 15, 100), section(15, 30, 130)}, true, 0.8);
    EXPECT_EQ(A::assembleMeasurement(changing, candidates, top(100, 0.7, 0.7), unrelated, 100, 100,
                                     refinement(100.02, 0.95))
                  .sections.size(),
              2u);
}

// A sure whole-song refinement at the eighths of a 90 BPM groove relates to 90 (an octave) and
// to 120 (2:3): a chorus really played at 120 stays a section of its own, since its onsets sit
// on its own beats and not on the song's; a stretch of the steady groove that the tracker read
// at 120 folds into the one pulse.
TEST(AnalysisDriver, ARefinementRelatedByTwoToThreeFoldsOnlySectionsThatFitItsBeats) {
    const audio::testkit::DrumPattern rock{"x.......x.x.....", "....x.......x...", "x.x.x.x.x.x.x.x.", ""};
    const auto groove = [&](double bpm, double seconds) {
        return audio::testkit::drums(44100, seconds, audio::testkit::steadyBeats(bpm, seconds, 0.2), rock);
    };
    const auto decoded = [](audio::testkit::Signal signal) {
        audio::testkit::MemorySource source(std::move(signal));
        return A::decodeFeatureEnvelopes(source);
    };
    const struct {
        const char* what;
        ORVAudioFeatureSet features;
        std::size_t sections;
    } cases[] = {
        {"a chorus at 120", decoded(audio::testkit::concatenated(groove(90, 24), groove(120, 24))), 2},
        {"steady 90, part read at 120", decoded(groove(90, 48)), 1},
    };
    const std::vector<Candidate> candidates{candidate(180, 0.7, 0.7)};
    for (const auto& c : cases) {
        const auto sections = tracking({section(0, 24, 90, 0.9, 14), section(24, 48, 120, 0.9, 14)}, true, 0.8);
        const auto m = A::assembleMeasurement(c.features, candidates, top(180, 0.7, 0.7), sections, 90, 180,
                                              refinement(180, 0.9));
        ASSERT_EQ(m.sections.size(), c.sections) << c.what;
        if (c.sections == 2) {
            EXPECT_NEAR(m.sections[1].bpm / m.sections[0].bpm, 120.0 / 90, 0.01) << c.what;
        }
    }
}

// A map's tempo changes stand where the music shows them over their span: where one steady
// tempo explains the onsets as well, the tracker followed something else (a kick drifting
// across the bar, a part it lost) and the map is one tempo.
TEST(AnalysisDriver, AMapStandsOnlyWhereTheMusicChangesTempo) {
    const audio::testkit::DrumPattern rock{"x.......x.x.....", "....x.......x...", "x.x.x.x.x.x.x.x.", ""};
    // The kick on every third eighth: an accent that wanders across the bar.
    const audio::testkit::DrumPattern drifting{"x.....x.....x.....x.....", "....x.......x...", "x.x.x.x.x.x.x.x.", ""};
    const auto decoded = [](const std::vector<audio::testkit::Signal>& parts) {
        audio::testkit::Signal signal = parts.front();
        for (std::size_t k = 1; k < parts.size(); ++k) signal = audio::testkit::concatenated(signal, parts[k]);
        audio::testkit::MemorySource source(std::move(signal));
        return A::decodeFeatureEnvelopes(source);
    };
    const auto groove = [](const audio::testkit::DrumPattern& pattern, double bpm, double seconds) {
        return audio::testkit::drums(44100, seconds, audio::testkit::steadyBeats(bpm, seconds, 0.2), pattern);
    };
    const auto slowing = audio::testkit::beatTimes(50, 0.2, [](double t) {
        return t < 20 ? 120.0 : t < 40 ? 120.0 - 40.0 * (t - 20) / 20 : 80.0;
    });
    const std::vector<Section> step{section(0, 24, 100, 0.9, 14), section(24, 48, 120, 0.9, 14)};
    std::vector<Section> ritardando{section(0, 20, 120, 0.9, 10), section(20, 40, 120, 0.9, 10),
                                    section(40, 50, 80, 0.9, 5)};
    ritardando[1].linearToNext = true;
    const struct {
        const char* what;
        ORVAudioFeatureSet features;
        std::vector<Section> sections;
        bool map;
    } cases[] = {
        {"a step from 100 to 120", decoded({groove(rock, 100, 24), groove(rock, 120, 24)}), step, true},
        {"steady 100, read at 120 in its second half", decoded({groove(rock, 100, 48)}), step, false},
        {"steady 100 under a drifting kick, read at 120 there",
         decoded({groove(rock, 100, 24), groove(drifting, 100, 24)}), step, false},
        {"a ritardando from 120 to 80", decoded({audio::testkit::drums(44100, 50, slowing, rock)}), ritardando, true},
        {"steady 120, read slowing to 80", decoded({groove(rock, 120, 50)}), ritardando, false},
    };
    for (const auto& c : cases) {
        const double first = c.sections.front().bpm;
        const std::vector<Candidate> candidates{candidate(first, 0.7, 0.7)};
        const auto m = A::assembleMeasurement(c.features, candidates, top(first, 0.7, 0.7), tracking(c.sections, true, 0.8),
                                              first, first, std::nullopt);
        if (c.map) {
            EXPECT_GE(m.sections.size(), 2u) << c.what;
            EXPECT_NEAR(m.sections.back().bpm / m.sections.front().bpm, c.sections.back().bpm / first, 0.03) << c.what;
        } else {
            ASSERT_EQ(m.sections.size(), 1u) << c.what;
            EXPECT_NEAR(m.bpm / first, 1.0, 0.02) << c.what;
            EXPECT_NEAR(m.beatPositionsSeconds[11] - m.beatPositionsSeconds[10], 60.0 / m.bpm, 0.01) << c.what;
        }
    }
}

// A map of breathing beats pays for each of its tempo points: it stands where the beats
// breathe (the steady grid falls off them), not where it merely picks the stronger onsets of
// a steady pulse.
TEST(AnalysisDriver, ABreathingMapStandsOnlyWhereOneTempoMissesTheBeats) {
    const auto breathingMap = [](const std::vector<double>& beats) {
        std::vector<Section> sections;
        for (std::size_t k = 0; k + 2 < beats.size(); k += 2) {
            sections.push_back(section(beats[k], beats[k + 2], 120.0 / (beats[k + 2] - beats[k])));
        }
        return sections;
    };
    const auto envelopeWith = [](const std::vector<std::pair<double, double>>& onsets, double seconds) {
        auto set = pulseFeatures(seconds, 1e9);
        for (const auto& [t, strength] : onsets) set.consensusEnvelope[std::size_t(std::lround(t / kFrameSeconds))] = strength;
        set.featureEnvelopes.fill(set.consensusEnvelope);
        return set;
    };
    // Played freely: the beats wander between 70 and 110 BPM.
    std::vector<std::pair<double, double>> rubato;
    std::vector<double> rubatoBeats;
    for (double t = 0.5; t < 59; t += 60.0 / (90 + 20 * std::sin(double(rubato.size()) / 3))) {
        rubato.push_back({t, 1.0});
        rubatoBeats.push_back(t);
    }
    const auto free = envelopeWith(rubato, 60);
    EXPECT_TRUE(A::tempoChangesHeard(free, breathingMap(rubatoBeats), rubatoBeats, true, 90));
    // A steady 120 whose accents come every one to three beats; the map follows the accents.
    std::vector<std::pair<double, double>> steady;
    std::vector<double> accents;
    for (int k = 0; k < 116; ++k) {
        const double t = 0.5 + k * 0.5;
        const bool accent = k % 5 == 0 || k % 5 == 2 || k % 5 == 3;
        steady.push_back({t, accent ? 1.0 : 0.6});
        if (accent) accents.push_back(t);
    }
    const auto held = envelopeWith(steady, 60);
    EXPECT_FALSE(A::tempoChangesHeard(held, breathingMap(accents), accents, true, 120));
}

TEST(AnalysisDriver, AConstantRefinementIsReportedInHundredthsOfTheTwentiethRoundedTempo) {
    const auto features = pulseFeatures(30, 60.0 / (kFrameSeconds * 120));
    const std::vector<Candidate> candidates{candidate(119.93, 0.7, 0.8), candidate(60, 0.3), candidate(240.04, 0.2)};
    const auto oneSection = tracking({section(0, 30, 119.9)}, true, 0.9);
    for (const auto& [refined, expected] : {std::pair{120.026, 120.05}, std::pair{120.024, 120.0}}) {
        const auto m = A::assembleMeasurement(features, candidates, top(119.93, 0.7, 0.8), oneSection, 119.93,
                                              119.93, refinement(refined, 0.9));
        EXPECT_EQ(m.bpm, expected);
        EXPECT_EQ(m.sections[0].bpm, expected);
        EXPECT_EQ(m.candidates[0].bpm, expected);
        EXPECT_EQ(m.candidates[1].bpm, 60.0);
        EXPECT_EQ(m.candidates[2].bpm, 240.05);
        EXPECT_TRUE(m.tempoMapReliable);
        EXPECT_EQ(m.reason, "Whole-song precision fit refined the constant Beatloom estimate from 119.95 to " +
                                formatFixed(expected, 2) +
                                " BPM using long-term beat-grid drift (fit 90 %). No integer-BPM quantization is "
                                "applied.");
    }
}

// Beats of equal clicks, every other one carrying a weaker click as well: the level (the
// clicks' tempo or the double that the weaker ones fill) is the closer call the weaker they are.
ORVAudioFeatureSet filledPulseFeatures(double seconds, double periodFrames, double between) {
    auto set = pulseFeatures(seconds, periodFrames);
    for (double f = 0.5 * periodFrames;; f += periodFrames) {
        const auto frame = std::size_t(std::lround(f));
        if (frame >= set.consensusEnvelope.size()) break;
        set.consensusEnvelope[frame] = between;
        for (auto& envelope : set.featureEnvelopes) envelope[frame] = between;
    }
    return set;
}

TEST(AnalysisDriver, LevelStaysOpenWhenTheRunnerUpReadingScoresClose) {
    std::size_t open = 0, decided = 0;
    for (const double bpm : {90.0, 120.0, 200.0}) {
        const std::vector<Candidate> candidates{candidate(bpm, 0.6, 0.5), candidate(2 * bpm, 0.55, 0.4)};
        for (const double between : {0.0, 0.6, 1.0}) {
            const auto features = filledPulseFeatures(30, 60.0 / (kFrameSeconds * bpm), between);
            const auto choice = A::metricalLevel(features, candidates, {}, bpm);
            // Reliable or not, the level is open exactly when the two best readings are close.
            for (const bool reliable : {false, true}) {
                const auto tracked = tracking(
                    reliable ? std::vector{section(0, 30, bpm, 0.95)} : std::vector<Section>{}, reliable, 0.5);
                const auto m =
                    A::assembleMeasurement(features, candidates, top(bpm, 0.6, 0.5), tracked, bpm, bpm, std::nullopt);
                EXPECT_EQ(m.ambiguous, choice.margin < kAmbiguousLevelMargin) << bpm << " " << between;
                EXPECT_NEAR(m.bpm, A::roundedTempo(bpm * choice.factor), 0.05) << bpm << " " << between;
                if (m.ambiguous && !reliable) {
                    EXPECT_EQ(m.reason, "Multi-Feature-Tracker erkennt " + formatFixed(m.bpm, 2) +
                                            " BPM, aber die metrische Ebene bleibt mehrdeutig (Alternative " +
                                            formatFixed(A::roundedTempo(bpm * choice.runnerUpFactor), 2) + " BPM).");
                }
            }
            (choice.margin < kAmbiguousLevelMargin ? open : decided) += 1;
        }
    }
    // Both outcomes occur over the fixtures: clear beats decide, beats as loud as what fills
    // them, at a tempo far from the preferred, do not.
    EXPECT_GT(open, 0u);
    EXPECT_GT(decided, 0u);
}

TEST(AnalysisDriver, ConfidenceIsTheFittedProbabilityAndDecidesBetweenTheGermanConsensusReasons) {
    const auto features = pulseFeatures(30, 60.0 / (kFrameSeconds * 120));
    const std::vector<Candidate> candidates{candidate(120, 0.9, 0.9)};
    const auto choice = A::metricalLevel(features, candidates, {}, 120);
    for (const auto& [score, agreement, stability] :
         {std::tuple{0.9, 0.9, 0.75}, std::tuple{0.3, 0.4, 0.2}, std::tuple{0.6, 0.5, 0.5}}) {
        const auto m = A::assembleMeasurement(features, candidates, top(120, score, agreement),
                                              tracking({}, false, stability), 120, 120, std::nullopt);
        const double z = kConfidenceWeights[0] + kConfidenceWeights[1] * std::min(choice.margin, 6.0) +
                         kConfidenceWeights[2] * agreement + kConfidenceWeights[3] * stability +
                         kConfidenceWeights[4] * score;
        EXPECT_NEAR(m.confidence, 1 / (1 + std::exp(-z)), 1e-12);
        // A reliable tracker no longer lifts it to its weakest section's.
        const auto mapped = A::assembleMeasurement(features, candidates, top(120, score, agreement),
                                                   tracking({section(0, 30, 120, 0.2)}, true, stability), 120, 120,
                                                   std::nullopt);
        EXPECT_EQ(mapped.confidence, m.confidence);
        if (m.ambiguous) continue;
        if (m.confidence >= 0.68) {
            EXPECT_EQ(m.reason, "Multi-Feature-Konsens: " + formatFixed(agreement * 100, 0) +
                                    " % Merkmals-Uebereinstimmung, " + formatFixed(stability * 100, 0) +
                                    " % Pfadstabilitaet. Tempo wird nicht mehr aus einer einzigen Onset-Huelle abgeleitet.");
        } else {
            EXPECT_EQ(m.reason, "Tempo-Kandidat 120.00 BPM gefunden, aber der Multi-Feature-Konsens ist noch schwach "
                                "(Agreement " + formatFixed(agreement * 100, 0) + " %). Ergebnis bitte pruefen.");
        }
    }
}

// The calibrated confidence and the ambiguity margin say the same thing at their ends: a level
// left open is never reported sure, and a lead of up to three log units, where the written
// music's level errors still occur, stays below 0.8 however well the features agree. Past that
// a clear lead is reported sure, and the confidence rises with the lead.
TEST(AnalysisDriver, ConfidenceIsSureOnlyWellBeyondTheAmbiguousLevelMargin) {
    auto confidence = [](double margin, double agreement, double stability, double score) {
        const double z = kConfidenceWeights[0] + kConfidenceWeights[1] * std::min(margin, kLargestCountedMargin) +
                         kConfidenceWeights[2] * agreement + kConfidenceWeights[3] * stability +
                         kConfidenceWeights[4] * score;
        return 1 / (1 + std::exp(-z));
    };
    constexpr double kSure = 0.8;
    constexpr double kLevelErrorsReach = 3.0;
    EXPECT_GT(kAmbiguousLevelMargin, 0.5);
    EXPECT_LT(kAmbiguousLevelMargin, kLevelErrorsReach);
    for (const double agreement : {0.0, 0.5, 1.0}) {
        for (const double stability : {0.0, 0.5, 1.0}) {
            for (const double score : {0.0, 0.5, 1.0}) {
                const auto at = [&](double margin) { return confidence(margin, agreement, stability, score); };
                EXPECT_LT(at(kAmbiguousLevelMargin), kSure) << agreement << " " << stability << " " << score;
                EXPECT_LT(at(kLevelErrorsReach), kSure) << agreement << " " << stability << " " << score;
                EXPECT_LT(at(1.0), at(2.0));
                EXPECT_LT(at(2.0), at(4.0));
            }
        }
    }
    EXPECT_GE(confidence(kLargestCountedMargin, 1.0, 1.0, 1.0), kSure);
}

TEST(AnalysisDriver, AtMostEightCandidatesAreReported) {
    const auto features = pulseFeatures(30, 60.0 / (kFrameSeconds * 100));
    std::vector<Candidate> candidates;
    for (int i = 0; i < 10; ++i) candidates.push_back(candidate(100 + 7 * i, 0.9 - 0.05 * i));
    const auto m = A::assembleMeasurement(features, candidates, top(100, 0.9, 0.9), tracking({}, false), 100, 100,
                                          std::nullopt);
    ASSERT_EQ(m.candidates.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(m.candidates[i].bpm, 100 + 7.0 * double(i));
    EXPECT_NE(m.candidates[0].id, m.candidates[1].id);
}

TEST(AnalysisDriver, BeatGridStartsAtTheBestPhaseAndFollowsTheSections) {
    const double period = 60.0 / (kFrameSeconds * 120);  // about 43.07 frames
    for (const auto& [phase, count] : {std::pair{0.0, 61u}, std::pair{10.0, 60u}}) {
        auto features = pulseFeatures(30, period, phase);
        // The beat at 30 s falls just past the last frame; let the frame before it hold its peak.
        if (phase == 0) holdLastPeak(features);
        const auto beats = A::predictedBeatGrid(features, 120, {});
        ASSERT_EQ(beats.size(), count) << phase;
        // A beat one frame off still meets the peak, so the earliest of those phases wins.
        EXPECT_NEAR(beats[0], std::max(phase - 1, 0.0) * kFrameSeconds, 1e-12);
        EXPECT_NEAR(beats[1] - beats[0], 0.5, 1e-12);
        EXPECT_LE(beats.back(), 30.001);
    }
    // The spacing changes with the section the beat falls in.
    const std::vector<Section> sections{section(0, 10, 120), section(10, 30, 60)};
    auto features = pulseFeatures(30, period);
    holdLastPeak(features);
    const auto beats = A::predictedBeatGrid(features, 120, sections);
    ASSERT_EQ(beats.size(), 20u + 21u);
    EXPECT_NEAR(beats[19], 9.5, 1e-9);
    EXPECT_NEAR(beats[20], 10.0, 1e-9);
    EXPECT_NEAR(beats[21], 11.0, 1e-9);
    // No period of 2 frames, no tempo, no envelope: no grid.
    EXPECT_TRUE(A::predictedBeatGrid(pulseFeatures(30, period), 3000, {}).empty());
    EXPECT_TRUE(A::predictedBeatGrid(pulseFeatures(30, period), 0, {}).empty());
    EXPECT_TRUE(A::predictedBeatGrid(pulseFeatures(30, period), kNaN, {}).empty());
    EXPECT_TRUE(A::predictedBeatGrid(ORVAudioFeatureSet{}, 120, {}).empty());
}

TEST(AnalysisDriver, BarOneIsTheEarliestPlaceTheLowBandDoesNotClearlyAccentLess) {
    // Twelve bars of beats every half second from 0.25 s; the low band's onset strength on
    // each beat by its place in the bar, optionally the same halfway between the beats, and
    // bars in which the first place sounds as strongly as the strongest.
    struct Case {
        const char* what;
        std::array<double, 4> places;
        double between;
        int evenBars;
        std::size_t barOne;
    };
    for (const Case& c : {
             Case{"kick on one and three", {1, 0.3, 1, 0.3}, 0, 0, 0},
             Case{"a beat before the first kick", {0.3, 1, 0.3, 1}, 0, 0, 1},
             Case{"three beats before the only accent", {0.3, 0.3, 0.3, 1}, 0, 0, 3},
             Case{"two beats before the main accent, one accented over its neighbours", {0.5, 0.3, 1, 0.3}, 0, 0, 0},
             Case{"two beats before the main accent, one barely over its neighbours", {0.35, 0.3, 1, 0.3}, 0, 0, 2},
             Case{"every beat alike", {1, 1, 1, 1}, 0, 0, 0},
             Case{"a low band that does not follow the beats", {0.3, 1, 0.3, 1}, 1, 0, 0},
             Case{"accented more only in most bars", {0.3, 1, 0.3, 1}, 0, 3, 0},
         }) {
        ORVAudioFeatureSet features = pulseFeatures(30, 1e9);
        std::vector<float> low(features.consensusEnvelope.size(), 0.0f);
        std::vector<double> beats;
        for (std::size_t j = 0; j < 48; ++j) beats.push_back(0.25 + 0.5 * double(j));
        for (std::size_t j = 0; j < beats.size(); ++j) {
            const bool even = int(j / 4) < c.evenBars;
            const double accent = even ? 1.0 : c.places[j % 4];
            low[std::size_t(std::lround(beats[j] / kFrameSeconds))] = float(accent);
            low[std::size_t(std::lround((beats[j] + 0.25) / kFrameSeconds))] = float(c.between);
        }
        features.bandOnsetStrengths[0] = low;
        EXPECT_EQ(A::barOneBeat(features, beats), c.barOne) << c.what;
    }
    EXPECT_EQ(A::barOneBeat(pulseFeatures(30, 1e9), {}), 0u);
}

// An envelope with a peak on every beat of the parts, each part a tempo from its first beat on.
ORVAudioFeatureSet beatFeatures(double seconds, const std::vector<std::pair<double, double>>& parts) {
    auto set = pulseFeatures(seconds, 1e9);
    set.consensusEnvelope.assign(set.consensusEnvelope.size(), 0.0);
    for (std::size_t p = 0; p < parts.size(); ++p) {
        const double end = p + 1 < parts.size() ? parts[p + 1].first - 1e-6 : seconds;
        for (double t = parts[p].first; t < end; t += 60.0 / parts[p].second) {
            const auto frame = std::size_t(std::lround(t / kFrameSeconds));
            if (frame < set.consensusEnvelope.size()) set.consensusEnvelope[frame] = 1;
        }
    }
    set.featureEnvelopes.fill(set.consensusEnvelope);
    return set;
}

// The distance from t to the nearest peak of the envelope, in seconds.
double distanceToPeak(const ORVAudioFeatureSet& set, double t) {
    double best = 1e9;
    for (std::size_t k = 0; k < set.consensusEnvelope.size(); ++k) {
        if (set.consensusEnvelope[k] > 0) best = std::min(best, std::abs(double(k) * kFrameSeconds - t));
    }
    return best;
}

TEST(AnalysisDriver, AChangeIsPlacedSoThatTheBeatsAfterItStayOnTheMusic) {
    struct Case {
        const char* what;
        double oldBPM, newBPM, lastOldBeat, firstNewBeat, detectedChange;
    };
    for (const Case& c : {
             // The new tempo starts on a beat: the old beat length leads into it.
             Case{"faster, detected late", 100, 132, 29.7, 30.3, 30.8},
             Case{"slower, detected early", 132, 100, 29.98, 30.435, 29.6},
             // The last old beat is already followed by a new beat length.
             Case{"faster from the last old beat", 90, 120, 24.767, 25.267, 25.5},
             // Close tempi keep their beats near each other for several beats: the windows may
             // put the change that far off, where the two grids nearly meet.
             Case{"close step, detected nearly four beats early", 122, 128, 29.808, 30.3, 28.4},
             Case{"close step, detected nearly four beats late", 122, 128, 29.808, 30.3, 32.1},
         }) {
        const double oldPeriod = 60.0 / c.oldBPM;
        const double start = c.lastOldBeat - oldPeriod * std::floor(c.lastOldBeat / oldPeriod);
        const auto set = beatFeatures(60, {{start, c.oldBPM}, {c.firstNewBeat, c.newBPM}});
        const std::vector<Section> detected{section(start, c.detectedChange, c.oldBPM, 0.8, 15),
                                            section(c.detectedChange, 60, c.newBPM, 0.8, 15)};
        const auto aligned = A::phaseAlignedSections(set, detected);
        ASSERT_EQ(aligned.size(), 2u) << c.what;
        // Within a frame or two; the map turns a frame of phase into several of change time.
        EXPECT_GE(aligned[1].startSeconds, c.lastOldBeat - 0.06) << c.what;
        EXPECT_LE(aligned[1].startSeconds, c.firstNewBeat + 0.06) << c.what;
        EXPECT_EQ(aligned[0].endSeconds, aligned[1].startSeconds) << c.what;

        // Every beat of the map lands on the music, on both sides of the change.
        const auto beats = A::predictedBeatGrid(set, c.oldBPM, aligned);
        ASSERT_GT(beats.size(), 100u) << c.what;
        EXPECT_NEAR(beats.front(), start, kFrameSeconds) << c.what;
        for (const double beat : beats) ASSERT_LE(distanceToPeak(set, beat), 1.5 * kFrameSeconds) << c.what << beat;
        // The beats follow the new tempo once it has started.
        EXPECT_NEAR(beats.back() - beats[beats.size() - 2], 60.0 / c.newBPM, 1e-6) << c.what;
    }
}

TEST(AnalysisDriver, TooFewFramesOrNoPulseAreErrors) {
    auto silent = pulseFeatures(191 * kFrameSeconds, 1e9);
    for (auto& e : silent.featureEnvelopes) e.assign(191, 0.0);
    silent.consensusEnvelope.assign(191, 0.0);
    expectAnalysisError([&] { A::analyzeFeatures(silent); }, 2001, "The audio is too short for a musical tempo analysis.");
    for (auto& e : silent.featureEnvelopes) e.assign(400, 0.0);
    silent.consensusEnvelope.assign(400, 0.0);
    expectAnalysisError([&] { A::analyzeFeatures(silent); }, 2002,
                        "No sufficiently stable musical pulse was found.");
}

// --- whole analyses of decoded click tracks ---

class AnalysisOnAudio : public ::testing::Test {
protected:
    // Clicks over a quiet noise bed, so every band has something to whiten.
    std::filesystem::path song(const std::string& name, audio::testkit::Signal signal) {
        const audio::testkit::Signal bed = audio::testkit::noise(signal.sampleRate, signal.channels, signal.frames(), 0.05);
        for (std::size_t i = 0; i < signal.interleaved.size(); ++i) signal.interleaved[i] += bed.interleaved[i];
        const auto file = folder_ / (name + ".wav");
        audio::testkit::writeWav(file, signal);
        return file;
    }

    audio::testkit::TempFolder folder_{"analysis-driver"};
};

TEST_F(AnalysisOnAudio, SteadyClickTrackIsOneConfidentTempoWithItsBeats) {
    const auto file = song("steady", audio::testkit::clicks(44100, 2, 40, 124, 0.8, 0.3));
    const auto m = A::analyze(file);
    EXPECT_NEAR(m.bpm, 124, 0.1);
    EXPECT_EQ(std::round(m.bpm * 20), m.bpm * 20);
    EXPECT_FALSE(m.ambiguous);
    EXPECT_GT(m.confidence, 0.68);
    EXPECT_NEAR(m.durationSeconds, 40, 1e-9);
    EXPECT_EQ(m.sections.size(), 1u);
    EXPECT_FALSE(m.candidates.empty());
    ASSERT_GT(m.beatPositionsSeconds.size(), 70u);
    EXPECT_NEAR(std::remainder(m.beatPositionsSeconds[0] - 0.3, 60.0 / 124), 0, 0.03);
    EXPECT_LT(m.medianGridErrorSeconds, 0.03);
    EXPECT_FALSE(m.reason.empty());

    // Nothing is kept between analyses: a second run gives the same measurement.
    const auto again = A::analyze(file);
    EXPECT_EQ(again.bpm, m.bpm);
    EXPECT_EQ(again.confidence, m.confidence);
    EXPECT_EQ(again.beatPositionsSeconds, m.beatPositionsSeconds);
    EXPECT_EQ(again.reason, m.reason);
}

// Share of the true beats met by a measured beat within 70 ms (each measured beat once).
double beatsMet(const std::vector<double>& measured, const std::vector<double>& truth) {
    std::size_t met = 0;
    std::size_t next = 0;
    for (const double beat : truth) {
        while (next < measured.size() && measured[next] < beat - 0.07) ++next;
        if (next < measured.size() && measured[next] <= beat + 0.07) {
            ++met;
            ++next;
        }
    }
    return truth.empty() ? 0.0 : double(met) / double(truth.size());
}

// The song's tempo read within 1 % and nearly all its beats (truth) met.
void expectTempoAndBeats(const std::string& name, const ORVMusicTempoMeasurement& m, double bpm,
                         const std::vector<double>& truth) {
    EXPECT_NEAR(m.bpm, bpm, bpm * 0.01) << name;
    EXPECT_GT(beatsMet(m.beatPositionsSeconds, truth), 0.95) << name;
}

TEST_F(AnalysisOnAudio, SteadyClicksReadTheirOwnTempoToAHundredthOfABeat) {
    // A lone section that the tracker heard an octave off, or a family blended with its
    // neighbours' readings, used to move these off by an octave or by most of a BPM.
    for (const double bpm : {90.0, 124.0, 128.0}) {
        const auto m = A::analyze(song("click" + std::to_string(int(bpm)), audio::testkit::clicks(44100, 1, 40, bpm, 0.8, 0.3)));
        EXPECT_NEAR(m.bpm, bpm, 0.05) << bpm;
        ASSERT_FALSE(m.candidates.empty());
        EXPECT_EQ(m.candidates.front().bpm, m.bpm) << bpm;
        EXPECT_GT(beatsMet(m.beatPositionsSeconds, audio::testkit::steadyBeats(bpm, 40, 0.3)), 0.95) << bpm;
    }
}

TEST_F(AnalysisOnAudio, DrumGroovesReadTheTappedBeatOnTheBeat) {
    struct Groove {
        const char* name;
        double bpm;
        audio::testkit::DrumPattern pattern;
    };
    const Groove grooves[] = {
        // Kick on 1 and 3, snare on 2 and 4, eighth hats: not the eighths, not the half notes.
        {"rock", 120, {"x.......x.......", "....x.......x...", "x.x.x.x.x.x.x.x.", ""}},
        // Four on the floor with loud open hats on every off-beat: the beats are the kicks.
        {"house", 124, {"x...x...x...x...", "....x.......x...", "", "..x...x...x...x."}},
        // Punk: fast, and it stays fast.
        {"punk", 190, {"x...x...x...x...", "....x.......x...", "x...x...x...x...", ""}},
        // A slow ballad with eighth hats is not read at its eighths.
        {"ballad", 68, {"x.......x.......", "....x.......x...", "x.x.x.x.x.x.x.x.", ""}},
    };
    for (const Groove& groove : grooves) {
        const auto truth = audio::testkit::steadyBeats(groove.bpm, 40, 0.5);
        const auto m = A::analyze(song(groove.name, audio::testkit::drums(44100, 40, truth, groove.pattern)));
        EXPECT_NEAR(m.bpm, groove.bpm, groove.bpm * 0.01) << groove.name;
        EXPECT_GT(beatsMet(m.beatPositionsSeconds, truth), 0.9) << groove.name;
    }
}

TEST_F(AnalysisOnAudio, AnEighthNotePickupDoesNotMoveTheBeatsOntoIt) {
    // A snare and kick on the "and" before Bar 1, then a rock groove: the music opens on a
    // hit halfway between two beats, and the beats stay where the groove puts them.
    const audio::testkit::DrumPattern rock{"x.......x.......", "....x.......x...", "x.x.x.x.x.x.x.x.", ""};
    const audio::testkit::DrumPattern hit{"x", "x", "", "", 1};
    for (const double bpm : {100.0, 120.0, 140.0}) {
        const double beat = 60.0 / bpm;
        const auto truth = audio::testkit::steadyBeats(bpm, 30, beat / 2);
        auto signal = audio::testkit::drums(44100, 30, truth, rock);
        const auto pickup = audio::testkit::drums(44100, 30, {0.0, 30.0}, hit);
        for (std::size_t i = 0; i < signal.interleaved.size() && i < pickup.interleaved.size(); ++i) {
            signal.interleaved[i] += pickup.interleaved[i];
        }
        const auto name = "pickup" + std::to_string(int(bpm));
        const auto m = A::analyze(song(name, signal));
        EXPECT_NEAR(m.bpm, bpm, bpm * 0.01) << name;
        EXPECT_GT(beatsMet(m.beatPositionsSeconds, truth), 0.95) << name;
    }
}

TEST_F(AnalysisOnAudio, OffBeatStabsLouderThanTheBeatDoNotMoveTheBeatsOffTheBeat) {
    // A low thump on every beat from the first sample on, and on every off-beat the same
    // thump under a snare and hats (the stabs of a skank or the pah of an oom-pah, whose
    // rendering sounds as low as the bass): the bands above the low one outvote it for the
    // off-beats, but the music opens on a beat.
    const audio::testkit::DrumPattern oomPah{"x.x.", "..x.", "..x.", "..x."};
    for (const double bpm : {113.0, 122.0, 160.0}) {
        const auto truth = audio::testkit::steadyBeats(bpm, 30);
        const auto name = "oompah" + std::to_string(int(bpm));
        expectTempoAndBeats(name, A::analyze(song(name, audio::testkit::drums(44100, 30, truth, oomPah))), bpm, truth);
    }
}

TEST_F(AnalysisOnAudio, OffBeatsLouderThanASoftKickLeaveTheBeatsOnTheKick) {
    // The kick on the beats, softer than what sounds on every off-beat: the whole mix's
    // strongest onsets, and the bands above the low one, fall between the beats, but the kick
    // keeps the beat. The noise bed opens the file, so the opening gives no hint.
    struct Groove {
        const char* name;
        audio::testkit::DrumPattern kick;    // played at kickGain
        audio::testkit::DrumPattern others;  // played at othersGain
        float kickGain;
        float othersGain;
    };
    const Groove grooves[] = {
        // Four on the floor at a quarter of its level, open hats on every off-beat at twice theirs.
        {"softfloor", {"x...", "....x.......x...", "", ""}, {"", "", "", "..x."}, 0.25f, 2.0f},
        // Half a kick under a snare on every off-beat (an oom-pah without the low pah).
        {"offsnare", {"x...", "", "", ""}, {"", "..x.", "", ""}, 0.5f, 1.0f},
    };
    for (const Groove& groove : grooves) {
        for (const double bpm : {118.0, 128.0}) {
            const auto truth = audio::testkit::steadyBeats(bpm, 30, 0.25);
            auto signal = audio::testkit::drums(44100, 30, truth, groove.kick);
            const auto others = audio::testkit::drums(44100, 30, truth, groove.others);
            for (std::size_t i = 0; i < signal.interleaved.size(); ++i) {
                signal.interleaved[i] = groove.kickGain * signal.interleaved[i] + groove.othersGain * others.interleaved[i];
            }
            const auto name = groove.name + std::to_string(int(bpm));
            expectTempoAndBeats(name, A::analyze(song(name, signal)), bpm, truth);
        }
    }
}

TEST_F(AnalysisOnAudio, ASwungShuffleLocksOnTheBeatNotOnItsSwungEighths) {
    // A shuffle whose swung eighths (two thirds into each beat) sound louder than its beats:
    // open hats and the bass's pickup note on them, a closed hat and the snare's backbeat on
    // the beats. The grid's best phase is on the eighths; the onsets between its beats then
    // fall early, a third of a beat on, where the beats are.
    const audio::testkit::DrumPattern shuffle{"..x", "...x..", "x..", "..x", 3};
    for (const double bpm : {112.0, 135.0, 160.0}) {
        const auto truth = audio::testkit::steadyBeats(bpm, 30);
        const auto name = "shuffle" + std::to_string(int(bpm));
        expectTempoAndBeats(name, A::analyze(song(name, audio::testkit::drums(44100, 30, truth, shuffle))), bpm, truth);
    }
}

// Bar 1 is the first detected beat: where the editor starts counting bars.
TEST_F(AnalysisOnAudio, AGrooveWhoseFirstHitIsItsDownbeatGetsBarOneThere) {
    // Kick on 1 and 3 from the very first sample, snare on 2 and 4: the phase read from the
    // later beats put the first beat a frame before the file began, so Bar 1 went to the snare.
    const audio::testkit::DrumPattern rock{"x.......x.......", "....x.......x...", "x.x.x.x.x.x.x.x.", ""};
    for (const auto& [bpm, rate] : {std::pair{120.0, 44100.0}, std::pair{100.0, 48000.0}, std::pair{140.0, 22050.0},
                                    std::pair{96.0, 8000.0}}) {
        const auto truth = audio::testkit::steadyBeats(bpm, 20);
        const auto name = "downbeat" + std::to_string(int(bpm)) + "-" + std::to_string(int(rate));
        const auto m = A::analyze(song(name, audio::testkit::drums(rate, 20, truth, rock)));
        EXPECT_NEAR(m.bpm, bpm, bpm * 0.01) << name;
        ASSERT_FALSE(m.beatPositionsSeconds.empty()) << name;
        EXPECT_NEAR(m.beatPositionsSeconds.front(), 0.0, 0.02) << name;
        EXPECT_GT(beatsMet(m.beatPositionsSeconds, truth), 0.95) << name;
    }
}

double speedingUpFrom100(double t) { return 100.0 + 2.0 * t / 30.0; }
double speedingUpFrom120(double t) { return 120.0 + 2.5 * t / 30.0; }

TEST_F(AnalysisOnAudio, AGrooveThatDriftsHasItsFirstBeatOnItsOpeningHit) {
    // A groove that speeds up by about 2 % over 30 s is read as one steady tempo, whose grid,
    // fitted over the whole song, lies 40 to 50 ms behind the first hit: Bar 1 is that hit.
    const audio::testkit::DrumPattern rock{"x.......x.......", "....x.......x...", "x.x.x.x.x.x.x.x.", ""};
    for (const auto bpmAt : {&speedingUpFrom100, &speedingUpFrom120}) {
        const auto truth = audio::testkit::beatTimes(30, 0.0, bpmAt);
        const auto name = "drift" + std::to_string(int(bpmAt(0)));
        const auto m = A::analyze(song(name, audio::testkit::drums(44100, 30, truth, rock)));
        ASSERT_GT(m.beatPositionsSeconds.size(), 2u) << name;
        EXPECT_NEAR(m.beatPositionsSeconds.front(), 0.0, 0.01) << name;
        EXPECT_GT(beatsMet(m.beatPositionsSeconds, truth), 0.8) << name;
    }
}

TEST_F(AnalysisOnAudio, MusicOpeningFullOnABeatOpensBarOneThereWhereverTheKickAccents) {
    // Snare and hats on every beat, the kick on the first beat of the music and from then on
    // only on 2 and 4 (a bass that anticipates the bar): the low band accents the second beat
    // of every bar, but the music opens with a hit as full as its beats, which is no pickup.
    const audio::testkit::DrumPattern anticipated{"....x.......x...", "x...x...x...x...", "x.x.x.x.x.x.x.x.", ""};
    const audio::testkit::DrumPattern kick{"x", "", "", "", 1};
    for (const double bpm : {101.0, 119.0}) {
        const auto truth = audio::testkit::steadyBeats(bpm, 20);
        const auto name = "anticipated" + std::to_string(int(bpm));
        auto signal = audio::testkit::drums(44100, 20, truth, anticipated);
        const auto opening = audio::testkit::drums(44100, 20, {0.0}, kick);
        for (std::size_t i = 0; i < signal.interleaved.size(); ++i) signal.interleaved[i] += opening.interleaved[i];
        const auto m = A::analyze(song(name, signal));
        EXPECT_NEAR(m.bpm, bpm, bpm * 0.01) << name;
        ASSERT_FALSE(m.beatPositionsSeconds.empty()) << name;
        EXPECT_NEAR(m.beatPositionsSeconds.front(), 0.0, 0.03) << name;
    }
}

TEST_F(AnalysisOnAudio, APickupBeforeTheFirstDownbeatStaysBeforeBarOne) {
    // A lone snare on the last beat of a bar, then the groove from Bar 1 on: the kick's
    // accents put Bar 1 on the beat after the pickup, not on the pickup itself, whether the
    // pickup opens the file or comes a moment after it.
    const audio::testkit::DrumPattern rock{"x.......x.......", "....x.......x...", "x.x.x.x.x.x.x.x.", ""};
    const audio::testkit::DrumPattern snare{"", "x", "", "", 1};
    for (const auto& [bpm, pickupSeconds] : {std::pair{140.0, 0.0}, std::pair{96.0, 0.0}, std::pair{112.0, 0.3}}) {
        const double barOne = pickupSeconds + 60.0 / bpm;
        const auto truth = audio::testkit::steadyBeats(bpm, 20, barOne);
        auto signal = audio::testkit::drums(44100, 20, truth, rock);
        const auto pickup = audio::testkit::drums(44100, 20, {pickupSeconds}, snare);
        for (std::size_t i = 0; i < signal.interleaved.size(); ++i) signal.interleaved[i] += pickup.interleaved[i];
        const auto name = "pickup" + std::to_string(int(bpm));
        const auto m = A::analyze(song(name, signal));
        EXPECT_NEAR(m.bpm, bpm, bpm * 0.01) << name;
        ASSERT_FALSE(m.beatPositionsSeconds.empty()) << name;
        EXPECT_NEAR(m.beatPositionsSeconds.front(), barOne, 0.03) << name;
    }
}

TEST_F(AnalysisOnAudio, ARefinementIsToldFromTheTempoItStartedAt) {
    // 120 BPM clicks at 8 kHz, alone and with quiet ticks between them: with the ticks the
    // tracker follows the eighths (240 BPM) and the refinement starts from the consensus's 120;
    // the text named the eighths' tempo, which the refinement never read.
    for (const double tickLevel : {0.0, 0.2}) {
        auto signal = audio::testkit::clicks(8000, 1, 20, 120, 0.8);
        const auto ticks = audio::testkit::clicks(8000, 1, 20, 120, tickLevel, 0.25);
        for (std::size_t i = 0; i < signal.interleaved.size(); ++i) signal.interleaved[i] += ticks.interleaved[i];
        // Without a noise bed: in digital silence between the clicks the ticks stand out.
        const auto file = folder_ / ("ticks" + std::to_string(int(tickLevel * 10)) + ".wav");
        audio::testkit::writeWav(file, signal);
        const auto m = A::analyze(file);
        EXPECT_NEAR(m.bpm, 120, 0.1) << tickLevel;
        const std::string lead = "Whole-song precision fit refined the constant Beatloom estimate from ";
        ASSERT_EQ(m.reason.rfind(lead, 0), 0u) << m.reason;
        const double from = std::stod(m.reason.substr(lead.size()));
        // The refinement searches within 0.8 BPM of where it starts.
        EXPECT_NEAR(from, m.bpm, 0.8) << m.reason;
    }
}

TEST_F(AnalysisOnAudio, OneMetricalLevelHoldsForTheWholeMap) {
    const auto bpmAt = [](double t) { return t < 30 ? 90.0 : t < 60 ? 120.0 : 90.0; };
    const auto truth = audio::testkit::beatTimes(90, 0.5, +bpmAt);
    const auto m = A::analyze(
        song("map", audio::testkit::drums(44100, 90, truth, {"x.......x.x.....", "....x.......x...", "x.x.x.x.x.x.x.x.", ""})));
    ASSERT_TRUE(m.tempoMapReliable);
    ASSERT_EQ(m.sections.size(), 3u);
    EXPECT_NEAR(m.sections[0].bpm, 90, 0.5);
    EXPECT_NEAR(m.sections[1].bpm, 120, 0.5);
    EXPECT_NEAR(m.sections[2].bpm, 90, 0.5);
}

// 4/4 turning into 6/8 over the same eighths: the beat changes from two eighths to three,
// so the map steps from the quarter's tempo to the dotted quarter's, 2/3 of it.
TEST_F(AnalysisOnAudio, MeterChangeOverTheSameEighthsChangesTheBeat) {
    // One pattern letter per eighth; the kick marks the beats, the hats every eighth.
    const audio::testkit::DrumPattern fourFour{"x.x.x.x.", "..x...x.", "xxxxxxxx", "", 1};
    const audio::testkit::DrumPattern sixEight{"x..x..", "...x..", "xxxxxx", "", 1};
    const struct {
        const char* what;
        double eighthsBPM;
        std::vector<std::pair<const audio::testkit::DrumPattern*, int>> parts;  // pattern, bars
    } cases[] = {
        {"4/4 then 6/8 then 4/4", 240, {{&fourFour, 12}, {&sixEight, 12}, {&fourFour, 10}}},
        {"6/8 then 4/4", 198, {{&sixEight, 12}, {&fourFour, 12}}},
    };
    for (const auto& c : cases) {
        audio::testkit::Signal signal;
        std::vector<double> changes;
        double at = 0;
        for (const auto& [pattern, bars] : c.parts) {
            const double seconds = bars * double(pattern->kick.size()) * 60.0 / c.eighthsBPM;
            const auto part = audio::testkit::drums(44100, seconds, audio::testkit::steadyBeats(c.eighthsBPM, seconds), *pattern);
            signal = signal.interleaved.empty() ? part : audio::testkit::concatenated(signal, part);
            if (at > 0) changes.push_back(at);
            at += seconds;
        }
        const auto m = A::analyze(song("meter", signal));
        ASSERT_TRUE(m.tempoMapReliable) << c.what;
        ASSERT_EQ(m.sections.size(), c.parts.size()) << c.what;
        for (std::size_t i = 0; i < c.parts.size(); ++i) {
            const double beat = c.parts[i].first == &fourFour ? 2 : 3;
            EXPECT_NEAR(m.sections[i].bpm, c.eighthsBPM / beat, 0.5) << c.what << " " << i;
            if (i > 0) {
                EXPECT_NEAR(m.sections[i].startSeconds, changes[i - 1], 0.5) << c.what << " " << i;
            }
        }
    }
}

TEST_F(AnalysisOnAudio, TempoChangeIsAReliableMapOfSections) {
    const auto file = song("change", audio::testkit::concatenated(audio::testkit::clicks(44100, 1, 30, 100, 0.8, 0.3),
                                                           audio::testkit::clicks(44100, 1, 30, 132, 0.8, 0.3)));
    const auto m = A::analyze(file);
    ASSERT_GE(m.sections.size(), 2u);
    EXPECT_TRUE(m.tempoMapReliable);
    EXPECT_NEAR(m.sections.front().bpm, 100, 1.0);
    EXPECT_NEAR(m.sections.back().bpm, 132, 3.0);
    EXPECT_EQ(m.reason.rfind("Canonical tempo-family tracker: ", 0), 0u) << m.reason;
    // The beats follow the sections: half-second spacing gives way to the faster one.
    ASSERT_GT(m.beatPositionsSeconds.size(), 100u);
    EXPECT_NEAR(m.beatPositionsSeconds[11] - m.beatPositionsSeconds[10], 0.6, 0.01);
    const auto n = m.beatPositionsSeconds.size();
    EXPECT_NEAR(m.beatPositionsSeconds[n - 1] - m.beatPositionsSeconds[n - 2], 60.0 / 132, 0.02);
}

TEST_F(AnalysisOnAudio, RampGivesRisingSections) {
    std::vector<double> beats;
    for (double t = 0.3; t < 60;) {
        beats.push_back(t);
        t += 60.0 / (96 + 48 * t / 60);
    }
    const auto m = A::analyze(song("ramp", audio::testkit::clicksAt(44100, 1, 60, beats)));
    ASSERT_GE(m.sections.size(), 2u);
    for (std::size_t i = 1; i < m.sections.size(); ++i) EXPECT_GT(m.sections[i].bpm, m.sections[i - 1].bpm) << i;
    EXPECT_TRUE(m.sections.front().linearToNext);
    EXPECT_GE(m.bpm, 90);
    EXPECT_LE(m.bpm, 150);
}

TEST_F(AnalysisOnAudio, BeatsStayOnTheMusicThroughARamp) {
    // Steady, a ramp over 25 s, steady again: the map's beats follow the clicks all the way.
    struct Case {
        const char* what;
        double from, to;
    };
    for (const Case& c : {Case{"accelerando", 96, 132}, Case{"ritardando", 132, 96}}) {
        std::vector<double> beats;
        for (double t = 0.3; t < 70;) {
            beats.push_back(t);
            const double bpm = t < 20 ? c.from : t < 45 ? c.from + (c.to - c.from) * (t - 20) / 25 : c.to;
            t += 60.0 / bpm;
        }
        const auto m = A::analyze(song(c.what, audio::testkit::clicksAt(44100, 1, 70, beats)));
        EXPECT_GT(beatsMet(m.beatPositionsSeconds, beats), 0.95) << c.what;
    }
}

TEST_F(AnalysisOnAudio, ASongThatSlowsToItsEndIsOneRampOnItsBeats) {
    // 80 BPM for 40 s, then slowing in a straight line to 56 over 12 s, held to the end.
    std::vector<double> beats;
    for (double t = 0.3; t < 60;) {
        beats.push_back(t);
        t += 60.0 / (t < 40 ? 80 : t < 52 ? 80 - 24 * (t - 40) / 12 : 56);
    }
    const auto m = A::analyze(song("slowing", audio::testkit::clicksAt(44100, 1, 60, beats)));
    EXPECT_GT(beatsMet(m.beatPositionsSeconds, beats), 0.95);
    const auto ramp = std::find_if(m.sections.begin(), m.sections.end(), [](const auto& s) { return s.linearToNext; });
    ASSERT_TRUE(ramp != m.sections.end()) << "the slowing is no ramp";
    EXPECT_EQ(std::count_if(m.sections.begin(), m.sections.end(), [](const auto& s) { return s.linearToNext; }), 1);
    EXPECT_NEAR(ramp->startSeconds, 40, 2);
    EXPECT_NEAR(ramp->bpm, 80, 2);
    EXPECT_NEAR(m.sections.back().bpm, 56, 2);
}

// Sound without a pulse is refused as silence is, however steady its level; a pulse played
// freely, or one whose tempo moves, is measured.
TEST_F(AnalysisOnAudio, SoundWithoutAPulseIsRefused) {
    // Onsets at irregular gaps of 50 to 650 ms, and free playing that breathes +-15 % around
    // 66 BPM over phrases of 20 s.
    std::vector<double> patter, breathing;
    std::uint32_t state = 12345;
    for (double t = 0.2; t < 29.9;) {
        patter.push_back(t);
        state = state * 1664525u + 1013904223u;
        t += 0.05 + 0.6 * double(state >> 8) / 16777216.0;
    }
    for (double t = 0.3; t < 30;) {
        breathing.push_back(t);
        t += 60.0 / (66 * (1 + 0.15 * std::sin(2 * std::numbers::pi * t / 20)));
    }
    const struct {
        const char* what;
        audio::testkit::Signal signal;
        bool pulse;
    } cases[] = {
        {"white-noise", audio::testkit::noise(44100, 2, 44100 * 30, 0.5, 3), false},
        {"random-patter", audio::testkit::clicksAt(44100, 1, 30, patter), false},
        {"free-playing", audio::testkit::clicksAt(44100, 1, 30, breathing, 0.3), true},
    };
    for (const auto& c : cases) {
        const auto file = song(c.what, c.signal);
        if (c.pulse) {
            EXPECT_GT(A::analyze(file).bpm, 0) << c.what;
        } else {
            expectAnalysisError([&] { A::analyze(file); }, 2002,
                                "No sufficiently stable musical pulse was found.");
        }
    }
}

TEST_F(AnalysisOnAudio, SilenceAndTooShortAudioAreRefused) {
    const auto silent = folder_ / "silent.wav";
    audio::testkit::writeWav(silent, audio::testkit::silence(44100, 2, 44100 * 20));
    expectAnalysisError([&] { A::analyze(silent); }, 2002,
                        "No sufficiently stable musical pulse was found.");
    // 2 s gives 173 frames; 3 s (259 frames) passes the length check.
    expectAnalysisError([&] { A::analyze(song("two", audio::testkit::clicks(44100, 1, 2, 120))); }, 2001,
                        "The audio is too short for a musical tempo analysis.");
    try {
        A::analyze(song("three", audio::testkit::clicks(44100, 1, 3, 120)));
    } catch (const ErrorException& e) {
        EXPECT_NE(e.error().code, 2001);
    }
    // The decoder's own errors pass through.
    expectAnalysisError([&] { A::analyze(silent, ORVAnalysisRange{5, 5}); }, 2006,
                        "The selected analysis range is too short.");
}

TEST_F(AnalysisOnAudio, SelectedRangeIsMeasuredFromItsOwnStart) {
    const auto file = song("range", audio::testkit::concatenated(audio::testkit::clicks(44100, 1, 30, 100, 0.8, 0.3),
                                                          audio::testkit::clicks(44100, 1, 30, 132, 0.8, 0.3)));
    const auto m = A::analyze(file, ORVAnalysisRange{34, 58});
    EXPECT_NEAR(m.durationSeconds, 24, 1e-6);
    EXPECT_NEAR(m.bpm, 132, 1.0);
    ASSERT_FALSE(m.beatPositionsSeconds.empty());
    EXPECT_LT(m.beatPositionsSeconds.front(), 60.0 / 132 + 0.02);
    EXPECT_LE(m.beatPositionsSeconds.back(), 24.001);
}

// Every field of a measurement but the candidates' fresh ids, doubles to the last bit.
std::string fingerprint(const ORVMusicTempoMeasurement& m) {
    std::string text;
    const auto put = [&text](double value) {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, " %a", value);
        text += buffer;
    };
    put(m.bpm);
    put(m.confidence);
    put(m.durationSeconds);
    put(m.firstMeaningfulAudioSeconds.value_or(-1.0));
    put(m.onsetDensity);
    put(m.autocorrelation);
    put(m.gridFit);
    put(m.featureAgreement);
    put(m.trackingStability);
    put(m.medianGridErrorSeconds);
    put(m.percentile95GridErrorSeconds);
    put(m.endDriftSeconds);
    text += std::to_string(m.ambiguous) + std::to_string(m.tempoMapReliable) +
            std::to_string(m.firstMeaningfulAudioSeconds.has_value()) + m.reason;
    for (const auto& c : m.candidates) {
        text += "\ncandidate";
        for (const double v : {c.bpm, c.score, c.autocorrelation, c.gridFit, c.agreement}) put(v);
    }
    for (const auto& s : m.sections) {
        text += "\nsection " + std::to_string(s.observationCount);
        for (const double v : {s.startSeconds, s.endSeconds, s.bpm, s.confidence}) put(v);
    }
    for (const auto& o : m.localObservations) {
        text += "\nobservation " + std::to_string(o.metricalAmbiguous);
        for (const double v : {o.centerSeconds, o.bpm, o.confidence, o.observedBPM, o.metricalFactor}) put(v);
    }
    text += "\nbeats";
    for (const double beat : m.beatPositionsSeconds) put(beat);
    return text;
}

TEST_F(AnalysisOnAudio, ThreadCountNeverChangesTheResultAndProgressRisesToTheEnd) {
    // A drum-and-bass groove that steps from 100 to 124 BPM, so there are windows, sections
    // and observations to compare.
    std::vector<double> beats = audio::testkit::steadyBeats(100, 20, 0.25);
    for (double t = beats.back() + 0.6; t < 45; t += 60.0 / 124) beats.push_back(t);
    const auto file = folder_ / "groove.wav";
    audio::testkit::writeWav(file, audio::testkit::groove(44100, 2, 45, beats));

    const auto serial = A::analyze(file, std::nullopt, ORVAnalysisControl{1, {}});
    ASSERT_GE(serial.localObservations.size(), 20u);
    std::vector<double> fractions;
    const auto parallel = A::analyze(file, std::nullopt,
                                     ORVAnalysisControl{5, [&fractions](double f) { fractions.push_back(f); }});
    EXPECT_EQ(fingerprint(parallel), fingerprint(serial));

    // Told step by step from the decoding on, always rising, ending at 1.
    ASSERT_GE(fractions.size(), 10u);
    EXPECT_LT(fractions.front(), 0.1);
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end(), std::less_equal<>()));
    EXPECT_EQ(fractions.back(), 1.0);
}

}  // namespace
}  // namespace corvel::analysis
