#include "analysis/tempo_families.hpp"

#include <algorithm>
#include <cmath>

#include "analysis/music_analyzer.hpp"
#include "common/hashing.hpp"
#include "common/numeric.hpp"
#include "common/ordering.hpp"

namespace corvel::analysis {

namespace {

using A = ORVAudioMusicAnalyzer;
using Evidence = ORVTempoFamilyEvidence;
using Match = ORVTempoFamilyMatch;
using Hypothesis = ORVTempoFamilyHypothesis;

constexpr double kLowestTempo = 40;
constexpr double kHighestTempo = 320;
constexpr double kDistinctAlias = 0.012;
constexpr double kDistinctFamily = 0.018;
// Readings of one pulse by different matches differ by no more than this.
constexpr double kSamePulseReading = 0.01;
constexpr std::size_t kHypothesisLimit = 8;
constexpr double kOrderTolerance = 1e-6;

bool inTempoRange(double bpm) { return std::isfinite(bpm) && bpm >= kLowestTempo && bpm <= kHighestTempo; }

// Slower readings of the same pulse are likelier than faster ones, and the octave likelier
// than the three-to-two relatives.
double factorWeight(double factor) {
    if (factor == 1.0) return 1.0;
    if (factor == 0.5) return 0.78;
    if (factor == 2.0 / 3.0) return 0.76;
    if (factor == 1.5) return 0.62;
    return 0.56;
}

double strength(const Match& match) { return 0.72 * match.score + 0.28 * match.agreement; }

// The factor nearest to the ratio (the earlier on equal distance), when the ratio is close
// enough to it.
std::optional<double> matchingFactor(double ratio) {
    double best = A::metricalFactors[0];
    for (const double factor : A::metricalFactors) {
        if (std::abs(ratio - factor) < std::abs(ratio - best)) best = factor;
    }
    if (std::abs(ratio - best) <= std::max(0.04 * best, 0.02)) return best;
    return std::nullopt;
}

std::vector<Match> matchesOf(double canonical, const std::vector<Evidence>& evidence) {
    std::vector<Match> matches;
    if (!A::isUsableTempo(canonical)) return matches;
    for (const Evidence& e : evidence) {
        if (!A::isUsableTempo(e.bpm)) continue;
        const auto factor = matchingFactor(e.bpm / canonical);
        if (!factor) continue;
        Match match{e.bpm, e.score, e.agreement, e.pulseCompleteness, e.accentRecurrence, *factor, 0};
        match.weightedScore = strength(match) * factorWeight(*factor);
        matches.push_back(match);
    }
    return matches;
}

// The match with the largest weighted score among those of the factor (the first on ties).
const Match* bestMatch(const std::vector<Match>& matches, double factor, double tolerance) {
    const Match* best = nullptr;
    for (const Match& match : matches) {
        if (std::abs(match.factor - factor) <= tolerance && (!best || match.weightedScore > best->weightedScore)) {
            best = &match;
        }
    }
    return best;
}

// What the tempo's double heard in the same window takes away from it: a double that is
// nearly as strong and as complete a pulse, or whose accents recur more clearly, says that
// this tempo is the slower reading of the true beat.
double doubleTempoPenalty(double directStrength, double directAccent, const Match& doubled,
                          const ORVTempoTrackingTuning& tuning) {
    const double doubleStrength = strength(doubled);
    double penalty = 0;
    const double ratio = doubleStrength / std::max(directStrength, 1e-9);
    if (ratio >= tuning.doubleRatioThreshold && doubled.pulseCompleteness >= tuning.doublePulseThreshold) {
        const double a = 0.48 + 0.34 * std::min((ratio - tuning.doubleRatioThreshold) /
                                                    std::max(1 - tuning.doubleRatioThreshold, 1e-6),
                                                1.0);
        const double b = 0.18 * std::min((doubled.pulseCompleteness - tuning.doublePulseThreshold) /
                                             std::max(1 - tuning.doublePulseThreshold, 1e-6),
                                         1.0);
        penalty = std::min(tuning.doublePenaltyScale * (a + b), tuning.doublePenaltyScale);
    }
    const double accentLead = doubled.accentRecurrence - directAccent - tuning.doubleAccentMargin;
    if (accentLead >= 0) penalty += std::min(0.62 * accentLead, tuning.doubleAccentPenaltyCap);
    return penalty;
}

std::optional<Hypothesis> hypothesisFor(double canonical, const std::vector<Evidence>& evidence,
                                        std::optional<double> referenceBPM) {
    std::vector<Match> matches = matchesOf(canonical, evidence);
    if (matches.empty()) return std::nullopt;
    const ORVTempoTrackingTuning& tuning = ORVTempoTrackingTuning::shared();

    const Match* direct = bestMatch(matches, 1.0, 0.024);
    const Match* half = bestMatch(matches, 0.5, 0.045);
    const Match* doubled = bestMatch(matches, 2.0, 0.08);
    double aliasSupport = 0;
    for (const Match& match : matches) {
        if (!(std::abs(match.factor - 1.0) <= 0.024)) aliasSupport = std::max(aliasSupport, match.weightedScore);
    }
    const double directSupport = direct ? direct->weightedScore : 0;
    const double directPulse = direct ? direct->pulseCompleteness : 0;
    const double directAccent = direct ? direct->accentRecurrence : 0;
    const double directStrength = direct ? strength(*direct) : 0;
    const double halfSupport = half ? half->weightedScore : 0;
    const double halfStrength = half ? strength(*half) : 0;
    const double halfAccent = half ? half->accentRecurrence : 0;
    const double doubleStrength = doubled ? strength(*doubled) : 0;
    const double octavePairSupport = std::min(directStrength, std::max(halfStrength, doubleStrength));
    const double penalty =
        directStrength > 0.18 && doubled ? doubleTempoPenalty(directStrength, directAccent, *doubled, tuning) : 0;

    // Ties among the best matches above went to the stronger evidence; from here on the
    // matches are read strongest first.
    std::stable_sort(matches.begin(), matches.end(),
                     [](const Match& a, const Match& b) { return descendingNaNLast(a.weightedScore, b.weightedScore); });
    const std::size_t matchCount = matches.size();
    const double canonicalBPM = A::weightedCanonicalTempo(canonical, matches);
    double largestAgreement = 0;
    for (const Match& match : matches) largestAgreement = std::max(largestAgreement, match.agreement);
    const Match& top = matches.front();
    const double agreement = std::min(largestAgreement, 1.0);

    double s = 0.54 * top.weightedScore + 0.24 * A::topMatchMean(matches) + 0.22 * agreement;
    // Heard both at its own tempo and through an alias: the family holds together.
    if (aliasSupport > 0.14 && directSupport > 0.18) s += 0.105;
    if (halfSupport > 0.16 && directSupport > 0.16) {
        if (directPulse > 0.42) s += std::min(((directPulse - 0.42) / 0.58) * std::min(halfSupport / 0.6, 1.0) * 0.16, 0.16);
        if (directAccent - halfAccent > 0.025) s += std::min((directAccent - halfAccent - 0.025) * 0.34, 0.12);
    }
    if (directSupport <= 0.001) s -= 0.12;
    if (referenceBPM && *referenceBPM > 0) {
        if (A::isUsableTempo(canonical) && A::isUsableTempo(*referenceBPM) &&
            A::relativeTempoDifference(canonical, *referenceBPM) <= 0.03) {
            s += 0.1;
        } else if (A::isMetricalAlias(canonical, *referenceBPM)) {
            s -= 0.025;
        }
    }
    const auto keptCount = static_cast<double>(std::min<std::size_t>(std::max<std::size_t>(evidence.size(), 2), 5));
    const double coverage = std::min(static_cast<double>(matchCount) / keptCount, 1.0);

    Hypothesis hypothesis;
    hypothesis.canonicalBPM = canonicalBPM;
    hypothesis.observedBPM = top.bpm;
    hypothesis.metricalFactor = top.factor;
    hypothesis.score = clampOr(s + 0.045 * coverage - penalty, 0.0, 1.0, 0.0);
    hypothesis.agreement = agreement;
    hypothesis.directSupport = directSupport;
    hypothesis.aliasSupport = aliasSupport;
    hypothesis.directPulseCompleteness = directPulse;
    hypothesis.directAccentRecurrence = directAccent;
    hypothesis.octavePairSupport = octavePairSupport;
    hypothesis.ambiguous = aliasSupport > 0 && directSupport < 0.2;
    return hypothesis;
}

// Score first; scores within 1e-6 fall to direct support (again 1e-6), then to the faster family.
bool ranksBefore(const Hypothesis& a, const Hypothesis& b) {
    if (std::abs(a.score - b.score) > kOrderTolerance) return a.score > b.score;
    if (std::abs(a.directSupport - b.directSupport) > kOrderTolerance) return a.directSupport > b.directSupport;
    return a.canonicalBPM > b.canonicalBPM;
}

}  // namespace

std::vector<ORVTempoFamilyHypothesis> ORVAnalyzerTempoFamilies::familyHypotheses(
    std::span<const ORVTempoFamilyEvidence> evidence, std::optional<double> referenceBPM) {
    std::vector<Evidence> kept;
    for (const Evidence& e : evidence) {
        if (inTempoRange(e.bpm)) kept.push_back(e);
    }
    if (kept.empty()) return {};
    std::stable_sort(kept.begin(), kept.end(),
                     [](const Evidence& a, const Evidence& b) { return descendingNaNLast(a.score, b.score); });

    std::vector<double> canonicalTempi;
    for (const Evidence& e : kept) {
        appendDistinctTempo(canonicalTempi, e.bpm);
        for (const double alias : aliasCanonicalTempos(e.bpm)) appendDistinctTempo(canonicalTempi, alias);
    }
    if (referenceBPM) appendDistinctTempo(canonicalTempi, *referenceBPM);

    std::vector<Hypothesis> hypotheses;
    for (const double canonical : canonicalTempi) {
        if (auto hypothesis = hypothesisFor(canonical, kept, referenceBPM)) hypotheses.push_back(*hypothesis);
    }
    stableMergeSort(hypotheses, ranksBefore);

    std::vector<Hypothesis> families;
    for (const Hypothesis& hypothesis : hypotheses) {
        if (families.size() >= kHypothesisLimit) break;
        if (isNewFamily(families, hypothesis)) families.push_back(hypothesis);
    }
    return families;
}

std::vector<double> ORVAnalyzerTempoFamilies::aliasCanonicalTempos(double bpm) {
    std::vector<double> tempi;
    if (!A::isUsableTempo(bpm)) return tempi;
    for (const double factor : metricalFactors) {
        const double canonical = bpm / factor;
        if (!(canonical >= kLowestTempo && canonical <= kHighestTempo)) continue;
        const bool known = std::any_of(tempi.begin(), tempi.end(), [canonical](double t) {
            return A::relativeTempoDifference(t, canonical) <= kDistinctAlias;
        });
        if (!known) tempi.push_back(canonical);
    }
    std::sort(tempi.begin(), tempi.end());
    return tempi;
}

void ORVAnalyzerTempoFamilies::appendDistinctTempo(std::vector<double>& list, double bpm) {
    if (!inTempoRange(bpm)) return;
    const bool known = std::any_of(list.begin(), list.end(), [bpm](double t) {
        return t > 0 && A::relativeTempoDifference(t, bpm) <= kDistinctFamily;
    });
    if (!known) list.push_back(bpm);
}

double ORVAnalyzerTempoFamilies::weightedCanonicalTempo(double candidate, std::span<const ORVTempoFamilyMatch> matches) {
    // Only readings of the strongest match's pulse count: a match a few percent off (another
    // window length's estimate, a loose alias) would pull the family off the beat it hears.
    const Match* strongest = nullptr;
    for (const Match& match : matches) {
        if (!strongest || match.weightedScore > strongest->weightedScore) strongest = &match;
    }
    const double anchor = strongest ? strongest->bpm / strongest->factor : candidate;
    double weighted = 0;
    double weights = 0;
    for (const Match& match : matches) {
        if (!(A::relativeTempoDifference(match.bpm / match.factor, anchor) <= kSamePulseReading)) continue;
        const double weight = std::max(match.weightedScore, 0.02);
        weighted += (match.bpm / match.factor) * weight;
        weights += weight;
    }
    return weights > 1e-9 ? weighted / weights : candidate;
}

double ORVAnalyzerTempoFamilies::topMatchMean(std::span<const ORVTempoFamilyMatch> matches) {
    const std::size_t count = std::min<std::size_t>(3, matches.size());
    if (count == 0) return 0;
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += matches[i].weightedScore;
    return sum / static_cast<double>(count);
}

bool ORVAnalyzerTempoFamilies::isNewFamily(std::span<const ORVTempoFamilyHypothesis> kept,
                                           const ORVTempoFamilyHypothesis& hypothesis) {
    return std::none_of(kept.begin(), kept.end(), [&](const Hypothesis& k) {
        return A::isUsableTempo(k.canonicalBPM) &&
               A::relativeTempoDifference(k.canonicalBPM, hypothesis.canonicalBPM) <= kDistinctFamily;
    });
}

}  // namespace corvel::analysis

std::size_t std::hash<corvel::analysis::ORVTempoFamilyEvidence>::operator()(
    const corvel::analysis::ORVTempoFamilyEvidence& e) const noexcept {
    return corvel::hashFields(e.bpm, e.score, e.agreement, e.pulseCompleteness, e.accentRecurrence);
}

std::size_t std::hash<corvel::analysis::ORVTempoFamilyWindow>::operator()(
    const corvel::analysis::ORVTempoFamilyWindow& window) const noexcept {
    return corvel::hashFields(window.centerSeconds, window.evidence);
}

std::size_t std::hash<corvel::analysis::ORVTempoFamilyHypothesis>::operator()(
    const corvel::analysis::ORVTempoFamilyHypothesis& h) const noexcept {
    return corvel::hashFields(h.canonicalBPM, h.observedBPM, h.metricalFactor, h.score, h.agreement, h.directSupport,
                              h.aliasSupport, h.directPulseCompleteness, h.directAccentRecurrence, h.octavePairSupport,
                              h.ambiguous);
}
