#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "editor/timeline/flexible_timeline_overlay_view.hpp"
#include "editor/timeline/timeline_handle_view.hpp"
#include "editor/timeline/timeline_marker_lane.hpp"
#include "timeline_input_fixture.hpp"

namespace corvel::editor {
namespace {

using Kind = MarkerHandleKind;
namespace records = corvel::testing;

MarkerLaneItem fixed(double left, double right, double top = 0, double bottom = 20) {
    return MarkerLaneItem{{left, top, right, bottom}, 0, 0, {}};
}

MarkerLaneItem sliding(double left, double right, double minimumShift, double maximumShift,
                       std::vector<LabelBox> avoid = {}) {
    return MarkerLaneItem{{left, 0, right, 20}, minimumShift, maximumShift, std::move(avoid)};
}

TEST(MarkerLaneLayout, ItemsMoveToTheNearestFreePlaceTheyMayReachOrGiveWay) {
    struct Case {
        const char* what;
        std::vector<MarkerLaneItem> items;
        std::vector<MarkerLanePlacement> expected;
    };
    const Case cases[] = {
        {"apart: both stay", {fixed(0, 40), fixed(50, 90)}, {{true, 0}, {true, 0}}},
        {"a fixed item that meets an earlier one gives way", {fixed(0, 40), fixed(10, 50)}, {{true, 0}, {false, 0}}},
        {"in another row: both stay", {fixed(0, 40, 0, 20), fixed(0, 40, 19, 40)}, {{true, 0}, {true, 0}}},
        {"a chip slides right past the one it meets",
         {fixed(100, 140), sliding(110, 150, 0, 40)}, {{true, 0}, {true, 32}}},
        {"too far to slide: it gives way", {fixed(100, 140), sliding(100, 140, 0, 20)}, {{true, 0}, {false, 0}}},
        {"past two in a row", {fixed(100, 140), fixed(143, 160), sliding(110, 130, 0, 80)}, {{true, 0}, {true, 0}, {true, 52}}},
        {"a pill keeps clear of what it would rather avoid when it can",
         {sliding(100, 150, -50, 50, {{95, 0, 140, 20}})}, {{true, 42}}},
        {"and covers it when it cannot", {sliding(100, 150, 0, 0, {{95, 0, 140, 20}})}, {{true, 0}}},
        {"nothing slides out over the lane's end", {fixed(900, 960), sliding(950, 990, 0, 60)}, {{true, 0}, {false, 0}}},
    };
    for (const auto& c : cases) {
        const auto placements = layOutMarkerLane(c.items, 1000);
        ASSERT_EQ(placements.size(), c.expected.size()) << c.what;
        for (std::size_t i = 0; i < placements.size(); ++i) {
            EXPECT_EQ(placements[i].shown, c.expected[i].shown) << c.what << " #" << i;
            EXPECT_NEAR(placements[i].shift, c.expected[i].shift, 1e-9) << c.what << " #" << i;
        }
    }
}

// The marker lane of a 20 s song seen whole on 1000 px (50 px a second).
class MarkerLaneTest : public testing::TimelineInputTest {
protected:
    MarkerLaneTest() { model.viewportState.set({0, 20, 1000}); }

    // Every box the lane shows, with a name for the messages.
    std::vector<std::pair<std::string, LabelBox>> shownBoxes() const {
        std::vector<std::pair<std::string, LabelBox>> boxes;
        const auto lane = viewport_->pointerInput().markerLane();
        const auto box = [](const QRectF& r) { return LabelBox{r.left(), r.top(), r.right(), r.bottom()}; };
        for (const auto& h : lane.handles) boxes.emplace_back("handle " + h.text, box(markerHandleRect(h)));
        for (const auto& p : lane.pills) boxes.emplace_back("pill " + p.text, box(regionPillRect(p)));
        for (const auto& a : lane.anchors) boxes.emplace_back("anchor", box(rhythmicAnchorMarkerRect(a)));
        return boxes;
    }

    void expectNoTwoMeet() const {
        const auto boxes = shownBoxes();
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_GE(boxes[i].second.left, 0) << boxes[i].first;
            EXPECT_LE(boxes[i].second.right, 1000) << boxes[i].first;
            for (std::size_t j = i + 1; j < boxes.size(); ++j) {
                EXPECT_FALSE(markerLaneItemsMeet(boxes[i].second, boxes[j].second))
                    << boxes[i].first << " and " << boxes[j].first << " at " << boxes[i].second.left;
            }
        }
    }

    std::map<Kind, int> shownKinds() const {
        std::map<Kind, int> count;
        for (const auto& h : viewport_->pointerInput().markerLane().handles) ++count[h.kind];
        return count;
    }
};

TEST_F(MarkerLaneTest, TwoTempoMarkersAFewPixelsApartBothShowSideBySide) {
    // 0.2 s apart: 10 px, as 1.25 s are at 64x on a 3-hour show.
    model.editableTempoPoints.set(
        {records::tempoPoint(0, 120), records::tempoPoint(8.0, 120), records::tempoPoint(8.2, 100)});
    expectNoTwoMeet();
    std::vector<std::string> texts;
    for (const auto& h : viewport_->pointerInput().markerLane().handles) {
        if (h.kind == Kind::tempoMarker) texts.push_back(h.text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"120.0", "120.0", "100.0"}));
    // Each keeps its line where its time is.
    int tempoLines = 0;
    for (const auto& line : viewport_->canvasPlan().markerLines) tempoLines += line.kind == MarkerLineKind::tempoPoint;
    EXPECT_EQ(tempoLines, 3);
}

