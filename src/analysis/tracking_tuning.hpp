#pragma once

#include <cstdint>
#include <string_view>

namespace corvel::analysis {

// The fixed tuning of the tempo tracker: window lengths of the local tracker, weights and
// costs of the family tracker and the path solver, search widths of section refinement.
// One shared instance, built once on first use and never changed; stages that want their
// own copy take it by value.
struct ORVTempoTrackingTuning {
    double shortWindowSeconds = 6.0;
    double mediumWindowSeconds = 12.0;
    double longWindowSeconds = 24.0;
    double windowStepSeconds = 1.5;
    std::int64_t candidatesPerWindow = 8;
    std::int64_t mergedCandidateLimit = 12;
    double mergeWeightPrimary = 0.88;
    double mergeWeightSecondary = 0.68;
    double continuityBonus = 0.06;
    double changeCost = 0.105;
    double directEmissionWeight = 0.08;
    double crossSupportEmissionWeight = 0.22;
    double ambiguityPenalty = 0.05;
    double referenceStartBonus = 0.035;
    double weakDirectThreshold = 0.24;
    double weakDirectJumpCost = 0.08;
    double tempoDistanceCostPerOctave = 0.03;
    double tempoDistanceCostCap = 0.04;
    double ambiguousMarginThreshold = 0.035;
    double octavePairThreshold = 0.42;
    double octavePairJumpCost = 0.18;
    double doubleRatioThreshold = 0.68;
    double doublePulseThreshold = 0.58;
    double doublePenaltyScale = 0.2;
    double doubleAccentMargin = 0.035;
    double doubleAccentPenaltyCap = 0.12;
    double continuityTolerance = 0.028;
    double boundaryPaddingSeconds = 0.2;
    double maxBoundaryWindowSeconds = 12.0;
    double referenceBeatsShort = 6.0;
    double referenceBeatsLong = 12.0;
    double referenceMaxSeconds = 5.0;
    double referenceGapSeconds = 0.15;
    double boundaryScanStepSeconds = 0.01;
    double onsetSnapFraction = 0.18;
    double onsetSnapMaxSeconds = 0.085;

    // The process-wide instance; safe to call first from any thread.
    static const ORVTempoTrackingTuning& shared();
};

// How two tempi relate: the same pulse, an octave pair, a three-to-two pair, or none of these.
enum class ORVTempoRelation { same, octave, threeToTwo, unrelated };

// "same", "octave", "threeToTwo", "unrelated".
std::string_view rawValue(ORVTempoRelation relation);

// Tempo comparisons shared by every stage of the analyser (inherited by ORVAudioMusicAnalyzer).
struct ORVAnalyzerTempoRelations {
    // |a - b| / max(|a|, |b|), the divisor never below 1e-9.
    static double relativeTempoDifference(double a, double b);
    // A tempo that can be compared at all: finite and positive.
    static bool isUsableTempo(double bpm);
    // A tempo as the analyser reports it: rounded to 0.05 BPM, halves away from zero.
    static double roundedTempo(double bpm);

    // Same pulse within 3.5 %, else an octave or three-to-two pair within 0.04 of the ratio;
    // a tempo that is not finite or not positive relates to nothing.
    static ORVTempoRelation tempoRelation(double a, double b);
    // Octave or three-to-two pair.
    static bool isMetricalAlias(double a, double b);
    // The three-to-two ratio test alone, without asking first whether the tempi are the same.
    static bool isThreeToTwo(double a, double b);
};

}  // namespace corvel::analysis
