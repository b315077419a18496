#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/tempo_map_records.hpp"

namespace corvel::BeatloomTimeline {

// The weight of a grid line; kinds order by raw value, bar highest.
enum class GridKind : std::int8_t { subdivision = 0, beat = 1, bar = 2 };

std::optional<GridKind> gridKindFromRawValue(std::int64_t raw);
constexpr std::int64_t rawValue(GridKind kind) { return static_cast<std::int64_t>(kind); }

struct GridLine {
    double timeSeconds = 0;  // negative for pickup bars that reach before the audio
    double quarterPosition = 0;
    GridKind kind = GridKind::subdivision;
    std::optional<std::int64_t> barNumber;   // bar and beat lines; 0 and below are pickups
    std::optional<std::int64_t> beatNumber;  // from 1; bar lines carry 1
    friend bool operator==(const GridLine&, const GridLine&) = default;
};

struct ClickEvent {
    double timeSeconds = 0;
    bool accent = false;
    friend bool operator==(const ClickEvent&, const ClickEvent&) = default;
};

// No real song needs more grid positions than this (ten hours at 300 BPM in sixteenths is
// 720 000). A span of the grid, or a Rubato region, that would push the count past it is left
// out whole, and so is a pickup that long, so an absurd tempo, duration or position costs
// bounded time and memory instead of billions of lines.
inline constexpr std::size_t kMaxGridLines = 1'000'000;

// Lines and clicks closer than this fall together.
inline constexpr double kMergeToleranceSeconds = 0.00001;

// The grid step of a resolution, in quarter notes.
double gridStepQuarters(BeatloomGridResolution resolution);

// Of lines within 1e-5 s of the last kept one, the highest kind survives and, on equal
// kinds, the later line; a run of such lines collapses into one.
std::vector<GridLine> mergedGridLines(std::vector<GridLine> lines);

// Of clicks within 1e-5 s of the last kept one, the first accented one survives, or the
// first one when none is accented.
std::vector<ClickEvent> mergedClickEvents(std::vector<ClickEvent> events);

}  // namespace corvel::BeatloomTimeline

template <>
struct std::hash<corvel::BeatloomTimeline::GridLine> {
    std::size_t operator()(const corvel::BeatloomTimeline::GridLine& line) const noexcept;
};
template <>
struct std::hash<corvel::BeatloomTimeline::ClickEvent> {
    std::size_t operator()(const corvel::BeatloomTimeline::ClickEvent& event) const noexcept;
};