TEST_F(MarkerLaneTest, MarkerLinesStopAtTheChipsTheyWouldRunUnder) {
    // The 100.0 chip slides right off its line, which then runs where the 120.0 chip stands; the
    // 3/4 chip below them stands over both tempo lines.
    model.editableTempoPoints.set(
        {records::tempoPoint(0, 120), records::tempoPoint(8.0, 120), records::tempoPoint(8.2, 100)});
    model.meterEvents.set({records::meter(0, 4, 4), records::meter(8.1, 3, 4)});
    const auto boxes = shownBoxes();
    const auto plan = viewport_->canvasPlan();
    ASSERT_EQ(plan.markerLines.size(), 4u);
    const auto& g = plan.geometry;
    for (const auto& stroke : plan.markerStrokes) {
        const double left = markerLineLeft(stroke.line);
        const LabelBox column{left, stroke.top, left + markerLineWidth(stroke.line), stroke.bottom};
        for (const auto& [name, box] : boxes) {
            EXPECT_FALSE(column.intersects(box)) << "line at " << stroke.line.x << " under " << name;
        }
    }
    // Every line still runs from the marker lane's top, past the chips, to the waveform's bottom.
    for (const auto& line : plan.markerLines) {
        double top = 1e9;
        double bottom = 0;
        for (const auto& stroke : plan.markerStrokes) {
            if (!(stroke.line == line)) continue;
            top = std::min(top, stroke.top);
            bottom = std::max(bottom, stroke.bottom);
        }
        EXPECT_LT(top, g.rulerHeight + g.markerLaneHeight) << line.x;
        EXPECT_DOUBLE_EQ(bottom, g.waveformTop() + g.waveformHeight()) << line.x;
    }
}

TEST_F(MarkerLaneTest, WhereFreeTimeRejoinsTheTempoTimeSignatureDownbeatAndAnchorAllShowApart) {
    // What Rejoin Grid leaves at 10 s: a tempo change, a time signature, a locked downbeat and
    // the rejoin anchor of the Free Time region it ended.
    const auto free = records::region(6, 10, BeatloomTimelineMode::free);
    model.timelineRegions.set({free});
    model.rhythmicAnchors.set({records::rhythmicAnchor(free, 10.0, 40.0, BeatloomMusicalPosition{11, 1, 0},
                                                       BeatloomRhythmicAnchorKind::rejoin),
                               records::rhythmicAnchor(free, 8.0, std::nullopt, std::nullopt,
                                                       BeatloomRhythmicAnchorKind::freeReference)});
    model.editableTempoPoints.set({records::tempoPoint(0, 120), records::tempoPoint(10.0, 96)});
    model.meterEvents.set({records::meter(0, 4, 4), records::meter(10.0, 3, 4)});
    model.barAnchors.set({records::barAnchor(10.0, 11)});
    model.seek(10.0);

    const auto lane = viewport_->pointerInput().markerLane();
    EXPECT_EQ(lane.anchors.size(), 2u);
    EXPECT_EQ(lane.pills.size(), 1u);
    EXPECT_EQ(shownKinds(), (std::map<Kind, int>{{Kind::tempoMarker, 2}, {Kind::timeSignature, 2},
                                                  {Kind::lockedDownbeat, 1}}));
    expectNoTwoMeet();
    // The handles stay on their line; the anchor makes room beside the downbeat.
    for (const auto& h : lane.handles) {
        if (h.timeSeconds == 10.0) {
            EXPECT_DOUBLE_EQ(h.centreX, 500);
        }
    }
}

TEST_F(MarkerLaneTest, CrowdedMarkersGiveWayAndTakeTheirLinesWithThem) {
    // 200 tempo markers and 60 locked downbeats over 20 s: far more than the lane has room for.
    std::vector<BeatloomTempoPoint> points{records::tempoPoint(0, 120)};
    for (int i = 1; i < 200; ++i) points.push_back(records::tempoPoint(0.1 * i, 90 + i % 50));
    model.editableTempoPoints.set(points);
    std::vector<BeatloomBarAnchor> anchors;
    for (int i = 0; i < 60; ++i) anchors.push_back(records::barAnchor(0.33 * i + 0.1));
    model.barAnchors.set(anchors);
    const auto free = records::region(12, 14, BeatloomTimelineMode::free);
    model.timelineRegions.set({free});

    expectNoTwoMeet();
    const auto kinds = shownKinds();
    EXPECT_LT(kinds.at(Kind::tempoMarker), 40);
    EXPECT_GT(kinds.at(Kind::tempoMarker), 10);
    EXPECT_EQ(viewport_->pointerInput().markerLane().pills.size(), 1u);  // the region's label shows

    std::map<MarkerLineKind, int> lines;
    for (const auto& line : viewport_->canvasPlan().markerLines) ++lines[line.kind];
    EXPECT_EQ(lines[MarkerLineKind::tempoPoint], kinds.at(Kind::tempoMarker));
    EXPECT_EQ(lines[MarkerLineKind::lockedDownbeat], kinds.at(Kind::lockedDownbeat));

    // The selected marker always shows.
    model.selectedTempoPointID.set(points[57].id);
    const auto lane = viewport_->pointerInput().markerLane();
    EXPECT_TRUE(std::any_of(lane.handles.begin(), lane.handles.end(),
                            [&](const MarkerHandle& h) { return h.id == points[57].id; }));
    expectNoTwoMeet();
}

}  // namespace
}  // namespace corvel::editor
