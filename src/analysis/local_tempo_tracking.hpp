#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/analysis_progress.hpp"
#include "analysis/global_path_solver.hpp"
#include "analysis/periodicity_candidates.hpp"
#include "analysis/section_detection.hpp"
#include "analysis/tempo_families.hpp"
#include "analysis/tracking_tuning.hpp"
#include "analysis/worker_pool.hpp"

namespace corvel::analysis {

struct ORVAudioFeatureSet;

// How the tempo moves through a song: one observation per analysis window along the chosen
// path, the constant-tempo sections cut from them, and whether those are solid enough to be
// shown as a tempo map. Empty and not reliable when the song had no usable window.
struct ORVLocalTempoTracking {
    std::vector<ORVLocalTempoObservation> observations;
    std::vector<ORVDetectedTempoSection> sections;
    bool isReliable = false;
    double stability = 0;  // 0...1: how steadily the path keeps its tempo from window to window
    double agreement = 0;  // mean family agreement along the path, 0...1
};

// Frame counts of the analysis windows at one envelope rate.
struct ORVLocalTrackingWindows {
    std::int64_t shortLength = 0;
    std::int64_t mediumLength = 0;
    std::int64_t longLength = 0;
    std::int64_t hop = 0;
    std::int64_t minimumShortLength = 0;  // a shorter last window is skipped
};

// Frames begin ... end - 1 of an envelope.
struct ORVFrameSpan {
    std::int64_t begin = 0;
    std::int64_t end = 0;

    friend bool operator==(const ORVFrameSpan&, const ORVFrameSpan&) = default;
};

// The three windows around one analysis position; a medium or long window that the end of
// the song cuts shorter than the next shorter length is left out.
struct ORVLocalTrackingWindowSpans {
    ORVFrameSpan shortSpan;
    std::optional<ORVFrameSpan> mediumSpan;
    std::optional<ORVFrameSpan> longSpan;

    friend bool operator==(const ORVLocalTrackingWindowSpans&, const ORVLocalTrackingWindowSpans&) = default;
};

// The windowed local tempo tracker (inherited by ORVAudioMusicAnalyzer): slides windows of
// three lengths over the feature envelopes, pools each window's consensus candidates into one
// evidence list, lets the family tracker and the global path choose a tempo per window, and
// cuts and refines sections from that path. Pure functions, safe on any thread.
struct ORVAnalyzerLocalTracking {
    // The candidates of one window that share a tempo, pooled across the three window lengths.
    struct Bucket {
        double bpm = 0;
        double score = 0;
        double agreement = 0;
        double pulseCompleteness = 0;
        double accentRecurrence = 0;
        double weight = 0;
    };

    // frameSeconds must be finite and positive. The windows run on the pool (the result does
    // not depend on its size) and report their share of the work done through the progress span.
    static ORVLocalTempoTracking trackLocalTempo(const ORVAudioFeatureSet& features,
                                                 std::optional<double> referenceBPM,
                                                 const ORVWorkerPool& pool = ORVWorkerPool(1),
                                                 ORVProgressSpan progress = {});

    // The window lengths of the tuning at the envelope rate, never below the frame floors.
    static ORVLocalTrackingWindows trackingWindows(double frameSeconds, const ORVTempoTrackingTuning& tuning);

    // The windows of an envelope of frameCount frames, in time order: a short window every hop
    // (the last one down to the minimum length), with the medium and long windows centred on
    // it, moved inwards at the start of the song and cut at its end.
    static std::vector<ORVLocalTrackingWindowSpans> windowSpans(std::int64_t frameCount,
                                                                const ORVLocalTrackingWindows& lengths);

    // One evidence list from a window's short, medium and long candidate lists: candidates
    // within 1.8 % pool into one entry, the longer windows' candidates count with the given
    // weights, best first, at most mergedCandidateLimit entries.
    static std::vector<ORVTempoFamilyEvidence> mergeWindowEvidence(
        std::span<const ORVAnalyzerPeriodicity::InternalCandidate> shortList,
        std::span<const ORVAnalyzerPeriodicity::InternalCandidate> mediumList,
        std::span<const ORVAnalyzerPeriodicity::InternalCandidate> longList, double mediumWeight, double longWeight);

