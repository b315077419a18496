#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/tempo_points.hpp"
#include "session/beatloom_view_model.hpp"
#include "session/session_fixture.hpp"

namespace corvel::session {
namespace {

using testing::kSongSeconds;
namespace records = corvel::testing;

class EditTransactions : public testing::SessionTest {
protected:
    EditTransactions() {
        loadResult({first, second, third});
        model.barOneSeconds.set(0.0);
    }

    std::vector<std::string> undoNames() const {
        std::vector<std::string> names;
        for (const auto& entry : model.editHistory().undoEntries()) names.push_back(entry.actionName);
        return names;
    }

    void expectLines(const std::string& status, const std::string& error, const std::string& exported) {
        EXPECT_EQ(model.statusText.value(), status);
        EXPECT_EQ(model.errorText.value(), error);
        EXPECT_EQ(model.exportStatusText.value(), exported);
    }

    void setBarOne(double seconds, const std::string& name = "Set Bar 1") {
        model.performEdit(name, "Bar 1 set.", [seconds](BeatloomViewModel& m) { m.barOneSeconds.set(seconds); });
    }

    BeatloomTempoPoint first = records::tempoPoint(0, 120);
    BeatloomTempoPoint second = records::tempoPoint(8, 120);
    BeatloomTempoPoint third = records::tempoPoint(16, 120);
};

// ---- Committing edits ----

TEST_F(EditTransactions, AnEditRecordsOneNamedStepAndReplacesTheMessageLines) {
    setMessageLines("earlier");
    const auto before = model.captureEditorState();
    setBarOne(3.0);
    ASSERT_EQ(model.editHistory().undoEntries().size(), 1u);
    const auto& entry = model.editHistory().undoEntries().back();
    EXPECT_EQ(entry.actionName, "Set Bar 1");
    EXPECT_EQ(entry.before, before);
    EXPECT_EQ(entry.after, model.captureEditorState());
    expectLines("Bar 1 set.", "", "");
}

TEST_F(EditTransactions, AnEditThatChangesNothingRecordsNothingAndKeepsEveryMessageLine) {
    struct Case {
        const char* name;
        std::function<void(BeatloomViewModel&)> edit;
    };
    const Case cases[] = {
        {"generic", [](BeatloomViewModel& m) { m.performEdit("Nothing", "Done.", [](BeatloomViewModel&) {}); }},
        {"tempo, same map once normalised",
         [this](BeatloomViewModel& m) {
             auto late = first;
             late.timeSeconds = 0.3;  // the first point always moves to 0 s
             m.applyTempoEdit({third, late, second}, "Change Tempo", "Done.");
         }},
        {"meter and bar anchors, same lists once normalised",
         [](BeatloomViewModel& m) {
             auto meters = m.meterEvents.value();
             meters.push_back(records::meter(kSongSeconds + 1, 3, 4));  // past the end: dropped
             m.applyMeterAndBarAnchorEdit(meters, m.barAnchors.value(), "Change Time Signature", "Done.");
         }},
    };
    model.meterEvents.set({records::meter(0, 4, 4)});
    for (const auto& c : cases) {
        setMessageLines(c.name);
        c.edit(model);
        EXPECT_TRUE(model.editHistory().undoEntries().empty()) << c.name;
        expectLines(std::string("status: ") + c.name, std::string("error: ") + c.name,
                    std::string("export: ") + c.name);
    }
}

TEST_F(EditTransactions, ATempoEditThatChangesNothingKeepsThePreviewPlaying) {
    playFor(2.0, 1.0);
    model.applyTempoEdit({first, second, third}, "Change Tempo", "Done.");
    EXPECT_TRUE(playing());
}

TEST_F(EditTransactions, AnEditDuringPlaybackStopsThePreviewWithTheLocatorAtThePlayHead) {
    model.locatorSeconds.set(2.0);
    playFor(2.0, 1.5);
    auto faster = first;
    faster.bpm = 130;
    model.applyTempoEdit({faster, second, third}, "Change Tempo", "Tempo updated.");
    EXPECT_FALSE(playing());
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 3.5);
    EXPECT_FALSE(model.playbackStartSeconds());
    EXPECT_EQ(undoNames(), std::vector<std::string>{"Change Tempo"});
}

TEST_F(EditTransactions, ATempoEditIsNormalisedAndCommittedWithLocksThatKeepTheLaterBarsInPlace) {
    auto faster = first;
    faster.bpm = 150;
    model.applyTempoEdit({third, faster, second}, "Change Tempo", "Tempo updated.");
    EXPECT_EQ(model.editableTempoPoints.value(), (std::vector<BeatloomTempoPoint>{faster, second, third}));
    // 8 s at 120 BPM was the start of bar 5; the lock keeps it there. Bar 9 at 16 s then follows.
    ASSERT_EQ(model.phaseLocks.value().size(), 1u);
    const auto& lock = model.phaseLocks.value().front();
    EXPECT_EQ(lock.timeSeconds, 8.0);
    EXPECT_EQ(lock.bar, 5);
    EXPECT_EQ(lock.beat, 1);
    EXPECT_NEAR(lock.fractionOfBeat, 0.0, 1e-9);
    EXPECT_EQ(lock.sourceTempoPointID, second.id);
    expectLines("Tempo updated.", "", "");
    model.undo();
    EXPECT_TRUE(model.phaseLocks.value().empty());
}

TEST_F(EditTransactions, ANewTempoMapMovesASelectionWhosePointIsGoneToTheFirstPoint) {
    struct Case {
        std::optional<Uuid> selected;
        std::vector<BeatloomTempoPoint> points;
        std::optional<Uuid> expected;
    };
    const Uuid gone = Uuid::random();
    const Case cases[] = {
        {second.id, {first, second}, second.id},
        {gone, {first, second}, first.id},
        {gone, {}, std::nullopt},
        {std::nullopt, {first, second}, std::nullopt},
    };
    for (const auto& c : cases) {
        model.selectedTempoPointID.set(c.selected);
        model.setTempoPointsAndPhaseLocks(c.points, {});
        EXPECT_EQ(model.selectedTempoPointID.value(), c.expected);
    }
}

TEST_F(EditTransactions, MeterAndBarAnchorEditsAreNormalisedAndNeedAResult) {
    const auto threeFour = records::meter(6.0, 3, 4);
    const auto anchor = records::barAnchor(kSongSeconds + 5);
    model.applyMeterAndBarAnchorEdit({threeFour}, {anchor}, "Change Time Signature", "Meter set.");
    const auto meters = model.meterEvents.value();
    ASSERT_EQ(meters.size(), 2u);
    EXPECT_EQ(meters[0].timeSeconds, 0.0);  // a 4/4 start is put in front
    EXPECT_EQ(meters[1], threeFour);
    ASSERT_EQ(model.barAnchors.value().size(), 1u);
    EXPECT_EQ(model.barAnchors.value().front().timeSeconds, kSongSeconds);
    EXPECT_EQ(undoNames(), std::vector<std::string>{"Change Time Signature"});

    model.result.set(std::nullopt);
    model.applyMeterAndBarAnchorEdit({records::meter(0, 7, 8)}, {}, "Change Time Signature", "Meter set.");
    EXPECT_EQ(model.meterEvents.value(), meters);
    EXPECT_EQ(model.editHistory().undoEntries().size(), 1u);
}

// ---- Drag transactions ----

TEST_F(EditTransactions, ADragOfManyLiveUpdatesIsOneUndoStep) {
    model.beginTransaction("Move Tempo Marker");
    for (const double t : {8.5, 9.0, 9.75}) {
        model.updateTempoPointDrag(second.id, false, BeatloomGridResolution::quarter, t);
        EXPECT_TRUE(model.editHistory().undoEntries().empty());
    }
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 9.75, 16}));
    EXPECT_EQ(model.selectedTempoPointID.value(), second.id);
    model.endTransaction("Tempo-change position updated.");
    EXPECT_FALSE(model.transactionStart());
    EXPECT_FALSE(model.transactionActionName());
    EXPECT_EQ(undoNames(), std::vector<std::string>{"Move Tempo Marker"});
    expectLines("Tempo-change position updated.", "", "");

    model.undo();
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 8, 16}));
    EXPECT_EQ(model.statusText.value(), "Undid Move Tempo Marker.");
}

