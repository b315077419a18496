#include "core/timeline_segments.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "support/core_records.hpp"

namespace corvel::BeatloomTimeline {
namespace {

using namespace corvel::testing;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void expectContiguous(const std::vector<Segment>& list) {
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front().startTime, 0.0);
    EXPECT_EQ(list.front().startQuarter, 0.0);
    for (std::size_t i = 1; i < list.size(); ++i) {
        EXPECT_EQ(list[i].startTime, list[i - 1].endTime);
        EXPECT_EQ(list[i].startQuarter, list[i - 1].endQuarter);
    }
    for (const auto& s : list) {
        EXPECT_GE(s.endTime, s.startTime);
        EXPECT_GE(s.endQuarter, s.startQuarter);
    }
}

TEST(TimelineSegments, ConstantTempoConvertsBothWaysAndStopsAtTheEnds) {
    const auto list = segments({tempoPoint(0, 120)}, 10);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], (Segment{0, 10, 120, 120, false, 0, 20}));

    EXPECT_DOUBLE_EQ(quarterPosition(list, 5), 10);
    EXPECT_DOUBLE_EQ(quarterPosition(list, -1), -2);
    EXPECT_DOUBLE_EQ(quarterPosition(list, 12), 20);
    EXPECT_DOUBLE_EQ(seconds(list, 10).value(), 5);
    EXPECT_DOUBLE_EQ(seconds(list, -2).value(), -1);
    EXPECT_DOUBLE_EQ(seconds(list, 25).value(), 10);
}

TEST(TimelineSegments, UnusableMapsGiveNoSegments) {
    for (const double duration : {10.0, -1.0, kNaN}) {
        const auto list = segments({}, duration);
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(quarterPosition(list, 3), 0);
        EXPECT_FALSE(seconds(list, 3));
    }
    EXPECT_TRUE(segments({tempoPoint(0, 120)}, -1).empty());
    EXPECT_TRUE(segments({tempoPoint(0, 120)}, kNaN).empty());
}

TEST(TimelineSegments, RampIntegratesTheMeanTempoAndInvertsExactly) {
    const auto list = segments({tempoPoint(0, 100, true), tempoPoint(2, 140)}, 4);
    ASSERT_EQ(list.size(), 2u);
    expectContiguous(list);
    EXPECT_EQ(list[0], (Segment{0, 2, 100, 140, true, 0, 4}));
    EXPECT_FALSE(list[1].linear);
    EXPECT_DOUBLE_EQ(list[1].endQuarter, 4 + 2 * 140.0 / 60);

    const double q = quarterPosition(list, 1);
    EXPECT_NEAR(q, 110.0 / 60, 1e-14);
    EXPECT_NEAR(seconds(list, q).value(), 1.0, 1e-12);
    EXPECT_NEAR(seconds(list, 110.0 / 60).value(), 1.0, 1e-12);
}

TEST(TimelineSegments, RoundTripsHoldAcrossStepsAndRamps) {
    struct Case {
        std::string name;
        std::vector<BeatloomTempoPoint> points;
        double duration;
    };
    const std::vector<Case> cases{
        {"steps", {tempoPoint(0, 120), tempoPoint(3.3, 87.5), tempoPoint(7.123, 241), tempoPoint(9, 30)}, 12},
        {"accelerating", {tempoPoint(0, 30, true), tempoPoint(20, 300)}, 25},
        {"decelerating", {tempoPoint(0, 300, true), tempoPoint(20, 30)}, 25},
        {"down to 1 BPM", {tempoPoint(0, 300, true), tempoPoint(8, 1)}, 8},
        {"ramps both ways and a step",
         {tempoPoint(0, 90, true), tempoPoint(4, 180, true), tempoPoint(9, 60), tempoPoint(12, 140, true), tempoPoint(15, 70)},
         20},
        // Slopes far below 1e-12 BPM per second over a long segment: the quadratic must not
        // cancel, and must not fall back to constant tempo while the forward direction ramps.
        {"nearly flat ramp", {tempoPoint(0, 120, true), tempoPoint(3600, 120.00000036)}, 3600},
        {"flatter still", {tempoPoint(0, 120, true), tempoPoint(3600, 120.0000000018)}, 3600},
        {"nearly flat decelerating ramp", {tempoPoint(0, 97.3, true), tempoPoint(1800, 97.29999999)}, 2000},
        {"very long song", {tempoPoint(0, 121.7, true), tempoPoint(40000, 58.3)}, 86400},
    };
    for (const auto& c : cases) {
        const auto list = segments(c.points, c.duration);
        expectContiguous(list);
        double worst = 0;
        const int steps = 4000;
        for (int i = 0; i <= steps; ++i) {
            const double t = -3.0 + (c.duration + 3.0) * i / steps;
            const auto back = seconds(list, quarterPosition(list, t));
            ASSERT_TRUE(back) << c.name << " at " << t;
            worst = std::max(worst, std::abs(*back - t));
        }
        EXPECT_LE(worst, 1e-9) << c.name;
        // Exactly at the joints, and past the end, where positions stop growing.
        for (const auto& s : list) {
            EXPECT_NEAR(seconds(list, quarterPosition(list, s.startTime)).value(), s.startTime, 1e-9) << c.name;
        }
        EXPECT_EQ(seconds(list, quarterPosition(list, c.duration + 5)).value(), c.duration) << c.name;
        // And the other way round, across the whole axis.
        const double lastQuarter = list.back().endQuarter;
        double worstRelative = 0;
        for (int i = 0; i <= 400; ++i) {
            const double q = -2.0 + (lastQuarter + 2.0) * i / 400;
            const double error = std::abs(quarterPosition(list, seconds(list, q).value()) - q);
            worstRelative = std::max(worstRelative, error / (1 + std::abs(q)));
        }
        EXPECT_LE(worstRelative, 1e-12) << c.name;
    }
}

