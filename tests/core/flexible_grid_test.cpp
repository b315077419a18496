#include "core/flexible_grid.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/core_records.hpp"

namespace corvel::BeatloomFlexibleTimeline {
namespace {

using namespace corvel::testing;

using BeatloomTimeline::ClickEvent;
using BeatloomTimeline::GridKind;
using BeatloomTimeline::GridLine;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double songSeconds = 60;

BeatloomMusicalPosition barBeat(std::int64_t bar, std::int64_t beat) { return {bar, beat, 0}; }

struct Line {
    double time;
    double quarter;
    GridKind kind;
    std::optional<std::int64_t> bar;
    std::optional<std::int64_t> beat;
};

void expectLines(const std::vector<GridLine>& actual, const std::vector<Line>& expected, const std::string& label) {
    ASSERT_EQ(actual.size(), expected.size()) << label;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(actual[i].timeSeconds, expected[i].time, 1e-9) << label << ", line " << i;
        EXPECT_NEAR(actual[i].quarterPosition, expected[i].quarter, 1e-9) << label << ", line " << i;
        EXPECT_EQ(actual[i].kind, expected[i].kind) << label << ", line " << i;
        EXPECT_EQ(actual[i].barNumber, expected[i].bar) << label << ", line " << i;
        EXPECT_EQ(actual[i].beatNumber, expected[i].beat) << label << ", line " << i;
    }
}

void expectClicks(const std::vector<ClickEvent>& actual, const std::vector<ClickEvent>& expected,
                  const std::string& label) {
    ASSERT_EQ(actual.size(), expected.size()) << label;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(actual[i].timeSeconds, expected[i].timeSeconds, 1e-9) << label << ", click " << i;
        EXPECT_EQ(actual[i].accent, expected[i].accent) << label << ", click " << i;
    }
}

constexpr auto bar = GridKind::bar;
constexpr auto beat = GridKind::beat;
constexpr auto sub = GridKind::subdivision;
constexpr auto none = std::nullopt;

// Two anchors two seconds apart spanning one 4/4 bar: quarters 40 (bar 11) and 44 (bar 12).
struct OneBarRegion : ::testing::Test {
    BeatloomTimelineRegion rubato = region(9, 13, BeatloomTimelineMode::rubato);
    std::vector<BeatloomMeterEvent> meters{meter(0, 4, 4)};
    std::vector<BeatloomRhythmicAnchor> anchors{rhythmicAnchor(rubato, 12, 44, barBeat(12, 1)),
                                                rhythmicAnchor(rubato, 10, 40, barBeat(11, 1))};
};

TEST_F(OneBarRegion, LinesStretchBetweenAnchorsAndCountOnFromThem) {
    expectLines(rubatoGridLines(rubato, anchors, meters, BeatloomGridResolution::eighth),
                {{10.00, 40.0, bar, 11, 1},
                 {10.25, 40.5, sub, none, none},
                 {10.50, 41.0, beat, 11, 2},
                 {10.75, 41.5, sub, none, none},
                 {11.00, 42.0, beat, 11, 3},
                 {11.25, 42.5, sub, none, none},
                 {11.50, 43.0, beat, 11, 4},
                 {11.75, 43.5, sub, none, none},
                 {12.00, 44.0, bar, 12, 1}},
                "eighths");

    // An anchor without a bar.beat is counted on from the one before it.
    anchors[0].musicalPosition.reset();
    expectLines(rubatoGridLines(rubato, anchors, meters, BeatloomGridResolution::quarter),
                {{10.0, 40, bar, 11, 1},
                 {10.5, 41, beat, 11, 2},
                 {11.0, 42, beat, 11, 3},
                 {11.5, 43, beat, 11, 4},
                 {12.0, 44, bar, 12, 1}},
                "second anchor without bar.beat");
}

TEST_F(OneBarRegion, ClicksOnBeatsAccentedOnBars) {
    expectClicks(rubatoClickEvents(rubato, anchors, meters),
                 {{10, true}, {10.5, false}, {11, false}, {11.5, false}, {12, true}}, "one bar");
}

