// Reads exported tempo maps with a MIDI parser that is not ours (mido, run by the system's
// Python) and checks that the bars and beats a DAW sees fall where the editor has them.

#include <gtest/gtest.h>

#include "support/core_records.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/grid_lines.hpp"
#include "core/timeline_segments.hpp"
#include "core/midi_writer.hpp"
#include "support/temp_folder.hpp"

namespace corvel::TempoMIDIExporter {
namespace {

using namespace corvel::testing;

namespace fs = std::filesystem;

// Prints every bar and beat of the file with its tick and its time in seconds, and every
// marker with its time. Bars restart at each time signature; a beat is the denominator's
// note, or a dotted quarter in 6/8, 9/8, 12/8 ...
constexpr const char* kReaderScript = R"PY(
import bisect, json, sys
from fractions import Fraction
import mido

def read(path):
    mid = mido.MidiFile(path)
    assert mid.type == 0 and len(mid.tracks) == 1
    tpq = mid.ticks_per_beat
    tick = 0
    events = []
    for msg in mid.tracks[0]:
        tick += msg.time
        events.append((tick, msg))
    end = events[-1][0]
    assert events[-1][1].type == 'end_of_track'

    tempos = [(0, 500000)]
    for t, msg in events:
        if msg.type == 'set_tempo':
            if t == tempos[-1][0]:
                tempos[-1] = (t, msg.tempo)
            else:
                tempos.append((t, msg.tempo))
    starts = [t for t, _ in tempos]
    base = [Fraction(0)]
    for i in range(1, len(tempos)):
        base.append(base[-1] + Fraction(tempos[i][0] - tempos[i - 1][0]) * tempos[i - 1][1] / tpq / 1000000)

    def seconds(t):
        i = max(bisect.bisect_right(starts, t) - 1, 0)
        return float(base[i] + (Fraction(t) - tempos[i][0]) * tempos[i][1] / tpq / 1000000)

    signatures = [(t, msg) for t, msg in events if msg.type == 'time_signature']
    lines = []
    for i, (start, sig) in enumerate(signatures):
        stop = signatures[i + 1][0] if i + 1 < len(signatures) else end + 1
        compound = sig.denominator == 8 and sig.numerator >= 6 and sig.numerator % 3 == 0
        beat = Fraction(3, 2) if compound else Fraction(4, sig.denominator)
        bar = Fraction(sig.numerator * 4, sig.denominator)
        k = 0
        while True:
            offset = k * beat
            t = start + offset * tpq
            if t >= stop:
                break
            lines.append({"tick": float(t), "seconds": seconds(t), "bar": (offset / bar).denominator == 1})
            k += 1
    markers = [{"text": msg.text, "seconds": seconds(t)} for t, msg in events if msg.type == 'marker']
    tempoMap = [[float(start), float(base[i]), tempo / tpq / 1000000] for i, (start, tempo) in enumerate(tempos)]
    return {"lines": lines, "markers": markers, "endSeconds": seconds(end), "tempos": tempoMap}

for path in sys.argv[1:]:
    print(json.dumps(read(path)))
)PY";

struct ReadLine {
    double quarter = 0;
    double seconds = 0;
    bool bar = false;
};
struct ReadFile {
    std::vector<ReadLine> lines;
    std::vector<std::pair<std::string, double>> markers;
    double endSeconds = 0;
    // Where each tempo starts: tick, seconds, seconds per tick.
    struct Tempo {
        double tick, seconds, secondsPerTick;
    };
    std::vector<Tempo> tempos;

    // The file's position in ticks at a time, as a reader counts it.
    double tickAt(double seconds) const {
        auto tempo = std::upper_bound(tempos.begin(), tempos.end(), seconds,
                                      [](double s, const Tempo& t) { return s < t.seconds; });
        if (tempo != tempos.begin()) --tempo;
        return tempo->tick + (seconds - tempo->seconds) / tempo->secondsPerTick;
    }
};

// One edited map, as the session hands it to the export and to the grid.
struct EditedMap {
    std::vector<BeatloomTempoPoint> tempoPoints;
    std::vector<BeatloomMeterEvent> meterEvents;
    std::vector<BeatloomBarAnchor> barAnchors;
    std::optional<double> barOneSeconds;
    std::int64_t pickupBarCount = 0;
    std::vector<BeatloomTimelineRegion> regions;
    std::vector<BeatloomRhythmicAnchor> rhythmicAnchors;
    double duration = 0;

