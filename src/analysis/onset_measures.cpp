#include "analysis/onset_measures.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analysis/tempo_refiner.hpp"
#include "analysis/vector_units.hpp"
#include "common/numeric.hpp"

#ifdef CORVEL_AUDIO_AVX2_PATHS
#include <immintrin.h>
#endif

namespace corvel::analysis {

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

#ifdef CORVEL_AUDIO_AVX2_PATHS
constexpr std::int64_t kWidePhaseGroup = 8;

// nearestFrameOfPosition of four positions 0 <= t < 2^31.
__attribute__((target("avx2"))) inline __m128i nearestFramesOfPositions(__m256d t) {
    const __m128i whole = _mm256_cvttpd_epi32(t);
    const __m256d fraction = _mm256_sub_pd(t, _mm256_cvtepi32_pd(whole));
    const __m256d up = _mm256_cmp_pd(fraction, _mm256_set1_pd(0.5), _CMP_GE_OQ);
    // The all-ones lanes of `up`, narrowed to 32 bits, are -1: subtracting them rounds up.
    const __m256i upLanes = _mm256_permutevar8x32_epi32(_mm256_castpd_si256(up), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
    return _mm_sub_epi32(whole, _mm256_castsi256_si128(upLanes));
}

// The beat walk of bestBeatPhaseOfMaxima for the eight phases first ... first + 7 below
// frames < 2^31 - 1: adds the beats of each phase to its sum (which holds beat 0), each lane in
// beat order as the scalar walk adds them, while the last phase has one; returns the first
// beat left to add.
__attribute__((target("avx2"))) std::int64_t sumBeatsWide(const double* table, double frames, double periodFrames,
                                                          std::int64_t first, double* sums) {
    const __m256d low = _mm256_setr_pd(static_cast<double>(first), static_cast<double>(first + 1),
                                       static_cast<double>(first + 2), static_cast<double>(first + 3));
    const __m256d high = _mm256_setr_pd(static_cast<double>(first + 4), static_cast<double>(first + 5),
                                        static_cast<double>(first + 6), static_cast<double>(first + 7));
    const auto last = static_cast<double>(first + 7);
    __m256d sumLow = _mm256_loadu_pd(sums);
    __m256d sumHigh = _mm256_loadu_pd(sums + 4);
    // Gathers of every lane (the masked form, from a defined vector).
    const __m256d zero = _mm256_setzero_pd();
    const __m256d every = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    std::int64_t beat = 1;
    // While the last phase has a beat, so have the others.
    for (;; ++beat) {
        const double offset = static_cast<double>(beat) * periodFrames;
        if (!(last + offset < frames)) break;
        const __m256d shift = _mm256_set1_pd(offset);
        const __m128i framesLow = nearestFramesOfPositions(_mm256_add_pd(low, shift));
        const __m128i framesHigh = nearestFramesOfPositions(_mm256_add_pd(high, shift));
        sumLow = _mm256_add_pd(sumLow, _mm256_mask_i32gather_pd(zero, table, framesLow, every, 8));
        sumHigh = _mm256_add_pd(sumHigh, _mm256_mask_i32gather_pd(zero, table, framesHigh, every, 8));
    }
    _mm256_storeu_pd(sums, sumLow);
    _mm256_storeu_pd(sums + 4, sumHigh);
    return beat;
}
#endif

#ifdef CORVEL_AUDIO_AVX2_PATHS
// How many of the peaks (count a multiple of 4) lie within reach of their nearest beat of the
// grid inside 0 ... frames, four at a time: each lane computes the nearest beat as
// gridFitScore does (the whole part by truncation, the half away from zero), in the same steps.
__attribute__((target("avx2"))) std::int64_t peaksOnGridWide(const std::int64_t* peaks, std::size_t count,
                                                             double phaseFrames, double periodFrames, double frames,
                                                             double reach) {
    const __m256d phase = _mm256_set1_pd(phaseFrames);
    const __m256d period = _mm256_set1_pd(periodFrames);
    const __m256d end = _mm256_set1_pd(frames);
    const __m256d within = _mm256_set1_pd(reach);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d minusHalf = _mm256_set1_pd(-0.5);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
    std::int64_t onGrid = 0;
    for (std::size_t i = 0; i + 4 <= count; i += 4) {
        const __m256d p = _mm256_setr_pd(static_cast<double>(peaks[i]), static_cast<double>(peaks[i + 1]),
                                         static_cast<double>(peaks[i + 2]), static_cast<double>(peaks[i + 3]));
        const __m256d v = _mm256_div_pd(_mm256_sub_pd(p, phase), period);
        const __m256d whole = _mm256_round_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256d fraction = _mm256_sub_pd(v, whole);
        const __m256d up = _mm256_and_pd(_mm256_cmp_pd(fraction, half, _CMP_GE_OQ), one);
        const __m256d down = _mm256_and_pd(_mm256_cmp_pd(fraction, minusHalf, _CMP_LE_OQ), one);
        const __m256d beat = _mm256_sub_pd(_mm256_add_pd(whole, up), down);
        const __m256d g = _mm256_add_pd(_mm256_mul_pd(beat, period), phase);
        const __m256d distance = _mm256_and_pd(_mm256_sub_pd(p, g), magnitude);
        const __m256d on = _mm256_and_pd(
            _mm256_and_pd(_mm256_cmp_pd(g, zero, _CMP_GE_OQ), _mm256_cmp_pd(g, end, _CMP_LT_OQ)),
            _mm256_cmp_pd(distance, within, _CMP_LE_OQ));
        onGrid += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(on)));
    }
    return onGrid;
}
#endif

