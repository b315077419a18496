#include "editor/timeline/timeline_marker_lane.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace corvel::editor {

namespace {

LabelBox shifted(const LabelBox& box, double dx) { return {box.left + dx, box.top, box.right + dx, box.bottom}; }

bool verticallyMeet(const LabelBox& a, const LabelBox& b) {
    return std::min(a.bottom, b.bottom) - std::max(a.top, b.top) > kMarkerLaneGraze;
}

}  // namespace

bool markerLaneItemsMeet(const LabelBox& a, const LabelBox& b) {
    // Side by side, items keep at least a pixel apart; a moved item keeps kMarkerLaneGap.
    return verticallyMeet(a, b) && std::min(a.right, b.right) - std::max(a.left, b.left) > -1;
}

std::vector<MarkerLanePlacement> layOutMarkerLane(const std::vector<MarkerLaneItem>& items, double laneWidth) {
    std::vector<MarkerLanePlacement> placements(items.size());
    std::vector<LabelBox> placed;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto& item = items[i];
        // A move never takes an item out over the lane's ends.
        const double lowest = std::min(std::max(item.minimumShift, kMarkerLaneGap - item.box.left), 0.0);
        const double highest = std::max(std::min(item.maximumShift, laneWidth - kMarkerLaneGap - item.box.right), 0.0);
        // Only boxes in the item's reach can be in its way.
        const auto inReach = [&](const LabelBox& other) {
            return verticallyMeet(item.box, other) && other.right > item.box.left + lowest - kMarkerLaneGap &&
                   other.left < item.box.right + highest + kMarkerLaneGap;
        };
        std::vector<LabelBox> obstacles;
        for (const auto& other : placed) {
            if (inReach(other)) obstacles.push_back(other);
        }
        std::vector<LabelBox> avoided;
        for (const auto& other : item.avoid) {
            if (inReach(other)) avoided.push_back(other);
        }
        // Its own place first, then each place just past something in reach, nearest first.
        std::vector<double> shifts{0};
        for (const auto* boxes : {&obstacles, &avoided}) {
            for (const auto& other : *boxes) {
                shifts.push_back(other.right + kMarkerLaneGap - item.box.left);
                shifts.push_back(other.left - kMarkerLaneGap - item.box.right);
            }
        }
        std::erase_if(shifts, [&](double dx) { return !(dx >= lowest && dx <= highest); });
        std::stable_sort(shifts.begin(), shifts.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
        const auto clearOf = [](const LabelBox& box, const std::vector<LabelBox>& boxes) {
            return std::none_of(boxes.begin(), boxes.end(),
                                [&](const LabelBox& other) { return markerLaneItemsMeet(box, other); });
        };
        std::optional<double> chosen;
        for (const bool avoiding : {true, false}) {
            for (const double dx : shifts) {
                const LabelBox box = shifted(item.box, dx);
                if (clearOf(box, obstacles) && (!avoiding || clearOf(box, avoided))) {
                    chosen = dx;
                    break;
                }
            }
            if (chosen || avoided.empty()) break;
        }
        if (!chosen) continue;
        placements[i] = {true, *chosen};
        placed.push_back(shifted(item.box, *chosen));
    }
    return placements;
}

double markerLineLeft(const MarkerLine& line) { return std::floor(line.x); }

double markerLineWidth(const MarkerLine& line) { return line.kind == MarkerLineKind::gridFitAnchor ? 2 : 1; }

std::vector<MarkerStroke> markerStrokes(const std::vector<MarkerLine>& lines, const BeatloomTimelineGeometry& geometry,
                                        const std::vector<LabelBox>& items) {
    const double bottom = geometry.waveformTop() + geometry.waveformHeight();
    std::vector<MarkerStroke> strokes;
    std::vector<std::pair<double, double>> gaps;
    for (const auto& line : lines) {
        const double left = markerLineLeft(line);
        const double right = left + markerLineWidth(line);
        const double top = line.kind == MarkerLineKind::gridFitAnchor ? geometry.waveformTop() : geometry.rulerHeight;
        gaps.clear();
        for (const auto& item : items) {
            if (item.left < right && item.right > left && item.top < bottom && item.bottom > top) {
                gaps.emplace_back(item.top, item.bottom);
            }
        }
        std::sort(gaps.begin(), gaps.end());
        double from = top;
        for (const auto& [gapTop, gapBottom] : gaps) {
            if (gapTop > from) strokes.push_back({line, from, gapTop});
            from = std::max(from, gapBottom);
        }
        if (bottom > from) strokes.push_back({line, from, bottom});
    }
    return strokes;
}

}  // namespace corvel::editor
