#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/beatloom_view_model.hpp"
#include "session/session_fixture.hpp"
#include "session/transient_waveform.hpp"
#include "session/undo_names.hpp"

namespace corvel::session {
namespace {

using testing::kSongSeconds;
namespace records = corvel::testing;
using Mode = BeatloomTimelineMode;
using Kind = BeatloomRhythmicAnchorKind;

// 120 BPM in 4/4 from Bar 1 at 0 s: a beat lasts 0.5 s, a bar 2 s.
class FlexibleTimeline : public testing::SessionTest {
protected:
    FlexibleTimeline() {
        loadResult({records::tempoPoint(0, 120)}, {0.0});
        model.barOneSeconds.set(0.0);
    }

    std::vector<std::string> undoNames() const { return testing::undoNames(model); }

    const BeatloomRhythmicAnchor& anchorWithID(const Uuid& id) const {
        for (const auto& anchor : model.rhythmicAnchors.value()) {
            if (anchor.id == id) return anchor;
        }
        throw std::runtime_error("no such anchor");
    }
};

// ---- Starting regions ----

TEST(FlexibleRegionList, ANewRegionReachesToTheNextRegionOrTheSongEnd) {
    const auto early = records::region(10, 20);
    const auto late = records::region(50, 60, Mode::free);
    const auto regions = BeatloomViewModel::startRegion(Mode::rubato, {late, early}, 30, 100);
    ASSERT_EQ(regions.size(), 3u);
    EXPECT_EQ(regions[1].startSeconds, 30);
    EXPECT_EQ(regions[1].endSeconds, 50);
    EXPECT_EQ(regions[1].mode, Mode::rubato);
    EXPECT_FALSE(regions[1].isLocked);

    const auto last = BeatloomViewModel::startRegion(Mode::free, {early}, 70, 100);
    EXPECT_EQ(last.back().startSeconds, 70);
    EXPECT_EQ(last.back().endSeconds, 100);
    // Metered starts nothing; the last half millisecond of the song starts nothing.
    EXPECT_EQ(BeatloomViewModel::startRegion(Mode::metered, {early}, 30, 100), std::vector{early});
    EXPECT_EQ(BeatloomViewModel::startRegion(Mode::free, {early}, 100 - 0.0003, 100), std::vector{early});
}

TEST(FlexibleAnchorList, AnchorsAreKeptPerRegionInTimeOrderAndHeldInsideTheirRegion) {
    auto a = records::region(10, 20);
    auto b = records::region(30, 40);
    // Region ids fix the order of the regions' anchor runs.
    a.id = Uuid::parse("00000000-0000-4000-8000-000000000001").value();
    b.id = Uuid::parse("00000000-0000-4000-8000-000000000002").value();
    const auto gone = records::region(50, 60);
    auto late = records::rhythmicAnchor(a, 25, 50.0);
    late.confidence = 1.7;
    auto early = records::rhythmicAnchor(a, 12, 24.0);
    early.confidence = -0.5;
    const auto other = records::rhythmicAnchor(b, 31, 62.0);
    const auto orphan = records::rhythmicAnchor(gone, 55, 110.0);
    const auto broken = records::rhythmicAnchor(a, std::nan(""), 20.0);

    const auto anchors = BeatloomViewModel::normalizedRhythmicAnchors({other, late, orphan, broken, early}, {b, a});
    ASSERT_EQ(anchors.size(), 3u);
    EXPECT_EQ(anchors[0].id, early.id);
    EXPECT_EQ(anchors[0].confidence, 0);
    EXPECT_EQ(anchors[1].id, late.id);
    EXPECT_EQ(anchors[1].audioTimeSeconds, 20);
    EXPECT_EQ(anchors[1].confidence, 1);
    EXPECT_EQ(anchors[2].id, other.id);

    // A locked anchor is never replaced.
    auto locked = records::rhythmicAnchor(a, 12, 24.0);
    locked.isLocked = true;
    auto moved = locked;
    moved.audioTimeSeconds = 15;
    EXPECT_EQ(BeatloomViewModel::replaceRhythmicAnchor(moved, {locked}, {a}), std::vector{locked});
    moved.isLocked = false;
    auto loose = locked;
    loose.isLocked = false;
    EXPECT_EQ(BeatloomViewModel::replaceRhythmicAnchor(moved, {loose}, {a}), std::vector{moved});
}

TEST_F(FlexibleTimeline, FreeTimeInsideARubatoRegionTakesOverFromTheLocatorAndClampsItsAnchors) {
    const auto rubato = records::region(10, 20);
    const auto before = records::rhythmicAnchor(rubato, 11, 22.0);
    const auto after = records::rhythmicAnchor(rubato, 15, 30.0);
    model.timelineRegions.set({rubato});
    model.rhythmicAnchors.set({before, after});
    model.locatorSeconds.set(14);

    model.startFreeTimeAtLocator();
    ASSERT_EQ(model.timelineRegions.value().size(), 1u);
    const auto& region = model.timelineRegions.value()[0];
    EXPECT_EQ(region.id, rubato.id);
    EXPECT_EQ(region.mode, Mode::free);
    EXPECT_EQ(region.startSeconds, 14);
    EXPECT_EQ(region.endSeconds, 20);
    EXPECT_EQ(anchorWithID(before.id).audioTimeSeconds, 14);
    EXPECT_EQ(anchorWithID(after.id).audioTimeSeconds, 15);
    EXPECT_EQ(undoNames().back(), "Start Free Time");
    EXPECT_EQ(model.statusText.value(),
              "Free Time starts at the locator. The continuous beat grid is suspended until Rejoin Grid.");
    EXPECT_EQ(model.regionAtLocator(), Mode::free);
    model.locatorSeconds.set(12);
    EXPECT_EQ(model.regionAtLocator(), Mode::metered);
}

TEST_F(FlexibleTimeline, StartingAtTheVeryEndOrWithoutAResultChangesNothing) {
    setMessageLines("kept");
    model.locatorSeconds.set(kSongSeconds - 0.0003);
    model.startFreeTimeAtLocator();
    model.startRubatoAtLocator();
    EXPECT_TRUE(model.timelineRegions.value().empty());
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
    EXPECT_EQ(model.statusText.value(), "status: kept");

    model.result.set(std::nullopt);
    model.locatorSeconds.set(4);
    model.startFreeTimeAtLocator();
    model.startRubatoAtLocator();
    EXPECT_TRUE(model.timelineRegions.value().empty());
}

TEST_F(FlexibleTimeline, RubatoStartsWithAnAnchorOnTheMeteredBeatAtTheLocator) {
    struct Case {
        double locator;
        double quarter;
        BeatloomMusicalPosition position;
        Kind kind;
    };
    // On a beat the anchor is that beat; past a beat line it is the next beat, since the line of
    // the beat it passed stays on the metered grid before the region.
    const Case cases[] = {{4.0, 8, {3, 1, 0}, Kind::downbeat},
                          {4.0002, 8.0004, {3, 1, 0}, Kind::downbeat},
                          {4.75, 9.5, {3, 3, 0}, Kind::beat},
                          {5.9, 11.8, {4, 1, 0}, Kind::downbeat}};
    for (const auto& c : cases) {
        model.timelineRegions.set({});
        model.rhythmicAnchors.set({});
        model.locatorSeconds.set(c.locator);
        model.startRubatoAtLocator();
        ASSERT_EQ(model.timelineRegions.value().size(), 1u);
        EXPECT_EQ(model.timelineRegions.value()[0].startSeconds, c.locator);
        EXPECT_EQ(model.timelineRegions.value()[0].endSeconds, kSongSeconds);
        ASSERT_EQ(model.rhythmicAnchors.value().size(), 1u);
        const auto& anchor = model.rhythmicAnchors.value()[0];
        EXPECT_EQ(anchor.regionID, model.timelineRegions.value()[0].id);
        EXPECT_EQ(anchor.audioTimeSeconds, c.locator);
        EXPECT_NEAR(*anchor.quarterPosition, c.quarter, 1e-9);
        EXPECT_EQ(anchor.musicalPosition, c.position);
        EXPECT_EQ(anchor.kind, c.kind);
        EXPECT_EQ(anchor.source, BeatloomRhythmicAnchorSource::manual);
        EXPECT_EQ(undoNames().back(), "Start Rubato");
        EXPECT_EQ(model.statusText.value(), "Rubato starts at the locator. Add rhythmic anchors on performed beats.");
    }
    const auto steps = undoNames().size();
    model.startRubatoAtLocator();
    EXPECT_EQ(model.rhythmicAnchors.value().size(), 1u);
    EXPECT_EQ(undoNames().size(), steps);
}

// ---- Adding anchors ----

TEST_F(FlexibleTimeline, AddingAnAnchorOutsideEveryRegionIsRefused) {
    model.timelineRegions.set({records::region(10, 20)});
    model.locatorSeconds.set(5);
    model.statusText.set("kept");
    model.addRhythmicAnchorAtLocator();
    EXPECT_EQ(model.errorText.value(), "Start Free Time or Rubato first.");
    EXPECT_EQ(model.statusText.value(), "kept");
    EXPECT_TRUE(model.rhythmicAnchors.value().empty());

    model.result.set(std::nullopt);
    model.locatorSeconds.set(12);
    model.errorText.set("");
    model.addRhythmicAnchorAtLocator();
    EXPECT_EQ(model.errorText.value(), "Start Free Time or Rubato first.");
}

TEST_F(FlexibleTimeline, AFreeTimeAnchorIsAReferenceOnTheNearestTransient) {
    const auto free = records::region(5, 10, Mode::free);
    model.timelineRegions.set({free});
    model.waveformData.set(testing::waveformWithHits({6.0}));
    model.locatorSeconds.set(6.04);
    model.addRhythmicAnchorAtLocator();
    ASSERT_EQ(model.rhythmicAnchors.value().size(), 1u);
    const auto& anchor = model.rhythmicAnchors.value()[0];
    EXPECT_NEAR(anchor.audioTimeSeconds, 6.005, 1e-9);
    EXPECT_EQ(anchor.kind, Kind::freeReference);
    EXPECT_FALSE(anchor.quarterPosition);
    EXPECT_FALSE(anchor.musicalPosition);
    EXPECT_EQ(undoNames().back(), "Add Free Anchor");
    EXPECT_EQ(model.statusText.value(), "Reference anchor added in Free Time.");

    model.locatorSeconds.set(8.0);  // no transient near: the locator itself
    model.addRhythmicAnchorAtLocator();
    EXPECT_EQ(model.rhythmicAnchors.value().back().audioTimeSeconds, 8.0);
}

TEST_F(FlexibleTimeline, ARubatoAnchorIsTheNextBeatAfterThePreviousOneInCompoundMeter) {
    // 6/8 counts two dotted-quarter beats to the bar.
    model.meterEvents.set({records::meter(0, 6, 8)});
    const auto rubato = records::region(10, 20);
    model.timelineRegions.set({rubato});
    model.rhythmicAnchors.set({records::rhythmicAnchor(rubato, 11, 24.0, BeatloomMusicalPosition{5, 2, 0})});
    model.locatorSeconds.set(12);
    model.addRhythmicAnchorAtLocator();
    ASSERT_EQ(model.rhythmicAnchors.value().size(), 2u);
    const auto& added = model.rhythmicAnchors.value()[1];
    EXPECT_EQ(added.audioTimeSeconds, 12);
    EXPECT_EQ(added.quarterPosition, 25.5);
    EXPECT_EQ(added.musicalPosition, (BeatloomMusicalPosition{6, 1, 0}));
    EXPECT_EQ(added.kind, Kind::downbeat);
    EXPECT_EQ(undoNames().back(), "Add Rhythmic Anchor");
    EXPECT_EQ(model.statusText.value(),
              "Rhythmic anchor added. Move the locator to the next performed beat and press A again.");

    model.locatorSeconds.set(13);
    model.addRhythmicAnchorAtLocator();
    EXPECT_EQ(model.rhythmicAnchors.value()[2].quarterPosition, 27);
    EXPECT_EQ(model.rhythmicAnchors.value()[2].musicalPosition, (BeatloomMusicalPosition{6, 2, 0}));
    EXPECT_EQ(model.rhythmicAnchors.value()[2].kind, Kind::beat);
}

TEST_F(FlexibleTimeline, RubatoAnchorsAlwaysFollowEachOtherInTimeAndInTheMusic) {
    // Anchors at 11 s (quarter 22) and 13 s: a beat after the first fits before the second
    // unless the second lies on that beat already; an anchor on top of another never fits.
    const auto rubato = records::region(10, 20);
    const auto first = records::rhythmicAnchor(rubato, 11, 22.0, BeatloomMusicalPosition{6, 3, 0});
    const auto second = records::rhythmicAnchor(rubato, 13, 24.0, BeatloomMusicalPosition{7, 1, 0});
    struct Case {
        double locator;
        double secondQuarter;
        std::optional<double> quarter;  // none: refused
    };
    const Case cases[] = {{12.0, 24.0, 23.0},         {12.0, 23.0, std::nullopt}, {13.0, 24.0, std::nullopt},
                          {14.0, 24.0, 25.0},         {10.5, 24.0, 21.0}};
    for (const auto& c : cases) {
        auto next = second;
        next.quarterPosition = c.secondQuarter;
        model.timelineRegions.set({rubato});
        model.rhythmicAnchors.set({first, next});
        model.errorText.set("");
        model.locatorSeconds.set(c.locator);
        model.addRhythmicAnchorAtLocator();
        EXPECT_TRUE(model.tempoMapIssues().empty()) << c.locator;
        if (!c.quarter) {
            EXPECT_EQ(model.rhythmicAnchors.value().size(), 2u) << c.locator;
            EXPECT_EQ(model.errorText.value(),
                      "No rhythmic anchor fits here: the next anchor of the region follows too closely.");
            continue;
        }
        ASSERT_EQ(model.rhythmicAnchors.value().size(), 3u) << c.locator;
        for (const auto& anchor : model.rhythmicAnchors.value()) {
            if (anchor.id != first.id && anchor.id != next.id) {
                EXPECT_EQ(anchor.quarterPosition, c.quarter);
            }
        }
    }

    // Rubato started again later inside the region leaves the earlier anchors to the metered
    // grid instead of piling them up on the new start.
    model.timelineRegions.set({rubato});
    model.rhythmicAnchors.set({first, second});
    model.locatorSeconds.set(15.0);
    model.startRubatoAtLocator();
    ASSERT_EQ(model.rhythmicAnchors.value().size(), 1u);
    EXPECT_EQ(model.rhythmicAnchors.value()[0].audioTimeSeconds, 15.0);
    EXPECT_TRUE(model.tempoMapIssues().empty());

    // Nor can it start where the metered beat lies after the region's later anchors.
    model.timelineRegions.set({rubato});
    model.rhythmicAnchors.set({records::rhythmicAnchor(rubato, 15, 20.0)});
    model.locatorSeconds.set(14.0);  // quarter 28
    model.startRubatoAtLocator();
    EXPECT_EQ(model.timelineRegions.value(), std::vector{rubato});
    EXPECT_EQ(model.errorText.value(), "No rhythmic anchor fits here: the next anchor of the region follows too closely.");

    // Rejoin Grid cannot end the region where the grid lies before its last anchor.
    model.rhythmicAnchors.set({first, records::rhythmicAnchor(rubato, 12, 40.0)});
    model.locatorSeconds.set(16.0);
    const auto state = model.captureEditorState();
    model.rejoinGridAtLocator(20, 120.0, 4, 4);
    EXPECT_EQ(model.errorText.value(), "Rejoin Grid cannot resume before the region's last anchor.");
    EXPECT_EQ(model.captureEditorState(), state);
}

TEST_F(FlexibleTimeline, TheFirstRubatoAnchorTakesItsPlaceOnTheMeteredGrid) {
    const auto rubato = records::region(10, 20);
    model.timelineRegions.set({rubato});
    model.locatorSeconds.set(12.5);  // bar 7, beat 2
    model.addRhythmicAnchorAtLocator();
    ASSERT_EQ(model.rhythmicAnchors.value().size(), 1u);
    EXPECT_EQ(model.rhythmicAnchors.value()[0].quarterPosition, 25);
    EXPECT_EQ(model.rhythmicAnchors.value()[0].musicalPosition, (BeatloomMusicalPosition{7, 2, 0}));
}

// ---- Moving and removing anchors ----

TEST_F(FlexibleTimeline, ADraggedRubatoAnchorStaysInItsRegionAndBetweenItsNeighbours) {
    const auto rubato = records::region(10, 20);
    const auto first = records::rhythmicAnchor(rubato, 11, 22.0);
    const auto middle = records::rhythmicAnchor(rubato, 12, 24.0);
    const auto last = records::rhythmicAnchor(rubato, 13, 26.0);
    auto locked = records::rhythmicAnchor(rubato, 15, std::nullopt, std::nullopt, Kind::freeReference);
    locked.isLocked = true;
    const auto loose = records::rhythmicAnchor(rubato, 16, std::nullopt, std::nullopt, Kind::freeReference);
    model.timelineRegions.set({rubato});
    model.rhythmicAnchors.set({first, middle, last, locked, loose});

    struct Case {
        Uuid id;
        double seconds;
        double expected;
    };
    const Case cases[] = {
        {middle.id, 13.5, 12.999}, {middle.id, 10.5, 11.001}, {middle.id, 12.25, 12.25},
        {first.id, 2.0, 10.0},     {last.id, 30.0, 20.0},     {locked.id, 17.0, 15.0},
        {loose.id, 25.0, 20.0},
    };
    for (const auto& c : cases) {
        model.moveRhythmicAnchor(c.id, false, c.seconds);
        EXPECT_NEAR(anchorWithID(c.id).audioTimeSeconds, c.expected, 1e-9) << c.seconds;
    }
    // Positions never change with a move.
    EXPECT_EQ(anchorWithID(middle.id).quarterPosition, 24.0);
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
}

TEST_F(FlexibleTimeline, AnAnchorWedgedBetweenCloseNeighboursDoesNotMove) {
    const auto rubato = records::region(10, 20);
    const auto wedged = records::rhythmicAnchor(rubato, 11.001, 23.0);
    model.timelineRegions.set({rubato});
    model.rhythmicAnchors.set(
        {records::rhythmicAnchor(rubato, 11.0, 22.0), wedged, records::rhythmicAnchor(rubato, 11.0015, 24.0)});
    model.moveRhythmicAnchor(wedged.id, false, 11.5);
    EXPECT_EQ(anchorWithID(wedged.id).audioTimeSeconds, 11.001);
}

TEST_F(FlexibleTimeline, ASnappingDragLandsOnTheTransientInsideTheRegion) {
    const auto rubato = records::region(10, 20);
    const auto anchor = records::rhythmicAnchor(rubato, 12, 24.0);
    model.timelineRegions.set({rubato});
    model.rhythmicAnchors.set({anchor});
    model.waveformData.set(testing::waveformWithHits({14.0}));
    model.beginTransaction("Move Rhythmic Anchor");
    model.moveRhythmicAnchor(anchor.id, true, 13.96);
    model.endTransaction("Rhythmic anchor moved.");
    EXPECT_NEAR(anchorWithID(anchor.id).audioTimeSeconds, 14.005, 1e-9);
    EXPECT_EQ(undoNames().back(), "Move Rhythmic Anchor");
}

TEST_F(FlexibleTimeline, RemovingAnAnchorSparesALockedOne) {
    const auto rubato = records::region(10, 20);
    const auto loose = records::rhythmicAnchor(rubato, 12, 24.0);
    auto locked = records::rhythmicAnchor(rubato, 13, 26.0);
    locked.isLocked = true;
    model.timelineRegions.set({rubato});
    model.rhythmicAnchors.set({loose, locked});
    model.performEdit("Remove Anchor", "removed", [&](BeatloomViewModel& m) {
        m.removeRhythmicAnchor(loose.id);
        m.removeRhythmicAnchor(locked.id);
    });
    EXPECT_EQ(model.rhythmicAnchors.value(), std::vector{locked});
}

// ---- Converting and deleting regions ----

TEST_F(FlexibleTimeline, ConvertingToFreeTimeStripsPositionsAndBackKeepsReferenceAnchors) {
    const auto rubato = records::region(10, 20);
    const auto anchor = records::rhythmicAnchor(rubato, 12, 24.0, BeatloomMusicalPosition{7, 1, 0}, Kind::downbeat);
    model.timelineRegions.set({rubato});
    model.rhythmicAnchors.set({anchor});
    model.locatorSeconds.set(15);

    model.convertRegion(Mode::free);
    EXPECT_EQ(model.timelineRegions.value()[0].mode, Mode::free);
    EXPECT_FALSE(model.rhythmicAnchors.value()[0].quarterPosition);
    EXPECT_FALSE(model.rhythmicAnchors.value()[0].musicalPosition);
    EXPECT_EQ(model.rhythmicAnchors.value()[0].kind, Kind::freeReference);
    EXPECT_EQ(undoNames().back(), "Convert to Free Time");
    EXPECT_EQ(model.statusText.value(), "Region converted to Free Time.");

    model.convertRegion(Mode::rubato);
    EXPECT_EQ(model.timelineRegions.value()[0].mode, Mode::rubato);
    EXPECT_EQ(model.rhythmicAnchors.value()[0].kind, Kind::freeReference);
    EXPECT_EQ(undoNames().back(), "Convert to Rubato");
    EXPECT_EQ(model.statusText.value(), "Region converted to Rubato.");

    // Outside every region nothing happens.
    model.locatorSeconds.set(5);
    model.convertRegion(Mode::free);
    EXPECT_EQ(undoNames().size(), 2u);
}

TEST_F(FlexibleTimeline, ALockedRegionKeepsItsModeButItsAnchorsStillLosePositions) {
    auto rubato = records::region(10, 20);
    rubato.isLocked = true;
    model.timelineRegions.set({rubato});
    model.rhythmicAnchors.set({records::rhythmicAnchor(rubato, 12, 24.0)});
    model.locatorSeconds.set(15);
    model.convertRegion(Mode::free);
    EXPECT_EQ(model.timelineRegions.value()[0].mode, Mode::rubato);
    EXPECT_EQ(model.rhythmicAnchors.value()[0].kind, Kind::freeReference);
}

TEST_F(FlexibleTimeline, DeletingARegionRemovesItsAnchorsAndSparesALockedRegion) {
    const auto rubato = records::region(10, 20);
    auto locked = records::region(2, 6, Mode::free);
    locked.isLocked = true;
    const auto elsewhere = records::rhythmicAnchor(locked, 3, std::nullopt, std::nullopt, Kind::freeReference);
    model.timelineRegions.set({locked, rubato});
    model.rhythmicAnchors.set({elsewhere, records::rhythmicAnchor(rubato, 12, 24.0)});
    model.locatorSeconds.set(15);

    model.deleteRegionAtLocator();
    EXPECT_EQ(model.timelineRegions.value(), std::vector{locked});
    EXPECT_EQ(model.rhythmicAnchors.value(), std::vector{elsewhere});
    EXPECT_EQ(undoNames().back(), "Delete Timeline Region");
    EXPECT_EQ(model.statusText.value(), "Free/Rubato region removed; regular metered grid restored.");

    model.locatorSeconds.set(4);
    model.deleteRegionAtLocator();
    EXPECT_EQ(model.timelineRegions.value(), std::vector{locked});
    EXPECT_TRUE(model.rhythmicAnchors.value().empty());

    model.undo();
    model.undo();
    EXPECT_EQ(model.timelineRegions.value().size(), 2u);
    EXPECT_EQ(model.rhythmicAnchors.value().size(), 2u);
}

}  // namespace
}  // namespace corvel::session
