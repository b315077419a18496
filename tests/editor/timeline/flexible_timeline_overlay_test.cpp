#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "editor/timeline/flexible_timeline_overlay.hpp"
#include "editor/timeline/flexible_timeline_overlay_view.hpp"
#include "timeline_input_fixture.hpp"

namespace corvel::editor {
namespace {

using Mode = BeatloomTimelineMode;
using Target = TimelinePointerInput::HitTarget;
using testing::TimelineInputTest;

BeatloomTimelineRegion region(double start, double end, Mode mode) {
    BeatloomTimelineRegion made;
    made.startSeconds = start;
    made.endSeconds = end;
    made.mode = mode;
    return made;
}

BeatloomRhythmicAnchor anchor(const BeatloomTimelineRegion& in, double time, BeatloomRhythmicAnchorKind kind,
                              bool locked = false) {
    BeatloomRhythmicAnchor made;
    made.regionID = in.id;
    made.audioTimeSeconds = time;
    made.kind = kind;
    made.isLocked = locked;
    return made;
}

std::vector<std::string> titles(const std::vector<TimelineMenuItem>& items) {
    std::vector<std::string> out;
    for (const auto& item : items) out.push_back(item.isDivider ? "---" : (item.destructive ? "!" : "") + item.title);
    return out;
}

void run(const std::vector<TimelineMenuItem>& items, const std::string& title) {
    for (const auto& item : items) {
        if (!item.isDivider && item.title == title) return item.action();
    }
    ADD_FAILURE() << "no item " << title;
}

TEST(FlexibleTimelineOverlayPlacement, BandsCoverTheVisiblePartOverMarkerAndWaveformLanes) {
    const BeatloomTimelineWindow window{0, 4, 1000};
    const BeatloomTimelineGeometry geometry;
    const std::vector<BeatloomTimelineRegion> regions{region(-1, 0.1, Mode::free), region(2.5, 6, Mode::rubato),
                                                      region(5, 7, Mode::free), region(3, 3, Mode::rubato)};
    const auto bands = flexibleRegionBands(regions, window, geometry);
    ASSERT_EQ(bands.size(), 2U);  // the one after the window and the empty one draw nothing
    EXPECT_EQ(bands[0].x, 0);
    EXPECT_DOUBLE_EQ(bands[0].width, 25);
    EXPECT_EQ(bands[0].y, 38);
    EXPECT_EQ(bands[0].height, 58 + 430);
    EXPECT_EQ(bands[1].mode, Mode::rubato);
    EXPECT_EQ(bands[1].x, 625);
    EXPECT_EQ(bands[1].width, 375);

    const auto pills = flexibleRegionPills(regions, window, geometry);
    ASSERT_EQ(pills.size(), 3U);  // the empty region at 3 s still lies in the window
    EXPECT_EQ(pills[0].text, "FREE");
    EXPECT_EQ(pills[0].helpText, "Free Time · continuous beat grid suspended");
    EXPECT_EQ(pills[0].centreX, 38);  // its visible part's middle, 12.5, held off the edge
    EXPECT_EQ(pills[0].centreY, 48);
    EXPECT_EQ(pills[1].text, "RUBATO");
    EXPECT_EQ(pills[1].helpText, "Rubato · elastic grid follows rhythmic anchors");
    EXPECT_EQ(pills[1].centreX, 812.5);
    EXPECT_EQ(pills[2].centreX, 750);

    // A region reaching past the right edge of a narrow lane, and a lane narrower than two margins.
    EXPECT_EQ(flexibleRegionPills({region(3.5, 9, Mode::free)}, {0, 4, 200}, geometry)[0].centreX, 162);
    EXPECT_EQ(flexibleRegionPills({region(1, 9, Mode::free)}, {0, 4, 60}, geometry)[0].centreX, 38);

    EXPECT_TRUE(flexibleRegionBands({region(5, 7, Mode::free)}, window, geometry).empty());
    EXPECT_TRUE(flexibleRegionPills({region(5, 7, Mode::free), region(-3, -1, Mode::rubato)}, window, geometry).empty());
}

TEST(FlexibleTimelineOverlayPlacement, AnchorMarkersShowKindAndStayOffTheEdges) {
    const BeatloomTimelineGeometry geometry;
    const auto free = region(0, 2, Mode::free);
    const auto rubato = region(2, 8, Mode::rubato);
    auto positioned = anchor(rubato, 3, BeatloomRhythmicAnchorKind::downbeat);
    positioned.musicalPosition = BeatloomMusicalPosition{5, 1, 0};
    const std::vector<BeatloomRhythmicAnchor> anchors{
        anchor(free, 1, BeatloomRhythmicAnchorKind::freeReference), anchor(rubato, 2.5, BeatloomRhythmicAnchorKind::beat),
        positioned, anchor(rubato, 5 + 1e-7, BeatloomRhythmicAnchorKind::rejoin),
        anchor(rubato, 7, BeatloomRhythmicAnchorKind::beat)};
    const auto markers = rhythmicAnchorMarkers(anchors, {1, 4, 1000}, geometry);
    ASSERT_EQ(markers.size(), 4U);  // 7 s lies past the window
    EXPECT_EQ(markers[0].symbol, "circle.fill");
    EXPECT_TRUE(markers[0].isReference);
    EXPECT_FALSE(markers[0].label);
    EXPECT_EQ(markers[0].helpText, "Free Time reference anchor");
    EXPECT_EQ(markers[0].centreX, 18);  // at the window's first instant
    EXPECT_EQ(markers[0].centreY, 38 + 58 - 12);
    EXPECT_EQ(markers[1].symbol, "circle.fill");
    EXPECT_EQ(markers[1].label, "Beat");
    EXPECT_EQ(markers[1].helpText, "Rhythmic anchor · Beat");
    EXPECT_EQ(markers[1].centreX, 375);
    EXPECT_EQ(markers[2].symbol, "diamond.fill");
    EXPECT_EQ(markers[2].label, positioned.displayLabel());
    EXPECT_EQ(markers[2].helpText, "Rhythmic anchor · " + positioned.displayLabel());
    EXPECT_EQ(markers[3].symbol, "diamond.fill");
    EXPECT_FALSE(markers[3].isReference);
    EXPECT_EQ(markers[3].centreX, 982);  // at the window's last instant
}

TEST(FlexibleTimelineOverlayPlacement, AudioStartTagOnlyWhileTheWindowBeginsBeforeZero) {
    const BeatloomTimelineGeometry geometry;
    const auto tag = audioStartTag({-2, 10, 800}, geometry);
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->centreX, 194);
    EXPECT_EQ(tag->centreY, geometry.timeRulerTop() + 13);
    EXPECT_FALSE(audioStartTag({0, 10, 800}, geometry));
    EXPECT_FALSE(audioStartTag({-20, 20, 800}, geometry));
}

// Free Time over 1 ... 2 s and Rubato over 2.5 ... 6 s in the 0 ... 4 s window (250 px per second).
class FlexibleTimelineOverlayTest : public TimelineInputTest {
protected:
    FlexibleTimelineOverlayTest() {
        model.timelineRegions.set({free, rubato});
        // Stored in the session's own order, as every edit leaves them.
        model.rhythmicAnchors.set(session::BeatloomViewModel::normalizedRhythmicAnchors(anchors, {free, rubato}));
        model.statusText.set("before");
    }

