#include "analysis/metrical_level.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/music_analyzer.hpp"

namespace corvel::analysis {
namespace {

using A = ORVAudioMusicAnalyzer;
constexpr double kFrameSeconds = 512.0 / 44100.0;

// `seconds` of features at 44.1 kHz hops, every envelope silent.
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

// Onsets of the given strength in the split bands (0 below 180 Hz ... 4 above the top
// corner) every `every`-th beat of the tempo, from beat `first` on, from frame `from` (plus 5)
// up to frame `to` (the end when 0).
void addBeats(ORVAudioFeatureSet& set, std::vector<std::size_t> bands, double bpm, int every, int first,
              float strength, double from = 0, std::size_t to = 0) {
    const double period = 60.0 / (kFrameSeconds * bpm);
    const std::size_t end = to == 0 ? set.consensusEnvelope.size() : to;
    for (int beat = first;; beat += every) {
        const auto frame = std::size_t(std::lround(from + 5 + beat * period));
        if (frame >= end) break;
        for (const std::size_t band : bands) {
            set.bandOnsetStrengths[band][frame] = std::max(set.bandOnsetStrengths[band][frame], strength);
            set.featureEnvelopes[band + 1][frame] = 1;
        }
        set.consensusEnvelope[frame] = 1;
    }
}

TEST(MetricalLevel, ListenersPreferATempoNear120InOctaves) {
    EXPECT_EQ(A::tempoPreference(120), 0.0);
    EXPECT_NEAR(A::tempoPreference(60), A::tempoPreference(240), 1e-12);
    EXPECT_GT(A::tempoPreference(100), A::tempoPreference(60));
    EXPECT_GT(A::tempoPreference(150), A::tempoPreference(200));
    for (const double bad : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_EQ(A::tempoPreference(bad), -std::numeric_limits<double>::infinity());
    }
}

TEST(MetricalLevel, SectionsComeToOneLevelPartByPartAndRampsMoveWhole) {
    using S = ORVDetectedTempoSection;
    // 90, a chorus heard at 240, 90 again: the chorus comes back to 120.
    const auto chorus = A::sectionsAtOneLevel(std::vector<S>{{0, 30, 90, 0.8, 20}, {30, 60, 240, 0.8, 20},
                                                             {60, 90, 90, 0.8, 20}});
    EXPECT_EQ(chorus[1].bpm, 120.0);
    EXPECT_EQ(chorus[2].bpm, 90.0);
    // An accelerando from 80 to 124 spans more than half an octave and stays whole; the part
    // after it, heard at 248, comes back next to where the ramp ends.
    std::vector<S> ramp{{0, 18, 80, 0.8, 12}, {18, 44, 80, 0.8, 17}, {44, 47, 122, 0.8, 3}, {47, 70, 248, 0.8, 15}};
    ramp[1].linearToNext = true;
    const auto held = A::sectionsAtOneLevel(ramp);
    EXPECT_DOUBLE_EQ(held[2].bpm / held[1].bpm, 122.0 / 80.0);
    EXPECT_EQ(held[0].bpm, held[1].bpm);
    EXPECT_NEAR(held[3].bpm / held[2].bpm, 124.0 / 122.0, 1e-9);
}

TEST(MetricalLevel, GridLeanReadsAccentedHalvesAndBackbeats) {
    const double period = 60.0 / (kFrameSeconds * 120);
    // Even beats loud in every band, odd beats faint: the half tempo is the stronger pulse.
    auto accented = silentFeatures(20);
    addBeats(accented, {0, 1, 2, 3, 4}, 120, 2, 0, 1.0f);
    addBeats(accented, {0, 1, 2, 3, 4}, 120, 2, 1, 0.2f);
    const auto lean = A::gridLean(accented, {5, period}, 0, std::int64_t(accented.consensusEnvelope.size()));
    EXPECT_GT(lean.lean, 0.5);
    EXPECT_EQ(lean.backbeat, 0.0);
    EXPECT_GT(lean.beats, 35);
    // Shifted by one beat the other half leans.
    EXPECT_LT(A::gridLean(accented, {5 + period, period}, 0, 2000).lean, -0.5);

    // Equal beats: no lean.
    auto even = silentFeatures(20);
    addBeats(even, {0, 1, 2, 3, 4}, 120, 1, 0, 1.0f);
    EXPECT_NEAR(A::gridLean(even, {5, period}, 0, 2000).lean, 0.0, 1e-9);

    // A kick on the even beats and a snare on the odd ones: a backbeat. Off-beat hats alone
    // against the kick are not one.
    auto backbeat = silentFeatures(20);
    addBeats(backbeat, {0}, 120, 2, 0, 1.0f);
    addBeats(backbeat, {1, 2, 3, 4}, 120, 2, 1, 1.0f);
    EXPECT_GT(A::gridLean(backbeat, {5, period}, 0, 2000).backbeat, 0.5);
    auto hats = silentFeatures(20);
    addBeats(hats, {0, 1, 2}, 120, 2, 0, 1.0f);
    addBeats(hats, {3, 4}, 120, 2, 1, 1.0f);
    EXPECT_EQ(A::gridLean(hats, {5, period}, 0, 2000).backbeat, 0.0);

    // One beat in three loud: the third of the tempo is the stronger pulse; none in two.
    auto compound = silentFeatures(20);
    addBeats(compound, {0, 1, 2, 3, 4}, 120, 3, 1, 1.0f);
    addBeats(compound, {3, 4}, 120, 1, 0, 0.3f);
    const auto triple = A::gridLean(compound, {5, period}, 0, 2000);
    EXPECT_GT(triple.tripleAccent, 0.5);
    EXPECT_LT(std::abs(triple.lean), 0.2);
    EXPECT_NEAR(A::gridLean(even, {5, period}, 0, 2000).tripleAccent, 0.0, 1e-9);

    // Nothing to read: no lean, no beats.
    EXPECT_EQ(A::gridLean(even, {5, 1.5}, 0, 2000).beats, 0);
    EXPECT_EQ(A::gridLean(even, {5, period}, 100, 50).beats, 0);
}

// A steady floor of onset strength in every split band, as a room, a held chord and the
// cymbals' wash leave between the notes.
void addFloor(ORVAudioFeatureSet& set, float strength) {
    for (auto& band : set.bandOnsetStrengths) {
        for (float& v : band) v = std::max(v, strength);
    }
}

TEST(MetricalLevelOnPulses, LevelIsTheTempoOfEqualBeatsWhateverOctaveItIsOfferedAt) {
    // Equal clicks at 90 BPM: offered at 180 (every other beat empty) or at 45 (no accent on
    // every other click), the level comes back to 90.
    auto clicks = silentFeatures(30);
    addBeats(clicks, {0, 1, 2, 3, 4}, 90, 1, 0, 1.0f);
    EXPECT_EQ(A::accentRuleFactor(clicks, {}, 180), 0.5);
    EXPECT_EQ(A::accentRuleFactor(clicks, {}, 90), 1.0);
    EXPECT_EQ(A::accentRuleFactor(clicks, {}, 45), 2.0);
    // Eighths of a compound meter, every third accented: the dotted beat.
    auto sixEight = silentFeatures(30);
    addBeats(sixEight, {0, 1, 2}, 198, 3, 0, 1.0f);
    addBeats(sixEight, {2, 3, 4}, 198, 1, 0, 0.4f);
    EXPECT_NEAR(A::accentRuleFactor(sixEight, {}, 198), 1.0 / 3, 1e-12);
    // A quick waltz at 138, the one struck across the bands and chords on two and three: the
    // quarter, not the bar.
    auto waltz = silentFeatures(30);
    addBeats(waltz, {0, 1, 2, 3, 4}, 138, 3, 0, 1.0f);
    addBeats(waltz, {2, 3, 4}, 138, 3, 1, 0.3f);
    addBeats(waltz, {2, 3, 4}, 138, 3, 2, 0.3f);
    EXPECT_EQ(A::accentRuleFactor(waltz, {}, 138), 1.0);
    // A fast pulse of equal beats stays fast.
    auto fast = silentFeatures(30);
    addBeats(fast, {0, 1, 2, 3, 4}, 180, 1, 0, 1.0f);
    EXPECT_EQ(A::accentRuleFactor(fast, {}, 180), 1.0);
    // A kick and snare backbeat at 174 stays at 174 even with its kicks louder.
    auto backbeat = silentFeatures(30);
    addBeats(backbeat, {0}, 174, 2, 0, 1.0f);
    addBeats(backbeat, {1, 2, 3, 4}, 174, 2, 1, 0.6f);
    addBeats(backbeat, {3, 4}, 348, 1, 0, 0.2f);
    EXPECT_EQ(A::accentRuleFactor(backbeat, {}, 174), 1.0);
    // One factor for a whole map: sections at 180 and 240 over clicks at 90 and 120.
    auto map = silentFeatures(40);
    const std::size_t half = map.consensusEnvelope.size() / 2;
    addBeats(map, {0, 1, 2, 3, 4}, 90, 1, 0, 1.0f, 0, half);
    addBeats(map, {0, 1, 2, 3, 4}, 120, 1, 0, 1.0f, double(half));
    const std::vector<ORVDetectedTempoSection> sections{{0, 20, 180, 0.8, 10}, {20, 40, 240, 0.8, 10}};
    EXPECT_EQ(A::accentRuleFactor(map, sections, 180), 0.5);
    // A solo piano waltz at 90 over a minute, the bass on the one, chords on two and three and
    // a melody in eighths, offered at its eighths a little slow (178.4 for 180): the grid drifts
    // through more than a beat over the piece, yet within a stretch of it the beats stand out
    // from the eighths between them, and the level is still the quarter.
    auto pianoWaltz = silentFeatures(60);
    addBeats(pianoWaltz, {0, 1}, 90, 3, 0, 1.0f);
    addBeats(pianoWaltz, {2, 3}, 90, 3, 1, 0.6f);
    addBeats(pianoWaltz, {2, 3}, 90, 3, 2, 0.6f);
    addBeats(pianoWaltz, {2, 3}, 180, 2, 1, 0.3f);
    EXPECT_EQ(A::accentRuleFactor(pianoWaltz, {}, 178.4), 0.5);
    // Nothing usable: no change.
    EXPECT_EQ(A::accentRuleFactor(clicks, {}, 0), 1.0);
    EXPECT_EQ(A::accentRuleFactor(ORVAudioFeatureSet{}, {}, 120), 1.0);
}

TEST(MetricalLevel, GridLeanReadsDrumsTakingTurnsAndSwing) {
    const double period = 60.0 / (kFrameSeconds * 120);
    const auto whole = [](const ORVAudioFeatureSet& set) { return std::int64_t(set.consensusEnvelope.size()); };
    // A kick on the even beats, a snare's crack (above 600 Hz) on the odd ones.
    auto turns = silentFeatures(20);
    addBeats(turns, {0}, 120, 2, 0, 1.0f);
    addBeats(turns, {2, 3, 4}, 120, 2, 1, 1.0f);
    const auto taking = A::gridLean(turns, {5, period}, 0, whole(turns));
    EXPECT_GT(taking.crossLean, 0.5);
    EXPECT_GT(taking.upperAccent, 0.5);
    // The snare on every other beat over a bass on every beat: no kick against it, but the
    // upper bands alone stress one half.
    auto snare = silentFeatures(20);
    addBeats(snare, {0}, 120, 1, 0, 1.0f);
    addBeats(snare, {2, 3, 4}, 120, 2, 1, 1.0f);
    const auto overBass = A::gridLean(snare, {5, period}, 0, whole(snare));
    EXPECT_EQ(overBass.crossLean, 0.0);
    EXPECT_GT(overBass.upperAccent, 0.5);
    // Every band stressing the same beats: an accent, not drums taking turns.
    auto accented = silentFeatures(20);
    addBeats(accented, {0, 1, 2, 3, 4}, 120, 2, 0, 1.0f);
    addBeats(accented, {0, 1, 2, 3, 4}, 120, 2, 1, 0.3f);
    const auto together = A::gridLean(accented, {5, period}, 0, whole(accented));
    EXPECT_EQ(together.crossLean, 0.0);
    EXPECT_EQ(together.upperAccent, 0.0);

    // Onsets two thirds of the way between the beats (swung eighths) against halfway ones.
    struct Case {
        double subdivisionBpm;  // the tempo whose every `every`-th beat from `first` sounds
        int every;
        int first;
        bool swung;
    };
    for (const Case c : {Case{360, 3, 2, true}, Case{240, 2, 1, false}, Case{120, 1, 0, false}}) {
        auto set = silentFeatures(20);
        addBeats(set, {0, 1, 2}, 120, 1, 0, 1.0f);
        addBeats(set, {2, 3, 4}, c.subdivisionBpm, c.every, c.first, 0.8f);
        const double swing = A::gridLean(set, {5, period}, 0, whole(set)).swing;
        if (c.swung) {
            EXPECT_GT(swing, 0.5) << c.subdivisionBpm;
        } else {
            EXPECT_LT(swing, 0.05) << c.subdivisionBpm;
        }
    }
}

TEST(MetricalLevelOnPulses, LevelFollowsTheBackbeatAndTheSwing) {
    struct Case {
        const char* name;
        double offered;
        double expected;
        void (*build)(ORVAudioFeatureSet&);
    };
    const Case cases[] = {
        // Syncopated funk at 92 offered at its eighths: kicks on the one and between the beats,
        // a snare on 2 and 4, hats on every eighth stressed on the beats.
        {"funk", 184, 0.5,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0}, 92, 4, 0, 1.0f);
             addBeats(set, {0}, 184, 8, 3, 0.9f);
             addBeats(set, {0}, 184, 8, 5, 0.9f);
             addBeats(set, {1, 2, 3, 4}, 92, 2, 1, 1.0f);
             addBeats(set, {3, 4}, 184, 1, 0, 0.5f);
             addBeats(set, {3, 4}, 92, 1, 0, 0.8f);
         }},
        // A half-time groove at 76 offered at 152: kicks on the one and between the beats, the
        // snare on 2 and 4, bass and hats on every sixteenth.
        {"half-time", 152, 0.5,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0}, 76, 4, 0, 1.0f);
             addBeats(set, {0}, 152, 8, 3, 0.8f);
             addBeats(set, {0}, 152, 8, 5, 0.8f);
             addBeats(set, {1, 2, 3, 4}, 76, 2, 1, 1.0f);
             addBeats(set, {0, 1}, 304, 1, 0, 0.4f);
             addBeats(set, {3, 4}, 304, 1, 0, 0.4f);
         }},
        // The same over a busy bass and a kick on the one alone: only the snare tells the
        // beat, alternating at 76 and at 152 alike but not at 38.
        {"half-time over a busy bass", 152, 0.5,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0}, 76, 4, 0, 0.7f);
             addBeats(set, {0, 1}, 304, 1, 0, 0.6f);
             addBeats(set, {1, 2, 3, 4}, 76, 2, 1, 1.0f);
             addBeats(set, {3, 4}, 304, 1, 0, 0.7f);
         }},
        // Swing at 160: a walking bass on every beat, feathered kicks and the ride's stress on
        // 1 and 3, the ride's swung eighth before 3 and 1, the hat on 2 and 4. It stays fast.
        {"swing", 160, 1.0,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0, 1}, 160, 1, 0, 0.4f);
             addBeats(set, {0, 1}, 80, 1, 0, 1.0f);
             addBeats(set, {3, 4}, 160, 1, 0, 0.4f);
             addBeats(set, {3, 4}, 80, 1, 0, 1.0f);
             addBeats(set, {2, 3, 4}, 480, 6, 5, 0.7f);
             addBeats(set, {4}, 160, 2, 1, 0.8f);
         }},
        // Up-tempo swing at 208, where the tempo preference pulls harder towards the half: the
        // ride and the bass on every beat, stressed on 1 and 3, softer swung eighths. Beats
        // that all sound, with swung pairs between them, hold it fast.
        {"up-tempo swing", 208, 1.0,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0, 1}, 208, 1, 0, 0.2f);
             addBeats(set, {0, 1}, 104, 1, 0, 1.0f);
             addBeats(set, {3, 4}, 208, 1, 0, 0.2f);
             addBeats(set, {3, 4}, 104, 1, 0, 1.0f);
             addBeats(set, {2, 3, 4}, 624, 6, 5, 0.15f);
             addBeats(set, {4}, 208, 2, 1, 0.8f);
         }},
        // Up-tempo swing at 208 as a band plays it, over a floor of room and cymbal wash: a kick
        // feathered on 1 and 3 over the walking bass, softer on 2 and 4, the ride on every beat
        // stressed on 1 and 3 with its skip note late before 3 and 1, the snare comping on the
        // swung eighth after 2, the hat on 2 and 4. The swung eighths sound between cymbal beats
        // that all sound: it stays fast.
        {"up-tempo swing over a feathered kick", 208, 1.0,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0, 1}, 104, 1, 0, 1.0f);
             addBeats(set, {0, 1}, 208, 2, 1, 0.15f);
             addBeats(set, {3, 4}, 104, 1, 0, 1.0f);
             addBeats(set, {3, 4}, 208, 2, 1, 0.6f);
             addBeats(set, {2, 3, 4}, 624, 6, 5, 0.6f);
             addBeats(set, {1, 2}, 624, 12, 5, 0.6f);
             addBeats(set, {4}, 208, 2, 1, 0.5f);
             addFloor(set, 0.05f);
         }},
        // Swing at 147 comped in the Charleston rhythm, over a floor of room and cymbal wash:
        // a chord on the one (its attack reaching the cymbals' band, its root doubled in the
        // bass) and a softer one on the swung eighth after 2; a soft walking bass, a kick
        // feathered on 1 and 3, the ride on every beat stressed on 1 and 3 with its skip note
        // late before 3 and 1, the hat on 2 and 4. At the half the chord stresses the one in
        // the low band as in the upper ones: a downbeat, not a backbeat. It stays fast.
        {"swing comped on the one", 147, 1.0,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0}, 147.0 / 4, 1, 0, 0.7f);
             addBeats(set, {1, 2}, 147.0 / 4, 1, 0, 1.0f);
             addBeats(set, {3}, 147.0 / 4, 1, 0, 0.9f);
             addBeats(set, {1, 2}, 441, 12, 5, 0.6f);
             addBeats(set, {0, 1}, 147, 1, 0, 0.3f);
             addBeats(set, {0}, 73.5, 1, 0, 0.6f);
             addBeats(set, {3, 4}, 147, 1, 0, 0.5f);
             addBeats(set, {3, 4}, 73.5, 1, 0, 0.6f);
             addBeats(set, {3, 4}, 441, 6, 5, 0.2f);
             addBeats(set, {4}, 147, 2, 1, 0.4f);
             addFloor(set, 0.1f);
         }},
        // The same swung notes under cymbals on 1 and 3 alone: the pulse between them is silent
        // on the cymbals, and the late note is a pickup to the half-note beat.
        {"late pickups to a half-note ride", 208, 0.5,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0, 1}, 104, 1, 0, 1.0f);
             addBeats(set, {0, 1}, 208, 2, 1, 0.3f);
             addBeats(set, {3, 4}, 104, 1, 0, 1.0f);
             addBeats(set, {2, 3, 4}, 624, 6, 5, 0.6f);
             addFloor(set, 0.05f);
         }},
        // A solo piano ballad at 68 offered at its eighths: chords struck across the bands on
        // the beats, an arpeggio filling every eighth in the middle band alone.
        {"piano ballad", 136, 0.5,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0, 1, 3}, 68, 1, 0, 0.45f);
             addBeats(set, {2}, 136, 1, 0, 1.0f);
         }},
    };
    for (const Case& c : cases) {
        auto set = silentFeatures(30);
        c.build(set);
        EXPECT_EQ(A::accentRuleFactor(set, {}, c.offered), c.expected) << c.name;
    }
}

