#include "core/grid_fitter.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace corvel::BeatloomGridFitter {
namespace {

using Source = BeatloomGridFitAnchorSource;

BeatloomGridFitAnchor anchor(double quarter, double time, Source source = Source::manual, bool isLocked = false,
                             bool isDownbeat = false) {
    BeatloomGridFitAnchor result;
    result.quarterPosition = quarter;
    result.timeSeconds = time;
    result.source = source;
    result.isLocked = isLocked;
    result.isDownbeat = isDownbeat;
    return result;
}

// Automatic anchors on 120 BPM from 1.0 s, one quarter apart, with one of them moved late.
std::vector<BeatloomGridFitAnchor> automaticBeats(int count, int lateIndex, double lateBy) {
    std::vector<BeatloomGridFitAnchor> anchors;
    for (int q = 0; q < count; ++q) {
        anchors.push_back(anchor(q, 1.0 + 0.5 * q + (q == lateIndex ? lateBy : 0.0), Source::automatic));
    }
    return anchors;
}

TEST(GridFit, TwoAnchorsDefineTheLineExactly) {
    const auto first = anchor(0, 1.0);
    const auto second = anchor(4, 3.0);
    const auto result = fit({second, first});
    ASSERT_TRUE(result);
    EXPECT_DOUBLE_EQ(result->secondsPerQuarter, 0.5);
    EXPECT_DOUBLE_EQ(result->bpm, 120);
    EXPECT_DOUBLE_EQ(result->interceptSeconds, 1.0);
    EXPECT_DOUBLE_EQ(result->robustScaleSeconds, 0.0015);
    EXPECT_EQ(result->rmsErrorSeconds, 0);
    EXPECT_EQ(result->maxErrorSeconds, 0);
    EXPECT_EQ(result->anchorCount, 2);
    EXPECT_EQ(result->inlierCount, 2);
    EXPECT_EQ(result->outlierCount, 0);
    ASSERT_EQ(result->evaluations.size(), 2u);
    EXPECT_EQ(result->evaluations[0].anchorID, first.id);
    EXPECT_EQ(result->evaluations[1].anchorID, second.id);
    for (const auto& evaluation : result->evaluations) {
        EXPECT_EQ(evaluation.status, AnchorStatus::good);
        EXPECT_NEAR(evaluation.residualSeconds, 0, 1e-12);
        EXPECT_DOUBLE_EQ(evaluation.robustWeight, 1.0);
    }
}

TEST(GridFit, RefusesFallingDegenerateAndOutOfRangeLines) {
    struct Case {
        const char* what;
        std::vector<BeatloomGridFitAnchor> anchors;
        bool fits;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"times swapped", {anchor(0, 3.0), anchor(4, 1.0)}, false},
        {"25 BPM", {anchor(0, 0.0), anchor(1, 2.4)}, false},
        {"320 BPM", {anchor(0, 0.0), anchor(16, 3.0)}, false},
        {"exactly 30 BPM", {anchor(0, 0.0), anchor(1, 2.0)}, true},
        {"exactly 300 BPM", {anchor(0, 0.0), anchor(5, 1.0)}, true},
        {"one anchor", {anchor(0, 1.0)}, false},
        {"none", {}, false},
        {"two at one quarter", {anchor(2, 1.0), anchor(2 + 5e-10, 2.0)}, false},
        {"rest too few after dropping bad ones", {anchor(0, 1.0), anchor(nan, 2.0), anchor(2, -0.5)}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fit(c.anchors).has_value(), c.fits) << c.what;
    }
}

