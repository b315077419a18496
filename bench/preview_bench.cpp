// What starting the preview costs the main thread, for 10-minute stereo 44.1 kHz songs as M4A
// and MP3 made at run time. Target: play() under 10 ms for any file once the session has had
// the file opened in the background (it does so while the analysis runs).
// - StartPlayback: play() from the middle of the song, the file opened ahead by prepare();
// - StartPlaybackUnopened: play() of a file nobody opened before (it opens the file itself:
//   what every Play cost before files were opened ahead), reported for comparison;
// - StopPlayback: stop() of a running playback, reported.
// The output is a silent device that pulls frames on no thread: the engine's feeder still
// seeks and decodes beside the timed main thread, as it would behind a sound card.

#include <benchmark/benchmark.h>

#include "audio/reading/audio_file_reader.hpp"
#include "audio/preview/preview_player.hpp"
#include "audio/test_signals.hpp"
#include "support/manual_main_loop.hpp"

namespace {

using namespace corvel;
using namespace corvel::audio;
using namespace corvel::audio::testkit;

constexpr double kSongSeconds = 600.0;
constexpr double kRate = 44100;

struct SongFiles {
    TempFolder folder{"bench-preview"};
    std::filesystem::path m4a = folder / "song.m4a";
    std::filesystem::path mp3 = folder / "song.mp3";
    bool haveMp3 = false;

    SongFiles() {
        const std::filesystem::path wav = folder / "song.wav";
        const auto beats = steadyBeats(124, kSongSeconds);
        writeWavStreamed(wav, kRate, 2, std::int64_t(kSongSeconds * kRate),
                         [&](std::int64_t first, std::vector<float>& mono) { renderGroove(beats, kRate, first, mono); });
        makeM4a(wav, m4a);
        haveMp3 = makeMp3(wav, mp3);
        std::filesystem::remove(wav);
    }
};

const SongFiles& songFiles() {
    static const SongFiles files;
    return files;
}

// A sound card that never asks for frames.
class SilentDevice final : public PreviewOutput {
public:
    explicit SilentDevice(double rate) : rate_(rate) {}
    PreviewOutputFormat format() const override { return {rate_, 2}; }
    bool rendersOnCallerThread() const override { return false; }
    void start(PreviewRenderSource&) override {}
    void pause() override {}
    void stop() override {}

private:
    double rate_;
};

class InlineRunner final : public platform::BackgroundRunner {
public:
    void run(Job job) override { job(); }
};

PreviewClickMap songMap() {
    PreviewClickMap map;
    map.tempoPoints = {BeatloomTempoPoint{Uuid::random(), 0, 124, 1, false}};
    map.meterEvents = {BeatloomMeterEvent{}};
    map.barOneSeconds = 0.0;
    return map;
}

// A player on the song, with its own main loop.
struct Preview {
    corvel::testing::ManualMainLoop loop;
    BeatloomPreviewPlayer player{loop, [](double rate) { return std::make_unique<SilentDevice>(rate); },
                                 [](const std::filesystem::path& file) { return AudioFileReader::open(file); }};
    PreviewClickMap map = songMap();
    InlineRunner runner;

    void openAhead(const std::filesystem::path& file) { player.prepare(file, runner); }
    void play(const std::filesystem::path& file) { player.play(file, map, BeatloomTimeRange{300, kSongSeconds}); }
};

const std::filesystem::path* songOrSkip(benchmark::State& state, bool mp3) {
    if (!mp3) return &songFiles().m4a;
    if (songFiles().haveMp3) return &songFiles().mp3;
    state.SkipWithError("ffmpeg has no MP3 encoder here");
    return nullptr;
}

void startPlayback(benchmark::State& state, bool mp3) {
    const auto* file = songOrSkip(state, mp3);
    if (file == nullptr) return;
    Preview preview;
    preview.openAhead(*file);
    for (auto _ : state) {
        preview.play(*file);
        state.PauseTiming();
        preview.player.stop();
        state.ResumeTiming();
    }
}

void startUnopened(benchmark::State& state, bool mp3) {
    const auto* file = songOrSkip(state, mp3);
    if (file == nullptr) return;
    Preview preview;
    for (auto _ : state) {
        preview.play(*file);
        state.PauseTiming();
        preview.player.reset();  // lets the file go
        state.ResumeTiming();
    }
}

void stopPlayback(benchmark::State& state, bool mp3) {
    const auto* file = songOrSkip(state, mp3);
    if (file == nullptr) return;
    Preview preview;
    preview.openAhead(*file);
    for (auto _ : state) {
        state.PauseTiming();
        preview.play(*file);
        state.ResumeTiming();
        preview.player.stop();
    }
}

void BM_StartPlaybackM4a(benchmark::State& state) { startPlayback(state, false); }
void BM_StartPlaybackMp3(benchmark::State& state) { startPlayback(state, true); }
void BM_StartPlaybackUnopenedM4a(benchmark::State& state) { startUnopened(state, false); }
void BM_StartPlaybackUnopenedMp3(benchmark::State& state) { startUnopened(state, true); }
void BM_StopPlaybackM4a(benchmark::State& state) { stopPlayback(state, false); }
void BM_StopPlaybackMp3(benchmark::State& state) { stopPlayback(state, true); }

BENCHMARK(BM_StartPlaybackM4a)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StartPlaybackMp3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StartPlaybackUnopenedM4a)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_StartPlaybackUnopenedMp3)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_StopPlaybackM4a)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StopPlaybackMp3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
