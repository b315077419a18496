#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/grid_lines.hpp"
#include "core/tempo_points.hpp"
#include "core/timeline_segments.hpp"
#include "session/beatloom_view_model.hpp"
#include "session/session_fixture.hpp"
#include "session/transient_waveform.hpp"
#include "session/undo_names.hpp"

namespace corvel::session {
namespace {

using testing::kSongSeconds;
namespace records = corvel::testing;
using BeatloomTimeline::GridKind;
using BeatloomTimeline::GridLine;

class GridFit : public testing::SessionTest {
protected:
    GridFit() {
        loadResult({records::tempoPoint(0, 120)}, {0.0});
        model.barOneSeconds.set(0.0);
    }

    static BeatloomGridFitter::Fit fitOf(double bpm, double rmsSeconds, std::int64_t inliers, std::int64_t outliers) {
        BeatloomGridFitter::Fit fit;
        fit.bpm = bpm;
        fit.secondsPerQuarter = 60 / bpm;
        fit.rmsErrorSeconds = rmsSeconds;
        fit.anchorCount = inliers + outliers;
        fit.inlierCount = inliers;
        fit.outlierCount = outliers;
        return fit;
    }

    static BeatloomGridFitAnchor anchorAt(double quarter, double time, bool downbeat = false, bool locked = false) {
        return BeatloomGridFitAnchor{Uuid::random(), quarter, time, std::nullopt, std::nullopt, downbeat,
                                     BeatloomGridFitAnchorSource::manual, locked};
    }

    static GridLine lineAt(double quarter, GridKind kind, std::int64_t bar, std::int64_t beat) {
        return GridLine{quarter * 0.5, quarter, kind, bar, beat};
    }

    // Anchors placed as one recorded step, with the live fit over them.
    void placeAnchors(std::vector<BeatloomGridFitAnchor> anchors) {
        model.performEdit("Place Anchors", "placed", [&](BeatloomViewModel& m) {
            m.gridFitAnchors.set(std::move(anchors));
            m.refreshGridFitPreview();
        });
    }

