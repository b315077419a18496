#include "core/midi_events.hpp"

#include <gtest/gtest.h>

#include "support/core_records.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/midi_writer.hpp"

namespace corvel::TempoMIDIExporter {
namespace {

using namespace corvel::testing;

using Kind = TempoMIDIExporterError::Kind;

template <typename F>
Kind refusal(F&& call) {
    try {
        call();
    } catch (const TempoMIDIExporterError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no error";
    return Kind::invalidTimeline;
}

void expectEvents(const std::vector<TempoEvent>& actual, const std::vector<TempoEvent>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_NEAR(actual[i].seconds, expected[i].seconds, 1e-9) << i;
        EXPECT_NEAR(actual[i].bpm, expected[i].bpm, 1e-9) << i;
    }
}

// The quarter-note position of a time on a map of constant stretches and linear ramps,
// worked out by hand in each test.
struct Piece {
    double start, end, startBPM, endBPM;
};
double quartersAt(const std::vector<Piece>& pieces, double t) {
    double q = 0;
    for (const Piece& p : pieces) {
        const double dt = std::clamp(t, p.start, p.end) - p.start;
        const double slope = (p.endBPM - p.startBPM) / (p.end - p.start);
        q += (p.startBPM * dt + 0.5 * slope * dt * dt) / 60;
    }
    return q;
}

TEST(MidiTempoEvents, StepsAndRampsCarryTheirExactQuarters) {
    // 100 to 140 BPM over 2 s is 4 quarters; each 0.25 s step gets the mean of its ends.
    expectEvents(tempoEvents({tempoPoint(0, 100, true), tempoPoint(2, 140)}, 4),
                 {{0, 102.5}, {0.25, 107.5}, {0.5, 112.5}, {0.75, 117.5}, {1.0, 122.5}, {1.25, 127.5},
                  {1.5, 132.5}, {1.75, 137.5}, {2.0, 140}});
    // A ramp of 0.25 s or less is one step.
    expectEvents(tempoEvents({tempoPoint(0, 100, true), tempoPoint(0.2, 140)}, 4), {{0, 120}, {0.2, 140}});
    // Stepped only up to the duration, where the timeline's ramp ends with the next point.
    const double slope = 100 / 0.6;
    expectEvents(tempoEvents({tempoPoint(0, 100, true), tempoPoint(10, 200)}, 0.6),
                 {{0, 100 + slope * 0.125}, {0.25, 100 + slope * 0.375}, {0.5, 100 + slope * 0.55}, {0.6, 200}});
    // The only point moves to 0 s; equal neighbours fall together.
    expectEvents(tempoEvents({tempoPoint(12, 120)}, 20), {{0, 120}});
    expectEvents(tempoEvents({tempoPoint(0, 120), tempoPoint(5, 120.00001), tempoPoint(6, 90)}, 20), {{0, 120}, {6, 90}});
    expectEvents(tempoEvents({tempoPoint(0, 120)}, 0), {{0, 120}});
}

TEST(MidiTempoEvents, RefusesUnusableMaps) {
    EXPECT_EQ(refusal([] { tempoEvents({}, 10); }), Kind::invalidTimeline);
    EXPECT_EQ(refusal([] { tempoEvents({}, std::nan("")); }), Kind::invalidTimeline);
    for (double duration : {-1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(refusal([&] { tempoEvents({tempoPoint(0, 120)}, duration); }), Kind::invalidTimeline) << duration;
    }
    try {
        tempoEvents({tempoPoint(0, 120), tempoPoint(4, 3.5)}, 10);
        ADD_FAILURE();
    } catch (const TempoMIDIExporterError& error) {
        EXPECT_EQ(error.kind(), Kind::invalidTempo);
        EXPECT_EQ(error.bpm(), 3.5);
        EXPECT_EQ(error.error().message, "Cannot export invalid tempo 3.50 BPM.");
    }
    EXPECT_NO_THROW(tempoEvents({tempoPoint(0, 3.6)}, 10));
}

TEST(MidiTempoEvents, RubatoPairsOfEffectiveRegionsOnly) {
    const auto rubato = region(9, 14, BeatloomTimelineMode::rubato);
    const auto swallowed = region(10, 11, BeatloomTimelineMode::rubato);  // wholly inside the first
    const auto metered = region(20, 30, BeatloomTimelineMode::metered);
    const auto lonely = region(40, 50, BeatloomTimelineMode::rubato);
    const std::vector<BeatloomRhythmicAnchor> anchors{
        rhythmicAnchor(rubato, 12, 4),      rhythmicAnchor(rubato, 10, 0),     rhythmicAnchor(rubato, 11, std::nullopt),
        rhythmicAnchor(swallowed, 10.5, 1), rhythmicAnchor(swallowed, 10.8, 2), rhythmicAnchor(metered, 21, 0),
        rhythmicAnchor(metered, 22, 2),     rhythmicAnchor(lonely, 41, 3),     rhythmicAnchor(lonely, 42, std::nullopt),
    };
    expectEvents(rubatoTempoEvents({rubato, swallowed, metered, lonely}, anchors, 60), {{10, 120}});

    // Positions or times that do not grow are skipped.
    expectEvents(rubatoTempoEvents({rubato}, {rhythmicAnchor(rubato, 10, 0), rhythmicAnchor(rubato, 11, 0), rhythmicAnchor(rubato, 12, 2)}, 60),
                 {{11, 120}});

    // Two anchors 10 microseconds apart a quarter note apart: 6000000 BPM is no tempo.
    EXPECT_EQ(refusal([&] {
                  rubatoTempoEvents({rubato}, {rhythmicAnchor(rubato, 10, 0), rhythmicAnchor(rubato, 10.00001, 1)}, 60);
              }),
              Kind::invalidTempo);
}

TEST(MidiTempoEvents, MergingAndBarStarts) {
    expectEvents(mergedTempoEvents({{2, 90}, {0, 120}, {1, 120.00005}, {2.0000005, 100}, {3, 100}}),
                 {{0, 120}, {2.0000005, 100}});
    EXPECT_TRUE(mergedTempoEvents({}).empty());

    const std::vector<double> bars = barStartTimes(
        {4.0003, 4.0, -1.0, 9.0, std::nan(""), std::numeric_limits<double>::infinity(), 2.0}, 5.0);
    EXPECT_EQ(bars, (std::vector<double>{0.0, 2.0, 4.0, 5.0}));
}

// The tempo events of a whole export, in file order.
std::vector<TempoEvent> exportedTempo(const MetaEventPlan& plan) {
    std::vector<TempoEvent> result;
    for (const auto& event : plan.events) {
        if (const auto* tempo = std::get_if<TempoPayload>(&event.payload)) {
            result.push_back({event.seconds, tempo->bpm});
        }
    }
    return result;
}

TEST(MidiMetaEvents, RubatoSpansReplaceTheMeteredTempoAndEndWithIt) {
    const auto rubato = region(3, 7, BeatloomTimelineMode::rubato);
    const std::vector<BeatloomRhythmicAnchor> anchors{rhythmicAnchor(rubato, 4, 8), rhythmicAnchor(rubato, 6, 11)};
    // The span ends a quarter behind the metered grid (11 against 12 at 6 s): up to the region's
    // end it catches up (3 quarters in 1 s), then the tempo returns to 120 BPM.
    expectEvents(exportedTempo(metaEvents({tempoPoint(0, 120)}, {}, {}, std::nullopt, 0, {rubato}, anchors, 10)),
                 {{0, 120}, {4, 90}, {6, 180}, {7, 120}});
    // A step and a ramp inside the region give way to the span and its catching up: at 7 s the
    // metered grid stands at quarter 9 + 1.25 + 2 x 130 / 60 = 14.58, so its first line after
    // the region is quarter 15, 0.42 quarters later at 110 BPM; the span left the file at 10.
    const std::vector<BeatloomTempoPoint> points{tempoPoint(0, 120), tempoPoint(4.5, 150), tempoPoint(5, 150, true), tempoPoint(7, 110)};
    const auto shorter = std::vector<BeatloomRhythmicAnchor>{rhythmicAnchor(rubato, 4, 8), rhythmicAnchor(rubato, 5.25, 10)};
    const double firstLine = 7 + (15 - (10.25 + 2 * 130.0 / 60)) * 60 / 110;
    expectEvents(exportedTempo(metaEvents(points, {}, {}, std::nullopt, 0, {rubato}, shorter, 10)),
                 {{0, 120}, {4, 96}, {5.25, (15 - 10) * 60 / (firstLine - 5.25)}, {firstLine, 110}});
    // A Rubato region that is not effective (inside a Free Time region) exports no tempo.
    const auto free = region(2, 8, BeatloomTimelineMode::free);
    expectEvents(exportedTempo(metaEvents({tempoPoint(0, 120)}, {}, {}, std::nullopt, 0, {free, rubato}, anchors, 10)),
                 {{0, 120}});
}

std::vector<std::string> markerTexts(const MetaEventPlan& plan) {
    std::vector<std::string> texts;
    for (const auto& event : plan.events) {
        if (const auto* marker = std::get_if<MarkerPayload>(&event.payload)) texts.push_back(marker->text);
    }
    return texts;
}

TEST(MidiMetaEvents, OrderAndMarkerTexts) {
    const auto free = region(0, 2, BeatloomTimelineMode::free);
    const auto rubato = region(6, 8, BeatloomTimelineMode::rubato);
    BeatloomBarAnchor plain{Uuid::random(), 4.0, std::nullopt};
    BeatloomBarAnchor rejoin{Uuid::random(), 9.0003, 17};
    BeatloomBarAnchor duplicate{Uuid::random(), 9.0, std::nullopt};
    const MetaEventPlan plan =
        metaEvents({tempoPoint(0, 120)}, {meter(0, 3, 4), meter(5, 6, 8)}, {plain, duplicate, rejoin}, 2.0, 2,
                   {rubato, free}, {}, 10);
    EXPECT_EQ(plan.firstBPM, 120);
    EXPECT_EQ(plan.headMeter.numerator, 3);

    struct Expected {
        double seconds;
        int priority;
    };
    // The first whole pickup bar (3/4 bars before Bar 1 at quarter 4) starts at quarter 1, 0.5 s:
    // the meter is restated there, so the file's bars before Bar 1 are the editor's.
    const std::vector<Expected> order{{0, kRegionMarkerPriority}, {0, kPickupMarkerPriority},
                                      {0, kMeterPriority},        {0, kTempoPriority},
                                      {0.5, kRestatedMeterPriority},
                                      {2, kRegionMarkerPriority}, {2, kRestatedMeterPriority},
                                      {2, kBarOneMarkerPriority}, {4, kRestatedMeterPriority},
                                      {4, kBarStartMarkerPriority}, {5, kMeterPriority},
                                      {6, kRegionMarkerPriority}, {8, kRegionMarkerPriority},
                                      {9, kRestatedMeterPriority}, {9, kBarStartMarkerPriority}};
    ASSERT_EQ(plan.events.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(plan.events[i].seconds, order[i].seconds) << i;
        EXPECT_EQ(plan.events[i].priority, order[i].priority) << i;
    }
    // Restated meters are those in force: 3/4 at the pickup bar, at Bar 1 and at 4 s, 6/8 at 9 s.
    EXPECT_EQ(std::get<BeatloomMeterEvent>(plan.events[4].payload).numerator, 3);
    EXPECT_EQ(std::get<BeatloomMeterEvent>(plan.events[6].payload).numerator, 3);
    EXPECT_EQ(std::get<BeatloomMeterEvent>(plan.events[13].payload).numerator, 6);

    // The bar start at 9 s takes its text from the first anchor of the list within 0.0005 s.
    EXPECT_EQ(markerTexts(plan),
              (std::vector<std::string>{"Orvanta FREE START", "Orvanta Pickup: 2 bars before Bar 1", "Orvanta FREE END",
                                        "Orvanta Bar 1", "Orvanta Bar Start", "Orvanta RUBATO START",
                                        "Orvanta RUBATO END", "Orvanta Bar Start"}));
    const auto rejoined = metaEvents({tempoPoint(0, 120)}, {}, {rejoin, duplicate}, 0.0004, 1, {}, {}, 10);
    EXPECT_EQ(markerTexts(rejoined),
              (std::vector<std::string>{"Orvanta Pickup: 1 bar before Bar 1", "Orvanta Rejoin Bar 17"}));
    EXPECT_EQ(markerTexts(metaEvents({tempoPoint(0, 120)}, {}, {}, 10.5, 0, {}, {}, 10)), std::vector<std::string>{});
}

TEST(MidiData, ConstantMapIsSeventyThreeBytes) {
    const Bytes file = midiData({tempoPoint(0, 120)}, {meter(0, 4, 4)}, {}, std::nullopt, 0, {}, {}, 10);
    ASSERT_EQ(file.size(), 73u);
    EXPECT_EQ(file[21], 0x33);  // track length 51
    const Bytes tail{0x00, 0xFF, 0x58, 0x04, 0x04, 0x02, 0x18, 0x08, 0x00, 0xFF, 0x51, 0x03,
                     0x07, 0xA1, 0x20, 0x81, 0x96, 0x00, 0xFF, 0x2F, 0x00};
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), file.end() - static_cast<std::ptrdiff_t>(tail.size())));
}

