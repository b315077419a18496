#include "core/meter_map.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/core_records.hpp"

namespace corvel {
namespace {

using namespace corvel::testing;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct Signature {
    std::int64_t numerator;
    std::int64_t denominator;
    double time;
};

std::vector<Signature> signatures(const std::vector<BeatloomMeterEvent>& events) {
    std::vector<Signature> out;
    for (const auto& e : events) out.push_back({e.numerator, e.denominator, e.timeSeconds});
    return out;
}

void expectSignatures(const std::vector<BeatloomMeterEvent>& events, const std::vector<Signature>& expected) {
    const auto actual = signatures(events);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i].numerator, expected[i].numerator) << "event " << i;
        EXPECT_EQ(actual[i].denominator, expected[i].denominator) << "event " << i;
        EXPECT_DOUBLE_EQ(actual[i].time, expected[i].time) << "event " << i;
    }
}

TEST(TimeSignature, ValidRangeOfNumeratorAndDenominator) {
    struct Case { std::int64_t numerator, denominator; bool valid; };
    const Case cases[] = {
        {1, 1, true},   {32, 16, true}, {7, 8, true},  {3, 2, true},   {0, 4, false},
        {33, 4, false}, {4, 0, false},  {4, 3, false}, {4, 32, false}, {-4, 4, false},
        {4, -4, false}, {std::numeric_limits<std::int64_t>::min(), 4, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidTimeSignature(c.numerator, c.denominator), c.valid) << c.numerator << "/" << c.denominator;
    }
}

TEST(NormalizedMeterEvents, FallsBackToFourFourAtZero) {
    for (const auto& events : {std::vector<BeatloomMeterEvent>{},
                               std::vector<BeatloomMeterEvent>{meter(2, 0, 4)},
                               std::vector<BeatloomMeterEvent>{meter(nan, 3, 4), meter(-1, 3, 4), meter(inf, 3, 4)},
                               std::vector<BeatloomMeterEvent>{meter(11, 3, 4)}}) {
        const auto normalized = normalizedMeterEvents(events, 10);
        expectSignatures(normalized, {{4, 4, 0}});
        EXPECT_TRUE(normalized.front().timeSeconds == 0 && !std::signbit(normalized.front().timeSeconds));
    }
}

TEST(NormalizedMeterEvents, SortsAndKeepsAnyValidSongStartMeter) {
    expectSignatures(normalizedMeterEvents({meter(1, 3, 4), meter(0, 6, 8)}, 10), {{6, 8, 0}, {3, 4, 1}});
    // A first event later than the merge distance gets a 4/4 in front of it.
    expectSignatures(normalizedMeterEvents({meter(0.0006, 7, 8)}, 10), {{4, 4, 0}, {7, 8, 0.0006}});
    // Minus zero is a valid start; an event exactly at the end of the audio stays.
    const auto normalized = normalizedMeterEvents({meter(10, 5, 4), meter(-0.0, 3, 4)}, 10);
    expectSignatures(normalized, {{3, 4, 0}, {5, 4, 10}});
    EXPECT_FALSE(std::signbit(normalized.front().timeSeconds));
}

TEST(NormalizedMeterEvents, CloseEventsMergeAndTheLaterWins) {
    // The first moves to 0 s; the second is then 0.0008 s after it and stays.
    expectSignatures(normalizedMeterEvents({meter(0.0004, 3, 4), meter(0.0008, 5, 4)}, 10),
                     {{3, 4, 0}, {5, 4, 0.0008}});
    // 5/4 replaces 3/4 whole, and the song-start event is put back at 0 s.
    const auto second = meter(0.0004, 5, 4);
    const auto merged = normalizedMeterEvents({meter(0.0002, 3, 4), second}, 10);
    expectSignatures(merged, {{5, 4, 0}});
    EXPECT_EQ(merged.front().id, second.id);
    // Away from the start the later of two close events wins, id included.
    const auto later = meter(2.0003, 7, 8);
    const auto inside = normalizedMeterEvents({meter(0, 4, 4), later, meter(2, 3, 4)}, 10);
    expectSignatures(inside, {{4, 4, 0}, {7, 8, 2.0003}});
    EXPECT_EQ(inside.back().id, later.id);
}

TEST(NormalizedMeterEvents, EventsAtTheSameTimeOrderByIdText) {
    auto low = meter(3, 3, 4);
    auto high = meter(3 + 0.0000005, 5, 4);
    low.id = *Uuid::parse("00000000-0000-4000-8000-000000000001");
    high.id = *Uuid::parse("F0000000-0000-4000-8000-000000000000");
    // Within 1e-6 s the id decides; the later in that order replaces the other.
    for (const auto& events : {std::vector{low, high}, std::vector{high, low}}) {
        const auto normalized = normalizedMeterEvents(events, 10);
        ASSERT_EQ(normalized.size(), 2u);
        EXPECT_EQ(normalized.back().id, high.id);
    }
}

TEST(NormalizedMeterEvents, NonsenseDurationsKeepOnlyTheStart) {
    for (const double duration : {-1.0, nan}) {
        expectSignatures(normalizedMeterEvents({meter(0, 3, 4), meter(1, 5, 4)}, duration), {{3, 4, 0}});
    }
    expectSignatures(normalizedMeterEvents({meter(0, 3, 4), meter(1e9, 5, 4)}, inf), {{3, 4, 0}, {5, 4, 1e9}});
}