TEST(TimelineSegments, DegenerateTempiAndPointsPastTheEnd) {
    // A ramp between equal BPMs is constant tempo both ways.
    const auto flat = segments({tempoPoint(0, 120, true), tempoPoint(2, 120)}, 4);
    EXPECT_DOUBLE_EQ(quarterPosition(flat, 1), 2);
    EXPECT_DOUBLE_EQ(seconds(flat, 2).value(), 1);

    // BPM 0, NaN or infinite run at 1 BPM: finite positions, never a division by zero.
    for (const double bpm : {0.0, kNaN, std::numeric_limits<double>::infinity(), -50.0}) {
        const auto list = segments({tempoPoint(0, bpm)}, 60);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].startBPM, 1.0);
        EXPECT_DOUBLE_EQ(list[0].endQuarter, 1);
        EXPECT_DOUBLE_EQ(seconds(list, 0.5).value(), 30);
    }

    // A point after the end gives a zero-length segment at the end.
    const auto past = segments({tempoPoint(0, 120), tempoPoint(12, 60)}, 10);
    ASSERT_EQ(past.size(), 2u);
    expectContiguous(past);
    EXPECT_EQ(past[1].startTime, 10);
    EXPECT_EQ(past[1].endTime, 10);
    EXPECT_EQ(past[1].startQuarter, past[1].endQuarter);
    EXPECT_EQ(quarterPosition(past, 11), quarterPosition(past, 10));
    EXPECT_EQ(seconds(past, 20.5).value(), 10);
    EXPECT_EQ(seconds(past, 1e9).value(), 10);

    // A point with a NaN time never makes the axis run back over audio already counted.
    const auto unordered = segments({tempoPoint(0, 120), tempoPoint(5, 60), tempoPoint(kNaN, 240)}, 10);
    ASSERT_EQ(unordered.size(), 3u);
    expectContiguous(unordered);
    EXPECT_EQ(unordered.back().endTime, 10);

    // Positions that have no time.
    EXPECT_FALSE(seconds(past, kNaN));
    EXPECT_FALSE(seconds(past, -std::numeric_limits<double>::infinity()));
}

TEST(TimelineSegments, MapIsNormalisedFirst) {
    // Unsorted, starting late, last point ramping: sorted, moved to 0 s, last ramp cleared.
    const auto list = segments({tempoPoint(4, 60, true), tempoPoint(1, 120)}, 8);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], (Segment{0, 4, 120, 120, false, 0, 8}));
    EXPECT_EQ(list[1], (Segment{4, 8, 60, 60, false, 8, 12}));
}

TEST(MeterRule, BeatAndBarLengths) {
    struct Case {
        std::int64_t numerator;
        std::int64_t denominator;
        double beat;
        std::int64_t beats;
        double bar;
    };
    const Case cases[] = {
        {4, 4, 1, 4, 4},     {3, 4, 1, 3, 3},       {2, 2, 2, 2, 4},    {6, 8, 1.5, 2, 3},
        {9, 8, 1.5, 3, 4.5}, {12, 8, 1.5, 4, 6},    {7, 8, 0.5, 7, 3.5}, {3, 8, 0.5, 3, 1.5},
        {5, 16, 0.25, 5, 1.25}, {5, 8, 0.5, 5, 2.5}, {0, 4, 1, 1, 1},    {4, 0, 4, 4, 16},
        {-3, 8, 0.5, 1, 0.5},  {1, 1, 4, 1, 4},
    };
    for (const auto& c : cases) {
        const auto rule = meterRule(meter(0, c.numerator, c.denominator));
        const std::string name = std::to_string(c.numerator) + "/" + std::to_string(c.denominator);
        EXPECT_EQ(rule.beatLengthQuarters, c.beat) << name;
        EXPECT_EQ(rule.beatsPerBar, c.beats) << name;
        EXPECT_EQ(rule.barLengthQuarters(), c.bar) << name;
    }
}

