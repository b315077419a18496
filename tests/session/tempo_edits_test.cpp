#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "session/beatloom_view_model.hpp"
#include "session/session_fixture.hpp"

namespace corvel::session {
namespace {

using testing::kSongSeconds;
namespace records = corvel::testing;

class TempoEdits : public testing::SessionTest {
protected:
    TempoEdits() {
        loadResult({first, second}, {0.25, 0.75});
        model.barOneSeconds.set(0.25);
    }

    std::string lastActionName() const {
        const auto& entries = model.editHistory().undoEntries();
        return entries.empty() ? "" : entries.back().actionName;
    }

    BeatloomTempoPoint first = records::tempoPoint(0, 100, true);
    BeatloomTempoPoint second = records::tempoPoint(10, 140);
};

// ---- Tempo markers ----

TEST_F(TempoEdits, ATypedBPMWithACommaAndBlanksSetsTheMarkerAndConfirms) {
    model.errorText.set("earlier");
    EXPECT_TRUE(model.setTempoPointBPM(second.id, " \t120,5\n"));
    EXPECT_EQ(model.editableTempoPoints.value()[1].bpm, 120.5);
    EXPECT_EQ(lastActionName(), "Change Tempo");
    EXPECT_EQ(model.statusText.value(), "Tempo updated. Play with click to verify the correction.");
    EXPECT_EQ(model.errorText.value(), "");
}

TEST_F(TempoEdits, ABPMOutsideThirtyToThreeHundredOrAnUnknownMarkerIsRefused) {
    struct Case {
        Uuid id;
        const char* text;
    };
    const Case cases[] = {{second.id, "29.9"}, {second.id, "300.1"}, {second.id, "abc"}, {second.id, "inf"},
                          {second.id, "nan"},  {second.id, ""},      {second.id, "12 0"}, {Uuid::random(), "120"}};
    const auto map = model.editableTempoPoints.value();
    for (const auto& c : cases) {
        model.statusText.set("kept");
        model.errorText.set("");
        EXPECT_FALSE(model.setTempoPointBPM(c.id, c.text)) << c.text;
        EXPECT_EQ(model.errorText.value(), "Enter a BPM between 30 and 300.") << c.text;
        EXPECT_EQ(model.statusText.value(), "kept") << c.text;
        EXPECT_EQ(model.editableTempoPoints.value(), map) << c.text;
    }
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
}

TEST_F(TempoEdits, MovingAMarkerRecordsItAndTheSongStartRefusesSilently) {
    model.moveTempoPoint(second.id, 12.0);
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 12}));
    EXPECT_EQ(lastActionName(), "Move Tempo Marker");
    EXPECT_EQ(model.statusText.value(), "Tempo-change position updated.");

    model.statusText.set("kept");
    model.moveTempoPoint(first.id, 3.0);
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 12}));
    EXPECT_EQ(model.statusText.value(), "kept");
    EXPECT_EQ(model.errorText.value(), "");
}

TEST_F(TempoEdits, AnAddedMarkerTakesTheTempoInForceAndKeepsClearOfTheSongEdges) {
    struct Case {
        double locator;
        double expectedTime;
        double expectedBPM;
    };
    const Case cases[] = {
        {5.0, 5.0, 120.0},  // half-way up the ramp
        {-1.0, 0.02, 100.0},  // the tempo at the locator, before the clamp
        {kSongSeconds, kSongSeconds - 0.02, 140.0},
    };
    for (const auto& c : cases) {
        model.editableTempoPoints.set({first, second});
        model.locatorSeconds.set(c.locator);
        model.addTempoPointAtLocator();
        const auto& points = model.editableTempoPoints.value();
        ASSERT_EQ(points.size(), 3u) << c.locator;
        const auto added = std::find_if(points.begin(), points.end(), [&](const BeatloomTempoPoint& point) {
            return point.id != first.id && point.id != second.id;
        });
        ASSERT_NE(added, points.end());
        EXPECT_NEAR(added->timeSeconds, c.expectedTime, 1e-12) << c.locator;
        EXPECT_NEAR(added->bpm, c.expectedBPM, 1e-9) << c.locator;
        EXPECT_EQ(model.selectedTempoPointID.value(), added->id);
        EXPECT_EQ(lastActionName(), "Add Tempo Marker");
        EXPECT_EQ(model.statusText.value(), "Tempo change added at the locator.");
    }
}

