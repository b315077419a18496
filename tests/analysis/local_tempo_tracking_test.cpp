#include "analysis/local_tempo_tracking.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/music_analyzer.hpp"
#include "audio/test_signals.hpp"
#include "core/tempo_points.hpp"

namespace corvel::analysis {
namespace {

using A = ORVAudioMusicAnalyzer;
using Candidate = A::InternalCandidate;
using Bucket = A::Bucket;
using State = ORVTempoFamilyState;
using Section = ORVDetectedTempoSection;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Candidate candidate(double bpm, double score, double agreement, double pulse, double accent) {
    Candidate c;
    c.bpm = bpm;
    c.score = score;
    c.agreement = agreement;
    c.pulseCompleteness = pulse;
    c.accentRecurrence = accent;
    return c;
}

State state(double bpm, double agreement = 0.5, bool ambiguous = false) {
    return State{0, bpm, bpm, 1, 0.6, agreement, ambiguous};
}

Section section(double start, double end, std::int64_t count, double confidence = 0.7) {
    return Section{start, end, 120, confidence, count};
}

// Every envelope the same: `frames` values of `floor` with `height` on every period-th frame.
ORVAudioFeatureSet pulseFeatures(std::size_t frames, double frameSeconds, std::size_t period, double height,
                                 double floor = 0) {
    std::vector<double> envelope(frames, floor);
    for (std::size_t i = 3; i < frames; i += period) envelope[i] = height;
    ORVAudioFeatureSet set;
    set.frameSeconds = frameSeconds;
    set.featureEnvelopes.fill(envelope);
    set.consensusEnvelope = envelope;
    set.durationSeconds = static_cast<double>(frames) * frameSeconds;
    return set;
}

void expectSameTracking(const ORVLocalTempoTracking& a, const ORVLocalTempoTracking& b) {
    ASSERT_EQ(a.observations.size(), b.observations.size());
    for (std::size_t i = 0; i < a.observations.size(); ++i) {
        EXPECT_EQ(a.observations[i].centerSeconds, b.observations[i].centerSeconds);
        EXPECT_EQ(a.observations[i].bpm, b.observations[i].bpm);
        EXPECT_EQ(a.observations[i].confidence, b.observations[i].confidence);
        EXPECT_EQ(a.observations[i].observedBPM, b.observations[i].observedBPM);
    }
    ASSERT_EQ(a.sections.size(), b.sections.size());
    for (std::size_t i = 0; i < a.sections.size(); ++i) {
        EXPECT_EQ(a.sections[i].startSeconds, b.sections[i].startSeconds);
        EXPECT_EQ(a.sections[i].bpm, b.sections[i].bpm);
    }
    EXPECT_EQ(a.isReliable, b.isReliable);
    EXPECT_EQ(a.stability, b.stability);
    EXPECT_EQ(a.agreement, b.agreement);
}

void expectEmpty(const ORVLocalTempoTracking& tracking) {
    EXPECT_TRUE(tracking.observations.empty());
    EXPECT_TRUE(tracking.sections.empty());
    EXPECT_FALSE(tracking.isReliable);
    EXPECT_EQ(tracking.stability, 0.0);
    EXPECT_EQ(tracking.agreement, 0.0);
}

// --- building blocks ---

TEST(LocalTracking, WindowLengthsFollowTheFrameRateAboveTheirFloors) {
    struct Case {
        double frameSeconds;
        ORVLocalTrackingWindows expected;
    };
    for (const Case& c : {Case{512.0 / 44100.0, {517, 1034, 2067, 129, 258}},
                          Case{0.04, {192, 300, 600, 48, 192}},  // 6 s would be 150 frames
                          Case{0.025, {240, 480, 960, 60, 192}},
                          Case{0.1, {192, 192, 240, 48, 192}}}) {
        const auto w = A::trackingWindows(c.frameSeconds, ORVTempoTrackingTuning::shared());
        EXPECT_EQ(w.shortLength, c.expected.shortLength) << c.frameSeconds;
        EXPECT_EQ(w.mediumLength, c.expected.mediumLength) << c.frameSeconds;
        EXPECT_EQ(w.longLength, c.expected.longLength) << c.frameSeconds;
        EXPECT_EQ(w.hop, c.expected.hop) << c.frameSeconds;
        EXPECT_EQ(w.minimumShortLength, c.expected.minimumShortLength) << c.frameSeconds;
    }
}

TEST(LocalTracking, MediumAndLongWindowsMoveInwardsAtTheStartAndAreCutAtTheEnd) {
    using Spans = ORVLocalTrackingWindowSpans;
    using Span = ORVFrameSpan;
    const ORVLocalTrackingWindows lengths{240, 480, 960, 60, 192};  // 25-ms frames

    const auto song = A::windowSpans(1000, lengths);
    ASSERT_EQ(song.size(), 14u);  // starts 0, 60, ..., 780
    EXPECT_EQ(song[0], (Spans{{0, 240}, Span{0, 480}, Span{0, 960}}));
    EXPECT_EQ(song[5], (Spans{{300, 540}, Span{180, 660}, Span{0, 960}}));
    EXPECT_EQ(song[9], (Spans{{540, 780}, Span{420, 900}, Span{180, 1000}}));
    EXPECT_EQ(song[13], (Spans{{780, 1000}, Span{650, 1000}, Span{410, 1000}}));

    // Songs shorter than the medium or the short length go without those windows.
    EXPECT_EQ(A::windowSpans(400, lengths),
              (std::vector<Spans>{{{0, 240}, Span{0, 400}, std::nullopt}, {{60, 300}, Span{0, 400}, std::nullopt},
                                  {{120, 360}, Span{0, 400}, std::nullopt}, {{180, 400}, Span{50, 400}, std::nullopt}}));
    EXPECT_EQ(A::windowSpans(200, lengths), (std::vector<Spans>{{{0, 200}, std::nullopt, std::nullopt}}));
    EXPECT_TRUE(A::windowSpans(191, lengths).empty());
}

TEST(LocalTracking, CandidatesOfTheThreeScalesPoolIntoOneEvidenceEntry) {
    // 121.5 lies 1.2 % above 120, and 119 1.4 % below the mean of the two.
    const std::vector<Candidate> shortList{candidate(120, 0.5, 0.6, 0.5, 0.2)};
    const std::vector<Candidate> mediumList{candidate(121.5, 0.9, 0.9, 0.9, 0.6)};
    const std::vector<Candidate> longList{candidate(119, 0.95, 0.4, 0.3, 0.5)};
    const auto evidence = A::mergeWindowEvidence(shortList, mediumList, longList, 0.88, 0.68);
    ASSERT_EQ(evidence.size(), 1u);
    const double bpm = (120 * 1.0 + 121.5 * 0.88 + 119 * 0.68) / (1.0 + 0.88 + 0.68);
    EXPECT_NEAR(evidence[0].bpm, bpm, 1e-12);
    EXPECT_NEAR(evidence[0].score, 0.9 * 0.88, 1e-15);  // the best weighted score
    EXPECT_NEAR(evidence[0].agreement, 0.9 * 0.88, 1e-15);
    EXPECT_NEAR(evidence[0].pulseCompleteness, 0.9 * 0.88, 1e-15);
    EXPECT_NEAR(evidence[0].accentRecurrence, (0.2 * 1.0 + 0.6 * 0.88 + 0.5 * 0.68) / 2.56, 1e-12);
}

TEST(LocalTracking, BucketsOpenWeightedAndComeOutBestFirstClampedAndLimited) {
    std::vector<Bucket> buckets;
    A::accumulateBucket(candidate(100, 0.9, 1.4, 0.5, 1.3), buckets, 0.5);
    ASSERT_EQ(buckets.size(), 1u);
    // Weighted and clamped, except the accent recurrence, which is clamped only.
    EXPECT_EQ(buckets[0].score, 0.45);
    EXPECT_EQ(buckets[0].agreement, 0.7);
    EXPECT_EQ(buckets[0].pulseCompleteness, 0.25);
    EXPECT_EQ(buckets[0].accentRecurrence, 1.0);
    EXPECT_EQ(buckets[0].weight, 0.5);
    // 101.9 is 1.86 % away from 100 and opens its own bucket; 101.8 (1.77 %) goes to the
    // first bucket that takes it, though the newer one is closer.
    A::accumulateBucket(candidate(150, 0.2, 0, 0, 0), buckets, 1);
    A::accumulateBucket(candidate(101.9, 0.1, 0, 0, 0), buckets, 1);
    A::accumulateBucket(candidate(101.8, 0.1, 0, 0, 0), buckets, 1);
    ASSERT_EQ(buckets.size(), 3u);
    EXPECT_EQ(buckets[0].weight, 1.5);
    EXPECT_DOUBLE_EQ(buckets[0].bpm, (101.8 + 100 * 0.5) / 1.5);
    EXPECT_EQ(buckets[2].bpm, 101.9);

    // 14 distinct tempi: 12 entries, best first, equal scores in input order.
    std::vector<Candidate> many;
    for (int i = 0; i < 14; ++i) many.push_back(candidate(60 + 10 * i, i == 5 ? 0.9 : (i % 2 ? 0.3 : 1.5), 0, 0, -1));
    const auto evidence = A::mergeWindowEvidence(many, {}, {}, 0.88, 0.68);
    ASSERT_EQ(evidence.size(), 12u);
    const std::vector<double> order{60, 80, 100, 120, 140, 160, 180, 110, 70, 90, 130, 150};
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(evidence[i].bpm, order[i]) << i;
        EXPECT_LE(evidence[i].score, 1.0);
        EXPECT_EQ(evidence[i].accentRecurrence, 0.0);
    }
    EXPECT_TRUE(A::mergeWindowEvidence({}, {}, {}, 0.88, 0.68).empty());
}

TEST(LocalTracking, StabilityCreditsEachStepByHowTheTempoMoves) {
    struct Case {
        std::vector<double> tempi;
        double expected;
    };
    for (const Case& c : {Case{{}, 0}, Case{{120}, 0.5}, Case{{120, 121}, 1.0}, Case{{120, 135}, 0.72},
                          Case{{120, 240}, 0.2}, Case{{120, 180}, 0.2}, Case{{120, 200}, 0.36},
                          Case{{120, kNaN}, 0.36}, Case{{120, 121, 242, 121}, (1.0 + 0.2 + 0.2) / 3}}) {
        std::vector<State> states;
        for (const double bpm : c.tempi) states.push_back(state(bpm));
        EXPECT_NEAR(A::trackingStability(states), c.expected, 1e-15) << c.tempi.size();
    }
}

TEST(LocalTracking, ReliabilityNeedsSolidSectionsASteadyPathAndAgreement) {
    const std::vector<State> steady(10, state(120, 0.5));
    struct Case {
        const char* label;
        std::vector<Section> sections;
        std::vector<State> states;
        double stability;
        bool reliable;
    };
    std::vector<State> halfAmbiguous = steady;
    for (std::size_t i = 0; i < 5; ++i) halfAmbiguous[i].ambiguous = true;
    std::vector<State> sixAmbiguous = halfAmbiguous;
    sixAmbiguous[5].ambiguous = true;
    const std::vector<State> lowAgreement(10, state(120, 0.34));
    const std::vector<State> fairAgreement(10, state(120, 0.33));
    for (const Case& c : {
             Case{"two solid sections", {section(0, 20, 8), section(20, 40, 8)}, steady, 0.6, true},
             Case{"two solid, unsteady", {section(0, 20, 8), section(20, 40, 8)}, steady, 0.59, false},
             Case{"two solid, half the windows ambiguous", {section(0, 20, 8), section(20, 40, 8)}, halfAmbiguous,
                  0.9, false},
             Case{"two solid, little agreement", {section(0, 20, 8), section(20, 40, 8)}, lowAgreement, 0.9, false},
             Case{"two solid plus a short one", {section(0, 20, 8), section(20, 22, 3), section(22, 40, 8)}, steady,
                  0.9, false},
             Case{"two solid plus a weak one", {section(0, 20, 8), section(20, 30, 3, 0.39), section(30, 40, 8)},
                  steady, 0.9, false},
             Case{"one section of 4", {section(0, 20, 4)}, steady, 0.64, true},
             Case{"one section of 3", {section(0, 20, 3)}, steady, 0.9, false},
             Case{"one section, half ambiguous", {section(0, 20, 8)}, halfAmbiguous, 0.9, true},
             Case{"one section, 60 % ambiguous", {section(0, 20, 8)}, sixAmbiguous, 0.9, false},
             Case{"one section, unsteady", {section(0, 20, 8)}, steady, 0.63, false},
             Case{"one section, agreement 0.33", {section(0, 20, 8)}, fairAgreement, 0.9, true},
             Case{"one solid and one short", {section(0, 20, 8), section(20, 22, 3)}, steady, 0.9, false},
             Case{"no solid section", {section(0, 2.9, 8)}, steady, 0.9, false},
             Case{"no states", {section(0, 20, 8)}, {}, 0.9, false},
         }) {
        EXPECT_EQ(A::isReliableTracking(c.states, c.sections, c.stability), c.reliable) << c.label;
    }
}

// --- the tracker on envelopes ---

TEST(LocalTracking, TooLittleOrTooQuietAudioGivesTheEmptyResult) {
    // 191 frames at 25 ms: below the 192-frame minimum.
    expectEmpty(A::trackLocalTempo(pulseFeatures(191, 0.025, 20, 1.0), std::nullopt));
    // Below the activity level everywhere.
    expectEmpty(A::trackLocalTempo(pulseFeatures(2000, 0.025, 20, 0.21), std::nullopt));
    ORVAudioFeatureSet broken = pulseFeatures(2000, 0.025, 20, 1.0);
    for (const double frameSeconds : {0.0, -0.025, kNaN}) {
        broken.frameSeconds = frameSeconds;
        expectEmpty(A::trackLocalTempo(broken, std::nullopt));
    }
}

TEST(LocalTracking, AWindowNeedsSixActiveFrames) {
    // One 6-s window (240 frames at 25 ms) of 120 BPM pulses just below the activity level,
    // with the first five or six pulses raised above it.
    for (const int raised : {5, 6}) {
        ORVAudioFeatureSet set = pulseFeatures(240, 0.025, 20, 0.2);
        for (int i = 0; i < raised; ++i) {
            for (auto& envelope : set.featureEnvelopes) envelope[3 + 20 * i] = 0.3;
            set.consensusEnvelope[3 + 20 * i] = 0.3;
        }
        const auto tracking = A::trackLocalTempo(set, std::nullopt);
        if (raised == 5) {
            expectEmpty(tracking);
            continue;
        }
        ASSERT_EQ(tracking.observations.size(), 1u);
        EXPECT_EQ(tracking.observations[0].centerSeconds, 3.0);
        EXPECT_NEAR(tracking.observations[0].bpm, 120, 1.0);
        EXPECT_EQ(tracking.stability, 0.5);
    }
}

TEST(LocalTracking, WindowsHopThroughTheSongAndALastShortWindowCountsDownToItsMinimum) {
    // 25-ms frames: 240-frame windows every 60 frames, the last one kept down to 192 frames.
    struct Case {
        std::size_t frames;
        std::vector<double> centres;
    };
    for (const Case& c : {Case{431, {3.0, 4.5, 6.0, 7.5}}, Case{432, {3.0, 4.5, 6.0, 7.5, 8.4}},
                          Case{480, {3.0, 4.5, 6.0, 7.5, 9.0}}}) {
        const auto tracking = A::trackLocalTempo(pulseFeatures(c.frames, 0.025, 20, 1.0), std::nullopt);
        ASSERT_EQ(tracking.observations.size(), c.centres.size()) << c.frames;
        for (std::size_t i = 0; i < c.centres.size(); ++i) {
            EXPECT_NEAR(tracking.observations[i].centerSeconds, c.centres[i], 1e-12) << c.frames;
            EXPECT_NEAR(tracking.observations[i].bpm, 120, 1.0) << c.frames;
            // Tempi leave the tracker in 0.05-BPM steps.
            EXPECT_EQ(tracking.observations[i].bpm, std::round(tracking.observations[i].bpm * 20) / 20);
            EXPECT_EQ(tracking.observations[i].observedBPM,
                      std::round(tracking.observations[i].observedBPM * 20) / 20);
            EXPECT_GE(tracking.observations[i].confidence, 0.0);
            EXPECT_LE(tracking.observations[i].confidence, 1.0);
        }
    }
}

// --- decoded click tracks ---

ORVAudioFeatureSet decoded(audio::testkit::Signal song) {
    const audio::testkit::Signal bed = audio::testkit::noise(song.sampleRate, song.channels, song.frames(), 0.05);
    for (std::size_t i = 0; i < song.interleaved.size(); ++i) song.interleaved[i] += bed.interleaved[i];
    audio::testkit::MemorySource source(std::move(song));
    return A::decodeFeatureEnvelopes(source);
}

TEST(LocalTrackingOnAudio, SteadyClickTrackIsOneReliableSection) {
    const auto set = decoded(audio::testkit::clicks(44100, 1, 40, 124, 0.8, 0.3));
    const auto tracking = A::trackLocalTempo(set, std::nullopt);
    ASSERT_GE(tracking.observations.size(), 20u);
    // A window's tempo is its family's blend of direct and alias readings, within a few
    // percent; the section's tempo is measured again on the envelope.
    for (const auto& o : tracking.observations) EXPECT_NEAR(o.bpm, 124, 3.0) << o.centerSeconds;
    ASSERT_EQ(tracking.sections.size(), 1u);
    EXPECT_NEAR(tracking.sections[0].bpm, 124, 1.0);
    EXPECT_EQ(tracking.sections[0].startSeconds, 0.0);
    EXPECT_NEAR(tracking.sections[0].endSeconds, 40.0, 0.05);
    EXPECT_GT(tracking.stability, 0.95);
    EXPECT_TRUE(tracking.isReliable);
    expectSameTracking(tracking, A::trackLocalTempo(set, std::nullopt));
}

TEST(LocalTrackingOnAudio, TempoChangeMidSongSplitsIntoTwoSectionsAtTheChange) {
    // 100 BPM for 30 s, then 132 BPM from the next beat on.
    const auto set = decoded(audio::testkit::concatenated(audio::testkit::clicks(44100, 1, 30, 100, 0.8, 0.3),
                                                   audio::testkit::clicks(44100, 1, 30, 132, 0.8, 0.3)));
    const auto tracking = A::trackLocalTempo(set, std::nullopt);
    for (const auto& o : tracking.observations) {
        if (o.centerSeconds < 28) {
            EXPECT_NEAR(o.bpm, 100, 3.0) << o.centerSeconds;
        } else if (o.centerSeconds > 32) {
            EXPECT_NEAR(o.bpm, 132, 3.0) << o.centerSeconds;
        }
    }
    // Each window reads its family at the pulse it hears most strongly, not a blend with its
    // alias readings: the faster part is one section at its own tempo.
    ASSERT_EQ(tracking.sections.size(), 2u);
    EXPECT_EQ(tracking.sections.front().startSeconds, 0.0);
    EXPECT_NEAR(tracking.sections[0].bpm, 100, 0.5);
    EXPECT_GT(tracking.sections[0].endSeconds, 29.0);
    EXPECT_LT(tracking.sections[0].endSeconds, 33.0);
    EXPECT_EQ(tracking.sections[1].startSeconds, tracking.sections[0].endSeconds);
    EXPECT_NEAR(tracking.sections[1].bpm, 132, 0.5);
    EXPECT_NEAR(tracking.sections.back().endSeconds, 60.0, 0.05);
    EXPECT_GT(tracking.stability, 0.9);
    EXPECT_TRUE(tracking.isReliable);
    expectSameTracking(tracking, A::trackLocalTempo(set, std::nullopt));
}

TEST(LocalTrackingOnAudio, RampIsFollowedWindowByWindow) {
    // 96 to 144 BPM over 60 s, the tempo rising linearly with time.
    std::vector<double> beats;
    const double from = 96, to = 144, seconds = 60;
    for (double t = 0.3; t < seconds;) {
        beats.push_back(t);
        t += 60.0 / (from + (to - from) * t / seconds);
    }
    const auto set = decoded(audio::testkit::clicksAt(44100, 1, seconds, beats));
    const auto tracking = A::trackLocalTempo(set, std::nullopt);
    ASSERT_GE(tracking.observations.size(), 30u);
    for (const auto& o : tracking.observations) {
        EXPECT_NEAR(o.bpm, from + (to - from) * o.centerSeconds / seconds, 4.5) << o.centerSeconds;
    }
    // One ramp, not a staircase: its map stays within 4 % of the music's tempo throughout.
    ASSERT_GE(tracking.sections.size(), 2u);
    EXPECT_TRUE(tracking.sections.front().linearToNext);
    EXPECT_TRUE(tracking.isReliable);
    const auto points = normalizedTempoPoints(A::sectionTempoPoints(tracking.sections));
    for (double t = 0.5; t < seconds; t += 0.5) {
        EXPECT_NEAR(bpmAt(points, t, 0) / (from + (to - from) * t / seconds), 1.0, 0.04) << t;
    }
}

// The tracker may read 4/4 at its eighths or its quarters and the 6/8 that follows over the
// same eighths at its dotted quarter: such neighbours move by octaves to the eighths in twos
// and 2/3 of them in threes, while a real change of tempo by 4:3 (whose beat lies at three of
// the other's eighths) or a steady 4/4 split at 3:1 stays as it is.
TEST(LocalTrackingOnAudio, SectionsReadAtOtherOctavesOfAChangeOfGroupingMoveToOnePulse) {
    // One pattern letter per eighth: the kick marks the beats, the hats every eighth.
    const audio::testkit::DrumPattern fourFour{"x.x.x.x.", "..x...x.", "xxxxxxxx", "", 1};
    const audio::testkit::DrumPattern sixEight{"x..x..", "...x..", "xxxxxx", "", 1};
    const auto part = [](const audio::testkit::DrumPattern& pattern, double eighthsBPM, double seconds) {
        return audio::testkit::drums(44100, seconds, audio::testkit::steadyBeats(eighthsBPM, seconds), pattern);
    };
    const auto meterChange = decoded(audio::testkit::concatenated(part(fourFour, 240, 24), part(sixEight, 240, 24)));
    const auto steady = decoded(part(fourFour, 240, 48));
    const auto tempoChange = decoded(audio::testkit::concatenated(part(fourFour, 180, 24), part(fourFour, 240, 24)));
    const auto clickChange = decoded(audio::testkit::concatenated(audio::testkit::clicks(44100, 1, 24, 100, 0.8, 0.3),
                                                           audio::testkit::clicks(44100, 1, 24, 132, 0.8, 0.3)));
    // The 6/8 without hats: the kick and snare mark only the dotted beats, so the eighths are
    // hardly sounded there, though a tracker may still have followed them through.
    const audio::testkit::DrumPattern sparseSixEight{"x..x..", "...x..", "", "", 1};
    const auto sparseChange = decoded(audio::testkit::concatenated(part(fourFour, 240, 24), part(sparseSixEight, 240, 24)));
    // Tracker windows every 1.5 s over the part in threes, read at this tempo.
    const auto windowsAt = [](double bpm) {
        std::vector<ORVLocalTempoObservation> observations;
        for (double t = 22.5; t < 48; t += 1.5) observations.push_back({t, bpm, 0.9, bpm, 1, false});
        return observations;
    };
    const struct {
        const char* what;
        const ORVAudioFeatureSet* features;
        double first, second;              // as the tracker read the parts
        std::vector<ORVLocalTempoObservation> observations;
        double firstMoved, secondMoved;    // 0: left as they are
    } cases[] = {
        {"4/4 at its eighths, 6/8 at its beat", &meterChange, 240, 80, {}, 240, 160},
        {"4/4 at its beat, 6/8 at its beat", &meterChange, 120, 80, {}, 240, 160},
        {"steady 4/4 read at 3:1", &steady, 240, 80, {}, 0, 0},
        {"a change from 90 to 120", &tempoChange, 90, 120, {}, 0, 0},
        {"clicks from 100 to 132", &clickChange, 100, 132, {}, 0, 0},
        {"6/8 without its eighths, the tracker following them", &sparseChange, 120, 80, windowsAt(120), 240, 160},
        {"6/8 without its eighths, the tracker on its beat", &sparseChange, 120, 80, windowsAt(80), 0, 0},
    };
    for (const auto& c : cases) {
        // The tracker's long windows put the change 3 s early.
        Section a{0, 21, c.first, 0.7, 10};
        Section b{21, c.features->durationSeconds, c.second, 0.7, 10};
        const std::vector<Section> sections{a, b};
        const auto moved = A::sectionsOfOnePulse(*c.features, sections, c.observations);
        if (c.firstMoved == 0) {
            EXPECT_FALSE(moved.has_value()) << c.what;
            continue;
        }
        ASSERT_TRUE(moved.has_value()) << c.what;
        ASSERT_EQ(moved->size(), 2u) << c.what;
        EXPECT_NEAR((*moved)[0].bpm, c.firstMoved, 0.01) << c.what;
        EXPECT_NEAR((*moved)[1].bpm, c.secondMoved, 0.01) << c.what;
        EXPECT_NEAR((*moved)[1].startSeconds, 24.0, 0.5) << c.what;
        EXPECT_EQ((*moved)[0].endSeconds, (*moved)[1].startSeconds) << c.what;
    }
}

// A change of grouping inside what the tracker read as one pulse splits there, whether it
// followed the eighths by octaves (two sections an octave apart, the step between them where
// the tempo read flipped, not where the grouping turns) or the dotted beat throughout (a beat
// spanning three eighths, as a 4/4 read at 3:2 looks); a steady 4/4 read at its dotted beat
// stays one section, and so does a section a ramp runs into, read at another octave.
TEST(LocalTrackingOnAudio, AChangeOfGroupingSplitsTheSectionsOfOnePulseWhereTheAccentsTurn) {
    const audio::testkit::DrumPattern fourFour{"x.x.x.x.", "..x...x.", "xxxxxxxx", "", 1};
    const audio::testkit::DrumPattern sixEight{"x..x..", "...x..", "xxxxxx", "", 1};
    const auto part = [](const audio::testkit::DrumPattern& pattern, double seconds) {
        return audio::testkit::drums(44100, seconds, audio::testkit::steadyBeats(240, seconds), pattern);
    };
    const auto meterChange =
        decoded(audio::testkit::concatenated(audio::testkit::concatenated(part(fourFour, 24), part(sixEight, 18)), part(fourFour, 18)));
    const auto steady = decoded(part(fourFour, 60));
    const struct {
        const char* what;
        const ORVAudioFeatureSet* features;
        std::vector<Section> read;    // as the tracker read the song
        std::vector<double> bpm;      // the parts' tempi after; empty: left as read
    } cases[] = {
        {"eighths, then quarters from inside the 6/8", &meterChange,
         {{0, 33, 240, 0.9, 20}, {33, 60, 120, 0.9, 18}}, {240, 160, 240}},
        {"the dotted beat throughout", &meterChange, {{0, 60, 80, 0.9, 38}}, {240, 160, 240}},
        {"steady 4/4 at its dotted beat", &steady, {{0, 60, 80, 0.9, 38}}, {}},
        // A ramp runs into the tempo of the section after it: that section keeps it.
        {"quarters a ramp runs into", &meterChange, {{0, 8, 100, 0.9, 5, true}, {8, 60, 120, 0.9, 30}}, {}},
    };
    for (const auto& c : cases) {
        const auto parts = A::groupingSections(*c.features, c.read, {});
        if (c.bpm.empty()) {
            ASSERT_EQ(parts.size(), c.read.size()) << c.what;
            for (std::size_t i = 0; i < parts.size(); ++i) EXPECT_EQ(parts[i].bpm, c.read[i].bpm) << c.what;
            continue;
        }
        ASSERT_EQ(parts.size(), c.bpm.size()) << c.what;
        for (std::size_t i = 0; i < parts.size(); ++i) EXPECT_NEAR(parts[i].bpm, c.bpm[i], 0.01) << c.what;
        EXPECT_EQ(parts.front().startSeconds, 0.0) << c.what;
        EXPECT_NEAR(parts[1].startSeconds, 24.0, 1.5) << c.what;
        EXPECT_NEAR(parts[2].startSeconds, 42.0, 1.5) << c.what;
        EXPECT_EQ(parts[0].endSeconds, parts[1].startSeconds) << c.what;
        EXPECT_EQ(parts[1].endSeconds, parts[2].startSeconds) << c.what;
        EXPECT_EQ(parts.back().endSeconds, 60.0) << c.what;
    }
}

// --- a change of tempo needs the onsets on its side ---

// A 4/4 drum groove (sixteenth steps) for `beats` beats at the tempo.
audio::testkit::Signal grooveBeats(double bpm, int beats, const audio::testkit::DrumPattern& pattern) {
    const double seconds = beats * 60.0 / bpm;
    return audio::testkit::drums(44100, seconds, audio::testkit::steadyBeats(bpm, seconds), pattern);
}

const audio::testkit::DrumPattern kGroove{"x.......x.x.....", "....x.......x...", "xxxxxxxxxxxxxxxx", "", 4};
// A lone low instrument before the beat comes in, on a dotted-eighth figure (three against the
// beat, which a tracker may follow at 4:3 or read as a grouping in threes).
const audio::testkit::DrumPattern kSparseIntro{"x.....x.....x...", "", "", "", 4};
// The drums drop out: only soft hats go on, in threes.
const audio::testkit::DrumPattern kBreakdown{"", "", "x..x..x..x..x..x", "", 4};

audio::testkit::Signal joined(std::initializer_list<audio::testkit::Signal> parts) {
    audio::testkit::Signal all = *parts.begin();
    for (auto part = parts.begin() + 1; part != parts.end(); ++part) all = audio::testkit::concatenated(all, *part);
    return all;
}

// Sections as the tracker may have cut a steady production (a sparse intro or a breakdown read
// at another tempo, a short opening at a tempo of its own) join their neighbours; a real step,
// and a ramp, keep theirs.
TEST(LocalTracking, SupportedSectionsKeepOnlyChangesTheOnsetsBearOut) {
    // 22 beats at 110 are 12 s of the lone figure, then the groove on the same grid.
    const auto intro = decoded(joined({grooveBeats(110, 22, kSparseIntro), grooveBeats(110, 66, kGroove)}));
    // Eight bars of a loop at 132, four without drums, eight more.
    const auto breakdown = decoded(
        joined({grooveBeats(132, 32, kGroove), grooveBeats(132, 16, kBreakdown), grooveBeats(132, 32, kGroove)}));
    // 100 for 24 s, then 130 for 24 s.
    const auto step = decoded(joined({grooveBeats(100, 40, kGroove), grooveBeats(130, 52, kGroove)}));
    // A five-second opening at 96, then 120.
    const auto opening = decoded(joined({grooveBeats(96, 8, kGroove), grooveBeats(120, 80, kGroove)}));
    const double loopBeat = 60.0 / 132;
    const struct {
        const char* what;
        const ORVAudioFeatureSet* features;
        std::vector<Section> read;  // as the tracker read the song
        std::vector<double> bpm;    // the sections' tempi after
    } cases[] = {
        {"a sparse intro read at 88", &intro, {{0, 12, 88, 0.5, 6}, {12, 48, 110, 0.9, 24}}, {110}},
        {"a breakdown read at 99", &breakdown,
         {{0, 32 * loopBeat, 132, 0.9, 9},
          {32 * loopBeat, 48 * loopBeat, 99, 0.5, 5},
          {48 * loopBeat, 80 * loopBeat, 132, 0.9, 9}},
         {132}},
        {"a step from 100 to 130", &step, {{0, 24, 100, 0.9, 14}, {24, 48, 130, 0.9, 14}}, {100, 130}},
        {"a short opening at a tempo of its own", &opening, {{0, 5, 96, 0.9, 2}, {5, 45, 120, 0.9, 26}}, {120}},
        {"a ramp into 130", &step, {{0, 24, 100, 0.9, 14, true}, {24, 48, 130, 0.9, 14}}, {100, 130}},
    };
    for (const auto& c : cases) {
        const auto kept = A::supportedSections(*c.features, c.read);
        ASSERT_EQ(kept.size(), c.bpm.size()) << c.what;
        for (std::size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(kept[i].bpm, c.bpm[i]) << c.what;
        EXPECT_EQ(kept.front().startSeconds, 0.0) << c.what;
        EXPECT_EQ(kept.back().endSeconds, c.read.back().endSeconds) << c.what;
        if (kept.size() == 1) {
            std::int64_t observations = 0;
            for (const auto& s : c.read) observations += s.observationCount;
            EXPECT_EQ(kept.front().observationCount, observations) << c.what;
        }
    }
}

// The whole tracker on the same productions: one tempo through a sparse 12 s intro and through a
// four-bar breakdown, two across a real step.
TEST(LocalTrackingOnAudio, SteadyProductionsGetOneTempoAndARealStepTwo) {
    const struct {
        const char* what;
        audio::testkit::Signal song;
        std::vector<double> bpm;
    } cases[] = {
        {"a sparse 12 s intro", joined({grooveBeats(110, 22, kSparseIntro), grooveBeats(110, 66, kGroove)}), {110}},
        {"a four-bar breakdown",
         joined({grooveBeats(132, 32, kGroove), grooveBeats(132, 16, kBreakdown), grooveBeats(132, 32, kGroove)}),
         {132}},
        {"a step from 100 to 130", joined({grooveBeats(100, 40, kGroove), grooveBeats(130, 52, kGroove)}), {100, 130}},
    };
    for (const auto& c : cases) {
        const auto tracking = A::trackLocalTempo(decoded(c.song), std::nullopt);
        ASSERT_EQ(tracking.sections.size(), c.bpm.size()) << c.what;
        for (std::size_t i = 0; i < c.bpm.size(); ++i) {
            // Read at the tempo or an octave of it: the level is chosen later.
            const double octaves = std::log2(tracking.sections[i].bpm / c.bpm[i]);
            EXPECT_NEAR(octaves, std::round(octaves), 0.015) << c.what << " section " << i;
        }
    }
}

}  // namespace
}  // namespace corvel::analysis