TEST(MetricalLevelOnPulses, CompoundMeterIsCountedInDottedBeatsWhenItsEighthsGoInThrees) {
    struct Case {
        const char* name;
        double offered;
        double expected;
        void (*build)(ORVAudioFeatureSet&);
    };
    const Case cases[] = {
        // Solo piano in 6/8, dotted quarter 56: an arpeggio on every eighth, the bass on the
        // bar, melody notes on the dotted beats. Slow as it is, the dotted beat is counted,
        // whether the eighths or their pairs are offered.
        {"six-eight piano at its eighths", 168, 1.0 / 3,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {2}, 168, 1, 0, 1.0f);
             addBeats(set, {0, 1}, 168, 6, 0, 0.8f);
             addBeats(set, {1, 3}, 168, 3, 0, 0.45f);
         }},
        {"six-eight piano at its pairs of eighths", 84, 2.0 / 3,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {2}, 168, 1, 0, 1.0f);
             addBeats(set, {0, 1}, 168, 6, 0, 0.8f);
             addBeats(set, {1, 3}, 168, 3, 0, 0.45f);
         }},
        // The same eighths with the melody on every other one: 3/4 at 84, heard in twos.
        {"three-four piano over eighths", 168, 0.5,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {2}, 168, 1, 0, 1.0f);
             addBeats(set, {0, 1}, 168, 6, 0, 0.8f);
             addBeats(set, {1, 3}, 168, 2, 0, 0.45f);
         }},
        // A waltz at 138 in quarters, the bass on the one: quarters are no compound meter's
        // eighths, the beat stays on them.
        {"waltz", 138, 1.0,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0, 1}, 138, 3, 0, 1.0f);
             addBeats(set, {2, 3}, 138, 1, 0, 0.6f);
         }},
    };
    for (const Case& c : cases) {
        auto set = silentFeatures(30);
        c.build(set);
        EXPECT_NEAR(A::accentRuleFactor(set, {}, c.offered), c.expected, 1e-12) << c.name;
    }
}

