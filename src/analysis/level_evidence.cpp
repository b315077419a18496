#include "analysis/level_evidence.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "analysis/level_spans.hpp"
#include "analysis/level_weights.hpp"
#include "analysis/music_analyzer.hpp"
#include "common/numeric.hpp"

namespace corvel::analysis {

namespace {

using A = ORVAudioMusicAnalyzer;

// Powers of two tried either side of the tempo.
constexpr int kOctaveReach = 3;
// A consensus candidate stands for a level within this relative distance.
constexpr double kSameLevel = 0.04;
// The tempo range listeners most readily tap a beat in; outside it the preference falls more
// steeply than the parabola around 120 BPM says.
constexpr double kSlowEdgeTempo = 80;
constexpr double kQuickEdgeTempo = 160;
// Accents are read in windows of about this many beats of the level.
constexpr double kWindowBeats = 48;

// The accents of the grid at one factor of the spans' tempi, averaged over its beats, each
// window with a grid of its own, and how clearly the spans' grids fit the onsets.
struct Accents : ORVGridAccents {
    double fit = 0;
};

Accents accentsAt(const ORVAudioFeatureSet& features, std::span<const LevelSpan> spans, double factor) {
    const double fs = features.frameSeconds;
    ORVGridAccents sums;
    for (const LevelSpan& span : spans) {
        const double period = 60.0 / (fs * span.bpm * factor);
        if (!(period >= 2.0) || !std::isfinite(period)) continue;
        for (const auto& [b, e] : levelWindows(span, kWindowBeats, period)) {
            sums += ORVAnalyzerMetricalLevel::gridAccents(features, period, b, e);
        }
    }
    Accents a;
    static_cast<ORVGridAccents&>(a) = sums.perBeat();
    a.fit = spansGridFit(features, spans, factor, QuickSpans::skip);
    return a;
}

}  // namespace

std::vector<ORVLevelEvidence> ORVAnalyzerLevelEvidence::levelEvidence(
    const ORVAudioFeatureSet& features, std::span<const ORVAnalyzerPeriodicity::InternalCandidate> candidates,
    std::span<const ORVDetectedTempoSection> sections, double bpm, std::optional<double> ruleFactor) {
    std::vector<ORVLevelEvidence> levels;
    const double fs = features.frameSeconds;
    if (!A::isUsableTempo(bpm) || !(fs > 0) || !std::isfinite(fs) || features.consensusEnvelope.empty()) return levels;
    for (int third = -1; third <= 1; ++third) {
        for (int octave = -kOctaveReach; octave <= kOctaveReach; ++octave) {
            const double factor = std::ldexp(std::pow(3.0, third), octave);
            const double tempo = bpm * factor;
            if (tempo < kSlowestLevelTempo || tempo > kFastestLevelTempo) continue;
            levels.push_back({factor, tempo, {}, 0});
        }
    }
    std::sort(levels.begin(), levels.end(), [](const auto& a, const auto& b) { return a.factor < b.factor; });
    if (levels.empty()) return levels;

    const std::vector<LevelSpan> spans = levelSpans(features, sections, bpm, RampReading::never);
    std::vector<std::pair<double, Accents>> measured;
    const auto accents = [&](double factor) {
        for (const auto& [f, a] : measured) {
            if (std::abs(f / factor - 1) < 1e-9) return a;
        }
        measured.emplace_back(factor, accentsAt(features, spans, factor));
        return measured.back().second;
    };
    const auto peaks = A::onsetPeakFrames(features.consensusEnvelope);
    const double onsetsPerSecond = static_cast<double>(peaks.size()) / std::max(features.durationSeconds, 1.0);
    const double rule = ruleFactor ? *ruleFactor : A::accentRuleFactor(features, sections, bpm);
    double bestFit = 0;
    for (const auto& level : levels) bestFit = std::max(bestFit, accents(level.factor).fit);

    const auto phaseMaxima = A::beatPhaseMaxima(features.consensusEnvelope);
    // The strongest consensus candidate at a tempo, if any scores above 0.
    const auto consensusAt = [&](double tempo) {
        const ORVAnalyzerPeriodicity::InternalCandidate* best = nullptr;
        for (const auto& c : candidates) {
            if (A::isUsableTempo(c.bpm) && std::abs(c.bpm - tempo) <= kSameLevel * std::max(c.bpm, tempo) &&
                c.score > (best ? best->score : 0.0)) {
                best = &c;
            }
        }
        return best;
    };
    const auto gridScoresAt = [&](double tempo) {
        const double period = 60.0 / (fs * tempo);
        return A::gridScores(peaks, features.consensusEnvelope, period,
                             A::bestBeatPhaseOfMaxima(phaseMaxima, period));
    };
    for (auto& level : levels) {
        auto& x = level.features;
        const double octaves = std::log2(level.bpm / kPreferredLevelTempo);
        x[0] = -octaves * octaves;
        x[1] = octaves;
        if (const auto* c = consensusAt(level.bpm)) {
            x[2] = c->score;
            x[3] = c->agreement;
        }
        x[4] = A::measureAccentRecurrence(features.consensusEnvelope, phaseMaxima, 60.0 / (fs * level.bpm));
        const Accents here = accents(level.factor);
        const Accents twice = accents(2 * level.factor);
        const Accents thrice = accents(3 * level.factor);
        x[5] = bestFit > 1e-12 ? here.fit / bestFit : 0.0;
        x[6] = here.lean;
        x[7] = twice.lean;
        x[8] = here.backbeat;
        x[9] = twice.backbeat;
        x[10] = here.cross;
        x[11] = twice.cross;
        x[12] = here.upper;
        x[13] = twice.upper;
        x[14] = here.triple;
        x[15] = thrice.triple;
        x[16] = here.swing;
        const double perBeat = std::log2(std::max(onsetsPerSecond * 60.0 / level.bpm, 1.0 / 64));
        x[17] = perBeat;
        x[18] = perBeat * perBeat;
        x[19] = std::abs(level.factor / rule - 1) < 1e-6 ? 1.0 : 0.0;
        x[20] = std::max(std::log2(kSlowEdgeTempo / level.bpm), 0.0);
        x[21] = std::max(std::log2(level.bpm / kQuickEdgeTempo), 0.0);
        const auto* quicker = consensusAt(2 * level.bpm);
        const auto* slower = consensusAt(level.bpm / 2);
        x[22] = quicker ? quicker->score : 0.0;
        x[23] = slower ? slower->score : 0.0;
        x[24] = bestFit > 1e-12 ? twice.fit / bestFit : 0.0;
        const ORVGridScores grid = gridScoresAt(level.bpm);
        const ORVGridScores gridTwice = gridScoresAt(2 * level.bpm);
        x[25] = grid.gridFit;
        x[26] = gridTwice.gridFit;
        x[27] = grid.pulseCompleteness;
        x[28] = gridTwice.pulseCompleteness;
        x[29] = here.breadth;
        x[30] = twice.breadth;
        x[31] = here.swung;
        x[32] = thrice.lean;
        x[33] = twice.swing;
        level.score = levelScore(x);
    }
    return levels;
}

double ORVAnalyzerLevelEvidence::levelScore(const std::array<double, kLevelFeatureCount>& features) {
    double score = 0;
    for (std::size_t k = 0; k < kLevelFeatureCount; ++k) {
        score += kLevelWeights[k] * (features[k] - kLevelFeatureMeans[k]) / kLevelFeatureScales[k];
    }
    return score;
}

ORVLevelChoice ORVAnalyzerLevelEvidence::chooseLevel(std::span<const ORVLevelEvidence> levels) {
    ORVLevelChoice choice;
    if (levels.empty()) return choice;
    std::size_t best = 0;
    for (std::size_t k = 1; k < levels.size(); ++k) {
        if (levels[k].score >= levels[best].score) best = k;
    }
    double runnerUp = -std::numeric_limits<double>::infinity();
    double total = 0;
    for (std::size_t k = 0; k < levels.size(); ++k) {
        total += std::exp(levels[k].score - levels[best].score);
        if (k != best && levels[k].score > runnerUp) {
            runnerUp = levels[k].score;
            choice.runnerUpFactor = levels[k].factor;
        }
    }
    choice.factor = levels[best].factor;
    choice.margin = std::isfinite(runnerUp) ? levels[best].score - runnerUp : std::numeric_limits<double>::infinity();
    choice.probability = 1.0 / total;
    return choice;
}

}  // namespace corvel::analysis
