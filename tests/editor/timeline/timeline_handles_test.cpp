#include <QAction>
#include <QMenu>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "editor/timeline/timeline_handle_view.hpp"
#include "editor/timeline/timeline_handles.hpp"
#include "timeline_input_fixture.hpp"

namespace corvel::editor {
namespace {

using Kind = MarkerHandleKind;
using testing::TimelineInputTest;

BeatloomMeterEvent meter(double time, std::int64_t numerator, std::int64_t denominator) {
    BeatloomMeterEvent event;
    event.timeSeconds = time;
    event.numerator = numerator;
    event.denominator = denominator;
    return event;
}

// A map with one item of every kind in the 0 ... 4 s window (250 px per second).
class TimelineHandlesTest : public TimelineInputTest {
protected:
    TimelineHandlesTest() {
        model.editableTempoPoints.set(
            {corvel::testing::tempoPoint(0, 120), corvel::testing::tempoPoint(2.0, 100), corvel::testing::tempoPoint(10, 90)});
        model.meterEvents.set({meter(0, 4, 4), meter(3.0, 3, 4)});
        model.barOneSeconds.set(1.0);
        model.barAnchors.set({corvel::testing::barAnchor(3.5)});
        BeatloomGridFitAnchor anchor;
        anchor.quarterPosition = 2;
        anchor.timeSeconds = 1.0;
        model.gridFitAnchors.set({anchor});
    }

    MarkerHandle handle(Kind kind, std::size_t index = 0) {
        std::size_t seen = 0;
        for (const auto& h : input().handles()) {
            if (h.kind == kind && seen++ == index) return h;
        }
        ADD_FAILURE() << "no such handle";
        return {};
    }

    static std::vector<std::string> titles(const std::vector<TimelineMenuItem>& items) {
        std::vector<std::string> out;
        for (const auto& item : items) out.push_back(item.isDivider ? "---" : (item.destructive ? "!" : "") + item.title);
        return out;
    }

    QPointF centre(const MarkerHandle& h) const { return {h.centreX, h.centreY}; }
};

TEST_F(TimelineHandlesTest, HandlesStandAtTheirItemsInStackingOrderHeldOffTheEdges) {
    auto handles = input().handles();
    std::vector<Kind> kinds;
    for (const auto& h : handles) kinds.push_back(h.kind);
    // The tempo marker at 10 s lies outside the window; Grid Fit anchors only in Grid Fit mode.
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::songBarOne, Kind::tempoMarker, Kind::tempoMarker, Kind::timeSignature,
                                        Kind::timeSignature, Kind::lockedDownbeat}));
    EXPECT_EQ(handles[0].text, "1");
    EXPECT_EQ(handles[0].centreX, 250);
    EXPECT_EQ(handles[0].centreY, 88);
    EXPECT_EQ(handles[1].centreX, 30);  // the song-start marker keeps clear of the left edge
    EXPECT_EQ(handles[1].centreY, 52);
    EXPECT_FALSE(handles[1].movable);
    EXPECT_EQ(handles[2].text, "100.0");
    EXPECT_EQ(handles[2].helpText, "Tempo marker · 100.0 BPM");
    EXPECT_TRUE(handles[2].movable);
    EXPECT_EQ(handles[3].text, "4/4");
    EXPECT_FALSE(handles[3].movable);
    EXPECT_EQ(handles[4].centreY, 72);
    EXPECT_TRUE(handles[4].movable);
    EXPECT_EQ(handles[5].helpText, "Locked 1 / downbeat anchor");

    ui.gridFitMode.set(true);
    handles = input().handles();
    ASSERT_EQ(handles.back().kind, Kind::gridFitAnchor);
    EXPECT_EQ(handles.back().centreY, 89);
    EXPECT_EQ(handles.back().status, BeatloomGridFitter::AnchorStatus::good);
    EXPECT_EQ(handles.back().helpText, "Beat");  // no fit: the label alone
}

TEST(TimelineHandlePlacement, OffScreenItemsStickToTheNearerEdge) {
    const BeatloomTimelineWindow window{10, 4, 1000};
    struct Case {
        Kind kind;
        double left, right;
    };
    for (const auto& c : std::vector<Case>{{Kind::songBarOne, 14, 986},
                                           {Kind::tempoMarker, 30, 970},
                                           {Kind::timeSignature, 26, 974},
                                           {Kind::lockedDownbeat, 14, 986},
                                           {Kind::gridFitAnchor, 8, 992}}) {
        EXPECT_EQ(markerHandleCentreX(c.kind, 5, window), c.left);
        EXPECT_EQ(markerHandleCentreX(c.kind, 20, window), c.right);
        EXPECT_EQ(markerHandleCentreX(c.kind, 12, window), 500);
    }
    // In a lane too narrow for both margins the left one wins.
    EXPECT_EQ(markerHandleCentreX(Kind::tempoMarker, 12, {10, 4, 20}), 30);
}

