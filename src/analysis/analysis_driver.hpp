#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/analysis_errors.hpp"
#include "analysis/analysis_progress.hpp"
#include "analysis/level_evidence.hpp"
#include "analysis/local_tempo_tracking.hpp"
#include "analysis/periodicity_candidates.hpp"
#include "analysis/section_detection.hpp"
#include "analysis/tempo_refiner.hpp"
#include "analysis/worker_pool.hpp"
#include "common/uuid.hpp"
#include "core/tempo_map_records.hpp"

namespace corvel::analysis {

struct ORVAudioFeatureSet;

// A span of the file to analyse, in seconds from its start.
struct ORVAnalysisRange {
    double startSeconds = 0;
    double endSeconds = 0;
};

// How one analysis runs: on how many threads, and whom it tells how far it got.
struct ORVAnalysisControl {
    // 0: one thread per hardware thread. The result is the same for any count.
    std::size_t threadCount = 0;
    // Told the fraction done (0 ... 1, rising, ending at 1 on success) from the analysis's own
    // threads, one call at a time, never after the analysis returned.
    ORVAnalysisProgress::Listener progress;
};

// One tempo candidate of the whole-span consensus as the measurement reports it.
struct ORVMusicTempoCandidate {
    Uuid id = Uuid::random();
    double bpm = 0;  // in 0.05-BPM steps
    double score = 0;
    double autocorrelation = 0;
    double gridFit = 0;
    double agreement = 0;
};

// The result of one tempo analysis. Times count from the start of the analysed span.
struct ORVMusicTempoMeasurement {
    double bpm = 0;  // in 0.05-BPM steps
    std::vector<ORVMusicTempoCandidate> candidates;  // at most 8, best first
    double confidence = 0;                            // 0...1
    bool ambiguous = false;                           // half or double tempo stays open
    double durationSeconds = 0;
    std::optional<double> firstMeaningfulAudioSeconds;
    double onsetDensity = 0;  // consensus frames at or above 0.25 per second
    double autocorrelation = 0;
    double gridFit = 0;
    double featureAgreement = 0;
    double trackingStability = 0;
    std::vector<ORVDetectedTempoSection> sections;
    std::vector<ORVLocalTempoObservation> localObservations;
    bool tempoMapReliable = false;  // the sections may be shown as a variable tempo map
    std::vector<double> beatPositionsSeconds;
    double medianGridErrorSeconds = 0;
    double percentile95GridErrorSeconds = 0;
    double endDriftSeconds = 0;
    std::string reason;
};

// The best whole-span consensus candidate, or what the tracker's first section lends in its
// place when the consensus found nothing.
struct ORVConsensusTop {
    double bpm = 0;
    double score = 0;
    double agreement = 0;
    double autocorrelation = 0;
    double gridFit = 0;
};

// The candidate metrical levels as the analysis scored them for its choice, each with the
// features fed to the score: what the level weights are fitted on. Their factors count from
// `tempo`, the tempo before the level moved it (unrounded).
struct ORVLevelTrace {
    double tempo = 0;
    std::vector<ORVLevelEvidence> levels;
    ORVLevelChoice choice;
};

// The analysis driver (inherited by ORVAudioMusicAnalyzer): decodes, runs the whole-span
// consensus and the windowed tracker, decides the metrical level, whether the sections form a
// variable tempo map or one constant pulse, and how sure and how ambiguous the result is.
// Synchronous and pure apart from reading the file; safe to run several at once.
struct ORVAnalyzerDriver {
    // The whole file, or the span of it. Throws ErrorException: the decoder's and reader's
    // errors unchanged, 2001 for fewer than 192 envelope frames, 2002 when neither the
    // consensus nor the tracker finds a pulse.
    static ORVMusicTempoMeasurement analyze(const std::filesystem::path& file,
                                            std::optional<ORVAnalysisRange> range = std::nullopt,
                                            const ORVAnalysisControl& control = {});
    // Everything after the decode, on its onset envelopes, on the pool; progress covers this part.
    // `levels`, when given, receives the candidate levels the choice was made among.
    static ORVMusicTempoMeasurement analyzeFeatures(const ORVAudioFeatureSet& features,
                                                    const ORVWorkerPool& pool = ORVWorkerPool(1),
                                                    ORVProgressSpan progress = {}, ORVLevelTrace* levels = nullptr);

    // The consensus tempo to hand the tracker as its reference: none when the best candidate
    // is weak or a metrical relative of nearly its strength shadows it.
    static std::optional<double> preferredConsensusTempo(std::span<const ORVAnalyzerPeriodicity::InternalCandidate> candidates);
    // Confidence-weighted median tempo of the observations; none for none.
    static std::optional<double> observationMedianTempo(std::span<const ORVLocalTempoObservation> observations);

