#include "support/piece_truth.hpp"

#include <algorithm>
#include <cmath>

namespace corvel::bench {

double PieceTruth::localBpm(double seconds) const {
    if (stepTimes.empty()) return 0;
    const auto after = std::upper_bound(stepTimes.begin(), stepTimes.end(), seconds);
    if (after == stepTimes.begin()) return stepBpm.front();
    return stepBpm[std::size_t(after - stepTimes.begin()) - 1];
}

bool withinTempo(double detected, double truth, double tolerance) {
    return truth > 0 && std::abs(detected - truth) <= tolerance * truth;
}

bool withinAnyLevel(double detected, double truth) {
    for (double factor : {1.0, 2.0, 3.0, 0.5, 1.0 / 3.0}) {
        if (withinTempo(detected, truth * factor)) return true;
    }
    return false;
}

double detectedLocalBpm(const BeatloomResult& result, double seconds) {
    const auto& points = result.tempoPoints;
    if (points.empty()) return result.bpm;
    std::size_t at = 0;
    while (at + 1 < points.size() && points[at + 1].timeSeconds <= seconds) ++at;
    const auto& p = points[at];
    if (p.linearToNext && at + 1 < points.size() && seconds >= p.timeSeconds) {
        const auto& q = points[at + 1];
        const double span = q.timeSeconds - p.timeSeconds;
        if (span > 1e-9) return p.bpm + (q.bpm - p.bpm) * (seconds - p.timeSeconds) / span;
    }
    return p.bpm;
}

double localTempoAccuracy(const PieceTruth& truth, const BeatloomResult& result) {
    std::size_t samples = 0, hits = 0;
    for (double t = truth.musicStart; t < truth.musicEnd; t += 0.02, ++samples) {
        if (withinTempo(detectedLocalBpm(result, t), truth.localBpm(t))) ++hits;
    }
    return samples > 0 ? double(hits) / double(samples) : 0;
}

double beatFMeasure(const std::vector<double>& truth, const std::vector<double>& detected) {
    if (truth.empty() || detected.empty()) return 0;
    std::vector<double> sorted = detected;
    std::sort(sorted.begin(), sorted.end());
    std::size_t matched = 0;
    for (double t : truth) {
        const auto from = std::lower_bound(sorted.begin(), sorted.end(), t - kBeatWindowSeconds);
        if (from != sorted.end() && *from <= t + kBeatWindowSeconds) ++matched;
    }
    const double precision = double(matched) / double(sorted.size());
    const double recall = double(matched) / double(truth.size());
    return precision + recall > 0 ? 2 * precision * recall / (precision + recall) : 0;
}

}  // namespace corvel::bench
