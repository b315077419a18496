#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/grid_lines.hpp"
#include "session/beatloom_view_model.hpp"
#include "session/session_fixture.hpp"
#include "session/undo_names.hpp"

namespace corvel::session {
namespace {

using testing::kSongSeconds;
namespace records = corvel::testing;
using Mode = BeatloomTimelineMode;
using Kind = BeatloomRhythmicAnchorKind;

// 120 BPM in 4/4 from Bar 1 at 0 s, a Rubato region from 10 s to 18 s.
class RejoinGrid : public testing::SessionTest {
protected:
    RejoinGrid() {
        loadResult({song}, {0.0});
        model.barOneSeconds.set(0.0);
        model.timelineRegions.set({rubato});
    }

    std::vector<std::string> undoNames() const { return testing::undoNames(model); }

    // The grid of the edited map, as the timeline draws it.
    std::vector<BeatloomTimeline::GridLine> grid(BeatloomGridResolution resolution) const {
        return BeatloomTimeline::gridLines(model.editableTempoPoints.value(), model.meterEvents.value(),
                                           model.barAnchors.value(), model.phaseLocks.value(),
                                           model.effectiveBarOneSeconds(), model.pickupBarCount.value(), false,
                                           model.timelineRegions.value(), model.rhythmicAnchors.value(), resolution,
                                           kSongSeconds);
    }