TEST(TimelineHandleHelp, SongBarOneCountsItsPickupBars) {
    EXPECT_EQ(songBarOneHelpText(0),
              "Bar 1 / Beat 1 · drag onto the first transient to shift the whole grid without changing tempo");
    EXPECT_EQ(songBarOneHelpText(1), "Bar 1 · drag to align the grid phase · 1 pickup bar before it");
    EXPECT_EQ(songBarOneHelpText(3), "Bar 1 · drag to align the grid phase · 3 pickup bars before it");
}

TEST_F(TimelineHandlesTest, GridFitAnchorTakesItsEvaluationsColourAndResidual) {
    ui.gridFitMode.set(true);
    BeatloomGridFitter::Fit fit;
    fit.evaluations.push_back({model.gridFitAnchors.value().front().id, 0.0025, 1, BeatloomGridFitter::AnchorStatus::outlier});
    model.gridFitResult.set(fit);
    auto anchor = handle(Kind::gridFitAnchor);
    EXPECT_EQ(anchor.status, BeatloomGridFitter::AnchorStatus::outlier);
    EXPECT_EQ(anchor.helpText, "Beat · +2.5 ms");
    fit.evaluations.front().residualSeconds = -0.0004;
    model.gridFitResult.set(fit);
    EXPECT_EQ(handle(Kind::gridFitAnchor).helpText, "Beat · -0.4 ms");
}

TEST_F(TimelineHandlesTest, ContextMenusOfferWhatEachItemAllows) {
    ui.gridFitMode.set(true);
    EXPECT_EQ(titles(markerHandleContextMenu(model, handle(Kind::songBarOne))),
              (std::vector<std::string>{"Extend Grid Backward One Bar", "Extend Grid Backward to Audio Start"}));
    model.pickupBarCount.set(1);
    EXPECT_EQ(titles(markerHandleContextMenu(model, handle(Kind::songBarOne))),
              (std::vector<std::string>{"Extend Grid Backward One Bar", "Extend Grid Backward to Audio Start", "---",
                                        "!Remove Pickup Bars"}));
    EXPECT_TRUE(markerHandleContextMenu(model, handle(Kind::tempoMarker, 0)).empty());
    EXPECT_EQ(titles(markerHandleContextMenu(model, handle(Kind::tempoMarker, 1))),
              std::vector<std::string>{"!Delete Tempo Marker"});
    EXPECT_TRUE(markerHandleContextMenu(model, handle(Kind::timeSignature, 0)).empty());
    EXPECT_EQ(titles(markerHandleContextMenu(model, handle(Kind::timeSignature, 1))),
              std::vector<std::string>{"!Delete 3/4 Change"});
    EXPECT_EQ(titles(markerHandleContextMenu(model, handle(Kind::lockedDownbeat))),
              std::vector<std::string>{"!Delete Locked 1"});
    EXPECT_EQ(titles(markerHandleContextMenu(model, handle(Kind::gridFitAnchor))),
              (std::vector<std::string>{"Set as Locked 1", "Set as Song Bar 1 (Absolute)", "Lock Anchor", "---",
                                        "!Remove Anchor"}));
    auto anchors = model.gridFitAnchors.value();
    anchors.front().isLocked = true;
    model.gridFitAnchors.set(anchors);
    EXPECT_EQ(titles(markerHandleContextMenu(model, handle(Kind::gridFitAnchor))).at(2), "Unlock Anchor");

    // The menu under the pointer is the topmost handle's, and its actions run the session's edits.
    const auto items = input().contextMenuAt(centre(handle(Kind::tempoMarker, 1)));
    QMenu menu;
    populateContextMenu(menu, items);
    ASSERT_EQ(menu.actions().size(), 1);
    EXPECT_EQ(menu.actions().front()->text(), QStringLiteral("Delete Tempo Marker"));
    EXPECT_TRUE(menu.actions().front()->property(kDestructiveActionProperty).toBool());
    menu.actions().front()->trigger();
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 10}));
    EXPECT_EQ(undoNames(), std::vector<std::string>{"Delete Tempo Marker"});
    EXPECT_TRUE(input().contextMenuAt(QPointF(700, waveformY())).empty());
}