TEST(GridFit, FiftyMillisecondsLateMiddleAnchorIsAnOutlier) {
    const auto anchors = automaticBeats(5, 2, 0.050);
    const auto result = fit(anchors);
    ASSERT_TRUE(result);
    EXPECT_NEAR(result->bpm, 120, 1e-9);
    EXPECT_NEAR(result->interceptSeconds, 1.000980, 1e-6);
    EXPECT_DOUBLE_EQ(result->robustScaleSeconds, 0.0015);
    EXPECT_NEAR(result->rmsErrorSeconds, 0.000980, 1e-6);
    EXPECT_NEAR(result->maxErrorSeconds, 0.049020, 1e-6);
    EXPECT_EQ(result->anchorCount, 5);
    EXPECT_EQ(result->inlierCount, 4);
    EXPECT_EQ(result->outlierCount, 1);
    ASSERT_EQ(result->evaluations.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        const auto& evaluation = result->evaluations[i];
        EXPECT_EQ(evaluation.anchorID, anchors[i].id);
        if (i == 2) {
            EXPECT_EQ(evaluation.status, AnchorStatus::outlier);
            EXPECT_NEAR(evaluation.residualSeconds, 0.049020, 1e-6);
            EXPECT_NEAR(evaluation.robustWeight, 0.0440, 1e-4);
        } else {
            EXPECT_EQ(evaluation.status, AnchorStatus::good) << i;
            EXPECT_NEAR(evaluation.residualSeconds, -0.000980, 1e-6) << i;
            EXPECT_DOUBLE_EQ(evaluation.robustWeight, 0.55) << i;
        }
    }
}

TEST(GridFit, EightMillisecondsLateMiddleAnchorIsQuestionable) {
    const auto result = fit(automaticBeats(5, 2, 0.008));
    ASSERT_TRUE(result);
    EXPECT_NEAR(result->bpm, 120, 1e-9);
    EXPECT_EQ(result->outlierCount, 0);
    EXPECT_EQ(result->inlierCount, 5);
    EXPECT_NEAR(result->rmsErrorSeconds, 0.0033, 1e-4);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(result->evaluations[i].status, i == 2 ? AnchorStatus::questionable : AnchorStatus::good) << i;
    }
}

TEST(GridFit, LateLastAnchorPullsHarderThanAMiddleOne) {
    const auto result = fit(automaticBeats(8, 7, 0.050));
    ASSERT_TRUE(result);
    EXPECT_NEAR(result->bpm, 119.86, 0.01);
    EXPECT_EQ(result->evaluations.back().status, AnchorStatus::outlier);
    EXPECT_EQ(result->outlierCount, 1);
}

TEST(GridFit, PriorWeightsFollowSourceDownbeatAndLock) {
    struct Case {
        Source source;
        bool isDownbeat;
        bool isLocked;
        double weight;
    };
    const Case cases[] = {
        {Source::manual, false, false, 1.0},         {Source::manual, true, false, 1.25},
        {Source::manual, false, true, 1.35},         {Source::manual, true, true, 1.6875},
        {Source::automatic, false, false, 0.55},     {Source::automatic, true, false, 0.6875},
        {Source::automatic, false, true, 0.7425},    {Source::automatic, true, true, 0.928125},
    };
    for (const auto& c : cases) {
        // Residuals are 0 on a perfect line, so each weight is the bare prior.
        const auto result = fit({anchor(0, 1.0, c.source, c.isLocked, c.isDownbeat), anchor(2, 2.0)});
        ASSERT_TRUE(result);
        EXPECT_DOUBLE_EQ(result->evaluations[0].robustWeight, c.weight);
    }
}

TEST(PreparedAnchors, DropsUnusableSortsAndKeepsOnePerPosition) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto a = anchor(3, 2.5);
    const auto b = anchor(1, 1.5);
    const auto zero = anchor(0, -0.0);
    const auto laterAtOne = anchor(1 + 1e-10, 1.6);
    const auto earlierAtOne = anchor(1, 1.4);
    const auto input = std::vector{a, b, anchor(2, -0.001), anchor(nan, 1.0), anchor(inf, 1.0), anchor(4, inf),
                                    anchor(5, nan),  zero, laterAtOne, earlierAtOne};
    const auto prepared = preparedAnchors(input);
    ASSERT_EQ(prepared.size(), 3u);
    EXPECT_EQ(prepared[0], zero);
    EXPECT_EQ(prepared[1], laterAtOne);  // the latest time at quarter 1 survives
    EXPECT_EQ(prepared[2], a);

    // With the rest still two or more, the fit goes ahead on them alone.
    const auto result = fit(input);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->anchorCount, 3);
}

