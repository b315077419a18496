// Speed and memory of the whole tempo analysis as the editor asks for it (decoding included),
// on a drum-and-bass groove written to a WAV at run time. Targets (Release build):
// - a 4-minute stereo 44.1 kHz song: at most 0.1 s per audio-minute on 8 cores, at most
//   0.25 s per audio-minute on one core (counter s_per_audio_minute);
// - a 3-hour show (a set of grooves at different tempi with pauses between them): well under a
//   minute on all cores, with the decode streamed so that the peak memory of the analysis
//   stays below 193 MB (counters seconds and peak_MB). The show's WAV (about 1.9 GB) is made
//   in the temp folder when that benchmark first runs and removed at the end.
// Run with --benchmark_filter=Song for the quick figures.

#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <string>

#include "analysis/music_analyzer.hpp"
#include "audio/test_signals.hpp"
#include "analysis/worker_pool.hpp"

namespace {

using namespace corvel::analysis;
using namespace corvel::audio::testkit;

constexpr double kRate = 44100;
constexpr std::uint32_t kChannels = 2;
constexpr double kSongSeconds = 240.0;
constexpr double kShowSeconds = 3 * 3600.0;

std::vector<double> showBeats() {
    // Songs of about 4 minutes at these tempi, each followed by 6 s of silence.
    const double tempi[] = {124, 92, 140, 172, 100, 128, 76, 110, 150, 87, 132, 118};
    std::vector<double> beats;
    double songStart = 0.5;
    for (std::size_t song = 0; songStart < kShowSeconds; ++song) {
        const double songEnd = std::min(songStart + 234.0, kShowSeconds);
        for (const double beat : steadyBeats(tempi[song % std::size(tempi)], songEnd - songStart)) {
            beats.push_back(songStart + beat);
        }
        songStart = songEnd + 6.0;
    }
    return beats;
}

struct Files {
    TempFolder folder{"bench-analysis"};
    std::filesystem::path song = folder / "song.wav";
    std::filesystem::path show = folder / "show.wav";
    bool haveShow = false;

    Files() { writeWav(song, groove(kRate, kChannels, kSongSeconds, steadyBeats(124, kSongSeconds, 0.3))); }

    const std::filesystem::path& showFile() {
        if (!haveShow) {
            const auto beats = showBeats();
            writeWavStreamed(show, kRate, kChannels, std::int64_t(kShowSeconds * kRate),
                             [&beats](std::int64_t first, std::vector<float>& mono) {
                                 renderGroove(beats, kRate, first, mono);
                             });
            haveShow = true;
        }
        return show;
    }
};

Files& files() {
    static Files made;
    return made;
}

// The peak resident memory of the process since the last reset, in MB (Linux).
void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }
double peakMemoryMB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

std::size_t threadsOf(const benchmark::State& state) {
    return state.range(0) == 0 ? ORVWorkerPool::hardwareThreads() : std::size_t(state.range(0));
}

void BM_SongAnalysis(benchmark::State& state) {
    const auto& file = files().song;
    const ORVAnalysisControl control{threadsOf(state), {}};
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto result = ORVAudioMusicAnalyzer::analyzedFile(file, control);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        benchmark::DoNotOptimize(result.beatPositionsSeconds.data());
        state.counters["bpm"] = result.bpm;
    }
    state.counters["threads"] = double(control.threadCount);
    state.counters["s_per_audio_minute"] = seconds / double(state.iterations()) / (kSongSeconds / 60.0);
}

// One core, then every hardware thread.
BENCHMARK(BM_SongAnalysis)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_ThreeHourShowAnalysis(benchmark::State& state) {
    const auto& file = files().showFile();
    const ORVAnalysisControl control{threadsOf(state), {}};
    for (auto _ : state) {
        resetPeakMemory();
        const auto start = std::chrono::steady_clock::now();
        auto result = ORVAudioMusicAnalyzer::analyzedFile(file, control);
        state.counters["seconds"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.counters["peak_MB"] = peakMemoryMB();
        state.counters["sections"] = double(result.tempoPoints.size());
        benchmark::DoNotOptimize(result.beatPositionsSeconds.data());
    }
    state.counters["threads"] = double(control.threadCount);
}

BENCHMARK(BM_ThreeHourShowAnalysis)->Arg(0)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace
