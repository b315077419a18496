#include "analysis/global_path_solver.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "analysis/music_analyzer.hpp"
#include "common/hashing.hpp"
#include "common/numeric.hpp"
#include "common/ordering.hpp"
#include "core/json_coding.hpp"

namespace corvel::analysis {

namespace {

using A = ORVAudioMusicAnalyzer;
using Hypothesis = ORVTempoFamilyHypothesis;

constexpr double kReferenceStartTolerance = 0.03;
constexpr double kNegativeInfinity = -std::numeric_limits<double>::infinity();

// The best path ending in one hypothesis of a window.
struct Cell {
    double totalScore = 0;
    std::optional<std::size_t> previousIndex;
    double emissionScore = 0;
};

// Capped, and the cap stands in for a distance that can't be measured (two infinite tempi),
// so that no cost ever turns into NaN and poisons every path after it.
double distanceCost(double from, double to, const ORVTempoTrackingTuning& tuning) {
    const double octaves = std::abs(std::log2(to / from));
    return minIgnoringNaN(octaves * tuning.tempoDistanceCostPerOctave, tuning.tempoDistanceCostCap);
}

// Index of the largest value, the first on ties; values that are NaN never win.
std::size_t bestCellIndex(const std::vector<Cell>& cells) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < cells.size(); ++i) {
        if (cells[i].totalScore > cells[best].totalScore) best = i;
    }
    return best;
}

ORVTempoPathWindowDiagnostic diagnosticOf(const ORVTempoHypothesisWindow& window, const std::vector<Cell>& cells,
                                          std::size_t chosen, const ORVTempoTrackingTuning& tuning) {
    const Hypothesis& h = window.hypotheses[chosen];
    ORVTempoPathWindowDiagnostic diagnostic;
    diagnostic.centerSeconds = window.centerSeconds;
    diagnostic.chosenCanonicalBPM = h.canonicalBPM;
    diagnostic.chosenObservedBPM = h.observedBPM;
    diagnostic.chosenMetricalFactor = h.metricalFactor;
    diagnostic.chosenEmissionScore = cells[chosen].emissionScore;
    diagnostic.chosenPathScore = cells[chosen].totalScore;

    std::vector<std::size_t> order(cells.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    stableMergeSort(order, [&cells](std::size_t a, std::size_t b) {
        return descendingNaNLast(cells[a].totalScore, cells[b].totalScore);
    });
    const auto runnerUp = std::find_if(order.begin(), order.end(), [chosen](std::size_t i) { return i != chosen; });
    if (runnerUp != order.end()) {
        diagnostic.runnerUpCanonicalBPM = window.hypotheses[*runnerUp].canonicalBPM;
        diagnostic.runnerUpPathScore = cells[*runnerUp].totalScore;
        diagnostic.pathScoreMargin = diagnostic.chosenPathScore - *diagnostic.runnerUpPathScore;
    }
    diagnostic.ambiguous = h.ambiguous || !diagnostic.pathScoreMargin ||
                           *diagnostic.pathScoreMargin < tuning.ambiguousMarginThreshold;
    return diagnostic;
}

}  // namespace

double ORVTempoGlobalPathSolver::emissionScore(const ORVTempoFamilyHypothesis& h, const ORVTempoTrackingTuning& tuning) {
    double e = tuning.directEmissionWeight * h.directSupport + h.score +
               tuning.crossSupportEmissionWeight * std::min(h.directSupport, h.aliasSupport);
    if (h.ambiguous) e -= tuning.ambiguityPenalty;
    return e;
}