TEST_F(TempoEdits, AddingNextToAnExistingMarkerSelectsItAndRecordsNothing) {
    model.locatorSeconds.set(10.01);
    model.statusText.set("kept");
    model.addTempoPointAtLocator();
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 10}));
    EXPECT_EQ(model.selectedTempoPointID.value(), second.id);
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
    EXPECT_EQ(model.statusText.value(), "kept");
}

TEST_F(TempoEdits, DeletingAMarkerSelectsTheFirstAndTheSongStartCannotBeDeleted) {
    model.selectedTempoPointID.set(second.id);
    model.deleteTempoPoint(second.id);
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0}));
    EXPECT_EQ(model.selectedTempoPointID.value(), first.id);
    EXPECT_EQ(lastActionName(), "Delete Tempo Marker");
    EXPECT_EQ(model.statusText.value(), "Tempo change removed.");

    model.deleteTempoPoint(first.id);
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0}));
    EXPECT_EQ(model.errorText.value(), "The song-start tempo cannot be deleted.");
    EXPECT_EQ(model.statusText.value(), "Tempo change removed.");
}

TEST_F(TempoEdits, TransitionsAreNamedAfterTheChosenKind) {
    model.setTempoTransition(first.id, false);
    EXPECT_FALSE(model.editableTempoPoints.value()[0].linearToNext);
    EXPECT_EQ(lastActionName(), "Set Tempo Step");
    EXPECT_EQ(model.statusText.value(), "Tempo transition set to Step.");
    model.setTempoTransition(first.id, true);
    EXPECT_TRUE(model.editableTempoPoints.value()[0].linearToNext);
    EXPECT_EQ(lastActionName(), "Set Tempo Ramp");
    EXPECT_EQ(model.statusText.value(), "Tempo transition set to Ramp.");
    // The last marker has nothing to ramp to: nothing changes.
    model.setTempoTransition(second.id, true);
    EXPECT_EQ(model.editHistory().undoEntries().size(), 2u);
}

TEST_F(TempoEdits, ACandidateReplacesTheWholeMapByOneMarkerWithTheSongStartsID) {
    model.editableTempoPoints.set({first, records::tempoPoint(4, 110), records::tempoPoint(8, 115), second,
                                   records::tempoPoint(15, 90)});
    model.chooseTempoCandidate(301);
    EXPECT_EQ(model.editableTempoPoints.value().size(), 5u);
    model.chooseTempoCandidate(128);
    EXPECT_EQ(model.editableTempoPoints.value(),
              (std::vector<BeatloomTempoPoint>{BeatloomTempoPoint{first.id, 0.0, 128.0, 1.0, false}}));
    EXPECT_EQ(model.selectedTempoPointID.value(), first.id);
    EXPECT_EQ(lastActionName(), "Choose Tempo Candidate");
    EXPECT_EQ(model.statusText.value(), "Tempo candidate selected. Verify it with the click.");
}

// ---- Time signatures ----

TEST_F(TempoEdits, ASignatureAtTheLocatorIsAddedOrChangesTheOneNextToIt) {
    model.locatorSeconds.set(5.0);
    model.setTimeSignatureAtLocator(7, 8);
    EXPECT_EQ(meterTimes(), (std::vector<double>{0, 5}));
    EXPECT_EQ(model.meterEvents.value()[1].numerator, 7);
    EXPECT_EQ(lastActionName(), "Change Time Signature");
    EXPECT_EQ(model.statusText.value(), "Time signature 7/8 set at the locator.");

    // Close to a change it takes that change, moved to the locator.
    const Uuid changeID = model.meterEvents.value()[1].id;
    model.locatorSeconds.set(5.015);
    model.setTimeSignatureAtLocator(12, 16);
    EXPECT_EQ(meterTimes(), (std::vector<double>{0, 5.015}));
    EXPECT_EQ(model.meterEvents.value()[1].id, changeID);
    EXPECT_EQ(model.statusText.value(), "Time signature 12/16 set at the locator.");

    // Close to the song start it changes the song-start signature, which stays at 0 s.
    model.locatorSeconds.set(0.01);
    model.setTimeSignatureAtLocator(3, 4);
    EXPECT_EQ(meterTimes(), (std::vector<double>{0, 5.015}));
    EXPECT_EQ(model.meterEvents.value()[0].numerator, 3);
    EXPECT_EQ(model.meterEvents.value()[0].denominator, 4);
}