TEST_F(EditTransactions, ASecondBeginKeepsTheFirstNameAndSnapshot) {
    const auto original = model.captureEditorState();
    model.beginTransaction("Move Tempo Marker");
    model.updateTempoPointDrag(second.id, false, BeatloomGridResolution::quarter, 9.0);
    model.beginTransaction("Move Time Signature");
    EXPECT_EQ(model.transactionActionName(), "Move Tempo Marker");
    EXPECT_EQ(model.transactionStart(), original);
    model.updateTempoPointDrag(second.id, false, BeatloomGridResolution::quarter, 10.0);
    model.endTransaction("Moved.");
    ASSERT_EQ(undoNames(), std::vector<std::string>{"Move Tempo Marker"});
    EXPECT_EQ(model.editHistory().undoEntries().back().before, original);
}

TEST_F(EditTransactions, EndingWithoutAnOpenDragOrWithoutAChangeRecordsNothing) {
    setMessageLines("kept");
    model.endTransaction("Moved.");
    model.beginTransaction("Move Tempo Marker");
    model.updateTempoPointDrag(second.id, false, BeatloomGridResolution::quarter, 9.0);
    model.updateTempoPointDrag(second.id, false, BeatloomGridResolution::quarter, 8.0);
    model.endTransaction("Moved.");
    EXPECT_FALSE(model.transactionStart());
    EXPECT_FALSE(model.transactionActionName());
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
    expectLines("status: kept", "error: kept", "export: kept");
}

