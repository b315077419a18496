#include "editor/timeline/timeline_labels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "common/format.hpp"
#include "common/numeric.hpp"
#include "core/grid_lines.hpp"

namespace corvel::editor {

namespace {

using BeatloomTimeline::GridKind;
using BeatloomTimeline::GridLine;

constexpr double kBarLabelSpacing = 42;
constexpr double kBeatLabelSpacing = 44;
constexpr double kTimeLabelSpacing = 85;
constexpr std::array<double, 17> kTimeRulerSteps{0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.25, 0.5,
                                                 1,     2,     5,     10,   15,   30,   60,  120};
constexpr double kFallbackTimeRulerStep = 300;

std::vector<GridLine> sortedOfKinds(const std::vector<GridLine>& lines, bool withBeats) {
    std::vector<GridLine> kept;
    for (const auto& line : lines) {
        if (line.kind == GridKind::bar || (withBeats && line.kind == GridKind::beat)) kept.push_back(line);
    }
    sortLinesByTime(kept);
    return kept;
}

}  // namespace

void sortLinesByTime(std::vector<GridLine>& lines) {
    const auto earlier = [](const GridLine& a, const GridLine& b) { return a.timeSeconds < b.timeSeconds; };
    if (std::is_sorted(lines.begin(), lines.end(), earlier)) return;
    std::stable_sort(lines.begin(), lines.end(), earlier);
}

std::vector<GridLine> barLabelsToShow(const std::vector<GridLine>& lines, const BeatloomTimelineWindow& window) {
    std::vector<GridLine> bars;
    for (auto& bar : sortedOfKinds(lines, false)) {
        if (bar.barNumber) bars.push_back(bar);
    }
    // Where bars stand closer than a label needs, the labels count in a regular stride of bars
    // (every 2nd, 4th, 8th ... from bar 1: 1, 3, 5 or 1, 5, 9), so that a hidden label reads as
    // thinning and not as a missing bar; a renumbered bar starts a new count.
    std::vector<const GridLine*> pointers;
    pointers.reserve(bars.size());
    for (const auto& bar : bars) pointers.push_back(&bar);
    std::vector<GridLine> shown;
    for (const std::size_t i : barsOnStride(pointers, window, kBarLabelSpacing, kBarLabelSpacing, false)) {
        shown.push_back(bars[i]);
    }
    return shown;
}

std::vector<GridLine> beatLabelsToShow(const std::vector<GridLine>& lines, const BeatloomTimelineWindow& window) {
    const auto sorted = sortedOfKinds(lines, true);
    std::vector<GridLine> shown;
    if (sorted.size() < 2) return shown;
    constexpr double kNoNeighbour = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (sorted[i].kind != GridKind::beat) continue;
        const double x = window.x(sorted[i].timeSeconds);
        const double previousGap = i == 0 ? kNoNeighbour : x - window.x(sorted[i - 1].timeSeconds);
        const double nextGap = i + 1 == sorted.size() ? kNoNeighbour : window.x(sorted[i + 1].timeSeconds) - x;
        if (std::min(previousGap, nextGap) >= kBeatLabelSpacing) shown.push_back(sorted[i]);
    }
    return shown;
}

std::string formatRulerTime(double seconds) {
    const double x = maxIgnoringNaN(seconds, 0.0);
    const std::int64_t minutes = saturatingInt64(x) / 60;
    const std::string secs = formatFixed(std::fmod(x, 60.0), 3);
    // Two integer digits: "5.250" becomes "05.250".
    return formatInteger(minutes) + ":" + (secs.size() < 6 ? std::string(6 - secs.size(), '0') : "") + secs;
}

double timeRulerStep(const BeatloomTimelineWindow& window) {
    const double least = kTimeLabelSpacing * window.duration / maxIgnoringNaN(window.width, 1.0);
    for (const double step : kTimeRulerSteps) {
        if (step >= least) return step;
    }
    return kFallbackTimeRulerStep;
}

