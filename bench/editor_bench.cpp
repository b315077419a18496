// Paint cost of the timeline viewport: each benchmark is one frame of one scenario, the real
// widget drawing offscreen at 1352 x 552 with a 1/8 grid, measured in wall-clock time.
//
// Targets:
//   - a 3-hour show: at most 4 ms per frame at any zoom (Fit Song, 4x, 16x, 64x), the window
//     moving every frame so that nothing drawn for the last window can be reused as it is;
//   - a frame where only the play head or only the locator moved: at most 1 ms;
//   - the first paint after a 3-hour song is analysed (grid, waveform levels and every other
//     cache built from nothing): at most 50 ms;
//   - all of it with Qt's default thread pool.
// The 107 s song runs the same frames for comparison.
//
// Run by hand on a Release build: build/dev/bin/corvel_editor_bench (offscreen by default).

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEvent>
#include <QFont>

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>

#include "audio/preview/preview_output.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/timeline/beatloom_timeline_viewport.hpp"
#include "session/beatloom_view_model.hpp"
#include "support/manual_main_loop.hpp"

namespace corvel::editor {
namespace {

constexpr int kWidth = 1352;
constexpr double kRate = 8000;

struct Song {
    BeatloomResult result;
    std::vector<BeatloomMeterEvent> meters;
    BeatloomWaveformData waveform;
};

// Peaks as the builder makes them: 2000 bins a second, at most 1048576 bins, a loud hit on
// every beat decaying into a noisy floor.
BeatloomWaveformData peaks(double duration, double beatSeconds, std::uint32_t seed) {
    const auto n = std::size_t(std::clamp(std::ceil(duration * 2000), 65536.0, 1048576.0));
    BeatloomWaveformData waveform;
    waveform.durationSeconds = duration;
    waveform.minPeaks.resize(n);
    waveform.maxPeaks.resize(n);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> jitter(0.05f, 0.25f);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = duration * double(i) / double(n);
        const double phase = std::fmod(t, beatSeconds) / beatSeconds;
        const float level = std::min(1.0f, float(0.9 * std::exp(-6 * phase)) + jitter(random));
        waveform.maxPeaks[i] = level;
        waveform.minPeaks[i] = -level * 0.94f;
    }
    return waveform;
}

// A live show as the analyser reports it: a song every few minutes at its own tempo, the
// tempo wandering a little every 4 s inside each song, a ramp into each new song, and a
// meter change with every song.
Song liveShow(double duration, std::uint32_t seed) {
    Song song;
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> songBPM(84, 164);
    std::uniform_real_distribution<double> drift(-0.8, 0.8);
    const std::int64_t signatures[][2] = {{4, 4}, {3, 4}, {6, 8}, {4, 4}, {12, 8}, {4, 4}, {7, 8}};
    double base = songBPM(random);
    int songIndex = 0;
    for (double t = 0; t < duration - 1; t += 4) {
        if (std::fmod(t, 240) < 4 && t > 0) {
            base = songBPM(random);
            ++songIndex;
            const auto& sig = signatures[songIndex % 7];
            song.meters.push_back(BeatloomMeterEvent{Uuid::random(), t, sig[0], sig[1]});
            if (!song.result.tempoPoints.empty()) song.result.tempoPoints.back().linearToNext = true;
        }
        song.result.tempoPoints.push_back(BeatloomTempoPoint{Uuid::random(), t, base + drift(random), 0.8, false});
    }
    song.meters.insert(song.meters.begin(), BeatloomMeterEvent{Uuid::random(), 0, 4, 4});
    song.result.fileName = "show.wav";
    song.result.bpm = song.result.tempoPoints.front().bpm;
    song.result.durationSeconds = duration;
    song.result.isVariableTempo = true;
    song.waveform = peaks(duration, 60.0 / song.result.bpm, seed);
    return song;
}

// A 107 s song at a steady 124 BPM, detected with a point every 8 s.
Song shortSong(std::uint32_t seed) {
    Song song;
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> drift(-0.3, 0.3);
    for (double t = 0; t < 106; t += 8) {
        song.result.tempoPoints.push_back(BeatloomTempoPoint{Uuid::random(), t, 124 + drift(random), 0.9, false});
    }
    song.meters = {BeatloomMeterEvent{Uuid::random(), 0, 4, 4}};
    song.result.fileName = "song.wav";
    song.result.bpm = 124;
    song.result.durationSeconds = 107;
    song.waveform = peaks(107, 60.0 / 124, seed);
    return song;
}

const Song& threeHourShow() {
    static const Song song = liveShow(3 * 3600, 7);
    return song;
}

const Song& song107() {
    static const Song song = shortSong(7);
    return song;
}

// Silence of a given length, made as it is read, so that a 3-hour preview costs no memory.
class SilentSource final : public audio::AudioSource {
public:
    explicit SilentSource(std::int64_t frames) : frames_(frames) {}
    double sampleRate() const override { return kRate; }
    std::uint32_t channelCount() const override { return 1; }
    std::int64_t length() const override { return frames_; }
    std::int64_t framePosition() const override { return position_; }
    void setFramePosition(std::int64_t frame) override { position_ = std::clamp<std::int64_t>(frame, 0, frames_); }
    void read(audio::AudioBuffer& buffer, std::uint32_t frameCount) override {
        const std::int64_t n = std::min<std::int64_t>({frameCount, buffer.frameCapacity(), frames_ - position_});
        for (std::uint32_t ch = 0; ch < buffer.channelCount(); ++ch) {
            std::fill_n(buffer.channel(ch), std::max<std::int64_t>(n, 0), 0.0f);
        }
        buffer.setFrameLength(std::uint32_t(std::max<std::int64_t>(n, 0)));
        position_ += std::max<std::int64_t>(n, 0);
    }

private:
    std::int64_t frames_;
    std::int64_t position_ = 0;
};

// Counts the paint events the viewport receives.
class PaintCounter final : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

// One session with its viewport shown on the offscreen screen.
class Stage {
public:
    explicit Stage(const Song& song)
        : duration_(song.result.durationSeconds),
          model_(loop_, device_->outputFactory(), [this](const std::filesystem::path&) {
              return std::make_unique<SilentSource>(std::int64_t(duration_ * kRate));
          }) {
        viewport_ = std::make_unique<BeatloomTimelineViewport>(model_, model_.previewPlayer(), ui_);
        viewport_->installEventFilter(&counter_);
        viewport_->resize(kWidth, viewport_->height());
        viewport_->show();
        install(song);
        frame();
    }

