#include "core/grid_lines.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/core_records.hpp"

#include "core/timeline_segments.hpp"

namespace corvel::BeatloomTimeline {
namespace {

using namespace corvel::testing;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kMaxInt = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMinInt = std::numeric_limits<std::int64_t>::min();

// The session's edited map; defaults: 120 BPM (two quarters a second), 4/4, no Bar 1 time,
// no pickup, nothing else, resolution eighth, 8 s of audio.
struct Map {
    std::vector<BeatloomTempoPoint> tempoPoints{tempoPoint(0, 120)};
    std::vector<BeatloomMeterEvent> meterEvents{meter(0, 4, 4)};
    std::vector<BeatloomBarAnchor> barAnchors;
    std::vector<BeatloomPhaseLock> phaseLocks;
    std::optional<double> barOneSeconds;
    std::int64_t pickupBarCount = 0;
    bool fromAudioStart = false;
    std::vector<BeatloomTimelineRegion> regions;
    std::vector<BeatloomRhythmicAnchor> rhythmicAnchors;
    BeatloomGridResolution resolution = BeatloomGridResolution::eighth;
    double duration = 8;

    std::vector<GridLine> grid() const {
        return gridLines(tempoPoints, meterEvents, barAnchors, phaseLocks, barOneSeconds, pickupBarCount,
                         fromAudioStart, regions, rhythmicAnchors, resolution, duration);
    }
};

// A line as the user reads it: time, kind and bar.beat label ("" for subdivisions).
struct Seen {
    double time;
    GridKind kind;
    std::string label;
};

std::string labelOf(const GridLine& line) {
    if (!line.barNumber || !line.beatNumber) return "";
    return gridLineLabel(*line.barNumber, *line.beatNumber);
}

const GridLine* lineAt(const std::vector<GridLine>& lines, double time) {
    for (const auto& line : lines) {
        if (std::abs(line.timeSeconds - time) < 1e-9) return &line;
    }
    return nullptr;
}

void expectLinesAt(const std::vector<GridLine>& lines, const std::vector<Seen>& expected) {
    for (const auto& want : expected) {
        const GridLine* line = lineAt(lines, want.time);
        ASSERT_NE(line, nullptr) << "no line at " << want.time;
        EXPECT_EQ(line->kind, want.kind) << "at " << want.time;
        EXPECT_EQ(labelOf(*line), want.label) << "at " << want.time;
    }
}

void expectSortedAndApart(const std::vector<GridLine>& lines) {
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_GE(lines[i].timeSeconds - lines[i - 1].timeSeconds, kMergeToleranceSeconds) << "line " << i;
    }
}

TEST(GridLines, EighthsInFourFour) {
    Map map;
    map.duration = 4;
    const auto lines = map.grid();
    ASSERT_EQ(lines.size(), 17u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const double quarter = 0.5 * static_cast<double>(i);
        EXPECT_DOUBLE_EQ(lines[i].timeSeconds, 0.25 * static_cast<double>(i));
        EXPECT_DOUBLE_EQ(lines[i].quarterPosition, quarter);
        if (i % 2 == 1) {
            EXPECT_EQ(lines[i].kind, GridKind::subdivision) << "line " << i;
            EXPECT_FALSE(lines[i].barNumber.has_value());
            EXPECT_FALSE(lines[i].beatNumber.has_value());
        }
    }
    expectLinesAt(lines, {{0, GridKind::bar, "1.1"},
                          {0.5, GridKind::beat, "1.2"},
                          {1.5, GridKind::beat, "1.4"},
                          {2, GridKind::bar, "2.1"},
                          {4, GridKind::bar, "3.1"}});
}

TEST(GridLines, NothingWithoutDurationOrTempo) {
    for (const double duration : {0.0, -1.0, kNaN}) {
        Map map;
        map.duration = duration;
        EXPECT_TRUE(map.grid().empty()) << duration;
    }
    Map map;
    map.tempoPoints.clear();
    EXPECT_TRUE(map.grid().empty());
}

TEST(GridLines, BarOnePickupsAndAudioStart) {
    {
        Map map;
        map.barOneSeconds = 1;
        const auto lines = map.grid();
        ASSERT_FALSE(lines.empty());
        EXPECT_DOUBLE_EQ(lines.front().timeSeconds, 1);
        EXPECT_EQ(labelOf(lines.front()), "1.1");
        EXPECT_EQ(lines.front().kind, GridKind::bar);
    }
    {
        Map map;
        map.barOneSeconds = 1;
        map.pickupBarCount = 1;
        const auto lines = map.grid();
        ASSERT_FALSE(lines.empty());
        EXPECT_DOUBLE_EQ(lines.front().timeSeconds, -1);
        EXPECT_DOUBLE_EQ(lines.front().quarterPosition, -2);
        expectLinesAt(lines, {{-1, GridKind::bar, "P.1"},
                              {0, GridKind::beat, "P.3"},
                              {0.5, GridKind::beat, "P.4"},
                              {1, GridKind::bar, "1.1"}});
    }
    {
        Map map;
        map.barOneSeconds = 2;
        map.fromAudioStart = true;
        const auto lines = map.grid();
        ASSERT_FALSE(lines.empty());
        EXPECT_DOUBLE_EQ(lines.front().timeSeconds, 0);
        expectLinesAt(lines, {{0, GridKind::bar, "P.1"}, {1.5, GridKind::beat, "P.4"}, {2, GridKind::bar, "1.1"}});
    }
    {
        // More pickup bars than reach the audio start: the grid runs on before 0 s at the
        // first tempo.
        Map map;
        map.barOneSeconds = 1;
        map.pickupBarCount = 3;
        const auto lines = map.grid();
        ASSERT_FALSE(lines.empty());
        EXPECT_DOUBLE_EQ(lines.front().timeSeconds, -5);
        EXPECT_EQ(labelOf(lines.front()), "P3.1");
    }
}

TEST(GridLines, CompoundMeterBeatsNeedAFineEnoughStep) {
    Map map;
    map.meterEvents = {meter(0, 6, 8)};
    map.duration = 3;  // six quarters: two bars of 6/8
    map.resolution = BeatloomGridResolution::quarter;
    auto lines = map.grid();
    ASSERT_EQ(lines.size(), 7u);
    // Bar lines every three quarters; the whole quarters between are subdivisions, and the
    // dotted beat in the middle of each bar falls between steps.
    for (const auto& line : lines) EXPECT_NE(line.kind, GridKind::beat) << line.quarterPosition;
    expectLinesAt(lines, {{0, GridKind::bar, "1.1"},
                          {0.5, GridKind::subdivision, ""},
                          {1, GridKind::subdivision, ""},
                          {1.5, GridKind::bar, "2.1"},
                          {3, GridKind::bar, "3.1"}});

    map.resolution = BeatloomGridResolution::eighth;
    lines = map.grid();
    ASSERT_EQ(lines.size(), 13u);
    expectLinesAt(lines, {{0, GridKind::bar, "1.1"},
                          {0.25, GridKind::subdivision, ""},
                          {0.75, GridKind::beat, "1.2"},
                          {1.5, GridKind::bar, "2.1"},
                          {2.25, GridKind::beat, "2.2"}});
}

TEST(GridLines, TripletsKeepWholeQuartersAsBeats) {
    Map map;
    map.duration = 2;
    map.resolution = BeatloomGridResolution::eighthTriplet;
    const auto lines = map.grid();
    ASSERT_EQ(lines.size(), 13u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NEAR(lines[i].quarterPosition, static_cast<double>(i) / 3.0, 1e-12);
        const GridKind expected = i % 12 == 0 ? GridKind::bar : (i % 3 == 0 ? GridKind::beat : GridKind::subdivision);
        EXPECT_EQ(lines[i].kind, expected) << "line " << i;
    }
    EXPECT_EQ(labelOf(lines[9]), "1.4");
}

TEST(GridLines, MeterChangeInsideABarStartsANewBar) {
    Map map;
    map.meterEvents = {meter(0, 4, 4), meter(9, 3, 4)};
    map.duration = 12;
    map.resolution = BeatloomGridResolution::quarter;
    const auto lines = map.grid();
    expectLinesAt(lines, {{8, GridKind::bar, "5.1"},
                          {8.5, GridKind::beat, "5.2"},
                          {9, GridKind::bar, "6.1"},
                          {9.5, GridKind::beat, "6.2"},
                          {10, GridKind::beat, "6.3"},
                          {10.5, GridKind::bar, "7.1"}});
    EXPECT_EQ(lineAt(lines, 9)->quarterPosition, 18);
    // The cut-short bar 5 keeps beats 1 and 2 only.
    for (const auto& line : lines) {
        if (line.barNumber == 5) {
            EXPECT_LE(line.beatNumber.value_or(0), 2) << line.timeSeconds;
        }
    }
    expectSortedAndApart(lines);
}

TEST(GridLines, PhaseLockRecountsFromInsideABar) {
    Map map;
    map.resolution = BeatloomGridResolution::quarter;
    const auto plain = map.grid();
    expectLinesAt(plain, {{5, GridKind::beat, "3.3"}, {5.5, GridKind::beat, "3.4"}});

    // 5.25 s pinned to bar 3, beat 2 and a half: the count from there is half a beat later.
    map.phaseLocks = {BeatloomPhaseLock{Uuid::random(), 5.25, 3, 2, 0.5, std::nullopt}};
    const auto locked = map.grid();
    expectLinesAt(locked, {{5, GridKind::beat, "3.3"}, {5.5, GridKind::beat, "3.3"}, {6, GridKind::beat, "3.4"},
                           {6.5, GridKind::bar, "4.1"}});
    EXPECT_EQ(lineAt(locked, 5.25), nullptr);  // a lock off the beat draws no bar line
}

TEST(GridLines, LinesFollowTempoRamps) {
    Map map;
    map.tempoPoints = {tempoPoint(0, 100, true), tempoPoint(2, 140), tempoPoint(4, 90)};
    map.duration = 6;
    map.resolution = BeatloomGridResolution::sixteenth;
    const auto lines = map.grid();
    const auto segs = segments(map.tempoPoints, map.duration);
    ASSERT_FALSE(lines.empty());
    const double lastQuarter = quarterPosition(segs, map.duration);
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(std::floor(lastQuarter / 0.25 + 1e-9)) + 1);
    for (const auto& line : lines) {
        EXPECT_NEAR(line.timeSeconds, *seconds(segs, line.quarterPosition), 1e-12);
        EXPECT_NEAR(std::fmod(line.quarterPosition, 0.25), 0, 1e-9);
    }
    expectSortedAndApart(lines);
}

