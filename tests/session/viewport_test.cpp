#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "session/beatloom_view_model.hpp"
#include "session/session_fixture.hpp"

namespace corvel::session {
namespace {

using testing::kSongSeconds;
namespace records = corvel::testing;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class Viewport : public testing::SessionTest {
protected:
    // 120 BPM in 4/4: a bar lasts 2 s.
    Viewport() { loadResult({records::tempoPoint(0, 120)}); }

    void showWindow(double start, double duration, double width = 1000.0) {
        model.viewportState.set(BeatloomViewportState{start, duration, width});
    }

    void expectWindow(double start, double duration, double width = 1000.0) const {
        const auto& viewport = model.viewportState.value();
        EXPECT_NEAR(viewport.visibleStartSeconds, start, 1e-9);
        EXPECT_NEAR(viewport.visibleDurationSeconds, duration, 1e-9);
        EXPECT_EQ(viewport.viewportPixelWidth, width);
    }

    void setDuration(double seconds) {
        auto detected = *model.result.value();
        detected.durationSeconds = seconds;
        model.result.set(detected);
    }
};

TEST_F(Viewport, ZoomIsHeldBetweenOneAnd2048AndSizesTheWindowFromTheSongLength) {
    const struct {
        double zoom;
        double held;
    } cases[] = {{4, 4}, {0.5, 1.0}, {5000, 2048}, {kNaN, 2048}};
    for (const auto& c : cases) {
        model.setZoom(c.zoom);
        EXPECT_EQ(model.editorZoom.value(), c.held) << c.zoom;
        EXPECT_NEAR(model.viewportState.value().visibleDurationSeconds, kSongSeconds / c.held, 1e-9) << c.zoom;
    }
    setDuration(600);
    model.setZoom(1);
    model.setZoom(2048);
    EXPECT_NEAR(model.viewportState.value().visibleDurationSeconds, 0.29, 0.005);
}

TEST_F(Viewport, ZoomCentresOnThePlayPositionWithoutBoundingTheWindow) {
    showWindow(3.0, 20.0, 0.0);
    model.locatorSeconds.set(10.0);
    model.setZoom(4);
    expectWindow(7.5, 5.0, 1.0);

    model.locatorSeconds.set(0.0);
    model.setZoom(8);
    expectWindow(-1.25, 2.5, 1.0);

    // While playing, the play head is the play position.
    playFor(12.0, 1.0);
    model.setZoom(2);
    expectWindow(13.0 - 5.0, 10.0, 1.0);
}

TEST_F(Viewport, ZoomingToTheCurrentZoomLeavesTheWindowAlone) {
    model.setZoom(4);
    showWindow(1.0, 2.0);
    model.locatorSeconds.set(15.0);
    model.setZoom(4.0 + 5e-7);
    expectWindow(1.0, 2.0);
    EXPECT_EQ(model.editorZoom.value(), 4.0);
}

TEST_F(Viewport, WithoutAResultOnlyTheZoomIsStored) {
    model.result.set(std::nullopt);
    showWindow(1.0, 2.0);
    model.setZoom(3000);
    EXPECT_EQ(model.editorZoom.value(), 2048);
    model.resetZoom();
    model.centerViewportOnPlayhead();
    model.scrollViewport(100);
    model.revealBarsBeforeBarOne(2);
    expectWindow(1.0, 2.0);
    EXPECT_EQ(model.editorZoom.value(), 2048);
}

TEST_F(Viewport, ResetShowsTheWholeSongAndCentringKeepsTheZoom) {
    model.setZoom(4);
    showWindow(3.0, 5.0, 640.0);
    model.locatorSeconds.set(12.0);
    model.centerViewportOnPlayhead();
    expectWindow(9.5, 5.0, 640.0);
    EXPECT_EQ(model.editorZoom.value(), 4.0);

    model.resetZoom();
    EXPECT_EQ(model.editorZoom.value(), 1.0);
    expectWindow(0.0, kSongSeconds, 640.0);

    // A song of no length still gets a window.
    setDuration(0.0);
    model.resetZoom();
    expectWindow(0.0, 0.001, 640.0);
}

TEST_F(Viewport, ScrollingStopsHalfAWindowBeforeTheSongAndATenthOfAWindowBeforeItsEnd) {
    showWindow(3.0, 4.0, 400.0);  // 0.01 s a pixel
    model.scrollViewport(50);
    expectWindow(3.5, 4.0, 400.0);
    model.scrollViewport(-10000);
    expectWindow(-2.0, 4.0, 400.0);
    model.scrollViewport(100000);
    expectWindow(kSongSeconds - 0.4, 4.0, 400.0);
    model.scrollViewport(kNaN);
    expectWindow(kSongSeconds - 0.4, 4.0, 400.0);
}

TEST_F(Viewport, TheWindowTurnsAPageWhenThePlayHeadReachesNineTenthsOfIt) {
    showWindow(0.0, 4.0);
    model.followPlayhead(3.6);  // stopped: no page turn
    expectWindow(0.0, 4.0);

    playFor(0.0, 1.0);
    model.followPlayhead(3.59);
    expectWindow(0.0, 4.0);
    model.followPlayhead(3.6);
    expectWindow(3.2, 4.0);
    model.followPlayhead(1.0);  // left of the window
    expectWindow(3.2, 4.0);
    model.followPlayhead(6.9);
    expectWindow(6.5, 4.0);

    // Near the end the page stops where a tenth of a window of audio still shows.
    showWindow(16.5, 4.0);
    model.followPlayhead(20.2);
    expectWindow(kSongSeconds - 0.4, 4.0);
}

TEST_F(Viewport, AScrollDuringPlaybackEndsPageFollowingUntilPlaybackStartsAgain) {
    showWindow(0.0, 4.0);
    model.togglePlayback();
    model.scrollViewport(10);
    EXPECT_FALSE(model.pageFollowEnabled.value());
    model.followPlayhead(3.8);
    expectWindow(0.04, 4.0);

    model.togglePlayback();
    model.scrollViewport(10);  // stopped: following stays off, as it was
    EXPECT_FALSE(model.pageFollowEnabled.value());
    model.togglePlayback();
    EXPECT_TRUE(model.pageFollowEnabled.value());
    model.followPlayhead(3.9);
    expectWindow(3.5, 4.0);

    // A scroll while paused leaves following on.
    model.previewPlayer().pause();
    model.scrollViewport(10);
    EXPECT_TRUE(model.pageFollowEnabled.value());
}

TEST_F(Viewport, PixelWidthChangesOfHalfAPixelOrLessAreJitter) {
    showWindow(2.0, 3.0, 800.0);
    const struct {
        double width;
        double stored;
    } cases[] = {{800.4, 800.0}, {799.5, 800.0}, {800.6, 800.6}, {kInf, 800.6}, {-kInf, 800.6}, {kNaN, 800.6},
                 {0.0, 1.0}, {kNaN, 1.0}, {-50, 1.0}};
    for (const auto& c : cases) {
        model.setViewportPixelWidth(c.width);
        expectWindow(2.0, 3.0, c.stored);
    }
}

TEST_F(Viewport, RevealingPickupBarsScrollsOnlyAsFarAsTheirStartNeeds) {
    model.barOneSeconds.set(8.0);
    const struct {
        double start;
        double duration;
        std::int64_t bars;
        double newStart;
    } cases[] = {
        {5.0, 10.0, 1, 5.0},           // the start of one bar before Bar 1 (6 s) is in view
        {5.0, 10.0, 2, 4.0 - 0.1},     // 4 s lies left: a margin of a hundredth of the window
        {0.0, 4.0, 1, 6.0 - 4 + 0.04}, // right of the window: it comes in from the right edge
        {10.0, 0.04, 1, 6.0 - 0.01},   // a tiny window: the margin is a quarter of it
        {10.0, 50.0, 1, 6.0 - 0.25},   // a wide window: the margin is at most 0.25 s
        {5.0, 10.0, 10, -5.0},         // before the song: held at half a window before 0 s
        {5.0, 10.0, 0, 5.0},           // no bars: nothing
    };
    for (const auto& c : cases) {
        showWindow(c.start, c.duration);
        model.revealBarsBeforeBarOne(c.bars);
        expectWindow(c.newStart, c.duration);
    }
}

TEST_F(Viewport, RevealingUsesTheMeterAtBarOneAndFallsBackToBarOneWithoutAMap) {
    model.barOneSeconds.set(8.0);
    model.meterEvents.set({records::meter(0, 4, 4), records::meter(7.0, 3, 4)});  // 3/4 bars of 1.5 s
    showWindow(7.0, 10.0);
    model.revealBarsBeforeBarOne(1);
    expectWindow(6.5 - 0.1, 10.0);

    model.editableTempoPoints.set({});
    showWindow(9.0, 10.0);
    model.revealBarsBeforeBarOne(1);
    expectWindow(8.0 - 0.1, 10.0);
}

}  // namespace
}  // namespace corvel::session
