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

#include "core/flexible_timeline.hpp"
#include "core/grid_lines.hpp"
#include "core/phase_anchors.hpp"
#include "core/tempo_points.hpp"
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

// The bar, beat and beat fraction of a time on the plain metered grid of a map, as if no region
// existed, and its quarter position: where the session places a Rubato anchor.
struct MeteredPlace {
    double quarter = 0;
    BeatloomMusicalPosition position;
};

MeteredPlace meteredPlace(const EditedMap& map, double t) {
    const auto segs = BeatloomTimeline::segments(map.tempoPoints, map.duration);
    const auto anchors =
        BeatloomTimeline::phaseAnchors(map.meterEvents, map.barAnchors, {}, map.barOneSeconds, segs, map.duration);
    const auto& anchor = anchors[*BeatloomTimeline::phaseAnchorIndex(anchors, t)];
    const auto rule = BeatloomTimeline::meterRule(anchor.meter);
    const double quarter = BeatloomTimeline::quarterPosition(segs, t);
    const double beats = (quarter - anchor.quarter) / rule.beatLengthQuarters;
    const auto whole = static_cast<std::int64_t>(std::floor(beats + 1e-9));
    const std::int64_t inBar = ((whole % rule.beatsPerBar) + rule.beatsPerBar) % rule.beatsPerBar;
    return {quarter, {anchor.barNumber + floorDivide(whole, rule.beatsPerBar), inBar + 1, beats - static_cast<double>(whole)}};
}

BeatloomTimeline::MeterRule ruleAt(const EditedMap& map, double t) {
    return BeatloomTimeline::meterRule(BeatloomTimeline::meterInForce(map.meterEvents, map.duration, t));
}

BeatloomMusicalPosition nextBeat(const BeatloomMusicalPosition& position, std::int64_t beatsPerBar) {
    return position.beat >= beatsPerBar ? BeatloomMusicalPosition{position.bar + 1, 1, 0}
                                        : BeatloomMusicalPosition{position.bar, position.beat + 1, 0};
}

