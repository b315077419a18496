#include "audio/analysis_driver.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "audio/music_analyzer.hpp"
#include "common/error.hpp"
#include "common/format.hpp"
#include "common/numeric.hpp"

namespace corvel::audio {

namespace {

using A = ORVAudioMusicAnalyzer;
using Refinement = SetwrightMusicTempoRefiner::Refinement;
using InternalCandidate = ORVAnalyzerPeriodicity::InternalCandidate;

constexpr std::size_t kShortestConsensusFrames = 192;
constexpr std::size_t kReportedCandidateLimit = 8;
constexpr double kSamePulse = 0.035;
constexpr double kMedianWeightFloor = 0.15;
constexpr double kCollapseConfidence = 0.8;
constexpr double kOnsetLevel = 0.25;
constexpr double kAmbiguousAgreementCeiling = 0.58;
constexpr double kMetricalFactorSlack = 0.05;
constexpr std::size_t kBeatLimit = 200000;

bool isSamePulseOrRelative(double a, double b) { return A::tempoRelation(a, b) != ORVTempoRelation::unrelated; }

// The first candidate that is a clear half or double of the tempo with a score close to the best.
std::optional<double> alternativeTempo(std::span<const ORVMusicTempoCandidate> candidates, double bpm,
                                       double bestScore) {
    const double scoreFloor = std::max(bestScore - 0.12, 0.2);
    for (const auto& candidate : candidates) {
        const double c = candidate.bpm;
        const bool distinct = std::abs(c - bpm) > std::max(bpm * 0.01, 1.5);
        const bool half = std::abs(2.0 * c - bpm) <= std::max(bpm * 0.025, 2.5);
        const bool twice = std::abs(c - 2.0 * bpm) <= std::max(bpm * 0.05, 2.5);
        if (distinct && (half || twice) && candidate.score >= scoreFloor) return c;
    }
    return std::nullopt;
}

// The reported tempo first (the candidate of its pulse, or one made from the best when none
// is), then its double and half as the consensus ranked them, then the rest; at most 8.
void putReportedLevelFirst(std::vector<ORVMusicTempoCandidate>& candidates, double bpm,
                           const ORVMusicTempoCandidate& best) {
    const auto samePulse = [bpm](const ORVMusicTempoCandidate& c) {
        return A::relativeTempoDifference(c.bpm, bpm) <= kSamePulse;
    };
    const auto octave = [bpm](const ORVMusicTempoCandidate& c) {
        return A::tempoRelation(c.bpm, bpm) == ORVTempoRelation::octave;
    };
    std::vector<ORVMusicTempoCandidate> ordered;
    const auto own = std::find_if(candidates.begin(), candidates.end(), samePulse);
    ORVMusicTempoCandidate first = own != candidates.end() ? *own : best;
    if (own == candidates.end()) first.id = Uuid::random();
    first.bpm = bpm;
    ordered.push_back(first);
    for (const auto& c : candidates) {
        if (!samePulse(c) && octave(c)) ordered.push_back(c);
    }
    for (const auto& c : candidates) {
        if (!samePulse(c) && !octave(c)) ordered.push_back(c);
    }
    if (ordered.size() > kReportedCandidateLimit) ordered.resize(kReportedCandidateLimit);
    candidates = std::move(ordered);
}

std::string bpmText(double bpm) { return formatFixed(bpm, 2); }
std::string percentText(double share) { return formatFixed(share * 100.0, 0); }

std::string sectionsReason(std::span<const ORVDetectedTempoSection> sections,
                           std::span<const ORVLocalTempoObservation> observations) {
    std::string tempi;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (i > 0) tempi += " \u2192 ";
        tempi += bpmText(sections[i].bpm) + " BPM";
    }
    const auto offRate = std::count_if(observations.begin(), observations.end(), [](const auto& o) {
        return std::abs(o.metricalFactor - 1.0) > kMetricalFactorSlack;
    });
    return "Canonical tempo-family tracker: " + formatInteger(std::int64_t(sections.size())) + " stable sections (" +
           tempi + "). " + formatInteger(offRate) +
           " local half-/2:3-rate observations were retained as rhythmic evidence without becoming tempo-map "
           "sections.";
}

}  // namespace