TEST(GridLines, FreeTimeIsEmptyAndRubatoIsElastic) {
    Map map;
    map.duration = 30;
    map.resolution = BeatloomGridResolution::quarter;
    BeatloomTimelineRegion region{Uuid::random(), 10, 20, BeatloomTimelineMode::free, false};
    map.regions = {region};
    auto lines = map.grid();
    for (const auto& line : lines) {
        EXPECT_FALSE(line.timeSeconds >= 10 - 1e-6 && line.timeSeconds < 20 - 1e-6) << line.timeSeconds;
    }
    expectLinesAt(lines, {{9.5, GridKind::beat, "5.4"}, {20, GridKind::bar, "11.1"}});

    // As Rubato, two anchors a bar apart spread over four seconds: one beat a second.
    map.regions[0].mode = BeatloomTimelineMode::rubato;
    map.rhythmicAnchors = {
        BeatloomRhythmicAnchor{Uuid::random(), region.id, 10, 20.0, BeatloomMusicalPosition{6, 1, 0},
                               BeatloomRhythmicAnchorKind::downbeat, BeatloomRhythmicAnchorSource::manual, 1, false},
        BeatloomRhythmicAnchor{Uuid::random(), region.id, 14, 24.0, BeatloomMusicalPosition{7, 1, 0},
                               BeatloomRhythmicAnchorKind::downbeat, BeatloomRhythmicAnchorSource::manual, 1, false},
    };
    lines = map.grid();
    expectLinesAt(lines, {{9.5, GridKind::beat, "5.4"},
                          {10, GridKind::bar, "6.1"},
                          {11, GridKind::beat, "6.2"},
                          {13, GridKind::beat, "6.4"},
                          {14, GridKind::bar, "7.1"},
                          {20, GridKind::bar, "11.1"}});
    EXPECT_EQ(lineAt(lines, 10.5), nullptr);
    for (const auto& line : lines) {
        EXPECT_FALSE(line.timeSeconds > 14 + 1e-6 && line.timeSeconds < 20 - 1e-6) << line.timeSeconds;
    }
    expectSortedAndApart(lines);
}

