#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corvel::analysis {

// A value with its weight, for the weighted median.
struct ORVWeightedValue {
    double value = 0;
    double weight = 0;
};

// How far the beats of a grid lie from the nearest onset peaks, in seconds.
struct ORVGridErrorStatistics {
    double median = 0;
    double percentile95 = 0;
    double endDrift = 0;  // distance of the last beat
};

// The grid fit and the pulse completeness of one grid.
struct ORVGridScores {
    double gridFit = 0;
    double pulseCompleteness = 0;
};

// Measures of an onset envelope and of a beat grid laid over it (inherited by
// ORVAudioMusicAnalyzer). Frame k of an envelope stands for time k x frameSeconds; periods
// and phases are in frames. Pure functions, safe on any thread.
struct ORVAnalyzerOnsetMeasures {
    // Local maxima at or above max(80th percentile, 0.08), ascending; each frame of a plateau counts.
    static std::vector<std::int64_t> onsetPeakFrames(std::span<const double> envelope);

    // The whole-frame phase in 0 ... ceil(period) - 1 whose beats meet the strongest envelope
    // (mean of the +-1-frame maxima); the first on ties; 0 for a period below 2 frames.
    static double bestBeatPhase(std::span<const double> envelope, double periodFrames);
    // What the phase search reads of an envelope of n frames: for every frame c of 0 ... n the
    // largest value of frames c - 1 ... c + 1 (clipped, floor 0); empty for an empty envelope.
    static std::vector<double> beatPhaseMaxima(std::span<const double> envelope);
    // The same in `maxima`, whose room is used again.
    static void beatPhaseMaxima(std::span<const double> envelope, std::vector<double>& maxima);
    // bestBeatPhase from the envelope's beatPhaseMaxima, for callers that try many periods on
    // one envelope; the same phase.
    static double bestBeatPhaseOfMaxima(std::span<const double> maxima, double periodFrames);

    // 0...1: onset peaks on the grid against beats on an onset (F measure), with a little
    // of the envelope strength at the beats. Peaks ascending.
    static double gridFitScore(std::span<const std::int64_t> onsetPeaks, std::int64_t frameCount,
                               std::span<const double> envelope, double periodFrames, double phaseFrames);

    // 0...1: how evenly the even and the odd beats of the grid are both present.
    static double pulseCompletenessScore(std::span<const double> envelope, double periodFrames,
                                         double phaseFrames);
    // Both of the above for a grid over the whole envelope, each exactly as on its own (the
    // beats' strengths read once where both use the same windows).
    static ORVGridScores gridScores(std::span<const std::int64_t> onsetPeaks, std::span<const double> envelope,
                                    double periodFrames, double phaseFrames);

    // The value at which the running weight (negative weights count as 0) of the value-sorted
    // pairs reaches half the total; the middle value when no weight is positive; 0 for none.
    static double weightedMedian(std::span<const ORVWeightedValue> pairs);

    // Distance from t to the nearest of the ascending times; +infinity when there are none.
    static double nearestDistance(std::span<const double> ascendingTimes, double t);

    // Distances of the beats (seconds, ascending) to the nearest onset peak: median, 95th
    // percentile and that of the last beat; all +infinity without beats or peaks.
    static ORVGridErrorStatistics gridErrorStatistics(std::span<const double> envelope,
                                                      std::span<const double> beatTimes, double frameSeconds);

    // The phase (seconds) of a grid of the period, found to within a frame or two of its
    // onsets, moved to where the level of the audio rises most over its beats from `from` to
    // `to` seconds: fineEnergy is the RMS per fine frame of fineFrameSeconds, and the search
    // reaches from `before` seconds before each beat to `after` seconds after it. Linear in
    // level, so the attack of a note outweighs the faint smear that lossy coding spreads ahead
    // of it, and a grid lands on the same time, to a fraction of a fine frame, in every copy
    // of a song. The phase unchanged where nothing rises near the beats.
    static double onsetAlignedPhase(std::span<const float> fineEnergy, double fineFrameSeconds, double phaseSeconds,
                                    double periodSeconds, double fromSeconds, double toSeconds, double beforeSeconds,
                                    double afterSeconds);

    // 0...1: how strongly the beat strengths repeat every 2, 4 and 8 beats (mean positive
    // correlation); 0 for fewer than 256 frames or a period below 2 frames.
    static double measureAccentRecurrence(std::span<const double> envelope, double periodFrames);
    // The same, from the envelope's beatPhaseMaxima made once for many periods.
    static double measureAccentRecurrence(std::span<const double> envelope, std::span<const double> phaseMaxima,
                                          double periodFrames);
};

}  // namespace corvel::analysis