ORVMusicTempoMeasurement ORVAnalyzerDriver::analyze(const std::filesystem::path& file,
                                                    std::optional<ORVAnalysisRange> range) {
    return analyzeFeatures(A::decodeFeatureEnvelopes(file, range));
}

ORVMusicTempoMeasurement ORVAnalyzerDriver::analyzeFeatures(const ORVAudioFeatureSet& features) {
    if (features.consensusEnvelope.size() < kShortestConsensusFrames) {
        throwAnalysisError(kAudioTooShortCode, kAudioTooShortMessage);
    }
    std::vector<std::vector<double>> envelopes(features.featureEnvelopes.begin(), features.featureEnvelopes.end());
    envelopes.push_back(features.consensusEnvelope);
    const auto candidates = A::consensusCandidates(envelopes, true, features.frameSeconds);

    ORVConsensusTop top;
    if (!candidates.empty()) {
        const auto& best = candidates.front();
        top = {best.bpm, best.score, best.agreement, best.autocorrelation, best.gridFit};
    }
    const auto tracking = A::trackLocalTempo(features, preferredConsensusTempo(candidates));
    if (candidates.empty()) {
        if (tracking.sections.empty()) throwAnalysisError(kNoPulseStructureCode, kNoPulseStructureMessage);
        top = {tracking.sections.front().bpm, tracking.sections.front().confidence, 0.35, 0, 0};
    }

    const double localBPM = localTempo(top, tracking);
    const double startBPM = refinementTempo(top.bpm, localBPM);
    const auto refinement =
        SetwrightMusicTempoRefiner::refine(features.consensusEnvelope, features.frameSeconds, startBPM, 0.8, 0.01);
    return assembleMeasurement(features, candidates, top, tracking, localBPM, startBPM, refinement);
}

std::optional<double> ORVAnalyzerDriver::preferredConsensusTempo(std::span<const InternalCandidate> candidates) {
    if (candidates.empty() || !(candidates[0].score >= 0.3)) return std::nullopt;
    const auto& best = candidates[0];
    if (candidates.size() == 1) return best.bpm;
    const auto& second = candidates[1];
    const bool shadows = A::isMetricalAlias(best.bpm, second.bpm) && second.score >= best.score - 0.075 &&
                         second.agreement >= std::max(best.agreement - 0.3, 0.2);
    if (shadows) return std::nullopt;
    return best.bpm;
}

std::optional<double> ORVAnalyzerDriver::observationMedianTempo(
    std::span<const ORVLocalTempoObservation> observations) {
    if (observations.empty()) return std::nullopt;
    std::vector<ORVWeightedValue> pairs;
    pairs.reserve(observations.size());
    for (const auto& o : observations) pairs.push_back({o.bpm, std::max(o.confidence, 0.05)});
    return A::weightedMedian(pairs);
}

double ORVAnalyzerDriver::localTempo(const ORVConsensusTop& top, const ORVLocalTempoTracking& tracking) {
    // The tracked sections measured the pulse over time; their level stands (the metrical
    // level is decided later, once, from the accents).
    if (tracking.isReliable && !tracking.sections.empty()) return tracking.sections.front().bpm;
    const auto median = observationMedianTempo(tracking.observations);
    if (median && A::relativeTempoDifference(*median, top.bpm) <= kSamePulse) {
        const ORVWeightedValue pairs[] = {{top.bpm, std::max(top.score, kMedianWeightFloor)},
                                          {*median, std::max(tracking.stability, kMedianWeightFloor)}};
        return A::weightedMedian(pairs);
    }
    return top.bpm;
}

double ORVAnalyzerDriver::refinementTempo(double consensusBPM, double localBPM) {
    // The local tempo was measured along the song (and its sections refined on the beats); it
    // is the closer start for the narrow search, unless it reads another metrical level.
    if (A::isUsableTempo(localBPM) && !A::isMetricalAlias(consensusBPM, localBPM)) return localBPM;
    return consensusBPM;
}

