#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio/waveform/waveform_loader.hpp"
#include "session/loading_fixture.hpp"

namespace corvel::session {
namespace {

class FileLoading : public testing::LoadingTest {
protected:
    // Leaves something in every line, the history, the selection and the flexible timeline.
    void editTheLoadedSong() {
        model.seek(3.0);
        model.addTempoPointAtLocator();
        ASSERT_FALSE(model.editHistory().undoEntries().empty());
        model.seek(1.0);
        model.scaleSectionTempo(2);  // the marker at 3 s gets a lock that keeps its bar
        ASSERT_FALSE(model.phaseLocks.value().empty());
        model.seek(3.0);
        model.analysisSelection.set(BeatloomTimeRange{2, 9});
        model.startFreeTimeAtLocator();
        model.setZoom(4);
        model.pageFollowEnabled.set(false);
        model.freeTimeClickMode.set(BeatloomFreeTimeClickMode::anchorOnly);
        model.beginTransaction("Move Tempo Marker");
        ASSERT_TRUE(model.transactionStart());
        ASSERT_FALSE(model.timelineRegions.value().empty());
        setMessageLines("old");
        model.waveformErrorText.set("old waveform");
    }
};

TEST_F(FileLoading, AFileIsAnalysedInTheBackgroundThenItsMapIsInstalledAndItsWaveformLoaded) {
    model.setViewportPixelWidth(900);
    model.loadAudio(song120());
    EXPECT_EQ(model.selectedURL.value(), song120());
    EXPECT_TRUE(model.isAnalyzing.value());
    expectStateWithoutFile(900);
    ASSERT_EQ(runner.pendingJobCount(), 2u);  // the analysis, and the preview opening the file

    runner.runPendingJobs();
    EXPECT_FALSE(model.result.value());  // nothing is written before the main loop runs
    loop.runPostedTasks();

    ASSERT_TRUE(model.result.value()) << model.errorText.value();
    const auto& detected = *model.result.value();
    EXPECT_EQ(detected.fileName, "Click 120.wav");
    EXPECT_NEAR(detected.durationSeconds, 16, 1e-6);
    EXPECT_NEAR(detected.bpm, 120, 1.0);
    EXPECT_EQ(model.editableTempoPoints.value(), detected.tempoPoints);
    ASSERT_FALSE(detected.tempoPoints.empty());
    EXPECT_EQ(model.selectedTempoPointID.value(), detected.tempoPoints.front().id);
    ASSERT_FALSE(detected.beatPositionsSeconds.empty());
    EXPECT_EQ(model.barOneSeconds.value(), detected.beatPositionsSeconds.front());
    EXPECT_EQ(model.locatorSeconds.value(), detected.beatPositionsSeconds.front());
    EXPECT_NEAR(model.locatorSeconds.value(), 0.5, 0.03);
    EXPECT_EQ(model.statusText.value(), detected.ambiguous ? BeatloomViewModel::kDetectedAmbiguousStatus
                                                           : BeatloomViewModel::kDetectedStatus);
    EXPECT_FALSE(model.isAnalyzing.value());
    EXPECT_TRUE(model.editHistory().undoEntries().empty());  // the detected map is no edit
    EXPECT_EQ(model.viewportState.value(), (BeatloomViewportState{0.0, detected.durationSeconds, 900}));
    EXPECT_TRUE(model.isWaveformLoading.value());
    EXPECT_FALSE(model.waveformData.value());

    settle();
    EXPECT_FALSE(model.isWaveformLoading.value());
    ASSERT_TRUE(model.waveformData.value());
    EXPECT_NEAR(model.waveformData.value()->durationSeconds, 16, 1e-6);
    EXPECT_FALSE(model.waveformData.value()->maxPeaks.empty());
    EXPECT_EQ(model.waveformErrorText.value(), "");
}

TEST_F(FileLoading, ThePreviewOpensTheFileWhileItIsAnalysedAndKeepsItForEveryPlay) {
    loadSong(song120());
    EXPECT_EQ(filesOpenedForPreview, 1);
    for (int i = 0; i < 3; ++i) {
        model.togglePlayback();
        EXPECT_TRUE(playing());
        model.togglePlayback();
    }
    EXPECT_EQ(filesOpenedForPreview, 1);
    loadSong(song90());  // the next file is opened afresh
    EXPECT_EQ(filesOpenedForPreview, 2);
}

TEST_F(FileLoading, LateResultsOfASupersededLoadAreDropped) {
    // The first file's analysis comes back after the second file was opened.
    model.loadAudio(song120());
    runner.runPendingJobs();
    model.loadAudio(song90());
    loop.runPostedTasks();
    EXPECT_FALSE(model.result.value());
    EXPECT_TRUE(model.isAnalyzing.value());
    settle();
    ASSERT_TRUE(model.result.value());
    EXPECT_EQ(model.result.value()->fileName, "take.01.wav");
    EXPECT_NEAR(model.result.value()->bpm, 90, 1.0);
    ASSERT_TRUE(model.waveformData.value());

    // The first file's waveform comes back after the second file was opened.
    model.loadAudio(song120());
    runner.runPendingJobs();
    loop.runPostedTasks();
    ASSERT_TRUE(model.isWaveformLoading.value());
    ASSERT_EQ(runner.pendingJobCount(), 1u);
    model.loadAudio(song90());
    runner.runPendingJobs();  // the old waveform and the new analysis
    loop.runPostedTasks();    // the old waveform's answer, then the new result
    EXPECT_FALSE(model.waveformData.value());
    EXPECT_TRUE(model.isWaveformLoading.value());
    ASSERT_TRUE(model.result.value());
    EXPECT_EQ(model.result.value()->fileName, "take.01.wav");
    settle();
    EXPECT_FALSE(model.isWaveformLoading.value());
    EXPECT_TRUE(model.waveformData.value());
}

TEST_F(FileLoading, AFailedAnalysisShowsTheAnalysersMessageAndLoadsNoWaveform) {
    setMessageLines("old");
    model.loadAudio(shortSong());
    settle();
    EXPECT_EQ(model.errorText.value(), "Audio ist zu kurz fuer eine Musik-Tempoanalyse.");
    EXPECT_EQ(model.statusText.value(), "");
    EXPECT_FALSE(model.isAnalyzing.value());
    EXPECT_FALSE(model.result.value());
    EXPECT_EQ(model.selectedURL.value(), shortSong());
    EXPECT_FALSE(model.isWaveformLoading.value());
    EXPECT_FALSE(model.waveformData.value());

    const auto missing = songFolder() / "missing.wav";
    model.loadAudio(missing);
    settle();
    EXPECT_NE(model.errorText.value(), "");
    EXPECT_FALSE(model.result.value());
}

TEST_F(FileLoading, AWaveformFailureOnlyFillsTheWaveformLine) {
    const Error failure{audio::kWaveformErrorDomain, audio::kWaveformNotReadableCode,
                        audio::kWaveformNotReadableMessage};
    model.connectServices(runner, panels, [&](const std::filesystem::path&, double) -> BeatloomWaveformData {
        throw ErrorException(failure);
    });
    model.loadAudio(song120());
    settle();
    ASSERT_TRUE(model.result.value());
    EXPECT_EQ(model.editableTempoPoints.value(), model.result.value()->tempoPoints);
    EXPECT_NE(model.statusText.value(), "");
    EXPECT_EQ(model.errorText.value(), "");
    EXPECT_EQ(model.waveformErrorText.value(), audio::kWaveformNotReadableMessage);
    EXPECT_FALSE(model.waveformData.value());
    EXPECT_FALSE(model.isWaveformLoading.value());
}

TEST_F(FileLoading, OpeningAnotherFileForgetsEveryEditOfTheFirst) {
    model.setViewportPixelWidth(700);
    loadSong(song120());
    editTheLoadedSong();
    model.loadAudio(song90());
    EXPECT_TRUE(model.isAnalyzing.value());
    EXPECT_EQ(model.selectedURL.value(), song90());
    expectStateWithoutFile(700);
}

TEST_F(FileLoading, TheOpenPanelAsksForOneAudioFileAndACancelChangesNothing) {
    setMessageLines("kept");
    model.chooseAudioFile();
    ASSERT_EQ(panels.openRequests.size(), 1u);
    EXPECT_EQ(panels.openRequests.front().contentType, "audio");
    EXPECT_FALSE(model.selectedURL.value());
    EXPECT_EQ(model.statusText.value(), "status: kept");
    EXPECT_EQ(runner.pendingJobCount(), 0u);

    panels.openAnswer = song90();
    model.chooseAudioFile();
    EXPECT_EQ(model.selectedURL.value(), song90());
    EXPECT_TRUE(model.isAnalyzing.value());
    settle();
    ASSERT_TRUE(model.result.value());
    EXPECT_EQ(model.result.value()->fileName, "take.01.wav");
}

// ---- Reset ----

TEST_F(FileLoading, ResetForgetsTheFileAndEveryEditAndDropsAnOpenDrag) {
    model.setViewportPixelWidth(640);
    loadSong(song120());
    editTheLoadedSong();
    model.resetSession();
    EXPECT_FALSE(model.selectedURL.value());
    EXPECT_FALSE(model.isAnalyzing.value());
    expectStateWithoutFile(640);
    const auto firstID = model.meterEvents.value().front().id;
    model.resetSession();
    EXPECT_NE(model.meterEvents.value().front().id, firstID);  // a fresh 4/4 event each time
    model.undo();
    EXPECT_EQ(model.statusText.value(), "");
}

TEST_F(FileLoading, ResetAnnouncesEachValueInItsPlace) {
    loadSong(song120());
    editTheLoadedSong();
    model.isAnalyzing.set(true);
    model.analysisProgress.set(0.5);
    std::vector<std::string> announced;
    std::vector<Subscription> watches;
    const auto watch = [&](const auto& property, const char* name) {
        watches.push_back(property.subscribe([&announced, name](const auto&) { announced.push_back(name); }));
    };
    watch(model.selectedURL, "selectedURL");
    watch(model.result, "result");
    watch(model.editableTempoPoints, "editableTempoPoints");
    watch(model.meterEvents, "meterEvents");
    watch(model.barAnchors, "barAnchors");
    watch(model.phaseLocks, "phaseLocks");
    watch(model.barOneSeconds, "barOneSeconds");
    watch(model.pickupBarCount, "pickupBarCount");
    watch(model.selectedTempoPointID, "selectedTempoPointID");
    watch(model.locatorSeconds, "locatorSeconds");
    watch(model.waveformData, "waveformData");
    watch(model.isWaveformLoading, "isWaveformLoading");
    watch(model.waveformErrorText, "waveformErrorText");
    watch(model.errorText, "errorText");
    watch(model.analysisSelection, "analysisSelection");
    watch(model.isAnalyzing, "isAnalyzing");
    watch(model.analysisProgress, "analysisProgress");
    watch(model.exportStatusText, "exportStatusText");
    watch(model.statusText, "statusText");
    watch(model.gridFitAnchors, "gridFitAnchors");
    watch(model.gridFitResult, "gridFitResult");
    watch(model.lockedRanges, "lockedRanges");
    watch(model.timelineRegions, "timelineRegions");
    watch(model.rhythmicAnchors, "rhythmicAnchors");
    watch(model.freeTimeClickMode, "freeTimeClickMode");
    watch(model.editorZoom, "editorZoom");
    watch(model.pageFollowEnabled, "pageFollowEnabled");
    watch(model.viewportState, "viewportState");

    model.resetSession();
    // What the edits above left differs from the state without a file in all but these.
    const std::vector<std::string> expected{
        "selectedURL",      "result",           "editableTempoPoints", "meterEvents",       "phaseLocks",
        "barOneSeconds",    "selectedTempoPointID", "locatorSeconds",  "waveformData",      "waveformErrorText",
        "errorText",        "analysisSelection", "isAnalyzing",        "analysisProgress",  "exportStatusText",
        "statusText",       "timelineRegions",  "freeTimeClickMode",   "editorZoom",        "pageFollowEnabled",
        "viewportState"};
    EXPECT_EQ(announced, expected);
}

TEST_F(FileLoading, AnAnalysisThatEndsAfterAResetIsDropped) {
    model.loadAudio(song120());
    model.resetSession();
    EXPECT_FALSE(model.isAnalyzing.value());
    settle();
    EXPECT_FALSE(model.result.value());
    EXPECT_FALSE(model.selectedURL.value());
    EXPECT_FALSE(model.isWaveformLoading.value());
    EXPECT_EQ(model.statusText.value(), "");
}

TEST_F(FileLoading, TheAnalysisProgressReachesTheMainLoopRisingAndEndsAtCompletion) {
    // A minute of clicks, so that the analysis reports many times while it runs.
    audio::testkit::TempFolder folder("session-progress");
    const auto song = folder / "minute.wav";
    audio::testkit::writeWav(song, audio::testkit::clicks(kSongRate, 1, 60, 120, 0.8, 0.5));
    std::vector<double> published;
    const auto watch = model.analysisProgress.subscribe([&published](double f) { published.push_back(f); });

    // Reports pile up while the main loop is busy: one task takes the latest of them.
    model.loadAudio(song);
    EXPECT_EQ(model.analysisProgress.value(), 0.0);
    runner.runPendingJobs();
    EXPECT_EQ(loop.runPostedTasks(), 2u);  // the progress and the result
    EXPECT_EQ(published, (std::vector<double>{1.0}));
    ASSERT_TRUE(model.result.value()) << model.errorText.value();
    settle();

    // With the main loop turning while the analysis runs, the fraction rises step by step.
    published.clear();
    model.reanalyzeTempo();
    EXPECT_EQ(published, (std::vector<double>{0.0}));
    std::atomic<bool> done{false};
    std::thread worker([&] {
        runner.runPendingJobs();
        done = true;
    });
    while (!done) {
        loop.runPostedTasks();
        std::this_thread::yield();
    }
    worker.join();
    settle();
    EXPECT_FALSE(model.isAnalyzing.value());
    EXPECT_EQ(model.statusText.value(), BeatloomViewModel::kTempoReanalyzedStatus);
    ASSERT_GE(published.size(), 3u);
    EXPECT_TRUE(std::is_sorted(published.begin(), published.end(), std::less_equal<>()));
    EXPECT_GT(published[1], 0.0);
    EXPECT_EQ(published.back(), 1.0);

    // A reset forgets it.
    model.resetSession();
    EXPECT_EQ(model.analysisProgress.value(), 0.0);
}

}  // namespace
}  // namespace corvel::session