double ORVTempoGlobalPathSolver::transitionScore(const ORVTempoFamilyHypothesis& p, const ORVTempoFamilyHypothesis& h,
                                                 const ORVTempoTrackingTuning& tuning) {
    const double q = p.canonicalBPM;
    const double c = h.canonicalBPM;
    if (!A::isUsableTempo(q) || !A::isUsableTempo(c)) {
        double cost = tuning.changeCost;
        if (q > 0 && c > 0) cost += distanceCost(q, c, tuning);
        return -cost;
    }
    if (A::relativeTempoDifference(q, c) <= tuning.continuityTolerance) return tuning.continuityBonus;

    double cost = tuning.changeCost;
    const ORVTempoRelation relation = A::tempoRelation(q, c);
    const bool octave = relation == ORVTempoRelation::octave;
    if ((octave || relation == ORVTempoRelation::threeToTwo) && h.directSupport < tuning.weakDirectThreshold) {
        cost += std::min((tuning.weakDirectThreshold - h.directSupport) / std::max(tuning.weakDirectThreshold, 0.001),
                         1.0) *
                tuning.weakDirectJumpCost;
    }
    if (octave && p.octavePairSupport >= tuning.octavePairThreshold &&
        h.octavePairSupport >= tuning.octavePairThreshold) {
        cost += tuning.octavePairJumpCost;
    }
    cost += distanceCost(q, c, tuning);
    return -cost;
}

ORVTempoGlobalPathSolver::Result ORVTempoGlobalPathSolver::solve(std::span<const ORVTempoHypothesisWindow> windows,
                                                                 std::optional<double> referenceBPM,
                                                                 const ORVTempoTrackingTuning& tuning) {
    std::vector<const ORVTempoHypothesisWindow*> path;
    for (const auto& window : windows) {
        if (!window.hypotheses.empty()) path.push_back(&window);
    }
    Result result{{}, version, {}};
    if (path.empty()) return result;

    std::vector<std::vector<Cell>> table;
    table.reserve(path.size());
    {
        std::vector<Cell> first;
        for (const Hypothesis& h : path.front()->hypotheses) {
            double e = emissionScore(h, tuning);
            if (referenceBPM && A::isUsableTempo(*referenceBPM) && A::isUsableTempo(h.canonicalBPM) &&
                A::relativeTempoDifference(h.canonicalBPM, *referenceBPM) <= kReferenceStartTolerance) {
                e += tuning.referenceStartBonus;
            }
            first.push_back({e, std::nullopt, e});
        }
        table.push_back(std::move(first));
    }
    for (std::size_t i = 1; i < path.size(); ++i) {
        const auto& previous = path[i - 1]->hypotheses;
        const std::vector<Cell>& previousCells = table.back();
        std::vector<Cell> cells;
        cells.reserve(path[i]->hypotheses.size());
        for (const Hypothesis& h : path[i]->hypotheses) {
            const double e = emissionScore(h, tuning);
            double bestTotal = kNegativeInfinity;
            std::optional<std::size_t> bestIndex;
            for (std::size_t k = 0; k < previous.size(); ++k) {
                const double total = e + transitionScore(previous[k], h, tuning) + previousCells[k].totalScore;
                if (total > bestTotal) {
                    bestTotal = total;
                    bestIndex = k;
                }
            }
            cells.push_back(bestIndex ? Cell{bestTotal, bestIndex, e} : Cell{e, std::nullopt, e});
        }
        table.push_back(std::move(cells));
    }

    std::vector<std::size_t> chosen(path.size());
    chosen.back() = bestCellIndex(table.back());
    for (std::size_t i = path.size() - 1; i > 0; --i) {
        chosen[i - 1] = table[i][chosen[i]].previousIndex.value_or(0);
    }

    result.states.reserve(path.size());
    result.diagnostics.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        const Hypothesis& h = path[i]->hypotheses[chosen[i]];
        result.states.push_back(
            {path[i]->centerSeconds, h.canonicalBPM, h.observedBPM, h.metricalFactor, h.score, h.agreement, h.ambiguous});
        result.diagnostics.push_back(diagnosticOf(*path[i], table[i], chosen[i], tuning));
    }
    return result;
}