TEST(GridLines, AbsurdInputStaysBounded) {
    {
        // A tempo no song has: its spans are left out; Bar 1's own line still shows.
        Map map;
        map.tempoPoints = {tempoPoint(0, 1e12)};
        map.duration = 60;
        const auto lines = map.grid();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(labelOf(lines[0]), "1.1");
    }
    {
        Map map;
        map.tempoPoints = {tempoPoint(0, 120), tempoPoint(30, std::numeric_limits<double>::max())};
        map.meterEvents = {meter(0, 4, 4), meter(10, 3, 4)};
        map.duration = 60;
        const auto lines = map.grid();
        EXPECT_LE(lines.size(), kMaxGridLines);
        expectLinesAt(lines, {{0, GridKind::bar, "1.1"}, {10, GridKind::bar, "6.1"}});
    }
    {
        Map map;
        map.duration = 1e15;
        const auto lines = map.grid();
        EXPECT_LE(lines.size(), kMaxGridLines);
    }
    {
        Map map;
        map.barOneSeconds = 1;
        map.pickupBarCount = kMaxInt;
        const auto lines = map.grid();
        ASSERT_EQ(lines.size(), 29u);  // an absurd pickup is dropped: 1 s to 8 s in eighths
        EXPECT_EQ(labelOf(lines.front()), "1.1");
        EXPECT_DOUBLE_EQ(lines.front().timeSeconds, 1);
    }
    {
        // Bar numbers at the end of the integer range saturate instead of wrapping.
        Map map;
        map.duration = 4;
        map.phaseLocks = {BeatloomPhaseLock{Uuid::random(), 0, kMaxInt, 1, 0, std::nullopt}};
        const auto lines = map.grid();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().barNumber, kMaxInt);
    }
    {
        // A Rubato region whose anchors lie a trillion quarters apart: no elastic lines, and
        // the metered lines outside it stay.
        Map map;
        map.duration = 30;
        map.resolution = BeatloomGridResolution::quarter;
        const BeatloomTimelineRegion region{Uuid::random(), 10, 20, BeatloomTimelineMode::rubato, false};
        map.regions = {region};
        map.rhythmicAnchors = {
            BeatloomRhythmicAnchor{Uuid::random(), region.id, 10, 0.0, std::nullopt,
                                   BeatloomRhythmicAnchorKind::beat, BeatloomRhythmicAnchorSource::manual, 1, false},
            BeatloomRhythmicAnchor{Uuid::random(), region.id, 20, 1e12, std::nullopt,
                                   BeatloomRhythmicAnchorKind::beat, BeatloomRhythmicAnchorSource::manual, 1, false},
        };
        const auto lines = map.grid();
        EXPECT_EQ(lines.size(), 41u);  // 0 to 9.5 s and 20 to 30 s in quarters
    }
    {
        Map map;
        map.barOneSeconds = kNaN;
        map.pickupBarCount = 1;
        const auto lines = map.grid();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(labelOf(lines.front()), "P.1");
        EXPECT_DOUBLE_EQ(lines.front().timeSeconds, -2);
    }
}

TEST(GridLabels, BarsAndPositions) {
    struct BarCase { std::int64_t bar; const char* label; };
    for (const auto& c : {BarCase{1, "1"}, BarCase{12, "12"}, BarCase{0, "P"}, BarCase{-1, "P2"}, BarCase{-2, "P3"},
                          BarCase{kMaxInt, "9223372036854775807"}, BarCase{kMinInt, "P9223372036854775809"}}) {
        EXPECT_EQ(barLabel(c.bar), c.label) << c.bar;
    }
    struct PositionCase { std::int64_t bar, beat; const char* label; };
    for (const auto& c : {PositionCase{5, 2, "5.2"}, PositionCase{0, 1, "P.1"}, PositionCase{-1, 3, "P2.3"},
                          PositionCase{-2, 1, "P3.1"}}) {
        EXPECT_EQ(gridLineLabel(c.bar, c.beat), c.label) << c.bar << "." << c.beat;
    }
}

}  // namespace
}  // namespace corvel::BeatloomTimeline
