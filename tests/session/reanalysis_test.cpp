#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/format.hpp"
#include "core/tempo_points.hpp"
#include "session/loading_fixture.hpp"
#include "session/undo_names.hpp"

namespace corvel::session {
namespace {

namespace records = corvel::testing;
using testing::undoNames;

std::string lastName(const BeatloomViewModel& model) {
    const auto names = undoNames(model);
    return names.empty() ? "" : names.back();
}

// ---- Tempo control over a known map ----

class TempoControl : public testing::SessionTest {};

TEST_F(TempoControl, DoubleAndHalfApplyInsideTheRangeAndRefuseWithTheScaledTempo) {
    model.scaleSectionTempo(2);
    EXPECT_EQ(model.errorText.value(), "0.0 BPM is outside the supported Beatloom range.");

    loadResult({records::tempoPoint(0, 150), records::tempoPoint(10, 160)});
    model.seek(2);
    model.scaleSectionTempo(2);
    EXPECT_EQ(model.editableTempoPoints.value()[0].bpm, 300);
    EXPECT_EQ(lastName(model), "Double Tempo");
    EXPECT_EQ(model.statusText.value(), "Tempo section changed from 150.0 to 300.0 BPM.");
    EXPECT_EQ(model.selectedTempoPointID.value(), model.editableTempoPoints.value()[0].id);

    model.seek(12);
    model.scaleSectionTempo(2);
    EXPECT_EQ(model.errorText.value(), "320.0 BPM is outside the supported Beatloom range.");
    EXPECT_EQ(model.editableTempoPoints.value()[1].bpm, 160);
    model.scaleSectionTempo(0.5);
    EXPECT_EQ(model.editableTempoPoints.value()[1].bpm, 80);
    EXPECT_EQ(lastName(model), "Half Tempo");
    EXPECT_EQ(model.selectedTempoPointID.value(), model.editableTempoPoints.value()[1].id);
}

TEST_F(TempoControl, InsideARampTheMessagesNameTheMarkerTheEditScales) {
    struct Case {
        double startBPM;
        double factor;
        const char* status;
        const char* error;
        double markerBPM;
    };
    const Case cases[] = {
        {100, 2, "Tempo section changed from 100.0 to 200.0 BPM.", "", 200},
        {100, 0.5, "Tempo section changed from 100.0 to 50.0 BPM.", "", 50},
        {160, 2, "", "320.0 BPM is outside the supported Beatloom range.", 160},
    };
    for (const auto& c : cases) {
        // The tempo heard at 10 s lies halfway between the ends of the ramp.
        loadResult({records::tempoPoint(0, c.startBPM, true), records::tempoPoint(20, 140)});
        model.seek(10);
        model.statusText.set("");
        model.errorText.set("");
        model.scaleSectionTempo(c.factor);
        EXPECT_EQ(model.statusText.value(), c.status) << c.startBPM << " x " << c.factor;
        EXPECT_EQ(model.errorText.value(), c.error) << c.startBPM << " x " << c.factor;
        EXPECT_EQ(model.editableTempoPoints.value()[0].bpm, c.markerBPM);
    }
}

TEST_F(TempoControl, ATypedTempoIsReadWithACommaAndRefusedOutsideTheRange) {
    struct Case {
        const char* text;
        std::optional<double> applied;
    };
    for (const auto& c : {Case{" 120,5 \n", 120.5}, Case{"abc", std::nullopt}, Case{"29.9", std::nullopt},
                          Case{"300.1", std::nullopt}, Case{"300", 300.0}, Case{"12O", std::nullopt}}) {
        loadResult({records::tempoPoint(0, 100)});
        model.errorText.set("");
        EXPECT_EQ(model.setManualTempo(c.text), c.applied.has_value()) << c.text;
        if (c.applied) {
            EXPECT_EQ(model.editableTempoPoints.value()[0].bpm, *c.applied);
            EXPECT_EQ(model.statusText.value(), "Manual tempo set to " + formatFixed(*c.applied, 1) + " BPM.");
        } else {
            EXPECT_EQ(model.errorText.value(), "Enter a BPM between 30 and 300.") << c.text;
            EXPECT_EQ(model.editableTempoPoints.value()[0].bpm, 100);
        }
    }
}

TEST_F(TempoControl, ATypedTempoGoesToTheOnlyMarkerToAMarkerAtTheLocatorOrToANewOne) {
    loadResult({records::tempoPoint(0, 100)});
    model.seek(15);
    EXPECT_TRUE(model.setManualTempo("110"));
    EXPECT_EQ(model.editableTempoPoints.value().size(), 1u);
    EXPECT_EQ(lastName(model), "Enter Manual Tempo");

    loadResult({records::tempoPoint(0, 100), records::tempoPoint(10, 140)});
    model.seek(10.015);
    EXPECT_TRUE(model.setManualTempo("125"));
    ASSERT_EQ(model.editableTempoPoints.value().size(), 2u);
    EXPECT_EQ(model.editableTempoPoints.value()[1].bpm, 125);
    EXPECT_EQ(model.statusText.value(), "Tempo at the locator set to 125.0 BPM.");
    EXPECT_EQ(model.selectedTempoPointID.value(), model.editableTempoPoints.value()[1].id);

    model.seek(10.03);
    EXPECT_TRUE(model.setManualTempo("130"));
    ASSERT_EQ(model.editableTempoPoints.value().size(), 3u);
    const auto& added = model.editableTempoPoints.value()[2];
    EXPECT_NEAR(added.timeSeconds, 10.03, 1e-9);
    EXPECT_EQ(added.bpm, 130);
    EXPECT_EQ(model.statusText.value(), "Tempo point set to 130.0 BPM at the locator.");
    EXPECT_EQ(model.selectedTempoPointID.value(), added.id);
}

TEST_F(TempoControl, TheDetectedTempoReturnsAndTheOtherMusicalEditsStay) {
    loadResult({records::tempoPoint(0, 100), records::tempoPoint(10, 140)}, {0.25});
    EXPECT_TRUE(model.isDetectedTempoActive());
    model.seek(4);
    model.scaleSectionTempo(2);
    EXPECT_FALSE(model.isDetectedTempoActive());

    const auto region = records::region(12, 15);
    const std::vector meters{records::meter(0, 4, 4), records::meter(5, 3, 4)};
    model.meterEvents.set(meters);
    model.barOneSeconds.set(0.25);
    model.pickupBarCount.set(1);
    model.timelineRegions.set({region});
    model.rhythmicAnchors.set({records::rhythmicAnchor(region, 13, std::nullopt)});
    model.phaseLocks.set({BeatloomPhaseLock{}});
    model.gridFitAnchors.set({BeatloomGridFitAnchor{}});
    model.lockedRanges.set({BeatloomLockedRange{Uuid::random(), 1, 2}});
    const auto kept = model.captureEditorState();

    model.useDetectedTempo();
    EXPECT_TRUE(model.isDetectedTempoActive());
    EXPECT_EQ(model.editableTempoPoints.value(), normalizedTempoPoints(model.result.value()->tempoPoints));
    EXPECT_EQ(model.meterEvents.value(), kept.meterEvents);
    EXPECT_EQ(model.barOneSeconds.value(), kept.barOneSeconds);
    EXPECT_EQ(model.pickupBarCount.value(), 1);
    EXPECT_EQ(model.timelineRegions.value(), kept.timelineRegions);
    EXPECT_EQ(model.rhythmicAnchors.value(), kept.rhythmicAnchors);
    EXPECT_TRUE(model.phaseLocks.value().empty());
    EXPECT_TRUE(model.gridFitAnchors.value().empty());
    EXPECT_TRUE(model.lockedRanges.value().empty());
    EXPECT_EQ(model.selectedTempoPointID.value(), model.editableTempoPoints.value()[0].id);
    EXPECT_EQ(lastName(model), "Use Detected Tempo");
    EXPECT_EQ(model.statusText.value(), BeatloomViewModel::kDetectedTempoRestoredStatus);

    const auto steps = undoNames(model).size();
    model.useDetectedTempo();
    EXPECT_EQ(undoNames(model).size(), steps);
}

TEST_F(TempoControl, TheSelectionIsOrderedHeldInsideTheSongAndNeedsFourSecondsForReanalysis) {
    model.setAnalysisSelection(2, 8);
    EXPECT_FALSE(model.analysisSelection.value());  // no song yet

    loadResult({records::tempoPoint(0, 100)});
    model.setAnalysisSelection(12, 10);
    EXPECT_EQ(model.analysisSelection.value(), (BeatloomTimeRange{10, 12}));
    model.setAnalysisSelection(-3, 25);
    EXPECT_EQ(model.analysisSelection.value(), (BeatloomTimeRange{0, testing::kSongSeconds}));
    model.setAnalysisSelection(5, 5.04);
    EXPECT_FALSE(model.analysisSelection.value());

    model.setAnalysisSelection(5, 8.9);
    model.reanalyzeSelection();
    EXPECT_EQ(model.errorText.value(), "Select at least 4 seconds for re-analysis.");
    EXPECT_FALSE(model.isAnalyzing.value());
}

TEST_F(TempoControl, AMergedSelectionKeepsEveryBarAndBeatAfterItOrSaysWhereTheGridMoved) {
    // 120 BPM in 4/4 from 0 s over 40 s; 10-16 s come back at 100 and 110 BPM.
    const std::string replaced = "Re-analyzed 10.0–16.0 s. Only the selected range was replaced";
    struct Case {
        const char* name;
        std::vector<BeatloomTimelineRegion> regions;
        std::string status;
    };
    const Case cases[] = {
        {"metered", {}, replaced + "; surrounding tempo sections were preserved."},
        {"rubato across the end", {records::region(15, 18)}, replaced + "; surrounding tempo sections were preserved."},
        // Free Time has no grid to pin at 16 s, and no rejoin holds the bars after it.
        {"free time across the end",
         {records::region(15, 18, BeatloomTimelineMode::free)},
         replaced + ", but bars and beats after it moved from 18.0 s on."},
    };
    const double probes[] = {16.0, 18.25, 22.0, 30.0, 37.3};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        loadResult({records::tempoPoint(0, 120)}, {0.0});
        auto detected = *model.result.value();
        detected.durationSeconds = 40;
        model.result.set(detected);
        model.timelineRegions.set(c.regions);
        std::vector<std::optional<BeatloomMusicalPosition>> before;
        for (const double t : probes) {
            model.seek(t);
            before.push_back(model.musicalPositionAtLocator());
        }
        model.seek(30);
        expectPositionAtLocator(16, 1, 0.0);

        BeatloomRangeAnalysisResult range;
        range.targetRange = {10, 16};
        range.tempoPoints = {records::tempoPoint(10, 100), records::tempoPoint(13, 110)};
        model.applyReanalyzedSelection(range, 40);
        EXPECT_EQ(model.statusText.value(), c.status);
        EXPECT_NEAR(bpmAt(model.editableTempoPoints.value(), 14, 0), 110, 1e-9);
        if (!c.regions.empty() && c.regions.front().mode == BeatloomTimelineMode::free) continue;
        for (std::size_t i = 0; i < std::size(probes); ++i) {
            model.seek(probes[i]);
            const auto after = model.musicalPositionAtLocator();
            ASSERT_EQ(after.has_value(), before[i].has_value()) << probes[i];
            if (!after) continue;
            EXPECT_EQ(after->bar, before[i]->bar) << probes[i];
            EXPECT_EQ(after->beat, before[i]->beat) << probes[i];
            EXPECT_NEAR(after->fractionOfBeat, before[i]->fractionOfBeat, 1e-9) << probes[i];
        }
    }
}

TEST_F(TempoControl, AReanalysedRangeAddsNoMarkerWhereTheTempoFoundIsTheTempoThere) {
    // A steady 130 BPM song; the range 99.9-129.8 s comes back as listed.
    struct Case {
        const char* name;
        std::vector<BeatloomTempoPoint> found;
        std::vector<std::pair<double, double>> map;  // time and BPM of every marker after the merge
    };
    const Case cases[] = {
        {"the same tempo, as the analyser hears it", {records::tempoPoint(99.9, 130.1)}, {{0, 130}}},
        {"exactly the same tempo", {records::tempoPoint(99.9, 130)}, {{0, 130}}},
        {"another tempo", {records::tempoPoint(99.9, 128)}, {{0, 130}, {99.9, 128}, {129.8, 130}}},
        {"the same tempo, then a change", {records::tempoPoint(99.9, 129.95), records::tempoPoint(115, 140)},
         {{0, 130}, {115, 140}, {129.8, 130}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        loadResult({records::tempoPoint(0, 130)});
        auto detected = *model.result.value();
        detected.durationSeconds = 240;
        model.result.set(detected);
        model.isAnalyzing.set(true);

        BeatloomRangeAnalysisResult range;
        range.targetRange = {99.9, 129.8};
        range.tempoPoints = c.found;
        model.applyReanalyzedSelection(range, 240);
        EXPECT_FALSE(model.isAnalyzing.value());
        std::vector<std::pair<double, double>> map;
        for (const auto& point : model.editableTempoPoints.value()) map.emplace_back(point.timeSeconds, point.bpm);
        EXPECT_EQ(map, c.map);
        if (c.map.size() == 1) {
            EXPECT_TRUE(undoNames(model).empty());
            EXPECT_EQ(model.statusText.value(),
                      "Re-analyzed 99.9–129.8 s. The tempo found there is the map's tempo; nothing was changed.");
        } else {
            EXPECT_EQ(lastName(model), "Re-analyze Selection");
        }
    }
}

// ---- Re-analysis of the loaded file ----

class Reanalysis : public testing::LoadingTest {};

TEST_F(Reanalysis, TheWholeFileIsAnalysedAgainAndUndoKeepsTheNewResult) {
    loadSong(song120());
    ASSERT_TRUE(model.setManualTempo("100"));
    const auto edited = model.editableTempoPoints.value();

    model.reanalyzeTempo();
    EXPECT_TRUE(model.isAnalyzing.value());
    EXPECT_EQ(model.statusText.value(), "Re-analyzing tempo…");
    model.reanalyzeTempo();  // one at a time
    EXPECT_EQ(runner.pendingJobCount(), 1u);
    settle();

    EXPECT_FALSE(model.isAnalyzing.value());
    EXPECT_EQ(model.statusText.value(), "Tempo re-analyzed. Automatic result is active.");
    EXPECT_TRUE(model.isDetectedTempoActive());
    EXPECT_EQ(lastName(model), "Re-analyze Tempo");
    const auto reanalysed = *model.result.value();
    model.undo();
    EXPECT_EQ(model.editableTempoPoints.value(), edited);
    EXPECT_EQ(model.result.value(), reanalysed);
}

TEST_F(Reanalysis, ASelectionIsReanalysedAndMergedWithTheTempoAroundIt) {
    loadSong(song120());
    ASSERT_TRUE(model.setManualTempo("100"));
    model.setAnalysisSelection(12, 4);
    model.reanalyzeSelection();
    EXPECT_TRUE(model.isAnalyzing.value());
    EXPECT_EQ(model.statusText.value(), "Re-analyzing selected 8.0 seconds with musical context…");
    settle();

    EXPECT_FALSE(model.isAnalyzing.value());
    EXPECT_EQ(model.errorText.value(), "");
    EXPECT_EQ(model.statusText.value(), "Re-analyzed 4.0–12.0 s. Only the selected range was replaced; "
                                        "surrounding tempo sections were preserved.");
    EXPECT_EQ(lastName(model), "Re-analyze Selection");
    const auto& map = model.editableTempoPoints.value();
    EXPECT_NEAR(bpmAt(map, 2, 0), 100, 1e-9);
    EXPECT_NEAR(bpmAt(map, 8, 0), 120, 1.5);
    EXPECT_NEAR(bpmAt(map, 14, 0), 100, 1e-9);
    EXPECT_EQ(model.selectedTempoPointID.value(), governingTempoPointID(map, 4));
    EXPECT_EQ(model.analysisSelection.value(), (BeatloomTimeRange{4, 12}));
}

TEST_F(Reanalysis, ASteadySelectionOfASteadySongLeavesTheMapAsItIs) {
    loadSong(song120());
    const auto detected = model.editableTempoPoints.value();
    model.setAnalysisSelection(4, 12);
    model.reanalyzeSelection();
    settle();
    EXPECT_FALSE(model.isAnalyzing.value());
    EXPECT_EQ(model.errorText.value(), "");
    EXPECT_EQ(model.editableTempoPoints.value(), detected);
    EXPECT_TRUE(undoNames(model).empty());
}

TEST_F(Reanalysis, FailuresAndRefusedMergesLeaveTheMapAndTheResult) {
    const auto file = songFolder() / "vanishing.wav";
    std::filesystem::copy_file(song120(), file, std::filesystem::copy_options::overwrite_existing);
    loadSong(file);
    const auto state = model.captureEditorState();
    const auto detected = model.result.value();
    std::filesystem::remove(file);

    model.reanalyzeTempo();
    settle();
    EXPECT_FALSE(model.isAnalyzing.value());
    EXPECT_NE(model.errorText.value(), "");
    EXPECT_EQ(model.statusText.value(), "");
    EXPECT_EQ(model.result.value(), detected);
    EXPECT_EQ(model.captureEditorState(), state);

    model.isAnalyzing.set(true);
    model.statusText.set("Re-analyzing selected 8.0 seconds with musical context…");
    BeatloomRangeAnalysisResult outside;
    outside.targetRange = {20, 30};  // beyond the song's end
    outside.tempoPoints = {records::tempoPoint(20, 90)};
    model.applyReanalyzedSelection(outside, 16);
    EXPECT_FALSE(model.isAnalyzing.value());
    EXPECT_EQ(model.errorText.value(), "The selected range could not be merged into the tempo map.");
    EXPECT_EQ(model.statusText.value(), "");
    EXPECT_EQ(model.captureEditorState(), state);
}

TEST_F(Reanalysis, AReanalysisThatEndsAfterAnotherFileWasOpenedIsDropped) {
    loadSong(song120());
    model.setAnalysisSelection(2, 10);
    model.reanalyzeSelection();
    model.resetSession();
    settle();
    EXPECT_FALSE(model.result.value());
    EXPECT_TRUE(model.editableTempoPoints.value().empty());
    EXPECT_EQ(model.statusText.value(), "");

    loadSong(song120());
    model.reanalyzeTempo();
    model.loadAudio(song90());
    settle();
    ASSERT_TRUE(model.result.value());
    EXPECT_EQ(model.result.value()->fileName, "take.01.wav");
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
}

}  // namespace
}  // namespace corvel::session
