#include "core/grid_records.hpp"

#include <gtest/gtest.h>

namespace corvel::BeatloomTimeline {
namespace {

GridLine line(double time, GridKind kind) { return GridLine{time, time * 2, kind, std::nullopt, std::nullopt}; }

TEST(MergedGridLines, HighestKindAndThenLaterLineSurvive) {
    using K = GridKind;
    struct Case {
        std::vector<GridLine> input;
        std::vector<GridLine> expected;
    };
    const Case cases[] = {
        {{line(1.0, K::beat), line(1.000005, K::subdivision)}, {line(1.0, K::beat)}},
        {{line(1.0, K::subdivision), line(1.000005, K::bar)}, {line(1.000005, K::bar)}},
        {{line(1.0, K::beat), line(1.000005, K::beat)}, {line(1.000005, K::beat)}},
        {{line(1.0, K::beat), line(1.000008, K::beat), line(1.000016, K::beat)}, {line(1.000016, K::beat)}},
        {{line(2.0, K::bar), line(1.0, K::beat), line(1.00001, K::beat)}, {line(1.0, K::beat), line(1.00001, K::beat), line(2.0, K::bar)}},
        {{}, {}},
        {{line(3.0, K::bar)}, {line(3.0, K::bar)}},
        // Several runs: each collapses where it stands.
        {{line(1.0, K::beat), line(1.000005, K::subdivision), line(2.0, K::bar), line(2.000005, K::beat),
          line(3.0, K::subdivision)},
         {line(1.0, K::beat), line(2.0, K::bar), line(3.0, K::subdivision)}},
        // Equal times keep their input order through the sort, so the later one survives.
        {{line(2.0, K::bar), GridLine{1.0, 7, K::beat, 1, 2}, GridLine{1.0, 9, K::beat, 1, 3}},
         {GridLine{1.0, 9, K::beat, 1, 3}, line(2.0, K::bar)}},
        // An ordered grid with lines appended after it: an appended line at the time of an
        // earlier one comes after it, and survives.
        {{GridLine{1.0, 7, K::beat, 1, 2}, line(2.0, K::bar), line(3.0, K::beat), line(2.5, K::subdivision),
          GridLine{1.0, 9, K::beat, 1, 3}},
         {GridLine{1.0, 9, K::beat, 1, 3}, line(2.0, K::bar), line(2.5, K::subdivision), line(3.0, K::beat)}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mergedGridLines(c.input), c.expected);
    }
}

TEST(MergedClickEvents, FirstAccentedClickSurvives) {
    struct Case {
        std::vector<ClickEvent> input;
        std::vector<ClickEvent> expected;
    };
    const Case cases[] = {
        {{{2.0, false}, {2.000004, true}}, {{2.000004, true}}},
        {{{2.0, true}, {2.000004, false}}, {{2.0, true}}},
        {{{2.0, false}, {2.000004, false}}, {{2.0, false}}},
        {{{2.0, false}, {2.00001, false}, {2.00002, true}}, {{2.0, false}, {2.00001, false}, {2.00002, true}}},
        {{{5.0, true}, {1.0, false}}, {{1.0, false}, {5.0, true}}},
        {{{1.0, false}, {1.000004, false}, {3.0, false}, {3.000004, true}, {4.0, false}},
         {{1.0, false}, {3.000004, true}, {4.0, false}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mergedClickEvents(c.input), c.expected);
    }
}

TEST(GridRecords, KindsFromIntegersAndStepsOfResolutions) {
    EXPECT_EQ(gridKindFromRawValue(2), GridKind::bar);
    EXPECT_FALSE(gridKindFromRawValue(3));
    EXPECT_FALSE(gridKindFromRawValue(-1));
    EXPECT_LT(GridKind::beat, GridKind::bar);
    EXPECT_EQ(gridStepQuarters(BeatloomGridResolution::eighth), 0.5);
    EXPECT_DOUBLE_EQ(gridStepQuarters(BeatloomGridResolution::eighthTriplet) * 3, 1.0);
}

}  // namespace
}  // namespace corvel::BeatloomTimeline