// Reads the absolute tick of every marker of a file the writer produced.
std::vector<std::pair<std::uint64_t, std::string>> markerTicks(const Bytes& file) {
    std::vector<std::pair<std::uint64_t, std::string>> markers;
    std::size_t at = 22;
    std::uint64_t tick = 0;
    auto vlq = [&] {
        std::uint64_t value = 0;
        while (true) {
            const std::uint8_t byte = file.at(at++);
            value = (value << 7) | (byte & 0x7F);
            if ((byte & 0x80) == 0) return value;
        }
    };
    while (at < file.size()) {
        tick += vlq();
        at++;  // FF
        const std::uint8_t type = file.at(at++);
        const std::uint64_t size = vlq();
        if (type == 0x06) {
            markers.emplace_back(tick, std::string(file.begin() + static_cast<std::ptrdiff_t>(at),
                                                   file.begin() + static_cast<std::ptrdiff_t>(at + size)));
        }
        at += size;
    }
    return markers;
}

TEST(MidiData, NoDriftAfterRamps) {
    // Accelerating and decelerating ramps whose lengths are no multiple of the step. Bar
    // starts at every step end inside the ramps and every 0.37 s between them each lie
    // within one tick of their quarter position.
    const std::vector<BeatloomTempoPoint> points{tempoPoint(0, 97.3, true), tempoPoint(3.7, 133.1), tempoPoint(5.2, 181, true),
                                                 tempoPoint(10.33, 61.7, true), tempoPoint(12.9, 88)};
    const std::vector<Piece> pieces{{0, 3.7, 97.3, 133.1}, {3.7, 5.2, 133.1, 133.1}, {5.2, 10.33, 181, 61.7},
                                    {10.33, 12.9, 61.7, 88}, {12.9, 20, 88, 88}};
    std::vector<BeatloomBarAnchor> anchors;
    for (const Piece& piece : pieces) {
        const double step = piece.startBPM == piece.endBPM ? 0.37 : 0.25;
        for (double k = 1; piece.start + k * step < piece.end - 0.001; ++k) {
            anchors.push_back({Uuid::random(), piece.start + k * step, std::nullopt});
        }
        anchors.push_back({Uuid::random(), piece.end, std::nullopt});
    }
    const auto markers = markerTicks(midiData(points, {}, anchors, std::nullopt, 0, {}, {}, 20));
    ASSERT_EQ(markers.size(), anchors.size());
    for (std::size_t i = 0; i < markers.size(); ++i) {
        const double expected = quartersAt(pieces, anchors[i].timeSeconds) * 960;
        EXPECT_LE(std::abs(static_cast<double>(markers[i].first) - expected), 0.5 + 1e-6) << anchors[i].timeSeconds;
    }
}

