#include <vector>

#include <gtest/gtest.h>

#include "session/beatloom_view_model.hpp"
#include "session/session_fixture.hpp"

namespace corvel::session {
namespace {

namespace records = corvel::testing;

// ---- Phase locks for tempo edits ----

class PhaseLocksForTempoChange : public testing::SessionTest {
protected:
    PhaseLocksForTempoChange() {
        loadResult({first, second, third});
        model.barOneSeconds.set(0.0);
    }

    // The map with the first section at another tempo.
    std::vector<BeatloomTempoPoint> firstSectionAt(double bpm) const {
        auto changed = first;
        changed.bpm = bpm;
        return {changed, second, third};
    }

    static BeatloomPhaseLock lockFor(const BeatloomTempoPoint& point, double time, std::int64_t bar) {
        return BeatloomPhaseLock{Uuid::random(), time, bar, 1, 0.0, point.id};
    }

    BeatloomTempoPoint first = records::tempoPoint(0, 120);
    BeatloomTempoPoint second = records::tempoPoint(8.25, 120);  // half-way through beat 1 of bar 5
    BeatloomTempoPoint third = records::tempoPoint(16, 120);
};

TEST_F(PhaseLocksForTempoChange, AnUnmovedPointKeepsTheBarBeatAndPhaseItShowedAndLaterPointsFollow) {
    const auto locks = model.phaseLocksForTempoChange(model.editableTempoPoints.value(), firstSectionAt(150));
    ASSERT_EQ(locks.size(), 1u);  // the third point agrees once the second is pinned
    EXPECT_EQ(locks[0].timeSeconds, 8.25);
    EXPECT_EQ(locks[0].bar, 5);
    EXPECT_EQ(locks[0].beat, 1);
    EXPECT_NEAR(locks[0].fractionOfBeat, 0.5, 1e-9);
    EXPECT_EQ(locks[0].sourceTempoPointID, second.id);

    // Committed, the grid after the edited section reads as before.
    model.locatorSeconds.set(12.0);
    expectPositionAtLocator(7, 1, 0.0);
    model.applyTempoEdit(firstSectionAt(150), "Change Tempo", "Tempo updated.");
    expectPositionAtLocator(7, 1, 0.0);
}

TEST_F(PhaseLocksForTempoChange, AFreshLockForAPointReplacesItsEarlierOneInPlace) {
    const auto unsourced = BeatloomPhaseLock{Uuid::random(), 3.0, 2, 3, 0.25, std::nullopt};
    // A lock made for the second point when it stood at 7 s: 1.25 s later the old grid reads 77.3.5.
    const auto stale = lockFor(second, 7.0, 77);
    model.phaseLocks.set({stale, unsourced});
    const auto locks = model.phaseLocksForTempoChange(model.editableTempoPoints.value(), firstSectionAt(150));
    ASSERT_EQ(locks.size(), 2u);
    EXPECT_EQ(locks[0], unsourced);  // sorted by time, untouched
    EXPECT_EQ(locks[1].sourceTempoPointID, second.id);
    EXPECT_NE(locks[1].id, stale.id);
    EXPECT_EQ(locks[1].timeSeconds, 8.25);
    EXPECT_EQ(locks[1].bar, 77);
    EXPECT_EQ(locks[1].beat, 3);
    EXPECT_NEAR(locks[1].fractionOfBeat, 0.5, 1e-9);
}

TEST_F(PhaseLocksForTempoChange, MovedAndDeletedPointsTakeTheirLocksAlongOrAway) {
    const auto secondLock = lockFor(second, 8.25, 5);
    const auto thirdLock = lockFor(third, 16, 9);
    model.phaseLocks.set({thirdLock, secondLock});
    auto moved = third;
    moved.timeSeconds = 17.0;
    // The second point is deleted, the third moved: no new lock, its own lock follows it.
    const auto locks = model.phaseLocksForTempoChange(model.editableTempoPoints.value(), {first, moved});
    ASSERT_EQ(locks.size(), 1u);
    EXPECT_EQ(locks[0].id, thirdLock.id);
    EXPECT_EQ(locks[0].timeSeconds, 17.0);
}

TEST_F(PhaseLocksForTempoChange, PointsInFreeTimeGetNoLockButPointsInRubatoDo) {
    const auto sources = [this] {
        std::vector<std::optional<Uuid>> ids;
        for (const auto& lock : model.phaseLocksForTempoChange(model.editableTempoPoints.value(), firstSectionAt(150))) {
            ids.push_back(lock.sourceTempoPointID);
        }
        return ids;
    };
    model.timelineRegions.set({records::region(8.0, 9.0, BeatloomTimelineMode::free)});
    // Unpinned, the grid after the edit shifts at the third point, which gets the lock instead.
    EXPECT_EQ(sources(), (std::vector<std::optional<Uuid>>{third.id}));
    model.timelineRegions.set({records::region(8.0, 9.0, BeatloomTimelineMode::rubato)});
    EXPECT_EQ(sources(), (std::vector<std::optional<Uuid>>{second.id}));
}

TEST_F(PhaseLocksForTempoChange, WithoutAResultOrWithOnePointNoLockIsMade) {
    const auto late = lockFor(second, 8.25, 5);
    const auto early = BeatloomPhaseLock{Uuid::random(), 3.0, 2, 1, 0.0, std::nullopt};
    model.phaseLocks.set({late, early});
    auto single = first;
    single.bpm = 90;
    EXPECT_EQ(model.phaseLocksForTempoChange({first}, {single}), (std::vector<BeatloomPhaseLock>{early}));
    model.result.set(std::nullopt);
    EXPECT_EQ(model.phaseLocksForTempoChange(model.editableTempoPoints.value(), firstSectionAt(150)),
              (std::vector<BeatloomPhaseLock>{late, early}));  // as they are, unsorted
}

TEST_F(PhaseLocksForTempoChange, APointInThePickupKeepsItsPhaseWhenTheTempoBeforeBarOneChanges) {
    // Bar 1 at 4 s; the marker at 1.25 s sits 5.5 beats before it: bar 0's predecessor, beat 3 and a half.
    const auto start = records::tempoPoint(0, 120);
    const auto pickup = records::tempoPoint(1.25, 120);
    const auto lead = records::tempoPoint(2.5, 120);
    loadResult({start, pickup, lead});
    model.barOneSeconds.set(4.0);
    model.locatorSeconds.set(1.25);
    expectPositionAtLocator(-1, 3, 0.5);
    auto slower = lead;
    slower.bpm = 100;
    model.applyTempoEdit({start, pickup, slower}, "Change Tempo", "Tempo updated.");
    ASSERT_EQ(model.phaseLocks.value().size(), 1u);
    expectPositionAtLocator(-1, 3, 0.5);
}

// ---- Nearest grid time ----

class NearestGridTime : public testing::SessionTest {
protected:
    NearestGridTime() {
        loadResult({records::tempoPoint(0, 120)});
        model.barOneSeconds.set(0.0);
    }
};

TEST_F(NearestGridTime, RoundsToTheResolutionStepHalvesAwayFromZero) {
    EXPECT_DOUBLE_EQ(*model.nearestGridTime(BeatloomGridResolution::quarter, 3.2), 3.0);
    EXPECT_DOUBLE_EQ(*model.nearestGridTime(BeatloomGridResolution::quarter, 3.25), 3.5);
    EXPECT_DOUBLE_EQ(*model.nearestGridTime(BeatloomGridResolution::sixteenth, 3.2), 3.25);
    const double first = *model.nearestGridTime(BeatloomGridResolution::eighthTriplet, 3.1);
    const double next = *model.nearestGridTime(BeatloomGridResolution::eighthTriplet, 3.3);
    EXPECT_NEAR(next - first, 0.5 / 3.0, 1e-9);
}

TEST_F(NearestGridTime, PickupBarsOpenTheGridBeforeBarOne) {
    model.barOneSeconds.set(2.0);
    EXPECT_FALSE(model.nearestGridTime(BeatloomGridResolution::quarter, 1.0));
    model.pickupBarCount.set(1);
    EXPECT_DOUBLE_EQ(*model.nearestGridTime(BeatloomGridResolution::quarter, 0.1), 0.0);
    EXPECT_FALSE(model.nearestGridTime(BeatloomGridResolution::quarter, -0.1));
}

TEST_F(NearestGridTime, NoLinePassesTheNextAnchorWhereCountingRestarts) {
    model.barAnchors.set({records::barAnchor(3.3)});
    EXPECT_DOUBLE_EQ(*model.nearestGridTime(BeatloomGridResolution::quarter, 3.27), 3.3);
}

TEST_F(NearestGridTime, FreeTimeHasNoGridAndRubatoSnapsToItsElasticLines) {
    const auto rubato = records::region(4.0, 8.0, BeatloomTimelineMode::rubato);
    model.timelineRegions.set({rubato, records::region(10.0, 12.0, BeatloomTimelineMode::free)});
    // Three quarters stretched over 4 s.
    model.rhythmicAnchors.set({records::rhythmicAnchor(rubato, 4.0, 8.0), records::rhythmicAnchor(rubato, 8.0, 11.0)});
    EXPECT_FALSE(model.nearestGridTime(BeatloomGridResolution::quarter, 11.0));
    EXPECT_NEAR(*model.nearestGridTime(BeatloomGridResolution::quarter, 6.5), 4.0 + 8.0 / 3.0, 1e-9);
    EXPECT_DOUBLE_EQ(*model.nearestGridTime(BeatloomGridResolution::quarter, 2.2), 2.0);
    // Among listed lines a tie goes to the earlier one.
    EXPECT_DOUBLE_EQ(*model.nearestGridTime(BeatloomGridResolution::quarter, 3.25), 3.0);
}

TEST_F(NearestGridTime, NeedsAResultWithAudio) {
    model.result.set(std::nullopt);
    EXPECT_FALSE(model.nearestGridTime(BeatloomGridResolution::quarter, 1.0));
    loadResult({});
    EXPECT_FALSE(model.nearestGridTime(BeatloomGridResolution::quarter, 1.0));
}

}  // namespace
}  // namespace corvel::session
