#include "audio/onset_measures.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "audio/tempo_refiner.hpp"
#include "common/numeric.hpp"

namespace corvel::audio {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Onset peaks are never weaker than this, however quiet the envelope.
constexpr double kLowestOnsetPeak = 0.08;

double clamp01(double value) { return clampOr(value, 0.0, 1.0, 0.0); }

// The larger of the two, where a NaN value never wins (as fmax, but inlined).
inline double larger(double best, double value) { return value > best ? value : best; }

// Largest envelope value in frames lo ... hi (clipped to the envelope), never below 0.
inline double windowMaximum(std::span<const double> envelope, std::int64_t lo, std::int64_t hi) {
    const auto size = static_cast<std::int64_t>(envelope.size());
    lo = std::max<std::int64_t>(lo, 0);
    hi = std::min(hi, size - 1);
    double best = 0;
    for (std::int64_t i = lo; i <= hi; ++i) best = larger(best, envelope[static_cast<std::size_t>(i)]);
    return best;
}

// round(t), halves away from zero, for 0 <= t < 2^52, where the whole part and the
// fraction of t are exact.
inline std::int64_t nearestFrameOfPosition(double t) {
    const auto whole = static_cast<std::int64_t>(t);
    return whole + (t - static_cast<double>(whole) >= 0.5 ? 1 : 0);
}

// round(t) as roundedInt64, inlined for the frame positions of beats.
inline std::int64_t nearestFrame(double t) {
    return t >= 0 && t < 4503599627370496.0 ? nearestFrameOfPosition(t) : roundedInt64(t);
}

// std::round(v) inlined: below 2^52 in size the whole part and the fraction of v are exact.
// (A result of zero may differ in sign, which no caller can tell.)
inline double nearestWhole(double v) {
    if (v > -4503599627370496.0 && v < 4503599627370496.0) {
        const double whole = static_cast<double>(static_cast<std::int64_t>(v));
        const double fraction = v - whole;
        return fraction >= 0.5 ? whole + 1 : (fraction <= -0.5 ? whole - 1 : whole);
    }
    return std::round(v);
}

// Half-width of a beat window: round(fraction x period) in 1 ... 7 frames.
std::int64_t beatTolerance(double fraction, double periodFrames) {
    return std::clamp<std::int64_t>(roundedInt64(fraction * periodFrames, 1), 1, 7);
}

// Calls visit(beatNumber, round(t)) for the beats t = phase + b x period below frameCount.
template <typename Visit>
inline void walkBeats(double phaseFrames, double periodFrames, std::int64_t frameCount, Visit visit) {
    const auto n = static_cast<double>(frameCount);
    // Beat 0 sits on the phase itself, also for an infinite period.
    if (!(phaseFrames < n)) return;
    visit(std::int64_t{0}, nearestFrame(phaseFrames));
    for (std::int64_t b = 1;; ++b) {
        const double t = phaseFrames + static_cast<double>(b) * periodFrames;
        if (!(t < n)) break;
        visit(b, nearestFrame(t));
    }
}

// Pearson correlation of strengths[0 ... k - lag - 1] with strengths[lag ... k - 1]; none when
// either side has (almost) no spread.
bool laggedCorrelation(const std::vector<double>& strengths, std::size_t lag, double& r) {
    const std::size_t count = strengths.size() - lag;
    double meanX = 0, meanY = 0;
    for (std::size_t i = 0; i < count; ++i) {
        meanX += strengths[i];
        meanY += strengths[i + lag];
    }
    meanX /= static_cast<double>(count);
    meanY /= static_cast<double>(count);
    double sxy = 0, sxx = 0, syy = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double dx = strengths[i] - meanX;
        const double dy = strengths[i + lag] - meanY;
        sxy += dx * dy;
        sxx += dx * dx;
        syy += dy * dy;
    }
    const double root = std::sqrt(sxx * syy);
    if (!(root > 1e-12)) return false;
    r = sxy / root;
    return true;
}

}  // namespace

std::vector<std::int64_t> ORVAnalyzerOnsetMeasures::onsetPeakFrames(std::span<const double> envelope) {
    return SetwrightMusicTempoRefiner::peakFrames(envelope, kLowestOnsetPeak);
}

std::vector<double> ORVAnalyzerOnsetMeasures::beatPhaseMaxima(std::span<const double> envelope) {
    const std::size_t n = envelope.size();
    std::vector<double> maxima(n == 0 ? 0 : n + 1);
    for (std::size_t c = 0; c < maxima.size(); ++c) {
        const auto frame = static_cast<std::int64_t>(c);
        maxima[c] = windowMaximum(envelope, frame - 1, frame + 1);
    }
    return maxima;
}

double ORVAnalyzerOnsetMeasures::bestBeatPhase(std::span<const double> envelope, double periodFrames) {
    if (!(periodFrames >= 2.0) || envelope.empty()) return 0;
    const std::vector<double> maxima = beatPhaseMaxima(envelope);
    return bestBeatPhaseOfMaxima(maxima, periodFrames);
}