    // The session keeps its anchors in its own order; this finds one of ours by its id.
    double anchorTime(std::size_t index) const {
        for (const auto& stored : model.rhythmicAnchors.value()) {
            if (stored.id == anchors[index].id) return stored.audioTimeSeconds;
        }
        return -1;
    }

    static constexpr double kAnchorY = 84;
    static constexpr double kPillY = 48;
    BeatloomTimelineRegion free = region(1, 2, Mode::free);
    BeatloomTimelineRegion rubato = region(2.5, 6, Mode::rubato);
    std::vector<BeatloomRhythmicAnchor> anchors{anchor(free, 1.5, BeatloomRhythmicAnchorKind::freeReference),
                                                anchor(rubato, 3.0, BeatloomRhythmicAnchorKind::beat),
                                                anchor(rubato, 3.6, BeatloomRhythmicAnchorKind::beat, true)};
};

TEST_F(FlexibleTimelineOverlayTest, OverlayLiesBetweenTheHandlesAndTheInputLayer) {
    EXPECT_EQ(input().hitTest({750, kAnchorY}), Target::rhythmicAnchor);
    EXPECT_EQ(input().hitTest({375, kPillY}), Target::regionPill);
    EXPECT_EQ(input().hitTest({375, waveformY()}), Target::seekSurface);  // bands take no hits
    ui.gridFitMode.set(true);
    EXPECT_EQ(input().hitTest({375, waveformY()}), Target::gridFitLane);

    // A locked downbeat's handle on the same spot lies over the anchor.
    model.barAnchors.set({corvel::testing::barAnchor(3.0)});
    EXPECT_EQ(input().hitTest({750, 88}), Target::markerHandle);

    // A click on a pill or an anchor is not a seek.
    press({375, kPillY});
    release({375, kPillY});
    press({375, kAnchorY});
    release({375, kAnchorY});
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 0.0);
}

TEST_F(FlexibleTimelineOverlayTest, AnchorDragIsOneUndoStepKeptInsideItsRegion) {
    ui.transientSnapEnabled.set(false);
    press({750, kAnchorY});
    moveTo({751, kAnchorY});  // under the 2 px a drag needs
    EXPECT_DOUBLE_EQ(anchorTime(1), 3.0);
    moveTo({800, kAnchorY});
    EXPECT_DOUBLE_EQ(anchorTime(1), 3.2);
    moveTo({-100, kAnchorY});  // the session holds it at the region's start
    EXPECT_DOUBLE_EQ(anchorTime(1), 2.5);
    EXPECT_TRUE(undoNames().empty());
    release({-100, kAnchorY});
    EXPECT_EQ(undoNames(), (std::vector<std::string>{"Move Rhythmic Anchor"}));
    EXPECT_EQ(model.statusText.value(), "Rhythmic anchor moved.");
    EXPECT_FALSE(model.transactionStart());

    // A locked anchor does not move and leaves no step.
    drag({900, kAnchorY}, {QPointF(950, kAnchorY)});
    EXPECT_DOUBLE_EQ(anchorTime(2), 3.6);
    EXPECT_EQ(undoNames().size(), 1U);
}

