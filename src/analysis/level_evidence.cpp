#include "analysis/level_evidence.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

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
// Accents are read in windows of about this many beats of the level.
constexpr double kWindowBeats = 48;
// Bars are looked for up to this many beats of the slowest level.
constexpr double kLongestBarBeats = 4;

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

// How strongly a level's beats and their subdivisions in two and in three sound (the envelope's
// largest value within a frame of each, over its mean): the onsets a beat has under it, and
// whether they divide it in two or in three.
struct Sounding {
    double beats = 0, eighths = 0, triplets = 0;
};

Sounding soundingAt(const ORVAudioFeatureSet& features, std::span<const LevelSpan> spans, double factor,
                    std::span<const double> maxima, double meanMaximum) {
    const double fs = features.frameSeconds;
    const auto last = static_cast<std::int64_t>(maxima.size()) - 1;
    const auto at = [&](double frame) {
        if (last < 0) return 0.0;
        return maxima[static_cast<std::size_t>(std::clamp<std::int64_t>(roundedInt64(frame), 0, last))];
    };
    Sounding sums;
    double count = 0;
    for (const LevelSpan& span : spans) {
        const double period = 60.0 / (fs * span.bpm * factor);
        if (!(period >= 2.0) || !std::isfinite(period)) continue;
        for (const auto& [b, e] : levelWindows(span, kWindowBeats, period)) {
            const ORVBeatGrid grid = ORVAnalyzerMetricalLevel::beatGrid(features, period, b, e);
            for (double t = grid.firstFrom(static_cast<double>(b)); t < static_cast<double>(e); t += period) {
                sums.beats += at(t);
                sums.eighths += at(t + period / 2);
                sums.triplets += (at(t + period / 3) + at(t + 2 * period / 3)) / 2;
                count += 1;
            }
        }
    }
    if (count > 0 && meanMaximum > 1e-12) {
        const double scale = count * meanMaximum;
        sums.beats /= scale;
        sums.eighths /= scale;
        sums.triplets /= scale;
    }
    return sums;
}

// How the envelope correlates with itself at lags 0 ... longest frames, its mean taken out,
// each lag over the frames both ends cover, as a share of the lag-0 value: its onsets against
// the largest value within a frame of each later frame (`maxima`, beatPhaseMaxima), so that
// beats a fraction of a frame off a whole lag still meet. Empty when the envelope is too short
// to hold two of the longest lags or holds no variation.
std::vector<double> envelopeCorrelation(std::span<const double> envelope, std::span<const double> maxima,
                                        std::int64_t longest) {
    const std::size_t n = envelope.size();
    if (longest < 1 || n < 2 * static_cast<std::size_t>(longest) || maxima.size() < n) return {};
    const auto centred = [n](std::span<const double> values) {
        std::vector<double> out(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n));
        double mean = 0;
        for (const double v : out) mean += v;
        mean /= static_cast<double>(n);
        for (double& v : out) v -= mean;
        return out;
    };
    const std::vector<double> x = centred(envelope);
    const std::vector<double> m = centred(maxima);
    std::vector<double> ac(static_cast<std::size_t>(longest) + 1, 0.0);
    for (std::size_t lag = 0; lag < ac.size(); ++lag) {
        double sum = 0;
        for (std::size_t i = 0; i + lag < n; ++i) sum += x[i] * m[i + lag];
        ac[lag] = sum / static_cast<double>(n - lag);
    }
    if (!(ac[0] > 1e-12)) return {};
    const double zero = ac[0];
    for (double& v : ac) v /= zero;
    return ac;
}

// The correlation at a lag (frames, fractional), read at the nearest whole lag; 0 beyond the
// lags measured.
double correlationAt(std::span<const double> ac, double lag) {
    const auto c = roundedInt64(lag);
    return c >= 0 && c < static_cast<std::int64_t>(ac.size()) ? ac[static_cast<std::size_t>(c)] : 0.0;
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
    const std::vector<double> correlation = envelopeCorrelation(
        features.consensusEnvelope, phaseMaxima,
        static_cast<std::int64_t>(std::ceil(kLongestBarBeats * 60.0 / (fs * kSlowestLevelTempo))) + 2);
    double meanMaximum = 0;
    for (const double v : phaseMaxima) meanMaximum += v;
    meanMaximum /= static_cast<double>(std::max<std::size_t>(phaseMaxima.size(), 1));
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
        if (const auto* c = consensusAt(level.bpm)) {
            x[0] = c->score;
            x[1] = c->agreement;
        }
        x[2] = A::measureAccentRecurrence(features.consensusEnvelope, phaseMaxima, 60.0 / (fs * level.bpm));
        const Accents here = accents(level.factor);
        const Accents twice = accents(2 * level.factor);
        const Accents thrice = accents(3 * level.factor);
        x[3] = bestFit > 1e-12 ? here.fit / bestFit : 0.0;
        x[4] = here.lean;
        x[5] = twice.lean;
        x[6] = here.backbeat;
        x[7] = twice.backbeat;
        x[8] = here.cross;
        x[9] = twice.cross;
        x[10] = here.upper;
        x[11] = twice.upper;
        x[12] = here.triple;
        x[13] = thrice.triple;
        x[14] = here.swing;
        const double perBeat = std::log2(std::max(onsetsPerSecond * 60.0 / level.bpm, 1.0 / 64));
        x[15] = perBeat;
        x[16] = perBeat * perBeat;
        x[17] = std::abs(level.factor / rule - 1) < 1e-6 ? 1.0 : 0.0;
        const auto* quicker = consensusAt(2 * level.bpm);
        const auto* slower = consensusAt(level.bpm / 2);
        x[18] = quicker ? quicker->score : 0.0;
        x[19] = slower ? slower->score : 0.0;
        x[20] = bestFit > 1e-12 ? twice.fit / bestFit : 0.0;
        const ORVGridScores grid = gridScoresAt(level.bpm);
        const ORVGridScores gridTwice = gridScoresAt(2 * level.bpm);
        x[21] = grid.gridFit;
        x[22] = gridTwice.gridFit;
        x[23] = grid.pulseCompleteness;
        x[24] = gridTwice.pulseCompleteness;
        x[25] = here.breadth;
        x[26] = twice.breadth;
        x[27] = here.swung;
        x[28] = thrice.lean;
        x[29] = twice.swing;
        const Sounding sounding = soundingAt(features, spans, level.factor, phaseMaxima, meanMaximum);
        x[30] = sounding.beats;
        x[31] = sounding.eighths;
        x[32] = sounding.triplets;
        const double period = 60.0 / (fs * level.bpm);
        const double inTwo = correlationAt(correlation, 2 * period);
        const double inThree = correlationAt(correlation, 3 * period);
        const double inFour = correlationAt(correlation, 4 * period);
        x[33] = inFour - inThree;
        x[34] = inThree - std::max(inTwo, inFour);
        // The tempo itself, as a share in the two neighbouring bands of the fitted tempo prior.
        for (std::size_t k = 0; k < kTempoBandCount; ++k) {
            x[kFirstTempoBand + k] = std::max(1.0 - std::abs(octaves - tempoBandCentre(k)) / kTempoBandOctaves, 0.0);
        }
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
