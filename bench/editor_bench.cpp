// Paint cost of the timeline viewport: each benchmark is one frame of one scenario, the real
// widget drawing offscreen, measured in wall-clock time.
//
// The bare viewport (1352 x 552, 1/8 grid) on an analysed 3-hour show:
//   - at most 4 ms per frame at any zoom (Fit Song, 4x, 16x, 64x), the window moving every
//     frame so that nothing drawn for the last window can be reused as it is;
//   - a frame where only the play head or only the locator moved: at most 1 ms;
//   - the first paint after a 3-hour song is analysed (grid, waveform levels and every other
//     cache built from nothing): at most 50 ms;
//   - all of it with Qt's default thread pool.
// The 107 s song runs the same frames for comparison.
//
// The application's window (1420 x 920 and 1920 x 1080, the tempo editor showing) on a 3-hour
// show as a user builds it (about 200 tempo markers, ramps, meter changes, locked downbeats and
// 14 Free Time and Rubato regions with their anchors), 60 frames each:
//   - every zoom: median at most 4 ms, worst at most 8 ms;
//   - a frame where only the play head moved, at every zoom (and on the 107 s song at 4x and
//     16x): at most 1 ms;
//   - an edit of a tempo marker (add, move, delete, undo, a typed BPM) to the frame that shows
//     it: at most 16 ms, with the Advanced Tempo Map closed as it starts and open.
// Beside the wall-clock median and worst, the main thread's processor time per frame: on a
// machine busy with other work the wall-clock worst shows the machine as much as the frame.
//
// Run by hand on a Release build: build/dev/bin/corvel_editor_bench (offscreen by default).
// With --screenshots=FOLDER it saves pictures of the window at every zoom instead.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFont>
#include <QStyleFactory>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>

#include <time.h>

#include "app/app_model.hpp"
#include "app/orvanta_voduve_corvel_app.hpp"
#include "audio/preview/preview_output.hpp"
#include "common/format.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/beatloom_view.hpp"
#include "editor/timeline/beatloom_timeline_viewport.hpp"
#include "editor/timeline/widget_backdrop.hpp"
#include "session/beatloom_view_model.hpp"
#include "support/fake_file_panels.hpp"
#include "support/manual_main_loop.hpp"
#include "support/paint_counter.hpp"
#include "theme/orvanta_theme.hpp"

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

using testing::PaintCounter;

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

// Frames at a zoom: the window moves every frame (as while scrolling or following the play
// head), alternating between two positions about 37 pixels apart of a timeline `widthPixels`
// wide. Fit Song starts at `fitStart`. `timed` runs a frame and returns whether it painted.
template <typename AnyStage, typename Timed>
void zoomFrames(benchmark::State& state, AnyStage& stage, double zoom, double widthPixels, double fitStart,
                Timed&& timed) {
    const double length = zoom <= 1 ? stage.model().viewportState.value().visibleDurationSeconds
                                    : stage.duration() / zoom;
    const double start = zoom <= 1 ? fitStart : stage.duration() * 0.41;
    const double step = length * 37 / widthPixels;
    int i = 0;
    for (auto _ : state) {
        const bool painted = timed([&] {
            stage.showWindow(start + double(++i % 2) * step, length);
            return stage.frame();
        });
        if (!paintedOrReport(state, painted)) break;
    }
}

// One frame of the viewport at a zoom.
void zoomFrame(benchmark::State& state, const Song& song, double zoom) {
    Stage stage(song);
    zoomFrames(state, stage, zoom, kWidth, 0, [](auto&& frame) { return frame(); });
}