TEST(PreparedAnchors, UnlockedAnchorNeverDisplacesALockedOne) {
    struct Case {
        bool earlierLocked;
        bool laterLocked;
        bool keepsEarlier;
    };
    const Case cases[] = {{false, false, false}, {true, false, true}, {false, true, false}, {true, true, false}};
    for (const auto& c : cases) {
        const auto earlier = anchor(2, 1.0, Source::manual, c.earlierLocked);
        const auto later = anchor(2, 1.1, Source::manual, c.laterLocked);
        const auto prepared = preparedAnchors({later, earlier});
        ASSERT_EQ(prepared.size(), 1u);
        EXPECT_EQ(prepared[0], c.keepsEarlier ? earlier : later);
    }
}

TEST(GridFitHelpers, MedianAndSlopes) {
    EXPECT_EQ(median({}), 0);
    EXPECT_EQ(median({3, 1, 2}), 2);
    EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
    EXPECT_EQ(median({std::numeric_limits<double>::quiet_NaN(), 1, 2}), 2);  // NaN sorts last, no crash

    EXPECT_FALSE(theilSenSlope({}));
    EXPECT_FALSE(theilSenSlope({anchor(0, 3.0), anchor(4, 1.0)}));
    // Slopes 0.5, 0.75 and 1.0 for the three pairs.
    EXPECT_EQ(theilSenSlope({anchor(0, 0.0), anchor(1, 0.5), anchor(2, 1.5)}), 0.75);

    EXPECT_FALSE(fallbackSlope({}));
    EXPECT_FALSE(fallbackSlope({anchor(1, 0.0), anchor(1, 2.0)}));
    EXPECT_EQ(fallbackSlope({anchor(0, 3.0), anchor(4, 1.0)}), -0.5);

    const std::vector prepared{anchor(0, 1.0), anchor(2, 2.0), anchor(4, 4.0)};
    EXPECT_FALSE(weightedLineFit(prepared, {1, 1}));
    EXPECT_FALSE(weightedLineFit({}, {}));
    EXPECT_FALSE(weightedLineFit(prepared, {0, 0, 0}));
    EXPECT_FALSE(weightedLineFit(prepared, {0, 1, 0}));  // all weight on one quarter
    const auto line = weightedLineFit(prepared, {1, 1, 0});
    ASSERT_TRUE(line);
    EXPECT_DOUBLE_EQ(line->secondsPerQuarter, 0.5);
    EXPECT_DOUBLE_EQ(line->interceptSeconds, 1.0);
}

TEST(AnchorStatusRaw, RoundTripsAndRejectsOtherStrings) {
    for (const auto status : allCases<AnchorStatus>()) {
        EXPECT_EQ(fromRawValue<AnchorStatus>(rawValue(status)), status);
    }
    EXPECT_EQ(rawValue(AnchorStatus::questionable), "questionable");
    EXPECT_FALSE(fromRawValue<AnchorStatus>("Good"));
    EXPECT_FALSE(fromRawValue<AnchorStatus>(""));
    EXPECT_FALSE(fromRawValue<AnchorStatus>("outliers"));
}

}  // namespace
}  // namespace corvel::BeatloomGridFitter

namespace corvel::BeatloomGridFitter {
namespace {

TEST(GridFit, ExtremeValuesGiveNoResultOrAFiniteOne) {
    const std::vector<std::vector<BeatloomGridFitAnchor>> inputs = {
        {anchor(0, 0), anchor(1e308, 1e300), anchor(-1e308, 0)},
        {anchor(0, 0), anchor(1, 1e308), anchor(2, 1e308)},
        {anchor(-1e300, 0), anchor(1e300, 1e308), anchor(0, 1)},
        {anchor(0, 0), anchor(1e-300, 1e-301), anchor(2e-300, 2e-301)},
    };
    for (const auto& anchors : inputs) {
        const auto result = fit(anchors);
        if (!result) continue;
        EXPECT_TRUE(std::isfinite(result->bpm) && std::isfinite(result->interceptSeconds));
        EXPECT_GE(result->bpm, 30);
        EXPECT_LE(result->bpm, 300);
    }
}

}  // namespace
}  // namespace corvel::BeatloomGridFitter
