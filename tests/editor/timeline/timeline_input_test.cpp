#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "editor/timeline/timeline_input.hpp"
#include "timeline_input_fixture.hpp"

namespace corvel::editor {
namespace {

using BeatloomTimeline::GridKind;
using BeatloomTimeline::GridLine;
using testing::TimelineInputTest;

TEST_F(TimelineInputTest, LaneClicksSnapToTheGridOnlyWithin18PixelsAndNeverWithOption) {
    ui.gridResolution.set(BeatloomGridResolution::quarter);
    struct Case {
        double start, duration, seconds;
        bool snap, option;
        double expected;
    };
    // At 4 s across 1000 px a pixel is 4 ms: 17.9 px is 0.0716 s, 19 px is 0.076 s.
    const std::vector<Case> cases{
        {0, 4, 1.0716, true, false, 1.0},
        {0, 4, 1.076, true, false, 1.076},
        {0, 4, 1.01, true, true, 1.01},
        {0, 4, 1.01, false, false, 1.01},
        {0, 2, 1.0716, true, false, 1.0716},  // zoomed in, 18 px are only 36 ms
        {-2, 4, -2.0, true, false, 0.0},      // left of the audio
        {18.5, 4, 22.5, false, false, 20.0},  // past the song's end
    };
    for (const auto& c : cases) {
        ui.snapEnabled.set(c.snap);
        const BeatloomTimelineWindow window{c.start, c.duration, 1000};
        const double normalized = (c.seconds - c.start) / c.duration;
        EXPECT_NEAR(seekSnappedTarget(model, ui, normalized, window, c.option), c.expected, 1e-9)
            << c.start << " " << c.duration << " " << c.seconds;
    }
}

TEST_F(TimelineInputTest, PressAndDragOnTheLanesMoveTheLocatorAndOptionSuspendsSnappingPerMovement) {
    ui.gridResolution.set(BeatloomGridResolution::quarter);
    press(QPointF(130, markerLaneY()));  // 0.52 s, 5 px from the beat at 0.5 s
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 0.5);
    moveTo(QPointF(260, markerLaneY()), Qt::AltModifier);
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 1.04);
    moveTo(QPointF(260, markerLaneY()));
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 1.0);
    moveTo(QPointF(1400, markerLaneY()));  // beyond the right edge: the window's end
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 4.0);
    release(QPointF(1400, markerLaneY()));
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
}

TEST_F(TimelineInputTest, SidewaysAndShiftedScrollsMoveTheWindowOtherScrollsPassOn) {
    model.viewportState.set({4, 4, 1000});
    EXPECT_TRUE(wheel(QPoint(-80, 0)));  // ten pixels to the right
    EXPECT_NEAR(model.viewportState.value().visibleStartSeconds, 4.04, 1e-9);
    EXPECT_FALSE(wheel(QPoint(0, 80)));
    EXPECT_NEAR(model.viewportState.value().visibleStartSeconds, 4.04, 1e-9);
    EXPECT_TRUE(wheel(QPoint(0, 80), Qt::ShiftModifier));
    EXPECT_NEAR(model.viewportState.value().visibleStartSeconds, 4.0, 1e-9);
}