TEST_F(TempoEdits, AnInvalidSignatureIsRefused) {
    for (const auto& [numerator, denominator] : {std::pair{33, 4}, std::pair{4, 3}, std::pair{0, 4}}) {
        model.errorText.set("");
        model.setTimeSignatureAtLocator(numerator, denominator);
        EXPECT_EQ(model.errorText.value(), "Invalid time signature.");
    }
    EXPECT_EQ(meterTimes(), (std::vector<double>{0}));
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
}

TEST_F(TempoEdits, DeletingASignatureSparesTheSongStart) {
    const auto change = records::meter(6, 3, 4);
    model.meterEvents.set({records::meter(0, 4, 4), change});
    model.deleteTimeSignature(model.meterEvents.value()[0].id);
    EXPECT_EQ(model.errorText.value(), "The song-start time signature cannot be deleted.");
    model.deleteTimeSignature(change.id);
    EXPECT_EQ(meterTimes(), (std::vector<double>{0}));
    EXPECT_EQ(lastActionName(), "Delete Time Signature");
    EXPECT_EQ(model.statusText.value(), "Time-signature change removed.");
    EXPECT_EQ(model.errorText.value(), "");
}

// ---- Reset ----

TEST_F(TempoEdits, ResetToDetectedRestoresTheAnalysisAsOneUndoableStep) {
    model.setTempoPointBPM(second.id, "90");
    model.locatorSeconds.set(4.0);
    model.setTimeSignatureAtLocator(3, 4);
    const auto region = records::region(2, 4, BeatloomTimelineMode::free);
    model.performEdit("Clutter", "Cluttered.", [&](BeatloomViewModel& m) {
        m.barAnchors.set({records::barAnchor(3)});
        m.phaseLocks.set({BeatloomPhaseLock{}});
        m.barOneSeconds.set(1.0);
        m.pickupBarCount.set(1);
        m.lockedRanges.set({BeatloomLockedRange{Uuid::random(), 1, 2}});
        m.timelineRegions.set({region});
        m.rhythmicAnchors.set({records::rhythmicAnchor(region, 3, std::nullopt)});
    });
    model.selectedTempoPointID.set(second.id);
    model.exportStatusText.set("exported");
    const auto edited = model.captureEditorState();

    model.resetToDetected();
    const auto& reset = model.captureEditorState();
    EXPECT_EQ(reset.tempoPoints, (std::vector<BeatloomTempoPoint>{first, second}));
    ASSERT_EQ(reset.meterEvents.size(), 1u);
    EXPECT_EQ(reset.meterEvents[0].timeSeconds, 0.0);
    EXPECT_EQ(reset.meterEvents[0].numerator, 4);
    EXPECT_EQ(reset.meterEvents[0].denominator, 4);
    EXPECT_TRUE(reset.barAnchors.empty() && reset.phaseLocks.empty() && reset.lockedRanges.empty() &&
                reset.timelineRegions.empty() && reset.rhythmicAnchors.empty() && reset.gridFitAnchors.empty());
    EXPECT_EQ(reset.barOneSeconds, 0.25);  // the first detected beat
    EXPECT_EQ(reset.pickupBarCount, 0);
    EXPECT_EQ(model.selectedTempoPointID.value(), first.id);
    EXPECT_EQ(lastActionName(), "Reset to Detected");
    EXPECT_EQ(model.statusText.value(),
              "Detected Beatloom result restored. Meter reset to 4/4; Grid Fit, locks and manual bar starts cleared.");
    EXPECT_EQ(model.exportStatusText.value(), "");

    model.undo();
    EXPECT_EQ(model.captureEditorState(), edited);
}

TEST_F(TempoEdits, ResetOfAnUneditedSessionRecordsNothingButStillConfirms) {
    model.errorText.set("earlier");
    model.resetToDetected();
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
    EXPECT_EQ(model.statusText.value(),
              "Detected Beatloom result restored. Meter reset to 4/4; Grid Fit, locks and manual bar starts cleared.");
    EXPECT_EQ(model.errorText.value(), "");
}

}  // namespace
}  // namespace corvel::session
