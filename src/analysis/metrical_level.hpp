#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "analysis/beat_grid.hpp"
#include "analysis/level_evidence.hpp"
#include "analysis/periodicity_candidates.hpp"
#include "analysis/section_detection.hpp"

namespace corvel::analysis {

struct ORVAudioFeatureSet;

// How the beats of a grid split into two interleaved halves (even and odd beats), read in
// the band envelopes: the evidence for the grid at half its tempo.
struct ORVGridLean {
    // -1...1: positive when the even beats are the stronger half, weighted by how clearly
    // each band follows the grid; 0 when no band does.
    double lean = 0;
    // 0...1: how much the low band and the 180-2500 Hz bands stress opposite halves (a kick
    // on one beat and a snare on the next): the grid itself is the beat, not its half.
    double backbeat = 0;
    // 0...1: how clearly one beat of every three stands out over the other two (the best of
    // the three rotations): the evidence for the grid at a third of its tempo.
    double tripleAccent = 0;
    // 0...1: how much the low band and the bands above 600 Hz (a snare's crack, cymbals)
    // stress opposite halves, each as clearly as the other (a geometric mean of the two
    // leans): a kick on one beat and a snare or hat on the next. Strongest at the level where
    // the drums alternate; with the backbeat it tells the beat from its subdivision.
    double crossLean = 0;
    // 0...1: how much the onsets between the beats fall late (the long-short pairs of a swung
    // subdivision, about two thirds of the way to the next beat) rather than halfway: a
    // subdivision swung under the beat, which makes the grid's own level the beat.
    double swing = 0;
    // 0...1: how much the bands above 600 Hz stress one half beyond twice what the low band
    // does in the same direction: a snare on every other beat, over kicks anywhere, and not a
    // chord on the one over its root.
    double upperAccent = 0;
    std::int64_t beats = 0;
};

// The accents of a beat grid over stretches of the music, each measure of ORVGridLean (and the
// breadth and swung-beat shares) summed over the beats it was read on, so that stretches add
// up; perBeat() gives their means. Leans count by their size, whichever half they favour.
struct ORVGridAccents {
    double lean = 0, backbeat = 0, triple = 0, cross = 0, swing = 0, upper = 0, breadth = 0, swung = 0;
    double beats = 0;

    ORVGridAccents& operator+=(const ORVGridAccents& o) {
        lean += o.lean;
        backbeat += o.backbeat;
        triple += o.triple;
        cross += o.cross;
        swing += o.swing;
        upper += o.upper;
        breadth += o.breadth;
        swung += o.swung;
        beats += o.beats;
        return *this;
    }
    ORVGridAccents perBeat() const {
        if (!(beats > 0)) return *this;
        return {lean / beats,  backbeat / beats, triple / beats,  cross / beats, swing / beats,
                upper / beats, breadth / beats,  swung / beats,   beats};
    }
};

// The metrical level a listener taps (inherited by ORVAudioMusicAnalyzer): which octave of a
// tempo family is the beat, and where the beats fall. Decided from the band envelopes (low
// drums on the beat, cymbals on the subdivisions) together with the tempo range listeners
// prefer. Pure functions, safe on any thread.
struct ORVAnalyzerMetricalLevel {
    // Log-normal preference of listeners for a beat near 120 BPM: 0 there, falling with the
    // square of the distance in octaves; -infinity for a tempo that is not finite and positive.
    static double tempoPreference(double bpm);

    // The lean of the grid (in frames; its beats counted from grid.beat on) over frames
    // begin ... end - 1 of the features.
    static ORVGridLean gridLean(const ORVAudioFeatureSet& features, const ORVBeatGrid& grid, std::int64_t begin,
                                std::int64_t end);

    // The accents of the beat grid of the period (beatGrid) over frames begin ... end - 1,
    // summed over its beats: with gridLean's, how much more widely its even beats sound than its
    // odd ones (a chord or a struck bass note lights many bands at once, a passing note one) and
    // how much swung eighths sound late between beats that all sound, the cymbals evenly on
    // every beat (a ride on each beat, its skip note before the next).
    static ORVGridAccents gridAccents(const ORVAudioFeatureSet& features, double periodFrames, std::int64_t begin,
                                      std::int64_t end);

    // The grid of beats of the period over frames begin ... end - 1, in frames from the start
    // of the features, its beat on a whole frame: where the onsets are strongest, with the low
    // and middle bands (drums, bass, chords) counting more than the cymbal bands that fill the
    // subdivisions, moved half a beat on when the bands' vote says the beats fall between its
    // beats. Its beat is 0 for a period below 2 frames or an empty span.
    static ORVBeatGrid beatGrid(const ORVAudioFeatureSet& features, double periodFrames, std::int64_t begin,
                                std::int64_t end);