    // Pools the candidate into the first bucket within 1.8 % of its tempo, or opens a new one.
    static void accumulateBucket(const ORVAnalyzerPeriodicity::InternalCandidate& candidate,
                                 std::vector<Bucket>& buckets, double weight);

    // Mean credit of the steps between neighbouring states: full for the same tempo, less for
    // a drift, little for a metrical jump; 0 without states, 0.5 for one.
    static double trackingStability(std::span<const ORVTempoFamilyState> states);

    // Whether the sections can be shown as a tempo map: solid sections (3 or more
    // observations, confidence 0.4, 3 s) only, a steady path with enough agreement, and few
    // windows that left the metrical level open.
    static bool isReliableTracking(std::span<const ORVTempoFamilyState> states,
                                   std::span<const ORVDetectedTempoSection> sections, double stability);

    // The sections with every change of tempo borne out by the onsets on both sides of it, read
    // below 2500 Hz (kick, bass, snare, chords). A steady section stands only where the beats of
    // its own tempo meet its onsets clearly better than the beats of a steady neighbour, laid
    // where they fit the neighbour and carried on over the section, do: a production holds one
    // grid through its parts. A section that meets its own beats only weakly beside a neighbour
    // that meets its own clearly (a pad or a lone instrument before the beat, a breakdown without
    // drums) shows no tempo of its own. Such a section joins that neighbour, the weakest first;
    // a first section shorter than a few bars at a tempo no later section holds joins the next
    // one, so that it cannot set the song's tempo. Ramps and the sections they run into, and
    // neighbours one a whole multiple of the other (one pulse at two levels, counted at one
    // level later), are left as they are.
    static std::vector<ORVDetectedTempoSection> supportedSections(const ORVAudioFeatureSet& features,
                                                                  std::span<const ORVDetectedTempoSection> sections);

    // Splits steady sections whose pulse (150 to 270 BPM: eighths of the beat) is grouped in
    // twos over part of them and in threes over another part, as when 4/4 turns into 6/8 over
    // the same eighths: the grouping is read off the accents below 2500 Hz, which recur after
    // two pulses or after three. The pulse is a section's tempo by octaves, or three times it
    // where the tracker followed a beat spanning three pulses (the dotted beat, which 4/4 also
    // carries at 3:2); neighbouring sections on the same pulse by octaves are read as one, so
    // that a step the tracker put between octaves inside the 6/8 does not hide its end. A part
    // grouped in twos takes the pulse, one in threes 2/3 of it, so that its beat, three pulses,
    // stands where the level of the rest puts two. Each grouping must hold for about 9 s; the
    // change lies where the accents turn.
    static std::vector<ORVDetectedTempoSection> groupingSections(
        const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections,
        std::span<const ORVLocalTempoObservation> observations);

    // Neighbouring sections at two and three of one pulse (4/4 and 6/8 over the same eighths)
    // change the beat, which no one tempo folds. The tracker may read the part in twos at its
    // eighths or its beat and the part in threes at its dotted beat (4/4 at 240 or 120 beside
    // 6/8 at 80): each pair of neighbouring steady sections is moved by octaves to the faster at
    // 150 to 270 BPM and the slower at 2/3 of it, and kept so where the accents below 2500 Hz
    // recur clearly after three pulses over the slower, more after two than three over the
    // faster, and the slower holds the pulse itself (its accents recur after one pulse more than
    // after three quarters of one: a tempo 4/3 of another has its beat at three of the other's
    // eighths, but not its eighths). Where the accents hardly sound the pulse in the slower
    // (brushes, a soft comping part), the tracker having read most of its windows there at the
    // pulse by octaves stands in, when both parts last as long as a run of grouping windows
    // (about 9 s). The other sections follow by octaves. Nothing when no pair changes its
    // grouping, or when two pairs would move a section apart.
    static std::optional<std::vector<ORVDetectedTempoSection>> sectionsOfOnePulse(
        const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections,
        std::span<const ORVLocalTempoObservation> observations);
};

}  // namespace corvel::analysis