    std::vector<std::string> undoNames() const { return testing::undoNames(model); }
};

// ---- Summary line ----

TEST_F(GridFit, TheSummaryLineTellsWhetherTheFitCanBeApplied) {
    struct Case {
        std::optional<BeatloomGridFitter::Fit> fit;
        std::size_t anchors;
        const char* expected;
    };
    const Case cases[] = {
        {std::nullopt, 0, "Grid Fit ready for anchors."},
        {std::nullopt, 1, "Grid fit: set at least 4 beat lines on transients."},
        {fitOf(120.04, 0.0042, 5, 1), 6, "Grid fit ready: 120.0 BPM · Very good · ±4.2 ms RMS · 1 outlier"},
        {fitOf(120.04, 0.0042, 3, 1), 4, "Grid fit needs 4 reliable anchors · 120.0 BPM preview · 1 outlier"},
        {fitOf(97.25, 0.020, 4, 0), 4, "Grid fit ready: 97.3 BPM · Check anchors · ±20.0 ms RMS"},
        {fitOf(60, 0.001, 2, 3), 5, "Grid fit needs 4 reliable anchors · 60.0 BPM preview · 3 outliers"},
    };
    for (const auto& c : cases) {
        model.gridFitAnchors.set(std::vector<BeatloomGridFitAnchor>(c.anchors));
        model.gridFitResult.set(c.fit);
        EXPECT_EQ(model.gridFitStatusText(), c.expected);
    }
}

TEST_F(GridFit, TheQualityWordChangesAtThreeEightFifteenAndThirtyMilliseconds) {
    struct Case {
        double rmsMilliseconds;
        const char* word;
    };
    const Case cases[] = {{0, "Excellent"},        {2.999, "Excellent"},     {3, "Very good"},
                          {7.999, "Very good"},    {8, "Good"},              {14.999, "Good"},
                          {15, "Check anchors"},   {29.999, "Check anchors"}, {30, "Weak fit"},
                          {400, "Weak fit"}};
    for (const auto& c : cases) {
        EXPECT_EQ(BeatloomViewModel::gridFitQualityWord(c.rmsMilliseconds), c.word) << c.rmsMilliseconds;
        model.gridFitAnchors.set(std::vector<BeatloomGridFitAnchor>(4));
        model.gridFitResult.set(fitOf(120, c.rmsMilliseconds / 1000, 4, 0));
        EXPECT_NE(model.gridFitStatusText().find(std::string(" · ") + c.word + " · "), std::string::npos)
            << c.rmsMilliseconds;
    }
}

TEST_F(GridFit, UndoRefitsThePreviewFromTheRestoredAnchors) {
    placeAnchors({anchorAt(3, 1.5), anchorAt(1, 0.5), anchorAt(2, 1.0)});
    ASSERT_TRUE(model.gridFitResult.value());
    EXPECT_EQ(model.gridFitAnchors.value()[0].quarterPosition, 1);
    EXPECT_NEAR(model.gridFitResult.value()->bpm, 120, 1e-6);

    model.undo();
    EXPECT_TRUE(model.gridFitAnchors.value().empty());
    EXPECT_FALSE(model.gridFitResult.value());
    EXPECT_EQ(model.gridFitStatusText(), "Grid Fit ready for anchors.");
    model.redo();
    EXPECT_EQ(model.gridFitResult.value(), BeatloomGridFitter::fit(model.gridFitAnchors.value()));
}

// ---- Dragging beat lines ----

TEST_F(GridFit, ADroppedBarLineBecomesADownbeatAnchorAndKeepsItWhenDraggedAsABeat) {
    setMessageLines("earlier");
    model.moveGridAnchor(lineAt(9, GridKind::subdivision, 3, 2), false, 4.6, 0.05);
    EXPECT_TRUE(model.gridFitAnchors.value().empty());
    EXPECT_EQ(model.statusText.value(), "status: earlier");

    model.moveGridAnchor(lineAt(8, GridKind::bar, 3, 1), false, 4.02, 0.05);
    ASSERT_EQ(model.gridFitAnchors.value().size(), 1u);
    auto anchor = model.gridFitAnchors.value()[0];
    EXPECT_EQ(anchor.quarterPosition, 8);
    EXPECT_EQ(anchor.timeSeconds, 4.02);
    EXPECT_EQ(anchor.barNumber, 3);
    EXPECT_EQ(anchor.beatNumber, 1);
    EXPECT_TRUE(anchor.isDownbeat);
    EXPECT_EQ(anchor.source, BeatloomGridFitAnchorSource::manual);
    EXPECT_EQ(model.statusText.value(), "Grid fit: set at least 4 beat lines on transients.");
    EXPECT_EQ(model.errorText.value(), "");
    EXPECT_EQ(model.exportStatusText.value(), "");

    // The same beat line, offered again as a beat line, moves the anchor; its id and downbeat stay.
    model.moveGridAnchor(lineAt(8 + 1e-10, GridKind::beat, 7, 3), false, kSongSeconds + 5, 0.05);
    ASSERT_EQ(model.gridFitAnchors.value().size(), 1u);
    EXPECT_EQ(model.gridFitAnchors.value()[0].id, anchor.id);
    EXPECT_EQ(model.gridFitAnchors.value()[0].timeSeconds, kSongSeconds);
    EXPECT_EQ(model.gridFitAnchors.value()[0].beatNumber, 3);
    EXPECT_TRUE(model.gridFitAnchors.value()[0].isDownbeat);
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
}

TEST_F(GridFit, ADraggedLineSnapsToTheTransientWithinTheSearchRadius) {
    model.waveformData.set(testing::waveformWithHits({5.0}));
    model.moveGridAnchor(lineAt(10, GridKind::beat, 3, 3), true, 4.97, 0.05);
    EXPECT_NEAR(model.gridFitAnchors.value()[0].timeSeconds, 5.005, 1e-9);
    // Without snapping, or with nothing near, the dropped time stands.
    model.moveGridAnchor(lineAt(10, GridKind::beat, 3, 3), false, 4.97, 0.05);
    EXPECT_EQ(model.gridFitAnchors.value()[0].timeSeconds, 4.97);
    model.moveGridAnchor(lineAt(10, GridKind::beat, 3, 3), true, 8.0, 0.05);
    EXPECT_EQ(model.gridFitAnchors.value()[0].timeSeconds, 8.0);
}

TEST_F(GridFit, ALockedAnchorRefusesToMoveInTheErrorLine) {
    placeAnchors({anchorAt(4, 2.0, false, true)});
    model.statusText.set("kept");
    model.moveGridAnchor(lineAt(4, GridKind::beat, 2, 1), false, 2.3, 0.05);
    EXPECT_EQ(model.gridFitAnchors.value()[0].timeSeconds, 2.0);
    EXPECT_EQ(model.errorText.value(), "This Grid-Fit anchor is locked. Unlock it before moving.");
    EXPECT_EQ(model.statusText.value(), "kept");
}

TEST_F(GridFit, ADragIsOneMoveGridAnchorStepOrNoneWithoutANetChange) {
    model.beginGridAnchorMove();
    model.moveGridAnchor(lineAt(2, GridKind::beat, 1, 3), false, 1.01, 0.05);
    model.moveGridAnchor(lineAt(4, GridKind::bar, 2, 1), false, 2.01, 0.05);
    model.beginGridAnchorMove();  // a second begin keeps the open transaction
    model.moveGridAnchor(lineAt(4, GridKind::bar, 2, 1), false, 1.99, 0.05);
    model.endTransaction(model.gridFitStatusText());
    EXPECT_EQ(undoNames(), std::vector<std::string>{"Move Grid Anchor"});
    EXPECT_EQ(model.editHistory().undoEntries().back().after.gridFitAnchors.size(), 2u);

    const auto anchor = model.gridFitAnchors.value()[1];
    model.beginGridAnchorMove();
    model.moveGridAnchor(lineAt(4, GridKind::bar, 2, 1), false, 2.2, 0.05);
    model.moveGridAnchor(lineAt(4, GridKind::bar, 2, 1), false, anchor.timeSeconds, 0.05);
    model.endTransaction(model.gridFitStatusText());
    EXPECT_EQ(undoNames().size(), 1u);
    EXPECT_FALSE(model.transactionStart());
}

// ---- Deleting, clearing, locking ----

TEST_F(GridFit, DeletingAnAnchorRemovesItsBeatLineEvenWhenLocked) {
    placeAnchors({anchorAt(4, 2.0, false, true), anchorAt(6, 3.0)});
    model.deleteGridAnchor(4 + 5e-10);
    ASSERT_EQ(model.gridFitAnchors.value().size(), 1u);
    EXPECT_EQ(model.gridFitAnchors.value()[0].quarterPosition, 6);
    EXPECT_EQ(undoNames().back(), "Delete Grid Anchor");
    EXPECT_EQ(model.statusText.value(), "Grid-Fit anchor removed.");

    model.deleteGridAnchor(6);
    EXPECT_FALSE(model.gridFitResult.value());
    EXPECT_EQ(model.gridFitStatusText(), "Grid Fit ready for anchors.");

    setMessageLines("kept");
    model.deleteGridAnchor(6);
    EXPECT_EQ(undoNames().size(), 3u);
    EXPECT_EQ(model.statusText.value(), "status: kept");
}

TEST_F(GridFit, ClearingRecordsAStepOnlyWhenThereWereAnchors) {
    setMessageLines("kept");
    model.clearGridFit();
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
    EXPECT_EQ(model.statusText.value(), "status: kept");

    placeAnchors({anchorAt(1, 0.5), anchorAt(2, 1.0), anchorAt(3, 1.5)});
    model.clearGridFit();
    EXPECT_TRUE(model.gridFitAnchors.value().empty());
    EXPECT_FALSE(model.gridFitResult.value());
    EXPECT_EQ(undoNames().back(), "Clear Grid Fit");
    EXPECT_EQ(model.statusText.value(), "Grid-fit anchors cleared.");
}

TEST_F(GridFit, TogglingALockNamesTheStepByWhatItDid) {
    placeAnchors({anchorAt(1, 0.5)});
    const Uuid id = model.gridFitAnchors.value()[0].id;
    model.toggleGridAnchorLock(id);
    EXPECT_TRUE(model.gridFitAnchors.value()[0].isLocked);
    EXPECT_EQ(undoNames().back(), "Lock Grid Anchor");
    EXPECT_EQ(model.statusText.value(), "Grid-Fit anchor locked.");
    model.toggleGridAnchorLock(id);
    EXPECT_FALSE(model.gridFitAnchors.value()[0].isLocked);
    EXPECT_EQ(undoNames().back(), "Unlock Grid Anchor");
    EXPECT_EQ(model.statusText.value(), "Grid-Fit anchor unlocked.");
    model.toggleGridAnchorLock(Uuid::random());
    EXPECT_EQ(undoNames().size(), 3u);
}

// ---- Bar 1 and bar starts ----

TEST_F(GridFit, AnAnchorAsSongBarOneKeepsWherePickupBarsBeganAndTheLocator) {
    // 120 BPM in 4/4: a bar lasts 2 s. Bar 1 at 4 s with two pickup bars from 0 s.
    model.barOneSeconds.set(4.0);
    model.pickupBarCount.set(2);
    model.barAnchors.set({records::barAnchor(12.0)});
    placeAnchors({anchorAt(18, 9.0)});
    const Uuid id = model.gridFitAnchors.value()[0].id;
    model.locatorSeconds.set(3.0);
    playFor(3.0, 1.0);
    ASSERT_TRUE(playing());

    model.setGridAnchorAsSongBarOne(id);
    EXPECT_FALSE(playing());
    EXPECT_EQ(model.barOneSeconds.value(), 9.0);
    EXPECT_EQ(model.pickupBarCount.value(), 5);  // 9 s of 2 s bars, rounded up
    EXPECT_EQ(model.locatorSeconds.value(), 3.0);
    EXPECT_TRUE(model.gridFitAnchors.value()[0].isDownbeat);
    EXPECT_EQ(model.barAnchors.value().size(), 1u);
    EXPECT_EQ(undoNames().back(), "Set Song Bar 1");
    EXPECT_EQ(model.statusText.value(),
              "Grid-Fit anchor set as absolute song Bar 1. Existing locked downbeats remain fixed.");
}

TEST_F(GridFit, AnAnchorAsLocalBarStartLocksADownbeatOnce) {
    placeAnchors({anchorAt(10, 5.0)});
    const Uuid id = model.gridFitAnchors.value()[0].id;
    model.setGridAnchorAsLocalBarStart(id);
    EXPECT_TRUE(model.gridFitAnchors.value()[0].isDownbeat);
    ASSERT_EQ(model.barAnchors.value().size(), 1u);
    EXPECT_EQ(model.barAnchors.value()[0].timeSeconds, 5.0);
    EXPECT_FALSE(model.barAnchors.value()[0].barNumberOverride);
    EXPECT_EQ(undoNames().back(), "Set Bar Start");
    EXPECT_EQ(model.statusText.value(), "Grid-Fit anchor set as a local bar start.");

    model.setGridAnchorAsLocalBarStart(id);
    EXPECT_EQ(model.barAnchors.value().size(), 1u);
    EXPECT_EQ(undoNames().size(), 2u);
}

// ---- Applying ----

TEST_F(GridFit, ApplyingRefusesAThinOrInconsistentFitAndChangesNothing) {
    struct Case {
        std::size_t anchors;
        std::optional<BeatloomGridFitter::Fit> fit;
        const char* message;
    };
    const Case cases[] = {
        {3, fitOf(100, 0.001, 3, 0), "Set at least 4 beat lines on transients before applying Grid Fit."},
        {4, std::nullopt, "Set at least 4 beat lines on transients before applying Grid Fit."},
        {5, fitOf(100, 0.001, 3, 2),
         "Grid Fit needs at least 4 reliable anchors. Move or remove the highlighted outliers."},
        {5, fitOf(100, 0.0451, 5, 0), "Grid Fit is too inconsistent (±45.1 ms RMS). Check the transient anchors."},
    };
    for (const auto& c : cases) {
        std::vector<BeatloomGridFitAnchor> anchors;
        for (std::size_t i = 0; i < c.anchors; ++i) anchors.push_back(anchorAt(double(i), 0.6 * double(i)));
        model.gridFitAnchors.set(anchors);
        model.gridFitResult.set(c.fit);
        model.statusText.set("kept");
        const auto before = model.captureEditorState();
        model.applyGridFit();
        EXPECT_EQ(model.errorText.value(), c.message);
        EXPECT_EQ(model.statusText.value(), "kept");
        EXPECT_EQ(model.captureEditorState(), before);
    }
    EXPECT_TRUE(model.editHistory().undoEntries().empty());

    model.gridFitResult.set(fitOf(100, 0.045, 5, 0));
    model.applyGridFit();
    EXPECT_EQ(model.editableTempoPoints.value()[0].bpm, 100);
    EXPECT_EQ(model.statusText.value(), "Grid Fit applied: 100.0 BPM · Weak fit · ±45.0 ms RMS.");
    EXPECT_EQ(model.errorText.value(), "");
}

TEST_F(GridFit, ApplyingSetsTheTempoPointInForceAtTheMedianAnchorAndLocksTheNearestDownbeat) {
    const auto song = records::tempoPoint(0, 120);
    const auto verse = records::tempoPoint(11.5, 120);
    const auto chorus = records::tempoPoint(14, 120);
    model.editableTempoPoints.set({song, verse, chorus});
    // One beat per second: 60 BPM. The median of 10, 11, 12 and 13 s is 12 s, and of the two
    // downbeats the one at 12 s is nearer (the bars it leaves, 10-12 s and 12-14 s up to the
    // chorus, are at least half a bar long).
    placeAnchors({anchorAt(40, 10.0, true), anchorAt(41, 11.0), anchorAt(42, 12.0, true), anchorAt(43, 13.0)});
    model.applyGridFit();

    const auto& points = model.editableTempoPoints.value();
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points[1].id, verse.id);
    EXPECT_NEAR(points[1].bpm, 60, 1e-6);
    EXPECT_EQ(points[0].bpm, 120);
    EXPECT_EQ(model.selectedTempoPointID.value(), verse.id);
    // The chorus marker keeps the bar and beat it showed: a phase lock pins it.
    ASSERT_EQ(model.phaseLocks.value().size(), 1u);
    EXPECT_EQ(model.phaseLocks.value()[0].sourceTempoPointID, chorus.id);
    ASSERT_EQ(model.barAnchors.value().size(), 1u);
    EXPECT_EQ(model.barAnchors.value()[0].timeSeconds, 12.0);
    EXPECT_EQ(undoNames().back(), "Apply Grid Fit");
    EXPECT_EQ(model.statusText.value(), "Grid Fit applied: 60.0 BPM · Excellent · ±0.0 ms RMS.");
    EXPECT_EQ(model.gridFitAnchors.value().size(), 4u);