double ORVAnalyzerOnsetMeasures::bestBeatPhaseOfMaxima(std::span<const double> maxima, double periodFrames) {
    if (!(periodFrames >= 2.0) || maxima.size() < 2) return 0;
    const auto n = static_cast<std::int64_t>(maxima.size() - 1);
    const double frames = static_cast<double>(n);
    // Every beat lies in 0 ... n (n, a count of doubles in memory, is far below 2^52), so its
    // nearest frame is at most n: inside the table.
    const double* table = maxima.data();
    const std::int64_t phases = std::min(saturatingInt64(std::ceil(periodFrames), n), n);
    std::int64_t bestPhase = 0;
    double bestMean = -kInfinity;
    // Four phases walk side by side, each summing its own beats in order, so that the four
    // sums need not wait for each other. Beat 0 of a phase is the phase itself.
    constexpr std::int64_t kGroup = 4;
    for (std::int64_t first = 0; first < phases; first += kGroup) {
        const std::int64_t group = std::min(kGroup, phases - first);
        double sums[kGroup] = {};
        for (std::int64_t k = 0; k < group; ++k) sums[k] += table[first + k];
        std::int64_t beat = 1;
        if (group == kGroup) {
            const double p0 = static_cast<double>(first);
            const double p1 = static_cast<double>(first + 1);
            const double p2 = static_cast<double>(first + 2);
            const double p3 = static_cast<double>(first + 3);
            // The last phase's beats are the latest: while it has one, so have the others.
            for (;; ++beat) {
                const double offset = static_cast<double>(beat) * periodFrames;
                const double t3 = p3 + offset;
                if (!(t3 < frames)) break;
                sums[0] += table[nearestFrameOfPosition(p0 + offset)];
                sums[1] += table[nearestFrameOfPosition(p1 + offset)];
                sums[2] += table[nearestFrameOfPosition(p2 + offset)];
                sums[3] += table[nearestFrameOfPosition(t3)];
            }
        }
        for (std::int64_t k = 0; k < group; ++k) {
            const double phase = static_cast<double>(first + k);
            std::int64_t count = beat;
            for (std::int64_t b = beat;; ++b, ++count) {
                const double t = phase + static_cast<double>(b) * periodFrames;
                if (!(t < frames)) break;
                sums[k] += table[nearestFrameOfPosition(t)];
            }
            const double value = sums[k] / static_cast<double>(count);
            if (value > bestMean) {
                bestMean = value;
                bestPhase = first + k;
            }
        }
    }
    return static_cast<double>(bestPhase);
}

double ORVAnalyzerOnsetMeasures::gridFitScore(std::span<const std::int64_t> onsetPeaks, std::int64_t frameCount,
                                              std::span<const double> envelope, double periodFrames,
                                              double phaseFrames) {
    const std::int64_t n = frameCount;
    if (!(periodFrames > 0) || !std::isfinite(periodFrames) || onsetPeaks.empty() || !std::isfinite(phaseFrames) ||
        phaseFrames >= static_cast<double>(n)) {
        return 0;
    }
    const std::int64_t w = beatTolerance(0.1, periodFrames);

    std::int64_t beats = 0;
    std::int64_t hits = 0;
    double strengthSum = 0;
    std::size_t cursor = 0;
    walkBeats(phaseFrames, periodFrames, n, [&](std::int64_t, std::int64_t c) {
        ++beats;
        const std::int64_t start = std::max<std::int64_t>(c - w, 0);
        const std::int64_t end = std::min(c + w, n - 1);
        strengthSum += windowMaximum(envelope, start, end);
        while (cursor < onsetPeaks.size() && onsetPeaks[cursor] < start) ++cursor;
        if (cursor < onsetPeaks.size() && onsetPeaks[cursor] <= end) ++hits;
    });
    if (beats == 0) return 0;

    std::int64_t onGrid = 0;
    for (const std::int64_t peak : onsetPeaks) {
        const auto p = static_cast<double>(peak);
        const double g = nearestWhole((p - phaseFrames) / periodFrames) * periodFrames + phaseFrames;
        if (g >= 0 && g < static_cast<double>(n) && std::abs(p - g) <= static_cast<double>(w)) ++onGrid;
    }

    const double beatRecall = static_cast<double>(hits) / static_cast<double>(beats);
    const double peakPrecision = static_cast<double>(onGrid) / static_cast<double>(onsetPeaks.size());
    const double meanStrength = strengthSum / static_cast<double>(beats);
    double result = 0.16 * meanStrength;
    if (beatRecall + peakPrecision > 0) {
        const double f = 2 * beatRecall * peakPrecision / (beatRecall + peakPrecision);
        result += 0.84 * f;
    }
    return clamp01(result);
}