TEST(TimelineNearestGridLine, PicksTheNearestBeatOrBarWithinTheTolerance) {
    const std::vector<GridLine> lines{
        {0.0, 0, GridKind::bar, 1, 1},         {0.25, 0.5, GridKind::subdivision, {}, {}},
        {0.5, 1, GridKind::beat, 1, 2},        {0.75, 1.5, GridKind::subdivision, {}, {}},
        {1.0, 2, GridKind::beat, 1, 3},
    };
    const BeatloomTimelineWindow window{0, 4, 1000};  // lines at 0, 62.5, 125, 187.5, 250 px
    struct Case {
        double x;
        double tolerance;
        std::optional<double> quarter;
    };
    const std::vector<Case> cases{
        {125, 18, 1},    {140, 18, 1},   {143, 18, 1},  {144, 18, std::nullopt},  // 19 px away
        {62.5, 18, std::nullopt},  // on a subdivision far from every beat
        {65, 100, 1},    // on a subdivision: the nearer beat or bar
        {187.5, 100, 1},  // midway between two beats: the earlier wins
        {-18, 18, 0},    {-19, 18, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto line = nearestGridLine(lines, c.x, window, c.tolerance);
        EXPECT_EQ(line ? std::optional<double>(line->quarterPosition) : std::nullopt, c.quarter) << c.x;
    }
    EXPECT_FALSE(nearestGridLine({lines[1], lines[3]}, 62.5, window, 18));
}

TEST(TimelineGridFitLane, TransientWindowIs24PixelsHeldTo2To80Milliseconds) {
    EXPECT_DOUBLE_EQ(fitLineTransientWindow({0, 1, 1000}), 0.024);
    EXPECT_DOUBLE_EQ(fitLineTransientWindow({0, 0.01, 1000}), 0.002);
    EXPECT_DOUBLE_EQ(fitLineTransientWindow({0, 100, 1000}), 0.08);
}

TEST_F(TimelineInputTest, GridFitDragPicksABeatLineWhenItComesNearAndMovesItsAnchorAsOneStep) {
    ui.gridFitMode.set(true);
    ui.transientSnapEnabled.set(false);
    const double y = waveformY();
    // From a subdivision 62 px away from every beat, then onto the beat at 1.5 s (375 px).
    press(QPointF(312, y));
    moveTo(QPointF(330, y));
    EXPECT_FALSE(input().gridFitLane().activeFitLineQuarter());
    EXPECT_FALSE(model.transactionStart());
    moveTo(QPointF(372, y));
    ASSERT_TRUE(input().gridFitLane().activeFitLineQuarter());
    EXPECT_DOUBLE_EQ(*input().gridFitLane().activeFitLineQuarter(), 3.0);
    moveTo(QPointF(380, y));
    release(QPointF(380, y));

    ASSERT_EQ(model.gridFitAnchors.value().size(), 1u);
    EXPECT_DOUBLE_EQ(model.gridFitAnchors.value().front().quarterPosition, 3.0);
    EXPECT_NEAR(model.gridFitAnchors.value().front().timeSeconds, 1.52, 1e-9);
    EXPECT_FALSE(input().gridFitLane().activeFitLineQuarter());
    EXPECT_EQ(undoNames(), std::vector<std::string>{"Move Grid Anchor"});
    EXPECT_EQ(model.statusText.value(), model.gridFitStatusText());
    // The lane takes the waveform's clicks: the locator stayed.
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 0.0);
}

TEST_F(TimelineInputTest, LayersTakeThePointerFromTheTopDown) {
    using Target = TimelinePointerInput::HitTarget;
    model.locatorSeconds.set(1.0);  // 250 px
    EXPECT_EQ(input().hitTest(QPointF(250, 5)), Target::locatorFlag);
    EXPECT_EQ(input().hitTest(QPointF(300, 5)), Target::seekSurface);
    EXPECT_EQ(input().hitTest(QPointF(500, waveformY())), Target::seekSurface);
    ui.rangeSelectionMode.set(true);
    EXPECT_EQ(input().hitTest(QPointF(500, waveformY())), Target::rangeSelection);
    EXPECT_EQ(input().hitTest(QPointF(500, markerLaneY())), Target::seekSurface);
    ui.gridFitMode.set(true);  // Range Select keeps the waveform while both are on
    EXPECT_EQ(input().hitTest(QPointF(500, waveformY())), Target::rangeSelection);
    ui.rangeSelectionMode.set(false);
    EXPECT_EQ(input().hitTest(QPointF(500, waveformY())), Target::gridFitLane);

    // A Range Select drag selects its span for re-analysis and never moves the locator.
    ui.gridFitMode.set(false);
    ui.rangeSelectionMode.set(true);
    drag(QPointF(700, waveformY()), {QPointF(500, waveformY())});
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 1.0);
    ASSERT_TRUE(model.analysisSelection.value());
    EXPECT_NEAR(model.analysisSelection.value()->startSeconds, 2.0, 1e-9);
    EXPECT_NEAR(model.analysisSelection.value()->endSeconds, 2.8, 1e-9);
}

TEST(TimelineLocatorFlag, StaysInViewAndClearOfTheEdges) {
    // The badge's outline keeps a pixel below the top and clear of the frame's rounded corners.
    EXPECT_EQ(locatorFlagPlacement(500, 1000), (LocatorFlagPlacement{500, 11}));
    EXPECT_EQ(locatorFlagPlacement(3, 1000), (LocatorFlagPlacement{22, 11}));
    EXPECT_EQ(locatorFlagPlacement(998, 1000), (LocatorFlagPlacement{978, 11}));
    EXPECT_EQ(locatorFlagPlacement(5, 20), (LocatorFlagPlacement{22, 11}));
    EXPECT_FALSE(locatorFlagPlacement(-0.5, 1000));
    EXPECT_FALSE(locatorFlagPlacement(1000.5, 1000));
}

}  // namespace
}  // namespace corvel::editor