    Bytes exported() const {
        return midiData(tempoPoints, meterEvents, barAnchors, barOneSeconds, pickupBarCount, regions, rhythmicAnchors,
                        duration);
    }
    // The editor's bar and beat lines.
    std::vector<BeatloomTimeline::GridLine> grid() const {
        auto lines = BeatloomTimeline::gridLines(tempoPoints, meterEvents, barAnchors, {}, barOneSeconds,
                                                 pickupBarCount, false, regions, rhythmicAnchors,
                                                 BeatloomGridResolution::eighth, duration);
        std::erase_if(lines, [](const auto& line) { return line.kind == BeatloomTimeline::GridKind::subdivision; });
        return lines;
    }
    bool inFreeTime(double t) const {
        return std::any_of(regions.begin(), regions.end(), [&](const BeatloomTimelineRegion& region) {
            return region.mode == BeatloomTimelineMode::free && t >= region.startSeconds - 1e-6 &&
                   t < region.endSeconds - 1e-6;
        });
    }
};

class MidiReaderTest : public testing::TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        std::ofstream(root / "reader.py") << kReaderScript;
    }

    // Reads a batch of files with one run of the reader.
    std::vector<ReadFile> readAll(const std::vector<Bytes>& files) {
        std::string command = "/usr/bin/python3 '" + (root / "reader.py").string() + "'";
        for (std::size_t i = 0; i < files.size(); ++i) {
            const fs::path path = root / ("map" + std::to_string(i) + ".mid");
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(files[i].data()), static_cast<std::streamsize>(files[i].size()));
            command += " '" + path.string() + "'";
        }
        std::string output;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[4096];
            std::size_t count = 0;
            while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, count);
            EXPECT_EQ(::pclose(pipe), 0) << "the reader failed";
        }
        std::vector<ReadFile> results;
        std::istringstream lines(output);
        for (std::string text; std::getline(lines, text);) {
            const auto json = nlohmann::json::parse(text, nullptr, false);
            if (json.is_discarded()) {
                ADD_FAILURE() << "unreadable reader output: " << text;
                break;
            }
            ReadFile result;
            for (const auto& line : json["lines"]) {
                result.lines.push_back({line["tick"].get<double>() / kTicksPerQuarter, line["seconds"].get<double>(),
                                        line["bar"].get<bool>()});
            }
            for (const auto& marker : json["markers"]) {
                result.markers.emplace_back(marker["text"].get<std::string>(), marker["seconds"].get<double>());
            }
            for (const auto& tempo : json["tempos"]) {
                result.tempos.push_back({tempo[0].get<double>(), tempo[1].get<double>(), tempo[2].get<double>()});
            }
            result.endSeconds = json["endSeconds"].get<double>();
            results.push_back(std::move(result));
        }
        EXPECT_EQ(results.size(), files.size()) << "the reader read not every file";
        results.resize(files.size());
        return results;
    }

    ReadFile read(const Bytes& file) { return readAll({file}).front(); }

    // Every bar and beat line of the editor from 0 s on has a line of the file within 1 ms,
    // a bar where the editor has a bar; and every line of the file outside Free Time has
    // such a line of the editor. The track start is the one bar the file cannot leave out,
    // so there the editor may have a pickup beat.
    void expectGridAgrees(const EditedMap& map, std::size_t expectedLines) {
        const ReadFile file = read(map.exported());
        EXPECT_NEAR(file.endSeconds, map.duration, 0.001);
        const auto grid = map.grid();
        auto barsAgree = [](const ReadLine& line, const BeatloomTimeline::GridLine& editor) {
            return line.bar == (editor.kind == BeatloomTimeline::GridKind::bar) || line.quarter == 0;
        };
        std::size_t compared = 0;
        for (const auto& editor : grid) {
            if (editor.timeSeconds < 0) continue;
            ++compared;
            const auto nearest =
                std::min_element(file.lines.begin(), file.lines.end(), [&](const auto& a, const auto& b) {
                    return std::abs(a.seconds - editor.timeSeconds) < std::abs(b.seconds - editor.timeSeconds);
                });
            ASSERT_NE(nearest, file.lines.end());
            EXPECT_NEAR(nearest->seconds, editor.timeSeconds, 0.001) << "editor line at " << editor.timeSeconds;
            EXPECT_TRUE(barsAgree(*nearest, editor)) << "editor line at " << editor.timeSeconds;
        }
        EXPECT_EQ(compared, expectedLines);
        for (const ReadLine& line : file.lines) {
            if (map.inFreeTime(line.seconds)) continue;
            const auto nearest = std::min_element(grid.begin(), grid.end(), [&](const auto& a, const auto& b) {
                return std::abs(a.timeSeconds - line.seconds) < std::abs(b.timeSeconds - line.seconds);
            });
            ASSERT_NE(nearest, grid.end());
            EXPECT_NEAR(nearest->timeSeconds, line.seconds, 0.001) << "file line at quarter " << line.quarter;
            EXPECT_TRUE(barsAgree(line, *nearest)) << "file line at quarter " << line.quarter;
        }
    }
};

