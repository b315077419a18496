#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "audio/test_signals.hpp"
#include "audio/waveform/waveform_loader.hpp"
#include "session/session_fixture.hpp"
#include "support/fake_file_panels.hpp"
#include "support/manual_background_runner.hpp"

namespace corvel::session::testing {

// A session connected to a hand-driven background runner and fake panels, with click-track
// songs on disk (written once per suite) and waveform peaks cached in a folder of their own.
class LoadingTest : public SessionTest {
protected:
    static constexpr double kSongRate = 22050;

    LoadingTest() {
        model.connectServices(runner, panels, [this](const std::filesystem::path& file, double duration) {
            return waveformLoader.load(file, duration);
        });
    }

    static void SetUpTestSuite() {
        songs_ = std::make_unique<audio::testkit::TempFolder>("session-loading");
        // 120 BPM from 0.5 s, and 90 BPM from 0.25 s.
        audio::testkit::writeWav(song120(), audio::testkit::clicks(kSongRate, 1, 16, 120, 0.8, 0.5));
        audio::testkit::writeWav(song90(), audio::testkit::clicks(kSongRate, 1, 16, 90, 0.8, 0.25));
        // Too short for a tempo.
        audio::testkit::writeWav(shortSong(), audio::testkit::clicks(kSongRate, 1, 2, 120));
    }
    static void TearDownTestSuite() { songs_.reset(); }

    static std::filesystem::path song120() { return *songs_ / "Click 120.wav"; }
    static std::filesystem::path song90() { return *songs_ / "take.01.wav"; }
    static std::filesystem::path shortSong() { return *songs_ / "short.wav"; }
    static std::filesystem::path songFolder() { return songs_->path(); }

    // Runs background jobs and the main-loop tasks they post until both are idle.
    void settle() {
        while (runner.runPendingJobs() + loop.runPostedTasks() > 0) {
        }
    }

    // Loads a song to the end: analysis, map installed, waveform loaded.
    void loadSong(const std::filesystem::path& file) {
        model.loadAudio(file);
        settle();
        ASSERT_TRUE(model.result.value()) << model.errorText.value();
    }

    corvel::testing::ManualBackgroundRunner runner;
    corvel::testing::FakeFilePanels panels;
    std::unique_ptr<audio::testkit::TempFolder> caches = std::make_unique<audio::testkit::TempFolder>("session-caches");
    audio::BeatloomWaveformLoader waveformLoader{caches->path()};

private:
    static inline std::unique_ptr<audio::testkit::TempFolder> songs_;
};

}  // namespace corvel::session::testing