// Onsets in the given bands at the beats of a tempo that breathes around `bpm` (by up to
// `depth` of it, over a slow and a quicker swell), every `every`-th eighth from the first;
// the tempo of each stretch of `sectionSeconds` as the tracker would read it, at the eighths.
std::vector<ORVDetectedTempoSection> addBreathingEighths(ORVAudioFeatureSet& set, double bpm, double depth,
                                                          double sectionSeconds,
                                                          const std::vector<std::pair<std::vector<std::size_t>, float>>& parts,
                                                          int every, std::vector<double>* onsetSeconds = nullptr) {
    std::vector<ORVDetectedTempoSection> sections;
    double t = 0.05, sectionStart = 0;
    int eighthsInSection = 0;
    for (int eighth = 0;; ++eighth) {
        const auto frame = std::size_t(std::lround(t / kFrameSeconds));
        if (frame >= set.consensusEnvelope.size()) break;
        if (eighth % every == 0) {
            for (const auto& [bands, strength] : parts) {
                for (const std::size_t band : bands) {
                    set.bandOnsetStrengths[band][frame] = std::max(set.bandOnsetStrengths[band][frame], strength);
                    set.featureEnvelopes[band + 1][frame] = 1;
                }
            }
            set.consensusEnvelope[frame] = 1;
            if (onsetSeconds) onsetSeconds->push_back(double(frame) * kFrameSeconds);
        }
        const double beats = eighth / 2.0;
        const double tempo = bpm * (1 + depth * (0.65 * std::sin(2 * M_PI * beats / 7.7) +
                                                 0.35 * std::sin(2 * M_PI * beats / 2.9 + 1.0)));
        t += 30.0 / tempo;
        ++eighthsInSection;
        if (t - sectionStart >= sectionSeconds) {
            sections.push_back({sectionStart, t, 60.0 * eighthsInSection / (t - sectionStart), 0.8, 10});
            sectionStart = t;
            eighthsInSection = 0;
        }
    }
    return sections;
}

