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

// Stable order by time. NaN times would break a strict weak order, so they go last. Lists
// that are already in order, the usual case, are left as they are without a sort buffer; a
// list in order but for what was appended to it (a song's grid and then its bar boundaries or
// its Rubato lines) has only the appended part sorted and merged in.
template <typename T>
void sortByTime(std::vector<T>& items) {
    const auto comesBefore = [](const T& a, const T& b) {
        if (std::isnan(a.timeSeconds)) return false;
        if (std::isnan(b.timeSeconds)) return true;
        return a.timeSeconds < b.timeSeconds;
    };
    const auto unsorted = std::is_sorted_until(items.begin(), items.end(), comesBefore);
    if (unsorted == items.end()) return;
    // Merging two stably sorted runs keeps equal times in the order of the whole list.
    std::stable_sort(unsorted, items.end(), comesBefore);
    std::inplace_merge(items.begin(), unsorted, items.end(), comesBefore);
}

}  // namespace

// Both merges compact the sorted list in place: the kept records are the first `kept` ones.
std::vector<GridLine> mergedGridLines(std::vector<GridLine> lines) {
    sortByTime(lines);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (kept > 0 && std::abs(lines[i].timeSeconds - lines[kept - 1].timeSeconds) < kMergeToleranceSeconds) {
            if (lines[i].kind >= lines[kept - 1].kind) lines[kept - 1] = lines[i];
            continue;
        }
        if (kept != i) lines[kept] = lines[i];
        ++kept;
    }
    lines.resize(kept);
    return lines;
}

std::vector<ClickEvent> mergedClickEvents(std::vector<ClickEvent> events) {
    sortByTime(events);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (kept > 0 && std::abs(events[i].timeSeconds - events[kept - 1].timeSeconds) < kMergeToleranceSeconds) {
            if (events[i].accent && !events[kept - 1].accent) events[kept - 1] = events[i];
            continue;
        }
        if (kept != i) events[kept] = events[i];
        ++kept;
    }
    events.resize(kept);
    return events;
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
