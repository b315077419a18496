#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "audio/preview/preview_output.hpp"
#include "audio/test_signals.hpp"
#include "session/beatloom_view_model.hpp"
#include "support/core_records.hpp"
#include "support/manual_main_loop.hpp"

namespace corvel::session::testing {

namespace records = corvel::testing;

inline constexpr double kSongSeconds = 20.0;
inline constexpr double kRate = 8000;

// A session over a silent 20 s song, previewing into an offline device, so playback runs
// without a sound card and the test moves the play head by rendering frames.
class SessionTest : public ::testing::Test {
protected:
    SessionTest()
        : model(loop, device->outputFactory(), [this](const std::filesystem::path&) {
              ++filesOpenedForPreview;
              return std::make_unique<audio::testkit::MemorySource>(
                  audio::testkit::silence(kRate, 1, std::int64_t(kRate * kSongSeconds)));
          }) {}

    // What the analysis hands over: a result and its tempo map, as the loading flow stores them.
    void loadResult(std::vector<BeatloomTempoPoint> points, std::vector<double> beats = {}) {
        BeatloomResult detected;
        detected.fileName = "song.wav";
        detected.bpm = points.empty() ? 120 : points.front().bpm;
        detected.durationSeconds = kSongSeconds;
        detected.tempoPoints = points;
        detected.beatPositionsSeconds = std::move(beats);
        model.selectedURL.set(std::filesystem::path("song.wav"));
        model.result.set(detected);
        model.editableTempoPoints.set(std::move(points));
    }

    // Starts the preview at `from` and lets it play `playedSeconds` (the play head is stored
    // by the position timer).
    void playFor(double from, double playedSeconds) {
        model.previewPlayer().play("song.wav", model.previewClickMap(), BeatloomTimeRange{from, kSongSeconds});
        // The sources start 0.08 s after play.
        device->render(std::int64_t((0.08 + playedSeconds) * kRate));
        loop.advanceSeconds(1.0 / 30.0);
    }

    bool playing() const {
        return model.previewPlayer().transportState().value() == audio::BeatloomPreviewTransportState::playing;
    }

    std::vector<double> tempoTimes() const {
        std::vector<double> times;
        for (const auto& point : model.editableTempoPoints.value()) times.push_back(point.timeSeconds);
        return times;
    }

    std::vector<double> meterTimes() const {
        std::vector<double> times;
        for (const auto& event : model.meterEvents.value()) times.push_back(event.timeSeconds);
        return times;
    }

    void expectPositionAtLocator(std::int64_t bar, std::int64_t beat, double fraction) const {
        const auto position = model.musicalPositionAtLocator();
        ASSERT_TRUE(position);
        EXPECT_EQ(position->bar, bar);
        EXPECT_EQ(position->beat, beat);
        EXPECT_NEAR(position->fractionOfBeat, fraction, 1e-9);
    }

    // Every published value but selectedURL and isAnalyzing, and the unwatched state, as they
    // are without a file, with the viewport width the view last reported; the preview stopped.
    void expectStateWithoutFile(double pixelWidth) const {
        EXPECT_FALSE(model.result.value());
        EXPECT_TRUE(model.editableTempoPoints.value().empty());
        ASSERT_EQ(model.meterEvents.value().size(), 1u);
        const auto& meter = model.meterEvents.value().front();
        EXPECT_EQ(meter.timeSeconds, 0.0);
        EXPECT_EQ(meter.numerator, 4);
        EXPECT_EQ(meter.denominator, 4);
        EXPECT_NE(meter.id, Uuid());
        EXPECT_TRUE(model.barAnchors.value().empty());
        EXPECT_TRUE(model.phaseLocks.value().empty());
        EXPECT_FALSE(model.barOneSeconds.value());
        EXPECT_EQ(model.pickupBarCount.value(), 0);
        EXPECT_FALSE(model.selectedTempoPointID.value());
        EXPECT_EQ(model.locatorSeconds.value(), 0.0);
        EXPECT_FALSE(model.waveformData.value());
        EXPECT_FALSE(model.isWaveformLoading.value());
        for (const auto* line : {&model.statusText, &model.errorText, &model.exportStatusText, &model.waveformErrorText}) {
            EXPECT_EQ(line->value(), "");
        }
        EXPECT_FALSE(model.analysisSelection.value());
        EXPECT_TRUE(model.gridFitAnchors.value().empty());
        EXPECT_FALSE(model.gridFitResult.value());
        EXPECT_TRUE(model.lockedRanges.value().empty());
        EXPECT_TRUE(model.timelineRegions.value().empty());
        EXPECT_TRUE(model.rhythmicAnchors.value().empty());
        EXPECT_EQ(model.freeTimeClickMode.value(), BeatloomFreeTimeClickMode::off);
        EXPECT_EQ(model.editorZoom.value(), 1.0);
        EXPECT_TRUE(model.pageFollowEnabled.value());
        EXPECT_EQ(model.viewportState.value(), (BeatloomViewportState{0.0, 1.0, pixelWidth}));
        EXPECT_EQ(model.previewPlayer().transportState().value(), audio::BeatloomPreviewTransportState::stopped);
        EXPECT_TRUE(model.editHistory().undoEntries().empty());
        EXPECT_TRUE(model.editHistory().redoEntries().empty());
        EXPECT_FALSE(model.transactionStart());
        EXPECT_FALSE(model.transactionActionName());
        EXPECT_FALSE(model.playbackStartSeconds());
    }

    void setMessageLines(const std::string& text) {
        model.statusText.set("status: " + text);
        model.errorText.set("error: " + text);
        model.exportStatusText.set("export: " + text);
    }

    corvel::testing::ManualMainLoop loop;
    std::shared_ptr<audio::OfflinePreviewDevice> device = audio::OfflinePreviewDevice::make(1, 64);
    std::atomic<int> filesOpenedForPreview = 0;
    BeatloomViewModel model;
};

}  // namespace corvel::session::testing
