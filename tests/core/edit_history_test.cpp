#include "core/edit_history.hpp"

#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace corvel {
namespace {

BeatloomEditorState stateWithPickups(std::int64_t pickups) {
    BeatloomEditorState state;
    state.pickupBarCount = pickups;
    return state;
}

// A snapshot with one element in every array and Bar 1 set.
BeatloomEditorState fullState() {
    BeatloomEditorState state;
    const Uuid region = Uuid::random();
    state.tempoPoints = {BeatloomTempoPoint{Uuid::random(), 0, 120, 0.8, false}};
    state.meterEvents = {BeatloomMeterEvent{Uuid::random(), 0, 4, 4}};
    state.barAnchors = {BeatloomBarAnchor{Uuid::random(), 2, 5}};
    state.phaseLocks = {BeatloomPhaseLock{Uuid::random(), 1, 2, 3, 0.25, std::nullopt}};
    state.barOneSeconds = 0.5;
    state.pickupBarCount = 1;
    state.gridFitAnchors = {BeatloomGridFitAnchor{Uuid::random(), 4, 2, 2, 1, true,
                                                  BeatloomGridFitAnchorSource::manual, false}};
    state.lockedRanges = {BeatloomLockedRange{Uuid::random(), 1, 3}};
    state.timelineRegions = {BeatloomTimelineRegion{region, 5, 8, BeatloomTimelineMode::rubato, false}};
    state.rhythmicAnchors = {BeatloomRhythmicAnchor{Uuid::random(), region, 6, 10.0, std::nullopt,
                                                    BeatloomRhythmicAnchorKind::beat,
                                                    BeatloomRhythmicAnchorSource::automatic, 0.9, false}};
    return state;
}

TEST(EditorState, EveryOneOfTheTenValuesTakesPart) {
    const auto base = fullState();
    EXPECT_EQ(base, base);
    const std::vector<std::pair<const char*, void (*)(BeatloomEditorState&)>> changes = {
        {"tempo point confidence", [](BeatloomEditorState& s) { s.tempoPoints[0].confidence = 1; }},
        {"re-made meter event", [](BeatloomEditorState& s) { s.meterEvents[0].id = Uuid::random(); }},
        {"bar anchor override", [](BeatloomEditorState& s) { s.barAnchors[0].barNumberOverride.reset(); }},
        {"phase lock fraction", [](BeatloomEditorState& s) { s.phaseLocks[0].fractionOfBeat = 0.5; }},
        {"Bar 1", [](BeatloomEditorState& s) { s.barOneSeconds = 0.25; }},
        {"pickups", [](BeatloomEditorState& s) { s.pickupBarCount = 2; }},
        {"grid fit lock", [](BeatloomEditorState& s) { s.gridFitAnchors[0].isLocked = true; }},
        {"locked range end", [](BeatloomEditorState& s) { s.lockedRanges[0].endSeconds = 4; }},
        {"region mode", [](BeatloomEditorState& s) { s.timelineRegions[0].mode = BeatloomTimelineMode::free; }},
        {"rhythmic anchor position", [](BeatloomEditorState& s) { s.rhythmicAnchors[0].quarterPosition.reset(); }},
        {"extra tempo point", [](BeatloomEditorState& s) { s.tempoPoints.push_back(s.tempoPoints[0]); }},
    };
    for (const auto& [what, change] : changes) {
        auto changed = base;
        change(changed);
        EXPECT_NE(base, changed) << what;
    }
}

TEST(EditorState, BarOneAbsentDiffersFromZeroAndNaNNeverEquals) {
    BeatloomEditorState absent;
    EXPECT_EQ(absent, BeatloomEditorState{});
    auto zero = absent;
    zero.barOneSeconds = 0.0;
    EXPECT_NE(absent, zero);
    auto minusZero = absent;
    minusZero.barOneSeconds = -0.0;
    EXPECT_EQ(zero, minusZero);

    auto withNaN = fullState();
    withNaN.barAnchors[0].timeSeconds = std::numeric_limits<double>::quiet_NaN();
    const auto copy = withNaN;
    EXPECT_NE(withNaN, copy);
    BeatloomEditHistory history;
    history.record("Move Bar Anchor", withNaN, copy);
    EXPECT_EQ(history.undoEntries().size(), 1u);
}

TEST(EditHistory, StartsEmptyWithCapacityHundredAndEmptyStacksRefuse) {
    BeatloomEditHistory history;
    EXPECT_EQ(history.capacity(), 100);
    EXPECT_FALSE(history.undo().has_value());
    EXPECT_FALSE(history.redo().has_value());
    EXPECT_TRUE(history.undoEntries().empty());
    EXPECT_TRUE(history.redoEntries().empty());
    EXPECT_EQ(BeatloomEditHistory(-3).capacity(), 0);
}

TEST(EditHistory, KeepsTheNewestHundredEntries) {
    BeatloomEditHistory history;
    for (int i = 1; i <= 101; ++i) {
        history.record("Edit " + std::to_string(i), stateWithPickups(i - 1), stateWithPickups(i));
    }
    ASSERT_EQ(history.undoEntries().size(), 100u);
    EXPECT_EQ(history.undoEntries().front().actionName, "Edit 2");
    EXPECT_EQ(history.undoEntries().back().actionName, "Edit 101");

    BeatloomEditHistory none(0);
    none.record("Edit", stateWithPickups(0), stateWithPickups(1));
    EXPECT_TRUE(none.undoEntries().empty());
    EXPECT_FALSE(none.undo().has_value());
}

TEST(EditHistory, UnchangedEditRecordsNothingAndKeepsRedo) {
    BeatloomEditHistory history;
    history.record("Set Pickup Bars", stateWithPickups(0), stateWithPickups(1));
    ASSERT_TRUE(history.undo().has_value());
    history.record("Set Pickup Bars", stateWithPickups(0), stateWithPickups(0));
    EXPECT_TRUE(history.undoEntries().empty());
    EXPECT_EQ(history.redoEntries().size(), 1u);
}

TEST(EditHistory, UndoRedoMoveTheSameEntryAndANewRecordEmptiesRedo) {
    const auto full = fullState();
    BeatloomEditHistory history;
    history.record("Add Tempo Marker", stateWithPickups(0), stateWithPickups(1));
    history.record("Set Bar 1", stateWithPickups(1), full);
    history.record("Add Time Signature", stateWithPickups(2), stateWithPickups(3));
    const auto undoBefore = history.undoEntries();

    const auto undone = history.undo();
    ASSERT_TRUE(undone.has_value());
    EXPECT_EQ(undone->actionName, "Add Time Signature");
    EXPECT_EQ(undone->before, stateWithPickups(2));
    const auto redone = history.redo();
    ASSERT_TRUE(redone.has_value());
    EXPECT_EQ(*redone, *undone);
    EXPECT_EQ(history.undoEntries(), undoBefore);
    EXPECT_TRUE(history.redoEntries().empty());

    ASSERT_TRUE(history.undo().has_value());
    const auto second = history.undo();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->actionName, "Set Bar 1");
    EXPECT_EQ(second->after, full);
    ASSERT_EQ(history.redoEntries().size(), 2u);
    EXPECT_EQ(history.redoEntries().back().actionName, "Set Bar 1");  // redone next

    history.record("Move Tempo Marker", stateWithPickups(1), stateWithPickups(5));
    EXPECT_TRUE(history.redoEntries().empty());
    ASSERT_EQ(history.undoEntries().size(), 2u);
    EXPECT_EQ(history.undoEntries().back().actionName, "Move Tempo Marker");

    history.clear();
    EXPECT_TRUE(history.undoEntries().empty());
    EXPECT_TRUE(history.redoEntries().empty());
    EXPECT_EQ(history.capacity(), 100);
}

}  // namespace
}  // namespace corvel
