#include "core/grid_records.hpp"

#include <algorithm>
#include <cmath>

namespace corvel::BeatloomTimeline {

std::optional<GridKind> gridKindFromRawValue(std::int64_t raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return static_cast<GridKind>(raw);
}

double gridStepQuarters(BeatloomGridResolution resolution) {
    switch (resolution) {
        case BeatloomGridResolution::quarter: return 1.0;
        case BeatloomGridResolution::eighth: return 0.5;
        case BeatloomGridResolution::sixteenth: return 0.25;
        case BeatloomGridResolution::eighthTriplet: return 1.0 / 3.0;
    }
    return 1.0;
}

namespace {

// Stable order by time. NaN times would break a strict weak order, so they go last.
template <typename T>
void sortByTime(std::vector<T>& items) {
    std::stable_sort(items.begin(), items.end(), [](const T& a, const T& b) {
        if (std::isnan(a.timeSeconds)) return false;
        if (std::isnan(b.timeSeconds)) return true;
        return a.timeSeconds < b.timeSeconds;
    });
}

}  // namespace

std::vector<GridLine> mergedGridLines(std::vector<GridLine> lines) {
    sortByTime(lines);
    std::vector<GridLine> kept;
    kept.reserve(lines.size());
    for (auto& line : lines) {
        if (!kept.empty() && std::abs(line.timeSeconds - kept.back().timeSeconds) < kMergeToleranceSeconds) {
            if (line.kind >= kept.back().kind) kept.back() = line;
            continue;
        }
        kept.push_back(line);
    }
    return kept;
}

std::vector<ClickEvent> mergedClickEvents(std::vector<ClickEvent> events) {
    sortByTime(events);
    std::vector<ClickEvent> kept;
    kept.reserve(events.size());
    for (const auto& event : events) {
        if (!kept.empty() && std::abs(event.timeSeconds - kept.back().timeSeconds) < kMergeToleranceSeconds) {
            if (event.accent && !kept.back().accent) kept.back() = event;
            continue;
        }
        kept.push_back(event);
    }
    return kept;
}

}  // namespace corvel::BeatloomTimeline

std::size_t std::hash<corvel::BeatloomTimeline::GridLine>::operator()(
    const corvel::BeatloomTimeline::GridLine& line) const noexcept {
    return corvel::hashFields(line.timeSeconds, line.quarterPosition, line.kind, line.barNumber, line.beatNumber);
}

std::size_t std::hash<corvel::BeatloomTimeline::ClickEvent>::operator()(
    const corvel::BeatloomTimeline::ClickEvent& event) const noexcept {
    return corvel::hashFields(event.timeSeconds, event.accent);
}
