#include "core/transient_snap.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "common/numeric.hpp"

namespace corvel {
namespace {

constexpr std::int64_t kMinimumBins = 8;
constexpr double kMinimumRadiusSeconds = 0.008;
constexpr double kMaximumRadiusSeconds = 0.12;
constexpr std::int64_t kMinimumReachBins = 2;
constexpr std::int64_t kEdgeMarginBins = 2;  // at each end
constexpr double kBackgroundSeconds = 0.006;
constexpr std::int64_t kMinimumBackgroundBins = 3;
constexpr std::int64_t kMaximumBackgroundBins = 32;
constexpr double kRiseOverBackgroundWeight = 0.68;
constexpr double kRiseOverPreviousWeight = 0.22;
constexpr double kRiseOverNeighboursWeight = 0.10;
constexpr double kDistancePenaltyPerRadius = 0.015;
constexpr double kAcceptanceScore = 0.004;

// A damaged peak (NaN or infinite) counts as silence rather than as the loudest hit.
float magnitude(float peak) { return std::isfinite(peak) ? std::fabs(peak) : 0.0f; }

}  // namespace

std::optional<BeatloomTransientSnap> snappedTransient(const BeatloomWaveformData& waveform, double time,
                                                      double radius) {
    const auto binCount = static_cast<std::int64_t>(std::min(waveform.minPeaks.size(), waveform.maxPeaks.size()));
    if (binCount < kMinimumBins) return std::nullopt;
    const double duration = waveform.durationSeconds;
    if (!(duration > 0)) return std::nullopt;
    const double binSeconds = duration / static_cast<double>(binCount);
    if (!(binSeconds > 0) || !std::isfinite(binSeconds)) return std::nullopt;

    const double t = clampOr(time, 0.0, duration, 0.0);
    const double r = clampOr(radius, kMinimumRadiusSeconds, kMaximumRadiusSeconds, kMinimumRadiusSeconds);

    const std::int64_t centre = std::clamp(saturatingInt64(t / duration * static_cast<double>(binCount)),
                                           std::int64_t{0}, binCount - 1);
    // Beyond binCount bins a wider reach changes nothing; capping it keeps the sums below exact.
    const std::int64_t reach =
        std::min(std::max(saturatingInt64(std::ceil(r / binSeconds)), kMinimumReachBins), binCount);
    const std::int64_t lo = std::max(centre - reach, kEdgeMarginBins);
    const std::int64_t hi = std::min(centre + reach, binCount - 1 - kEdgeMarginBins);
    if (hi < lo) return std::nullopt;
    const std::int64_t window =
        std::clamp(roundedInt64(kBackgroundSeconds / binSeconds), kMinimumBackgroundBins, kMaximumBackgroundBins);

    const auto amplitude = [&](std::int64_t k) {
        const auto index = static_cast<std::size_t>(k);
        return static_cast<double>(std::max(magnitude(waveform.minPeaks[index]), magnitude(waveform.maxPeaks[index])));
    };

    std::int64_t best = -1;
    double bestScore = -std::numeric_limits<double>::infinity();
    for (std::int64_t i = lo; i <= hi; ++i) {
        const double a = amplitude(i);
        const std::int64_t first = std::max(i - window, std::int64_t{0});
        double sum = 0;
        for (std::int64_t k = first; k < i; ++k) sum += amplitude(k);
        const double background = sum / static_cast<double>(i - first);
        const double previous = amplitude(i - 1);
        const double next = amplitude(i + 1);
        const double score = kRiseOverBackgroundWeight * std::max(a - background, 0.0) +
                             kRiseOverPreviousWeight * std::max(a - previous, 0.0) +
                             kRiseOverNeighboursWeight * std::max(a - (previous + next) / 2, 0.0) -
                             kDistancePenaltyPerRadius * std::fabs(binSeconds * (static_cast<double>(i) + 0.5) - t) / r;
        if (score > bestScore) {
            bestScore = score;
            best = i;
        }
    }
    if (best < 0 || !(bestScore > kAcceptanceScore)) return std::nullopt;

    const double snapped = std::min(binSeconds * (static_cast<double>(best) + 0.5), duration);
    return BeatloomTransientSnap{snapped, bestScore, std::fabs(snapped - t)};
}

}  // namespace corvel
