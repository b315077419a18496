#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "analysis/analysis_errors.hpp"
#include "analysis/analysis_driver.hpp"
#include "analysis/analysis_entry_points.hpp"
#include "audio/reading/audio_source.hpp"
#include "analysis/global_path_solver.hpp"
#include "analysis/level_evidence.hpp"
#include "analysis/local_tempo_tracking.hpp"
#include "analysis/metrical_level.hpp"
#include "analysis/onset_measures.hpp"
#include "analysis/periodicity_candidates.hpp"
#include "analysis/section_detection.hpp"
#include "analysis/section_refinement.hpp"
#include "analysis/tempo_families.hpp"
#include "analysis/tracking_tuning.hpp"
#include "common/error.hpp"
#include "common/numeric.hpp"

namespace corvel::analysis {

// The tempi of a pulse that is the eighths of the beat, grouped in twos (4/4) or in threes (a
// compound meter: 6/8, 12/8).
inline constexpr double kSlowestEighthsBPM = 150.0;
inline constexpr double kFastestEighthsBPM = 270.0;

// Onset envelopes of one decoded span; frame k covers samples k x hop ... (k + 1) x hop - 1
// of the span.
struct ORVAudioFeatureSet {
    static constexpr std::size_t kFeatureCount = 8;

    double frameSeconds = 0;
    // 0 full band, 1 below 180 Hz, 2 180-600 Hz, 3 600-2500 Hz, 4 2500 Hz-top corner,
    // 5 above the top corner, 6 first difference, 7 the combined band envelope.
    std::array<std::vector<double>, kFeatureCount> featureEnvelopes;
    std::vector<double> consensusEnvelope;
    // The band-split envelopes 1 to 5 before their normalisation: rises in log energy, not
    // capped, so that a loud onset of a band still outweighs a faint one. Empty when absent.
    static constexpr std::size_t kSplitBandCount = 5;
    std::array<std::vector<float>, kSplitBandCount> bandOnsetStrengths;
    double durationSeconds = 0;
    std::optional<double> firstMeaningfulAudioSeconds;
    // The RMS of all channels per eighth of a hop, from the span's start: where the beats of a
    // grid are placed finer than a frame. Empty when absent.
    std::vector<float> fineEnergy;
    float loudestFineEnergy = 0;  // its largest value, 0 when absent
    double fineFrameSeconds = 0;

    // The frame nearest a time, clipped to the envelopes.
    std::int64_t frameAt(double seconds) const {
        return std::clamp<std::int64_t>(roundedInt64(seconds / frameSeconds), 0, frameCount());
    }
    // The frames from one time to another, clipped to the envelopes; never ending before they begin.
    std::pair<std::int64_t, std::int64_t> framesBetween(double startSeconds, double endSeconds) const {
        const std::int64_t begin = frameAt(startSeconds);
        return {begin, std::max(frameAt(endSeconds), begin)};
    }
    std::int64_t frameCount() const { return static_cast<std::int64_t>(consensusEnvelope.size()); }
};

// The tempo analyser. Stateless: every operation is a static function, the tempo relations,
// the onset measures, the periodicity search, the family tracker and its path through the
// song, the windowed local tracking, the section detection and refinement and the driver that
// strings them together and its entry points for
// the editor included.
struct ORVAudioMusicAnalyzer : ORVAnalyzerTempoRelations,
                               ORVAnalyzerOnsetMeasures,
                               ORVAnalyzerPeriodicity,
                               ORVAnalyzerSectionDetection,
                               ORVAnalyzerSectionRefinement,
                               ORVAnalyzerTempoFamilies,
                               ORVAnalyzerTempoPath,
                               ORVAnalyzerLocalTracking,
                               ORVAnalyzerMetricalLevel,
                               ORVAnalyzerLevelEvidence,
                               ORVAnalyzerDriver,
                               ORVAnalyzerEntryPoints {
    // Decodes the file (or a span of it) into onset envelopes. Throws ErrorException:
    // the reader's own errors unchanged, or the analysis errors 2003 to 2006.
    // The progress span hears the share of the span's frames read so far.
    static ORVAudioFeatureSet decodeFeatureEnvelopes(const std::filesystem::path& file,
                                                     std::optional<ORVAnalysisRange> range = std::nullopt,
                                                     ORVProgressSpan progress = {});
    // The same on an open source, from its current state.
    static ORVAudioFeatureSet decodeFeatureEnvelopes(audio::AudioSource& source,
                                                     std::optional<ORVAnalysisRange> range = std::nullopt,
                                                     ORVProgressSpan progress = {});

    // Adaptive whitening, in place: subtracts 0.78 x the mean of a window of about +-0.3 s,
    // floors at 0.
    static void suppressLocalMean(std::vector<double>& envelope, double frameSeconds);
    // Divides by the 95th percentile and caps at 1, unless that percentile is not above 1e-12.
    static void normalizeByPercentile95(std::vector<double>& envelope);

    // The first frame of the first sustained sound above the noise floor of a full-band energy
    // curve (RMS per frame); none when nothing rises above it.
    static std::optional<std::size_t> firstSustainedSoundFrame(std::span<const double> energy, double frameSeconds);

    // Envelope frames hold this many samples at the given rate (512 at 44.1 kHz, never below 128).
    static std::int64_t hopSamples(double sampleRate);
};

}  // namespace corvel::analysis
