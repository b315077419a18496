#include "core/phase_anchors.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/core_records.hpp"

namespace corvel::BeatloomTimeline {
namespace {

using namespace corvel::testing;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();
constexpr double songSeconds = 60;

std::vector<BeatloomTempoPoint> tempo120() { return {BeatloomTempoPoint{Uuid::random(), 0, 120, 1, false}}; }

BeatloomPhaseLock lock(double time, std::int64_t bar, std::int64_t beat, double fraction) {
    return BeatloomPhaseLock{Uuid::random(), time, bar, beat, fraction, std::nullopt};
}

struct Map {
    std::vector<BeatloomMeterEvent> meters{meter(0, 4, 4)};
    std::vector<BeatloomBarAnchor> barAnchors;
    std::vector<BeatloomPhaseLock> locks;
    std::optional<double> barOne;
    Map& withMeters(std::vector<BeatloomMeterEvent> events) { meters = std::move(events); return *this; }
    Map& withBarAnchors(std::vector<BeatloomBarAnchor> anchors) { barAnchors = std::move(anchors); return *this; }
    Map& withLocks(std::vector<BeatloomPhaseLock> phaseLocks) { locks = std::move(phaseLocks); return *this; }
    Map& withBarOne(double seconds) { barOne = seconds; return *this; }
};

std::vector<PhaseAnchor> anchorsOf(const Map& map, double duration = songSeconds) {
    return phaseAnchors(map.meters, map.barAnchors, map.locks, map.barOne, segments(tempo120(), duration), duration);
}

struct Expected {
    double time;
    double quarter;
    std::int64_t bar;
    std::int64_t numerator = 4;
    bool downbeat = true;
};

void expectAnchors(const std::vector<PhaseAnchor>& actual, const std::vector<Expected>& expected,
                   const std::string& label) {
    ASSERT_EQ(actual.size(), expected.size()) << label;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(actual[i].timeSeconds, expected[i].time, 1e-9) << label << ", anchor " << i;
        EXPECT_NEAR(actual[i].quarter, expected[i].quarter, 1e-9) << label << ", anchor " << i;
        EXPECT_EQ(actual[i].barNumber, expected[i].bar) << label << ", anchor " << i;
        EXPECT_EQ(actual[i].meter.numerator, expected[i].numerator) << label << ", anchor " << i;
        EXPECT_EQ(actual[i].emitDownbeatAtAnchor, expected[i].downbeat) << label << ", anchor " << i;
    }
}

TEST(PhaseAnchors, BarBoundariesAndTheirNumbers) {
    struct Case {
        std::string label;
        Map map;
        std::vector<Expected> expected;
    };
    const std::vector<Case> cases{
        {"no Bar 1", Map(), {{0, 0, 1}}},
        {"NaN Bar 1 counts as 0 s", Map().withBarOne(nan), {{0, 0, 1}}},
        {"Bar 1 at 1 s", Map().withBarOne(1.0), {{1, 2, 1}}},
        {"Bar 1 past the end is the end", Map().withBarOne(75.0), {{60, 120, 1}}},
        {"pickup bars counted back from Bar 1, a partial bar as a whole one",
         Map().withBarAnchors({barAnchor(5)}).withBarOne(10.0),
         {{5, 10, -2}, {10, 20, 1}}},
        {"a meter change on a whole bar",
         Map().withMeters({meter(0, 4, 4), meter(8, 3, 4)}).withBarOne(0.0),
         {{0, 0, 1}, {8, 16, 5, 3}}},
        {"a meter change after four and a half bars cuts bar 5 short",
         Map().withMeters({meter(0, 4, 4), meter(9, 3, 4)}),
         {{0, 0, 1}, {9, 18, 6, 3}}},
        {"an override pins its boundary; later ones count on from it",
         Map().withBarAnchors({barAnchor(15), barAnchor(30, 20), barAnchor(45)}).withBarOne(0.0),
         {{0, 0, 1}, {15, 30, 9}, {30, 60, 20}, {45, 90, 28}}},
        {"an override within 0.001 s pins the boundary kept by normalisation",
         Map().withBarAnchors({barAnchor(30), barAnchor(30.0003, 20)}),
         {{0, 0, 1}, {30, 60, 20}}},
        {"an override anchor clamped to the end pins nothing",
         Map().withBarAnchors({barAnchor(70, 3)}),
         {{0, 0, 1}, {60, 120, 31}}},
        {"pins are absolute", Map().withBarAnchors({barAnchor(5, 7)}).withBarOne(10.0), {{5, 10, 7}, {10, 20, 1}}},
        {"an override on Bar 1's boundary replaces bar 1",
         Map().withBarAnchors({barAnchor(10, 5)}).withBarOne(10.0),
         {{10, 20, 5}}},
        {"a meter change closer than 0.0005 s to Bar 1 starts no bar and takes no effect there",
         Map().withMeters({meter(0, 4, 4), meter(5.0003, 3, 4)}).withBarOne(5.0),
         {{5, 10, 1}}},
        {"overrides near the ends of the integer range saturate",
         Map()
             .withBarAnchors({barAnchor(5), barAnchor(10, int64Min), barAnchor(30, int64Max), barAnchor(45)})
             .withBarOne(10.0),
         {{5, 10, int64Min}, {10, 20, int64Min}, {30, 60, int64Max}, {45, 90, int64Max}}},
    };
    for (const auto& c : cases) expectAnchors(anchorsOf(c.map), c.expected, c.label);
}

TEST(PhaseAnchors, PhaseLocksPinPositionsInsideBars) {
    struct Case {
        std::string label;
        Map map;
        std::vector<Expected> expected;
    };
    const std::vector<Case> cases{
        {"a lock inside a bar reaches back to its bar start",
         Map().withLocks({lock(5.25, 3, 2, 0.5)}),
         {{0, 0, 1}, {5.25, 9, 3, 4, false}}},
        {"a lock on beat 1 is a downbeat", Map().withLocks({lock(7, 4, 1, 0)}), {{0, 0, 1}, {7, 14, 4}}},
        {"a lock within 0.0005 s of Bar 1 replaces its anchor",
         Map().withLocks({lock(5.2503, 3, 2, 0.5)}).withBarOne(5.25),
         {{5.2503, 10.5006 - 1.5, 3, 4, false}}},
        {"beat and fraction are clamped to the bar",
         Map().withLocks({lock(10, 2, 7, 1.3), lock(20, 5, 0, -0.2), lock(30, 8, 2, nan)}),
         {{0, 0, 1}, {10, 20 - 3.999999, 2, 4, false}, {20, 40, 5}, {30, 59, 8, 4, false}}},
        {"locks outside the audio or at no time are ignored; one just past the end is clamped",
         Map().withLocks({lock(61, 1, 1, 0), lock(-0.5, 1, 1, 0), lock(nan, 1, 1, 0), lock(60.0000005, 31, 1, 0)}),
         {{0, 0, 1}, {60, 120, 31}}},
        {"beat length follows the meter at the lock",
         Map().withMeters({meter(0, 4, 4), meter(8, 6, 8)}).withLocks({lock(9, 5, 2, 0)}),
         {{0, 0, 1}, {8, 16, 5, 6}, {9, 18 - 1.5, 5, 6, false}}},
        {"a later lock replaces an earlier one nearby",
         Map().withLocks({lock(20, 5, 1, 0), lock(20.0002, 9, 1, 0)}),
         {{0, 0, 1}, {20.0002, 40.0004, 9}}},
    };
    for (const auto& c : cases) expectAnchors(anchorsOf(c.map), c.expected, c.label);
}

TEST(PhaseAnchors, DegenerateDurationsStillGiveBarOne) {
    for (const double duration : {0.0, -5.0, nan}) {
        const auto anchors = anchorsOf(Map().withBarAnchors({barAnchor(3)}).withBarOne(2.0), duration);
        ASSERT_EQ(anchors.size(), 1u) << duration;
        EXPECT_EQ(anchors[0].timeSeconds, 0.0) << duration;
        EXPECT_EQ(anchors[0].barNumber, 1) << duration;
    }
}

TEST(PhaseAnchorIndex, GoverningAnchorOfATime) {
    std::vector<PhaseAnchor> anchors(3);
    anchors[0].timeSeconds = 0;
    anchors[1].timeSeconds = 5;
    anchors[2].timeSeconds = 10;
    struct Case {
        double seconds;
        std::size_t index;
    };
    for (const Case c : {Case{9.9999995, 2}, {9.99, 1}, {-3, 0}, {nan, 0}, {5, 1}, {100, 2}}) {
        EXPECT_EQ(phaseAnchorIndex(anchors, c.seconds), c.index) << c.seconds;
    }
    anchors[0].timeSeconds = 2;
    EXPECT_EQ(phaseAnchorIndex(anchors, 1), 0u);
    EXPECT_EQ(phaseAnchorIndex({}, 5), std::nullopt);
}

TEST(BarCounts, PickupBarsBeforeBarOne) {
    struct Case {
        std::vector<BeatloomMeterEvent> meters;
        double barOne;
        std::int64_t bars;
    };
    const std::vector<Case> cases{
        {{meter(0, 4, 4)}, 3, 2},   {{meter(0, 4, 4)}, 2, 1},  {{meter(0, 4, 4)}, 0, 0},
        {{meter(0, 6, 8)}, 3, 2},   {{meter(0, 4, 4)}, -4, 0}, {{meter(0, 4, 4)}, nan, 0},
        {{meter(0, 4, 4)}, 75, 30}, {{meter(0, 4, 4), meter(3, 3, 4)}, 4, 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pickupBarsBeforeBarOne(tempo120(), c.meters, songSeconds, c.barOne), c.bars) << c.barOne;
    }
    EXPECT_EQ(pickupBarsBeforeBarOne(tempo120(), {}, 0, 3), 0);
    EXPECT_EQ(pickupBarsBeforeBarOne({}, {}, songSeconds, 3), 0);
}

TEST(BarCounts, BarsBetweenTwoTimes) {
    struct Case {
        std::vector<BeatloomMeterEvent> meters;
        double later;
        double earlier;
        std::int64_t bars;
    };
    const std::vector<Case> cases{
        {{meter(0, 4, 4)}, 10, 3, 4},
        {{meter(0, 4, 4)}, 3, 3, 0},
        {{meter(0, 4, 4)}, 3, 10, 0},
        {{meter(0, 4, 4)}, 3.0000005, 3, 0},
        {{meter(0, 4, 4)}, 100, 50, 5},                   // the later time is clamped to the end
        {{meter(0, 4, 4)}, 1, -3, 2},                     // the earlier time is not
        {{meter(0, 4, 4), meter(9, 3, 4)}, 10, 3, 5},     // counted in the meter at the later time
        {{meter(0, 4, 4)}, nan, 3, 0},
        {{meter(0, 4, 4)}, 10, nan, 0},
        {{meter(0, 4, 4)}, 10, -std::numeric_limits<double>::infinity(), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(barsBetween(tempo120(), c.meters, songSeconds, c.later, c.earlier), c.bars)
            << c.later << " after " << c.earlier;
    }
    EXPECT_EQ(barsBetween(tempo120(), {}, -1, 10, 3), 0);
    EXPECT_EQ(barsBetween({}, {}, songSeconds, 10, 3), 0);
}

}  // namespace
}  // namespace corvel::BeatloomTimeline
