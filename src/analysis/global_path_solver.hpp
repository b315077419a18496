#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "analysis/tempo_families.hpp"
#include "analysis/tracking_tuning.hpp"

namespace corvel::analysis {

// The tempo-family hypotheses of one analysis window, best first.
struct ORVTempoHypothesisWindow {
    double centerSeconds = 0;
    std::vector<ORVTempoFamilyHypothesis> hypotheses;

    friend bool operator==(const ORVTempoHypothesisWindow&, const ORVTempoHypothesisWindow&) = default;
};

// The hypothesis that the chosen path takes in one window.
struct ORVTempoFamilyState {
    double centerSeconds = 0;
    double canonicalBPM = 0;
    double observedBPM = 0;
    double metricalFactor = 1;
    double confidence = 0;  // the hypothesis's score
    double agreement = 0;
    bool ambiguous = false;

    friend bool operator==(const ORVTempoFamilyState&, const ORVTempoFamilyState&) = default;
};

// How clearly the path chose in one window: the chosen hypothesis against the best other one.
struct ORVTempoPathWindowDiagnostic {
    double centerSeconds = 0;
    double chosenCanonicalBPM = 0;
    double chosenObservedBPM = 0;
    double chosenMetricalFactor = 1;
    double chosenEmissionScore = 0;
    double chosenPathScore = 0;
    std::optional<double> runnerUpCanonicalBPM;  // none when the window had one hypothesis
    std::optional<double> runnerUpPathScore;
    std::optional<double> pathScoreMargin;  // chosen minus runner-up path score
    bool ambiguous = false;

    friend bool operator==(const ORVTempoPathWindowDiagnostic&, const ORVTempoPathWindowDiagnostic&) = default;
};

// JSON object with the field names as keys; the optional fields only when present.
// Reading checks every type and throws nlohmann::json::exception on bad data.
void to_json(nlohmann::json& json, const ORVTempoPathWindowDiagnostic& value);
void from_json(const nlohmann::json& json, ORVTempoPathWindowDiagnostic& value);

// The best path of tempo families through a song: one hypothesis per window, chosen for all
// windows at once, so that one window that prefers a metrical relative cannot flip the song's
// family unless its evidence outweighs leaving the family and coming back. Stateless.
struct ORVTempoGlobalPathSolver {
    static constexpr const char* version = "global-multihypothesis-v5";

    struct Result {
        std::vector<ORVTempoFamilyState> states;  // one per window with hypotheses, in order
        std::string version;
        std::vector<ORVTempoPathWindowDiagnostic> diagnostics;  // parallel to states
    };

    // Windows in time order; those without hypotheses are left out.
    static Result solve(std::span<const ORVTempoHypothesisWindow> windows, std::optional<double> referenceBPM,
                        const ORVTempoTrackingTuning& tuning);

    // What a hypothesis earns on its own: its score, its direct support and the support that
    // it shares with its aliases, less a charge when it is heard mostly through aliases.
    static double emissionScore(const ORVTempoFamilyHypothesis& hypothesis, const ORVTempoTrackingTuning& tuning);

    // What the step from a hypothesis of canonical tempo `previous` to `next` earns: a bonus
    // within the continuity tolerance, else a negative cost that grows for octave and
    // three-to-two jumps that the next window hears weakly, for octave jumps between two
    // windows that both hear the pair, and with the distance in octaves (capped).
    static double transitionScore(const ORVTempoFamilyHypothesis& previous, const ORVTempoFamilyHypothesis& next,
                                  const ORVTempoTrackingTuning& tuning);
};

// The tracker entry of the analyser (inherited by ORVAudioMusicAnalyzer): the family
// hypotheses of every window, then the best path through them.
struct ORVAnalyzerTempoPath {
    static ORVTempoGlobalPathSolver::Result trackTempoFamilies(std::span<const ORVTempoFamilyWindow> windows,
                                                               std::optional<double> referenceBPM,
                                                               const ORVTempoTrackingTuning& tuning);
};

}  // namespace corvel::analysis

template <>
struct std::hash<corvel::analysis::ORVTempoHypothesisWindow> {
    std::size_t operator()(const corvel::analysis::ORVTempoHypothesisWindow& window) const noexcept;
};
template <>
struct std::hash<corvel::analysis::ORVTempoFamilyState> {
    std::size_t operator()(const corvel::analysis::ORVTempoFamilyState& state) const noexcept;
};
template <>
struct std::hash<corvel::analysis::ORVTempoPathWindowDiagnostic> {
    std::size_t operator()(const corvel::analysis::ORVTempoPathWindowDiagnostic& diagnostic) const noexcept;
};