    // Publishes the song as the session does after an analysis and a waveform load; the
    // peaks are moved in, as the loading task hands them over.
    void install(Song song) {
        duration_ = song.result.durationSeconds;
        model_.selectedURL.set(std::filesystem::path(song.result.fileName));
        model_.editableTempoPoints.set(song.result.tempoPoints);
        model_.meterEvents.set(std::move(song.meters));
        model_.result.set(std::move(song.result));
        model_.waveformData.set(std::move(song.waveform));
        model_.resetZoom();
    }

    // Lets the published changes reach the viewport and the window system paint it; false when
    // nothing was painted.
    bool frame() {
        const int before = counter_.paints;
        for (int i = 0; i < 3 && counter_.paints == before; ++i) QCoreApplication::processEvents();
        return counter_.paints != before;
    }

    void showWindow(double start, double length) {
        model_.viewportState.set(session::BeatloomViewportState{start, length, double(kWidth)});
    }

    session::BeatloomViewModel& model() { return model_; }
    testing::ManualMainLoop& loop() { return loop_; }
    audio::OfflinePreviewDevice& device() { return *device_; }
    double duration() const { return duration_; }

private:
    double duration_;
    testing::ManualMainLoop loop_;
    std::shared_ptr<audio::OfflinePreviewDevice> device_ = audio::OfflinePreviewDevice::make(1, 256);
    session::BeatloomViewModel model_;
    BeatloomEditorUIState ui_;
    PaintCounter counter_;
    std::unique_ptr<BeatloomTimelineViewport> viewport_;
};

bool paintedOrReport(benchmark::State& state, bool painted) {
    if (!painted) state.SkipWithError("the viewport painted nothing");
    return painted;
}

// One frame at a zoom: the window moves every frame (as while scrolling or following the
// play head), alternating between two positions about 37 pixels apart.
void zoomFrame(benchmark::State& state, const Song& song, double zoom) {
    Stage stage(song);
    const double length = zoom <= 1 ? stage.model().viewportState.value().visibleDurationSeconds
                                    : stage.duration() / zoom;
    const double start = zoom <= 1 ? 0 : stage.duration() * 0.41;
    const double step = length * 37 / kWidth;
    int i = 0;
    for (auto _ : state) {
        stage.showWindow(start + double(++i % 2) * step, length);
        if (!paintedOrReport(state, stage.frame())) break;
    }
}

// Plays from the locator with the window held still (page follow off); the sources start a
// little after play, so the play head is first let get going.
void playInStillWindow(Stage& stage, double start, double length) {
    auto& model = stage.model();
    model.stopPreview(true);
    model.startPreviewPlayback();
    model.pageFollowEnabled.set(false);
    stage.showWindow(start, length);
    stage.device().render(std::int64_t(kRate / 5));
    stage.loop().advanceSeconds(0.2);
    stage.frame();
}

// A frame in which only the play head moved: playing, the window still.
void playHeadFrame(benchmark::State& state, const Song& song) {
    Stage stage(song);
    auto& model = stage.model();
    const double start = stage.duration() * 0.4;
    const double length = stage.duration() / 16;
    stage.showWindow(start, length);
    model.locatorSeconds.set(start + 0.1 * length);
    playInStillWindow(stage, start, length);
    for (auto _ : state) {
        state.PauseTiming();
        // Back to the locator before the play head leaves the window.
        if (model.previewPlayer().currentPlaybackSeconds().value() > start + 0.9 * length) {
            playInStillWindow(stage, start, length);
        }
        stage.device().render(std::int64_t(kRate / 30));
        state.ResumeTiming();
        stage.loop().advanceSeconds(1.0 / 30.0);  // the position timer publishes the play head
        if (!paintedOrReport(state, stage.frame())) break;
    }
    model.stopPreview(false);
}

// A frame in which only the locator moved, by a few pixels each time.
void locatorFrame(benchmark::State& state, const Song& song) {
    Stage stage(song);
    const double start = stage.duration() * 0.4;
    const double length = stage.duration() / 16;
    stage.showWindow(start, length);
    stage.frame();
    int i = 0;
    for (auto _ : state) {
        stage.model().locatorSeconds.set(start + length * (0.3 + 0.01 * (i++ % 20)));
        if (!paintedOrReport(state, stage.frame())) break;
    }
}

// The first paint after an analysis: a new result, map and waveform reach a viewport that
// has drawn another song before, so that every cache starts from nothing.
void firstPaintAfterAnalysis(benchmark::State& state, bool longSong) {
    const Song songs[2] = {longSong ? liveShow(3 * 3600, 11) : shortSong(11),
                           longSong ? liveShow(3 * 3600, 12) : shortSong(12)};
    Stage stage(songs[0]);
    int i = 1;
    for (auto _ : state) {
        state.PauseTiming();
        Song next = songs[i++ % 2];
        state.ResumeTiming();
        stage.install(std::move(next));
        if (!paintedOrReport(state, stage.frame())) break;
    }
}

void BM_ThreeHour_FitSong(benchmark::State& s) { zoomFrame(s, threeHourShow(), 1); }
void BM_ThreeHour_Zoom4x(benchmark::State& s) { zoomFrame(s, threeHourShow(), 4); }
void BM_ThreeHour_Zoom16x(benchmark::State& s) { zoomFrame(s, threeHourShow(), 16); }
void BM_ThreeHour_Zoom64x(benchmark::State& s) { zoomFrame(s, threeHourShow(), 64); }
void BM_ThreeHour_PlayHeadOnly(benchmark::State& s) { playHeadFrame(s, threeHourShow()); }
void BM_ThreeHour_LocatorOnly(benchmark::State& s) { locatorFrame(s, threeHourShow()); }
void BM_ThreeHour_FirstPaintAfterAnalysis(benchmark::State& s) { firstPaintAfterAnalysis(s, true); }
void BM_Song107s_FitSong(benchmark::State& s) { zoomFrame(s, song107(), 1); }
void BM_Song107s_Zoom4x(benchmark::State& s) { zoomFrame(s, song107(), 4); }
void BM_Song107s_Zoom16x(benchmark::State& s) { zoomFrame(s, song107(), 16); }
void BM_Song107s_Zoom64x(benchmark::State& s) { zoomFrame(s, song107(), 64); }
void BM_Song107s_PlayHeadOnly(benchmark::State& s) { playHeadFrame(s, song107()); }
void BM_Song107s_LocatorOnly(benchmark::State& s) { locatorFrame(s, song107()); }
void BM_Song107s_FirstPaintAfterAnalysis(benchmark::State& s) { firstPaintAfterAnalysis(s, false); }

#define TIMELINE_FRAME(name) BENCHMARK(name)->UseRealTime()->Unit(benchmark::kMillisecond)
TIMELINE_FRAME(BM_ThreeHour_FitSong);
TIMELINE_FRAME(BM_ThreeHour_Zoom4x);
TIMELINE_FRAME(BM_ThreeHour_Zoom16x);
TIMELINE_FRAME(BM_ThreeHour_Zoom64x);
TIMELINE_FRAME(BM_ThreeHour_PlayHeadOnly);
TIMELINE_FRAME(BM_ThreeHour_LocatorOnly);
TIMELINE_FRAME(BM_ThreeHour_FirstPaintAfterAnalysis);
TIMELINE_FRAME(BM_Song107s_FitSong);
TIMELINE_FRAME(BM_Song107s_Zoom4x);
TIMELINE_FRAME(BM_Song107s_Zoom16x);
TIMELINE_FRAME(BM_Song107s_Zoom64x);
TIMELINE_FRAME(BM_Song107s_PlayHeadOnly);
TIMELINE_FRAME(BM_Song107s_LocatorOnly);
TIMELINE_FRAME(BM_Song107s_FirstPaintAfterAnalysis);

}  // namespace
}  // namespace corvel::editor

// The widgets need an application object; they draw on the offscreen platform unless the
// caller asks for another, with one pinned font.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