// Plays from the locator with the window held still (page follow off); the sources start a
// little after play, so the play head is first let get going.
template <typename AnyStage>
void playInStillWindow(AnyStage& stage, double start, double length) {
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

// ---- A show as a user builds it, painted inside the application's window ----

// A 3-hour set of 45 songs of 4 minutes, from an analysis that found each song's tempo, then
// edited as a user does it with the session's own operations: three tempo changes typed into
// every song, ramps into every third song, a meter change in every fourth, two locked
// downbeats per song, two markers 1.25 s apart in one song, and 14 regions, Free Time and
// Rubato in turn, with their anchors, each ended by Rejoin Grid. Built once; every stage gets
// the result, the waveform and the edited state.
struct UserShow {
    BeatloomResult result;
    BeatloomWaveformData waveform;
    BeatloomEditorState state;
};

constexpr double kShowSeconds = 3 * 3600;
constexpr double kShowSongSeconds = 240;
constexpr int kShowRegions = 14;

// Where the show has a Free Time region ending with Rejoin Grid, and its pair of close markers.
constexpr double kFirstRejoinSeconds = kShowSongSeconds + 220;
constexpr double kCloseMarkersSeconds = 5 * kShowSongSeconds + 110;

std::unique_ptr<audio::AudioSource> silence(double seconds) {
    return std::make_unique<SilentSource>(std::int64_t(seconds * kRate));
}

UserShow buildUserShow() {
    UserShow show;
    std::mt19937 random(21);
    std::uniform_real_distribution<double> songBPM(84, 164);
    std::uniform_real_distribution<double> drift(-3, 3);
    auto& result = show.result;
    for (double t = 0; t < kShowSeconds - 1; t += kShowSongSeconds) {
        result.tempoPoints.push_back(BeatloomTempoPoint{Uuid::random(), t, std::round(songBPM(random)), 0.8, false});
    }
    result.fileName = "show.wav";
    result.bpm = result.tempoPoints.front().bpm;
    result.durationSeconds = kShowSeconds;
    result.isVariableTempo = true;
    show.waveform = peaks(kShowSeconds, 0.5, 21);

    testing::ManualMainLoop loop;
    const auto device = audio::OfflinePreviewDevice::make(1, 256);
    session::BeatloomViewModel model(loop, device->outputFactory(),
                                     [](const std::filesystem::path&) { return silence(kShowSeconds); });
    model.selectedURL.set(std::filesystem::path(result.fileName));
    model.editableTempoPoints.set(result.tempoPoints);
    model.meterEvents.set({BeatloomMeterEvent{Uuid::random(), 0, 4, 4}});
    model.result.set(result);
    model.waveformData.set(show.waveform);

    int refusals = 0;
    const auto checked = [&] {
        if (model.errorText.value().empty()) return;
        ++refusals;
        model.errorText.set("");
    };
    // The locator goes where the user clicks: onto the nearest beat.
    const auto at = [&](double t) {
        model.seek(model.nearestGridTime(BeatloomGridResolution::quarter, t).value_or(t));
    };
    const auto addTempo = [&](double t, double bpm) {
        at(t);
        model.addTempoPointAtLocator();
        checked();
        if (const auto id = model.selectedTempoPointID.value()) model.setTempoPointBPM(*id, formatFixed(bpm, 1));
        checked();
    };
    const std::int64_t signatures[][2] = {{3, 4}, {6, 8}, {4, 4}, {7, 8}};
    int regions = 0;
    for (int song = 0; song * kShowSongSeconds < kShowSeconds - 1; ++song) {
        const double start = song * kShowSongSeconds;
        const double bpm = result.tempoPoints[std::size_t(song)].bpm;
        for (const double offset : {50.0, 110.0, 170.0}) addTempo(start + offset, bpm + drift(random));
        if (start + 110 == kCloseMarkersSeconds) addTempo(start + 111.25, bpm + 12);
        if (song % 3 == 2 && start + kShowSongSeconds < kShowSeconds) {
            // A ramp from the song's last change into the next song.
            at(start + 170);
            model.addTempoPointAtLocator();
            if (const auto id = model.selectedTempoPointID.value()) model.setTempoTransition(*id, true);
            checked();
        }
        if (song % 4 == 1) {
            at(start);
            model.setTimeSignatureAtLocator(signatures[song % 4][0], signatures[song % 4][1]);
            checked();
        }
        for (const double offset : {30.0, 140.0}) {
            at(start + offset);
            model.lockDownbeatAtLocator();
            checked();
        }
        if (song % 3 == 1 && regions < kShowRegions) {
            if (regions++ % 2 == 0) {
                at(start + 200);
                model.startFreeTimeAtLocator();
                // Inside the region there is no metered grid to snap to.
                for (const double offset : {205.0, 212.0}) {
                    model.seek(start + offset);
                    model.addRhythmicAnchorAtLocator();
                    checked();
                }
            } else {
                at(start + 200);
                model.startRubatoAtLocator();
                for (const double offset : {201.0, 203.0, 205.0}) {
                    model.seek(start + offset);
                    model.addRhythmicAnchorAtLocator();
                    checked();
                }
            }
            checked();
            model.seek(start + 220);
            model.rejoinGridAtLocator(std::nullopt, std::nullopt, std::nullopt, std::nullopt);
            checked();
        }
    }
    show.state = model.captureEditorState();
    std::fprintf(stderr,
                 "user show: %zu tempo markers (%zu ramps), %zu meter events, %zu locked downbeats, %zu regions, "
                 "%zu rhythmic anchors, %d refused operations\n",
                 show.state.tempoPoints.size(),
                 std::size_t(std::count_if(show.state.tempoPoints.begin(), show.state.tempoPoints.end(),
                                           [](const BeatloomTempoPoint& p) { return p.linearToNext; })),
                 show.state.meterEvents.size(), show.state.barAnchors.size(), show.state.timelineRegions.size(),
                 show.state.rhythmicAnchors.size(), refusals);
    return show;
}

const UserShow& userShow() {
    static const UserShow show = buildUserShow();
    return show;
}

// The 107 s song as analysed, for the window.
const UserShow& shortSongShow() {
    static const UserShow show = [] {
        UserShow made;
        Song song = shortSong(7);
        made.state.tempoPoints = song.result.tempoPoints;
        made.state.meterEvents = song.meters;
        made.result = std::move(song.result);
        made.waveform = std::move(song.waveform);
        return made;
    }();
    return show;
}

// The application's window with the tempo editor showing the user's show; the session runs on
// a main loop of its own so that the play head moves only when a frame asks it to.
class WindowStage {
public:
    WindowStage(const UserShow& show, QSize windowSize) : duration_(show.result.durationSeconds) {
        app_ = std::make_unique<app::AppModel>(
            [this](platform::MainLoop&) {
                return std::make_unique<session::BeatloomViewModel>(
                    loop_, device_->outputFactory(), [this](const std::filesystem::path&) { return silence(duration_); });
            },
            std::make_unique<testing::FakeFilePanels>());
        window_ = app::OrvantaVoduveCorvelApp::makeWindow(*app_);
        window_->resize(windowSize);
        window_->show();
        app_->setSelectedSection(app::AppModel::Section::beatloom);

        auto& session = model();
        session.selectedURL.set(std::filesystem::path(show.result.fileName));
        session.result.set(show.result);
        session.waveformData.set(show.waveform);
        session.restoreEditorState(show.state);
        session.resetZoom();
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
        // The editor's widgets carry no meta-object of their own: found by their C++ type.
        for (QWidget* widget : window_->findChildren<QWidget*>()) {
            if (auto* timeline = dynamic_cast<BeatloomTimelineViewport*>(widget)) timeline_ = timeline;
            if (auto* screen = dynamic_cast<BeatloomView*>(widget)) screen_ = screen;
        }
        if (timeline_ == nullptr || screen_ == nullptr) std::abort();
        timeline_->installEventFilter(&counter_);
        session.resetZoom();
        // Once laid out the timeline paints over a picture of what lies beneath it.
        for (int i = 0; i < 20 && timeline_->backdrop().picture() == nullptr; ++i) QCoreApplication::processEvents();
        frame();
    }

    ~WindowStage() {
        model().stopPreview(false);
        window_.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Lets the published changes reach the window and the window system paint the timeline;
    // false when the timeline was not painted.
    bool frame() {
        const int before = counter_.paints;
        for (int i = 0; i < 4 && counter_.paints == before; ++i) QCoreApplication::processEvents();
        return counter_.paints != before;
    }
    // Whatever the last frame left queued (a layout, a deferred deletion).
    void drain() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }

    void showWindow(double start, double length) {
        model().viewportState.set(session::BeatloomViewportState{start, length, double(timeline_->width())});
    }

    session::BeatloomViewModel& model() { return app_->beatloomSession(); }
    testing::ManualMainLoop& loop() { return loop_; }
    audio::OfflinePreviewDevice& device() { return *device_; }
    double duration() const { return duration_; }
    BeatloomTimelineViewport& timeline() { return *timeline_; }
    BeatloomView& screen() { return *screen_; }
    QWidget& window() { return *window_; }

private:
    double duration_;
    testing::ManualMainLoop loop_;
    std::shared_ptr<audio::OfflinePreviewDevice> device_ = audio::OfflinePreviewDevice::make(1, 256);
    std::unique_ptr<app::AppModel> app_;
    std::unique_ptr<QWidget> window_;
    BeatloomTimelineViewport* timeline_ = nullptr;
    BeatloomView* screen_ = nullptr;
    PaintCounter counter_;
};

constexpr QSize kNarrowWindow{1420, 920};
constexpr QSize kWideWindow{1920, 1080};

// The time of each measured frame, reported as its median and its worst beside the mean; the
// same for the main thread's processor time, which other loads on the machine do not inflate
// (the frames run on the main thread alone).
class FrameTimes {
public:
    template <typename Frame>
    bool time(Frame&& frame) {
        const auto begin = std::chrono::steady_clock::now();
        const double cpuBegin = threadSeconds();
        const bool painted = frame();
        cpu_.push_back((threadSeconds() - cpuBegin) * 1000);
        wall_.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
        return painted;
    }
    void report(benchmark::State& state) {
        if (wall_.empty()) return;
        std::sort(wall_.begin(), wall_.end());
        std::sort(cpu_.begin(), cpu_.end());
        state.counters["median_ms"] = wall_[wall_.size() / 2];
        state.counters["worst_ms"] = wall_.back();
        state.counters["median_cpu_ms"] = cpu_[cpu_.size() / 2];
        state.counters["worst_cpu_ms"] = cpu_.back();
    }

private:
    static double threadSeconds() {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
    }
    std::vector<double> wall_;
    std::vector<double> cpu_;
};

// The window at a zoom, as zoomFrame; Fit Song shows the whole show.
void windowZoomFrame(benchmark::State& state, QSize size, double zoom) {
    WindowStage stage(userShow(), size);
    FrameTimes times;
    zoomFrames(state, stage, zoom, stage.timeline().width(), stage.model().viewportState.value().visibleStartSeconds,
               [&](auto&& frame) { return times.time(frame); });
    times.report(state);
}

// Play-head frames in the window at a zoom, the window still.
void windowPlayHeadFrame(benchmark::State& state, QSize size, double zoom, const UserShow& show = userShow()) {
    WindowStage stage(show, size);
    auto& model = stage.model();
    const double length = zoom <= 1 ? stage.duration() : stage.duration() / zoom;
    const double start = zoom <= 1 ? 0 : stage.duration() * 0.4;
    // Far enough into the window that the play head moves at least a pixel a frame at every zoom.
    const double from = start + 0.1 * length;
    const double until = start + 0.9 * length;
    const auto restart = [&] {
        model.stopPreview(true);
        model.seek(from);
        playInStillWindow(stage, start, length);
        stage.drain();
    };
    stage.showWindow(start, length);
    restart();
    // At Fit Song a frame's 1/30 s moves the play head by less than a pixel: it plays faster.
    const double frameSeconds = std::max(1.0 / 30.0, 1.5 * length / stage.timeline().width());
    FrameTimes times;
    for (auto _ : state) {
        state.PauseTiming();
        if (model.previewPlayer().currentPlaybackSeconds().value() > until) restart();
        stage.device().render(std::int64_t(kRate * frameSeconds));
        state.ResumeTiming();
        const bool painted = times.time([&] {
            stage.loop().advanceSeconds(frameSeconds);  // the position timer publishes the play head
            return stage.frame();
        });
        if (!paintedOrReport(state, painted)) break;
    }
    times.report(state);
    model.stopPreview(false);
}

enum class MapEdit { add, move, remove, undo, typeBPM };

// One edit of a tempo marker and the frame that shows it, at 16x; with the Advanced Tempo Map
// open or closed. What sets up each edit and puts the show back afterwards is not timed.
void editToFrame(benchmark::State& state, MapEdit edit, bool mapOpen) {
    WindowStage stage(userShow(), kNarrowWindow);
    auto& model = stage.model();
    stage.screen().setShowAdvancedTempoMap(mapOpen);
    const double length = stage.duration() / 16;
    const double start = stage.duration() * 0.41;
    stage.showWindow(start, length);
    stage.frame();
    stage.drain();
    // Places between the show's own markers, a new one each time.
    int i = 0;
    const auto nextPlace = [&] { return start + length * (0.2 + 0.6 * double(i++ % 97) / 97.0) + 0.37; };
    const auto addMarker = [&] {
        model.seek(nextPlace());
        model.addTempoPointAtLocator();
        stage.frame();
        stage.drain();
        return *model.selectedTempoPointID.value();
    };
    std::optional<Uuid> moving;
    double movingFrom = 0;
    if (edit == MapEdit::move || edit == MapEdit::typeBPM) {
        moving = addMarker();
        for (const auto& point : model.editableTempoPoints.value()) {
            if (point.id == *moving) movingFrom = point.timeSeconds;
        }
    }
    bool away = false;
    FrameTimes times;
    for (auto _ : state) {
        state.PauseTiming();
        std::optional<Uuid> added;
        if (edit == MapEdit::remove || edit == MapEdit::undo) added = addMarker();
        else if (edit == MapEdit::add) model.seek(nextPlace());
        stage.frame();
        stage.drain();
        state.ResumeTiming();
        const bool painted = times.time([&] {
            switch (edit) {
                case MapEdit::add: model.addTempoPointAtLocator(); break;
                case MapEdit::move: model.moveTempoPoint(*moving, movingFrom + ((away = !away) ? 0.5 : 0.0)); break;
                case MapEdit::remove: model.deleteTempoPoint(*added); break;
                case MapEdit::undo: model.undo(); break;
                case MapEdit::typeBPM: model.setTempoPointBPM(*moving, formatFixed((away = !away) ? 101 : 100, 1)); break;
            }
            return stage.frame();
        });
        if (!paintedOrReport(state, painted)) break;
        state.PauseTiming();
        stage.drain();
        if (edit == MapEdit::add) {
            model.undo();
            stage.frame();
            stage.drain();
        }
        state.ResumeTiming();
    }
    times.report(state);
}

// Pictures of the window for the eye: Fit Song and every zoom, at 64x around the first Rejoin
// Grid and around the two markers 1.25 s apart, and with the locator on a bar line.
void takeScreenshots(const QString& folder) {
    QDir().mkpath(folder);
    for (const QSize size : {kNarrowWindow, kWideWindow}) {
        WindowStage stage(userShow(), size);
        const double d = stage.duration();
        struct Shot {
            const char* name;
            double start;
            double length;
            bool locatorOnBar = false;  // the locator on the bar line nearest the middle
        };
        const Shot shots[] = {
            {"fit", stage.model().viewportState.value().visibleStartSeconds,
             stage.model().viewportState.value().visibleDurationSeconds},
            {"4x", d * 0.41, d / 4},
            {"16x", d * 0.41, d / 16},
            {"64x", d * 0.41, d / 64},
            {"64x-rejoin", kFirstRejoinSeconds - d / 64 / 2, d / 64},
            {"64x-close-markers", kCloseMarkersSeconds - d / 64 / 3, d / 64},
            {"1024x-rejoin", kFirstRejoinSeconds - d / 1024 / 2, d / 1024},
            {"16x-locator-on-bar", d * 0.41, d / 16, true},
            {"64x-locator-on-bar", d * 0.41, d / 64, true},
            {"256x-locator-on-bar", d * 0.41, d / 256, true},
        };
        for (const auto& shot : shots) {
            double locator = shot.start + shot.length * 0.5;
            if (shot.locatorOnBar) {
                std::optional<double> nearest;
                for (const auto& line : stage.timeline().songLines()) {
                    if (line.kind != BeatloomTimeline::GridKind::bar) continue;
                    if (!nearest || std::fabs(line.timeSeconds - locator) < std::fabs(*nearest - locator)) {
                        nearest = line.timeSeconds;
                    }
                }
                if (nearest) locator = *nearest;
            }
            stage.model().seek(locator);
            stage.showWindow(shot.start, shot.length);
            stage.frame();
            stage.drain();
            const QString name = QStringLiteral("%1/show-%2-%3").arg(folder).arg(size.width()).arg(shot.name);
            stage.window().grab().save(name + QStringLiteral(".png"));
            stage.timeline().grab().save(name + QStringLiteral("-timeline.png"));
        }
    }
}

void BM_Window1420_FitSong(benchmark::State& s) { windowZoomFrame(s, kNarrowWindow, 1); }
void BM_Window1420_Zoom4x(benchmark::State& s) { windowZoomFrame(s, kNarrowWindow, 4); }
void BM_Window1420_Zoom16x(benchmark::State& s) { windowZoomFrame(s, kNarrowWindow, 16); }
void BM_Window1420_Zoom64x(benchmark::State& s) { windowZoomFrame(s, kNarrowWindow, 64); }
void BM_Window1920_FitSong(benchmark::State& s) { windowZoomFrame(s, kWideWindow, 1); }
void BM_Window1920_Zoom4x(benchmark::State& s) { windowZoomFrame(s, kWideWindow, 4); }
void BM_Window1920_Zoom16x(benchmark::State& s) { windowZoomFrame(s, kWideWindow, 16); }
void BM_Window1920_Zoom64x(benchmark::State& s) { windowZoomFrame(s, kWideWindow, 64); }
void BM_Window1420_PlayHeadOnly_FitSong(benchmark::State& s) { windowPlayHeadFrame(s, kNarrowWindow, 1); }
void BM_Window1420_PlayHeadOnly_Zoom4x(benchmark::State& s) { windowPlayHeadFrame(s, kNarrowWindow, 4); }
void BM_Window1420_PlayHeadOnly_Zoom16x(benchmark::State& s) { windowPlayHeadFrame(s, kNarrowWindow, 16); }
void BM_Window1420_PlayHeadOnly_Zoom64x(benchmark::State& s) { windowPlayHeadFrame(s, kNarrowWindow, 64); }
void BM_Window1920_PlayHeadOnly_FitSong(benchmark::State& s) { windowPlayHeadFrame(s, kWideWindow, 1); }
void BM_Window1920_PlayHeadOnly_Zoom4x(benchmark::State& s) { windowPlayHeadFrame(s, kWideWindow, 4); }
void BM_Window1920_PlayHeadOnly_Zoom16x(benchmark::State& s) { windowPlayHeadFrame(s, kWideWindow, 16); }
void BM_Window1920_PlayHeadOnly_Zoom64x(benchmark::State& s) { windowPlayHeadFrame(s, kWideWindow, 64); }
void BM_Window1420_Song107s_PlayHeadOnly_Zoom4x(benchmark::State& s) {
    windowPlayHeadFrame(s, kNarrowWindow, 4, shortSongShow());
}
void BM_Window1420_Song107s_PlayHeadOnly_Zoom16x(benchmark::State& s) {
    windowPlayHeadFrame(s, kNarrowWindow, 16, shortSongShow());
}
void BM_Edit_AddMarker(benchmark::State& s) { editToFrame(s, MapEdit::add, false); }
void BM_Edit_MoveMarker(benchmark::State& s) { editToFrame(s, MapEdit::move, false); }
void BM_Edit_DeleteMarker(benchmark::State& s) { editToFrame(s, MapEdit::remove, false); }
void BM_Edit_Undo(benchmark::State& s) { editToFrame(s, MapEdit::undo, false); }
void BM_Edit_TypeBPM(benchmark::State& s) { editToFrame(s, MapEdit::typeBPM, false); }
void BM_EditMapOpen_AddMarker(benchmark::State& s) { editToFrame(s, MapEdit::add, true); }
void BM_EditMapOpen_MoveMarker(benchmark::State& s) { editToFrame(s, MapEdit::move, true); }
void BM_EditMapOpen_DeleteMarker(benchmark::State& s) { editToFrame(s, MapEdit::remove, true); }
void BM_EditMapOpen_Undo(benchmark::State& s) { editToFrame(s, MapEdit::undo, true); }
void BM_EditMapOpen_TypeBPM(benchmark::State& s) { editToFrame(s, MapEdit::typeBPM, true); }

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

// 60 frames each, as the show's figures are read: median and worst beside the mean.
#define WINDOW_FRAME(name) BENCHMARK(name)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(60)
WINDOW_FRAME(BM_Window1420_FitSong);
WINDOW_FRAME(BM_Window1420_Zoom4x);
WINDOW_FRAME(BM_Window1420_Zoom16x);
WINDOW_FRAME(BM_Window1420_Zoom64x);
WINDOW_FRAME(BM_Window1920_FitSong);
WINDOW_FRAME(BM_Window1920_Zoom4x);
WINDOW_FRAME(BM_Window1920_Zoom16x);
WINDOW_FRAME(BM_Window1920_Zoom64x);
WINDOW_FRAME(BM_Window1420_PlayHeadOnly_FitSong);
WINDOW_FRAME(BM_Window1420_PlayHeadOnly_Zoom4x);
WINDOW_FRAME(BM_Window1420_PlayHeadOnly_Zoom16x);
WINDOW_FRAME(BM_Window1420_PlayHeadOnly_Zoom64x);
WINDOW_FRAME(BM_Window1920_PlayHeadOnly_FitSong);
WINDOW_FRAME(BM_Window1920_PlayHeadOnly_Zoom4x);
WINDOW_FRAME(BM_Window1920_PlayHeadOnly_Zoom16x);
WINDOW_FRAME(BM_Window1920_PlayHeadOnly_Zoom64x);
WINDOW_FRAME(BM_Window1420_Song107s_PlayHeadOnly_Zoom4x);
WINDOW_FRAME(BM_Window1420_Song107s_PlayHeadOnly_Zoom16x);
WINDOW_FRAME(BM_Edit_AddMarker);
WINDOW_FRAME(BM_Edit_MoveMarker);
WINDOW_FRAME(BM_Edit_DeleteMarker);
WINDOW_FRAME(BM_Edit_Undo);
WINDOW_FRAME(BM_Edit_TypeBPM);
WINDOW_FRAME(BM_EditMapOpen_AddMarker);
WINDOW_FRAME(BM_EditMapOpen_MoveMarker);
WINDOW_FRAME(BM_EditMapOpen_DeleteMarker);
WINDOW_FRAME(BM_EditMapOpen_Undo);
WINDOW_FRAME(BM_EditMapOpen_TypeBPM);

}  // namespace
}  // namespace corvel::editor

// The widgets need an application object; they draw on the offscreen platform unless the
// caller asks for another, with one pinned font, in the application's style and colours.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(style);
    QApplication::setPalette(corvel::theme::OrvantaTheme::darkPalette());
    constexpr const char* kScreenshots = "--screenshots=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kScreenshots, std::strlen(kScreenshots)) == 0) {
            corvel::editor::takeScreenshots(QString::fromLocal8Bit(argv[i] + std::strlen(kScreenshots)));
            return 0;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
