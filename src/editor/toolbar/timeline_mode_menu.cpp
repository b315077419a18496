#include "editor/toolbar/timeline_mode_menu.hpp"

#include <algorithm>
#include <charconv>

#include "common/format.hpp"
#include "core/flexible_timeline.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

TimelineModeLabel timelineModeLabel(BeatloomTimelineMode mode) {
    switch (mode) {
        case BeatloomTimelineMode::metered: return {"Timeline", "waveform.path"};
        case BeatloomTimelineMode::rubato: return {"Rubato", "point.3.connected.trianglepath.dotted"};
        case BeatloomTimelineMode::free: return {"Free Time", "pause.rectangle"};
    }
    return {"Timeline", "waveform.path"};
}

std::vector<TimelineModeMenuEntry> timelineModeMenuItems(session::BeatloomViewModel& model,
                                                         std::function<void()> openRejoinGrid) {
    using Mode = BeatloomTimelineMode;
    const Mode mode = model.regionAtLocator();
    const auto action = [](std::string title, std::function<void()> run, bool destructive = false) {
        return TimelineModeMenuEntry{{std::move(title), destructive, false, std::move(run)}, std::nullopt};
    };
    const TimelineModeMenuEntry divider{{"", false, true, {}}, std::nullopt};

    if (mode == Mode::metered) {
        return {action("Start Free Time Here", [&model] { model.startFreeTimeAtLocator(); }),
                action("Start Rubato Here", [&model] { model.startRubatoAtLocator(); })};
    }
    const bool free = mode == Mode::free;
    auto add = action(free ? "Add Reference Anchor" : "Add Rhythmic Anchor",
                      [&model] { model.addRhythmicAnchorAtLocator(); });
    add.shortcut = std::string(kAddAnchorShortcut);
    const Mode other = free ? Mode::rubato : Mode::free;
    return {std::move(add),
            divider,
            action(free ? "Convert to Rubato" : "Convert to Free Time", [&model, other] { model.convertRegion(other); }),
            action("Rejoin Grid Here…", std::move(openRejoinGrid)),
            divider,
            action(free ? "Delete Free Time Region" : "Delete Rubato Region",
                   [&model] { model.deleteRegionAtLocator(); }, true)};
}

void addAnchorByKey(session::BeatloomViewModel& model) {
    if (model.regionAtLocator() == BeatloomTimelineMode::metered) return;
    model.addRhythmicAnchorAtLocator();
}

std::string BeatloomMeterChoiceLite::text() const { return formatInteger(numerator) + "/" + formatInteger(denominator); }

std::optional<RejoinGridValues> rejoinGridValuesAtLocator(const session::BeatloomViewModel& model) {
    const auto region =
        BeatloomFlexibleTimeline::regionContaining(model.timelineRegions.value(), model.locatorSeconds.value());
    if (!region) return std::nullopt;
    RejoinGridValues values;
    values.bar = model.suggestedRejoinBar(*region);
    if (const auto tempo = model.tempoAtLocator()) {
        values.bpm = *tempo;
    } else if (const auto& result = model.result.value()) {
        values.bpm = result->bpm;
    }
    const auto meter = model.meterEventAtLocator();
    values.numerator = meter.numerator;
    values.denominator = meter.denominator;
    return values;
}

std::string rejoinBarLabel(std::int64_t bar) { return formatInteger(bar) + ".1"; }

std::optional<std::pair<std::int64_t, std::int64_t>> parseMeterChoice(std::string_view text) {
    std::vector<std::int64_t> numbers;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t slash = std::min(text.find('/', begin), text.size());
        const std::string_view piece = text.substr(begin, slash - begin);
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (!piece.empty() && error == std::errc() && end == piece.data() + piece.size()) numbers.push_back(value);
        begin = slash + 1;
    }
    if (numbers.size() != 2) return std::nullopt;
    return std::pair(numbers[0], numbers[1]);
}

void applyRejoinGrid(session::BeatloomViewModel& model, const RejoinGridValues& values) {
    model.rejoinGridAtLocator(values.bar, values.bpm, values.numerator, values.denominator);
}

}  // namespace corvel::editor
