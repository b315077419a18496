#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corvel::analysis {

// The tempo of one analysis window of the local tracker.
struct ORVLocalTempoObservation {
    double centerSeconds = 0;  // centre of the analysis window
    double bpm = 0;            // canonical tempo of the chosen family, in 0.05-BPM steps
    double confidence = 0;     // 0...1
    double observedBPM = 0;    // tempo as heard in the window, in 0.05-BPM steps
    double metricalFactor = 1;  // observedBPM relative to bpm, as the family tracker states it
    bool metricalAmbiguous = false;  // the tracker left the metrical level open
};

// A stretch of constant tempo. Sections come in time order, each starting where the previous
// one ends.
struct ORVDetectedTempoSection {
    double startSeconds = 0;
    double endSeconds = 0;  // never before startSeconds
    double bpm = 0;         // in 0.05-BPM steps
    double confidence = 0;  // 0...1
    std::int64_t observationCount = 0;
    // The tempo runs in a straight line from bpm at startSeconds to the next section's bpm at
    // its start (a ramp); false: bpm holds until the next section.
    bool linearToNext = false;
};

// Cuts the chronological window tempi into constant-tempo sections (inherited by
// ORVAudioMusicAnalyzer). Pure functions, safe on any thread.
struct ORVAnalyzerSectionDetection {
    // Observations with a finite time, a positive finite tempo and a confidence of at least 0.24,
    // in time order, become sections from audioStartSeconds (0 when below) to durationSeconds.
    // A new section starts where a different tempo holds for 3 observations over 2.75 s or more;
    // shorter detours are absorbed. Neighbours of nearly the same tempo are merged.
    static std::vector<ORVDetectedTempoSection> detectSections(std::span<const ORVLocalTempoObservation> observations,
                                                               double audioStartSeconds, double durationSeconds);

    // Every observation but the first and the last takes the median tempo and the median
    // confidence of itself and its two neighbours; fewer than 3 stay as they are.
    static std::vector<ORVLocalTempoObservation> smoothObservations(
        std::span<const ORVLocalTempoObservation> observations);

    // The section of a run: its confidence-weighted median tempo in 0.05-BPM steps and its
    // mean confidence; tempo and confidence 0 for an empty run.
    static ORVDetectedTempoSection makeSection(std::span<const ORVLocalTempoObservation> run, double startSeconds,
                                               double endSeconds);

    // Folds each section into its predecessor when their tempi match, weighting tempo and
    // confidence by the observation counts. A ramp (or the section one flows into) stays apart.
    static std::vector<ORVDetectedTempoSection> mergeAdjacentSections(
        std::span<const ORVDetectedTempoSection> sections);

    // Two tempi belong to one section when they differ by at most 1.8 % of the faster one,
    // and never less than 2.25 BPM.
    static bool sectionTemposMatch(double a, double b);
};

}  // namespace corvel::analysis