ORVTempoGlobalPathSolver::Result ORVAnalyzerTempoPath::trackTempoFamilies(
    std::span<const ORVTempoFamilyWindow> windows, std::optional<double> referenceBPM,
    const ORVTempoTrackingTuning& tuning) {
    std::vector<ORVTempoHypothesisWindow> hypothesisWindows;
    hypothesisWindows.reserve(windows.size());
    for (const auto& window : windows) {
        auto hypotheses = A::familyHypotheses(window.evidence, referenceBPM);
        if (!hypotheses.empty()) hypothesisWindows.push_back({window.centerSeconds, std::move(hypotheses)});
    }
    return ORVTempoGlobalPathSolver::solve(hypothesisWindows, referenceBPM, tuning);
}

void to_json(nlohmann::json& j, const ORVTempoPathWindowDiagnostic& v) {
    using json_coding::writeOptional;
    j = nlohmann::json{{"centerSeconds", v.centerSeconds},
                       {"chosenCanonicalBPM", v.chosenCanonicalBPM},
                       {"chosenObservedBPM", v.chosenObservedBPM},
                       {"chosenMetricalFactor", v.chosenMetricalFactor},
                       {"chosenEmissionScore", v.chosenEmissionScore},
                       {"chosenPathScore", v.chosenPathScore}};
    writeOptional(j, "runnerUpCanonicalBPM", v.runnerUpCanonicalBPM);
    writeOptional(j, "runnerUpPathScore", v.runnerUpPathScore);
    writeOptional(j, "pathScoreMargin", v.pathScoreMargin);
    j["ambiguous"] = v.ambiguous;
}

void from_json(const nlohmann::json& j, ORVTempoPathWindowDiagnostic& v) {
    using namespace json_coding;
    ORVTempoPathWindowDiagnostic read;
    read.centerSeconds = readDouble(j, "centerSeconds");
    read.chosenCanonicalBPM = readDouble(j, "chosenCanonicalBPM");
    read.chosenObservedBPM = readDouble(j, "chosenObservedBPM");
    read.chosenMetricalFactor = readDouble(j, "chosenMetricalFactor");
    read.chosenEmissionScore = readDouble(j, "chosenEmissionScore");
    read.chosenPathScore = readDouble(j, "chosenPathScore");
    if (hasValue(j, "runnerUpCanonicalBPM")) read.runnerUpCanonicalBPM = readDouble(j, "runnerUpCanonicalBPM");
    if (hasValue(j, "runnerUpPathScore")) read.runnerUpPathScore = readDouble(j, "runnerUpPathScore");
    if (hasValue(j, "pathScoreMargin")) read.pathScoreMargin = readDouble(j, "pathScoreMargin");
    read.ambiguous = readBool(j, "ambiguous");
    v = read;
}

}  // namespace corvel::analysis

std::size_t std::hash<corvel::analysis::ORVTempoHypothesisWindow>::operator()(
    const corvel::analysis::ORVTempoHypothesisWindow& window) const noexcept {
    return corvel::hashFields(window.centerSeconds, window.hypotheses);
}

std::size_t std::hash<corvel::analysis::ORVTempoFamilyState>::operator()(
    const corvel::analysis::ORVTempoFamilyState& s) const noexcept {
    return corvel::hashFields(s.centerSeconds, s.canonicalBPM, s.observedBPM, s.metricalFactor, s.confidence,
                              s.agreement, s.ambiguous);
}

std::size_t std::hash<corvel::analysis::ORVTempoPathWindowDiagnostic>::operator()(
    const corvel::analysis::ORVTempoPathWindowDiagnostic& d) const noexcept {
    return corvel::hashFields(d.centerSeconds, d.chosenCanonicalBPM, d.chosenObservedBPM, d.chosenMetricalFactor,
                              d.chosenEmissionScore, d.chosenPathScore, d.runnerUpCanonicalBPM, d.runnerUpPathScore,
                              d.pathScoreMargin, d.ambiguous);
}
