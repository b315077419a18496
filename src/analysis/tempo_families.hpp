#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace corvel::analysis {

// One consensus candidate of an analysis window, as the family tracker reads it.
struct ORVTempoFamilyEvidence {
    double bpm = 0;
    double score = 0;
    double agreement = 0;
    double pulseCompleteness = 0;
    double accentRecurrence = 0;

    friend bool operator==(const ORVTempoFamilyEvidence&, const ORVTempoFamilyEvidence&) = default;
};

// The evidence of one analysis window, centred at centerSeconds.
struct ORVTempoFamilyWindow {
    double centerSeconds = 0;
    std::vector<ORVTempoFamilyEvidence> evidence;

    friend bool operator==(const ORVTempoFamilyWindow&, const ORVTempoFamilyWindow&) = default;
};

// One evidence entry read under a canonical tempo: observed tempo / canonical tempo = factor.
struct ORVTempoFamilyMatch {
    double bpm = 0;
    double score = 0;
    double agreement = 0;
    double pulseCompleteness = 0;
    double accentRecurrence = 0;
    double factor = 1;
    double weightedScore = 0;  // (0.72 x score + 0.28 x agreement) x the factor's weight
};

// A tempo family of one window: a canonical tempo with the evidence at that tempo (direct)
// and at its half, two-thirds, three-halves and double (aliases).
struct ORVTempoFamilyHypothesis {
    double canonicalBPM = 0;
    double observedBPM = 0;     // tempo of the strongest match
    double metricalFactor = 1;  // factor of the strongest match
    double score = 0;           // 0...1
    double agreement = 0;       // largest agreement among the matches, at most 1
    double directSupport = 0;
    double aliasSupport = 0;
    double directPulseCompleteness = 0;
    double directAccentRecurrence = 0;
    double octavePairSupport = 0;  // how strongly the tempo and its half or double are both heard
    bool ambiguous = false;        // heard mostly through aliases

    friend bool operator==(const ORVTempoFamilyHypothesis&, const ORVTempoFamilyHypothesis&) = default;
};

// The family tracker of the analyser (inherited by ORVAudioMusicAnalyzer): regroups a
// window's tempo candidates into families of a canonical tempo and its metrical aliases, so
// that the path through the song can choose a family rather than one metrical level. Pure
// functions, safe on any thread.
struct ORVAnalyzerTempoFamilies {
    // Observed tempo / canonical tempo of the metrical aliases, in this order.
    static constexpr std::array<double, 5> metricalFactors{0.5, 2.0 / 3.0, 1.0, 1.5, 2.0};

    // Up to 8 families of one window, best first, no two within 1.8 % of each other. A
    // reference tempo favours its own family and disfavours its metrical relatives.
    static std::vector<ORVTempoFamilyHypothesis> familyHypotheses(std::span<const ORVTempoFamilyEvidence> evidence,
                                                                  std::optional<double> referenceBPM);

    // The canonical tempi in 40...320 BPM of which the tempo can be an alias, ascending; none
    // for a tempo that is not finite and positive.
    static std::vector<double> aliasCanonicalTempos(double bpm);

    // Appends a tempo in 40...320 BPM unless the list holds one within 1.8 %.
    static void appendDistinctTempo(std::vector<double>& list, double bpm);

    // Mean of the matches' canonical readings (bpm / factor) within 1 % of the strongest
    // match's reading, weighted by their scores; the candidate itself without matches.
    static double weightedCanonicalTempo(double candidate, std::span<const ORVTempoFamilyMatch> matches);

    // Mean weighted score of the first three matches (sorted best first); 0 for none.
    static double topMatchMean(std::span<const ORVTempoFamilyMatch> matches);

    // True when no kept family lies within 1.8 % of the hypothesis's canonical tempo.
    static bool isNewFamily(std::span<const ORVTempoFamilyHypothesis> kept, const ORVTempoFamilyHypothesis& hypothesis);
};

}  // namespace corvel::analysis

template <>
struct std::hash<corvel::analysis::ORVTempoFamilyEvidence> {
    std::size_t operator()(const corvel::analysis::ORVTempoFamilyEvidence& evidence) const noexcept;
};
template <>
struct std::hash<corvel::analysis::ORVTempoFamilyWindow> {
    std::size_t operator()(const corvel::analysis::ORVTempoFamilyWindow& window) const noexcept;
};
template <>
struct std::hash<corvel::analysis::ORVTempoFamilyHypothesis> {
    std::size_t operator()(const corvel::analysis::ORVTempoFamilyHypothesis& hypothesis) const noexcept;
};