    // The sections with each steady section that stands to a steady neighbour as a
    // cross-rhythm (3:2 or 4:3, give or take octaves) read at 3/2 of its tempo where that grid
    // fits its onsets about as well as its own (each fit weighed by the square root of the
    // grid's points): the tracker followed two of its pulses against three of the beat's
    // subdivision, which puts the part a fourth or a fifth from its neighbour, where the
    // quicker reading is a small step or no change at all, as neighbouring parts of a song
    // mostly are. A real step of a fourth keeps its tempo, as the grid 3/2 as fast falls
    // between its onsets. Ramps are left as they are.
    static std::vector<ORVDetectedTempoSection> sectionsOffCrossRhythms(const ORVAudioFeatureSet& features,
                                                                        std::span<const ORVDetectedTempoSection> sections);

    // The sections with each tempo moved by octaves to lie within half an octave of its
    // neighbour's, outwards from the longest section, a ramp together with the sections it
    // flows through: the tracker may follow one part of a song at its double or half, but a
    // song's parts are counted at one level.
    static std::vector<ORVDetectedTempoSection> sectionsAtOneLevel(std::span<const ORVDetectedTempoSection> sections);

    // How strongly the music sounds on each of the beats (seconds, ascending): its bands' largest
    // onsets within reach of the beat above the bands' mean over the whole span, the low and
    // middle bands counting more than the cymbals, so that a grid on the accents outweighs one
    // on the fills between them.
    static std::vector<double> beatStrengths(const ORVAudioFeatureSet& features, std::span<const double> beats);
    // How clearly the beat grid of the period (beatGrid) meets the onsets over frames
    // begin ... end - 1: the mean onset strength on its beats above the bands' mean, the low
    // and middle bands counting more than the cymbals. 0 for a period below 2 frames or an
    // empty span.
    static double gridFit(const ORVAudioFeatureSet& features, double periodFrames, std::int64_t begin,
                          std::int64_t end);

    // The sections with each steady section whose tempo stands to a steady neighbour at least
    // as long as itself as 2:3, 3:4, 4:3 or 3:2, or within a few percent of it, given that
    // neighbour's tempo when the neighbour's beat grid fits its onsets at least as well as its
    // own: a change the accents don't show (the tracker following a cross-rhythm of the same
    // groove, or drifting off its beat) is no change of the music. Ramps are left as they are.
    static std::vector<ORVDetectedTempoSection> sectionsOfHeardChanges(const ORVAudioFeatureSet& features,
                                                                       std::span<const ORVDetectedTempoSection> sections);

    // A map that wanders freely over beats that breathe (free playing), as sections of a few
    // of its beats each, followed onset by onset: their tempo follows the breathing as far as
    // the onsets show it. Empty when the map holds its tempo or its beats do.
    static std::vector<ORVDetectedTempoSection> breathingSections(const ORVAudioFeatureSet& features,
                                                                  std::span<const ORVDetectedTempoSection> sections);

    // The factor by which the accent rules would multiply the sections' tempi (or `bpm` over the
    // whole span when there are none) so that they count the beat a listener taps: a power of
    // two, or one divided by three (the dotted beat of a compound meter); one factor for the whole
    // map, read on the followed beats when the map holds free playing. Only levels within
    // 40...320 BPM are considered; 1 when the tempo is not usable. One feature of the
    // evidence-based choice below.
    static double accentRuleFactor(const ORVAudioFeatureSet& features,
                                   std::span<const ORVDetectedTempoSection> sections, double bpm);
    // The metrical level a listener taps, chosen by the fitted score over the measured evidence of
    // every candidate level (the whole-span consensus candidates among it), with how clearly it
    // won over the runner-up.
    static ORVLevelChoice metricalLevel(const ORVAudioFeatureSet& features,
                                        std::span<const ORVAnalyzerPeriodicity::InternalCandidate> candidates,
                                        std::span<const ORVDetectedTempoSection> sections, double bpm);
    // The candidate levels metricalLevel chooses among, measured as it measures them (free
    // playing on its evened beats), each with its features and fitted score: what the level
    // weights are fitted on.
    static std::vector<ORVLevelEvidence> metricalLevelEvidence(
        const ORVAudioFeatureSet& features, std::span<const ORVAnalyzerPeriodicity::InternalCandidate> candidates,
        std::span<const ORVDetectedTempoSection> sections, double bpm);
};

}  // namespace corvel::analysis