TEST_F(TimelineHandlesTest, TempoMarkerDragSnapsPerMovementUnlessAltIsHeldAndIsOneUndoStep) {
    const QPointF start = centre(handle(Kind::tempoMarker, 1));  // 2.0 s at 500 px
    EXPECT_EQ(input().hitTest(start), TimelinePointerInput::HitTarget::markerHandle);
    press(start);
    moveTo(start + QPointF(1, 0));  // under the 2 px a drag needs
    EXPECT_FALSE(model.transactionStart());
    // Each movement snaps to the eighth nearest to the pointer on the grid of that moment.
    auto snapped = model.nearestGridTime(BeatloomGridResolution::eighth, 2.24);
    ASSERT_TRUE(snapped);
    ASSERT_NE(*snapped, 2.24);
    moveTo(QPointF(560, start.y()));  // 2.24 s
    EXPECT_EQ(model.transactionActionName(), "Move Tempo Marker");
    EXPECT_DOUBLE_EQ(tempoTimes().at(1), *snapped);
    moveTo(QPointF(560, start.y()), Qt::AltModifier);
    EXPECT_DOUBLE_EQ(tempoTimes().at(1), 2.24);
    snapped = model.nearestGridTime(BeatloomGridResolution::eighth, 2.6);
    ASSERT_TRUE(snapped);
    ASSERT_NE(*snapped, 2.6);
    moveTo(QPointF(650, start.y()));
    EXPECT_DOUBLE_EQ(tempoTimes().at(1), *snapped);
    release(QPointF(650, start.y()));

    EXPECT_FALSE(model.transactionStart());
    EXPECT_EQ(undoNames(), std::vector<std::string>{"Move Tempo Marker"});
    EXPECT_EQ(model.statusText.value(), "Tempo marker moved.");
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 0.0);  // a drag is no seek
}

TEST_F(TimelineHandlesTest, DragsThatChangeNothingOrCannotMoveRecordNothing) {
    model.statusText.set("before");
    // Out and back to where it began.
    const QPointF meterStart = centre(handle(Kind::timeSignature, 1));  // 3.0 s
    drag(meterStart, {meterStart + QPointF(40, 0), meterStart}, Qt::AltModifier);
    EXPECT_EQ(meterTimes(), (std::vector<double>{0, 3.0}));
    // The song-start tempo and time signature stay put.
    drag(centre(handle(Kind::tempoMarker, 0)), {QPointF(300, 52)});
    drag(centre(handle(Kind::timeSignature, 0)), {QPointF(300, 72)});
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 2.0, 10}));
    EXPECT_TRUE(undoNames().empty());
    EXPECT_EQ(model.statusText.value(), "before");
    EXPECT_FALSE(model.transactionStart());
}

TEST_F(TimelineHandlesTest, BarOneAndLockedDownbeatDragsUseTheirOwnUndoNamesAndStatus) {
    ui.transientSnapEnabled.set(false);
    drag(centre(handle(Kind::songBarOne)), {QPointF(251, 88), QPointF(300, 88)});
    EXPECT_DOUBLE_EQ(*model.barOneSeconds.value(), 1.2);
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 1.2);
    EXPECT_EQ(model.statusText.value(), session::BeatloomViewModel::kSongBarOneMovedStatus);

    drag(centre(handle(Kind::lockedDownbeat)), {QPointF(830, 88)}, Qt::AltModifier);
    EXPECT_DOUBLE_EQ(model.barAnchors.value().front().timeSeconds, 3.32);
    EXPECT_EQ(model.statusText.value(), "Locked downbeat anchor moved.");
    EXPECT_EQ(undoNames(), (std::vector<std::string>{"Move Song Bar 1", "Move Locked 1"}));
}

TEST_F(TimelineHandlesTest, ClicksSelectAndSeekButAGridFitAnchorOnlyBlocksTheLane) {
    const auto marker = handle(Kind::tempoMarker, 1);
    drag(centre(marker), {centre(marker) + QPointF(1, 0)});  // a click that wobbled by a pixel
    EXPECT_EQ(model.selectedTempoPointID.value(), marker.id);
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 2.0);

    drag(centre(handle(Kind::timeSignature, 1)), {});
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 3.0);

    ui.gridFitMode.set(true);
    const auto anchor = handle(Kind::gridFitAnchor);
    drag(centre(anchor), {centre(anchor) + QPointF(30, 0)});
    EXPECT_DOUBLE_EQ(model.locatorSeconds.value(), 3.0);
    EXPECT_DOUBLE_EQ(model.gridFitAnchors.value().front().timeSeconds, 1.0);
    EXPECT_TRUE(undoNames().empty());
}

}  // namespace
}  // namespace corvel::editor
