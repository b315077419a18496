#include <gtest/gtest.h>

#include "editor/timeline/timeline_labels.hpp"

namespace corvel::editor {
namespace {

using BeatloomTimeline::GridKind;
using BeatloomTimeline::GridLine;

GridLine bar(double t, std::int64_t number) { return GridLine{t, 0, GridKind::bar, number, 1}; }
GridLine beat(double t, std::int64_t barNumber, std::int64_t beatNumber) {
    return GridLine{t, 0, GridKind::beat, barNumber, beatNumber};
}

std::vector<double> times(const std::vector<GridLine>& lines) {
    std::vector<double> result;
    for (const auto& line : lines) result.push_back(line.timeSeconds);
    return result;
}

// 1 px per second: times are pixels.
const BeatloomTimelineWindow kPixelWindow{0, 1000, 1000};

TEST(BarLabels, MeasureSpacingFromTheLastLabelShown) {
    struct Case {
        double spacing;
        std::vector<double> labelled;
    };
    const Case cases[] = {
        {30, {0, 60, 120}},  // every second bar, not every bar
        {42, {0, 42, 84, 126}},
        {41.9, {0, 83.8}},
    };
    for (const auto& c : cases) {
        std::vector<GridLine> lines;
        // Handed over out of order and mixed with beats: only bars count, by time.
        for (int i = 4; i >= 0; --i) {
            const double t = c.spacing * i;
            if (t <= 130) lines.push_back(bar(t, i + 1));
            lines.push_back(beat(t + 1, i + 1, 2));
        }
        EXPECT_EQ(times(barLabelsToShow(lines, kPixelWindow)), c.labelled) << c.spacing;
    }
}

TEST(BarLabels, CountInARegularStrideFromBarOneAndAfterEveryRenumbering) {
    struct Case {
        const char* what;
        std::vector<GridLine> bars;
        std::vector<double> labelled;
    };
    const Case cases[] = {
        // 25 px bars: every second bar, counted from bar 1 even when the window starts on bar 2.
        {"from bar 2", {bar(0, 2), bar(25, 3), bar(50, 4), bar(75, 5), bar(100, 6)}, {25, 75}},
        // 12 px bars: every fourth, 1, 5, 9.
        {"every fourth", {bar(0, 1), bar(12, 2), bar(24, 3), bar(36, 4), bar(48, 5), bar(60, 6), bar(72, 7),
                          bar(84, 8), bar(96, 9)}, {0, 48, 96}},
        // A grid rejoined at bar 3 after a free passage: the rejoined bar keeps its label and the
        // count goes on from it (3, 5), never skipping to an odd-looking neighbour.
        {"rejoined", {bar(0, 1), bar(25, 2), bar(200, 3), bar(225, 4), bar(250, 5), bar(275, 6)}, {0, 200, 250}},
        {"renumbered to 10", {bar(0, 1), bar(25, 2), bar(50, 3), bar(75, 10), bar(100, 11), bar(125, 12)},
         {0, 50, 100}},
        // A renumbered bar too close to the label before it still waits for room.
        {"no room", {bar(0, 1), bar(25, 2), bar(50, 7), bar(75, 8), bar(100, 9)}, {0, 50, 100}},
        {"pickups", {bar(0, -1), bar(25, 0), bar(50, 1), bar(75, 2), bar(100, 3)}, {0, 50, 100}},
        {"extreme numbers", {bar(0, INT64_MAX - 2), bar(25, INT64_MAX - 1), bar(50, INT64_MAX), bar(75, INT64_MIN)},
         {0, 50}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(times(barLabelsToShow(c.bars, kPixelWindow)), c.labelled) << c.what;
    }
}

TEST(BeatLabels, NeedRoomToBothNeighboursWhetherOrNotTheyAreLabelled) {
    EXPECT_TRUE(beatLabelsToShow({bar(0, 1), beat(40, 1, 2), bar(80, 2)}, kPixelWindow).empty());
    EXPECT_EQ(times(beatLabelsToShow({bar(88, 2), beat(44, 1, 2), bar(0, 1)}, kPixelWindow)), std::vector<double>{44});
    // A beat alone has no neighbours to measure: no label.
    EXPECT_TRUE(beatLabelsToShow({beat(10, 1, 2)}, kPixelWindow).empty());
    // At the ends only the inner neighbour counts; bars themselves never get a beat label.
    EXPECT_EQ(times(beatLabelsToShow({beat(0, 1, 2), bar(50, 2), beat(100, 2, 2)}, kPixelWindow)),
              (std::vector<double>{0, 100}));
}

TEST(SortLinesByTime, KeepsLinesAtEqualTimesInTheirOrder) {
    std::vector<GridLine> lines{beat(2, 1, 3), bar(1, 7), beat(1, 1, 1), bar(0, 1), beat(1, 1, 2)};
    sortLinesByTime(lines);
    EXPECT_EQ(times(lines), (std::vector<double>{0, 1, 1, 1, 2}));
    EXPECT_EQ(lines[1].barNumber, 7);
    EXPECT_EQ(lines[2].beatNumber, 1);
    EXPECT_EQ(lines[3].beatNumber, 2);
}

TEST(FormatRulerTime, MinutesAndZeroPaddedSecondsWithThreeDecimals) {
    EXPECT_EQ(formatRulerTime(75.5), "1:15.500");
    EXPECT_EQ(formatRulerTime(5.25), "0:05.250");
    EXPECT_EQ(formatRulerTime(5), "0:05.000");
    EXPECT_EQ(formatRulerTime(3600), "60:00.000");
    EXPECT_EQ(formatRulerTime(-2.5), "0:00.000");
    EXPECT_EQ(formatRulerTime(0.001), "0:00.001");
}

TEST(TimeRuler, PicksTheSmallestStepThatKeepsLabels85PixelsApart) {
    EXPECT_EQ(timeRulerStep({0, 10, 1000}), 1);
    EXPECT_EQ(timeRulerStep({0, 0.2, 1000}), 0.02);
    EXPECT_EQ(timeRulerStep({0, 3 * 3600, 500}), 300);
    EXPECT_EQ(timeRulerStep({0, 1e-9, 1000}), 0.001);
    EXPECT_EQ(timeRulerStep({0, 10, 0}), 300);  // one pixel wide
}

TEST(TimeRuler, TicksStayInsideTheSongAndTheWindow) {
    const auto early = timeRulerTicks({-2.3, 10, 1000}, 60);
    ASSERT_FALSE(early.empty());
    EXPECT_EQ(early.front(), 0);
    EXPECT_EQ(formatRulerTime(early.front()), "0:00.000");
    EXPECT_EQ(early.size(), 8u);  // 0 ... 7 s

    EXPECT_EQ(timeRulerTicks({55, 10, 1000}, 60), (std::vector<double>{55, 56, 57, 58, 59, 60}));
    EXPECT_EQ(timeRulerTicks({0.5, 10, 1000}, 60).front(), 1);
    EXPECT_TRUE(timeRulerTicks({70, 10, 1000}, 60).empty());
    // Windows far from the song or too far out for the step cost nothing.
    EXPECT_TRUE(timeRulerTicks({-1e18, 5, 1000}, 60).empty());
    EXPECT_EQ(timeRulerTicks({1e300, 1e290, 1}, 1e301).size(), 1u);
    EXPECT_EQ(timeRulerTicks({0, 10, 1000}, 0).size(), 1u);  // only 0 s of an empty song
}

TEST(RulerLabels, BarsThenBeatsThenTimesAtTheirOffsets) {
    const BeatloomTimelineGeometry geometry{38, 58, 26, true};
    const BeatloomTimelineWindow window{-2, 4, 400};  // x = 100 (t + 2)
    const std::vector<GridLine> lines{bar(-2, -1), beat(-1, -1, 3), bar(0, 0), beat(0.5, 0, 3), bar(1, 1)};
    const auto labels = rulerLabels(lines, window, geometry, 1.5);

    // Each with the x of the line or tick it labels.
    const std::vector<RulerLabel> expected{
        {RulerLabelKind::bar, "P2.1", 16, 19, 0},
        {RulerLabelKind::bar, "P.1", 216, 19, 200},
        {RulerLabelKind::bar, "1.1", 316, 19, 300},
        {RulerLabelKind::beat, "P2.3", 112, 38 * 0.72, 100},
        {RulerLabelKind::beat, "P.3", 262, 38 * 0.72, 250},
        {RulerLabelKind::time, "0:00.000", 220, 539, 200},
        {RulerLabelKind::time, "0:01.000", 320, 539, 300},
    };
    EXPECT_EQ(labels, expected);
}

TEST(RulerLabels, LabelsAtTheLaneEndsMoveInAndThoseOfLinesOutsideGo) {
    struct Case {
        LabelBox box;
        double labelledX;
        std::optional<LabelBox> expected;
    };
    const Case cases[] = {
        {{-5, 0, 45, 10}, 0, LabelBox{3, 0, 53, 10}},          // the first time label at 0 s
        {{980, 0, 1030, 10}, 990, LabelBox{947, 0, 997, 10}},  // the last one, near the end
        {{100, 0, 150, 10}, 90, LabelBox{100, 0, 150, 10}},     // inside: stays
        {{-20, 0, 20, 10}, -4, std::nullopt},                  // its bar line lies left of the lane
        {{995, 0, 1035, 10}, 1000.5, std::nullopt},
        {{-10, 0, 30, 10}, 5, LabelBox{3, 0, 43, 10}},
    };
    for (const auto& c : cases) {
        const auto kept = keptInsideLane(c.box, c.labelledX, 1000, 3);
        ASSERT_EQ(kept.has_value(), c.expected.has_value()) << c.labelledX;
        if (!kept) continue;
        EXPECT_DOUBLE_EQ(kept->left, c.expected->left);
        EXPECT_DOUBLE_EQ(kept->right, c.expected->right);
    }
}

TEST(LabelsWithoutOverlap, KeepsEarlierLabelsAndTheReservedBoxesAndDropsWhatMeetsThem) {
    const std::vector<LabelBox> boxes{
        {0, 0, 40, 10},    // kept
        {30, 5, 60, 15},   // meets the first
        {40, 0, 80, 10},   // touches the first edge to edge: kept
        {100, 0, 140, 10}, // meets the reserved box
        {0, 20, 40, 30},   // another row: kept
    };
    const std::vector<LabelBox> reserved{{120, 5, 160, 20}};
    EXPECT_EQ(labelsWithoutOverlap(boxes, reserved), (std::vector<std::size_t>{0, 2, 4}));
    EXPECT_EQ(labelsWithoutOverlap(boxes, {}), (std::vector<std::size_t>{0, 2, 3, 4}));
}

}  // namespace
}  // namespace corvel::editor
