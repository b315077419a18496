// Reads exported tempo maps with a MIDI parser that is not ours (mido, run by the system's
// Python) and checks that the bars and beats a DAW sees fall where the editor has them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/midi_writer.hpp"
#include "core/timeline_segments.hpp"

namespace corvel::TempoMIDIExporter {
namespace {

namespace fs = std::filesystem;

// Prints every bar and beat of the file with its tick and its time in seconds, and every
// marker with its time. Bars restart at each time signature; a beat is the denominator's
// note, or a dotted quarter in 6/8, 9/8, 12/8 ...
constexpr const char* kReaderScript = R"PY(
import json, sys
from fractions import Fraction
import mido

mid = mido.MidiFile(sys.argv[1])
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

def seconds(t):
    total = Fraction(0)
    for i, (start, tempo) in enumerate(tempos):
        stop = tempos[i + 1][0] if i + 1 < len(tempos) else None
        if t <= start:
            break
        span = (min(t, stop) if stop is not None else t) - start
        total += Fraction(span) * tempo / tpq / 1000000
    return float(total)

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
print(json.dumps({"lines": lines, "markers": markers, "endSeconds": seconds(end)}))
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
};

class MidiReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("corvel-midi-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(folder_);
        std::ofstream(folder_ / "reader.py") << kReaderScript;
    }
    void TearDown() override { fs::remove_all(folder_); }

    ReadFile read(const Bytes& file) {
        const fs::path path = folder_ / "map.mid";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                    static_cast<std::streamsize>(file.size()));
        const std::string command =
            "/usr/bin/python3 '" + (folder_ / "reader.py").string() + "' '" + path.string() + "'";
        std::string output;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[4096];
            std::size_t count = 0;
            while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, count);
            EXPECT_EQ(::pclose(pipe), 0) << "the reader failed";
        }
        ReadFile result;
        const auto json = nlohmann::json::parse(output, nullptr, false);
        if (json.is_discarded()) {
            ADD_FAILURE() << "unreadable reader output: " << output;
            return result;
        }
        for (const auto& line : json["lines"]) {
            result.lines.push_back({line["tick"].get<double>() / kTicksPerQuarter, line["seconds"].get<double>(),
                                    line["bar"].get<bool>()});
        }
        for (const auto& marker : json["markers"]) {
            result.markers.emplace_back(marker["text"].get<std::string>(), marker["seconds"].get<double>());
        }
        result.endSeconds = json["endSeconds"].get<double>();
        return result;
    }

    fs::path folder_;
};

BeatloomTempoPoint point(double seconds, double bpm, bool ramp = false) {
    return BeatloomTempoPoint{Uuid::random(), seconds, bpm, 1.0, ramp};
}
BeatloomMeterEvent meter(double seconds, std::int64_t numerator, std::int64_t denominator) {
    return BeatloomMeterEvent{Uuid::random(), seconds, numerator, denominator};
}

// The editor's quarter-note axis: its tempo segments, and between Rubato anchors
// (time, quarter) the elastic stretch that replaces them there.
struct EditorAxis {
    std::vector<BeatloomTimeline::Segment> segments;
    std::vector<std::pair<double, double>> rubatoAnchors;

    EditorAxis(const std::vector<BeatloomTempoPoint>& points, double duration,
               std::vector<std::pair<double, double>> rubato = {})
        : segments(BeatloomTimeline::segments(points, duration)), rubatoAnchors(std::move(rubato)) {}

    double meteredQuarters(double t) const { return BeatloomTimeline::quarterPosition(segments, t); }
    double seconds(double q) const {
        for (std::size_t i = 0; i + 1 < rubatoAnchors.size(); ++i) {
            const auto [ta, qa] = rubatoAnchors[i];
            const auto [tb, qb] = rubatoAnchors[i + 1];
            if (q >= qa && q <= qb) return ta + (tb - ta) * (q - qa) / (qb - qa);
        }
        return BeatloomTimeline::seconds(segments, q).value_or(std::nan(""));
    }
};

// Every bar and beat the file shows lies within 1 ms of the editor's time for its quarter
// position, and the file's bars are exactly the editor's.
void expectGridAgrees(const ReadFile& file, const EditorAxis& axis, const std::vector<double>& barQuarters,
                      double fromQuarter, std::size_t expectedLines) {
    std::size_t compared = 0;
    for (const ReadLine& line : file.lines) {
        if (line.quarter < fromQuarter - 1e-9) continue;
        ++compared;
        EXPECT_NEAR(line.seconds, axis.seconds(line.quarter), 0.001) << "quarter " << line.quarter;
        const bool editorBar = std::any_of(barQuarters.begin(), barQuarters.end(),
                                           [&](double q) { return std::abs(q - line.quarter) < 1e-6; });
        EXPECT_EQ(line.bar, editorBar) << "quarter " << line.quarter;
    }
    EXPECT_EQ(compared, expectedLines);
}