    model.applyGridFit();
    EXPECT_EQ(model.barAnchors.value().size(), 1u);
}

// Bars of the grid the session draws, each with the length a whole bar of its meter has at the
// tempo there; the stretch after the last bar line is no bar.
struct DrawnBar {
    double start;
    double length;
    double wholeLength;
};

std::vector<DrawnBar> drawnBars(const BeatloomViewModel& model) {
    const double duration = model.result.value()->durationSeconds;
    const auto& points = model.editableTempoPoints.value();
    const auto lines = BeatloomTimeline::gridLines(
        points, model.meterEvents.value(), model.barAnchors.value(), model.phaseLocks.value(),
        model.effectiveBarOneSeconds(), model.pickupBarCount.value(), false, model.timelineRegions.value(),
        model.rhythmicAnchors.value(), BeatloomGridResolution::quarter, duration);
    std::vector<double> starts;
    for (const auto& line : lines) {
        if (line.kind == GridKind::bar) starts.push_back(line.timeSeconds);
    }
    const auto segments = BeatloomTimeline::segments(points, duration);
    std::vector<DrawnBar> bars;
    for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
        const auto meter = BeatloomTimeline::meterInForce(model.meterEvents.value(), duration, starts[i]);
        const double quarters = BeatloomTimeline::meterRule(meter).barLengthQuarters();
        const auto end = BeatloomTimeline::seconds(segments, BeatloomTimeline::quarterPosition(segments, starts[i]) + quarters);
        bars.push_back({starts[i], starts[i + 1] - starts[i], end.value_or(starts[i]) - starts[i]});
    }
    return bars;
}

