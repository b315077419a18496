#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "analysis/periodicity_candidates.hpp"
#include "analysis/section_detection.hpp"

namespace corvel::analysis {

struct ORVAudioFeatureSet;

// The tempo listeners most readily tap, and the range in which a metrical level is chosen.
inline constexpr double kPreferredLevelTempo = 120;
inline constexpr double kSlowestLevelTempo = 40;
inline constexpr double kFastestLevelTempo = 320;

// The measured features of one candidate metrical level, in this order (the weights that
// score them are fitted to a corpus by bench/fit_level_weights.py).
inline constexpr std::array<const char*, 49> kLevelFeatureNames{
    "consensusScore",     // score of the whole-span consensus candidate at the level, 0 when none
    "consensusAgreement", // share of the features behind that candidate
    "accentRecurrence",   // recurrence of its beat strengths over 2, 4 and 8 beats
    "relativeFit",        // how far the level's beats stand above the bands' floor, over the best level's
    "lean",               // even against odd beats of the level: evidence for its half
    "leanDouble",         // the same one level quicker: evidence for this level over its subdivision
    "backbeat",           // kick against snare on alternate beats of the level
    "backbeatDouble",
    "crossLean",          // low band against the bands above 600 Hz on alternate beats
    "crossLeanDouble",
    "upperAccent",        // the upper bands alone stressing alternate beats
    "upperAccentDouble",
    "triple",             // one beat in three standing out: evidence for a third of the level
    "tripleThrice",       // the same at three times the level: evidence for this level over its triplets
    "swing",              // onsets between the beats falling late, as in a swung pair
    "onsetsPerBeat",      // log2 of the onset peaks per beat of the level
    "onsetsPerBeatSquared",
    "accentRuleVote",     // 1 for the level the accent rules of the metrical level choose, else 0
    "consensusDouble",    // consensusScore one level quicker
    "consensusHalf",      // consensusScore one level slower
    "fitDouble",          // relativeFit one level quicker
    "gridF",              // onset peaks on the level's beats against its beats on an onset (F measure)
    "gridFDouble",        // the same one level quicker
    "completeness",       // how evenly the level's even and odd beats both sound
    "completenessDouble", // the same one level quicker
    "breadth",            // even against odd beats of the level in how many bands sound: chords on every other beat
    "breadthDouble",      // the same one level quicker
    "swungBeats",         // swung eighths between beats of the level that all sound
    "leanThrice",         // lean at three times the level: against tripleThrice, eighths heard in twos
    "swingDouble",        // swing one level quicker: a swung subdivision under the half of the level
    "beatsSounding",      // how strongly the level's beats sound: the onsets on them over the onsets' mean
    "eighthsSounding",    // the same halfway between its beats
    "tripletsSounding",   // the same a third and two thirds of the way
    "groupsInFour",       // the onsets recur more over four beats of the level than over three
    "groupsInThree",      // ... over three beats than over two or four
    "tempoBand0",         // the tempo within a quarter octave of 36 BPM, 1 at it
    "tempoBand1",         // the tempo within a quarter octave of 42 BPM, 1 at it
    "tempoBand2",         // the tempo within a quarter octave of 50 BPM, 1 at it
    "tempoBand3",         // the tempo within a quarter octave of 60 BPM, 1 at it
    "tempoBand4",         // the tempo within a quarter octave of 71 BPM, 1 at it
    "tempoBand5",         // the tempo within a quarter octave of 85 BPM, 1 at it
    "tempoBand6",         // the tempo within a quarter octave of 101 BPM, 1 at it
    "tempoBand7",         // the tempo within a quarter octave of 120 BPM, 1 at it
    "tempoBand8",         // the tempo within a quarter octave of 143 BPM, 1 at it
    "tempoBand9",         // the tempo within a quarter octave of 170 BPM, 1 at it
    "tempoBand10",        // the tempo within a quarter octave of 202 BPM, 1 at it
    "tempoBand11",        // the tempo within a quarter octave of 240 BPM, 1 at it
    "tempoBand12",        // the tempo within a quarter octave of 285 BPM, 1 at it
    "tempoBand13",        // the tempo within a quarter octave of 339 BPM, 1 at it
};
inline constexpr std::size_t kLevelFeatureCount = kLevelFeatureNames.size();
// The tempo prior is fitted, not shaped by hand: triangles a quarter octave wide either side of
// centres a quarter octave apart over the range of levels (1.75 octaves below 120 BPM to 1.5
// above), each level's tempo shared between the two it falls between.
inline constexpr double kTempoBandOctaves = 0.25;
inline constexpr std::size_t kTempoBandCount = 14;
inline constexpr std::size_t kFirstTempoBand = kLevelFeatureCount - kTempoBandCount;
// The centre of tempo band k, in octaves from 120 BPM.
constexpr double tempoBandCentre(std::size_t k) { return (static_cast<double>(k) - 7) * kTempoBandOctaves; }

// One candidate metrical level of a tempo: the tempo times a power of two, or that divided or
// multiplied by three, within 40...320 BPM.
struct ORVLevelEvidence {
    double factor = 1;
    double bpm = 0;
    std::array<double, kLevelFeatureCount> features{};
    // The fitted score (log odds against the other levels).
    double score = 0;
};

// The choice among the candidate levels: the best by score, how much better it scores than
// the runner-up (log odds), and the probability the fitted model gives it.
struct ORVLevelChoice {
    double factor = 1;
    double margin = 0;
    double probability = 1;
    double runnerUpFactor = 1;
};

// The metrical level a listener taps, decided from measured evidence (inherited by
// ORVAudioMusicAnalyzer). Pure functions, safe on any thread.
struct ORVAnalyzerLevelEvidence {
    // The candidate levels of `bpm` (the sections' tempi, when there are sections, scaled
    // alike), each with its features and fitted score, slowest first. Empty when the tempo is
    // not usable.
    // `ruleFactor`: the accent rules' level when the caller has it, else they are asked here.
    static std::vector<ORVLevelEvidence> levelEvidence(const ORVAudioFeatureSet& features,
                                                       std::span<const ORVAnalyzerPeriodicity::InternalCandidate> candidates,
                                                       std::span<const ORVDetectedTempoSection> sections, double bpm,
                                                       std::optional<double> ruleFactor = std::nullopt);
    // The fitted score of a level's features.
    static double levelScore(const std::array<double, kLevelFeatureCount>& features);
    // The best of the levels (the quicker on a tie); factor 1 and probability 1 for none.
    static ORVLevelChoice chooseLevel(std::span<const ORVLevelEvidence> levels);
};

}  // namespace corvel::analysis