TEST_F(EditTransactions, ADragBegunWithoutANameIsRecordedAsEditTimeline) {
    model.beginTransaction(std::nullopt);
    model.updateTempoPointDrag(third.id, false, BeatloomGridResolution::quarter, 17.0);
    model.endTransaction("Moved.");
    EXPECT_EQ(undoNames(), std::vector<std::string>{"Edit Timeline"});
}

TEST_F(EditTransactions, BeginningADragStopsThePreviewAtThePlayHead) {
    playFor(4.0, 0.5);
    model.beginTransaction("Move Tempo Marker");
    EXPECT_FALSE(playing());
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 4.5);
}

TEST_F(EditTransactions, UndoAndRedoDuringADragChangeNothingAndLeaveItOpen) {
    const auto added = records::tempoPoint(12, 120);
    model.applyTempoEdit({first, second, added, third}, "Add Tempo Marker", "Tempo change added at the locator.");
    setBarOne(2.0);
    model.undo();  // leaves "Set Bar 1" to redo
    model.beginTransaction("Move Tempo Marker");
    model.updateTempoPointDrag(added.id, false, BeatloomGridResolution::quarter, 13.0);
    const auto dragged = model.captureEditorState();
    setMessageLines("dragging");
    model.undo();
    model.redo();
    EXPECT_EQ(model.transactionActionName(), "Move Tempo Marker");
    EXPECT_TRUE(model.transactionStart());
    EXPECT_EQ(model.captureEditorState(), dragged);
    expectLines("status: dragging", "error: dragging", "export: dragging");
    EXPECT_EQ(undoNames(), std::vector<std::string>{"Add Tempo Marker"});
    ASSERT_EQ(model.editHistory().redoEntries().size(), 1u);

    // The history holds what the user did: the marker added, then moved.
    model.endTransaction("Tempo-change position updated.");
    EXPECT_EQ(undoNames(), (std::vector<std::string>{"Add Tempo Marker", "Move Tempo Marker"}));
    model.undo();
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 8, 12, 16}));
    model.undo();
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 8, 16}));
    model.redo();
    model.redo();
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 8, 13, 16}));
}

TEST_F(EditTransactions, EditsDuringADragDoNothingAndAReanalysisWaitsForItsEnd) {
    // A Rubato region with two anchors; the first is being dragged when keys are pressed.
    const auto rubato = records::region(4, 12);
    const auto dragged = records::rhythmicAnchor(rubato, 4, 8.0, BeatloomMusicalPosition{3, 1, 0});
    const auto next = records::rhythmicAnchor(rubato, 5, 9.0, BeatloomMusicalPosition{3, 2, 0});
    model.performEdit("Start Rubato", "Rubato.", [&](BeatloomViewModel& m) {
        m.timelineRegions.set({rubato});
        m.rhythmicAnchors.set({dragged, next});
    });
    const auto before = model.captureEditorState();
    model.beginTransaction("Move Rhythmic Anchor");
    model.moveRhythmicAnchor(dragged.id, false, 4.3);
    const auto moved = model.captureEditorState();
    setMessageLines("dragging");

    // A while into the drag the user presses A, types a tempo and deletes the region.
    model.locatorSeconds.set(6.0);
    model.addRhythmicAnchorAtLocator();
    model.setManualTempo("90");
    model.deleteRegionAtLocator();
    model.useDetectedTempo();
    model.resetToDetected();
    EXPECT_EQ(model.captureEditorState(), moved);
    EXPECT_EQ(undoNames(), std::vector<std::string>{"Start Rubato"});

    // A re-analysed selection that comes back during the drag waits for it.
    BeatloomRangeAnalysisResult range;
    range.targetRange = {14, 18};
    range.tempoPoints = {records::tempoPoint(14, 100)};
    model.applyReanalyzedSelection(range, kSongSeconds);
    EXPECT_EQ(model.captureEditorState(), moved);

    model.endTransaction("Rhythmic anchor moved.");
    EXPECT_EQ(undoNames(), (std::vector<std::string>{"Start Rubato", "Move Rhythmic Anchor", "Re-analyze Selection"}));
    EXPECT_NEAR(bpmAt(model.editableTempoPoints.value(), 15, 0), 100, 1e-9);
    model.undo();
    EXPECT_EQ(model.captureEditorState(), moved);
    model.undo();
    EXPECT_EQ(model.captureEditorState(), before);

    // Once the drag has ended the keys work again.
    model.addRhythmicAnchorAtLocator();
    EXPECT_EQ(undoNames().back(), "Add Rhythmic Anchor");
}