// A random map of the kind a user edits: steps and ramps, a head meter and later changes, Bar 1
// on a beat with pickup bars, locked downbeats, and Rubato regions made as the session makes
// them: started anywhere, on a beat or past one, with anchors set on performed beats that come
// faster or slower than the grid; the first anchor sometimes dragged later; ended by Rejoin
// Grid (now and then renumbering the bar), by the song's end or just so; a second region
// started where the first ends; sometimes a tempo changed before the regions after their
// anchors were set; and a Free Time region.
EditedMap randomMap(std::mt19937_64& random) {
    auto uniform = [&](double low, double high) { return std::uniform_real_distribution<double>(low, high)(random); };
    auto chance = [&](double p) { return uniform(0, 1) < p; };
    auto pick = [&](std::size_t count) { return static_cast<std::size_t>(random() % count); };
    EditedMap map;
    map.duration = uniform(20, 60);
    map.tempoPoints = {tempoPoint(0, uniform(50, 220), chance(0.4))};
    for (double t = uniform(1, 12); t < map.duration - 1; t += uniform(0.3, 12)) {
        map.tempoPoints.push_back(tempoPoint(t, uniform(50, 220), chance(0.4)));
    }
    static const std::pair<int, int> meters[] = {{4, 4}, {3, 4}, {6, 8}, {7, 8}, {2, 2}, {12, 8}, {5, 16}};
    auto randomMeter = [&](double t) {
        const auto [n, d] = meters[pick(std::size(meters))];
        return meter(t, n, d);
    };
    map.meterEvents = {randomMeter(0)};
    double barOne = 0;
    if (chance(0.6)) {
        const auto segs = BeatloomTimeline::segments(map.tempoPoints, map.duration);
        const double beat = BeatloomTimeline::meterRule(map.meterEvents[0]).beatLengthQuarters;
        barOne = *BeatloomTimeline::seconds(segs, beat * static_cast<double>(1 + pick(8)));
        map.barOneSeconds = barOne;
        map.pickupBarCount = static_cast<std::int64_t>(pick(3));
    }

    // Where the Rubato regions go; meter changes and locked downbeats keep clear of them.
    const double from = barOne + 0.5;
    const bool rubato = chance(0.75) && from < map.duration * 0.35;
    const double regionStart = rubato ? uniform(from, map.duration * 0.4) : 0;
    const double rubatoUntil = rubato ? std::min(regionStart + 14, map.duration * 0.75) : 0;
    auto clearOfRubato = [&](double t) { return !rubato || t < regionStart - 0.3 || t > rubatoUntil + 0.3; };
    for (std::size_t n = pick(3); n > 0; --n) {
        const double t = uniform(barOne + 0.5, map.duration - 0.5);
        if (clearOfRubato(t)) map.meterEvents.push_back(randomMeter(t));
    }
    for (std::size_t n = pick(3); n > 0; --n) {
        const double t = uniform(barOne + 0.5, map.duration - 0.5);
        if (clearOfRubato(t)) map.barAnchors.push_back(barAnchor(t, chance(0.3) ? std::optional<std::int64_t>(9) : std::nullopt));
    }
    if (!rubato) return map;

    // One Rubato region, started at `start` and ended at or before `limit`; returns where it ends.
    auto addRubato = [&](double start, double limit) -> std::optional<double> {
        auto region = corvel::testing::region(start, map.duration, BeatloomTimelineMode::rubato);
        // Start Rubato: the metered beat at the locator, or the next one past a beat line.
        auto place = meteredPlace(map, start);
        auto rule = ruleAt(map, start);
        const double beatSeconds = rule.beatLengthQuarters * 60 / bpmAt(map.tempoPoints, start, 120);
        if (place.position.fractionOfBeat > 0.001) {
            // No beat line lies just behind the locator: a beat of the file takes 10 ms at least.
            if (place.position.fractionOfBeat * beatSeconds < 0.08) return std::nullopt;
            place.position = nextBeat(place.position, rule.beatsPerBar);
        }
        place.position.fractionOfBeat = 0;
        std::vector<BeatloomRhythmicAnchor> anchors{rhythmicAnchor(region, start, place.quarter, place.position)};
        // A on performed beats.
        const double pace = uniform(0.7, 1.5);
        for (std::size_t n = 1 + pick(4); n > 0; --n) {
            const double t = anchors.back().audioTimeSeconds + beatSeconds * pace * uniform(0.85, 1.15);
            if (t > limit - 1.5) break;
            rule = ruleAt(map, t);
            anchors.push_back(rhythmicAnchor(region, t, *anchors.back().quarterPosition + rule.beatLengthQuarters,
                                             nextBeat(*anchors.back().musicalPosition, rule.beatsPerBar)));
        }
        if (anchors.size() < 2) return std::nullopt;
        if (chance(0.3)) {
            // The first anchor dragged later: it keeps its place in the music.
            const double room = anchors[1].audioTimeSeconds - start - 0.05;
            if (room > 0.05) anchors[0].audioTimeSeconds = start + uniform(0.05, std::min(0.5, room));
        }
        const double last = anchors.back().audioTimeSeconds;
        const double kind = uniform(0, 1);
        const double rejoin = last + beatSeconds * pace * uniform(0.7, 1.3);
        // Rejoin Grid where a ramp runs, or ends within its reach, would bend the ramp before the
        // locator, and the grid there with it.
        const bool inARamp = std::any_of(map.tempoPoints.begin(), map.tempoPoints.end() - 1, [&](const auto& point) {
            const auto next = std::next(&point);
            return point.linearToNext && point.timeSeconds < rejoin + 0.02 && next->timeSeconds > rejoin - 0.02;
        });
        if (kind < 0.45 && !inARamp && rejoin < limit) {
            // Rejoin Grid on the downbeat after the last anchor, a beat or so later.
            region.endSeconds = rejoin;
            const auto& lastAnchor = anchors.back();
            const auto lastRule = ruleAt(map, region.startSeconds);
            const std::int64_t inBar = (lastAnchor.musicalPosition->beat - 1) % lastRule.beatsPerBar;
            const std::int64_t bar = chance(0.3) ? static_cast<std::int64_t>(1 + pick(200)) : lastAnchor.musicalPosition->bar + 1;
            anchors.push_back(rhythmicAnchor(
                region, rejoin,
                *lastAnchor.quarterPosition +
                    lastRule.beatLengthQuarters * static_cast<double>(lastRule.beatsPerBar - inBar),
                BeatloomMusicalPosition{bar, 1, 0}, BeatloomRhythmicAnchorKind::rejoin));
            const auto nearby = std::find_if(map.tempoPoints.begin(), map.tempoPoints.end(),
                                             [&](const auto& point) { return std::abs(point.timeSeconds - rejoin) < 0.02; });
            const double bpm = uniform(50, 220);
            if (nearby != map.tempoPoints.end()) {
                nearby->bpm = bpm;
            } else {
                map.tempoPoints.push_back(tempoPoint(rejoin, bpm));
            }
            map.tempoPoints = normalizedTempoPoints(map.tempoPoints);
            map.meterEvents.push_back(chance(0.3) ? randomMeter(rejoin) : [&] {
                auto same = BeatloomTimeline::meterInForce(map.meterEvents, map.duration, rejoin);
                same.id = Uuid::random();
                same.timeSeconds = rejoin;
                return same;
            }());
            map.barAnchors.push_back(barAnchor(rejoin, bar));
        } else if (kind < 0.6) {
            region.endSeconds = map.duration;  // on to the song's end
        } else {
            region.endSeconds = last + uniform(0.5, 2.5);
        }
        map.regions.push_back(region);
        map.rhythmicAnchors.insert(map.rhythmicAnchors.end(), anchors.begin(), anchors.end());
        return region.endSeconds;
    };

    const auto end = addRubato(regionStart, rubatoUntil);
    if (end && *end < map.duration - 1 && chance(0.5)) {
        // Start Rubato where the first region ends: the new region runs on from there.
        addRubato(*end, rubatoUntil);
    }
    if (!map.regions.empty() && chance(0.3)) {
        // A tempo changed before the regions after their anchors were set, unless that leaves a
        // beat shorter than any file can hold.
        const auto points = map.tempoPoints;
        const double first = map.regions.front().startSeconds;
        const double t = first - 0.5 > barOne + 0.2 ? uniform(barOne + 0.2, first - 0.5) : 0;
        const auto governing = std::find_if(map.tempoPoints.rbegin(), map.tempoPoints.rend(),
                                            [&](const auto& point) { return point.timeSeconds <= t; });
        // Outside a ramp, so that Bar 1 and everything before keep their places.
        if (t > 0 && governing != map.tempoPoints.rend() && !governing->linearToNext) {
            map.tempoPoints.push_back(tempoPoint(t, governing->bpm * uniform(0.9, 1.1)));
            map.tempoPoints = normalizedTempoPoints(map.tempoPoints);
        }
        try {
            map.exported();
        } catch (const TempoMIDIExporterError&) {
            map.tempoPoints = points;
        }
    }
    const double lastEnd = map.regions.empty() ? 0 : map.regions.back().endSeconds;
    if (chance(0.4) && lastEnd < map.duration * 0.8 - 1) {
        const double start = uniform(std::max(lastEnd + 0.5, map.duration * 0.8), map.duration - 1);
        map.regions.push_back(region(start, start + uniform(0.5, 4), BeatloomTimelineMode::free));
    }
    return map;
}

