#include "session/beatloom_view_model.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/tempo_points.hpp"
#include "session/session_fixture.hpp"

namespace corvel::session {
namespace {

using testing::SessionTest;
namespace records = corvel::testing;

TEST_F(SessionTest, StartsEmptyAndStoppedWithNothingScheduled) {
    expectStateWithoutFile(1200.0);
    EXPECT_FALSE(model.selectedURL.value());
    EXPECT_FALSE(model.isAnalyzing.value());
    EXPECT_EQ(model.editHistory().capacity(), 100);
    EXPECT_EQ(loop.runningTimerCount(), 0u);

    // Without a file nothing can be said about the locator, and the empty map blocks an export.
    EXPECT_FALSE(model.tempoAtLocator());
    EXPECT_FALSE(model.musicalPositionAtLocator());
    EXPECT_EQ(model.effectiveBarOneSeconds(), 0.0);
    EXPECT_EQ(model.tempoMapIssues(), std::vector<std::string>{std::string(kTempoIssueEmptyMap)});
}

TEST_F(SessionTest, TempoAtLocatorFollowsRampsAndFallsBackToTheDetectedTempo) {
    loadResult({records::tempoPoint(0, 100, true), records::tempoPoint(10, 140)});
    model.locatorSeconds.set(5.0);
    EXPECT_DOUBLE_EQ(*model.tempoAtLocator(), 120.0);
    model.locatorSeconds.set(15.0);
    EXPECT_DOUBLE_EQ(*model.tempoAtLocator(), 140.0);
    model.editableTempoPoints.set({});
    EXPECT_DOUBLE_EQ(*model.tempoAtLocator(), 100.0);  // the result's BPM
}

TEST_F(SessionTest, EffectiveBarOneIsTheSetOneElseTheFirstDetectedBeat) {
    loadResult({records::tempoPoint(0, 120)}, {0.37, 0.87});
    EXPECT_EQ(model.effectiveBarOneSeconds(), 0.37);
    model.barOneSeconds.set(2.5);
    EXPECT_EQ(model.effectiveBarOneSeconds(), 2.5);
    model.barOneSeconds.set(std::nullopt);
    loadResult({records::tempoPoint(0, 120)});
    EXPECT_EQ(model.effectiveBarOneSeconds(), 0.0);
}

TEST_F(SessionTest, TempoMapIssuesListEachMessageOnceInAscendingOrder) {
    loadResult({records::tempoPoint(0, 400)});
    model.meterEvents.set({records::meter(0, 33, 4)});
    // Two regions that start inside an earlier one: the overlap is reported twice by its validator.
    model.timelineRegions.set({records::region(1, 5, BeatloomTimelineMode::free),
                               records::region(2, 6, BeatloomTimelineMode::free),
                               records::region(3, 7, BeatloomTimelineMode::free)});
    EXPECT_EQ(model.tempoMapIssues(), (std::vector<std::string>{"BPM is outside the supported Beatloom range",
                                                                "Invalid time signature",
                                                                "Timeline regions overlap."}));
}

TEST_F(SessionTest, MeterAtLocatorIsTheLastChangeAtOrBeforeIt) {
    loadResult({records::tempoPoint(0, 120)});
    const auto threeFour = records::meter(4.0, 3, 4);
    model.meterEvents.set({records::meter(0, 4, 4), threeFour});
    model.locatorSeconds.set(4.0 - 5e-7);
    EXPECT_EQ(model.meterEventAtLocator(), threeFour);
    model.locatorSeconds.set(3.9);
    EXPECT_EQ(model.meterEventAtLocator().numerator, 4);
    model.locatorSeconds.set(-2.0);
    EXPECT_EQ(model.meterEventAtLocator().numerator, 4);
}

struct PositionCase {
    std::int64_t numerator;
    std::int64_t denominator;
    double locator;
    BeatloomMusicalPosition expected;
};

TEST_F(SessionTest, MusicalPositionCountsBeatsOfTheMeterInForce) {
    // 120 BPM from Bar 1 at 0 s: a quarter every 0.5 s.
    const PositionCase cases[] = {
        {4, 4, 5.25, {3, 3, 0.5}},
        {3, 4, 3.0, {3, 1, 0.0}},
        {6, 8, 3.0, {3, 1, 0.0}},   // dotted-quarter beats, two per bar
        {9, 8, 3.0, {2, 2, 0.0}},   // three per bar
        {12, 8, 3.75, {2, 2, 0.0}}, // four per bar
        {5, 8, 3.0, {3, 3, 0.0}},   // eighth beats, five per bar
        {7, 8, 3.0, {2, 6, 0.0}},   // seven per bar
    };
    loadResult({records::tempoPoint(0, 120)});
    model.barOneSeconds.set(0.0);
    for (const auto& c : cases) {
        model.meterEvents.set({records::meter(0, c.numerator, c.denominator)});
        model.locatorSeconds.set(c.locator);
        const auto position = model.musicalPositionAtLocator();
        ASSERT_TRUE(position) << c.numerator << "/" << c.denominator;
        EXPECT_EQ(position->bar, c.expected.bar) << c.numerator << "/" << c.denominator;
        EXPECT_EQ(position->beat, c.expected.beat) << c.numerator << "/" << c.denominator;
        EXPECT_NEAR(position->fractionOfBeat, c.expected.fractionOfBeat, 1e-9) << c.numerator << "/" << c.denominator;
    }
}

TEST_F(SessionTest, MusicalPositionOnABeatLineHasNoFractionAndNeverReachesTheNextBeat) {
    loadResult({records::tempoPoint(0, 97)});
    model.barOneSeconds.set(0.0);
    const double beat = 60.0 / 97.0;
    // Beat times are not exact in binary: some land a hair before their line.
    for (int k = 0; k < 40; ++k) {
        model.locatorSeconds.set(k * beat);
        const auto position = model.musicalPositionAtLocator();
        ASSERT_TRUE(position);
        EXPECT_EQ(position->bar, 1 + k / 4) << k;
        EXPECT_EQ(position->beat, 1 + k % 4) << k;
        EXPECT_LT(position->fractionOfBeat, 1e-9) << k;
    }

    model.locatorSeconds.set(8 * beat - 1e-7);
    const auto position = model.musicalPositionAtLocator();
    ASSERT_TRUE(position);
    EXPECT_EQ(position->beat, 4);
    EXPECT_LE(position->fractionOfBeat, 0.999999);
    EXPECT_GT(position->fractionOfBeat, 0.9999);
}

TEST_F(SessionTest, MusicalPositionCountsPickupBarsBackwardsFromBarOne) {
    loadResult({records::tempoPoint(0, 120)}, {2.0});
    // Bar 1 at 2 s: bar 0 fills 0...2 s, so 0.75 s is half-way through its second beat.
    model.locatorSeconds.set(0.75);
    expectPositionAtLocator(0, 2, 0.5);
}

TEST_F(SessionTest, MusicalPositionIsNoneInFreeTimeAndCountsFromTheAnchorsInRubato) {
    loadResult({records::tempoPoint(0, 120)});
    model.locatorSeconds.set(2.0);
    model.timelineRegions.set({records::region(1.0, 4.0, BeatloomTimelineMode::free)});
    EXPECT_FALSE(model.musicalPositionAtLocator());

    // Rubato anchors on beats 3 and 4 of bar 1, a second and a half apart: the metered grid would
    // say bar 2 beat 1 at 2 s, the Rubato grid two thirds of the way from beat 3 to beat 4.
    const auto rubato = records::region(1.0, 4.0, BeatloomTimelineMode::rubato);
    model.timelineRegions.set({rubato});
    model.rhythmicAnchors.set({records::rhythmicAnchor(rubato, 1.0, 2.0, BeatloomMusicalPosition{1, 3, 0}),
                               records::rhythmicAnchor(rubato, 2.5, 3.0, BeatloomMusicalPosition{1, 4, 0})});
    expectPositionAtLocator(1, 3, 2.0 / 3);
    model.locatorSeconds.set(2.5);
    expectPositionAtLocator(1, 4, 0);
    // Past the last anchor the grid shows nothing, and neither does the position.
    model.locatorSeconds.set(3.0);
    EXPECT_FALSE(model.musicalPositionAtLocator());
    // The end of the region belongs to the metered grid after it.
    model.locatorSeconds.set(4.0);
    expectPositionAtLocator(3, 1, 0);
}

TEST_F(SessionTest, MusicalPositionWithoutATempoMapIsNone) {
    loadResult({});
    EXPECT_FALSE(model.musicalPositionAtLocator());
    EXPECT_DOUBLE_EQ(*model.tempoAtLocator(), 120.0);
}

}  // namespace
}  // namespace corvel::session