TEST_F(OneBarRegion, OnlyTheRegionsPositionedAnchorsCount) {
    const auto other = region(20, 30, BeatloomTimelineMode::rubato);
    auto mixed = anchors;
    mixed.push_back(rhythmicAnchor(other, 11, 42));             // another region's
    mixed.push_back(rhythmicAnchor(rubato, 11.2, std::nullopt));  // no position
    mixed.push_back(rhythmicAnchor(rubato, nan, 46));             // no usable time
    mixed.push_back(rhythmicAnchor(rubato, 14, nan));             // no usable position
    EXPECT_EQ(rubatoGridLines(rubato, mixed, meters, BeatloomGridResolution::quarter),
              rubatoGridLines(rubato, anchors, meters, BeatloomGridResolution::quarter));

    const std::vector<BeatloomRhythmicAnchor> single{anchors[0], rhythmicAnchor(rubato, 11, std::nullopt)};
    EXPECT_TRUE(rubatoGridLines(rubato, single, meters, BeatloomGridResolution::quarter).empty());
    EXPECT_TRUE(rubatoClickEvents(rubato, single, meters).empty());
    EXPECT_TRUE(rubatoClickEvents(rubato, {}, meters).empty());
}

TEST(RubatoGridLines, EachPairRunsAtItsOwnTempo) {
    const auto rubato = region(0, 10, BeatloomTimelineMode::rubato);
    const std::vector<BeatloomMeterEvent> meters{meter(0, 4, 4)};
    // Quarters 0 to 4 over 2 s, then 4 to 8 over 4 s; the line on the shared anchor appears once.
    const auto lines = rubatoGridLines(
        rubato, {rhythmicAnchor(rubato, 0, 0), rhythmicAnchor(rubato, 2, 4), rhythmicAnchor(rubato, 6, 8)}, meters,
        BeatloomGridResolution::quarter);
    ASSERT_EQ(lines.size(), 9u);
    const double times[] = {0, 0.5, 1, 1.5, 2, 3, 4, 5, 6};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NEAR(lines[i].timeSeconds, times[i], 1e-9) << i;
        EXPECT_NEAR(lines[i].quarterPosition, static_cast<double>(i), 1e-9) << i;
    }

    // Pairs whose positions or times do not increase draw nothing.
    for (const auto& third : {rhythmicAnchor(rubato, 3, 4), rhythmicAnchor(rubato, 2, 6)}) {
        const auto cut = rubatoGridLines(rubato, {rhythmicAnchor(rubato, 0, 0), rhythmicAnchor(rubato, 2, 4), third}, meters,
                                         BeatloomGridResolution::quarter);
        ASSERT_EQ(cut.size(), 5u);
        EXPECT_NEAR(cut.back().timeSeconds, 2, 1e-9);
    }
}

