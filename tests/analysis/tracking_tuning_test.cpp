#include "analysis/tracking_tuning.hpp"

#include <cmath>
#include <future>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/music_analyzer.hpp"

namespace corvel::analysis {
namespace {

using A = ORVAudioMusicAnalyzer;

TEST(TempoRelations, TellSamePulseOctaveAndThreeToTwo) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double a, b;
        ORVTempoRelation expected;
    };
    for (const Case& c : {Case{120, 124, ORVTempoRelation::same}, Case{120, 116, ORVTempoRelation::same},
                          Case{120, 240, ORVTempoRelation::octave}, Case{240, 120, ORVTempoRelation::octave},
                          Case{120, 80, ORVTempoRelation::threeToTwo}, Case{120, 184, ORVTempoRelation::threeToTwo},
                          Case{120, 125, ORVTempoRelation::unrelated}, Case{120, 0, ORVTempoRelation::unrelated},
                          Case{120, -120, ORVTempoRelation::unrelated}, Case{nan, 120, ORVTempoRelation::unrelated},
                          Case{120, inf, ORVTempoRelation::unrelated}}) {
        EXPECT_EQ(rawValue(A::tempoRelation(c.a, c.b)), rawValue(c.expected)) << c.a << " " << c.b;
        const bool alias = c.expected == ORVTempoRelation::octave || c.expected == ORVTempoRelation::threeToTwo;
        EXPECT_EQ(A::isMetricalAlias(c.a, c.b), alias) << c.a << " " << c.b;
    }
    // The three-to-two test stands alone: no same-pulse test comes first, and nothing else passes.
    EXPECT_TRUE(A::isThreeToTwo(80, 120));
    EXPECT_TRUE(A::isThreeToTwo(120, 183));
    EXPECT_FALSE(A::isThreeToTwo(120, 116));
    EXPECT_FALSE(A::isThreeToTwo(120, 240));
    EXPECT_FALSE(A::isThreeToTwo(120, 0));
    EXPECT_FALSE(A::isThreeToTwo(nan, 80));
}

TEST(TempoRelations, RelativeDifferenceAndReportedTempo) {
    EXPECT_NEAR(A::relativeTempoDifference(120, 124), 4.0 / 124.0, 1e-15);
    EXPECT_NEAR(A::relativeTempoDifference(-2, 1), 1.5, 1e-15);
    EXPECT_EQ(A::relativeTempoDifference(0, 0), 0.0);
    EXPECT_NEAR(A::relativeTempoDifference(0, 1e-12), 1e-3, 1e-15);
    EXPECT_EQ(A::roundedTempo(120.03), 120.05);
    EXPECT_EQ(A::roundedTempo(119.97), 119.95);
    EXPECT_EQ(A::roundedTempo(120.025), 120.05);
}

TEST(TempoTrackingTuning, OneSharedInstanceForEveryThread) {
    std::vector<std::future<const ORVTempoTrackingTuning*>> lookups;
    for (int i = 0; i < 8; ++i) {
        lookups.push_back(std::async(std::launch::async, [] { return &ORVTempoTrackingTuning::shared(); }));
    }
    const ORVTempoTrackingTuning* first = &ORVTempoTrackingTuning::shared();
    for (auto& lookup : lookups) EXPECT_EQ(lookup.get(), first);
    const ORVTempoTrackingTuning copy = ORVTempoTrackingTuning::shared();
    EXPECT_EQ(copy.shortWindowSeconds, 6.0);
    EXPECT_EQ(copy.candidatesPerWindow, 8);
    EXPECT_EQ(copy.onsetSnapMaxSeconds, 0.085);
}

}  // namespace
}  // namespace corvel::analysis
