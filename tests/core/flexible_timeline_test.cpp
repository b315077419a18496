#include "core/flexible_timeline.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#include <gtest/gtest.h>

#include "support/core_records.hpp"

#include "common/ordering.hpp"

namespace corvel::BeatloomFlexibleTimeline {
namespace {

using namespace corvel::testing;

using Mode = BeatloomTimelineMode;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Span {
    double start;
    double end;
    friend bool operator==(const Span&, const Span&) = default;
    friend void PrintTo(const Span& span, std::ostream* os) { *os << span.start << "-" << span.end; }
};

std::vector<Span> spans(const std::vector<BeatloomTimelineRegion>& regions) {
    std::vector<Span> result;
    for (const auto& r : regions) result.push_back({r.startSeconds, r.endSeconds});
    return result;
}

constexpr char kTimesMessage[] = "Rubato anchor times must increase.";
constexpr char kPositionsMessage[] = "Rubato musical positions must increase.";
constexpr char kOverlapMessage[] = "Timeline regions overlap.";

std::vector<std::string> messages(const std::vector<ValidationIssue>& issues) {
    std::vector<std::string> result;
    for (const auto& issue : issues) result.push_back(issue.message);
    return result;
}

TEST(NormalizedRegions, ClampsTurnsDropsAndTrims) {
    struct Case {
        const char* name;
        std::vector<Span> input;
        double duration;
        std::vector<Span> expected;
    };
    const Case cases[] = {
        {"reversed", {{12, 8}}, 60, {{8, 12}}},
        {"past the end", {{50, 70}}, 60, {{50, 60}}},
        {"wholly past the end", {{65, 70}}, 60, {}},
        {"before the start", {{-5, 3}}, 60, {{0, 3}}},
        {"exactly 0.0005 s", {{1, 1.0005}}, 60, {}},
        {"0.0006 s", {{1, 1.0006}}, 60, {{1, 1.0006}}},
        {"partial overlap", {{0, 10}, {5, 20}}, 60, {{0, 10}, {10, 20}}},
        {"inside the one before", {{0, 10}, {2, 9}}, 60, {{0, 10}}},
        {"overlap within 1e-6 s", {{0, 10}, {9.9999995, 20}}, 60, {{0, 10}, {9.9999995, 20}}},
        {"starts tie, shorter first", {{2, 8}, {2.0000005, 6}}, 60, {{2.0000005, 6}, {6, 8}}},
        {"sorted by start", {{30, 40}, {10, 20}}, 60, {{10, 20}, {30, 40}}},
        {"trim leaves 0.0004 s", {{0, 10}, {5, 10.0004}}, 60, {{0, 10}}},
        {"trim leaves 0.0006 s", {{0, 10}, {5, 10.0006}}, 60, {{0, 10}, {10, 10.0006}}},
        {"negative duration", {{0, 10}}, -1, {}},
        {"NaN duration", {{0, 10}}, kNaN, {}},
    };
    for (const auto& c : cases) {
        std::vector<BeatloomTimelineRegion> input;
        for (const auto& s : c.input) input.push_back(region(s.start, s.end));
        EXPECT_EQ(spans(normalizedRegions(input, c.duration)), c.expected) << c.name;
    }
}

TEST(NormalizedRegions, KeepsIdentityAndDropsMeteredAndNonFinite) {
    auto kept = region(4, 2, Mode::free);
    kept.isLocked = true;
    const std::vector<BeatloomTimelineRegion> input{
        region(0, 1, Mode::metered),
        region(kNaN, 3),
        region(1, std::numeric_limits<double>::infinity()),
        kept,
    };
    const auto result = normalizedRegions(input, 10);
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].id, kept.id);
    EXPECT_EQ(result[0].mode, Mode::free);
    EXPECT_TRUE(result[0].isLocked);
    EXPECT_EQ(spans(result), (std::vector<Span>{{2, 4}}));
    EXPECT_TRUE(normalizedRegions({}, 10).empty());
    EXPECT_TRUE(normalizedRegions({region(1, 5, Mode::metered)}, 10).empty());
}

