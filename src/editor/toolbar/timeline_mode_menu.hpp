#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/tempo_map_records.hpp"
#include "editor/timeline/timeline_handles.hpp"

// The toolbar's Free Time / Rubato control, free of Qt: its label and items for the mode at the
// locator, the A key, and the values the Rejoin Grid popover opens with. Every edit is one
// session operation; refusals show in the session's error line, never here.

namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

struct TimelineModeLabel {
    std::string title;   // with text
    std::string symbol;  // without text, and the symbol name of the mode
};

TimelineModeLabel timelineModeLabel(BeatloomTimelineMode mode);

inline constexpr std::string_view kTimelineModeMenuHelpText = "Free Time / Rubato / Rejoin Grid";
inline constexpr std::string_view kAddAnchorShortcut = "A";

// One item of the mode menu; `shortcut` is the key it shows beside its title.
struct TimelineModeMenuEntry {
    TimelineMenuItem item;
    std::optional<std::string> shortcut;
};

// The items for the mode at the locator, top to bottom; all of them enabled. `openRejoinGrid`
// is what "Rejoin Grid Here…" runs.
std::vector<TimelineModeMenuEntry> timelineModeMenuItems(session::BeatloomViewModel& model,
                                                         std::function<void()> openRejoinGrid);

// The A key: adds an anchor at the locator inside a region; outside every region it does nothing.
void addAnchorByKey(session::BeatloomViewModel& model);

// A meter the Rejoin Grid popover offers; "6/8" names it.
struct BeatloomMeterChoiceLite {
    std::int64_t numerator = 4;
    std::int64_t denominator = 4;
    std::string text() const;
};

inline constexpr std::array<BeatloomMeterChoiceLite, 8> kRejoinMeterChoices{{
    {2, 4}, {3, 4}, {4, 4}, {5, 4}, {6, 8}, {7, 8}, {9, 8}, {12, 8},
}};

// What the Rejoin Grid popover edits; it outlives a closed popover.
struct RejoinGridValues {
    std::int64_t bar = 1;
    double bpm = 120.0;
    std::int64_t numerator = 4;
    std::int64_t denominator = 4;
    friend bool operator==(const RejoinGridValues&, const RejoinGridValues&) = default;
};

inline constexpr std::int64_t kRejoinBarMinimum = 1;
inline constexpr std::int64_t kRejoinBarMaximum = 9999;

// The values the popover opens with: the suggested bar of the region at the locator and the
// tempo and meter there; none when the locator lies in no region.
std::optional<RejoinGridValues> rejoinGridValuesAtLocator(const session::BeatloomViewModel& model);
// The stepper's label: the bar followed by ".1".
std::string rejoinBarLabel(std::int64_t bar);
// A picker entry's text read back as numerator and denominator; none unless exactly two
// decimal numbers remain after dropping empty and unreadable pieces.
std::optional<std::pair<std::int64_t, std::int64_t>> parseMeterChoice(std::string_view text);
// "Rejoin": resumes the grid at the locator with all four values.
void applyRejoinGrid(session::BeatloomViewModel& model, const RejoinGridValues& values);

}  // namespace corvel::editor