TEST(NormalizedMeterEvents, ResultKeepsItsInvariantsOnDenseInput) {
    std::vector<BeatloomMeterEvent> events;
    for (int i = 0; i < 200; ++i) events.push_back(meter(((i * 37) % 200) * 0.00013, 1 + i % 32, 4));
    const auto normalized = normalizedMeterEvents(events, 0.02);
    ASSERT_FALSE(normalized.empty());
    EXPECT_EQ(normalized.front().timeSeconds, 0.0);
    for (std::size_t i = 1; i < normalized.size(); ++i) {
        EXPECT_GE(normalized[i].timeSeconds - normalized[i - 1].timeSeconds, meterMergeDistanceSeconds);
    }
}

TEST(NormalizedBarAnchors, ClampsSortsAndTheEarlierOfTwoCloseAnchorsWins) {
    const auto first = barAnchor(4, 3);
    const auto normalized = normalizedBarAnchors({barAnchor(9), barAnchor(4.0003), first, barAnchor(-1), barAnchor(nan)}, 5);
    ASSERT_EQ(normalized.size(), 3u);
    EXPECT_EQ(normalized[0].timeSeconds, 0.0);
    EXPECT_EQ(normalized[1], first);  // id and override kept
    EXPECT_EQ(normalized[2].timeSeconds, 5.0);
    // The walk compares with the last kept anchor, not with the last one dropped.
    const auto chain = normalizedBarAnchors({barAnchor(4), barAnchor(4.0003), barAnchor(4.0006)}, 5);
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_DOUBLE_EQ(chain[1].timeSeconds, 4.0006);
}

TEST(NormalizedBarAnchors, EqualTimesKeepInputOrderAndLateAnchorsAreNotMovedToZero) {
    const auto a = barAnchor(2);
    const auto b = barAnchor(2);
    EXPECT_EQ(normalizedBarAnchors({a, b}, 5), std::vector{a});
    EXPECT_EQ(normalizedBarAnchors({b, a}, 5), std::vector{b});
    EXPECT_TRUE(normalizedBarAnchors({}, 5).empty());
    EXPECT_EQ(normalizedBarAnchors({barAnchor(0.3)}, 5).front().timeSeconds, 0.3);
    // Without a usable duration everything lies at 0 s and merges into one anchor.
    for (const double duration : {-2.0, nan}) {
        const auto collapsed = normalizedBarAnchors({barAnchor(1), barAnchor(-0.0), barAnchor(3)}, duration);
        ASSERT_EQ(collapsed.size(), 1u);
        EXPECT_FALSE(std::signbit(collapsed.front().timeSeconds));
    }
}

TEST(RemovingMeterEvent, RemovesAndRenormalizesButRefusesTheStartAndUnknownIds) {
    const auto start = meter(0, 3, 4);
    const auto middle = meter(2, 5, 4);
    const auto last = meter(4, 7, 8);
    const auto removed = removingMeterEvent(middle.id, {last, middle, start}, 10);
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(*removed, (std::vector{start, last}));

    EXPECT_FALSE(removingMeterEvent(start.id, {start, middle}, 10).has_value());
    EXPECT_FALSE(removingMeterEvent(Uuid::random(), {start, middle}, 10).has_value());
    // An event that normalisation drops (past the end) is not there to remove.
    EXPECT_FALSE(removingMeterEvent(last.id, {start, last}, 3).has_value());
    // The song-start event moved to 0 s is still the start.
    const auto nearStart = meter(0.0003, 6, 8);
    EXPECT_FALSE(removingMeterEvent(nearStart.id, {nearStart, middle}, 10).has_value());
}

TEST(MeterMapIssues, ReportsEachProblemOnceInCharacterOrder) {
    struct Case {
        const char* what;
        std::vector<BeatloomMeterEvent> events;
        std::vector<BeatloomBarAnchor> anchors;
        double duration;
        std::vector<std::string> issues;
    };
    const std::string invalid = "Invalid time signature";
    const std::string meterOutside = "Time-signature marker lies outside the audio";
    const std::string anchorOutside = "Bar-start anchor lies outside the audio";
    const Case cases[] = {
        {"valid", {meter(0, 4, 4), meter(1.5, 3, 4)}, {barAnchor(1.5)}, 1.5, {}},
        {"empty lists are valid", {}, {}, 10, {}},
        {"past the end", {meter(0, 4, 4), meter(2, 3, 4)}, {}, 1.5, {meterOutside}},
        {"within the 1e-6 s tolerance", {meter(1.5000005, 3, 4)}, {barAnchor(1.5000005)}, 1.5, {}},
        {"minus zero is inside", {meter(-0.0, 4, 4)}, {barAnchor(-0.0)}, 1, {}},
        {"two invalid signatures", {meter(0, 0, 4), meter(1, 4, 3)}, {}, 10, {invalid}},
        {"non-finite and negative times",
         {meter(nan, 4, 4), meter(-0.1, 4, 4), meter(inf, 4, 4)},
         {barAnchor(-inf)},
         10,
         {anchorOutside, meterOutside}},
        {"all three, reported in character order",
         {meter(20, 4, 4), meter(1, 33, 4)},
         {barAnchor(11), barAnchor(12)},
         10,
         {anchorOutside, invalid, meterOutside}},
        {"a NaN duration leaves nothing inside but 0 s", {meter(0, 4, 4), meter(1, 4, 4)}, {barAnchor(1)}, nan,
         {anchorOutside, meterOutside}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(meterMapIssues(c.events, c.anchors, c.duration), c.issues) << c.what;
    }
}

}  // namespace
}  // namespace corvel