// The editor's bar.beat of a line as a count of beats, in bars of `beatsPerBar`.
double beatCount(const BeatloomTimeline::GridLine& line, std::int64_t beatsPerBar) {
    return static_cast<double>(*line.barNumber) * static_cast<double>(beatsPerBar) + static_cast<double>(*line.beatNumber);
}

// Bars and beats within a tick both ways: each of the editor's lines finds a line of the file of
// the same kind within a tick of the file's position at its time, and every line of the file
// finds one of the editor's. Only Free Time, Rubato regions outside their anchors and the joins
// around a Rubato span (from the editor's last line before its first anchor, to the first line
// after its last one) have no lines of the editor; across a join the file counts the beats the
// editor's numbers skip.
void expectBarsAndBeatsAgree(const EditedMap& map, const ReadFile& file) {
    constexpr double kTick = 1.0 + 1e-6;
    ASSERT_FALSE(file.tempos.empty()) << "the reader read nothing";
    auto editor = BeatloomTimeline::gridLines(map.tempoPoints, map.meterEvents, map.barAnchors, {},
                                              map.barOneSeconds, map.pickupBarCount, false, map.regions,
                                              map.rhythmicAnchors, BeatloomGridResolution::sixteenth, map.duration);
    std::erase_if(editor, [&](const auto& line) {
        return line.kind == BeatloomTimeline::GridKind::subdivision || line.timeSeconds < 0 ||
               line.timeSeconds > map.duration;
    });
    ASSERT_FALSE(editor.empty());
    const double gridStart = editor.front().timeSeconds;

    // Where the editor draws no line: Free Time, Rubato regions outside their anchors, and the
    // joins around each Rubato span.
    const auto regions = BeatloomFlexibleTimeline::normalizedRegions(map.regions, map.duration);
    std::vector<std::pair<double, double>> silent;
    std::vector<std::pair<double, double>> spans;             // first and last anchor of each
    std::vector<std::pair<std::size_t, std::size_t>> joins;  // editor lines around each join
    for (const auto& region : regions) {
        std::vector<double> times;
        for (const auto& anchor : map.rhythmicAnchors) {
            if (anchor.regionID == region.id && anchor.quarterPosition) times.push_back(anchor.audioTimeSeconds);
        }
        std::sort(times.begin(), times.end());
        if (region.mode == BeatloomTimelineMode::free || times.size() < 2) {
            silent.emplace_back(region.startSeconds, region.endSeconds);
            continue;
        }
        // Before its first anchor and after its last a Rubato region has no grid either.
        silent.emplace_back(region.startSeconds, times.front());
        silent.emplace_back(times.back() + 2e-6, region.endSeconds);
        auto lineAt = [&](double t) {
            return static_cast<std::size_t>(
                std::find_if(editor.begin(), editor.end(), [&](const auto& line) { return std::abs(line.timeSeconds - t) < 1e-5; }) -
                editor.begin());
        };
        const std::size_t first = lineAt(times.front());
        const std::size_t last = lineAt(times.back());
        ASSERT_LT(first, editor.size()) << "no line on the first anchor at " << times.front();
        ASSERT_LT(last, editor.size()) << "no line on the last anchor at " << times.back();
        if (first > 0) joins.emplace_back(first - 1, first);
        if (last + 1 < editor.size()) joins.emplace_back(last, last + 1);
        spans.emplace_back(times.front(), times.back());
    }
    // A region whose first anchor is the last anchor of the one before it has no join there.
    std::erase_if(joins, [&](const auto& join) {
        const double t = editor[join.first].timeSeconds;
        return std::any_of(spans.begin(), spans.end(),
                           [&](const auto& span) { return t > span.first + 1e-5 && t < span.second - 1e-5; });
    });
    auto inside = [](double t, const std::pair<double, double>& span) {
        return t >= span.first - 1e-6 && t < span.second - 1e-6;
    };
    auto tickOf = [&](const BeatloomTimeline::GridLine& line) { return file.tickAt(line.timeSeconds); };

    int faults = 0;
    for (const auto& line : editor) {
        const double tick = tickOf(line);
        const bool bar = line.kind == BeatloomTimeline::GridKind::bar;
        const auto nearest = std::min_element(file.lines.begin(), file.lines.end(), [&](const ReadLine& a, const ReadLine& b) {
            return std::abs(a.quarter * kTicksPerQuarter - tick) < std::abs(b.quarter * kTicksPerQuarter - tick);
        });
        ASSERT_NE(nearest, file.lines.end());
        const double fileTick = nearest->quarter * kTicksPerQuarter;
        if (std::abs(fileTick - tick) > kTick || (nearest->bar != bar && fileTick != 0)) {
            ADD_FAILURE() << "editor " << (bar ? "bar" : "beat") << " at " << line.timeSeconds << " s, tick "
                          << tick << "; file " << (nearest->bar ? "bar" : "beat") << " at tick " << fileTick;
            if (++faults > 5) break;
        }
    }
    auto inAJoin = [&](double tick) {
        return std::any_of(joins.begin(), joins.end(), [&](const auto& join) {
            return tick > tickOf(editor[join.first]) + kTick && tick < tickOf(editor[join.second]) - kTick;
        });
    };
    for (std::size_t i = 0; i < file.lines.size() && faults <= 5; ++i) {
        const ReadLine& line = file.lines[i];
        const double tick = line.quarter * kTicksPerQuarter;
        const bool crowded = (i > 0 && tick - file.lines[i - 1].quarter * kTicksPerQuarter <= kTick) ||
                             (i + 1 < file.lines.size() && file.lines[i + 1].quarter * kTicksPerQuarter - tick <= kTick);
        const bool quiet = std::any_of(silent.begin(), silent.end(), [&](const auto& span) { return inside(line.seconds, span); });
        if (line.seconds < gridStart - 1e-3 || line.seconds > map.duration || quiet || crowded || inAJoin(tick)) {
            continue;
        }
        const auto nearest = std::min_element(editor.begin(), editor.end(), [&](const auto& a, const auto& b) {
            return std::abs(tickOf(a) - tick) < std::abs(tickOf(b) - tick);
        });
        const bool bar = nearest->kind == BeatloomTimeline::GridKind::bar;
        if (std::abs(tickOf(*nearest) - tick) > kTick || (line.bar != bar && tick != 0)) {
            ADD_FAILURE() << "file " << (line.bar ? "bar" : "beat") << " at tick " << tick << " (" << line.seconds
                          << " s); editor " << (bar ? "bar" : "beat") << " at " << nearest->timeSeconds << " s";
            ++faults;
        }
    }
    // Across a join the file counts the beats from the editor's bar.beat on one side to its
    // bar.beat on the other, where that count runs forward.
    for (const auto& [before, after] : joins) {
        const auto& a = editor[before];
        const auto& b = editor[after];
        const auto rule = BeatloomTimeline::meterRule(BeatloomTimeline::meterInForce(map.meterEvents, map.duration, b.timeSeconds));
        if (!a.barNumber || !b.barNumber ||
            rule != BeatloomTimeline::meterRule(BeatloomTimeline::meterInForce(map.meterEvents, map.duration, a.timeSeconds))) {
            continue;
        }
        const double beats = beatCount(b, rule.beatsPerBar) - beatCount(a, rule.beatsPerBar);
        // Beats the editor skips faster than any file can count them cannot all be written.
        const double tempo = beats * rule.beatLengthQuarters * 60 / (b.timeSeconds - a.timeSeconds);
        if (beats < 1 || tempo > 6000) continue;
        const auto inBetween = std::count_if(file.lines.begin(), file.lines.end(), [&](const ReadLine& line) {
            const double tick = line.quarter * kTicksPerQuarter;
            return tick > tickOf(a) + kTick && tick < tickOf(b) - kTick;
        });
        EXPECT_EQ(static_cast<double>(inBetween), beats - 1)
            << "join from " << a.timeSeconds << " s to " << b.timeSeconds << " s";
    }
}