double ORVAnalyzerOnsetMeasures::pulseCompletenessScore(std::span<const double> envelope, double periodFrames,
                                                        double phaseFrames) {
    const auto n = static_cast<std::int64_t>(envelope.size());
    if (!(periodFrames >= 2.0) || !std::isfinite(periodFrames) || n < 32 || !std::isfinite(phaseFrames)) return 0;
    const std::int64_t w = beatTolerance(0.09, periodFrames);
    // The even and the odd beats: how many, the sum of their strengths (in beat order) and
    // how many reach the hit level.
    struct Beats {
        std::int64_t count = 0;
        double sum = 0;
        std::int64_t hits = 0;
        double mean() const { return sum / static_cast<double>(count); }
        double hitShare() const { return static_cast<double>(hits) / static_cast<double>(count); }
    };
    Beats even;
    Beats odd;
    walkBeats(phaseFrames, periodFrames, n, [&](std::int64_t b, std::int64_t c) {
        Beats& beats = b % 2 == 0 ? even : odd;
        const double strength = windowMaximum(envelope, c - w, c + w);
        ++beats.count;
        beats.sum += strength;
        if (strength >= 0.16) ++beats.hits;
    });
    if (even.count < 3 || odd.count < 3) return 0;
    const double meanEven = even.mean();
    const double meanOdd = odd.mean();
    const double high = std::fmax(meanEven, meanOdd);
    if (!(high > 1e-9)) return 0;
    const double balance = std::fmin(meanEven, meanOdd) / high;
    const double hitShare = std::fmin(even.hitShare(), odd.hitShare());
    return clamp01(0.58 * balance + 0.42 * hitShare);
}

double ORVAnalyzerOnsetMeasures::weightedMedian(std::span<const ORVWeightedValue> pairs) {
    if (pairs.empty()) return 0;
    std::vector<ORVWeightedValue> sorted(pairs.begin(), pairs.end());
    // Ascending with NaN values last: a strict weak order, so the stable sort is well defined.
    std::stable_sort(sorted.begin(), sorted.end(), [](const ORVWeightedValue& a, const ORVWeightedValue& b) {
        if (std::isnan(a.value)) return false;
        if (std::isnan(b.value)) return true;
        return a.value < b.value;
    });
    double total = 0;
    for (const auto& pair : sorted) total += std::fmax(pair.weight, 0.0);
    if (!(total > 1e-12)) return sorted[sorted.size() / 2].value;
    const double half = total * 0.5;
    double running = 0;
    for (const auto& pair : sorted) {
        running += std::fmax(pair.weight, 0.0);
        if (running >= half) return pair.value;
    }
    return sorted.back().value;
}

double ORVAnalyzerOnsetMeasures::nearestDistance(std::span<const double> ascendingTimes, double t) {
    if (ascendingTimes.empty()) return kInfinity;
    const auto after = std::lower_bound(ascendingTimes.begin(), ascendingTimes.end(), t);
    double best = kInfinity;
    if (after != ascendingTimes.end()) best = std::abs(*after - t);
    if (after != ascendingTimes.begin()) best = std::fmin(best, std::abs(*(after - 1) - t));
    return best;
}

ORVGridErrorStatistics ORVAnalyzerOnsetMeasures::gridErrorStatistics(std::span<const double> envelope,
                                                                     std::span<const double> beatTimes,
                                                                     double frameSeconds) {
    const ORVGridErrorStatistics none{kInfinity, kInfinity, kInfinity};
    if (!(frameSeconds > 0) || beatTimes.empty()) return none;
    const auto peaks = onsetPeakFrames(envelope);
    if (peaks.empty()) return none;
    std::vector<double> onsetTimes;
    onsetTimes.reserve(peaks.size());
    for (const std::int64_t peak : peaks) onsetTimes.push_back(static_cast<double>(peak) * frameSeconds);
    std::vector<double> distances;
    distances.reserve(beatTimes.size());
    for (const double beat : beatTimes) distances.push_back(nearestDistance(onsetTimes, beat));
    return {SetwrightMusicTempoRefiner::percentile(distances, 0.5),
            SetwrightMusicTempoRefiner::percentile(distances, 0.95), distances.back()};
}

double ORVAnalyzerOnsetMeasures::measureAccentRecurrence(std::span<const double> envelope, double periodFrames) {
    const auto n = static_cast<std::int64_t>(envelope.size());
    if (n < 256 || !std::isfinite(periodFrames) || periodFrames < 2.0) return 0;
    const double phase = bestBeatPhase(envelope, periodFrames);
    const std::int64_t h = beatTolerance(0.1, periodFrames);
    std::vector<double> strengths;
    walkBeats(phase, periodFrames, n,
              [&](std::int64_t, std::int64_t c) { strengths.push_back(windowMaximum(envelope, c - h, c + h)); });
    double total = 0;
    int counted = 0;
    for (const std::size_t lag : {std::size_t{2}, std::size_t{4}, std::size_t{8}}) {
        if (strengths.size() <= 4 * lag) continue;
        double r = 0;
        if (laggedCorrelation(strengths, lag, r)) {
            total += std::fmax(r, 0.0);
            ++counted;
        }
    }
    return counted == 0 ? 0.0 : total / counted;
}

}  // namespace corvel::audio