TEST(MetricalLevelOnPulses, FreePlayingIsReadOnItsOwnBeats) {
    // Solo piano breathing freely around 66 (+-15 %), its sections tracked at the eighths:
    // chords across the bands on the beats, an arpeggio on every eighth in the middle band. A
    // grid of any section's tempo drifts off the beats within a few of them; followed beat by
    // beat, the chords still make the beat.
    auto rubato = silentFeatures(60);
    const auto sections = addBreathingEighths(rubato, 66, 0.15, 8, {{{0, 1, 3}, 0.45f}}, 2);
    addBreathingEighths(rubato, 66, 0.15, 8, {{{2}, 1.0f}}, 1);
    ASSERT_GE(sections.size(), 5u);
    // The tracker's map as it comes, and with one section that stands apart from the wander:
    // a phrase end held far slower than the sections before it, or a section read as a ramp
    // into the next.
    struct Case {
        const char* name;
        void (*alter)(std::vector<ORVDetectedTempoSection>&);
    };
    const Case cases[] = {
        {"as tracked", [](std::vector<ORVDetectedTempoSection>&) {}},
        {"held phrase end", [](std::vector<ORVDetectedTempoSection>& s) { s.back().bpm = s[s.size() - 2].bpm * 0.7; }},
        {"a ramp inside", [](std::vector<ORVDetectedTempoSection>& s) { s[1].linearToNext = true; }},
        // Tracked as two long sections whose mean tempi differ a little: only the beats show the
        // breathing.
        {"two sections",
         [](std::vector<ORVDetectedTempoSection>& s) {
             const auto half = s.size() / 2;
             const auto joined = [&](std::size_t from, std::size_t to) {
                 ORVDetectedTempoSection j = s[from];
                 double beats = 0;
                 for (std::size_t k = from; k < to; ++k) beats += s[k].bpm * (s[k].endSeconds - s[k].startSeconds) / 60.0;
                 j.endSeconds = s[to - 1].endSeconds;
                 j.bpm = 60.0 * beats / (j.endSeconds - j.startSeconds);
                 return j;
             };
             s = {joined(0, half), joined(half, s.size())};
         }},
    };
    for (const Case& c : cases) {
        auto map = sections;
        c.alter(map);
        EXPECT_EQ(A::accentRuleFactor(rubato, map, map.front().bpm), 0.5) << c.name;
    }
}

TEST(MetricalLevelOnPulses, FreePlayingCountsTheBarTowardsTheBeat) {
    // Free piano around 66 read at the eighths: an arpeggio on every eighth, chords on the beats
    // that stand out only a little, and a bass note on every other beat (the bar's one and
    // three). The beat's own accent is too faint to outweigh the preference for the quicker
    // pulse, but the bar's accent over it shows the eighths grouped in twos and those in twos
    // again: the beat is the chords'.
    struct Case {
        const char* name;
        float chord, bass;
        std::vector<std::size_t> bassBands;
    };
    const Case cases[] = {
        {"soft chords", 0.25f, 0.5f, {0}},
        {"firmer chords", 0.35f, 0.5f, {0}},
        {"bass with its octave", 0.3f, 0.5f, {0, 1}},
    };
    for (const Case& c : cases) {
        auto rubato = silentFeatures(60);
        const auto sections = addBreathingEighths(rubato, 66, 0.15, 8, {{{1, 3}, c.chord}}, 2);
        addBreathingEighths(rubato, 66, 0.15, 8, {{{2}, 1.0f}}, 1);
        addBreathingEighths(rubato, 66, 0.15, 8, {{c.bassBands, c.bass}}, 4);
        EXPECT_EQ(A::accentRuleFactor(rubato, sections, sections.front().bpm), 0.5) << c.name;
    }
}

