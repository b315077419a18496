#include "analysis/tempo_refiner.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <numbers>

#include "common/numeric.hpp"
#include "common/ordering.hpp"

namespace corvel::analysis::SetwrightMusicTempoRefiner {
namespace {

double clamp01(double value) { return clampOr(value, 0.0, 1.0, 0.0); }

bool isFinitePositive(double value) { return std::isfinite(value) && value > 0; }

std::size_t firstPeakAtOrAfter(std::span<const std::int64_t> peaks, double position) {
    const double floorPosition = std::floor(position);
    const auto it = std::lower_bound(peaks.begin(), peaks.end(), floorPosition,
                                     [](std::int64_t peak, double value) { return static_cast<double>(peak) < value; });
    return static_cast<std::size_t>(it - peaks.begin());
}

double envelopeAt(std::span<const double> envelope, std::int64_t frame) {
    if (frame < 0 || static_cast<std::size_t>(frame) >= envelope.size()) return 0;
    return envelope[static_cast<std::size_t>(frame)];
}

// Walks the grid's beats from its beat on below frameLimit and matches each to the cheapest
// nearby peak (distance and weakness), never the same peak for two beats in a row.
std::vector<FitPoint> matchBeats(std::span<const std::int64_t> peaks, std::span<const double> envelope,
                                 const ORVBeatGrid& grid, double frameLimit, double tolerance) {
    const double offset = grid.beat;
    const double period = grid.period;
    std::vector<FitPoint> points;
    if (!(period >= 2) || !std::isfinite(offset)) return points;
    const double safeTolerance = std::max(tolerance, 1e-9);
    std::optional<std::int64_t> lastMatched;
    for (std::int64_t j = 0;; ++j) {
        const double p = offset + static_cast<double>(j) * period;
        if (!(p < frameLimit)) break;
        const auto nearest = nearestPeak(peaks, p);
        if (!nearest || nearest == lastMatched || std::abs(static_cast<double>(*nearest) - p) > tolerance) continue;
        const std::size_t i = firstPeakAtOrAfter(peaks, p);
        const std::size_t lo = i >= 8 ? i - 8 : 0;
        const std::size_t hi = std::min(i + 9, peaks.size());
        std::optional<std::int64_t> chosen;
        double chosenCost = 0;
        for (std::size_t k = lo; k < hi; ++k) {
            const double distance = std::abs(static_cast<double>(peaks[k]) - p);
            if (!(distance <= tolerance)) continue;
            const double strength = clamp01(envelopeAt(envelope, peaks[k]));
            const double cost = distance / safeTolerance * 0.82 + (1 - strength) * 0.18;
            if (!chosen || cost < chosenCost) {
                chosen = peaks[k];
                chosenCost = cost;
            }
        }
        if (chosen && chosen != lastMatched) {
            points.push_back(FitPoint{static_cast<double>(j), static_cast<double>(*chosen)});
            lastMatched = chosen;
        }
    }
    return points;
}

std::vector<double> absoluteResiduals(std::span<const FitPoint> points, double intercept, double slope,
                                      double scale = 1.0) {
    std::vector<double> residuals;
    residuals.reserve(points.size());
    for (const auto& point : points) {
        residuals.push_back(std::abs(point.peakFrame - (point.beatIndex * slope + intercept)) * scale);
    }
    return residuals;
}

double positiveModulo(double value, double modulus) {
    if (!(modulus > 0)) return 0;
    double reduced = std::fmod(value, modulus);
    if (reduced < 0) reduced += modulus;
    if (reduced >= modulus) reduced = 0;  // -tiny + modulus can round up to the modulus
    return reduced;
}

bool acceptableTempo(double slope, double hopSeconds, double bpm, double acceptedDeviation) {
    if (!std::isfinite(slope) || slope < 2) return false;
    const double tempo = 60.0 / (slope * hopSeconds);
    return std::isfinite(tempo) && tempo >= 30 && tempo <= 300 && std::abs(tempo - bpm) <= acceptedDeviation;
}

struct Candidate {
    double bpm = 0;
    double score = 0;
    ORVBeatGrid grid;  // in frames
    LinearFit fit;
};

// Longer inputs are not copied to find a percentile: a whole song's envelope would double.
constexpr std::size_t kLongestCopiedPercentile = std::size_t(1) << 16;

// A key whose unsigned order is the values' ascending order with NaN last; -0 and +0 alike.
std::uint64_t ascendingKey(double value) {
    if (std::isnan(value)) return ~std::uint64_t{0};
    const auto bits = std::bit_cast<std::uint64_t>(value == 0 ? 0.0 : value);
    return bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// The element at `rank` of the values sorted ascending (NaN last), without sorting them: the
// key of that element found 16 bits at a time, from the top, by counting the values that
// share the bits found so far.
double elementOfRank(std::span<const double> values, std::uint64_t rank) {
    constexpr int kDigitBits = 16;
    std::vector<std::uint64_t> counts(std::size_t(1) << kDigitBits);
    std::uint64_t found = 0;
    for (int shift = 64 - kDigitBits; shift >= 0; shift -= kDigitBits) {
        std::fill(counts.begin(), counts.end(), 0);
        const int known = 64 - kDigitBits - shift;
        for (const double value : values) {
            const std::uint64_t key = ascendingKey(value);
            if (known == 0 || key >> (64 - known) == found) ++counts[(key >> shift) & 0xffff];
        }
        std::uint64_t digit = 0;
        while (rank >= counts[digit]) rank -= counts[digit++];
        found = found << kDigitBits | digit;
    }
    return *std::find_if(values.begin(), values.end(), [found](double value) { return ascendingKey(value) == found; });
}

}  // namespace

double percentile(std::span<const double> values, double q) {
    if (values.empty()) return 0;
    const auto last = static_cast<std::int64_t>(values.size()) - 1;
    const std::int64_t index = std::clamp<std::int64_t>(roundedInt64(static_cast<double>(last) * q, 0), 0, last);
    if (values.size() > kLongestCopiedPercentile) return elementOfRank(values, static_cast<std::uint64_t>(index));
    std::vector<double> sorted(values.begin(), values.end());
    // Through a lambda, so that the comparison is inlined rather than called per element.
    std::nth_element(sorted.begin(), sorted.begin() + index, sorted.end(),
                     [](double a, double b) { return ascendingNaNLast(a, b); });
    return sorted[static_cast<std::size_t>(index)];
}

std::vector<std::int64_t> peakFrames(std::span<const double> envelope, double lowestThreshold) {
    std::vector<std::int64_t> peaks;
    const std::size_t n = envelope.size();
    if (n < 3) return peaks;
    const double threshold = std::fmax(percentile(envelope, 0.8), lowestThreshold);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double v = envelope[i];
        if (v >= threshold && v >= envelope[i - 1] && v >= envelope[i + 1]) {
            peaks.push_back(static_cast<std::int64_t>(i));
        }
    }
    return peaks;
}

std::optional<std::int64_t> nearestPeak(std::span<const std::int64_t> peaks, double position) {
    if (peaks.empty() || std::isnan(position)) return std::nullopt;
    const std::size_t i = firstPeakAtOrAfter(peaks, position);
    std::optional<std::int64_t> best;
    if (i < peaks.size()) best = peaks[i];
    if (i > 0) {
        const std::int64_t earlier = peaks[i - 1];
        if (!best || std::abs(static_cast<double>(earlier) - position) <
                         std::abs(static_cast<double>(*best) - position)) {
            best = earlier;
        }
    }
    return best;
}

std::int64_t beatCount(std::int64_t frameCount, const ORVBeatGrid& grid) {
    const double offsetFrames = grid.beat;
    const double periodFrames = grid.period;
    if (frameCount < 1 || !(periodFrames > 0) || !(offsetFrames < static_cast<double>(frameCount))) return 0;
    const double beats = std::floor((static_cast<double>(frameCount) - 1 - offsetFrames) / periodFrames) + 1;
    return std::max<std::int64_t>(saturatingInt64(beats, 0), 0);
}

std::optional<LineParameters> leastSquaresFit(std::span<const FitPoint> points) {
    return leastSquaresLine(
        points, [](const FitPoint& p) { return p.beatIndex; }, [](const FitPoint& p) { return p.peakFrame; });
}

std::optional<LinearFit> robustLinearFit(std::span<const FitPoint> points) {
    if (points.size() < 12) return std::nullopt;
    const std::size_t keepAtLeast =
        std::max<std::size_t>(12, static_cast<std::size_t>(0.45 * static_cast<double>(points.size())));
    std::vector<FitPoint> current(points.begin(), points.end());
    std::vector<FitPoint> kept;
    for (int pass = 0; pass < 4; ++pass) {
        const auto line = leastSquaresFit(current);
        if (!line) return std::nullopt;
        const auto residuals = absoluteResiduals(current, line->intercept, line->slope);
        const double threshold = std::fmax(percentile(residuals, 0.5) * (pass == 0 ? 3.5 : 3.0), 2.0);
        kept.clear();
        for (std::size_t i = 0; i < current.size(); ++i) {
            if (residuals[i] <= threshold) kept.push_back(current[i]);
        }
        if (kept.size() < keepAtLeast || kept.size() == current.size()) break;
        current.swap(kept);
    }
    const auto line = leastSquaresFit(current);
    if (!line) return std::nullopt;
    const auto residuals = absoluteResiduals(current, line->intercept, line->slope);
    LinearFit fit;
    fit.intercept = line->intercept;
    fit.slope = line->slope;
    fit.medianResidualFrames = percentile(residuals, 0.5);
    fit.percentile95ResidualFrames = percentile(residuals, 0.95);
    fit.points = std::move(current);
    return fit;
}

std::optional<ORVBeatGrid> bestPhaseGrid(std::span<const std::int64_t> peaks, std::span<const double> envelope,
                                         double periodFrames) {
    if (peaks.empty() || !(periodFrames >= 2) || !std::isfinite(periodFrames)) return std::nullopt;
    const std::int64_t steps = std::clamp<std::int64_t>(roundedInt64(periodFrames * 4), 48, 160);
    const double tolerance = std::max(periodFrames * 0.22, 2.0);
    const double length = static_cast<double>(envelope.size());
    std::optional<double> bestOffset;
    double bestScore = 0;
    for (std::int64_t k = 0; k < steps; ++k) {
        const double offset = static_cast<double>(k) * periodFrames / static_cast<double>(steps);
        if (offset >= length) continue;
        std::int64_t beats = 0;
        std::int64_t hits = 0;
        double errorSum = 0;
        double strengthSum = 0;
        for (std::int64_t j = 0;; ++j) {
            const double position = offset + static_cast<double>(j) * periodFrames;
            if (!(position < length)) break;
            ++beats;
            const auto peak = nearestPeak(peaks, position);
            if (!peak) continue;
            const double distance = std::abs(static_cast<double>(*peak) - position);
            if (distance <= tolerance) {
                ++hits;
                errorSum += distance / tolerance;
                strengthSum += envelopeAt(envelope, *peak);
            }
        }
        if (beats < 12 || hits < 8) continue;
        const double h = static_cast<double>(hits);
        const double score = h / static_cast<double>(beats) * 0.56 + (1 - errorSum / h) * 0.34 +
                             std::min(strengthSum / h, 1.0) * 0.1;
        if (!bestOffset || score > bestScore) {
            bestOffset = offset;
            bestScore = score;
        }
    }
    if (!bestOffset) return std::nullopt;
    return ORVBeatGrid{*bestOffset, periodFrames};
}

double gridAgreement(std::span<const FitPoint> points, const ORVBeatGrid& grid, double scale, double tolerance) {
    if (points.empty() || !(grid.period > 0)) return 0;
    const auto residuals = absoluteResiduals(points, grid.beat, grid.period, scale);
    const double m = percentile(residuals, 0.5);
    return clamp01(1 - m / std::max(tolerance, 1e-9));
}

namespace {

// How far (a share of the period) from the line through the onset peaks the envelope's beat
// harmonics are searched for the period.
constexpr double kHarmonicSearchShare = 0.015;
// How far apart (a share of the period) the periods of a song's two halves may lie for the song
// to hold one period.
constexpr double kSteadyHalves = 0.005;
// How far from the whole song's period the periods of its halves are searched.
constexpr double kHalvesSearchShare = 0.0075;

// How tight a fit must sit, in seconds, at the median and at the 95th percentile of its residuals.
struct ResidualLimits {
    double median = 0;
    double p95 = 0;
};

ResidualLimits residualLimits(double hopSeconds) {
    return {std::max(1.75 * hopSeconds, 0.018), std::max(3.75 * hopSeconds, 0.042)};
}

// The opening stretch of the song the candidate tempi are scored on, and its peaks.
struct OpeningWindow {
    std::span<const double> envelope;
    std::span<const std::int64_t> peaks;
    std::int64_t frames = 0;
};

OpeningWindow openingWindow(std::span<const double> envelope, std::span<const std::int64_t> peaks,
                            double hopSeconds, double songSeconds) {
    const auto frames = static_cast<std::int64_t>(envelope.size());
    const double windowSeconds = std::min(std::clamp(0.35 * songSeconds, 20.0, 45.0), songSeconds);
    std::int64_t windowFrames = roundedInt64(windowSeconds / hopSeconds);
    windowFrames = windowFrames < 256 ? 256 : std::min(windowFrames, frames);
    const auto windowPeakCount = static_cast<std::size_t>(
        std::lower_bound(peaks.begin(), peaks.end(), windowFrames) - peaks.begin());
    return {envelope.first(static_cast<std::size_t>(windowFrames)), peaks.first(windowPeakCount), windowFrames};
}

// The candidate tempo within the search radius whose beats the window's peaks follow best:
// many matched, tightly.
std::optional<Candidate> bestWindowCandidate(const OpeningWindow& window, double hopSeconds, double bpm,
                                             double searchRadiusBPM, const ResidualLimits& limits) {
    const double step = std::clamp(searchRadiusBPM * 0.125, 0.05, 0.1);
    const std::int64_t n = std::max<std::int64_t>(saturatingInt64(std::floor(searchRadiusBPM / step)), 1);
    const double acceptedDeviation = searchRadiusBPM + 0.02;
    std::optional<Candidate> best;
    for (std::int64_t k = -n; k <= n; ++k) {
        const double candidateBpm = bpm + static_cast<double>(k) * step;
        if (!(candidateBpm > 0)) continue;
        const double period = 60.0 / (candidateBpm * hopSeconds);
        if (!std::isfinite(period) || period < 2) continue;
        const auto grid = bestPhaseGrid(window.peaks, window.envelope, period);
        if (!grid) continue;
        const auto points = matchBeats(window.peaks, window.envelope, *grid,
                                       static_cast<double>(window.frames), std::max(period * 0.24, 2.0));
        if (points.size() < 18) continue;
        auto fit = robustLinearFit(points);
        if (!fit || !acceptableTempo(fit->slope, hopSeconds, bpm, acceptedDeviation)) continue;
        const std::int64_t expected = beatCount(window.frames, *grid);
        if (expected < 12) continue;
        const double a = clamp01(1 - fit->medianResidualFrames * hopSeconds / limits.median);
        const double b = clamp01(1 - fit->percentile95ResidualFrames * hopSeconds / limits.p95);
        const double score = clamp01(static_cast<double>(points.size()) / static_cast<double>(expected) * 0.5 +
                                     a * 0.32 + b * 0.18);
        const bool better = !best || score > best->score + 1e-6 ||
                            (std::abs(score - best->score) <= 1e-6 &&
                             std::abs(candidateBpm - bpm) < std::abs(best->bpm - bpm));
        if (better) best = Candidate{candidateBpm, score, *grid, std::move(*fit)};
    }
    return best;
}

// The window's line carried over the whole envelope, refitted three times.
struct WholeFit {
    LinearFit fit;
    std::size_t matched = 0;
    std::int64_t beats = 0;
};

std::optional<WholeFit> wholeEnvelopeFit(std::span<const double> envelope, std::span<const std::int64_t> peaks,
                                         const LinearFit& windowFit, double hopSeconds, double bpm,
                                         double searchRadiusBPM) {
    const auto frames = static_cast<std::int64_t>(envelope.size());
    const double acceptedDeviation = searchRadiusBPM + 0.02;
    double intercept = windowFit.intercept;
    double slope = windowFit.slope;
    std::optional<WholeFit> result;
    for (int pass = 0; pass < 3; ++pass) {
        const ORVBeatGrid grid{positiveModulo(intercept, slope), slope};
        const std::int64_t beats = beatCount(frames, grid);
        if (beats < 24) return std::nullopt;
        const auto points =
            matchBeats(peaks, envelope, grid, static_cast<double>(frames), std::max(slope * 0.2, 2.0));
        if (points.size() < 24) return std::nullopt;
        auto fit = robustLinearFit(points);
        if (!fit || !acceptableTempo(fit->slope, hopSeconds, bpm, acceptedDeviation)) return std::nullopt;
        intercept = fit->intercept;
        slope = fit->slope;
        result = WholeFit{std::move(*fit), points.size(), beats};
    }
    return result;
}

// The strength of a (centred, windowed) envelope's periodicity at a beat period: the power of
// its first harmonics of the beat summed. A strictly periodic groove puts every harmonic of its
// beat at exactly one period, whatever it plays within the beat (swung eighths, late soft
// chords, a sparse part); onsets that move off the grid only lower the peak.
double harmonicPower(std::span<const double> signal, double periodFrames) {
    constexpr int kHarmonics = 4;
    std::array<double, kHarmonics> stepRe{};
    std::array<double, kHarmonics> stepIm{};
    for (int k = 0; k < kHarmonics; ++k) {
        const double angle = -2.0 * std::numbers::pi * static_cast<double>(k + 1) / periodFrames;
        stepRe[k] = std::cos(angle);
        stepIm[k] = std::sin(angle);
    }
    std::array<double, kHarmonics> re{1, 1, 1, 1};
    std::array<double, kHarmonics> im{};
    std::array<double, kHarmonics> sumRe{};
    std::array<double, kHarmonics> sumIm{};
    for (const double v : signal) {
        for (int k = 0; k < kHarmonics; ++k) {
            sumRe[k] += v * re[k];
            sumIm[k] += v * im[k];
            const double nextRe = re[k] * stepRe[k] - im[k] * stepIm[k];
            im[k] = re[k] * stepIm[k] + im[k] * stepRe[k];
            re[k] = nextRe;
        }
    }
    double power = 0;
    for (int k = 0; k < kHarmonics; ++k) power += sumRe[k] * sumRe[k] + sumIm[k] * sumIm[k];
    return power;
}

// The period within `share` of the guess at which the whole envelope's beat harmonics peak:
// a scan in steps a fraction of the peak's width, then a golden-section search between the
// best step's neighbours. The envelope is centred and tapered at its ends so that neither its
// mean nor its edges leak into the peak.
double harmonicPeriod(std::span<const double> envelope, double guess, double share, int steps, int passes) {
    const std::size_t n = envelope.size();
    double mean = 0;
    for (const double v : envelope) mean += v;
    mean /= static_cast<double>(std::max<std::size_t>(n, 1));
    std::vector<double> signal(n);
    for (std::size_t t = 0; t < n; ++t) {
        const double taper = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (static_cast<double>(t) + 0.5) /
                                                   static_cast<double>(n));
        signal[t] = (envelope[t] - mean) * taper;
    }
    double bestPeriod = guess;
    double bestPower = -1;
    for (int i = -steps; i <= steps; ++i) {
        const double period = guess * (1 + share * static_cast<double>(i) / steps);
        const double power = harmonicPower(signal, period);
        if (power > bestPower) {
            bestPower = power;
            bestPeriod = period;
        }
    }
    const double ratio = (std::sqrt(5.0) - 1) / 2;
    double lo = bestPeriod - guess * share / steps;
    double hi = bestPeriod + guess * share / steps;
    double a = hi - ratio * (hi - lo);
    double b = lo + ratio * (hi - lo);
    double powerA = harmonicPower(signal, a);
    double powerB = harmonicPower(signal, b);
    for (int pass = 0; pass < passes; ++pass) {
        if (powerA < powerB) {
            lo = a;
            a = b;
            powerA = powerB;
            b = lo + ratio * (hi - lo);
            powerB = harmonicPower(signal, b);
        } else {
            hi = b;
            b = a;
            powerB = powerA;
            a = hi - ratio * (hi - lo);
            powerA = harmonicPower(signal, a);
        }
    }
    return 0.5 * (lo + hi);
}

// The grid of the period the envelope's harmonics give, turned from the whole fit's line about
// the middle of its beats (where a line fitted off the period sits closest): its beat is the
// median of the matched peaks' offsets from the new beats, matched again twice. None when too
// few beats meet peaks.
std::optional<ORVBeatGrid> harmonicGrid(std::span<const double> envelope, std::span<const std::int64_t> peaks,
                                        const LinearFit& fit, double period) {
    const double middle = 0.5 * (fit.points.front().beatIndex + fit.points.back().beatIndex);
    double intercept = fit.intercept + (fit.slope - period) * middle;
    for (int pass = 0; pass < 3; ++pass) {
        const ORVBeatGrid grid{positiveModulo(intercept, period), period};
        const auto points = matchBeats(peaks, envelope, grid, static_cast<double>(envelope.size()),
                                       std::max(period * 0.2, 2.0));
        if (points.size() < 12) return std::nullopt;
        std::vector<double> offsets;
        offsets.reserve(points.size());
        for (const auto& point : points) offsets.push_back(point.peakFrame - point.beatIndex * period);
        intercept = percentile(offsets, 0.5);
    }
    return ORVBeatGrid{positiveModulo(intercept, period), period};
}

// The refinement of a whole fit that spans enough of the song, matches enough beats and sits
// tightly enough; none otherwise.
std::optional<Refinement> checkedRefinement(const WholeFit& whole, const Candidate& windowBest, double hopSeconds,
                                            double songSeconds, const ResidualLimits& limits) {
    const LinearFit& last = whole.fit;
    const double span = (last.points.back().peakFrame - last.points.front().peakFrame) * hopSeconds;
    const double requiredSpan = 0.6 * songSeconds >= 15 ? 0.6 * songSeconds : 15.0;
    const double coverage = static_cast<double>(whole.matched) / static_cast<double>(whole.beats);
    const double medianSeconds = last.medianResidualFrames * hopSeconds;
    const double p95Seconds = last.percentile95ResidualFrames * hopSeconds;
    if (!(span >= requiredSpan) || !(coverage >= 0.4) || !(medianSeconds <= limits.median) ||
        !(p95Seconds <= limits.p95)) {
        return std::nullopt;
    }
    const double spanScore = clamp01(span / std::max(0.75 * songSeconds, 15.0));
    const double medianScore = clamp01(1 - medianSeconds / std::max(limits.median, 1e-9));
    const double p95Score = clamp01(1 - p95Seconds / std::max(limits.p95, 1e-9));
    Refinement result;
    result.confidence = clamp01(spanScore * 0.1 + coverage * 0.42 + medianScore * 0.3 + p95Score * 0.18);
    result.gridScore =
        gridAgreement(windowBest.fit.points, windowBest.grid, hopSeconds, limits.p95);
    result.bpm = 60.0 / (last.slope * hopSeconds);
    result.grid = {positiveModulo(last.intercept, last.slope), last.slope};
    return result;
}

}  // namespace

