#include "core/meter_map.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "common/ordering.hpp"

namespace corvel {
namespace {

constexpr std::array<std::int64_t, 5> validDenominators{1, 2, 4, 8, 16};
constexpr double sameTimeTolerance = 0.000001;

// Times within 1e-6 s tie and fall back to the id's text order (the Uuid byte order).
bool meterComesBefore(const BeatloomMeterEvent& a, const BeatloomMeterEvent& b) {
    if (std::abs(a.timeSeconds - b.timeSeconds) > sameTimeTolerance) {
        return a.timeSeconds < b.timeSeconds;
    }
    return a.id < b.id;
}

// A NaN or negative duration leaves only 0 s inside the audio.
double usableDuration(double durationSeconds) {
    return durationSeconds >= 0 ? durationSeconds : 0.0;
}

// A NaN duration would let every time pass the upper bound; it counts as 0 s, as it does in the
// normal forms.
bool liesOutsideAudio(double timeSeconds, double durationSeconds) {
    const double end = std::isnan(durationSeconds) ? 0.0 : durationSeconds;
    return !std::isfinite(timeSeconds) || timeSeconds < 0 || timeSeconds > end + sameTimeTolerance;
}

}  // namespace

bool isValidTimeSignature(std::int64_t numerator, std::int64_t denominator) {
    return numerator >= 1 && numerator <= 32 &&
           std::find(validDenominators.begin(), validDenominators.end(), denominator) != validDenominators.end();
}

std::vector<BeatloomMeterEvent> normalizedMeterEvents(const std::vector<BeatloomMeterEvent>& events,
                                                      double durationSeconds) {
    const double end = usableDuration(durationSeconds);
    std::vector<BeatloomMeterEvent> kept;
    kept.reserve(events.size() + 1);
    for (const auto& event : events) {
        if (std::isfinite(event.timeSeconds) && event.timeSeconds >= 0 && event.timeSeconds <= end &&
            isValidTimeSignature(event.numerator, event.denominator)) {
            kept.push_back(event);
        }
    }
    stableInsertionSort(kept, meterComesBefore);

    if (kept.empty() || kept.front().timeSeconds > meterMergeDistanceSeconds) {
        kept.insert(kept.begin(), BeatloomMeterEvent{Uuid::random(), 0.0, 4, 4});
    } else {
        kept.front().timeSeconds = 0.0;
    }

    std::vector<BeatloomMeterEvent> result;
    result.reserve(kept.size());
    for (auto& event : kept) {
        if (!result.empty() &&
            std::abs(event.timeSeconds - result.back().timeSeconds) < meterMergeDistanceSeconds) {
            result.back() = std::move(event);
        } else {
            result.push_back(std::move(event));
        }
    }
    result.front().timeSeconds = 0.0;
    return result;
}

std::vector<BeatloomBarAnchor> normalizedBarAnchors(const std::vector<BeatloomBarAnchor>& anchors,
                                                    double durationSeconds) {
    const double end = usableDuration(durationSeconds);
    std::vector<BeatloomBarAnchor> clamped;
    clamped.reserve(anchors.size());
    for (const auto& anchor : anchors) {
        if (!std::isfinite(anchor.timeSeconds)) continue;
        auto copy = anchor;
        // "+ 0.0" turns a clamped minus zero into plain 0.
        copy.timeSeconds = std::clamp(anchor.timeSeconds, 0.0, end) + 0.0;
        clamped.push_back(std::move(copy));
    }
    stableInsertionSort(clamped, [](const BeatloomBarAnchor& a, const BeatloomBarAnchor& b) {
        return a.timeSeconds < b.timeSeconds;
    });

    std::vector<BeatloomBarAnchor> result;
    result.reserve(clamped.size());
    for (auto& anchor : clamped) {
        if (!result.empty() && anchor.timeSeconds - result.back().timeSeconds < meterMergeDistanceSeconds) {
            continue;
        }
        result.push_back(std::move(anchor));
    }
    return result;
}

std::optional<std::vector<BeatloomMeterEvent>> removingMeterEvent(const Uuid& id,
                                                                  const std::vector<BeatloomMeterEvent>& events,
                                                                  double durationSeconds) {
    auto normalized = normalizedMeterEvents(events, durationSeconds);
    if (normalized.front().id == id) return std::nullopt;
    const auto removed = std::erase_if(normalized, [&](const BeatloomMeterEvent& event) { return event.id == id; });
    if (removed == 0) return std::nullopt;
    return normalizedMeterEvents(normalized, durationSeconds);
}

std::vector<std::string> meterMapIssues(const std::vector<BeatloomMeterEvent>& events,
                                        const std::vector<BeatloomBarAnchor>& anchors, double durationSeconds) {
    bool invalidSignature = false;
    bool meterOutside = false;
    bool anchorOutside = false;
    for (const auto& event : events) {
        invalidSignature = invalidSignature || !isValidTimeSignature(event.numerator, event.denominator);
        meterOutside = meterOutside || liesOutsideAudio(event.timeSeconds, durationSeconds);
    }
    for (const auto& anchor : anchors) {
        anchorOutside = anchorOutside || liesOutsideAudio(anchor.timeSeconds, durationSeconds);
    }
    // Ascending character order of the messages.
    std::vector<std::string> issues;
    if (anchorOutside) issues.emplace_back(barAnchorOutsideAudioMessage);
    if (invalidSignature) issues.emplace_back(invalidTimeSignatureMessage);
    if (meterOutside) issues.emplace_back(meterEventOutsideAudioMessage);
    return issues;
}

}  // namespace corvel