TEST_F(MidiReaderTest, StepsAndRamps) {
    // 120 BPM, a step to 90 at 4 s, a ramp 100 to 120 BPM from 8 s to 12 s, a ramp 140 down
    // to 110 from 15 s to 21 s, then 110 to 30 s: quarters 0...56.33.
    EditedMap map;
    map.tempoPoints = {tempoPoint(0, 120), tempoPoint(4, 90), tempoPoint(8, 100, true), tempoPoint(12, 120), tempoPoint(15, 140, true),
                       tempoPoint(21, 110)};
    map.meterEvents = {meter(0, 4, 4)};
    map.duration = 30;
    expectGridAgrees(map, 57);
}

TEST_F(MidiReaderTest, MeterChangesPickupsAndLockedDownbeats) {
    // Bar 1 at 1.5 s after a pickup of three beats; 3/4 from 9.5 s (quarter 19, bar 5); a
    // locked downbeat at 12 s (quarter 24, inside a 3/4 bar); 6/8 from 14 s (quarter 28);
    // 7/8 from 20 s (quarter 41, halfway through a 6/8 bar); 120 BPM with a ramp to 150 BPM
    // between 16 s and 20 s; the song ends at 26 s (quarter 56).
    EditedMap map;
    map.tempoPoints = {tempoPoint(0, 120), tempoPoint(16, 120, true), tempoPoint(20, 150)};
    map.meterEvents = {meter(0, 4, 4), meter(9.5, 3, 4), meter(14, 6, 8), meter(20, 7, 8)};
    map.barAnchors = {{Uuid::random(), 12, std::nullopt}};
    map.barOneSeconds = 1.5;
    map.pickupBarCount = 1;
    map.duration = 26;
    // Quarters 0...27, dotted quarters 28...40, eighths 41...56.
    expectGridAgrees(map, 28 + 9 + 31);

    const ReadFile file = read(map.exported());
    ASSERT_EQ(file.markers.size(), 3u);
    EXPECT_EQ(file.markers[0], (std::pair<std::string, double>{"Orvanta Pickup: 1 bar before Bar 1", 0.0}));
    EXPECT_EQ(file.markers[1].first, "Orvanta Bar 1");
    EXPECT_NEAR(file.markers[1].second, 1.5, 0.001);
    EXPECT_EQ(file.markers[2].first, "Orvanta Bar Start");
    EXPECT_NEAR(file.markers[2].second, 12, 0.001);
}

TEST_F(MidiReaderTest, RubatoAndFreeTimeRegions) {
    // 120 BPM; a Rubato region from 4 s to 8 s whose anchors stretch quarters 8...16 unevenly
    // (100, 75 and 150 BPM), then a Free Time region from 12 s to 14 s, which has no grid.
    EditedMap map;
    map.tempoPoints = {tempoPoint(0, 120)};
    map.meterEvents = {meter(0, 4, 4)};
    const BeatloomTimelineRegion rubato{Uuid::random(), 4, 8, BeatloomTimelineMode::rubato, false};
    const BeatloomTimelineRegion free{Uuid::random(), 12, 14, BeatloomTimelineMode::free, false};
    map.regions = {free, rubato};
    for (const auto& [t, q] : std::vector<std::pair<double, double>>{{4, 8}, {5.2, 10}, {6, 11}, {8, 16}}) {
        BeatloomRhythmicAnchor anchor;
        anchor.regionID = rubato.id;
        anchor.audioTimeSeconds = t;
        anchor.quarterPosition = q;
        map.rhythmicAnchors.push_back(anchor);
    }
    map.duration = 20;
    expectGridAgrees(map, 41 - 4);

    const ReadFile file = read(map.exported());
    const std::vector<std::pair<std::string, double>> markers{
        {"Orvanta RUBATO START", 4}, {"Orvanta RUBATO END", 8}, {"Orvanta FREE START", 12}, {"Orvanta FREE END", 14}};
    ASSERT_EQ(file.markers.size(), markers.size());
    for (std::size_t i = 0; i < markers.size(); ++i) {
        EXPECT_EQ(file.markers[i].first, markers[i].first);
        EXPECT_NEAR(file.markers[i].second, markers[i].second, 0.001);
    }
}