// ---- Live drag updates ----

TEST_F(EditTransactions, ATempoMarkerDragKeepsClearOfItsNeighboursAndCarriesItsLock) {
    BeatloomPhaseLock own{Uuid::random(), 8.0, 5, 1, 0.0, second.id};
    BeatloomPhaseLock other{Uuid::random(), 16.0, 9, 1, 0.0, third.id};
    model.phaseLocks.set({own, other});
    model.updateTempoPointDrag(second.id, false, BeatloomGridResolution::quarter, 40.0);
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 16 - 0.02, 16}));
    EXPECT_DOUBLE_EQ(model.phaseLocks.value()[0].timeSeconds, 16 - 0.02);
    EXPECT_EQ(model.phaseLocks.value()[1], other);

    const auto before = model.captureEditorState();
    model.selectedTempoPointID.set(third.id);
    model.updateTempoPointDrag(first.id, false, BeatloomGridResolution::quarter, 3.0);  // the song start never moves
    EXPECT_EQ(model.captureEditorState(), before);
    EXPECT_EQ(model.selectedTempoPointID.value(), third.id);
}

TEST_F(EditTransactions, SnappedDragsLandOnTheGridOfTheChosenResolution) {
    model.updateTempoPointDrag(second.id, true, BeatloomGridResolution::quarter, 9.13);
    EXPECT_DOUBLE_EQ(tempoTimes()[1], 9.0);
    model.updateTempoPointDrag(second.id, true, BeatloomGridResolution::eighthTriplet, 9.13);
    EXPECT_NEAR(tempoTimes()[1], 9.0 + 1.0 / 6.0, 1e-9);
    model.updateTempoPointDrag(second.id, false, BeatloomGridResolution::quarter, 9.13);
    EXPECT_DOUBLE_EQ(tempoTimes()[1], 9.13);
}

TEST_F(EditTransactions, TimeSignatureDragsStopShortOfTheirNeighboursAndNeverMoveTheSongStart) {
    const auto start = records::meter(0, 4, 4);
    const auto middle = records::meter(6, 3, 4);
    const auto last = records::meter(12, 6, 8);
    model.meterEvents.set({start, middle, last});
    struct Case {
        Uuid id;
        double to;
        std::vector<double> expected;
    };
    const Case cases[] = {
        {start.id, 3.0, {0, 6, 12}},
        {middle.id, 0.0, {0, 0.02, 12}},
        {middle.id, 15.0, {0, 12 - 0.02, 12}},
        {last.id, 50.0, {0, 6, kSongSeconds}},
        {Uuid::random(), 9.0, {0, 6, 12}},
    };
    for (const auto& c : cases) {
        model.meterEvents.set({start, middle, last});
        model.updateMeterEventDrag(c.id, false, BeatloomGridResolution::quarter, c.to);
        const auto times = meterTimes();
        ASSERT_EQ(times.size(), c.expected.size());
        for (std::size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], c.expected[i], 1e-12) << c.to;
    }
}

TEST_F(EditTransactions, BarAnchorDragsStayBetweenTheirNeighboursAndTheSong) {
    const auto early = records::barAnchor(4);
    const auto late = records::barAnchor(10);
    struct Case {
        Uuid id;
        double to;
        std::vector<double> expected;
    };
    const Case cases[] = {
        {early.id, -3.0, {0, 10}},
        {early.id, 11.0, {10 - 0.02, 10}},
        {late.id, 2.0, {4, 4.02}},
        {late.id, 99.0, {4, kSongSeconds}},
    };
    for (const auto& c : cases) {
        model.barAnchors.set({early, late});
        model.updateBarAnchorDrag(c.id, false, BeatloomGridResolution::quarter, c.to);
        std::vector<double> times;
        for (const auto& anchor : model.barAnchors.value()) times.push_back(anchor.timeSeconds);
        ASSERT_EQ(times.size(), c.expected.size());
        for (std::size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], c.expected[i], 1e-12) << c.to;
    }
}