// Anchors set with A on performed beats after Start Rubato on beat 2 of bar 27, where Bar 1 lies
// 0.34 of a quarter into the song, so the grid's beats are not whole quarters; the performer
// slows down, and the grid rejoins on the downbeat after the last anchor.
TEST(RubatoGridLines, LinesSitOnTheAnchorsAndBarsCountOnFromThemOnceEach) {
    const auto rubato = region(40, 60, BeatloomTimelineMode::rubato);
    const std::vector<BeatloomMeterEvent> meters{meter(0, 4, 4)};
    const double first = 105.34;  // bar 27 beat 2 counted from Bar 1 at quarter 0.34
    std::vector<BeatloomRhythmicAnchor> anchors{
        rhythmicAnchor(rubato, 40.0, first, barBeat(27, 2)), rhythmicAnchor(rubato, 41.0, first + 1, barBeat(27, 3)),
        rhythmicAnchor(rubato, 42.2, first + 2, barBeat(27, 4)), rhythmicAnchor(rubato, 43.5, first + 3, barBeat(28, 1)),
        rhythmicAnchor(rubato, 45.0, first + 4, barBeat(28, 2)),
        rhythmicAnchor(rubato, 48.0, first + 7, barBeat(29, 1), BeatloomRhythmicAnchorKind::rejoin)};
    const auto lines = rubatoGridLines(rubato, anchors, meters, BeatloomGridResolution::quarter);
    const std::vector<Line> expected{{40.0, first, beat, 27, 2},    {41.0, first + 1, beat, 27, 3},
                                     {42.2, first + 2, beat, 27, 4}, {43.5, first + 3, bar, 28, 1},
                                     {45.0, first + 4, beat, 28, 2}, {46.0, first + 5, beat, 28, 3},
                                     {47.0, first + 6, beat, 28, 4}, {48.0, first + 7, bar, 29, 1}};
    expectLines(lines, expected, "anchors off whole quarters");

    // The bar.beat the grid shows between and on the anchors; nothing before the first or after
    // the last, where the grid draws nothing.
    const struct {
        double seconds;
        std::optional<BeatloomMusicalPosition> position;
    } probes[] = {{39.9, std::nullopt},           {40.0, BeatloomMusicalPosition{27, 2, 0}},
                  {41.6, BeatloomMusicalPosition{27, 3, 0.5}}, {43.5, BeatloomMusicalPosition{28, 1, 0}},
                  {46.5, BeatloomMusicalPosition{28, 3, 0.5}}, {48.0, BeatloomMusicalPosition{29, 1, 0}},
                  {48.1, std::nullopt}};
    for (const auto& probe : probes) {
        const auto position = rubatoPosition(rubato, anchors, meters, probe.seconds);
        ASSERT_EQ(position.has_value(), probe.position.has_value()) << probe.seconds;
        if (!position) continue;
        EXPECT_EQ(position->bar, probe.position->bar) << probe.seconds;
        EXPECT_EQ(position->beat, probe.position->beat) << probe.seconds;
        EXPECT_NEAR(position->fractionOfBeat, probe.position->fractionOfBeat, 1e-9) << probe.seconds;
    }

    // A rejoin that renumbers the bar shows its own number on its line, after the count that
    // led up to it.
    anchors.back().musicalPosition = barBeat(17, 1);
    const auto renumbered = rubatoGridLines(rubato, anchors, meters, BeatloomGridResolution::quarter);
    ASSERT_EQ(renumbered.size(), expected.size());
    EXPECT_EQ(renumbered[6].barNumber, 28);
    EXPECT_EQ(renumbered[6].beatNumber, 4);
    EXPECT_EQ(renumbered.back().barNumber, 17);
    EXPECT_EQ(renumbered.back().kind, bar);

    // The clicks follow the same bars.
    const auto clicks = rubatoClickEvents(rubato, anchors, meters);
    ASSERT_EQ(clicks.size(), expected.size());
    for (std::size_t i = 0; i < clicks.size(); ++i) EXPECT_EQ(clicks[i].accent, expected[i].kind == bar) << i;
}