TEST(NormalizedRegions, LaterRegionTrimsAgainstTheFurthestEnd) {
    // 0-10 and 1-12 become 0-10 and 10-12; 11-15 then starts inside 10-12 and becomes 12-15.
    const auto result = normalizedRegions({region(0, 10), region(1, 12), region(11, 15)}, 60);
    EXPECT_EQ(spans(result), (std::vector<Span>{{0, 10}, {10, 12}, {12, 15}}));
    for (std::size_t i = 1; i < result.size(); ++i) {
        EXPECT_GE(result[i].startSeconds, result[i - 1].endSeconds - 1e-6);
    }
}

TEST(RegionContaining, HalfOpenWithToleranceFirstInListOrder) {
    const auto r = region(10, 20, Mode::free);
    struct Case {
        double time;
        bool inside;
    };
    const Case cases[] = {{9.9999995, true}, {19.9999995, false}, {15, true}, {9.99999, false}, {20, false},
                          {kNaN, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(regionContaining(c.time, {r}).has_value(), c.inside) << c.time;
    }
    // The list is taken as given: unsorted, overlapping, metered regions included.
    const auto later = region(12, 30, Mode::metered);
    const auto found = regionContaining({later, r}, 15.0);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, later.id);
    EXPECT_FALSE(regionContaining(5.0, {}));
}

TEST(Validate, RubatoAnchorsMustIncreaseInTimeAndPosition) {
    const auto rubato = region(0, 10, Mode::rubato);
    struct Case {
        const char* name;
        std::vector<BeatloomRhythmicAnchor> anchors;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"same time", {rhythmicAnchor(rubato, 1, 1.0), rhythmicAnchor(rubato, 1.0000005, 2.0)}, {kTimesMessage}},
        {"position goes back", {rhythmicAnchor(rubato, 1, 4.0), rhythmicAnchor(rubato, 2, 2.0)}, {kPositionsMessage}},
        {"both, time first",
         {rhythmicAnchor(rubato, 1, 2.0), rhythmicAnchor(rubato, 1, 2.0)},
         {kTimesMessage, kPositionsMessage}},
        {"checked in time order", {rhythmicAnchor(rubato, 2, 4.0), rhythmicAnchor(rubato, 1, 2.0)}, {}},
        {"anchors without a position are skipped",
         {rhythmicAnchor(rubato, 1, 2.0), rhythmicAnchor(rubato, 1.5, std::nullopt), rhythmicAnchor(rubato, 2, 3.0)},
         {}},
        {"one issue per pair",
         {rhythmicAnchor(rubato, 1, 4.0), rhythmicAnchor(rubato, 2, 3.0), rhythmicAnchor(rubato, 3, 2.0)},
         {kPositionsMessage, kPositionsMessage}},
        {"NaN position is reported", {rhythmicAnchor(rubato, 1, 1.0), rhythmicAnchor(rubato, 2, kNaN)}, {kPositionsMessage}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(messages(validate({rubato}, c.anchors, 60)), c.expected) << c.name;
    }
}

TEST(Validate, FreeTimeAndIneffectiveRegionsGiveNoIssue) {
    const auto freeRegion = region(0, 10, Mode::free);
    const auto outside = region(70, 80, Mode::rubato);  // past the end of the song
    const auto metered = region(20, 30, Mode::metered);
    const std::vector<BeatloomRhythmicAnchor> anchors{
        rhythmicAnchor(freeRegion, 2, 4.0), rhythmicAnchor(freeRegion, 1, 4.0),
        rhythmicAnchor(outside, 75, 4.0), rhythmicAnchor(outside, 75, 4.0),
        rhythmicAnchor(metered, 25, 4.0), rhythmicAnchor(metered, 25, 4.0),
    };
    EXPECT_TRUE(validate({freeRegion, outside, metered}, anchors, 60).empty());
    EXPECT_TRUE(validate({}, anchors, 60).empty());
}

TEST(Validate, OverlapsAreReportedAheadOfAnchorIssues) {
    const auto first = region(0, 10, Mode::free);
    const auto second = region(5, 20, Mode::rubato);  // trimmed to 10-20, still Rubato
    const auto inside = region(2, 9, Mode::free);      // wholly inside the first, dropped
    const auto afterInside = region(9.5, 30, Mode::free);  // starts after 2-9, the region before it
    const std::vector<BeatloomRhythmicAnchor> anchors{rhythmicAnchor(second, 12, 4.0), rhythmicAnchor(second, 12, 4.0)};
    EXPECT_EQ(messages(validate({first, second}, anchors, 60)),
              (std::vector<std::string>{kOverlapMessage, kTimesMessage,
                                        kPositionsMessage}));
    // Each region is compared with the one before it: one message for the region inside the
    // first, none for the one that starts after that region's end.
    EXPECT_EQ(messages(validate({first, inside, afterInside}, {}, 60)), (std::vector<std::string>{kOverlapMessage}));
    EXPECT_EQ(messages(validate({first, inside, region(8, 30, Mode::free)}, {}, 60)),
              (std::vector<std::string>{kOverlapMessage, kOverlapMessage}));
    // Touching regions and an overlap within 1e-6 s are fine.
    EXPECT_TRUE(validate({region(0, 10), region(10, 20), region(19.9999995, 25)}, {}, 60).empty());
}