TEST_F(MidiReaderTest, BackToBackRubatoRegionsKeepTheBarsAfterThem) {
    // 120 BPM in 4/4: Rubato from 4 s with anchors on bar 3 beats 1 and 2 at 4 s and 6 s; Rubato
    // started at 8 s, where the first one ends, anchored at its start on bar 5 and on two more
    // beats; the grid goes on from 12 s.
    EditedMap map;
    map.tempoPoints = {tempoPoint(0, 120)};
    map.meterEvents = {meter(0, 4, 4)};
    map.duration = 20;
    const auto first = region(4, 8), second = region(8, 12);
    map.regions = {first, second};
    map.rhythmicAnchors = {rhythmicAnchor(first, 4, 8, BeatloomMusicalPosition{3, 1, 0}),
                           rhythmicAnchor(first, 6, 9, BeatloomMusicalPosition{3, 2, 0}),
                           rhythmicAnchor(second, 8, 16, BeatloomMusicalPosition{5, 1, 0}),
                           rhythmicAnchor(second, 9, 17, BeatloomMusicalPosition{5, 2, 0}),
                           rhythmicAnchor(second, 10, 18, BeatloomMusicalPosition{5, 3, 0})};
    const ReadFile file = read(map.exported());
    expectBarsAndBeatsAgree(map, file);
    for (const double bar : {8.0, 12.0, 14.0, 16.0, 18.0}) EXPECT_NEAR(file.tickAt(bar), bar * 2 * kTicksPerQuarter, 1) << bar;
}

