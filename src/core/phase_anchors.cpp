#include "core/phase_anchors.hpp"

#include <cmath>
#include <iterator>
#include <limits>
#include <map>

#include "common/numeric.hpp"
#include "common/ordering.hpp"
#include "core/meter_map.hpp"
#include "core/time_tolerances.hpp"

namespace corvel::BeatloomTimeline {
namespace {

constexpr double kQuarterGuard = 1e-9;
constexpr double kMinimumBarQuarters = 1e-6;

// The upper end of the song for clamping; a negative or NaN duration leaves only 0 s.
double songEnd(double duration) { return duration > 0 ? duration : 0.0; }

// A time raised to 0 and lowered to the end of the song; NaN counts as 0.
double clampedToSong(double seconds, double end) { return clampOr(seconds, 0.0, end, 0.0); }

std::int64_t saturatingSubtract(std::int64_t a, std::int64_t b) {
    std::int64_t difference = 0;
    if (!__builtin_sub_overflow(a, b, &difference)) return difference;
    return b < 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// Index of the boundary nearest to a time; on equal distance the earlier one. `boundaries` is
// not empty and the time is finite.
std::size_t nearestBoundary(const std::vector<double>& boundaries, double seconds) {
    std::size_t best = 0;
    double bestDistance = std::abs(boundaries.front() - seconds);
    for (std::size_t i = 1; i < boundaries.size(); ++i) {
        const double distance = std::abs(boundaries[i] - seconds);
        if (distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

// Whole bars of a meter in a quarter distance, a partial bar counting as one; 0 for no distance.
std::int64_t barsCovering(double quarters, const MeterRule& rule) {
    const double barLength = rule.barLengthQuarters();
    if (!(barLength > kMinimumBarQuarters) || !(quarters > kSameTimeSeconds) || !std::isfinite(quarters)) return 0;
    const std::int64_t bars = saturatingInt64(std::ceil(quarters / barLength - kQuarterGuard));
    return bars > 0 ? bars : 0;
}

// Bar 1, the locked downbeats and every meter change after the song-start meter, clamped to
// the song and sorted; boundaries closer than kBoundaryMergeSeconds fall together, the earliest
// one kept.
std::vector<double> barBoundaries(double barOne, const std::vector<BeatloomBarAnchor>& barAnchors,
                                  const std::vector<BeatloomMeterEvent>& meters, double duration, double end) {
    std::vector<double> candidates{barOne};
    for (const auto& anchor : normalizedBarAnchors(barAnchors, duration)) candidates.push_back(anchor.timeSeconds);
    for (std::size_t i = 1; i < meters.size(); ++i) candidates.push_back(meters[i].timeSeconds);

    std::vector<double> sorted;
    for (const double candidate : candidates) {
        if (std::isfinite(candidate)) sorted.push_back(clampedToSong(candidate, end));
    }
    stableInsertionSort(sorted, [](double a, double b) { return a < b; });
    std::vector<double> boundaries;
    for (const double time : sorted) {
        if (boundaries.empty() || std::abs(time - boundaries.back()) >= kBoundaryMergeSeconds) {
            boundaries.push_back(time);
        }
    }
    return boundaries;
}

// Pinned bar numbers by boundary index: Bar 1 first, then the overrides in list order, a later
// pin on the same boundary replacing the earlier one. `boundaries` is not empty.
std::map<std::size_t, std::int64_t> pinnedBarNumbers(const std::vector<double>& boundaries, double barOne,
                                                     const std::vector<BeatloomBarAnchor>& barAnchors) {
    std::map<std::size_t, std::int64_t> pins;
    pins[nearestBoundary(boundaries, barOne)] = 1;
    for (const auto& anchor : barAnchors) {
        if (!anchor.barNumberOverride || !std::isfinite(anchor.timeSeconds)) continue;
        const std::size_t nearest = nearestBoundary(boundaries, anchor.timeSeconds);
        if (std::abs(boundaries[nearest] - anchor.timeSeconds) < kOverridePinSeconds) {
            pins[nearest] = *anchor.barNumberOverride;
        }
    }
    return pins;
}

// Bars in each span between neighbouring boundaries; a cut-short bar counts as a whole one, and
// a span never counts fewer than one bar.
std::vector<std::int64_t> barsPerSpan(const std::vector<double>& quarters,
                                      const std::vector<BeatloomMeterEvent>& boundaryMeters) {
    std::vector<std::int64_t> spanBars(quarters.empty() ? 0 : quarters.size() - 1);
    for (std::size_t i = 0; i < spanBars.size(); ++i) {
        const std::int64_t bars = barsCovering(quarters[i + 1] - quarters[i], meterRule(boundaryMeters[i]));
        spanBars[i] = bars > 1 ? bars : 1;
    }
    return spanBars;
}

// The bar number of every boundary: counted backwards from the first pin, then forwards from
// every pin up to the next one. `pins` is not empty.
std::vector<std::int64_t> barNumbers(const std::map<std::size_t, std::int64_t>& pins,
                                     const std::vector<std::int64_t>& spanBars, std::size_t count) {
    std::vector<std::int64_t> numbers(count, 1);
    const auto firstPin = pins.begin();
    numbers[firstPin->first] = firstPin->second;
    for (std::size_t i = firstPin->first; i > 0; --i) {
        numbers[i - 1] = saturatingSubtract(numbers[i], spanBars[i - 1]);
    }
    for (auto pin = pins.begin(); pin != pins.end(); ++pin) {
        const auto next = std::next(pin);
        const std::size_t stop = next == pins.end() ? count : next->first;
        numbers[pin->first] = pin->second;
        for (std::size_t i = pin->first; i + 1 < stop; ++i) {
            numbers[i + 1] = saturatingAdd(numbers[i], spanBars[i]);
        }
    }
    return numbers;
}

// The anchor of a phase lock, which pins a bar, beat and fraction to a time that may lie inside
// a bar; none for a lock outside the song.
std::optional<PhaseAnchor> phaseLockAnchor(const BeatloomPhaseLock& lock, const std::vector<BeatloomMeterEvent>& meters,
                                           const std::vector<Segment>& segments, double end) {
    if (!std::isfinite(lock.timeSeconds) || lock.timeSeconds < -kSameTimeSeconds ||
        lock.timeSeconds > end + kSameTimeSeconds) {
        return std::nullopt;
    }
    const double t = clampedToSong(lock.timeSeconds, end);
    const BeatloomMeterEvent meter = meterInForceAmongNormalized(meters, t);
    const MeterRule rule = meterRule(meter);
    std::int64_t beat = lock.beat < 1 ? 1 : lock.beat;
    if (beat > rule.beatsPerBar) beat = rule.beatsPerBar;
    const double fraction = clampOr(lock.fractionOfBeat, 0.0, kLargestBeatFraction, 0.0);
    const double quarter =
        quarterPosition(segments, t) - rule.beatLengthQuarters * (fraction + static_cast<double>(beat - 1));
    return PhaseAnchor{t, quarter, lock.bar, meter, fraction < kSameTimeSeconds && beat == 1};
}

// A lock anchor replaces the first anchor within kBoundaryMergeSeconds of it, or joins the list.
void placeLockAnchor(std::vector<PhaseAnchor>& anchors, const PhaseAnchor& lockAnchor) {
    for (auto& anchor : anchors) {
        if (std::abs(anchor.timeSeconds - lockAnchor.timeSeconds) < kBoundaryMergeSeconds) {
            anchor = lockAnchor;
            return;
        }
    }
    anchors.push_back(lockAnchor);
}

}  // namespace

std::vector<PhaseAnchor> phaseAnchors(const std::vector<BeatloomMeterEvent>& meterEvents,
                                      const std::vector<BeatloomBarAnchor>& barAnchors,
                                      const std::vector<BeatloomPhaseLock>& phaseLocks,
                                      std::optional<double> barOneSeconds, const std::vector<Segment>& segments,
                                      double duration) {
    const double end = songEnd(duration);
    const double barOne = clampedToSong(barOneSeconds.value_or(0.0), end);
    const auto meters = normalizedMeterEvents(meterEvents, duration);

    const std::vector<double> boundaries = barBoundaries(barOne, barAnchors, meters, duration, end);
    if (boundaries.empty()) return {};
    const std::size_t count = boundaries.size();

    std::vector<double> quarters(count);
    std::vector<BeatloomMeterEvent> boundaryMeters(count);
    for (std::size_t i = 0; i < count; ++i) {
        quarters[i] = quarterPosition(segments, boundaries[i]);
        boundaryMeters[i] = meterInForceAmongNormalized(meters, boundaries[i]);
    }
    const auto numbers =
        barNumbers(pinnedBarNumbers(boundaries, barOne, barAnchors), barsPerSpan(quarters, boundaryMeters), count);

    std::vector<PhaseAnchor> anchors;
    anchors.reserve(count + phaseLocks.size());
    for (std::size_t i = 0; i < count; ++i) {
        anchors.push_back(PhaseAnchor{boundaries[i], quarters[i], numbers[i], boundaryMeters[i], true});
    }
    for (const auto& lock : phaseLocks) {
        if (const auto lockAnchor = phaseLockAnchor(lock, meters, segments, end)) placeLockAnchor(anchors, *lockAnchor);
    }

    stableInsertionSort(anchors,
                        [](const PhaseAnchor& a, const PhaseAnchor& b) { return a.timeSeconds < b.timeSeconds; });
    return anchors;
}

std::optional<std::size_t> phaseAnchorIndex(const std::vector<PhaseAnchor>& anchors, double seconds) {
    if (anchors.empty()) return std::nullopt;
    const double limit = maxIgnoringNaN(seconds, 0.0) + kSameTimeSeconds;
    std::size_t index = 0;
    for (std::size_t i = 0; i < anchors.size(); ++i) {
        if (anchors[i].timeSeconds <= limit) index = i;
    }
    return index;
}

std::int64_t barsBetween(const std::vector<BeatloomTempoPoint>& tempoPoints,
                         const std::vector<BeatloomMeterEvent>& meterEvents, double duration, double laterSeconds,
                         double earlierSeconds) {
    if (!(duration > 0)) return 0;
    const auto segmentList = segments(tempoPoints, duration);
    if (segmentList.empty()) return 0;
    const double later = clampedToSong(laterSeconds, duration);
    if (!(later - kSameTimeSeconds > earlierSeconds)) return 0;
    const double quarters = quarterPosition(segmentList, later) - quarterPosition(segmentList, earlierSeconds);
    return barsCovering(quarters, meterRule(meterInForce(meterEvents, duration, later)));
}

std::int64_t pickupBarsBeforeBarOne(const std::vector<BeatloomTempoPoint>& tempoPoints,
                                    const std::vector<BeatloomMeterEvent>& meterEvents, double duration,
                                    double barOneSeconds) {
    if (!(duration > 0)) return 0;
    const auto segmentList = segments(tempoPoints, duration);
    if (segmentList.empty()) return 0;
    const double barOne = clampedToSong(barOneSeconds, duration);
    return barsCovering(quarterPosition(segmentList, barOne), meterRule(meterInForce(meterEvents, duration, barOne)));
}

}  // namespace corvel::BeatloomTimeline