TEST(MetricalLevelOnPulses, FreePlayingHeldBackOverASoundingFloor) {
    // Free piano in a hall: a chord across the bands on every beat, an arpeggio on every
    // eighth, the last two eighths of every eight beats held back by half again, and the
    // consensus never falling below a shifting floor between the onsets (the pedal, the
    // hall), which the bands' own onsets rise clear of. The beats are still the chords'.
    auto rubato = silentFeatures(60);
    std::vector<ORVDetectedTempoSection> sections;
    double t = 0.05, start = 0;
    int eighthsInSection = 0;
    for (int eighth = 0;; ++eighth) {
        const auto frame = std::size_t(std::lround(t / kFrameSeconds));
        if (frame >= rubato.consensusEnvelope.size()) break;
        rubato.bandOnsetStrengths[2][frame] = 1.0f;
        if (eighth % 2 == 0) {
            for (const std::size_t band : {0u, 1u, 3u}) rubato.bandOnsetStrengths[band][frame] = 0.6f;
        }
        rubato.consensusEnvelope[frame] = 1;
        const double beats = eighth / 2.0;
        const double tempo = 66 * (1 + 0.15 * (0.65 * std::sin(2 * M_PI * beats / 7.7) +
                                               0.35 * std::sin(2 * M_PI * beats / 2.9 + 1.0)));
        t += 30.0 / tempo * (eighth % 16 >= 14 ? 1.5 : 1.0);
        ++eighthsInSection;
        if (t - start >= 8) {
            sections.push_back({start, t, 60.0 * eighthsInSection / (t - start), 0.8, 10});
            start = t;
            eighthsInSection = 0;
        }
    }
    for (std::size_t f = 0; f < rubato.consensusEnvelope.size(); ++f) {
        const double floor = 0.3 * (0.5 + 0.5 * std::sin(double(f) * 0.37) * std::sin(double(f) * 0.011));
        rubato.consensusEnvelope[f] = std::max(rubato.consensusEnvelope[f], floor);
    }
    ASSERT_GE(sections.size(), 5u);
    EXPECT_EQ(A::accentRuleFactor(rubato, sections, sections.front().bpm), 0.5);
}

TEST(MetricalLevelOnPulses, BreathingMapFollowsTheChordsOfFreePlaying) {
    // The rubato piano at its beat: the map's sections begin on chords, two beats apart, and
    // their tempo is the tempo the chords breathe at (the arpeggio's eighths between them are
    // no beats).
    auto rubato = silentFeatures(60);
    std::vector<double> chords;
    auto sections = addBreathingEighths(rubato, 66, 0.15, 8, {{{0, 1, 3}, 0.45f}}, 2, &chords);
    addBreathingEighths(rubato, 66, 0.15, 8, {{{2}, 1.0f}}, 1);
    for (auto& s : sections) s.bpm /= 2;
    const auto map = A::breathingSections(rubato, sections);
    ASSERT_GT(map.size(), chords.size() / 3);
    std::size_t onChord = 0, nearTempo = 0;
    for (const auto& s : map) {
        const auto at = std::lower_bound(chords.begin(), chords.end(), s.startSeconds - 0.03);
        if (at == chords.end() || std::abs(*at - s.startSeconds) > 0.03 || at + 2 >= chords.end()) continue;
        ++onChord;
        if (std::abs(s.bpm / (120.0 / (at[2] - at[0])) - 1) < 0.02) ++nearTempo;
    }
    EXPECT_GE(double(onChord), 0.9 * double(map.size()));
    EXPECT_GE(double(nearTempo), 0.9 * double(map.size()));

    // The same playing after 8 s of silence: the map begins with the playing, not with beats
    // spaced through the silence before it.
    auto late = rubato;
    const auto silent = static_cast<std::size_t>(8.0 / late.frameSeconds);
    const auto hush = [silent](auto& envelope) {
        std::fill(envelope.begin(), envelope.begin() + static_cast<std::ptrdiff_t>(std::min(silent, envelope.size())), 0);
    };
    hush(late.consensusEnvelope);
    for (auto& envelope : late.featureEnvelopes) hush(envelope);
    for (auto& envelope : late.bandOnsetStrengths) hush(envelope);
    const auto lateMap = A::breathingSections(late, sections);
    ASSERT_FALSE(lateMap.empty());
    EXPECT_GE(lateMap.front().startSeconds, 8.0 - 0.03);

    // Clicks that hold their tempo under a map that wanders by a tracker's error, and a map
    // that steps: no breathing, nothing to follow.
    auto steady = silentFeatures(40);
    addBeats(steady, {0, 1, 2, 3, 4}, 90, 1, 0, 1.0f);
    const std::vector<ORVDetectedTempoSection> wandering{
        {0, 10, 90, 0.8, 10}, {10, 20, 92, 0.8, 10}, {20, 30, 89, 0.8, 10}, {30, 40, 90, 0.8, 10}};
    EXPECT_TRUE(A::breathingSections(steady, wandering).empty());
    const std::vector<ORVDetectedTempoSection> steps{{0, 20, 90, 0.8, 10}, {20, 40, 120, 0.8, 10}};
    EXPECT_TRUE(A::breathingSections(steady, steps).empty());
    const std::vector<ORVDetectedTempoSection> twoClose{{0, 20, 88, 0.8, 10}, {20, 40, 93, 0.8, 10}};
    EXPECT_TRUE(A::breathingSections(steady, twoClose).empty());
    // Clicks stepping up and back down, each tempo held: steps, not breathing.
    auto stepping = silentFeatures(60);
    const std::size_t third = stepping.consensusEnvelope.size() / 3;
    addBeats(stepping, {0, 1, 2, 3, 4}, 90, 1, 0, 1.0f, 0, third);
    addBeats(stepping, {0, 1, 2, 3, 4}, 105, 1, 0, 1.0f, double(third), 2 * third);
    addBeats(stepping, {0, 1, 2, 3, 4}, 90, 1, 0, 1.0f, double(2 * third));
    const std::vector<ORVDetectedTempoSection> upAndDown{
        {0, 20, 90, 0.8, 10}, {20, 40, 105, 0.8, 10}, {40, 60, 90, 0.8, 10}};
    EXPECT_TRUE(A::breathingSections(stepping, upAndDown).empty());
}