// 120 BPM in 4/4 and a Rubato region from 4 s whose anchors stand on consecutive beats from
// bar 3 (quarter 8) on, at the given times: Start Rubato on bar 3 and A on the beats after it.
EditedMap rubatoFromBarThree(double regionEnd, double duration, const std::vector<double>& times) {
    EditedMap map;
    map.tempoPoints = {tempoPoint(0, 120)};
    map.meterEvents = {meter(0, 4, 4)};
    map.duration = duration;
    const auto rubato = region(4, regionEnd);
    map.regions = {rubato};
    for (std::size_t beat = 0; beat < times.size(); ++beat) {
        const auto n = static_cast<std::int64_t>(beat);
        map.rhythmicAnchors.push_back(rhythmicAnchor(rubato, times[beat], 8.0 + static_cast<double>(beat),
                                                     BeatloomMusicalPosition{3 + n / 4, n % 4 + 1, 0}));
    }
    return map;
}

TEST_F(MidiReaderTest, AFirstAnchorOffTheGridLeadsInFromTheLastLineBeforeIt) {
    // Bar 3 performed 0.2 s late: the first anchor dragged from 4 s to 4.2 s.
    EditedMap map = rubatoFromBarThree(8, 16, {4.2, 4.7, 5.2, 5.7, 6.2});
    ReadFile file = read(map.exported());
    expectBarsAndBeatsAgree(map, file);
    auto barAt = [&](double t) {
        return std::any_of(file.lines.begin(), file.lines.end(),
                           [&](const ReadLine& line) { return line.bar && std::abs(line.seconds - t) < 0.001; });
    };
    EXPECT_TRUE(barAt(4.2));
    EXPECT_TRUE(barAt(6.2));

    // A tempo changed before the region after its anchors were set: the bars inside stay on them.
    map.tempoPoints.push_back(tempoPoint(1, 110));
    file = read(map.exported());
    expectBarsAndBeatsAgree(map, file);
    EXPECT_TRUE(barAt(4.2));
    EXPECT_TRUE(barAt(6.2));
}

