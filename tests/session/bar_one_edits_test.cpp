#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/beatloom_view_model.hpp"
#include "session/session_fixture.hpp"

namespace corvel::session {
namespace {

using testing::kSongSeconds;
namespace records = corvel::testing;

constexpr char kLockStatus[] = "Downbeat locked. Grid before this point and other locked 1s stay fixed.";
constexpr char kAlreadyLocked[] = "This downbeat is already locked.";
constexpr char kBarOneStatus[] = "Absolute song Bar 1 set. Existing locked downbeats remain fixed.";
constexpr char kExtendOneStatus[] = "Pickup grid extended backward by one bar.";
constexpr char kExtendToStartStatus[] = "Pickup grid extended backward to the audio start.";

class BarOneEdits : public testing::SessionTest {
protected:
    // 120 BPM in 4/4: a bar lasts 2 s.
    BarOneEdits() {
        loadResult({records::tempoPoint(0, 120)});
        model.barOneSeconds.set(0.0);
    }

    std::vector<std::string> undoNames() const {
        std::vector<std::string> names;
        for (const auto& entry : model.editHistory().undoEntries()) names.push_back(entry.actionName);
        return names;
    }

    std::vector<double> anchorTimes() const {
        std::vector<double> times;
        for (const auto& anchor : model.barAnchors.value()) times.push_back(anchor.timeSeconds);
        return times;
    }

    // A refusal of this kind speaks in the status line only.
    void expectRefusal(const std::string& status, std::size_t entries) {
        EXPECT_EQ(model.statusText.value(), status);
        EXPECT_EQ(model.errorText.value(), "error: before");
        EXPECT_EQ(model.exportStatusText.value(), "export: before");
        EXPECT_EQ(model.editHistory().undoEntries().size(), entries);
    }