std::vector<double> every(double from, double to, double step) {
    std::vector<double> values;
    for (double q = from; q <= to + 1e-9; q += step) values.push_back(q);
    return values;
}
std::vector<double> joined(std::vector<double> a, const std::vector<double>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(MidiReaderTest, StepsAndRamps) {
    // 120 BPM, a step to 90 at 4 s, a ramp 100 to 120 BPM from 8 s to 12 s, a ramp 140 down
    // to 110 from 15 s to 21 s, then 110 to 30 s.
    const std::vector<BeatloomTempoPoint> points{point(0, 120), point(4, 90),          point(8, 100, true),
                                                 point(12, 120), point(15, 140, true), point(21, 110)};
    const EditorAxis axis(points, 30);
    const ReadFile file = read(midiData(points, {meter(0, 4, 4)}, {}, std::nullopt, 0, {}, {}, 30));
    const double endQuarter = axis.meteredQuarters(30);
    EXPECT_NEAR(endQuarter, 8 + 6 + 4 * 110.0 / 60 + 6 + 6 * 125.0 / 60 + 9 * 110.0 / 60, 1e-9);
    expectGridAgrees(file, axis, every(0, endQuarter, 4), 0, static_cast<std::size_t>(std::floor(endQuarter)) + 1);
    EXPECT_NEAR(file.endSeconds, 30, 0.001);
}

TEST_F(MidiReaderTest, MeterChangesAndPickups) {
    // Bar 1 at 1.5 s after a pickup of three beats; 3/4 from 9.5 s (quarter 19, bar 5), 6/8
    // from 14 s (quarter 28, bar 8), 7/8 from 20 s (quarter 41, halfway through a 6/8 bar),
    // at 120 BPM with a ramp to 150 BPM between 16 s and 20 s.
    const std::vector<BeatloomTempoPoint> points{point(0, 120), point(16, 120, true), point(20, 150)};
    const EditorAxis axis(points, 26);
    const std::vector<BeatloomMeterEvent> meters{meter(0, 4, 4), meter(9.5, 3, 4), meter(14, 6, 8), meter(20, 7, 8)};
    const ReadFile file = read(midiData(points, meters, {}, 1.5, 1, {}, {}, 26));
    const std::vector<double> bars =
        joined(joined(joined(every(3, 15, 4), every(19, 25, 3)), every(28, 40, 3)), every(41, 56, 3.5));
    // From Bar 1: quarters 3...27, dotted quarters 28...40, eighths from 41 to the end.
    ReadFile fromBarOne = file;
    std::erase_if(fromBarOne.lines, [](const ReadLine& line) { return line.quarter < 3; });
    const double endQuarter = axis.meteredQuarters(26);
    EXPECT_NEAR(endQuarter, 56, 1e-9);
    expectGridAgrees(fromBarOne, axis, bars, 3, 25 + 9 + 31);
    // Before Bar 1 the file's beats still fall on the editor's pickup beats (the file cannot
    // start with a partial bar, so its track start counts as a bar).
    for (const ReadLine& line : file.lines) {
        if (line.quarter < 3) {
            EXPECT_NEAR(line.seconds, axis.seconds(line.quarter), 0.001);
        }
    }
    ASSERT_GE(file.markers.size(), 2u);
    EXPECT_EQ(file.markers[0], (std::pair<std::string, double>{"Orvanta Pickup: 1 bar before Bar 1", 0.0}));
    EXPECT_EQ(file.markers[1].first, "Orvanta Bar 1");
    EXPECT_NEAR(file.markers[1].second, 1.5, 0.001);
}

TEST_F(MidiReaderTest, RubatoRegion) {
    // 120 BPM; a Rubato region from 4 s to 8 s whose anchors stretch quarters 8...16 unevenly,
    // then a Free Time region from 12 s to 14 s.
    const BeatloomTimelineRegion rubato{Uuid::random(), 4, 8, BeatloomTimelineMode::rubato, false};
    const BeatloomTimelineRegion free{Uuid::random(), 12, 14, BeatloomTimelineMode::free, false};
    const std::vector<std::pair<double, double>> anchorPositions{{4, 8}, {5.2, 10}, {6, 11}, {8, 16}};
    std::vector<BeatloomRhythmicAnchor> anchors;
    for (const auto& [t, q] : anchorPositions) {
        BeatloomRhythmicAnchor anchor;
        anchor.regionID = rubato.id;
        anchor.audioTimeSeconds = t;
        anchor.quarterPosition = q;
        anchors.push_back(anchor);
    }
    const EditorAxis axis({point(0, 120)}, 20, anchorPositions);
    const ReadFile file =
        read(midiData({point(0, 120)}, {meter(0, 4, 4)}, {}, std::nullopt, 0, {free, rubato}, anchors, 20));
    expectGridAgrees(file, axis, every(0, 40, 4), 0, 41);
    const std::vector<std::pair<std::string, double>> markers{
        {"Orvanta RUBATO START", 4}, {"Orvanta RUBATO END", 8}, {"Orvanta FREE START", 12}, {"Orvanta FREE END", 14}};
    ASSERT_EQ(file.markers.size(), markers.size());
    for (std::size_t i = 0; i < markers.size(); ++i) {
        EXPECT_EQ(file.markers[i].first, markers[i].first);
        EXPECT_NEAR(file.markers[i].second, markers[i].second, 0.001);
    }
}

}  // namespace
}  // namespace corvel::TempoMIDIExporter