TEST_F(MidiReaderTest, ARubatoRegionToTheSongsEndIsExported) {
    // The performer runs ahead of the 120 BPM grid up to the end of the song: no metered line is
    // left to catch up with, and its last tempo runs on.
    const EditedMap map = rubatoFromBarThree(6, 6, {4, 4.3, 4.6, 4.9, 5.2, 5.5});
    const ReadFile file = read(map.exported());
    expectBarsAndBeatsAgree(map, file);
    EXPECT_NEAR(file.endSeconds, 6, 0.001);
}

// A random map of the kind a user edits, exported and read back by the reader: every bar and
// beat stays within a tick both ways.
TEST_F(MidiReaderTest, RandomMapsKeepEveryBarAndBeatWithinATick) {
    std::mt19937_64 random(1913);
    std::vector<EditedMap> maps;
    std::vector<Bytes> files;
    for (int n = 0; n < 400; ++n) {
        maps.push_back(randomMap(random));
        try {
            files.push_back(maps.back().exported());
        } catch (const ErrorException& e) {
            ADD_FAILURE() << "map " << n << " refused: " << e.error().message;
            maps.pop_back();
        }
    }
    const std::vector<ReadFile> read = readAll(files);
    for (std::size_t n = 0; n < maps.size(); ++n) {
        SCOPED_TRACE("map " + std::to_string(n));
        expectBarsAndBeatsAgree(maps[n], read[n]);
    }
}

}  // namespace
}  // namespace corvel::TempoMIDIExporter