std::optional<Refinement> refine(std::span<const double> envelope, double hopSeconds, double bpm,
                                 double searchRadiusBPM, double minimumStep) {
    if (envelope.size() < 256 || !isFinitePositive(hopSeconds) || !isFinitePositive(bpm) ||
        !isFinitePositive(searchRadiusBPM) || !(minimumStep > 0)) {
        return std::nullopt;
    }
    const double songSeconds = static_cast<double>(envelope.size()) * hopSeconds;
    if (songSeconds < 15) return std::nullopt;

    const auto peaks = peakFrames(envelope);
    const double inputPeriod = 60.0 / (hopSeconds * bpm);
    if (peaks.size() < 18 || !std::isfinite(inputPeriod) || inputPeriod < 2) return std::nullopt;

    const OpeningWindow window = openingWindow(envelope, peaks, hopSeconds, songSeconds);
    if (window.peaks.size() < 12) return std::nullopt;
    const ResidualLimits limits = residualLimits(hopSeconds);
    const auto best = bestWindowCandidate(window, hopSeconds, bpm, searchRadiusBPM, limits);
    if (!best) return std::nullopt;

    const auto whole = wholeEnvelopeFit(envelope, peaks, best->fit, hopSeconds, bpm, searchRadiusBPM);
    if (!whole) return std::nullopt;
    auto result = checkedRefinement(*whole, *best, hopSeconds, songSeconds, limits);
    if (!result) return std::nullopt;
    // The line says the song holds one grid; its period comes from the envelope's beat
    // harmonics, which every beat of the song pulls on alike.
    const double period = harmonicPeriod(envelope, whole->fit.slope, kHarmonicSearchShare, 24, 40);
    if (!acceptableTempo(period, hopSeconds, bpm, searchRadiusBPM + 0.02)) return result;
    // A song that drifts has no one period; its halves say so, and the line through its peaks,
    // which follows where it starts, stands.
    const std::size_t half = envelope.size() / 2;
    const double early = harmonicPeriod(envelope.first(half), period, kHalvesSearchShare, 10, 8);
    const double late = harmonicPeriod(envelope.subspan(half), period, kHalvesSearchShare, 10, 8);
    if (!(std::abs(early - late) <= kSteadyHalves * period)) return result;
    if (const auto grid = harmonicGrid(envelope, peaks, whole->fit, period)) {
        result->bpm = 60.0 / (period * hopSeconds);
        result->grid = *grid;
    }
    return result;
}

}  // namespace corvel::analysis::SetwrightMusicTempoRefiner