TEST_F(GridFit, ApplyingNeverLeavesABarFarShorterThanAWholeOne) {
    // 96 BPM in 4/4 from Bar 1 at 0.5 s: bars of 2.5 s. The bar lines of bars 5 to 8 (10.5, 13,
    // 15.5 and 18 s) are dragged a few pixels onto the transients listed.
    struct Case {
        const char* name;
        std::vector<double> dragged;
    };
    const Case cases[] = {
        {"a little late and early", {10.52, 12.985, 15.53, 18.01}},
        {"the grid running slow", {10.48, 12.96, 15.45, 17.93}},
        {"the grid running fast", {10.54, 13.06, 15.57, 18.09}},
        {"a late downbeat in the middle", {10.5, 13.0, 15.65, 18.1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        loadResult({records::tempoPoint(0, 96)}, {0.5});
        auto detected = *model.result.value();
        detected.durationSeconds = 60;
        model.result.set(detected);
        model.barOneSeconds.set(0.5);
        model.barAnchors.set({});
        model.phaseLocks.set({});
        std::vector<BeatloomGridFitAnchor> anchors;
        for (std::size_t i = 0; i < c.dragged.size(); ++i) {
            anchors.push_back(anchorAt(0.8 + 4.0 * double(4 + i), c.dragged[i], true));
        }
        placeAnchors(anchors);
        ASSERT_TRUE(model.gridFitResult.value());
        model.applyGridFit();
        ASSERT_EQ(model.errorText.value(), "");
        ASSERT_EQ(undoNames().back(), "Apply Grid Fit");
        const auto bars = drawnBars(model);
        for (const DrawnBar& bar : bars) {
            EXPECT_GE(bar.length, 0.5 * bar.wholeLength) << "bar at " << bar.start << " s";
        }
        // The downbeat nearest the anchors' median is still locked, with a bar line on it, and the
        // fitted tempo holds at the song start's marker and after the downbeat.
        ASSERT_EQ(model.barAnchors.value().size(), 1u);
        const double downbeat = model.barAnchors.value()[0].timeSeconds;
        EXPECT_EQ(downbeat, c.dragged[2]);
        EXPECT_TRUE(std::any_of(bars.begin(), bars.end(),
                                [&](const DrawnBar& bar) { return std::abs(bar.start - downbeat) < 1e-6; }));
        const double fitted = model.gridFitResult.value()->bpm;
        const auto& points = model.editableTempoPoints.value();
        EXPECT_NEAR(points.front().bpm, fitted, 1e-9);
        EXPECT_NEAR(bpmAt(points, downbeat + 0.1, 0), fitted, 1e-9);
    }
}

TEST_F(GridFit, AFitMayTouchButNotReachIntoALockedSection) {
    placeAnchors({anchorAt(0, 10.0), anchorAt(1, 10.5), anchorAt(2, 11.0), anchorAt(3, 11.5)});
    struct Case {
        double rangeStart;
        bool refused;
    };
    const Case cases[] = {{11.5 - 1e-6, false}, {11.5 - 1e-5, true}};
    for (const auto& c : cases) {
        model.lockedRanges.set({BeatloomLockedRange{Uuid::random(), c.rangeStart, 14.0}});
        model.errorText.set("");
        model.applyGridFit();
        EXPECT_EQ(model.errorText.value(),
                  c.refused ? "This fit overlaps a locked corrected section. Unlock that section or fit outside it."
                            : "")
            << c.rangeStart;
    }
}

}  // namespace
}  // namespace corvel::session