// ---- Undo and redo ----

TEST_F(EditTransactions, UndoAndRedoRestoreTheMapSelectTheFirstPointAndSayWhatTheyDid) {
    const auto added = records::tempoPoint(12, 120);
    model.applyTempoEdit({first, second, added, third}, "Add Tempo Marker", "Tempo change added at the locator.");
    model.selectedTempoPointID.set(added.id);
    model.errorText.set("error");
    model.exportStatusText.set("exported");

    model.undo();
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 8, 16}));
    EXPECT_EQ(model.selectedTempoPointID.value(), first.id);
    expectLines("Undid Add Tempo Marker.", "", "");

    model.errorText.set("error");
    model.redo();
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 8, 12, 16}));
    expectLines("Redid Add Tempo Marker.", "", "");

    setMessageLines("nothing to redo");
    model.redo();
    expectLines("status: nothing to redo", "error: nothing to redo", "export: nothing to redo");
}

TEST_F(EditTransactions, UndoRestoresAllTenEditedValuesAndRefitsGridFit) {
    const auto before = model.captureEditorState();
    const auto region = records::region(2, 4, BeatloomTimelineMode::rubato);
    std::vector<BeatloomGridFitAnchor> anchors;
    for (int beat = 0; beat < 4; ++beat) {
        anchors.push_back({Uuid::random(), double(beat), 1.0 + 0.5 * beat, std::nullopt, std::nullopt, beat == 0,
                           BeatloomGridFitAnchorSource::manual, false});
    }
    model.performEdit("Everything", "Changed.", [&](BeatloomViewModel& m) {
        m.editableTempoPoints.set({first});
        m.meterEvents.set({records::meter(0, 3, 4)});
        m.barAnchors.set({records::barAnchor(5)});
        m.phaseLocks.set({BeatloomPhaseLock{}});
        m.barOneSeconds.set(1.0);
        m.pickupBarCount.set(2);
        m.gridFitAnchors.set(anchors);
        m.lockedRanges.set({BeatloomLockedRange{Uuid::random(), 1, 3}});
        m.timelineRegions.set({region});
        m.rhythmicAnchors.set({records::rhythmicAnchor(region, 2.5, 5.0)});
    });
    const auto after = model.captureEditorState();

    model.undo();
    EXPECT_EQ(model.captureEditorState(), before);
    EXPECT_FALSE(model.gridFitResult.value());
    model.redo();
    EXPECT_EQ(model.captureEditorState(), after);
    ASSERT_TRUE(model.gridFitResult.value());
    EXPECT_NEAR(model.gridFitResult.value()->bpm, 120.0, 1e-6);
}

TEST_F(EditTransactions, UndoDuringPlaybackStopsThePreviewAtThePlayHead) {
    setBarOne(1.0);
    playFor(5.0, 2.0);
    model.undo();
    EXPECT_FALSE(playing());
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 7.0);
    EXPECT_EQ(model.barOneSeconds.value(), 0.0);
}

TEST_F(EditTransactions, OnlyTheNewestHundredEditsCanBeUndoneAndANewEditDropsTheRedoList) {
    for (int i = 1; i <= 101; ++i) setBarOne(0.1 * i, "Edit " + std::to_string(i));
    ASSERT_EQ(model.editHistory().undoEntries().size(), 100u);
    EXPECT_EQ(model.editHistory().undoEntries().front().actionName, "Edit 2");
    for (int i = 0; i < 100; ++i) model.undo();
    EXPECT_DOUBLE_EQ(*model.barOneSeconds.value(), 0.1);  // the first edit stays
    EXPECT_EQ(model.statusText.value(), "Undid Edit 2.");
    setMessageLines("oldest reached");
    model.undo();
    EXPECT_EQ(model.statusText.value(), "status: oldest reached");

    model.redo();
    setBarOne(7.0, "Fresh");
    EXPECT_TRUE(model.editHistory().redoEntries().empty());
    EXPECT_EQ(model.editHistory().undoEntries().size(), 2u);
}

}  // namespace
}  // namespace corvel::session