TEST(MetricalLevelOnPulses, ACrossRhythmOfTheBeatComesBackToIt) {
    struct Case {
        const char* name;
        double offered;
        double expected;
        void (*build)(ORVAudioFeatureSet&);
    };
    const Case cases[] = {
        // A waltz at 144 offered at 96, two of its pulses to the bar: bass on the one, chords
        // on two and three.
        {"waltz read at two to the bar", 96, 1.5,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0, 1}, 144, 3, 0, 1.0f);
             addBeats(set, {2, 3, 4}, 144, 3, 1, 0.6f);
             addBeats(set, {2, 3, 4}, 144, 3, 2, 0.6f);
         }},
        // A half-time groove at 72 offered at 96, four of its pulses to three beats: the kick
        // on the one, the snare on three, hats on every sixteenth.
        {"half-time groove read at four against three", 96, 0.75,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0, 1}, 72, 4, 0, 1.0f);
             addBeats(set, {0}, 144, 8, 3, 0.8f);
             addBeats(set, {2, 3}, 72, 4, 2, 1.0f);
             addBeats(set, {4}, 288, 1, 0, 0.4f);
         }},
        // Drum and bass at 174 offered at 116, the kick's syncopation: kicks on the one and
        // halfway through the third beat, the snare on two and four, hats on the eighths.
        {"drum and bass read at its kick's syncopation", 116, 1.5,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0, 1}, 174, 4, 0, 1.0f);
             addBeats(set, {0, 1}, 348, 8, 5, 1.0f);
             addBeats(set, {2, 3}, 174, 2, 1, 1.0f);
             addBeats(set, {4}, 348, 1, 0, 0.4f);
         }},
        // Clicks at 60 stressed every third: a grid three times as fast holds them too, but
        // two of its every three points fall between the clicks, so they stay at 60.
        {"clicks in three", 60, 1.0,
         [](ORVAudioFeatureSet& set) {
             addBeats(set, {0, 1, 2, 3, 4}, 60, 3, 0, 1.0f);
             addBeats(set, {0, 1, 2, 3, 4}, 60, 3, 1, 0.5f);
             addBeats(set, {0, 1, 2, 3, 4}, 60, 3, 2, 0.5f);
         }},
    };
    for (const Case& c : cases) {
        auto set = silentFeatures(30);
        c.build(set);
        EXPECT_DOUBLE_EQ(A::accentRuleFactor(set, {}, c.offered), c.expected) << c.name;
    }
}

TEST(MetricalLevelOnPulses, OnlyChangesTheAccentsShowStayInTheMap) {
    using S = ORVDetectedTempoSection;
    struct Case {
        const char* name;
        double firstBpm;   // the music over the first 30 s
        double secondBpm;  // and over the last 20 s
        double readSecond;  // the tempo the tracker gave the last 20 s
        double expected;
    };
    const Case cases[] = {
        // The same beat throughout, read late as its four-to-three cross-rhythm: back to 104.
        {"cross-rhythm", 104, 104, 104.0 * 4 / 3, 104},
        // A real step from 90 to 120 (the same ratio the other way) stays.
        {"step", 90, 120, 120, 120},
        // The same beat throughout, the tracker settling 3% fast on the last part: back to 104.
        {"drift", 104, 104, 107, 104},
        // A real push of 3% from 120 to 124 stays: the first part's grid slips off its beats.
        {"small step", 120, 124, 124, 124},
    };
    for (const Case& c : cases) {
        auto set = silentFeatures(50);
        const std::size_t change = std::size_t(30 / kFrameSeconds);
        addBeats(set, {0, 1, 2, 3, 4}, c.firstBpm, 1, 0, 1.0f, 0, change);
        addBeats(set, {0, 1, 2, 3, 4}, c.secondBpm, 1, 0, 1.0f, double(change));
        const std::vector<S> sections{{0, 30, c.firstBpm, 0.8, 20}, {30, 50, c.readSecond, 0.8, 13}};
        const auto heard = A::sectionsOfHeardChanges(set, sections);
        ASSERT_EQ(heard.size(), 2u) << c.name;
        EXPECT_EQ(heard[0].bpm, c.firstBpm) << c.name;
        EXPECT_EQ(heard[1].bpm, c.expected) << c.name;
    }
}

TEST(MetricalLevelOnPulses, APartReadInCrossRhythmComesBackToItsSubdivision) {
    using S = ORVDetectedTempoSection;
    struct Case {
        const char* name;
        double firstBpm;    // the groove over the first 30 s, read at its eighths
        double secondBpm;   // and over the last 20 s
        double readSecond;  // the tempo the tracker gave the last 20 s
        double expected;
    };
    const Case cases[] = {
        // Funk stepping from 96 to 108, the second part followed at 144 (two of its pulses
        // against three eighths), a fourth below the first part's eighths: its eighths, 216.
        {"small step read at a cross-rhythm", 96, 108, 144, 216},
        // Real steps of a fourth, up and down, read at their eighths, stay.
        {"step up a fourth", 90, 120, 240, 240},
        {"step down a fourth", 128, 96, 192, 192},
    };
    for (const Case& c : cases) {
        auto set = silentFeatures(50);
        const std::size_t change = std::size_t(30 / kFrameSeconds);
        const auto groove = [&](double bpm, double from, std::size_t to) {
            const double sixteenths = 4 * bpm;
            for (const int kick : {0, 7, 10}) addBeats(set, {0, 1}, sixteenths, 16, kick, 1.0f, from, to);
            addBeats(set, {2, 3}, sixteenths, 8, 4, 1.0f, from, to);  // snare on 2 and 4
            for (const int ghost : {3, 9, 14}) addBeats(set, {2}, sixteenths, 16, ghost, 0.3f, from, to);
            addBeats(set, {4}, sixteenths, 2, 0, 0.5f, from, to);  // hats on the eighths
        };
        groove(c.firstBpm, 0, change);
        groove(c.secondBpm, double(change), 0);
        const std::vector<S> sections{{0, 30, 2 * c.firstBpm, 0.8, 20}, {30, 50, c.readSecond, 0.8, 13}};
        const auto read = A::sectionsOffCrossRhythms(set, sections);
        ASSERT_EQ(read.size(), 2u) << c.name;
        EXPECT_EQ(read[0].bpm, 2 * c.firstBpm) << c.name;
        EXPECT_EQ(read[1].bpm, c.expected) << c.name;
    }
}

TEST(MetricalLevelOnPulses, BeatPhaseFollowsTheDrumsNotTheHats) {
    const double period = 60.0 / (kFrameSeconds * 124);
    // Kicks on the beats, louder open hats (above 2500 Hz) on the off-beats, the consensus
    // hearing both alike: the beats fall on the kicks.
    auto set = silentFeatures(20);
    addBeats(set, {0, 1}, 124, 1, 0, 0.8f);
    addBeats(set, {3, 4}, 248, 2, 1, 1.0f);
    // Funk: the kicks fall between the beats more often than on them, but snare and hats hold
    // the beats in their bands: the beats stay on the beats.
    auto funk = silentFeatures(20);
    addBeats(funk, {0, 1}, 248, 2, 1, 1.0f);     // kicks on the off-beats
    addBeats(funk, {0, 1}, 248, 4, 0, 0.6f);     // and on every other beat, weaker
    addBeats(funk, {2, 3, 4}, 124, 1, 0, 0.8f);  // snare and hats on the beats
    addBeats(funk, {3, 4}, 248, 2, 1, 0.15f);    // softer hats between
    // Four on the floor under an octave bass and chord chops on every off-beat, as loud as the
    // kicks below 600 Hz and louder above, with open hats there too: only the snare on 2 and
    // 4 tells the beats from the off-beats.
    auto disco = silentFeatures(20);
    addBeats(disco, {0}, 124, 1, 0, 0.8f);          // kicks
    addBeats(disco, {0}, 248, 2, 1, 0.75f);         // the bass's upper octave
    addBeats(disco, {1, 2}, 248, 2, 1, 0.6f);       // chops
    addBeats(disco, {3, 4}, 248, 2, 1, 0.3f);       // open hats
    addBeats(disco, {1, 2, 3, 4}, 124, 2, 1, 0.5f); // snare on 2 and 4
    addBeats(disco, {3, 4}, 124, 2, 0, 0.15f);      // closed hats on 1 and 3
    struct Case {
        const char* what;
        const ORVAudioFeatureSet& features;
    };
    for (const Case& c : {Case{"kicks under off-beat hats", set}, Case{"funk", funk}, Case{"disco", disco}}) {
        const double phase = A::beatGrid(c.features, period, 0, std::int64_t(c.features.consensusEnvelope.size())).beat;
        // (A beat one frame early still meets the onset; the earliest such phase wins.)
        EXPECT_NEAR(std::remainder(phase - 5, period), 0.0, 1.0) << c.what;
    }

    // The phase counts from the start of the features, also over a later span.
    const double later = A::beatGrid(set, period, 500, 1500).beat;
    EXPECT_GE(later, 500.0);
    EXPECT_NEAR(std::remainder(later - 5, period), 0.0, 1.0);
    EXPECT_EQ(A::beatGrid(set, 1.5, 0, 1000).beat, 0.0);
}