std::vector<double> timeRulerTicks(const BeatloomTimelineWindow& window, double songDuration) {
    const double step = timeRulerStep(window);
    const double end = std::min(window.start + window.duration + 1e-9, songDuration);
    // Ticks before 0 s are never shown: start at the first multiple of the step at or after the
    // later of the window start and 0 s, so that a window far before the song costs nothing.
    double t = step * std::ceil(std::max(window.start, 0.0) / step);
    std::vector<double> ticks;
    while (t <= end) {
        ticks.push_back(t);
        const double next = t + step;
        if (!(next > t)) break;  // too far out for the step to advance
        t = next;
    }
    return ticks;
}

std::vector<std::size_t> labelsWithoutOverlap(const std::vector<LabelBox>& boxes,
                                              const std::vector<LabelBox>& reserved) {
    std::vector<std::size_t> kept;
    std::vector<LabelBox> taken = reserved;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const auto meets = [&](const LabelBox& box) { return box.intersects(boxes[i]); };
        if (std::any_of(taken.begin(), taken.end(), meets)) continue;
        kept.push_back(i);
        taken.push_back(boxes[i]);
    }
    return kept;
}

std::optional<LabelBox> keptInsideLane(const LabelBox& box, double labelledX, double width, double margin) {
    if (!(labelledX >= 0 && labelledX <= width)) return std::nullopt;
    double dx = 0;
    if (box.right + dx > width - margin) dx = width - margin - box.right;
    if (box.left + dx < margin) dx = margin - box.left;  // the left edge wins in a narrow lane
    return LabelBox{box.left + dx, box.top, box.right + dx, box.bottom};
}

std::vector<LabelMove> labelsClearOfFlag(const std::vector<LabelBox>& labels, const std::vector<LabelBox>& reserved,
                                         const std::vector<LabelBox>& flag, double width, double margin, double gap) {
    std::vector<LabelMove> moves;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const LabelBox& box = labels[i];
        double flagRight = -std::numeric_limits<double>::infinity();
        for (const auto& part : flag) {
            if (part.intersects(box)) flagRight = std::max(flagRight, part.right);
        }
        if (flagRight == -std::numeric_limits<double>::infinity()) continue;
        // Right of every part of the flag at the label's height, not just of the part it met.
        for (const auto& part : flag) {
            if (part.top < box.bottom && box.top < part.bottom) flagRight = std::max(flagRight, part.right);
        }
        const double dx = flagRight + gap - box.left;
        const LabelBox moved{box.left + dx, box.top, box.right + dx, box.bottom};
        const auto meets = [&](const LabelBox& other) { return other.intersects(moved); };
        bool clear = moved.right <= width - margin && std::none_of(reserved.begin(), reserved.end(), meets);
        for (std::size_t j = 0; clear && j < labels.size(); ++j) clear = j == i || !meets(labels[j]);
        for (const auto& earlier : moves) clear = clear && !(earlier.box && meets(*earlier.box));
        moves.push_back({i, clear ? std::optional<LabelBox>(moved) : std::nullopt});
    }
    return moves;
}

std::vector<RulerLabel> rulerLabels(const std::vector<GridLine>& visibleLines, const BeatloomTimelineWindow& window,
                                    const BeatloomTimelineGeometry& geometry, double songDuration) {
    std::vector<RulerLabel> labels;
    for (const auto& bar : barLabelsToShow(visibleLines, window)) {
        const double x = window.x(bar.timeSeconds);
        labels.push_back({RulerLabelKind::bar, bar.barNumber ? BeatloomTimeline::barLabel(*bar.barNumber) + ".1" : "",
                          x + 16, geometry.rulerHeight * 0.5, x});
    }
    for (const auto& beat : beatLabelsToShow(visibleLines, window)) {
        const std::string text = beat.barNumber && beat.beatNumber
                                     ? BeatloomTimeline::gridLineLabel(*beat.barNumber, *beat.beatNumber)
                                     : "";
        const double x = window.x(beat.timeSeconds);
        labels.push_back({RulerLabelKind::beat, text, x + 12, geometry.rulerHeight * 0.72, x});
    }
    for (const double t : timeRulerTicks(window, songDuration)) {
        const double x = window.x(t);
        labels.push_back({RulerLabelKind::time, formatRulerTime(t), x + 20,
                          geometry.timeRulerTop() + geometry.timeRulerHeight * 0.5, x});
    }
    return labels;
}

}  // namespace corvel::editor
