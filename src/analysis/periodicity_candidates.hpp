#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/worker_pool.hpp"

namespace corvel::analysis {

// The periodicity search of the tempo analyser (inherited by ORVAudioMusicAnalyzer): ranked
// tempo candidates of one onset envelope, and the consensus of several envelopes in which a
// tempo that many features agree on outranks one that a single feature proposes. Frame k of
// an envelope stands for time k x frameSeconds. Pure functions, safe on any thread.
struct ORVAnalyzerPeriodicity {
    struct InternalCandidate {
        double bpm = 0;
        double periodFrames = 0;       // fractional beat period
        double autocorrelation = 0;    // at the candidate's whole lag, or the mean over the supporting features
        double gridFit = 0;            // 0...1
        double pulseCompleteness = 0;  // 0...1
        double accentRecurrence = 0;   // 0 until the consensus measures it
        double score = 0;              // 0...1
        double agreement = 0;          // share of the features behind the tempo; 0 for one envelope
    };

    // A candidate of the feature at this position among the envelopes that proposed any.
    struct ClusterMember {
        std::int64_t feature = 0;
        InternalCandidate candidate;
    };

    // Up to 7 candidates of one envelope (beat periods of 320 to 40 BPM), best first, no two
    // within 1.2 % of each other.
    static std::vector<InternalCandidate> envelopeCandidates(std::span<const double> envelope, double frameSeconds);

    // Up to 10 tempi that the envelopes agree on, best first, no two within 1.2 % of each
    // other. The last envelope is the one whose accents are measured. With
    // resolveMetricalRelations a tempo gives way to its double or its three-to-two relative
    // when that one's accents recur more clearly. The envelopes are searched on the pool; the
    // result does not depend on its size.
    static std::vector<InternalCandidate> consensusCandidates(std::span<const std::vector<double>> envelopes,
                                                              bool resolveMetricalRelations, double frameSeconds,
                                                              const ORVWorkerPool& pool = ORVWorkerPool(1));
    // The same on envelopes that live elsewhere (no copies of long envelopes needed).
    static std::vector<InternalCandidate> consensusCandidates(std::span<const std::span<const double>> envelopes,
                                                              bool resolveMetricalRelations, double frameSeconds,
                                                              const ORVWorkerPool& pool = ORVWorkerPool(1));

    // How far the clearest repetition among the candidates of an envelope of `frames` frames
    // rises above chance: its autocorrelation in units of the spread that an envelope without
    // a pulse shows at any one lag (one over the root of the frames). Noise, and an irregular
    // patter of onsets, read about 2 to 4.5; music with a beat, played freely or not, well above.
    static double pulseSignificance(std::span<const InternalCandidate> candidates, std::size_t frames);
    // The same within windows of about 8 s, where a pulse whose tempo moves still repeats: the
    // tallest autocorrelation peak at a beat period (320 to 40 BPM) of each window, onsets
    // allowed to drift by about 25 ms, in units of its spread by chance; the upper quartile of
    // the windows that hold anything. 0 when none does.
    static double windowedPulseSignificance(std::span<const double> envelope, double frameSeconds);

    // The first index of begin ... end - 1 (skipping `skip`) whose tempo lies within 2.5 % of
    // targetBpm and whose score is at most 0.14 below the reference's.
    static std::optional<std::size_t> findRelatedCandidate(std::size_t begin, std::size_t end, std::size_t skip,
                                                           std::span<const InternalCandidate> candidates,
                                                           const InternalCandidate& reference, double targetBpm);

    // True when no kept candidate lies within 1.2 % of the candidate's tempo.
    static bool isDistinctTempo(std::span<const InternalCandidate> kept, const InternalCandidate& candidate);

    // The member with the highest score (the first on ties); none for no members.
    static std::optional<ClusterMember> bestMember(std::span<const ClusterMember> members);

    // Building blocks of the consensus, open for tests.

    // Demotes a tempo (-0.2) whose double is nearly as strong and has clearly more recurrent
    // accents, and then a tempo (-0.14) whose faster three-to-two relative does; each winner
    // gains 0.05 per pass. Every decision reads the candidates as they come in.
    static void resolveMetricalRelations(std::vector<InternalCandidate>& candidates);

    // Best first (scores within 1e-6 fall to agreement, then to the faster tempo), without
    // tempi within 1.2 % of a better one, at most 10.
    static std::vector<InternalCandidate> rankedDistinctTempi(std::vector<InternalCandidate> candidates);
};

}  // namespace corvel::analysis