ORVMusicTempoMeasurement ORVAnalyzerDriver::assembleMeasurement(const ORVAudioFeatureSet& features,
                                                                std::span<const InternalCandidate> candidates,
                                                                const ORVConsensusTop& top,
                                                                const ORVLocalTempoTracking& tracking,
                                                                double localBPM, double refinementBPM,
                                                                const std::optional<Refinement>& refinement) {
    const bool reliable = tracking.isReliable;
    const bool multiSection = reliable && tracking.sections.size() > 1;

    // Sections, the tempo before rounding, and whether the refinement stands.
    std::vector<ORVDetectedTempoSection> sections = tracking.sections;
    double tempo = localBPM;
    bool refinementUsed = false;
    bool collapsed = false;
    // The parts of a song are counted at one level: sections an octave from their neighbours
    // come back to it and join them when they then hold the same tempo.
    if (multiSection) {
        const auto aligned = A::sectionsAtOneLevel(sections);
        // The local tempo is the first section's: it moves with it.
        const double moved = aligned.front().bpm / sections.front().bpm;
        if (std::isfinite(moved) && moved > 0) tempo *= std::exp2(std::round(std::log2(moved)));
        sections = A::mergeAdjacentSections(aligned);
    }
    if (multiSection) {
        const bool collapses =
            refinement && refinement->confidence >= kCollapseConfidence &&
            std::all_of(sections.begin(), sections.end(),
                        [&](const auto& s) { return isSamePulseOrRelative(s.bpm, refinement->bpm); });
        if (collapses) {
            ORVDetectedTempoSection whole;
            whole.startSeconds = std::max(features.firstMeaningfulAudioSeconds.value_or(0.0), 0.0);
            whole.endSeconds = features.durationSeconds;
            whole.bpm = A::roundedTempo(refinement->bpm);
            whole.confidence = refinement->confidence;
            for (const auto& s : tracking.sections) {
                whole.confidence = std::max(whole.confidence, s.confidence);
                whole.observationCount += s.observationCount;
            }
            sections = {whole};
            tempo = refinement->bpm;
            refinementUsed = true;
            collapsed = true;
        }
    } else if (refinement) {
        if (sections.size() == 1) sections.front().bpm = A::roundedTempo(refinement->bpm);
        tempo = refinement->bpm;
        refinementUsed = true;
    }

    ORVMusicTempoMeasurement m;
    const std::size_t kept = std::min(candidates.size(), kReportedCandidateLimit);
    for (std::size_t i = 0; i < kept; ++i) {
        const auto& c = candidates[i];
        m.candidates.push_back({Uuid::random(), A::roundedTempo(c.bpm), c.score, c.autocorrelation, c.gridFit,
                                c.agreement});
    }
    if (refinementUsed && !m.candidates.empty()) {
        std::size_t closest = 0;
        for (std::size_t i = 1; i < m.candidates.size(); ++i) {
            if (std::abs(m.candidates[i].bpm - refinementBPM) < std::abs(m.candidates[closest].bpm - refinementBPM)) {
                closest = i;
            }
        }
        m.candidates[closest].bpm = A::roundedTempo(refinement->bpm);
    }

    // One metrical level for the whole map: the octave a listener taps.
    const double level =
        A::metricalLevelFactor(features, reliable ? std::span<const ORVDetectedTempoSection>(sections)
                                                  : std::span<const ORVDetectedTempoSection>(),
                               tempo);
    if (level != 1.0) {
        tempo *= level;
        for (auto& s : sections) s.bpm = A::roundedTempo(s.bpm * level);
    }
    m.bpm = A::roundedTempo(tempo);
    if (!m.candidates.empty()) putReportedLevelFirst(m.candidates, m.bpm, m.candidates.front());
    const auto alternative = alternativeTempo(m.candidates, m.bpm, top.score);
    m.ambiguous = !reliable && top.agreement < kAmbiguousAgreementCeiling && alternative.has_value();

    const auto& consensus = features.consensusEnvelope;
    const auto onsetFrames = std::count_if(consensus.begin(), consensus.end(), [](double v) { return v >= kOnsetLevel; });
    m.onsetDensity = double(onsetFrames) / std::max(features.durationSeconds, 1.0);

    const double stability = tracking.stability;
    const double baseConfidence =
        clampOr(0.42 * top.score + 0.28 * top.agreement + 0.18 * stability + 0.06 * std::min(m.onsetDensity / 3.0, 1.0) +
                    (m.ambiguous ? 0.0 : 0.06),
                0.0, 1.0, 0.0);

    m.beatPositionsSeconds =
        predictedBeatGrid(features, tempo, reliable ? std::span<const ORVDetectedTempoSection>(sections)
                                                    : std::span<const ORVDetectedTempoSection>());
    const auto errors = A::gridErrorStatistics(consensus, m.beatPositionsSeconds, features.frameSeconds);
    m.medianGridErrorSeconds = errors.median;
    m.percentile95GridErrorSeconds = errors.percentile95;
    m.endDriftSeconds = errors.endDrift;

    if (reliable && sections.size() >= 2) {
        m.reason = sectionsReason(sections, tracking.observations);
    } else if (!collapsed && refinementUsed) {
        m.reason = "Whole-song precision fit refined the constant Beatloom estimate from " +
                   bpmText(A::roundedTempo(localBPM * level)) + " to " + bpmText(m.bpm) +
                   " BPM using long-term beat-grid drift (fit " + percentText(refinement->confidence) +
                   " %). No integer-BPM quantization is applied.";
    } else if (collapsed) {
        m.reason = "Whole-song metrical consensus rejected subdivision aliases in the local path and resolved one "
                   "constant pulse at " +
                   bpmText(m.bpm) + " BPM. Long-term beat-grid drift fit " + percentText(refinement->confidence) +
                   " %.";
    } else if (m.ambiguous) {
        m.reason = "Multi-Feature-Tracker erkennt " + bpmText(m.bpm) +
                   " BPM, aber die metrische Ebene bleibt mehrdeutig (Alternative " + bpmText(*alternative) +
                   " BPM).";
    } else if (baseConfidence >= 0.68) {
        m.reason = "Multi-Feature-Konsens: " + percentText(top.agreement) + " % Merkmals-Uebereinstimmung, " +
                   percentText(stability) +
                   " % Pfadstabilitaet. Tempo wird nicht mehr aus einer einzigen Onset-Huelle abgeleitet.";
    } else {
        m.reason = "Tempo-Kandidat " + bpmText(m.bpm) +
                   " BPM gefunden, aber der Multi-Feature-Konsens ist noch schwach (Agreement " +
                   percentText(top.agreement) + " %). Ergebnis bitte pruefen.";
    }

    m.confidence = baseConfidence;
    if (reliable) {
        double weakest = 0;
        if (!tracking.sections.empty()) {
            weakest = tracking.sections.front().confidence;
            for (const auto& s : tracking.sections) weakest = std::min(weakest, s.confidence);
        }
        m.confidence = std::max(baseConfidence, weakest);
    }
    m.tempoMapReliable = reliable && !collapsed;
    m.durationSeconds = features.durationSeconds;
    m.firstMeaningfulAudioSeconds = features.firstMeaningfulAudioSeconds;
    m.autocorrelation = top.autocorrelation;
    m.gridFit = top.gridFit;
    m.featureAgreement = top.agreement;
    m.trackingStability = stability;
    m.sections = std::move(sections);
    m.localObservations = tracking.observations;
    return m;
}