    void expectRecorded(const std::string& name, const std::string& status) {
        ASSERT_FALSE(model.editHistory().undoEntries().empty());
        EXPECT_EQ(model.editHistory().undoEntries().back().actionName, name);
        EXPECT_EQ(model.statusText.value(), status);
        EXPECT_EQ(model.errorText.value(), "");
        EXPECT_EQ(model.exportStatusText.value(), "");
    }
};

// ---- Locked downbeats ----

TEST_F(BarOneEdits, ALockedDownbeatIsAddedAtTheLocatorUnlessOneLiesWithinTwoHundredthsOfASecond) {
    setMessageLines("before");
    model.locatorSeconds.set(5.0);
    model.lockDownbeatAtLocator();
    expectRecorded("Set Locked 1", kLockStatus);
    ASSERT_EQ(model.barAnchors.value().size(), 1u);
    EXPECT_EQ(model.barAnchors.value().front().timeSeconds, 5.0);
    EXPECT_FALSE(model.barAnchors.value().front().barNumberOverride);

    setMessageLines("before");
    model.locatorSeconds.set(5.015);
    model.lockDownbeatAtLocator();
    expectRefusal(kAlreadyLocked, 1);
    EXPECT_EQ(anchorTimes(), std::vector<double>{5.0});

    model.locatorSeconds.set(5.025);
    model.lockDownbeatAtLocator();
    EXPECT_EQ(anchorTimes(), (std::vector<double>{5.0, 5.025}));
    EXPECT_EQ(undoNames(), (std::vector<std::string>{"Set Locked 1", "Set Locked 1"}));
}

TEST_F(BarOneEdits, ALockedDownbeatStaysInsideTheSongAndDuringPlaybackAtTheLocatorNotThePlayHead) {
    model.locatorSeconds.set(kSongSeconds + 4);
    model.lockDownbeatAtLocator();
    EXPECT_EQ(anchorTimes(), std::vector<double>{kSongSeconds});

    model.locatorSeconds.set(3.0);
    playFor(3.0, 2.0);
    model.lockDownbeatAtLocator();
    EXPECT_FALSE(playing());
    EXPECT_EQ(anchorTimes(), (std::vector<double>{3.0, kSongSeconds}));
    EXPECT_EQ(model.locatorSeconds.value(), 3.0);
}

TEST_F(BarOneEdits, ALockOnAnAnchorThatIsOnlyUnnormalisedIsRecordedAsItsNormalisedList) {
    // The stored list is out of order; locking next to one of its anchors still writes the
    // normalised list, which differs from the stored one.
    model.barAnchors.set({records::barAnchor(9.0), records::barAnchor(4.0)});
    model.locatorSeconds.set(4.01);
    model.lockDownbeatAtLocator();
    EXPECT_EQ(anchorTimes(), (std::vector<double>{4.0, 9.0}));
    EXPECT_EQ(undoNames(), std::vector<std::string>{"Set Locked 1"});
}

TEST_F(BarOneEdits, RemovingAManualBarStartIsOneStepAndAnUnknownIDIsIgnored) {
    const auto kept = records::barAnchor(4.0);
    const auto removed = records::barAnchor(9.0);
    model.barAnchors.set({kept, removed});
    setMessageLines("before");
    model.removeManualBarStart(Uuid::random());
    EXPECT_EQ(model.barAnchors.value().size(), 2u);
    EXPECT_EQ(model.statusText.value(), "status: before");

    model.removeManualBarStart(removed.id);
    EXPECT_EQ(model.barAnchors.value(), std::vector<BeatloomBarAnchor>{kept});
    expectRecorded("Delete New 1", "Manual bar start removed.");

    model.result.set(std::nullopt);
    model.removeManualBarStart(kept.id);
    EXPECT_EQ(model.barAnchors.value(), std::vector<BeatloomBarAnchor>{kept});
}

// ---- Song Bar 1 ----

TEST_F(BarOneEdits, SettingBarOneTurnsTheBarsFromTheEarlierGridStartIntoPickupBars) {
    const struct {
        double barOne;
        std::int64_t pickups;
        double locator;
        std::int64_t newPickups;
    } cases[] = {
        {2.0, 0, 6.0, 2},   // two whole bars after the grid start
        {2.0, 0, 6.6, 3},   // 2.3 bars round up
        {2.0, 0, 2.0, 0},   // at the grid start
        {2.0, 0, 1.0, 0},   // before it
        {6.0, 1, 10.0, 3},  // the grid starts at the first pickup bar, 4 s
        {6.0, 2, 1.0, 0},   // before the first pickup bar
    };
    for (const auto& c : cases) {
        model.barOneSeconds.set(c.barOne);
        model.pickupBarCount.set(c.pickups);
        model.locatorSeconds.set(c.locator);
        const auto anchors = model.barAnchors.value();
        model.setSongBarOneAtLocator();
        EXPECT_EQ(model.barOneSeconds.value(), c.locator) << c.barOne << " " << c.locator;
        EXPECT_EQ(model.pickupBarCount.value(), c.newPickups) << c.barOne << " " << c.locator;
        EXPECT_EQ(model.locatorSeconds.value(), c.locator);
        EXPECT_EQ(model.barAnchors.value(), anchors);
        expectRecorded("Set Song Bar 1", kBarOneStatus);
    }
}

TEST_F(BarOneEdits, UndoAfterSettingBarOneRestoresTheFormerBarOneAndPickupCountInOneStep) {
    model.barAnchors.set({records::barAnchor(12.0)});
    model.barOneSeconds.set(std::nullopt);
    loadResult({records::tempoPoint(0, 120)}, {1.0, 1.5});  // Bar 1 derived from the first beat
    model.pickupBarCount.set(0);
    model.locatorSeconds.set(7.0);
    model.setSongBarOneAtLocator();
    EXPECT_EQ(model.barOneSeconds.value(), 7.0);
    EXPECT_EQ(model.pickupBarCount.value(), 3);
    EXPECT_EQ(model.barAnchors.value().size(), 1u);

    model.undo();
    EXPECT_FALSE(model.barOneSeconds.value());
    EXPECT_EQ(model.pickupBarCount.value(), 0);
    EXPECT_EQ(model.statusText.value(), "Undid Set Song Bar 1.");
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
}

TEST_F(BarOneEdits, SettingBarOneWhereItAlreadyIsRecordsNothing) {
    model.barOneSeconds.set(4.0);
    model.pickupBarCount.set(2);  // the grid starts at 0 s
    model.locatorSeconds.set(4.0);
    setMessageLines("before");
    model.setSongBarOneAtLocator();
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
    EXPECT_EQ(model.statusText.value(), "status: before");
}

// ---- Pickup bars ----

TEST_F(BarOneEdits, WithBarOneAtTheAudioStartNoPickupBarIsNeeded) {
    setMessageLines("before");
    model.extendPickupOneBar();
    expectRefusal("Bar 1 is already at the audio start; no pickup bar is needed.", 0);
    setMessageLines("before");
    model.extendPickupToAudioStart();
    expectRefusal("Bar 1 is already at the audio start.", 0);
    EXPECT_EQ(model.pickupBarCount.value(), 0);
}

TEST_F(BarOneEdits, PickupBarsGrowOneAtATimeUntilTheGridReachesTheAudioStart) {
    model.barOneSeconds.set(7.0);  // 3.5 bars after the audio start
    for (std::int64_t expected = 1; expected <= 4; ++expected) {
        model.extendPickupOneBar();
        EXPECT_EQ(model.pickupBarCount.value(), expected);
        expectRecorded("Extend Pickup One Bar", kExtendOneStatus);
    }
    setMessageLines("before");
    model.extendPickupOneBar();
    expectRefusal("The grid already reaches the audio start.", 4);
    EXPECT_EQ(model.pickupBarCount.value(), 4);
}

TEST_F(BarOneEdits, ExtendingToTheAudioStartSetsTheNeededCountAtOnce) {
    model.barOneSeconds.set(7.0);
    model.extendPickupToAudioStart();
    EXPECT_EQ(model.pickupBarCount.value(), 4);
    expectRecorded("Extend Pickup to Audio Start", kExtendToStartStatus);
    setMessageLines("before");
    model.extendPickupToAudioStart();
    expectRefusal("Pickup grid already reaches the audio start.", 1);
}

TEST_F(BarOneEdits, TooManyPickupBarsAreSetDownToWhatReachesTheAudioStart) {
    model.barOneSeconds.set(7.0);
    model.pickupBarCount.set(6);
    model.extendPickupOneBar();
    EXPECT_EQ(model.pickupBarCount.value(), 4);
    expectRecorded("Extend Pickup One Bar", kExtendOneStatus);

    model.pickupBarCount.set(6);
    model.extendPickupToAudioStart();
    EXPECT_EQ(model.pickupBarCount.value(), 4);
    expectRecorded("Extend Pickup to Audio Start", kExtendToStartStatus);
}

TEST_F(BarOneEdits, ExtendingThePickupScrollsTheNewFirstBarIntoView) {
    model.barOneSeconds.set(7.0);
    model.viewportState.set(BeatloomViewportState{6.0, 10.0, 1000.0});
    model.extendPickupOneBar();  // the pickup bar starts at 5 s; margin 0.1 s
    EXPECT_NEAR(model.viewportState.value().visibleStartSeconds, 4.9, 1e-9);
    model.extendPickupToAudioStart();  // four bars start at -1 s
    EXPECT_NEAR(model.viewportState.value().visibleStartSeconds, -1.1, 1e-9);
}

TEST_F(BarOneEdits, RemovingPickupBarsKeepsBarOneAndNeedsNoResult) {
    model.barOneSeconds.set(7.0);
    model.pickupBarCount.set(2);
    model.result.set(std::nullopt);
    model.removePickupBars();
    EXPECT_EQ(model.pickupBarCount.value(), 0);
    EXPECT_EQ(model.barOneSeconds.value(), 7.0);
    expectRecorded("Remove Pickup Bars", "Pickup grid removed. Bar 1 remains fixed.");

    setMessageLines("before");
    model.removePickupBars();
    EXPECT_EQ(model.editHistory().undoEntries().size(), 1u);
    EXPECT_EQ(model.statusText.value(), "status: before");
}

TEST_F(BarOneEdits, WithoutAResultBarOneAndPickupCommandsDoNothing) {
    model.result.set(std::nullopt);
    model.locatorSeconds.set(5.0);
    setMessageLines("before");
    model.lockDownbeatAtLocator();
    model.setSongBarOneAtLocator();
    model.extendPickupOneBar();
    model.extendPickupToAudioStart();
    model.updateSongBarOneDrag(false, 3.0);
    EXPECT_TRUE(model.barAnchors.value().empty());
    EXPECT_EQ(model.barOneSeconds.value(), 0.0);
    EXPECT_EQ(model.statusText.value(), "status: before");
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
}

// ---- The Bar 1 drag ----

TEST_F(BarOneEdits, ABarOneDragIsOneStepThatMovesOnlyBarOneAndTheLocator) {
    model.pickupBarCount.set(1);
    model.barAnchors.set({records::barAnchor(12.0)});
    const auto tempo = model.editableTempoPoints.value();
    model.beginSongBarOneDrag();
    EXPECT_EQ(model.transactionActionName(), "Move Song Bar 1");
    for (const double seconds : {1.0, 2.5, kSongSeconds + 1, 3.25}) model.updateSongBarOneDrag(false, seconds);
    EXPECT_EQ(model.barOneSeconds.value(), 3.25);
    EXPECT_EQ(model.locatorSeconds.value(), 3.25);
    EXPECT_EQ(model.pickupBarCount.value(), 1);
    EXPECT_EQ(model.barAnchors.value().size(), 1u);
    EXPECT_EQ(model.editableTempoPoints.value(), tempo);
    EXPECT_TRUE(model.editHistory().undoEntries().empty());

    model.endTransaction(BeatloomViewModel::kSongBarOneMovedStatus);
    EXPECT_EQ(undoNames(), std::vector<std::string>{"Move Song Bar 1"});
    EXPECT_EQ(model.statusText.value(),
              "Song Bar 1 moved. Tempo was not changed; the grid phase was shifted to the new transient.");
    model.undo();
    EXPECT_EQ(model.barOneSeconds.value(), 0.0);
}

TEST_F(BarOneEdits, ABarOneDragHeldOutsideTheSongStopsAtItsEdges) {
    model.updateSongBarOneDrag(false, -2.0);
    EXPECT_EQ(model.barOneSeconds.value(), 0.0);
    model.updateSongBarOneDrag(false, kSongSeconds + 2.0);
    EXPECT_EQ(model.barOneSeconds.value(), kSongSeconds);
}

TEST_F(BarOneEdits, ASecondDragBeginKeepsTheOpenTransaction) {
    model.beginTransaction(std::string("Move Tempo Marker"));
    const auto snapshot = model.transactionStart();
    model.updateSongBarOneDrag(false, 4.0);
    model.beginSongBarOneDrag();
    EXPECT_EQ(model.transactionActionName(), "Move Tempo Marker");
    EXPECT_EQ(model.transactionStart(), snapshot);
}

TEST_F(BarOneEdits, ABarOneDragStartedDuringPlaybackStopsItAtThePlayHead) {
    model.locatorSeconds.set(2.0);
    playFor(2.0, 1.0);
    model.beginSongBarOneDrag();
    EXPECT_FALSE(playing());
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 3.0);
}

// The snap radius is what 24 pixels of the view cover, held to 0.015 ... 0.1 s. A waveform of
// 1 ms bins with one sharp hit in the bin at 5.000 s (its centre 5.0005 s) shows how far the
// search reaches.
TEST_F(BarOneEdits, TheBarOneHandleSnapsToATransientWithinWhatTwentyFourPixelsCover) {
    BeatloomWaveformData waveform;
    waveform.durationSeconds = kSongSeconds;
    waveform.minPeaks.assign(20000, 0.0f);
    waveform.maxPeaks.assign(20000, 0.0f);
    waveform.minPeaks[5000] = -0.9f;
    waveform.maxPeaks[5000] = 0.9f;
    constexpr double kHit = 5.0005;

    const struct {
        double visibleSeconds;
        bool snap;
        double dragged;
        double barOne;
    } cases[] = {
        {10.0, true, 5.09, kHit},     // 0.24 s held at 0.1 s
        {10.0, true, 5.115, 5.115},   // beyond 0.1 s
        {0.5, true, 5.0145, kHit},    // 0.012 s held at 0.015 s
        {0.5, true, 5.02, 5.02},      // beyond 0.015 s
        {10.0, false, 5.09, 5.09},    // snapping off
    };
    model.waveformData.set(waveform);
    for (const auto& c : cases) {
        model.viewportState.set(BeatloomViewportState{0.0, c.visibleSeconds, 1000.0});
        model.updateSongBarOneDrag(c.snap, c.dragged);
        EXPECT_NEAR(*model.barOneSeconds.value(), c.barOne, 1e-9) << c.visibleSeconds << " " << c.dragged;
        EXPECT_EQ(model.locatorSeconds.value(), *model.barOneSeconds.value());
    }

    model.waveformData.set(std::nullopt);
    model.updateSongBarOneDrag(true, 5.01);
    EXPECT_EQ(model.barOneSeconds.value(), 5.01);
}

}  // namespace
}  // namespace corvel::session
