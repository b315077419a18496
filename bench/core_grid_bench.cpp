#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "core/grid_lines.hpp"

namespace corvel::BeatloomTimeline {
namespace {

struct Song {
    std::vector<BeatloomTempoPoint> tempoPoints;
    std::vector<BeatloomMeterEvent> meterEvents;
    std::vector<BeatloomTimelineRegion> regions;
    std::vector<BeatloomRhythmicAnchor> rhythmicAnchors;
    double duration = 0;
};

// Ten minutes, a handful of tempo steps, 4/4 with one bar of 2/4.
Song tenMinuteSong() {
    Song song;
    song.duration = 600;
    const double bpms[] = {118, 121.5, 119.25, 124, 122};
    for (int i = 0; i < 5; ++i) {
        song.tempoPoints.push_back(BeatloomTempoPoint{Uuid::random(), 120.0 * i, bpms[i], 1, false});
    }
    song.meterEvents = {BeatloomMeterEvent{Uuid::random(), 0, 4, 4}, BeatloomMeterEvent{Uuid::random(), 300, 2, 4},
                        BeatloomMeterEvent{Uuid::random(), 301, 4, 4}};
    return song;
}

// Three hours: a tempo point every 30 s, every other one ramping to the next; a meter
// change every five minutes; a five-minute Rubato region with an anchor every two seconds.
Song threeHourShow() {
    Song song;
    song.duration = 3 * 3600;
    for (int i = 0; i < 360; ++i) {
        const double bpm = 96 + (i * 37) % 60;
        song.tempoPoints.push_back(BeatloomTempoPoint{Uuid::random(), 30.0 * i, bpm, 1, i % 2 == 0});
    }
    const std::int64_t signatures[][2] = {{4, 4}, {3, 4}, {6, 8}, {7, 8}, {5, 4}, {12, 8}};
    for (int i = 0; i < 36; ++i) {
        const auto& sig = signatures[i % 6];
        song.meterEvents.push_back(BeatloomMeterEvent{Uuid::random(), 300.0 * i, sig[0], sig[1]});
    }
    const BeatloomTimelineRegion region{Uuid::random(), 5400, 5700, BeatloomTimelineMode::rubato, false};
    song.regions = {region};
    for (int i = 0; i <= 150; ++i) {
        const double quarter = 10000.0 + 4.0 * i;
        song.rhythmicAnchors.push_back(BeatloomRhythmicAnchor{
            Uuid::random(), region.id, 5400.0 + 2.0 * i + (i % 3) * 0.05, quarter,
            BeatloomMusicalPosition{2500 + i, 1, 0}, BeatloomRhythmicAnchorKind::downbeat,
            BeatloomRhythmicAnchorSource::manual, 1, false});
    }
    return song;
}

void wholeSongGrid(benchmark::State& state, const Song& song) {
    std::size_t count = 0;
    for (auto _ : state) {
        const auto lines = gridLines(song.tempoPoints, song.meterEvents, {}, {}, 4.0, 2, false, song.regions,
                                     song.rhythmicAnchors, BeatloomGridResolution::sixteenth, song.duration);
        count = lines.size();
        benchmark::DoNotOptimize(lines.data());
    }
    state.counters["lines"] = static_cast<double>(count);
}

void BM_GridTenMinuteSong(benchmark::State& state) { wholeSongGrid(state, tenMinuteSong()); }
void BM_GridThreeHourShow(benchmark::State& state) { wholeSongGrid(state, threeHourShow()); }

BENCHMARK(BM_GridTenMinuteSong)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GridThreeHourShow)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvel::BeatloomTimeline
