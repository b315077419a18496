#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "editor/timeline/viewport_surfaces.hpp"

namespace corvel::editor {
namespace {

TEST(WaveformSeekSurface, ReportsThePositionAcrossTheSurfaceHeldToItsEdges) {
    std::vector<double> seeks;
    const BeatloomWaveformSeekSurface surface([&](double n) { seeks.push_back(n); }, {});
    EXPECT_TRUE(surface.mouseDownOrDragged(250, 1000));
    EXPECT_TRUE(surface.mouseDownOrDragged(1000, 1000));
    EXPECT_TRUE(surface.mouseDownOrDragged(1400, 1000));
    EXPECT_TRUE(surface.mouseDownOrDragged(-30, 1000));
    EXPECT_EQ(seeks, (std::vector<double>{0.25, 1, 1, 0}));

    EXPECT_FALSE(surface.mouseDownOrDragged(10, 0));
    EXPECT_FALSE(BeatloomWaveformSeekSurface{}.mouseDownOrDragged(10, 100));
    EXPECT_EQ(seeks.size(), 4u);
}

TEST(WaveformSeekSurface, ScrollsSidewaysOnlyForHorizontalOrShiftedScrolls) {
    struct Case {
        double dx, dy;
        bool shift;
        bool consumed;
        std::optional<double> pixels;
    };
    const std::vector<Case> cases{
        {5, 1, false, true, -5},          // mostly horizontal
        {-3, 0, false, true, 3},          // leftwards moves the window earlier
        {0, 4, false, false, std::nullopt},  // vertical without Shift: the enclosing scroll's
        {0, 4, true, true, -4},           // vertical with Shift
        {2, 2, false, false, std::nullopt},  // equal magnitudes count as vertical
        {0.01, 0, false, false, std::nullopt},  // too small to be meant
        {0, 0.005, true, false, std::nullopt},
    };
    for (const auto& c : cases) {
        std::optional<double> pixels;
        const BeatloomWaveformSeekSurface surface([](double) {}, [&](double p) { pixels = p; });
        EXPECT_EQ(surface.scrollWheel(c.dx, c.dy, c.shift), c.consumed) << c.dx << " " << c.dy;
        EXPECT_EQ(pixels, c.pixels) << c.dx << " " << c.dy;
    }
    // Without a scroll callback a sideways scroll is still taken.
    EXPECT_TRUE(BeatloomWaveformSeekSurface([](double) {}, {}).scrollWheel(6, 0, false));
}

BeatloomRangeSelectionSurface surface(double start, double duration, double width, double song) {
    BeatloomRangeSelectionSurface s;
    s.state = {start, duration, width};
    s.sourceDurationSeconds = song;
    s.waveformTop = 96;
    s.waveformHeight = 430;
    s.isActive = true;
    return s;
}

TEST(RangeSelectionSurface, ReportsTheDragStartThenTheCurrentTimeClampedToWindowAndFile) {
    auto s = surface(2, 10, 1000, 30);
    std::vector<std::pair<double, double>> reports;
    s.onSelectionChanged = [&](double a, double b) { reports.emplace_back(a, b); };

    s.dragChanged(800, 700);   // the drag began at 10 s and now stands at 9 s
    s.dragChanged(800, -50);   // past the left edge: the window start
    s.dragChanged(800, 5000);  // past the right edge: the window end
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_DOUBLE_EQ(reports[0].first, 10);
    EXPECT_DOUBLE_EQ(reports[0].second, 9);
    EXPECT_DOUBLE_EQ(reports[1].second, 2);
    EXPECT_DOUBLE_EQ(reports[2].second, 12);
    EXPECT_TRUE(s.dragStartSeconds);
    s.dragEnded();
    EXPECT_FALSE(s.dragStartSeconds);

    // Before the song's start and after its end the file's bounds win.
    auto early = surface(-2, 10, 1000, 5);
    early.onSelectionChanged = [&](double a, double b) { reports.emplace_back(a, b); };
    early.dragChanged(100, -10);
    EXPECT_DOUBLE_EQ(reports.back().first, 0);
    EXPECT_DOUBLE_EQ(reports.back().second, 0);
    early.dragChanged(100, 900);
    EXPECT_DOUBLE_EQ(reports.back().second, 5);
}

TEST(RangeSelectionSurface, BandShowsTheVisiblePartOfTheSelectionWhateverTheMode) {
    auto s = surface(0, 10, 1000, 30);
    EXPECT_FALSE(s.selectionBand());
    s.selection = BeatloomTimeRange{2, 4};
    EXPECT_EQ(s.selectionBand(), (session::BeatloomPixelSpan{200, 400}));
    s.isActive = false;
    EXPECT_EQ(s.selectionBand(), (session::BeatloomPixelSpan{200, 400}));
    s.selection = BeatloomTimeRange{8, 25};
    EXPECT_EQ(s.selectionBand(), (session::BeatloomPixelSpan{800, 1000}));
    s.selection = BeatloomTimeRange{12, 25};
    EXPECT_FALSE(s.selectionBand());
}

TEST(RangeSelectionSurface, TakesPointerInputOnlyOverTheWaveformLaneInRangeSelect) {
    auto s = surface(0, 10, 1000, 30);
    EXPECT_TRUE(s.takesHitAt(500, 300));
    EXPECT_FALSE(s.takesHitAt(500, 50));   // marker lane
    EXPECT_FALSE(s.takesHitAt(500, 540));  // time ruler
    s.isActive = false;
    EXPECT_FALSE(s.takesHitAt(500, 300));
}

}  // namespace
}  // namespace corvel::editor