// Markers land on their quarter position: inside the steps of a steep ramp, and after a
// Rubato span whose anchors leave the metered grid (quarter 11 at 6 s where 120 BPM says 12).
TEST(MidiData, MarkersLandOnTheEditorsQuarters) {
    const std::vector<BeatloomTempoPoint> ramp{tempoPoint(0, 100), tempoPoint(2, 60, true), tempoPoint(3, 300)};
    const std::vector<Piece> pieces{{0, 2, 100, 100}, {2, 3, 60, 300}, {3, 6, 300, 300}};
    std::vector<BeatloomBarAnchor> inRamp;
    for (double t : {2.1, 2.37, 2.61, 2.9, 4.2}) inRamp.push_back(barAnchor(t));
    auto markers = markerTicks(midiData(ramp, {meter(0, 4, 4), meter(2.45, 3, 4)}, inRamp, std::nullopt, 0, {}, {}, 6));
    ASSERT_EQ(markers.size(), inRamp.size());
    for (std::size_t i = 0; i < markers.size(); ++i) {
        const double expected = quartersAt(pieces, inRamp[i].timeSeconds) * 960;
        EXPECT_LE(std::abs(static_cast<double>(markers[i].first) - expected), 0.5 + 1e-6) << inRamp[i].timeSeconds;
    }

    const auto rubato = region(4, 8, BeatloomTimelineMode::rubato);
    markers = markerTicks(midiData({tempoPoint(0, 120)}, {}, {barAnchor(10)}, std::nullopt, 0, {rubato},
                                   {rhythmicAnchor(rubato, 4, 8), rhythmicAnchor(rubato, 6, 11)}, 12));
    ASSERT_EQ(markers.size(), 3u);
    EXPECT_EQ(markers[1], (std::pair<std::uint64_t, std::string>{16 * 960, "Orvanta RUBATO END"}));
    EXPECT_EQ(markers[2], (std::pair<std::uint64_t, std::string>{20 * 960, "Orvanta Bar Start"}));
}