ORVLevelEvidence scored(double factor, double score) {
    ORVLevelEvidence e;
    e.factor = factor;
    e.bpm = 100 * factor;
    e.score = score;
    return e;
}

// The place of a feature in kLevelFeatureNames.
std::size_t featureIndex(std::string_view name) {
    return std::size_t(std::find_if(kLevelFeatureNames.begin(), kLevelFeatureNames.end(),
                                    [&](const char* n) { return n == name; }) -
                       kLevelFeatureNames.begin());
}

// The level of the tempo among the levels (within 0.01 BPM).
const ORVLevelEvidence& levelAt(const std::vector<ORVLevelEvidence>& levels, double bpm) {
    return *std::find_if(levels.begin(), levels.end(), [&](const auto& l) { return std::abs(l.bpm - bpm) < 0.01; });
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
        const auto x = [&](const char* name) { return level.features[featureIndex(name)]; };
        // The tempo lies in two neighbouring bands of the prior, shared between them so that
        // their centres, so weighted, give it back.
        double share = 0;
        double octaves = 0;
        int bands = 0;
        for (std::size_t k = 0; k < kTempoBandCount; ++k) {
            const double band = level.features[kFirstTempoBand + k];
            EXPECT_GE(band, 0.0);
            share += band;
            octaves += band * tempoBandCentre(k);
            bands += band > 0;
        }
        EXPECT_NEAR(share, 1.0, 1e-12) << level.bpm;
        EXPECT_NEAR(octaves, std::log2(level.bpm / 120), 1e-12) << level.bpm;
        EXPECT_LE(bands, 2) << level.bpm;
        // The consensus candidate speaks for the level it lies within 4 % of.
        EXPECT_EQ(x("consensusScore"), level.factor == 1 ? 0.7 : 0.0) << level.bpm;
        EXPECT_EQ(x("consensusAgreement"), level.factor == 1 ? 0.6 : 0.0) << level.bpm;
        // The accent rules' own choice is marked; here the backbeat's tempo.
        EXPECT_EQ(x("accentRuleVote"), level.factor == 1 ? 1.0 : 0.0) << level.bpm;
        // The candidate speaks for the level it is the double of, and for the one it is the half of.
        EXPECT_EQ(x("consensusDouble"), level.factor == 0.5 ? 0.7 : 0.0) << level.bpm;
        EXPECT_EQ(x("consensusHalf"), level.factor == 2 ? 0.7 : 0.0) << level.bpm;
        EXPECT_DOUBLE_EQ(level.score, A::levelScore(level.features));
    }
    EXPECT_TRUE(A::levelEvidence(set, {}, {}, 0).empty());
    EXPECT_TRUE(A::levelEvidence(ORVAudioFeatureSet{}, {}, {}, 120).empty());
}