// The half-widths of the beat windows of the grid fit and of the pulse completeness, as
// shares of the period.
constexpr double kGridFitReach = 0.1;
constexpr double kPulseReach = 0.09;

// gridFitScore, handing every beat's number and strength to onBeat as it walks them.
template <typename OnBeat>
double gridFitOf(std::span<const std::int64_t> onsetPeaks, std::int64_t frameCount, std::span<const double> envelope,
                 double periodFrames, double phaseFrames, OnBeat onBeat) {
    const std::int64_t n = frameCount;
    if (!(periodFrames > 0) || !std::isfinite(periodFrames) || onsetPeaks.empty() || !std::isfinite(phaseFrames) ||
        phaseFrames >= static_cast<double>(n)) {
        return 0;
    }
    const std::int64_t w = beatTolerance(kGridFitReach, periodFrames);

    std::int64_t beats = 0;
    std::int64_t hits = 0;
    double strengthSum = 0;
    std::size_t cursor = 0;
    walkBeats(phaseFrames, periodFrames, n, [&](std::int64_t b, std::int64_t c) {
        ++beats;
        const std::int64_t start = std::max<std::int64_t>(c - w, 0);
        const std::int64_t end = std::min(c + w, n - 1);
        const double strength = windowMaximum(envelope, start, end);
        strengthSum += strength;
        onBeat(b, strength);
        while (cursor < onsetPeaks.size() && onsetPeaks[cursor] < start) ++cursor;
        if (cursor < onsetPeaks.size() && onsetPeaks[cursor] <= end) ++hits;
    });
    if (beats == 0) return 0;

    std::int64_t onGrid = 0;
    std::size_t first = 0;
#ifdef CORVEL_AUDIO_AVX2_PATHS
    if (processorHasAvx2()) {
        first = onsetPeaks.size() / 4 * 4;
        onGrid = peaksOnGridWide(onsetPeaks.data(), first, phaseFrames, periodFrames, static_cast<double>(n),
                                 static_cast<double>(w));
    }
#endif
    for (const std::int64_t peak : onsetPeaks.subspan(first)) {
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

bool pulseMeasurable(std::int64_t frames, double periodFrames, double phaseFrames) {
    return periodFrames >= 2.0 && std::isfinite(periodFrames) && frames >= 32 && std::isfinite(phaseFrames);
}

// The even and the odd beats of a grid: how many, the sum of their strengths (in beat order)
// and how many reach the hit level; the pulse completeness they give.
class PulseBeats {
public:
    void add(std::int64_t beat, double strength) {
        Beats& beats = beat % 2 == 0 ? even_ : odd_;
        ++beats.count;
        beats.sum += strength;
        if (strength >= 0.16) ++beats.hits;
    }

    double score() const {
        if (even_.count < 3 || odd_.count < 3) return 0;
        const double meanEven = even_.mean();
        const double meanOdd = odd_.mean();
        const double high = std::fmax(meanEven, meanOdd);
        if (!(high > 1e-9)) return 0;
        const double balance = std::fmin(meanEven, meanOdd) / high;
        const double hitShare = std::fmin(even_.hitShare(), odd_.hitShare());
        return clamp01(0.58 * balance + 0.42 * hitShare);
    }

private:
    struct Beats {
        std::int64_t count = 0;
        double sum = 0;
        std::int64_t hits = 0;
        double mean() const { return sum / static_cast<double>(count); }
        double hitShare() const { return static_cast<double>(hits) / static_cast<double>(count); }
    };
    Beats even_;
    Beats odd_;
};

}  // namespace

std::vector<std::int64_t> ORVAnalyzerOnsetMeasures::onsetPeakFrames(std::span<const double> envelope) {
    return SetwrightMusicTempoRefiner::peakFrames(envelope, kLowestOnsetPeak);
}

std::vector<double> ORVAnalyzerOnsetMeasures::beatPhaseMaxima(std::span<const double> envelope) {
    std::vector<double> maxima;
    beatPhaseMaxima(envelope, maxima);
    return maxima;
}

void ORVAnalyzerOnsetMeasures::beatPhaseMaxima(std::span<const double> envelope, std::vector<double>& maxima) {
    const std::size_t n = envelope.size();
    maxima.resize(n == 0 ? 0 : n + 1);
    if (n == 0) return;
    // Inside the envelope each window has all three frames; the ends are clipped.
    maxima[0] = windowMaximum(envelope, -1, 1);
    for (std::size_t c = 1; c + 1 < n; ++c) {
        maxima[c] = larger(larger(larger(0.0, envelope[c - 1]), envelope[c]), envelope[c + 1]);
    }
    for (std::size_t c = std::max<std::size_t>(n - 1, 1); c <= n; ++c) {
        const auto frame = static_cast<std::int64_t>(c);
        maxima[c] = windowMaximum(envelope, frame - 1, frame + 1);
    }
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
    // Phases first ... first + group - 1 have summed their beats before `beat`: each adds the
    // rest of its own, in order, and the mean of each is weighed against the best so far.
    const auto finishGroup = [&](std::int64_t first, std::int64_t group, double* sums, std::int64_t beat) {
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
    };
    std::int64_t first = 0;
#ifdef CORVEL_AUDIO_AVX2_PATHS
    // Eight phases at a time in two vectors, while every frame number fits 32 bits; the last
    // group may reach past the phases (not past the frames), its extra lanes unread.
    if (n < std::int64_t{0x7fffffff} && processorHasAvx2()) {
        for (; first < phases && first + kWidePhaseGroup <= n; first += kWidePhaseGroup) {
            double sums[kWidePhaseGroup];
            for (std::int64_t k = 0; k < kWidePhaseGroup; ++k) sums[k] = 0.0 + table[first + k];
            const std::int64_t beat = sumBeatsWide(table, frames, periodFrames, first, sums);
            finishGroup(first, std::min(kWidePhaseGroup, phases - first), sums, beat);
        }
    }
#endif
    // Four phases walk side by side, each summing its own beats in order, so that the four
    // sums need not wait for each other. Beat 0 of a phase is the phase itself.
    constexpr std::int64_t kGroup = 4;
    for (; first < phases; first += kGroup) {
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
        finishGroup(first, group, sums, beat);
    }
    return static_cast<double>(bestPhase);
}

double ORVAnalyzerOnsetMeasures::gridFitScore(std::span<const std::int64_t> onsetPeaks, std::int64_t frameCount,
                                              std::span<const double> envelope, double periodFrames,
                                              double phaseFrames) {
    return gridFitOf(onsetPeaks, frameCount, envelope, periodFrames, phaseFrames, [](std::int64_t, double) {});
}

double ORVAnalyzerOnsetMeasures::pulseCompletenessScore(std::span<const double> envelope, double periodFrames,
                                                        double phaseFrames) {
    const auto n = static_cast<std::int64_t>(envelope.size());
    if (!pulseMeasurable(n, periodFrames, phaseFrames)) return 0;
    const std::int64_t w = beatTolerance(kPulseReach, periodFrames);
    PulseBeats pulse;
    walkBeats(phaseFrames, periodFrames, n,
              [&](std::int64_t b, std::int64_t c) { pulse.add(b, windowMaximum(envelope, c - w, c + w)); });
    return pulse.score();
}

ORVGridScores ORVAnalyzerOnsetMeasures::gridScores(std::span<const std::int64_t> onsetPeaks,
                                                   std::span<const double> envelope, double periodFrames,
                                                   double phaseFrames) {
    const auto n = static_cast<std::int64_t>(envelope.size());
    // Where both measures read the same windows at the same beats, one walk serves both.
    if (pulseMeasurable(n, periodFrames, phaseFrames) && !onsetPeaks.empty() && phaseFrames < static_cast<double>(n) &&
        beatTolerance(kPulseReach, periodFrames) == beatTolerance(kGridFitReach, periodFrames)) {
        PulseBeats pulse;
        const double gridFit = gridFitOf(onsetPeaks, n, envelope, periodFrames, phaseFrames,
                                         [&pulse](std::int64_t b, double strength) { pulse.add(b, strength); });
        return {gridFit, pulse.score()};
    }
    return {gridFitScore(onsetPeaks, n, envelope, periodFrames, phaseFrames),
            pulseCompletenessScore(envelope, periodFrames, phaseFrames)};
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

double ORVAnalyzerOnsetMeasures::onsetAlignedPhase(std::span<const float> fineEnergy, double fineFrameSeconds,
                                                   double phaseSeconds, double periodSeconds, double fromSeconds,
                                                   double toSeconds, double beforeSeconds, double afterSeconds) {
    const auto n = static_cast<std::int64_t>(fineEnergy.size());
    const double f = fineFrameSeconds;
    if (n < 3 || !(f > 0) || !std::isfinite(f) || !std::isfinite(phaseSeconds) || !(periodSeconds > 2 * f) ||
        !std::isfinite(periodSeconds) || !(toSeconds > fromSeconds) || !(beforeSeconds >= 0) || !(afterSeconds >= 0)) {
        return phaseSeconds;
    }
    // The rise into fine frame j, placed at its start; read between frames by linear
    // interpolation, so that no beat is rounded to a frame.
    const auto rise = [&](std::int64_t j) {
        if (j < 1 || j >= n) return 0.0;
        return std::fmax(static_cast<double>(fineEnergy[static_cast<std::size_t>(j)]) -
                             static_cast<double>(fineEnergy[static_cast<std::size_t>(j - 1)]),
                         0.0);
    };
    const auto riseAt = [&](double position) {
        const double lower = std::floor(position);
        const std::int64_t j = saturatingInt64(lower);
        const double share = position - lower;
        return (1 - share) * rise(j) + share * rise(j + 1);
    };
    // Offsets in half fine frames.
    const double step = 0.5 * f;
    const std::int64_t first = -saturatingInt64(std::ceil(beforeSeconds / step));
    const std::int64_t last = saturatingInt64(std::ceil(afterSeconds / step));
    if (last - first > 4096) return phaseSeconds;
    std::vector<double> scores(static_cast<std::size_t>(last - first + 1), 0.0);
    const double firstBeat = std::ceil((fromSeconds - phaseSeconds) / periodSeconds);
    const double end = std::fmin(toSeconds, static_cast<double>(n) * f);
    for (double k = firstBeat;; k += 1) {
        const double beat = phaseSeconds + k * periodSeconds;
        if (!(beat < end)) break;
        for (std::int64_t d = first; d <= last; ++d) {
            scores[static_cast<std::size_t>(d - first)] += riseAt((beat + static_cast<double>(d) * step) / f);
        }
    }
    const auto best = std::max_element(scores.begin(), scores.end());
    if (!(*best > 0)) return phaseSeconds;
    // The peak between the offsets next to the best, on a parabola through the three.
    double between = 0;
    if (best != scores.begin() && best + 1 != scores.end()) {
        const double a = *(best - 1);
        const double b = *best;
        const double c = *(best + 1);
        const double curvature = a - 2 * b + c;
        if (curvature < 0) between = std::clamp(0.5 * (a - c) / curvature, -0.5, 0.5);
    }
    const double offset = static_cast<double>(first + (best - scores.begin())) + between;
    return phaseSeconds + offset * step;
}

double ORVAnalyzerOnsetMeasures::measureAccentRecurrence(std::span<const double> envelope, double periodFrames) {
    if (envelope.size() < 256 || !std::isfinite(periodFrames) || periodFrames < 2.0) return 0;
    return measureAccentRecurrence(envelope, beatPhaseMaxima(envelope), periodFrames);
}

double ORVAnalyzerOnsetMeasures::measureAccentRecurrence(std::span<const double> envelope,
                                                         std::span<const double> phaseMaxima, double periodFrames) {
    const auto n = static_cast<std::int64_t>(envelope.size());
    if (n < 256 || !std::isfinite(periodFrames) || periodFrames < 2.0) return 0;
    const double phase = bestBeatPhaseOfMaxima(phaseMaxima, periodFrames);
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

}  // namespace corvel::analysis