TEST_F(FlexibleTimelineOverlayTest, OptionHeldAtAnyMovementSuspendsTransientSnap) {
    // Quiet, with one sharp attack at 3.3 s.
    BeatloomWaveformData waveform;
    waveform.durationSeconds = session::testing::kSongSeconds;
    waveform.minPeaks.assign(2000, -0.02F);
    waveform.maxPeaks.assign(2000, 0.02F);
    for (std::size_t bin = 330; bin < 360; ++bin) {
        waveform.maxPeaks[bin] = 0.9F;
        waveform.minPeaks[bin] = -0.9F;
    }
    model.waveformData.set(waveform);

    drag({750, kAnchorY}, {QPointF(820, kAnchorY)}, Qt::AltModifier);
    EXPECT_DOUBLE_EQ(anchorTime(1), 3.28);

    press({820, kAnchorY});
    moveTo({823, kAnchorY}, Qt::AltModifier);
    EXPECT_DOUBLE_EQ(anchorTime(1), 3.292);
    moveTo({824, kAnchorY});  // the key let go during the drag: snapping again
    release({824, kAnchorY});
    EXPECT_NEAR(anchorTime(1), 3.3, 0.011);
    EXPECT_NE(anchorTime(1), 3.296);
    EXPECT_EQ(undoNames(), (std::vector<std::string>{"Move Rhythmic Anchor", "Move Rhythmic Anchor"}));

    // With transient snap off the anchor goes where the pointer is.
    ui.transientSnapEnabled.set(false);
    drag({anchorTime(1) * 250, kAnchorY}, {QPointF(815, kAnchorY)});  // near the attack
    EXPECT_DOUBLE_EQ(anchorTime(1), 3.26);
}

TEST_F(FlexibleTimelineOverlayTest, PillMenusConvertOrDeleteTheRegionAfterMovingTheLocatorIntoIt) {
    EXPECT_EQ(titles(input().contextMenuAt({375, kPillY})),
              (std::vector<std::string>{"Convert to Rubato", "---", "!Delete Region"}));
    EXPECT_EQ(titles(input().contextMenuAt({812.5, kPillY})),
              (std::vector<std::string>{"Convert to Free Time", "---", "!Delete Region"}));
    EXPECT_TRUE(input().contextMenuAt({375, waveformY()}).empty());

    struct Case {
        double locator;
        double expected;
    };
    for (const Case c : {Case{0.5, 1.0}, Case{2.2, 2.0 - 0.0001}, Case{1.4, 1.4}}) {
        model.timelineRegions.set({free, rubato});
        model.seek(c.locator);
        run(regionPillContextMenu(model, free), "Convert to Rubato");
        EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), c.expected) << c.locator;
        EXPECT_EQ(model.regionAtLocator(), Mode::rubato) << c.locator;
        EXPECT_EQ(model.statusText.value(), "Region converted to Rubato.");
    }
    EXPECT_EQ(undoNames().back(), "Convert to Rubato");

    // A region shorter than the margin still puts the locator at its start.
    const auto sliver = region(3.0, 3.00005, Mode::free);
    model.timelineRegions.set({sliver, free, rubato});
    model.seek(0);
    run(regionPillContextMenu(model, sliver), "Delete Region");
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 3.0);

    model.seek(5);
    run(regionPillContextMenu(model, rubato), "Delete Region");
    EXPECT_EQ(undoNames().back(), "Delete Timeline Region");
    EXPECT_EQ(model.statusText.value(), "Free/Rubato region removed; regular metered grid restored.");
    EXPECT_EQ(model.regionAtLocator(), Mode::metered);
}

TEST_F(FlexibleTimelineOverlayTest, AnchorMenuDeletesAnUnlockedAnchorOnly) {
    EXPECT_EQ(titles(input().contextMenuAt({750, kAnchorY})), (std::vector<std::string>{"!Delete Anchor"}));
    const auto stored = model.rhythmicAnchors.value();
    run(rhythmicAnchorContextMenu(model, anchors[2]), "Delete Anchor");  // locked
    EXPECT_EQ(model.rhythmicAnchors.value(), stored);
    EXPECT_EQ(model.statusText.value(), "before");
    EXPECT_TRUE(undoNames().empty());

    run(input().contextMenuAt({750, kAnchorY}), "Delete Anchor");
    ASSERT_EQ(model.rhythmicAnchors.value().size(), 2U);
    EXPECT_EQ(anchorTime(1), -1);
    EXPECT_EQ(model.statusText.value(), "Rhythmic anchor removed.");
    EXPECT_EQ(undoNames(), (std::vector<std::string>{"Delete Rhythmic Anchor"}));
}

}  // namespace
}  // namespace corvel::editor