TEST(FloorDivide, RoundsTowardsMinusInfinity) {
    struct Case {
        std::int64_t a;
        std::int64_t b;
        std::int64_t quotient;
    };
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    const Case cases[] = {
        {7, 4, 1}, {-1, 4, -1}, {-4, 4, -1}, {-5, 4, -2}, {0, 4, 0}, {8, 4, 2}, {-8, 3, -3},
        {kMin, 1, kMin}, {kMin, 2, kMin / 2}, {kMin + 1, 2, kMin / 2}, {kMax, 3, kMax / 3},
        {-7, 0, -7}, {-7, -2, -7},  // a divisor below 1 counts as 1
    };
    for (const auto& c : cases) {
        EXPECT_EQ(floorDivide(c.a, c.b), c.quotient) << c.a << " / " << c.b;
    }
}

TEST(CountedPosition, CountsBarsAndBeatsBothWaysFromABarBeat) {
    struct Case {
        const char* what;
        BeatloomMusicalPosition from;
        double beats;
        std::int64_t beatsPerBar;
        BeatloomMusicalPosition counted;
    };
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    const Case cases[] = {
        {"on within the bar", {5, 2, 0}, 1.25, 4, {5, 3, 0.25}},
        {"into the next bar", {5, 4, 0}, 1, 4, {6, 1, 0}},
        {"back into a pickup bar", {1, 1, 0}, -0.5, 3, {0, 3, 0.5}},
        {"two bars back onto a beat", {1, 2, 0}, -8, 4, {-1, 2, 0}},
        {"a hair short of a beat reaches it", {1, 1, 0}, 2 - 1e-12, 4, {1, 3, 0}},
        {"the fraction never shows the next beat", {1, 1, 0}, 1 - 1e-8, 4, {1, 1, kLargestBeatFraction}},
        {"the start's own fraction is not counted", {2, 1, 0.7}, 0, 2, {2, 1, 0}},
        {"NaN counts nothing", {3, 2, 0}, kNaN, 4, {3, 2, 0}},
        {"bars stop at the top of their range", {kMax, 3, 0}, 8, 3, {kMax, 2, 0}},
        {"and at the bottom", {kMin, 1, 0}, -1, 3, {kMin, 3, 0}},
        {"beats stop at the end of theirs", {1, 1, 0}, -1e19, 3, {kMin / 3, 2, 0}},
        {"a beat count below 1 counts as 1", {4, 1, 0}, 2.5, 0, {6, 1, 0.5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto p = countedPosition(c.from, c.beats, c.beatsPerBar);
        EXPECT_EQ(p.bar, c.counted.bar);
        EXPECT_EQ(p.beat, c.counted.beat);
        EXPECT_NEAR(p.fractionOfBeat, c.counted.fractionOfBeat, 1e-9);
    }
    // A looser guard reaches a beat from further below it.
    EXPECT_EQ(countedPosition({1, 1, 0}, 4 - 1e-7, 4).bar, 1);
    EXPECT_EQ(countedPosition({1, 1, 0}, 4 - 1e-7, 4, 1e-6).bar, 2);
}

TEST(MeterInForce, LastEventAtOrBeforeTheTime) {
    const auto common = meter(0, 4, 4);
    const auto waltz = meter(2, 3, 4);
    const auto compound = meter(5, 6, 8);
    const std::vector<BeatloomMeterEvent> events{compound, waltz, common, meter(3, 0, 4), meter(20, 7, 8)};
    struct Case {
        double time;
        Uuid expected;
    };
    const Case cases[] = {
        {0, common.id},        {1.9999985, common.id}, {1.9999995, waltz.id}, {4.99, waltz.id},
        {5, compound.id},      {100, compound.id},  // the 7/8 at 20 s lies past the 10 s song
        {-4, common.id},       {kNaN, common.id},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(meterInForce(events, 10, c.time).id, c.expected) << c.time;
    }
    // Nothing usable: the default 4/4.
    const auto fallback = meterInForce({meter(2, 33, 4)}, 10, 5);
    EXPECT_EQ(fallback.numerator, 4);
    EXPECT_EQ(fallback.denominator, 4);
    EXPECT_EQ(fallback.timeSeconds, 0);
    // A song-start event counts for negative times only within 1e-6 s.
    const std::vector<BeatloomMeterEvent> normalized{meter(0, 3, 4), meter(0.0005, 5, 4)};
    EXPECT_EQ(meterInForceAmongNormalized(normalized, -1).numerator, 3);
    EXPECT_EQ(meterInForceAmongNormalized(normalized, 0.0004995).numerator, 5);
}

}  // namespace
}  // namespace corvel::BeatloomTimeline