TEST(MidiData, RefusesWhatAFileCannotHold) {
    // A map 10 million seconds long at 120 BPM ends 320 million ticks in: no four-byte delta.
    EXPECT_EQ(refusal([] { midiData({tempoPoint(0, 120)}, {}, {}, std::nullopt, 0, {}, {}, 1e7); }), Kind::invalidTimeline);
    EXPECT_EQ(refusal([] { midiData({}, {}, {}, std::nullopt, 0, {}, {}, 10); }), Kind::invalidTimeline);
    // Songs too long to count in ticks, or with ramps too long to step, are refused before a
    // single step is built.
    const struct {
        std::vector<BeatloomTempoPoint> points;
        double duration;
    } tooLong[] = {
        {{tempoPoint(0, 120, true), tempoPoint(5e6, 60)}, 1e7},
        {{tempoPoint(0, 30, true), tempoPoint(1, 300)}, 1e9},
        {{tempoPoint(0, 3.6, true), tempoPoint(4e6, 3.7)}, 4e6},
        {{tempoPoint(0, 100, true), tempoPoint(1e300, 120)}, 1e300},
        {{tempoPoint(0, 100, true), tempoPoint(10, 120)}, std::numeric_limits<double>::max()},
    };
    for (const auto& map : tooLong) {
        EXPECT_EQ(refusal([&] { midiData(map.points, {}, {}, std::nullopt, 0, {}, {}, map.duration); }),
                  Kind::invalidTimeline)
            << map.duration;
        EXPECT_EQ(refusal([&] { tempoEvents(map.points, map.duration); }), Kind::invalidTimeline) << map.duration;
    }
    const auto rubato = region(1, 3, BeatloomTimelineMode::rubato);
    EXPECT_EQ(refusal([&] {
                  midiData({tempoPoint(0, 120)}, {}, {}, std::nullopt, 0, {rubato},
                           {rhythmicAnchor(rubato, 1, 0), rhythmicAnchor(rubato, 1.000002, 100)}, 10);
              }),
              Kind::invalidTempo);

    // The grid shows bar 3 at 4 s and, 10 ms later, a Rubato anchor labelled bar 3 as well: no file
    // can put a bar between them, and the refusal names the tempo that would take.
    const auto late = region(4.005, 8, BeatloomTimelineMode::rubato);
    const std::vector<BeatloomRhythmicAnchor> twice{rhythmicAnchor(late, 4.01, 8.02, BeatloomMusicalPosition{3, 1, 0}),
                                                    rhythmicAnchor(late, 5, 10, BeatloomMusicalPosition{3, 3, 0})};
    try {
        midiData({tempoPoint(0, 120)}, {meter(0, 4, 4)}, {}, std::nullopt, 0, {late}, twice, 10);
        ADD_FAILURE() << "exported";
    } catch (const TempoMIDIExporterError& error) {
        EXPECT_EQ(error.kind(), Kind::invalidTempo);
        EXPECT_GT(error.bpm(), 6000);
    }
}

}  // namespace
}  // namespace corvel::TempoMIDIExporter