// A random map of the kind a user edits: steps and ramps, a head meter and later changes,
// Bar 1 on a beat with pickup bars, locked downbeats, a Rubato region whose anchors start on
// the grid and then run their own course, and a Free Time region.
EditedMap randomMap(std::mt19937_64& random) {
    auto uniform = [&](double low, double high) { return std::uniform_real_distribution<double>(low, high)(random); };
    auto chance = [&](double p) { return uniform(0, 1) < p; };
    auto pick = [&](std::size_t count) { return static_cast<std::size_t>(random() % count); };
    EditedMap map;
    map.duration = uniform(15, 60);
    map.tempoPoints = {tempoPoint(0, uniform(50, 220), chance(0.4))};
    for (double t = uniform(1, 12); t < map.duration - 1; t += uniform(0.3, 12)) {
        map.tempoPoints.push_back(tempoPoint(t, uniform(50, 220), chance(0.4)));
    }
    const auto segs = BeatloomTimeline::segments(map.tempoPoints, map.duration);
    auto quarterAt = [&](double t) { return BeatloomTimeline::quarterPosition(segs, t); };

    static const std::pair<int, int> meters[] = {{4, 4}, {3, 4}, {6, 8}, {7, 8}, {2, 2}, {12, 8}, {5, 16}};
    auto randomMeter = [&](double t) {
        const auto [n, d] = meters[pick(std::size(meters))];
        return meter(t, n, d);
    };
    map.meterEvents = {randomMeter(0)};
    double barOne = 0;
    if (chance(0.6)) {
        const double beat = BeatloomTimeline::meterRule(map.meterEvents[0]).beatLengthQuarters;
        barOne = *BeatloomTimeline::seconds(segs, beat * static_cast<double>(1 + pick(8)));
        map.barOneSeconds = barOne;
        map.pickupBarCount = static_cast<std::int64_t>(pick(3));
    }

    // A Rubato region in the first half after Bar 1, a Free Time region in the second.
    const double from = barOne + 0.5;
    if (chance(0.5) && from < map.duration * 0.4) {
        const auto rubato = region(uniform(from, map.duration * 0.45), 0, BeatloomTimelineMode::rubato);
        BeatloomTimelineRegion placed = rubato;
        placed.endSeconds = placed.startSeconds + uniform(2, 5);
        double t = placed.startSeconds;
        double q = quarterAt(t);
        std::vector<BeatloomRhythmicAnchor> anchors{rhythmicAnchor(placed, t, q)};
        for (std::size_t n = 1 + pick(3); n > 0; --n) {
            const double next = t + uniform(0.4, 1.2);
            if (next > placed.endSeconds - 0.3) break;
            q += (next - t) * uniform(60, 180) / 60;
            t = next;
            anchors.push_back(rhythmicAnchor(placed, t, q));
        }
        const double catchUp = (quarterAt(placed.endSeconds) - q) * 60 / (placed.endSeconds - t);
        if (anchors.size() >= 2 && catchUp > 20 && catchUp < 600) {
            map.regions.push_back(placed);
            map.rhythmicAnchors = anchors;
        }
    }
    if (chance(0.4)) {
        const double start = uniform(map.duration * 0.55, map.duration * 0.8);
        map.regions.push_back(region(start, start + uniform(1, 4), BeatloomTimelineMode::free));
    }
    auto clearOfRegions = [&](double t) {
        return std::none_of(map.regions.begin(), map.regions.end(), [&](const BeatloomTimelineRegion& r) {
            return t > r.startSeconds - 0.2 && t < r.endSeconds + 0.2;
        });
    };
    for (std::size_t n = pick(3); n > 0; --n) {
        const double t = uniform(barOne + 0.5, map.duration - 0.5);
        if (clearOfRegions(t)) map.meterEvents.push_back(randomMeter(t));
    }
    for (std::size_t n = pick(3); n > 0; --n) {
        const double t = uniform(barOne + 0.5, map.duration - 0.5);
        if (clearOfRegions(t)) map.barAnchors.push_back(barAnchor(t, chance(0.3) ? std::optional<std::int64_t>(9) : std::nullopt));
    }
    return map;
}