TEST(RubatoGridLines, MeterInForceAtTheRegionStart) {
    struct Case {
        std::string label;
        std::vector<BeatloomMeterEvent> meters;
        BeatloomGridResolution resolution;
        std::vector<GridKind> kinds;  // quarters 0, step, 2 x step ... 6
        std::vector<bool> clicksAccented;
    };
    const std::vector<Case> cases{
        {"6/8 eighths: dotted beats",
         {meter(0, 6, 8)},
         BeatloomGridResolution::eighth,
         {bar, sub, sub, beat, sub, sub, bar, sub, sub, beat, sub, sub, bar},
         {true, true, true}},  // clicks at quarter resolution only reach the bar lines
        {"3/8 quarters: eighth beats",
         {meter(0, 3, 8)},
         BeatloomGridResolution::quarter,
         {bar, beat, beat, bar, beat, beat, bar},
         {true, false, false, true, false, false, true}},
        {"3/4 from the region start",
         {meter(0, 4, 4), meter(10, 3, 4)},
         BeatloomGridResolution::quarter,
         {bar, beat, beat, bar, beat, beat, bar},
         {true, false, false, true, false, false, true}},
        {"a meter after the region start does not count",
         {meter(0, 3, 4), meter(10.5, 4, 4)},
         BeatloomGridResolution::quarter,
         {bar, beat, beat, bar, beat, beat, bar},
         {true, false, false, true, false, false, true}},
    };
    const auto rubato = region(10, 20, BeatloomTimelineMode::rubato);
    const std::vector<BeatloomRhythmicAnchor> anchors{rhythmicAnchor(rubato, 10, 0, barBeat(1, 1)),
                                                      rhythmicAnchor(rubato, 16, 6)};
    for (const auto& c : cases) {
        const auto lines = rubatoGridLines(rubato, anchors, c.meters, c.resolution);
        ASSERT_EQ(lines.size(), c.kinds.size()) << c.label;
        for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].kind, c.kinds[i]) << c.label << " " << i;
        const auto clicks = rubatoClickEvents(rubato, anchors, c.meters);
        ASSERT_EQ(clicks.size(), c.clicksAccented.size()) << c.label;
        for (std::size_t i = 0; i < clicks.size(); ++i) {
            EXPECT_EQ(clicks[i].accent, c.clicksAccented[i]) << c.label << " " << i;
        }
    }
}

TEST(RubatoGridLines, ExtremeBarBeatNumbersSaturate) {
    const auto rubato = region(0, 10, BeatloomTimelineMode::rubato);
    constexpr auto low = std::numeric_limits<std::int64_t>::min();
    constexpr auto high = std::numeric_limits<std::int64_t>::max();
    const auto lines = rubatoGridLines(
        rubato, {rhythmicAnchor(rubato, 0, 0, barBeat(high, high)), rhythmicAnchor(rubato, 4, 8, barBeat(low, low))},
        {meter(0, 4, 4)}, BeatloomGridResolution::quarter);
    ASSERT_EQ(lines.size(), 9u);
    for (const auto& line : lines) {
        ASSERT_TRUE(line.beatNumber.has_value());
        EXPECT_GE(*line.beatNumber, 1);
        EXPECT_LE(*line.beatNumber, 4);
    }
}

TEST(RubatoGridLines, AbsurdlyDistantPositionsGiveNoElasticGrid) {
    // 10^12 quarters between two anchors: no lines and no clicks instead of an endless loop.
    const auto rubato = region(0, 10, BeatloomTimelineMode::rubato);
    const std::vector<BeatloomRhythmicAnchor> anchors{rhythmicAnchor(rubato, 1, 0, barBeat(1, 1)),
                                                      rhythmicAnchor(rubato, 9, 1e12, barBeat(2, 1))};
    EXPECT_TRUE(rubatoGridLines(rubato, anchors, {meter(0, 4, 4)}, BeatloomGridResolution::sixteenth).empty());
    EXPECT_TRUE(rubatoClickEvents(rubato, anchors, {meter(0, 4, 4)}).empty());
}

struct ClickTrack : ::testing::Test {
    std::vector<BeatloomMeterEvent> meters{meter(0, 4, 4)};
    // A metered click every half second from 8 to 14 s, accented on whole two seconds.
    std::vector<ClickEvent> metered() const {
        std::vector<ClickEvent> clicks;
        for (int i = 16; i <= 28; ++i) clicks.push_back({i * 0.5, i % 4 == 0});
        return clicks;
    }
    std::vector<ClickEvent> run(const std::vector<BeatloomTimelineRegion>& regions,
                                const std::vector<BeatloomRhythmicAnchor>& anchors,
                                BeatloomFreeTimeClickMode mode = BeatloomFreeTimeClickMode::anchorOnly,
                                std::vector<ClickEvent> clicks = {}) const {
        return clickEvents(clicks.empty() ? metered() : clicks, regions, anchors, meters, mode, songSeconds);
    }
};

