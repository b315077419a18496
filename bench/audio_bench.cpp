// Audio engine speed. Targets (Release, one core), for a 4-minute stereo 44.1 kHz song:
// - decoding and onset envelopes of the WAV: under 0.5 s (more than 480 times real time);
//   the MP3 and M4A figures are reported alongside;
// - waveform peaks built from the WAV: under 0.4 s;
// - waveform cache hit for the same song (480,000 bins): under 150 ms;
// - whole-song consensus of tempo candidates over its nine onset envelopes: reported (the
//   autocorrelation is computed directly, so this is the analyser's largest single cost);
// - windowed local tempo tracking of the same song (about 160 windows, three consensus runs
//   each, then the family path, sections and their refinement): reported;
// - the whole analysis of the WAV as the editor asks for it (decode, consensus, local tracking,
//   refinement, beat grid and the editor's result): reported; it is about the sum of the three
//   stages above.

#include <benchmark/benchmark.h>

#include "analysis/music_analyzer.hpp"
#include "audio/waveform/waveform_loader.hpp"
#include "audio/test_signals.hpp"

namespace {

using namespace corvel::audio;
using namespace corvel::analysis;
using namespace corvel::audio::testkit;

constexpr double kSongSeconds = 240.0;

// The song files, made once per run: clicks over restless noise, so every band has onsets.
struct SongFiles {
    TempFolder folder{"bench-audio"};
    std::filesystem::path wav = folder / "song.wav";
    std::filesystem::path mp3 = folder / "song.mp3";
    std::filesystem::path m4a = folder / "song.m4a";
    bool haveMp3 = false;

    SongFiles() {
        Signal song = clicks(44100, 2, kSongSeconds, 124);
        const Signal bed = noise(44100, 2, song.frames(), 0.1);
        for (std::size_t i = 0; i < song.interleaved.size(); ++i) song.interleaved[i] += bed.interleaved[i];
        writeWav(wav, song);
        makeM4a(wav, m4a);
        haveMp3 = makeMp3(wav, mp3);
    }
};

const SongFiles& songFiles() {
    static const SongFiles files;
    return files;
}

void decodeEnvelopes(benchmark::State& state, const std::filesystem::path& file) {
    for (auto _ : state) {
        auto set = ORVAudioMusicAnalyzer::decodeFeatureEnvelopes(file);
        benchmark::DoNotOptimize(set.consensusEnvelope.data());
    }
    state.counters["x_realtime"] =
        benchmark::Counter(kSongSeconds * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_DecodeFeatureEnvelopesWav(benchmark::State& state) { decodeEnvelopes(state, songFiles().wav); }
void BM_DecodeFeatureEnvelopesMp3(benchmark::State& state) {
    if (!songFiles().haveMp3) {
        state.SkipWithError("ffmpeg has no MP3 encoder here");
        return;
    }
    decodeEnvelopes(state, songFiles().mp3);
}
void BM_DecodeFeatureEnvelopesM4a(benchmark::State& state) { decodeEnvelopes(state, songFiles().m4a); }

BENCHMARK(BM_DecodeFeatureEnvelopesWav)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeFeatureEnvelopesMp3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeFeatureEnvelopesM4a)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WholeSongConsensus(benchmark::State& state) {
    const auto set = ORVAudioMusicAnalyzer::decodeFeatureEnvelopes(songFiles().wav);
    std::vector<std::vector<double>> envelopes(set.featureEnvelopes.begin(), set.featureEnvelopes.end());
    envelopes.push_back(set.consensusEnvelope);
    for (auto _ : state) {
        auto candidates = ORVAudioMusicAnalyzer::consensusCandidates(envelopes, true, set.frameSeconds);
        benchmark::DoNotOptimize(candidates.data());
    }
}

BENCHMARK(BM_WholeSongConsensus)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LocalTempoTracking(benchmark::State& state) {
    const auto set = ORVAudioMusicAnalyzer::decodeFeatureEnvelopes(songFiles().wav);
    for (auto _ : state) {
        auto tracking = ORVAudioMusicAnalyzer::trackLocalTempo(set, std::nullopt);
        benchmark::DoNotOptimize(tracking.observations.data());
        state.counters["windows"] = double(tracking.observations.size());
    }
}

BENCHMARK(BM_LocalTempoTracking)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WholeAnalysisWav(benchmark::State& state) {
    for (auto _ : state) {
        auto result = ORVAudioMusicAnalyzer::analyzedFile(songFiles().wav);
        benchmark::DoNotOptimize(result.beatPositionsSeconds.data());
        state.counters["bpm"] = result.bpm;
    }
}

BENCHMARK(BM_WholeAnalysisWav)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WaveformBuildWav(benchmark::State& state) {
    const auto& files = songFiles();
    const double d = BeatloomWaveformLoader::effectiveDuration(kSongSeconds);
    const auto n = BeatloomWaveformLoader::binCount(d);
    for (auto _ : state) {
        auto record = BeatloomWaveformLoader::computeWithAudioFile(files.wav, d, n);
        benchmark::DoNotOptimize(record.maxPeaks.data());
    }
}

void BM_WaveformCacheHit(benchmark::State& state) {
    const auto& files = songFiles();
    TempFolder caches("bench-waveform-cache");
    const BeatloomWaveformLoader loader(caches.path());
    const auto built = loader.load(files.wav, kSongSeconds);  // fills the cache
    state.counters["bins"] = double(built.maxPeaks.size());
    for (auto _ : state) {
        auto record = loader.load(files.wav, kSongSeconds);
        benchmark::DoNotOptimize(record.maxPeaks.data());
    }
}

BENCHMARK(BM_WaveformBuildWav)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WaveformCacheHit)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