// Exported and read back by the reader, every bar and beat of random maps stays within a tick
// of the editor's grid: each of the editor's lines finds the file's position at its time on
// its quarter, and outside the Free Time and Rubato regions the file shows a line there, a bar
// where the editor has a bar; every line of the file there is one of the editor's.
TEST_F(MidiReaderTest, RandomMapsKeepEveryBarAndBeatWithinATick) {
    constexpr double kTick = 1.0 + 1e-6;
    std::mt19937_64 random(1913);
    std::vector<EditedMap> maps;
    std::vector<Bytes> files;
    for (int n = 0; n < 300; ++n) {
        maps.push_back(randomMap(random));
        files.push_back(maps.back().exported());
    }
    const std::vector<ReadFile> read = readAll(files);
    for (std::size_t n = 0; n < maps.size(); ++n) {
        const EditedMap& map = maps[n];
        const ReadFile& file = read[n];
        if (file.tempos.empty()) continue;
        SCOPED_TRACE("map " + std::to_string(n));
        auto editor = BeatloomTimeline::gridLines(map.tempoPoints, map.meterEvents, map.barAnchors, {},
                                                  map.barOneSeconds, map.pickupBarCount, false, map.regions,
                                                  map.rhythmicAnchors, BeatloomGridResolution::sixteenth, map.duration);
        std::erase_if(editor, [&](const auto& line) {
            return line.kind == BeatloomTimeline::GridKind::subdivision || line.timeSeconds < 0 ||
                   line.timeSeconds > map.duration;
        });
        ASSERT_FALSE(editor.empty());
        const double gridStart = editor.front().timeSeconds;
        auto inRegion = [&](double t) {
            return std::any_of(map.regions.begin(), map.regions.end(), [&](const BeatloomTimelineRegion& r) {
                return t >= r.startSeconds - 1e-6 && t < r.endSeconds - 1e-6;
            });
        };
        auto nearestFileLine = [&](double tick) {
            return std::min_element(file.lines.begin(), file.lines.end(), [&](const ReadLine& a, const ReadLine& b) {
                return std::abs(a.quarter * kTicksPerQuarter - tick) < std::abs(b.quarter * kTicksPerQuarter - tick);
            });
        };
        int faults = 0;
        for (const auto& line : editor) {
            const double tick = file.tickAt(line.timeSeconds);
            const bool bar = line.kind == BeatloomTimeline::GridKind::bar;
            EXPECT_NEAR(tick, line.quarterPosition * kTicksPerQuarter, kTick) << "editor line at " << line.timeSeconds;
            if (inRegion(line.timeSeconds)) continue;
            const auto nearest = nearestFileLine(tick);
            ASSERT_NE(nearest, file.lines.end());
            const double fileTick = nearest->quarter * kTicksPerQuarter;
            if (std::abs(fileTick - tick) > kTick || (nearest->bar != bar && fileTick != 0)) {
                ADD_FAILURE() << "editor " << (bar ? "bar" : "beat") << " at " << line.timeSeconds << " s, tick "
                              << tick << "; file " << (nearest->bar ? "bar" : "beat") << " at tick " << fileTick;
                if (++faults > 5) break;
            }
        }
        for (std::size_t i = 0; i < file.lines.size() && faults <= 5; ++i) {
            const ReadLine& line = file.lines[i];
            const double tick = line.quarter * kTicksPerQuarter;
            const bool crowded = (i > 0 && tick - file.lines[i - 1].quarter * kTicksPerQuarter <= kTick) ||
                                 (i + 1 < file.lines.size() && file.lines[i + 1].quarter * kTicksPerQuarter - tick <= kTick);
            if (line.seconds < gridStart - 1e-3 || line.seconds > map.duration || inRegion(line.seconds) || crowded) {
                continue;
            }
            const auto nearest = std::min_element(editor.begin(), editor.end(), [&](const auto& a, const auto& b) {
                return std::abs(file.tickAt(a.timeSeconds) - tick) < std::abs(file.tickAt(b.timeSeconds) - tick);
            });
            const bool bar = nearest->kind == BeatloomTimeline::GridKind::bar;
            if (std::abs(file.tickAt(nearest->timeSeconds) - tick) > kTick || (line.bar != bar && tick != 0)) {
                ADD_FAILURE() << "file " << (line.bar ? "bar" : "beat") << " at tick " << tick << " (" << line.seconds
                              << " s); editor " << (bar ? "bar" : "beat") << " at " << nearest->timeSeconds << " s";
                ++faults;
            }
        }
    }
}

}  // namespace
}  // namespace corvel::TempoMIDIExporter