std::vector<double> ORVAnalyzerDriver::predictedBeatGrid(const ORVAudioFeatureSet& features, double bpm,
                                                         std::span<const ORVDetectedTempoSection> sections) {
    std::vector<double> beats;
    const double frameSeconds = features.frameSeconds;
    const double duration = features.durationSeconds;
    const double period = 60.0 / (frameSeconds * bpm);
    if (features.consensusEnvelope.empty() || !(frameSeconds > 0) || !(bpm > 0) || !(duration > 0) ||
        !std::isfinite(period) || !(period >= 2.0)) {
        return beats;
    }
    const ORVDetectedTempoSection whole{0, duration, bpm, 0, 0};
    const auto grid = sections.empty() ? std::span<const ORVDetectedTempoSection>(&whole, 1) : sections;

    const auto frames = static_cast<std::int64_t>(features.consensusEnvelope.size());
    double t = std::max(A::beatPhase(features, period, 0, frames) * frameSeconds, 0.0);
    std::size_t index = 0;
    while (t <= duration + 0.001 && beats.size() < kBeatLimit) {
        beats.push_back(t);
        while (index + 1 < grid.size() && grid[index + 1].startSeconds - 0.000001 <= t) ++index;
        t += 60.0 / std::max(grid[index].bpm, 1.0);
    }
    return beats;
}

}  // namespace corvel::audio