    BeatloomTempoPoint song = records::tempoPoint(0, 120);
    BeatloomTimelineRegion rubato = records::region(10, 18);
};

TEST_F(RejoinGrid, TheRegionEndsAtTheLocatorAndTheGridResumesWithBarTempoAndMeter) {
    const auto kept = records::rhythmicAnchor(rubato, 11, 22.0, BeatloomMusicalPosition{6, 3, 0});
    const auto dropped = records::rhythmicAnchor(rubato, 15, 30.0);
    model.rhythmicAnchors.set({kept, dropped});
    const auto replaced = records::barAnchor(13.015);
    const auto stays = records::barAnchor(5.0);
    model.barAnchors.set({stays, replaced});
    model.locatorSeconds.set(13.0);
    const auto before = model.captureEditorState();

    model.rejoinGridAtLocator(17, 90.0, 3, 4);
    ASSERT_EQ(model.timelineRegions.value().size(), 1u);
    EXPECT_EQ(model.timelineRegions.value()[0].startSeconds, 10);
    EXPECT_EQ(model.timelineRegions.value()[0].endSeconds, 13);

    ASSERT_EQ(tempoTimes(), (std::vector<double>{0, 13}));
    EXPECT_EQ(model.editableTempoPoints.value()[1].bpm, 90);
    ASSERT_EQ(meterTimes(), (std::vector<double>{0, 13}));
    EXPECT_EQ(model.meterEvents.value()[1].numerator, 3);
    EXPECT_EQ(model.meterEvents.value()[1].denominator, 4);
    ASSERT_EQ(model.barAnchors.value().size(), 2u);
    EXPECT_EQ(model.barAnchors.value()[0], stays);
    EXPECT_EQ(model.barAnchors.value()[1].timeSeconds, 13);
    EXPECT_EQ(model.barAnchors.value()[1].barNumberOverride, 17);

    const auto& anchors = model.rhythmicAnchors.value();
    ASSERT_EQ(anchors.size(), 2u);
    EXPECT_EQ(anchors[0], kept);
    EXPECT_EQ(anchors[1].regionID, rubato.id);
    EXPECT_EQ(anchors[1].audioTimeSeconds, 13);
    // The downbeat after the kept anchor's 6.3, two beats on: the region's bars count on from
    // its anchors up to the rejoin, which numbers that bar 17.
    EXPECT_EQ(anchors[1].quarterPosition, 24);
    EXPECT_EQ(anchors[1].musicalPosition, (BeatloomMusicalPosition{17, 1, 0}));
    EXPECT_EQ(anchors[1].kind, Kind::rejoin);

    EXPECT_EQ(undoNames(), std::vector<std::string>{"Rejoin Grid"});
    EXPECT_EQ(model.statusText.value(), "Regular grid rejoins at Bar 17.1 · 90.0 BPM.");
    model.undo();
    EXPECT_EQ(model.captureEditorState(), before);
}

TEST_F(RejoinGrid, LeftOutValuesComeFromTheRegionAndTheMapAtTheLocator) {
    model.rhythmicAnchors.set({records::rhythmicAnchor(rubato, 11, 22.0, BeatloomMusicalPosition{3, 1, 0}),
                               records::rhythmicAnchor(rubato, 12, 24.0, BeatloomMusicalPosition{7, 1, 0}),
                               records::rhythmicAnchor(rubato, 11.5, 23.0, BeatloomMusicalPosition{4, 1, 0})});
    model.meterEvents.set({records::meter(0, 6, 8)});
    model.locatorSeconds.set(14.0);
    model.rejoinGridAtLocator(std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(model.statusText.value(), "Regular grid rejoins at Bar 8.1 · 120.0 BPM.");
    EXPECT_EQ(model.meterEvents.value().back().numerator, 6);
    EXPECT_EQ(model.meterEvents.value().back().denominator, 8);
}

TEST_F(RejoinGrid, ATempoAboveThreeHundredIsClampedAndABadMeterOrNoRegionIsRefused) {
    model.locatorSeconds.set(13.0);
    model.rejoinGridAtLocator(17, 400.0, 4, 4);
    EXPECT_EQ(model.editableTempoPoints.value().back().bpm, 300);
    EXPECT_EQ(model.statusText.value(), "Regular grid rejoins at Bar 17.1 · 300.0 BPM.");

    struct Case {
        double locator;
        std::int64_t numerator;
        std::int64_t denominator;
        const char* message;
    };
    const Case cases[] = {
        {11.0, 5, 3, "Invalid time signature for Rejoin Grid."},
        {11.0, 33, 4, "Invalid time signature for Rejoin Grid."},
        {5.0, 4, 4, "Place the locator inside a Free Time or Rubato region first."},
    };
    for (const auto& c : cases) {
        model.locatorSeconds.set(c.locator);
        model.statusText.set("kept");
        const auto before = model.captureEditorState();
        model.rejoinGridAtLocator(3, 120.0, c.numerator, c.denominator);
        EXPECT_EQ(model.errorText.value(), c.message);
        EXPECT_EQ(model.statusText.value(), "kept");
        EXPECT_EQ(model.captureEditorState(), before);
    }
    EXPECT_EQ(undoNames().size(), 1u);
}

TEST_F(RejoinGrid, ATempoThatIsNoNumberAndABarTheSongCannotHaveAreRefused) {
    // 20 s hold at most 400 bars: a sixteenth-note bar at 300 BPM lasts 0.05 s.
    struct Case {
        std::int64_t bar;
        double bpm;
        const char* message;
    };
    const Case cases[] = {
        {3, std::numeric_limits<double>::quiet_NaN(), "Invalid tempo for Rejoin Grid."},
        {0, 120.0, "Invalid bar number for Rejoin Grid."},
        {-2, 120.0, "Invalid bar number for Rejoin Grid."},
        {401, 120.0, "Invalid bar number for Rejoin Grid."},
        {std::numeric_limits<std::int64_t>::max(), 120.0, "Invalid bar number for Rejoin Grid."},
        {std::numeric_limits<std::int64_t>::min(), 120.0, "Invalid bar number for Rejoin Grid."},
    };
    model.locatorSeconds.set(13.0);
    for (const auto& c : cases) {
        model.statusText.set("kept");
        model.errorText.set("");
        const auto before = model.captureEditorState();
        model.rejoinGridAtLocator(c.bar, c.bpm, 4, 4);
        EXPECT_EQ(model.errorText.value(), c.message) << c.bar;
        EXPECT_EQ(model.statusText.value(), "kept");
        EXPECT_EQ(model.captureEditorState(), before);
    }
    EXPECT_TRUE(undoNames().empty());

    model.rejoinGridAtLocator(400, 120.0, 4, 4);
    EXPECT_EQ(model.statusText.value(), "Regular grid rejoins at Bar 400.1 · 120.0 BPM.");
}

TEST_F(RejoinGrid, ANearbyTempoPointTakesTheTempoAndAFartherOneGetsANeighbour) {
    const auto verse = records::tempoPoint(12.0, 110);
    struct Case {
        double locator;
        std::vector<double> times;
    };
    const Case cases[] = {{12.01, {0, 12}}, {12.03, {0, 12, 12.03}}};
    for (const auto& c : cases) {
        model.editableTempoPoints.set({song, verse});
        model.timelineRegions.set({rubato});
        model.locatorSeconds.set(c.locator);
        model.rejoinGridAtLocator(9, 95.0, 4, 4);
        EXPECT_EQ(tempoTimes(), c.times) << c.locator;
        EXPECT_EQ(model.editableTempoPoints.value().back().bpm, 95) << c.locator;
        EXPECT_EQ(model.editableTempoPoints.value()[1].id, verse.id) << c.locator;
    }
}

TEST_F(RejoinGrid, RejoiningJustAfterTheRegionStartRemovesIt) {
    model.locatorSeconds.set(10.0003);
    model.rejoinGridAtLocator(5, 120.0, 4, 4);
    EXPECT_TRUE(model.timelineRegions.value().empty());
}

TEST_F(RejoinGrid, RejoiningNearTheSongStartChangesTheSongStartSignatureInPlace) {
    model.timelineRegions.set({records::region(0, 5, Mode::free)});
    model.locatorSeconds.set(0.01);
    model.rejoinGridAtLocator(1, 120.0, 3, 4);
    ASSERT_EQ(meterTimes(), std::vector<double>{0});
    EXPECT_EQ(model.meterEvents.value()[0].numerator, 3);
    EXPECT_EQ(model.timelineRegions.value()[0].endSeconds, 0.01);
}

TEST_F(RejoinGrid, ALockedRegionKeepsItsEndWhileTheRestOfTheRejoinApplies) {
    auto locked = rubato;
    locked.isLocked = true;
    model.timelineRegions.set({locked});
    model.locatorSeconds.set(13.0);
    model.rejoinGridAtLocator(17, 90.0, 4, 4);
    EXPECT_EQ(model.timelineRegions.value()[0].endSeconds, 18);
    EXPECT_EQ(model.barAnchors.value().back().barNumberOverride, 17);
    EXPECT_EQ(model.editableTempoPoints.value().back().bpm, 90);
}

TEST_F(RejoinGrid, TheSuggestedBarFollowsTheRegionsAnchorsOrTheMeteredBarWhereItBegan) {
    model.rhythmicAnchors.set({records::rhythmicAnchor(rubato, 11, 22.0, BeatloomMusicalPosition{3, 1, 0}),
                               records::rhythmicAnchor(rubato, 12, 24.0, BeatloomMusicalPosition{7, 2, 0}),
                               records::rhythmicAnchor(rubato, 13, 26.0, BeatloomMusicalPosition{4, 1, 0}),
                               records::rhythmicAnchor(rubato, 14, std::nullopt)});
    EXPECT_EQ(model.suggestedRejoinBar(rubato), 8);

    // At 240 BPM a bar lasts 1 s: bar 12 runs from 11 s to 12 s.
    model.editableTempoPoints.set({records::tempoPoint(0, 240)});
    struct Case {
        double start;
        std::int64_t expected;
    };
    const Case cases[] = {{11.5, 13}, {11.0, 12}, {0.0, 2}};
    for (const auto& c : cases) {
        EXPECT_EQ(model.suggestedRejoinBar(records::region(c.start, 18)), c.expected) << c.start;
    }
    model.editableTempoPoints.set({});
    EXPECT_EQ(model.suggestedRejoinBar(records::region(11.5, 18)), 1);
}

TEST_F(RejoinGrid, TheGridCountsOnFromTheRejoinBarWithoutSkippingOne) {
    // Free Time from bar 3 (4 s), the grid rejoined there at 9 s: bars 3, 4, 5 follow two seconds apart.
    for (const Mode mode : {Mode::free, Mode::rubato}) {
        SCOPED_TRACE(std::string(rawValue(mode)));
        model.timelineRegions.set({});
        model.barAnchors.set({});
        model.rhythmicAnchors.set({});
        model.locatorSeconds.set(4.0);
        if (mode == Mode::free) model.startFreeTimeAtLocator(); else model.startRubatoAtLocator();
        model.locatorSeconds.set(9.0);
        model.rejoinGridAtLocator(3, 120.0, 4, 4);
        std::vector<std::pair<double, std::int64_t>> bars;
        for (const auto& line : grid(BeatloomGridResolution::quarter)) {
            if (line.kind == BeatloomTimeline::GridKind::bar && line.timeSeconds >= 9.0 && line.timeSeconds < 14.0) {
                bars.emplace_back(line.timeSeconds, line.barNumber.value_or(0));
            }
        }
        EXPECT_EQ(bars, (std::vector<std::pair<double, std::int64_t>>{{9.0, 3}, {11.0, 4}, {13.0, 5}}));
    }
}

// The user starts Rubato on the downbeat of bar 6, presses A on three performed beats that come
// slower than the metered grid, and rejoins the grid on the next downbeat with the suggested
// bar. Bar 1 lies 0.17 s into the song, so the grid's beats are not whole quarters.
TEST_F(RejoinGrid, BarsInsideAndAfterARejoinedRegionCountOnFromItsAnchorsOnceEachInOrder) {
    model.barOneSeconds.set(0.17);
    model.timelineRegions.set({});
    const double start = 0.17 + 20 * 0.5;  // bar 6, beat 1
    model.locatorSeconds.set(start);
    model.startRubatoAtLocator();
    const std::vector<double> performed{11.0, 11.9, 12.8};
    for (const double t : performed) {
        model.locatorSeconds.set(t);
        model.addRhythmicAnchorAtLocator();
    }
    // The status row shows what the anchor is labelled with, and between two anchors counts on.
    for (const auto& anchor : model.rhythmicAnchors.value()) {
        model.locatorSeconds.set(anchor.audioTimeSeconds);
        ASSERT_TRUE(anchor.musicalPosition);
        expectPositionAtLocator(anchor.musicalPosition->bar, anchor.musicalPosition->beat, 0);
    }
    model.locatorSeconds.set(11.45);
    expectPositionAtLocator(6, 2, 0.5);

    const auto region = model.timelineRegions.value().front();
    EXPECT_EQ(model.suggestedRejoinBar(region), 7);
    model.locatorSeconds.set(13.9);
    model.rejoinGridAtLocator(std::nullopt, 120.0, std::nullopt, std::nullopt);
    ASSERT_EQ(model.rhythmicAnchors.value().size(), 5u);
    const auto& rejoin = model.rhythmicAnchors.value().back();
    EXPECT_EQ(rejoin.musicalPosition, (BeatloomMusicalPosition{7, 1, 0}));
    // One beat on from the last anchor's 6.4, not the metered quarter at 13.9 s.
    EXPECT_NEAR(*rejoin.quarterPosition, 20.34 + 4, 1e-9);
    expectPositionAtLocator(7, 1, 0);

    std::vector<std::pair<double, std::string>> labels;
    for (const auto& line : grid(BeatloomGridResolution::eighth)) {
        if (line.kind == BeatloomTimeline::GridKind::subdivision || line.timeSeconds < 9 || line.timeSeconds > 16) {
            continue;
        }
        ASSERT_TRUE(line.barNumber && line.beatNumber) << line.timeSeconds;
        EXPECT_EQ(line.kind == BeatloomTimeline::GridKind::bar, line.beatNumber == 1) << line.timeSeconds;
        labels.emplace_back(line.timeSeconds, BeatloomTimeline::gridLineLabel(*line.barNumber, *line.beatNumber));
    }
    const std::vector<std::pair<double, std::string>> expected{
        {9.17, "5.3"}, {9.67, "5.4"}, {start, "6.1"},  {11.0, "6.2"},  {11.9, "6.3"},
        {12.8, "6.4"}, {13.9, "7.1"}, {14.4, "7.2"}, {14.9, "7.3"}, {15.4, "7.4"}, {15.9, "8.1"}};
    ASSERT_EQ(labels.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(labels[i].first, expected[i].first, 1e-9) << i;
        EXPECT_EQ(labels[i].second, expected[i].second) << i;
    }
}

}  // namespace
}  // namespace corvel::session