TEST(FlexibleTimelineOrders, SortAnchorsAndRegions) {
    const auto a = region(0, 10);
    const auto b = region(20, 30);
    auto late = rhythmicAnchor(a, 5, 3.0);
    auto early = rhythmicAnchor(a, 1, std::nullopt);
    auto other = rhythmicAnchor(b, 0.5, 1.0);
    const bool aFirst = a.id.toString() < b.id.toString();

    auto listed = stablySorted(std::vector{late, other, early}, anchorListOrder);
    const auto expectedList = aFirst ? std::vector{early, late, other} : std::vector{other, early, late};
    EXPECT_EQ(listed, expectedList);

    EXPECT_EQ(stablySorted(std::vector{late, early, other}, anchorTimeOrder), (std::vector{other, early, late}));
    // An unset position counts as 0.
    EXPECT_EQ(stablySorted(std::vector{late, other, early}, anchorPositionOrder), (std::vector{early, other, late}));

    EXPECT_TRUE(regionOrder(region(1, 5), region(2, 3)));
    EXPECT_TRUE(regionOrder(region(2.0000005, 3), region(2, 5)));
    EXPECT_FALSE(regionOrder(region(2, 5), region(2.0000005, 3)));
}

TEST(FlexibleTimelinePredicates, SpareLockedRecordsAndMatchRegions) {
    auto lockedRegion = region(0, 10);
    lockedRegion.isLocked = true;
    const auto openRegion = region(20, 30);
    std::vector<BeatloomTimelineRegion> regions{lockedRegion, openRegion};
    std::erase_if(regions, [&](const auto& r) { return !keepUnlessUnlockedRegion(lockedRegion.id)(r); });
    std::erase_if(regions, [&](const auto& r) { return !keepUnlessUnlockedRegion(openRegion.id)(r); });
    EXPECT_EQ(regions, std::vector{lockedRegion});

    auto lockedAnchor = rhythmicAnchor(openRegion, 21, 1.0);
    lockedAnchor.isLocked = true;
    const auto openAnchor = rhythmicAnchor(openRegion, 22, std::nullopt);
    const auto foreign = rhythmicAnchor(lockedRegion, 2, 2.0);
    EXPECT_TRUE(keepUnlessUnlockedAnchor(lockedAnchor.id)(lockedAnchor));
    EXPECT_FALSE(keepUnlessUnlockedAnchor(openAnchor.id)(openAnchor));
    EXPECT_TRUE(keepUnlessUnlockedAnchor(openAnchor.id)(lockedAnchor));

    EXPECT_TRUE(anchorBelongsToRegion(openRegion.id)(openAnchor));
    EXPECT_FALSE(anchorBelongsToRegion(openRegion.id)(foreign));

    const auto sharesWithLocked = anchorSharesRegionWithPosition(lockedAnchor);
    EXPECT_TRUE(sharesWithLocked(lockedAnchor));
    EXPECT_FALSE(sharesWithLocked(openAnchor));  // no position
    EXPECT_FALSE(sharesWithLocked(foreign));     // other region
}

TEST(ValidationIssue, EqualityAndHashFollowTheMessage) {
    const ValidationIssue a{kRegionsOverlapMessage};
    const ValidationIssue b{kRegionsOverlapMessage};
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<ValidationIssue>{}(a), std::hash<ValidationIssue>{}(b));
    EXPECT_NE(a, ValidationIssue{kRubatoTimesMustIncreaseMessage});
    const std::unordered_set<ValidationIssue> set{a, b};
    EXPECT_EQ(set.size(), 1u);
}

}  // namespace
}  // namespace corvel::BeatloomFlexibleTimeline