    // Building blocks of analyzeFeatures, open for tests.

    // The tempo the windows support: the first section's when the tracking is reliable (at the
    // level the tracker measured it), else the consensus tempo, pulled towards the
    // observations' median when that is the same pulse.
    static double localTempo(const ORVConsensusTop& top, const ORVLocalTempoTracking& tracking);
    // Where the whole-song refinement starts: the local tempo, unless it is a metrical relative
    // of the consensus tempo (or not usable), then the consensus tempo.
    static double refinementTempo(double consensusBPM, double localBPM);
    // The whole-song refinement, started at refinementTempo. When the consensus and the local
    // tempo are three to two apart, one of them runs a cross-rhythm across the other's beats:
    // its grid meets the onsets only where the two grids cross and drifts between them. Both
    // are refined then, and the tracked one stands where its grid fits the onsets clearly more
    // steadily.
    struct StartedRefinement {
        double startBPM = 0;
        std::optional<SetwrightMusicTempoRefiner::Refinement> refinement;
    };
    static StartedRefinement wholeSongRefinement(std::span<const double> envelope, double hopSeconds,
                                                 double consensusBPM, double localBPM);
    // The measurement from the stages' results; localBPM and refinementBPM as above, the
    // refinement the one started at refinementBPM. The tempo and sections are then moved, all
    // by one factor, to the metrical level a listener taps, and the candidates list that
    // tempo first, then its double and half. The beats start at Bar 1 (barOneBeat), where the
    // editor's bar count begins. `levels`, when given, receives the candidate levels the choice
    // was made among.
    static ORVMusicTempoMeasurement assembleMeasurement(
        const ORVAudioFeatureSet& features, std::span<const ORVAnalyzerPeriodicity::InternalCandidate> candidates,
        const ORVConsensusTop& top, const ORVLocalTempoTracking& tracking, double localBPM, double refinementBPM,
        const std::optional<SetwrightMusicTempoRefiner::Refinement>& refinement, ORVLevelTrace* levels = nullptr);
    // The beats of the sections' tempo map (one section at `bpm` from the first meaningful audio
    // when there are none): from the first beat of the first section's best beat phase (drums
    // and bass counting before cymbals), one beat per quarter of the map to the end of the span.
    // A beat due just before the span's start is its first sound, at 0 s, when the span sounds
    // from its start. Empty when the tempo gives no period of at least 2 frames. At most 200000
    // beats.
    static std::vector<double> predictedBeatGrid(const ORVAudioFeatureSet& features, double bpm,
                                                 std::span<const ORVDetectedTempoSection> sections);
    // Whether the music shows the tempo changes of a map (its sections and their beats; a map
    // of breathing sections when `breathes`) against one steady tempo, `steadyBpm`, over the
    // whole span: some section at another tempo, or ramping, explains its onsets clearly more
    // strongly on its own beats than the steady beats do there, on every beat or on every
    // other one (the steady tempo's level may count half as many accents); a breathing map
    // pays for each of its tempo points. True when there is nothing to compare.
    static bool tempoChangesHeard(const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections,
                                  std::span<const double> mapBeats, bool breathes, double steadyBpm);
    // Which of the first beats of the music Bar 1 falls on (0 to 3; those before it are a
    // pickup): of the four places a bar of four may start, the earliest whose beats the low
    // band (kick, bass) does not accent clearly less than the most accented place's over the
    // first twelve bars, on average and bar by bar, or accents clearly more than the beats on
    // either side of them (one or three of a bar). 0 when the low band accents none.
    static std::size_t barOneBeat(const ORVAudioFeatureSet& features, std::span<const double> beats);
    // The sections with every tempo change placed so that the map's beats after it fall on the
    // new tempo's own beats: a step moves to where the old beats give way to the new ones, a
    // ramp that flows into a section bends its start tempo a little. The first section's
    // beats, and so Bar 1, stay where they are.
    static std::vector<ORVDetectedTempoSection> phaseAlignedSections(
        const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections);
    // The tempo map of the sections: one point per section at its start (the first at 0 s,
    // with a constant lead-in when a ramp starts later), tempi folded by octaves into the
    // editor's 30...300 BPM.
    static std::vector<BeatloomTempoPoint> sectionTempoPoints(std::span<const ORVDetectedTempoSection> sections);
    // A tempo doubled or halved until the editor takes it (30...300 BPM); others as they are.
    static double editableTempo(double bpm);
};

}  // namespace corvel::analysis