TEST(LevelEvidence, ALevelsQuickerAndTripledMeasuresAreThoseOfTheLevelThere) {
    // Chords across the bands on every other beat at 100, a passing note between them, hats on
    // the eighths: every measure read one level quicker (or at three times the level) is the
    // measure of the candidate at that tempo.
    auto set = silentFeatures(30);
    addBeats(set, {0, 1, 2, 3}, 100, 2, 0, 1.0f);
    addBeats(set, {2}, 100, 2, 1, 0.6f);
    addBeats(set, {4}, 200, 1, 0, 0.4f);
    const auto levels = A::levelEvidence(set, {}, {}, 100);
    struct Pair {
        const char* there;
        const char* own;
        double ratio;
    };
    const Pair pairs[] = {{"leanDouble", "lean", 2},           {"fitDouble", "relativeFit", 2},
                          {"gridFDouble", "gridF", 2},         {"completenessDouble", "completeness", 2},
                          {"breadthDouble", "breadth", 2},     {"swingDouble", "swing", 2},
                          {"tripleThrice", "triple", 3},       {"leanThrice", "lean", 3}};
    int compared = 0;
    for (const auto& level : levels) {
        for (const Pair& p : pairs) {
            for (const auto& other : levels) {
                if (std::abs(other.factor / (p.ratio * level.factor) - 1) > 1e-9) continue;
                EXPECT_NEAR(level.features[featureIndex(p.there)], other.features[featureIndex(p.own)], 1e-12)
                    << p.there << " at " << level.bpm;
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 10);
    // The chords sound wider on every other beat at 100: the breadth speaks for 50 there, and not
    // at 50 itself, whose beats are all chords.
    EXPECT_GT(levelAt(levels, 100).features[featureIndex("breadth")], 0.3);
    EXPECT_LT(levelAt(levels, 50).features[featureIndex("breadth")], 0.05);
}

// 40 s at 95 BPM, kick on 1 and 3, snare on 2 and 4, hats on every sixteenth.
ORVAudioFeatureSet busyBackbeat() {
    auto set = silentFeatures(40);
    addBeats(set, {0}, 95, 2, 0, 1.0f);
    addBeats(set, {1, 2, 3}, 95, 2, 1, 1.0f);
    addBeats(set, {3, 4}, 380, 1, 0, 0.5f);
    return set;
}

TEST(LevelEvidence, AGrooveWithBusySixteenthsIsCountedAtItsBackbeat) {
    // The busy backbeat offered at its eighths and at its beat: the backbeat's tempo is chosen,
    // clearly.
    const auto set = busyBackbeat();
    for (const double offered : {190.0, 95.0}) {
        const auto choice = A::metricalLevel(set, {}, {}, offered);
        EXPECT_NEAR(offered * choice.factor, 95, 1e-9) << offered;
        EXPECT_GT(choice.probability, 0.5) << offered;
    }
}

TEST(LevelEvidence, TheAnalysisHandsOutTheLevelsItChoseAmongAsItScoredThem) {
    // The busy backbeat analysed whole: the levels handed out replay the choice (each score the
    // fitted score of its features, the chosen level the best of them) and the reported tempo is
    // the traced one moved by the chosen factor. Asking for them changes nothing, on one thread
    // or several.
    auto set = busyBackbeat();
    set.firstMeaningfulAudioSeconds = 0;
    const auto plain = A::analyzeFeatures(set);
    ORVLevelTrace trace;
    const auto traced = A::analyzeFeatures(set, ORVWorkerPool(1), {}, &trace);
    ORVLevelTrace threaded;
    const auto onFour = A::analyzeFeatures(set, ORVWorkerPool(4), {}, &threaded);
    for (const auto* m : {&traced, &onFour}) {
        EXPECT_EQ(m->bpm, plain.bpm);
        EXPECT_EQ(m->confidence, plain.confidence);
        EXPECT_EQ(m->ambiguous, plain.ambiguous);
        EXPECT_EQ(m->beatPositionsSeconds, plain.beatPositionsSeconds);
    }
    ASSERT_GT(trace.levels.size(), 1u);
    std::size_t best = 0;
    for (std::size_t k = 0; k < trace.levels.size(); ++k) {
        const auto& level = trace.levels[k];
        EXPECT_EQ(level.score, A::levelScore(level.features)) << level.bpm;
        if (level.score >= trace.levels[best].score) best = k;
        EXPECT_EQ(level.features, threaded.levels[k].features) << level.bpm;
    }
    EXPECT_EQ(trace.choice.factor, trace.levels[best].factor);
    EXPECT_EQ(threaded.tempo, trace.tempo);
    EXPECT_EQ(plain.bpm, A::roundedTempo(trace.tempo * trace.choice.factor));
    EXPECT_NEAR(plain.bpm, 95, 0.5);
}

// Onsets every beat of the tempo with the consensus envelope at `strength` on every
// `every`-th of them (from beat `first`), where addBeats leaves it at 1: the one of a bar
// standing out of the onsets, as a bass note and a chord together make it.
void raiseConsensus(ORVAudioFeatureSet& set, double bpm, int every, int first, double strength) {
    const double period = 60.0 / (kFrameSeconds * bpm);
    for (int beat = 0;; ++beat) {
        const auto frame = std::size_t(std::lround(5 + beat * period));
        if (frame >= set.consensusEnvelope.size()) break;
        set.consensusEnvelope[frame] = (beat - first) % every == 0 ? strength : 1.0;
    }
}

TEST(LevelEvidence, SubdivisionsSoundUnderTheBeatTheyDivide) {
    // A kick and snare backbeat with hats on every eighth (or every triplet) under it: at the
    // backbeat's tempo its eighths (triplets) sound as fully as its beats and the other
    // division stays empty; twice as fast, the triplet hats fall neither on its beats nor
    // halfway between them.
    struct Case {
        const char* what;
        double bpm;
        int perBeat;
        const char* fills;
        const char* empty;
    };
    const Case cases[] = {{"eighths", 92, 2, "eighthsSounding", "tripletsSounding"},
                          {"triplets", 90, 3, "tripletsSounding", "eighthsSounding"}};
    for (const Case& c : cases) {
        auto set = silentFeatures(40);
        addBeats(set, {0}, c.bpm, 2, 0, 1.0f);
        addBeats(set, {1, 2}, c.bpm, 2, 1, 1.0f);
        addBeats(set, {3, 4}, c.bpm * c.perBeat, 1, 0, 0.5f);
        const auto levels = A::levelEvidence(set, {}, {}, c.bpm);
        const auto& beat = levelAt(levels, c.bpm);
        const double sounding = beat.features[featureIndex("beatsSounding")];
        EXPECT_GT(sounding, 1.0) << c.what;
        EXPECT_GT(beat.features[featureIndex(c.fills)], 0.8 * sounding) << c.what;
        EXPECT_LT(beat.features[featureIndex(c.empty)], 0.2 * sounding) << c.what;
        if (c.perBeat == 3) {
            const auto& quicker = levelAt(levels, 2 * c.bpm);
            EXPECT_LT(quicker.features[featureIndex("eighthsSounding")],
                      0.2 * quicker.features[featureIndex("beatsSounding")])
                << c.what;
        }
    }
}

TEST(LevelEvidence, TheBarGroupsTheBeatsInFourOrInThree) {
    // Equal onsets on every beat, the one of each bar louder: four to the bar at 120, three at
    // 150. The level of the bar's beats groups in its own count and not in the other; two-thirds
    // of the tempo (three of its beats one and a half bars of four, or a bar and a half of three)
    // does not group in three.
    struct Case {
        double bpm;
        int perBar;
        const char* own;
        const char* other;
    };
    const Case cases[] = {{120, 4, "groupsInFour", "groupsInThree"}, {150, 3, "groupsInThree", "groupsInFour"}};
    for (const Case& c : cases) {
        auto set = silentFeatures(40);
        addBeats(set, {0, 1, 2, 3, 4}, c.bpm, 1, 0, 1.0f);
        raiseConsensus(set, c.bpm, c.perBar, 0, 2.0);
        const auto levels = A::levelEvidence(set, {}, {}, c.bpm);
        const auto& beat = levelAt(levels, c.bpm);
        EXPECT_GT(beat.features[featureIndex(c.own)], 0.1) << c.bpm;
        EXPECT_LT(beat.features[featureIndex(c.other)], -0.1) << c.bpm;
        EXPECT_LT(levelAt(levels, c.bpm * 2 / 3).features[featureIndex("groupsInThree")], 0.0) << c.bpm;
    }
}

TEST(LevelEvidence, BusyGroovesAndWaltzesAreCountedAtTheirBeat) {
    // Offered at any of the tempi a tracker may follow, each is counted at its beat.
    struct Case {
        const char* what;
        double beat;
        std::vector<double> offered;
        void (*play)(ORVAudioFeatureSet&, double);
    };
    const Case cases[] = {
        // A kick and snare backbeat at 92 with triplet hats under it: not the triplets' 276,
        // nor 184.
        {"triplet groove", 92, {92, 184, 276},
         [](ORVAudioFeatureSet& set, double bpm) {
             addBeats(set, {0}, bpm, 2, 0, 1.0f);
             addBeats(set, {1, 2, 3}, bpm, 2, 1, 1.0f);
             addBeats(set, {3, 4}, 3 * bpm, 1, 0, 0.5f);
         }},
        // A waltz at 150: the bass on the one, chords on two and three, every beat sounding:
        // not the 100 two of its beats and a half make, nor its bar.
        {"waltz", 150, {150, 100, 50},
         [](ORVAudioFeatureSet& set, double bpm) {
             addBeats(set, {0, 1}, bpm, 3, 0, 1.0f);
             addBeats(set, {2, 3}, bpm, 3, 1, 0.6f);
             addBeats(set, {2, 3}, bpm, 3, 2, 0.6f);
             raiseConsensus(set, bpm, 3, 0, 2.0);
         }},
    };
    for (const Case& c : cases) {
        auto set = silentFeatures(40);
        c.play(set, c.beat);
        for (const double offered : c.offered) {
            const auto choice = A::metricalLevel(set, {}, {}, offered);
            EXPECT_NEAR(offered * choice.factor, c.beat, 1e-9) << c.what << " offered at " << offered;
        }
    }
}

}  // namespace
}  // namespace corvel::analysis
