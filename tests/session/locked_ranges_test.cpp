#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/beatloom_view_model.hpp"
#include "session/session_fixture.hpp"
#include "session/undo_names.hpp"

namespace corvel::session {
namespace {

namespace records = corvel::testing;

BeatloomLockedRange range(double start, double end) { return BeatloomLockedRange{Uuid::random(), start, end}; }

class LockedRanges : public testing::SessionTest {
protected:
    LockedRanges() {
        loadResult({records::tempoPoint(0, 120), records::tempoPoint(17.99, 120)}, {0.0});
        model.barOneSeconds.set(0.0);
    }

    // Anchors one quarter apart per given second apart: a 60 BPM fit.
    void placeAnchors(const std::vector<double>& times) {
        model.performEdit("Place Anchors", "placed", [&](BeatloomViewModel& m) {
            std::vector<BeatloomGridFitAnchor> anchors;
            for (double time : times) {
                anchors.push_back(BeatloomGridFitAnchor{Uuid::random(), time, time, std::nullopt, std::nullopt,
                                                        false, BeatloomGridFitAnchorSource::manual, false});
            }
            m.gridFitAnchors.set(anchors);
            m.refreshGridFitPreview();
        });
    }

    std::vector<std::string> undoNames() const { return testing::undoNames(model); }
};

TEST(LockedRangeList, RangesAreSortedShortOnesDroppedAndNearOnesMergedIntoTheEarlier) {
    const auto first = range(10, 20);
    const auto touching = range(20.0004, 30);
    const auto apart = range(20.001, 30);
    const auto tiny = range(0.5, 0.5005);
    const auto inside = range(12, 14);

    auto merged = BeatloomViewModel::normalizeLockedRanges({touching, tiny, first});
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0].id, first.id);
    EXPECT_EQ(merged[0].startSeconds, 10);
    EXPECT_EQ(merged[0].endSeconds, 30);

    EXPECT_EQ(BeatloomViewModel::normalizeLockedRanges({apart, first}), (std::vector{first, apart}));
    EXPECT_EQ(BeatloomViewModel::normalizeLockedRanges({first, inside}), std::vector{first});
    EXPECT_TRUE(BeatloomViewModel::normalizeLockedRanges({tiny, range(0, 0.001), range(3, 2)}).empty());
}

TEST_F(LockedRanges, LockingIsolatesTheSpanInTheTempoMapAndLocksItsAnchors) {
    placeAnchors({12.0, 15.0, 18.0});
    const auto selected = model.selectedTempoPointID.value();
    model.lockCorrectedSection();

    // 18 s already has a marker within 0.02 s; 12 s gets one with the tempo in force.
    ASSERT_EQ(tempoTimes(), (std::vector<double>{0, 12, 17.99}));
    EXPECT_EQ(model.editableTempoPoints.value()[1].bpm, 120);
    EXPECT_TRUE(model.phaseLocks.value().empty());
    EXPECT_EQ(model.selectedTempoPointID.value(), selected);
    ASSERT_EQ(model.lockedRanges.value().size(), 1u);
    EXPECT_EQ(model.lockedRanges.value()[0].startSeconds, 12);
    EXPECT_EQ(model.lockedRanges.value()[0].endSeconds, 18);
    for (const auto& anchor : model.gridFitAnchors.value()) EXPECT_TRUE(anchor.isLocked);
    EXPECT_EQ(undoNames().back(), "Lock Corrected Section");
    EXPECT_EQ(model.statusText.value(), "Corrected Grid-Fit section locked.");

    // The same span again merges into the range it already has: nothing changes, nothing is recorded.
    model.lockCorrectedSection();
    EXPECT_EQ(model.lockedRanges.value().size(), 1u);
    EXPECT_EQ(undoNames().size(), 2u);
}

TEST_F(LockedRanges, LockingNeedsTwoAnchorsMoreThanAMillisecondApart) {
    const std::vector<std::vector<double>> spans = {{}, {12.0}, {12.0, 12.001}};
    for (const auto& span : spans) {
        placeAnchors(span);
        model.statusText.set("kept");
        const auto before = model.captureEditorState();
        model.lockCorrectedSection();
        EXPECT_EQ(model.errorText.value(), "Set at least two Grid-Fit anchors before locking a corrected section.");
        EXPECT_EQ(model.statusText.value(), "kept");
        EXPECT_EQ(model.captureEditorState(), before);
    }
}

TEST_F(LockedRanges, AfterUnlockingAFitOverTheFormerRangeAppliesWhileItsAnchorsStayLocked) {
    placeAnchors({10.0, 11.0, 12.0, 13.0});
    model.lockCorrectedSection();
    model.applyGridFit();
    EXPECT_EQ(model.errorText.value(),
              "This fit overlaps a locked corrected section. Unlock that section or fit outside it.");

    const Uuid id = model.lockedRanges.value()[0].id;
    model.performEdit("Unlock Corrected Section", "Corrected section unlocked.",
                      [id](BeatloomViewModel& m) { m.removeLockedRange(id); });
    EXPECT_TRUE(model.lockedRanges.value().empty());
    EXPECT_EQ(undoNames().back(), "Unlock Corrected Section");
    for (const auto& anchor : model.gridFitAnchors.value()) EXPECT_TRUE(anchor.isLocked);

    model.applyGridFit();
    EXPECT_EQ(model.errorText.value(), "");
    EXPECT_EQ(undoNames().back(), "Apply Grid Fit");

    model.undo();
    model.undo();
    EXPECT_EQ(model.lockedRanges.value().size(), 1u);
}

}  // namespace
}  // namespace corvel::session