TEST_F(ClickTrack, WithoutEffectiveRegionsTheInputComesBackAsItIs) {
    const std::vector<ClickEvent> unsorted{{3, false}, {1, true}, {1.000001, false}};
    const auto metered = region(2, 5, BeatloomTimelineMode::metered);
    const auto outside = region(70, 80, BeatloomTimelineMode::free);
    for (const auto& regions : {std::vector<BeatloomTimelineRegion>{}, {metered}, {outside}}) {
        EXPECT_EQ(run(regions, {}, BeatloomFreeTimeClickMode::anchorOnly, unsorted), unsorted);
    }
}

TEST_F(ClickTrack, MeteredClicksFallSilentInsideRegions) {
    const auto freeTime = region(10, 12, BeatloomTimelineMode::free);
    expectClicks(run({freeTime}, {}),
                 {{8, true}, {8.5, false}, {9, false}, {9.5, false}, {12, true}, {12.5, false}, {13, false},
                  {13.5, false}, {14, true}},
                 "start removed, end kept");
    expectClicks(run({freeTime}, {}, BeatloomFreeTimeClickMode::off,
                     {{9.9999995, false}, {11.9999985, true}, {12.0 - 1e-6, false}}),
                 {{12.0 - 1e-6, false}}, "tolerance at both ends");
}

TEST_F(ClickTrack, FreeTimeClicksFollowTheClickMode) {
    const auto freeTime = region(10, 12, BeatloomTimelineMode::free);
    const std::vector<BeatloomRhythmicAnchor> anchors{
        rhythmicAnchor(freeTime, 12, std::nullopt, none, BeatloomRhythmicAnchorKind::rejoin),
        rhythmicAnchor(freeTime, 11, std::nullopt, none, BeatloomRhythmicAnchorKind::beat),
        rhythmicAnchor(freeTime, 10.5, std::nullopt, none, BeatloomRhythmicAnchorKind::downbeat),
        rhythmicAnchor(freeTime, 11.5, std::nullopt, none, BeatloomRhythmicAnchorKind::freeReference),
        rhythmicAnchor(freeTime, nan, std::nullopt, none, BeatloomRhythmicAnchorKind::downbeat),
        rhythmicAnchor(region(30, 40, BeatloomTimelineMode::free), 11.2, std::nullopt, none,
               BeatloomRhythmicAnchorKind::downbeat),
    };
    const std::vector<ClickEvent> before{{8, true}, {8.5, false}, {9, false}, {9.5, false}};
    const std::vector<ClickEvent> after{{12.5, false}, {13, false}, {13.5, false}, {14, true}};

    auto expected = before;
    expected.push_back({12, true});
    expected.insert(expected.end(), after.begin(), after.end());
    expectClicks(run({freeTime}, anchors, BeatloomFreeTimeClickMode::off), expected, "off");

    // The unaccented metered click at 12 s merges with the rejoin anchor there.
    std::vector<ClickEvent> metered = this->metered();
    metered[8].accent = false;
    expected = before;
    expected.insert(expected.end(), {{10.5, true}, {11, false}, {11.5, false}, {12, true}});
    expected.insert(expected.end(), after.begin(), after.end());
    expectClicks(run({freeTime}, anchors, BeatloomFreeTimeClickMode::anchorOnly, metered), expected, "anchor only");
}

TEST_F(ClickTrack, RubatoRegionsClickOnTheirElasticBeats) {
    const auto rubato = region(10, 13, BeatloomTimelineMode::rubato);
    const auto freeTime = region(2, 9, BeatloomTimelineMode::free);
    // Quarter 40 at 10 s and 44 at 12.4 s: beats every 0.6 s.
    const std::vector<BeatloomRhythmicAnchor> anchors{rhythmicAnchor(rubato, 10, 40), rhythmicAnchor(rubato, 12.4, 44)};
    expectClicks(run({rubato, freeTime}, anchors, BeatloomFreeTimeClickMode::off),
                 {{9, false}, {9.5, false}, {10, true}, {10.6, false}, {11.2, false}, {11.8, false},
                  {12.4, true}, {13, false}, {13.5, false}, {14, true}},
                 "rubato");
}

}  // namespace
}  // namespace corvel::BeatloomFlexibleTimeline
