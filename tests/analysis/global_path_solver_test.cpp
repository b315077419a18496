#include "analysis/global_path_solver.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "analysis/music_analyzer.hpp"

namespace corvel::analysis {
namespace {

using A = ORVAudioMusicAnalyzer;
using Solver = ORVTempoGlobalPathSolver;
using Hypothesis = ORVTempoFamilyHypothesis;
using Window = ORVTempoHypothesisWindow;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const ORVTempoTrackingTuning& tuning() { return ORVTempoTrackingTuning::shared(); }

Hypothesis hypothesis(double canonical, double score, double direct = 0.5, double alias = 0, double octavePair = 0,
                      bool ambiguous = false) {
    Hypothesis h;
    h.canonicalBPM = canonical;
    h.observedBPM = canonical;
    h.score = score;
    h.agreement = score / 2;
    h.directSupport = direct;
    h.aliasSupport = alias;
    h.octavePairSupport = octavePair;
    h.ambiguous = ambiguous;
    return h;
}

std::vector<double> chosenTempi(const Solver::Result& result) {
    std::vector<double> tempi;
    for (const auto& state : result.states) tempi.push_back(state.canonicalBPM);
    return tempi;
}

// A tuning whose costs are exact binary fractions, so that path totals can tie exactly.
ORVTempoTrackingTuning dyadicTuning() {
    ORVTempoTrackingTuning t = tuning();
    t.continuityBonus = 0.0625;
    t.changeCost = 0.125;
    t.tempoDistanceCostPerOctave = 0.03125;
    t.directEmissionWeight = 0.125;
    t.crossSupportEmissionWeight = 0.25;
    return t;
}

TEST(GlobalPathSolver, EmissionRewardsDirectAndSharedSupportAndChargesAmbiguity) {
    struct Case {
        Hypothesis h;
        double expected;
    };
    for (const Case& c : {Case{hypothesis(120, 0.6, 0.5, 0.3), 0.08 * 0.5 + 0.6 + 0.22 * 0.3},
                          Case{hypothesis(120, 0.6, 0.2, 0.7), 0.08 * 0.2 + 0.6 + 0.22 * 0.2},
                          Case{hypothesis(120, 0.4, 0.1, 0.6, 0, true), 0.08 * 0.1 + 0.4 + 0.22 * 0.1 - 0.05}}) {
        EXPECT_NEAR(Solver::emissionScore(c.h, tuning()), c.expected, 1e-15);
    }
}

TEST(GlobalPathSolver, TransitionBonusesAndCosts) {
    struct Case {
        const char* label;
        Hypothesis from, to;
        double expected;
    };
    const double octave = 0.03;
    for (const Case& c : {
             Case{"within 2.8 % stays in the family", hypothesis(120, 0.5), hypothesis(123, 0.5), 0.06},
             Case{"same pulse but beyond the tolerance", hypothesis(120, 0.5), hypothesis(124, 0.5),
                  -(0.105 + std::log2(124.0 / 120.0) * 0.03)},
             Case{"octave with strong direct support", hypothesis(120, 0.5), hypothesis(240, 0.5), -(0.105 + octave)},
             Case{"octave down", hypothesis(240, 0.5), hypothesis(120, 0.5), -(0.105 + octave)},
             Case{"octave to a weakly heard tempo", hypothesis(120, 0.5), hypothesis(240, 0.5, 0.12),
                  -(0.105 + 0.5 * 0.08 + octave)},
             Case{"octave to an unheard tempo", hypothesis(120, 0.5), hypothesis(240, 0.5, 0.0),
                  -(0.105 + 0.08 + octave)},
             Case{"octave pair heard in both windows", hypothesis(120, 0.5, 0.5, 0, 0.42),
                  hypothesis(240, 0.5, 0.5, 0, 0.5), -(0.105 + 0.18 + octave)},
             Case{"octave pair heard in one window only", hypothesis(120, 0.5, 0.5, 0, 0.41),
                  hypothesis(240, 0.5, 0.5, 0, 0.9), -(0.105 + octave)},
             Case{"three-to-two, weak, pair support does not count", hypothesis(120, 0.5, 0.5, 0, 0.9),
                  hypothesis(180, 0.5, 0.12, 0, 0.9), -(0.105 + 0.04 + std::log2(1.5) * 0.03)},
             Case{"unrelated, weak direct does not count", hypothesis(120, 0.5), hypothesis(100, 0.5, 0.0),
                  -(0.105 + std::log2(1.2) * 0.03)},
             Case{"distance cost capped", hypothesis(40, 0.5), hypothesis(300, 0.5), -(0.105 + 0.04)},
             Case{"no tempo: plain change", hypothesis(0, 0.5), hypothesis(120, 0.5), -0.105},
             Case{"NaN: plain change", hypothesis(120, 0.5), hypothesis(kNaN, 0.5), -0.105},
             Case{"negative: plain change", hypothesis(-120, 0.5), hypothesis(-120, 0.5), -0.105},
             Case{"infinite: change plus capped distance", hypothesis(120, 0.5), hypothesis(kInf, 0.5),
                  -(0.105 + 0.04)},
             Case{"both infinite: still a finite cost", hypothesis(kInf, 0.5), hypothesis(kInf, 0.5),
                  -(0.105 + 0.04)},
         }) {
        EXPECT_NEAR(Solver::transitionScore(c.from, c.to, tuning()), c.expected, 1e-15) << c.label;
    }
}

TEST(GlobalPathSolver, NoWindowsOrOnlyEmptyOnesGiveAnEmptyPath) {
    for (const std::vector<Window>& windows : {std::vector<Window>{}, std::vector<Window>{{1.5, {}}, {3.0, {}}}}) {
        const auto result = Solver::solve(windows, 120.0, tuning());
        EXPECT_TRUE(result.states.empty());
        EXPECT_TRUE(result.diagnostics.empty());
        EXPECT_EQ(result.version, "global-multihypothesis-v5");
    }
}

TEST(GlobalPathSolver, SingleWindowChoosesTheBestEmissionOrTheReferenceFamily) {
    const std::vector<Window> windows{{4.5, {hypothesis(120, 0.60), hypothesis(90, 0.58), hypothesis(240, 0.2)}}};
    const double e120 = Solver::emissionScore(windows[0].hypotheses[0], tuning());
    const double e90 = Solver::emissionScore(windows[0].hypotheses[1], tuning());

    const auto plain = Solver::solve(windows, std::nullopt, tuning());
    ASSERT_EQ(plain.states.size(), 1u);
    EXPECT_EQ(plain.states[0],
              (ORVTempoFamilyState{4.5, 120, 120, 1, 0.60, 0.30, false}));
    const auto& d = plain.diagnostics[0];
    EXPECT_EQ(d.chosenPathScore, e120);
    EXPECT_EQ(d.chosenEmissionScore, e120);
    EXPECT_EQ(d.runnerUpCanonicalBPM, 90.0);
    EXPECT_EQ(d.runnerUpPathScore, e90);
    EXPECT_NEAR(*d.pathScoreMargin, 0.02, 1e-12);
    EXPECT_TRUE(d.ambiguous);  // 0.02 is below the 0.035 margin

    // 3 % from the reference earns the start bonus; 3.5 % does not.
    const auto towards90 = Solver::solve(windows, 92.7, tuning());
    EXPECT_EQ(chosenTempi(towards90), std::vector<double>{90});
    EXPECT_NEAR(towards90.diagnostics[0].chosenPathScore, e90 + 0.035, 1e-15);
    EXPECT_NEAR(*towards90.diagnostics[0].pathScoreMargin, 0.015, 1e-12);
    EXPECT_EQ(chosenTempi(Solver::solve(windows, 93.3, tuning())), std::vector<double>{120});
    for (const double unusable : {0.0, -90.0, kNaN, kInf}) {
        EXPECT_EQ(Solver::solve(windows, unusable, tuning()).diagnostics[0].chosenPathScore, e120) << unusable;
    }
}

TEST(GlobalPathSolver, WindowWithOneHypothesisIsAlwaysAmbiguous) {
    const auto result = Solver::solve(std::vector<Window>{{1, {hypothesis(120, 0.9)}}}, std::nullopt, tuning());
    ASSERT_EQ(result.diagnostics.size(), 1u);
    const auto& d = result.diagnostics[0];
    EXPECT_TRUE(d.ambiguous);
    EXPECT_FALSE(d.runnerUpCanonicalBPM);
    EXPECT_FALSE(d.runnerUpPathScore);
    EXPECT_FALSE(d.pathScoreMargin);
}

TEST(GlobalPathSolver, DoubleTempoDetourNeedsToOutweighLeavingAndReenteringTheFamily) {
    // 120 | 240 or 120 | 120: staying collects two continuity bonuses (0.12), the detour pays
    // two octave changes of 0.105 + 0.03, so the 240 hypothesis needs 0.39 more emission.
    struct Case {
        const char* label;
        double lead;  // emission lead of the middle 240 over the middle 120
        Hypothesis detour;
        bool detourWins;
    };
    const Hypothesis middle120 = hypothesis(120, 0.40);
    const double e120 = Solver::emissionScore(middle120, tuning());
    for (const Case& c : {
             Case{"just short", 0.389, hypothesis(240, 0), false},
             Case{"just past", 0.391, hypothesis(240, 0), true},
             Case{"weak direct support costs 0.04 more", 0.425, hypothesis(240, 0, 0.12), false},
             Case{"weak direct support, enough lead", 0.431, hypothesis(240, 0, 0.12), true},
             Case{"octave pair heard throughout costs 0.36 more", 0.70, hypothesis(240, 0, 0.5, 0, 0.5), false},
             Case{"octave pair, enough lead", 0.76, hypothesis(240, 0, 0.5, 0, 0.5), true},
         }) {
        Hypothesis detour = c.detour;
        detour.score = e120 + c.lead - Solver::emissionScore(detour, tuning());
        const Hypothesis outer = hypothesis(120, 0.5, 0.5, 0, c.detour.octavePairSupport);
        Hypothesis middleStay = middle120;
        middleStay.octavePairSupport = c.detour.octavePairSupport;
        const std::vector<Window> windows{{3, {outer}}, {4.5, {detour, middleStay}}, {6, {outer}}};
        const auto result = Solver::solve(windows, std::nullopt, tuning());
        const std::vector<double> expected{120, c.detourWins ? 240.0 : 120.0, 120};
        EXPECT_EQ(chosenTempi(result), expected) << c.label;
        // The middle window's other hypothesis is the runner-up.
        EXPECT_EQ(result.diagnostics[1].runnerUpCanonicalBPM, c.detourWins ? 120.0 : 240.0) << c.label;
    }
}

TEST(GlobalPathSolver, EqualTotalsGoToTheLowerIndex) {
    const ORVTempoTrackingTuning exact = dyadicTuning();
    // The detour at exactly the break-even lead (2 x 0.0625 + 2 x (0.125 + 0.03125)): equal
    // path totals, and the 240 hypothesis, listed first, wins.
    const std::vector<Window> detour{{3, {hypothesis(120, 0.5)}},
                                     {4.5, {hypothesis(240, 0.25 + 0.4375), hypothesis(120, 0.25)}},
                                     {6, {hypothesis(120, 0.5)}}};
    const auto tie = Solver::solve(detour, std::nullopt, exact);
    EXPECT_EQ(chosenTempi(tie), (std::vector<double>{120, 240, 120}));
    // A hair more for the 120 hypothesis and staying wins.
    auto stay = detour;
    stay[1].hypotheses[1].score += 1.0 / 1024;
    EXPECT_EQ(chosenTempi(Solver::solve(stay, std::nullopt, exact)), (std::vector<double>{120, 120, 120}));

    // Two predecessors that tie: the first one listed is taken.
    for (const bool slowFirst : {true, false}) {
        std::vector<Hypothesis> first{hypothesis(120, 0.5), hypothesis(121, 0.5)};
        if (!slowFirst) std::swap(first[0], first[1]);
        const std::vector<Window> windows{{3, first}, {4.5, {hypothesis(120.5, 0.5)}}};
        EXPECT_EQ(Solver::solve(windows, std::nullopt, exact).states[0].canonicalBPM, slowFirst ? 120 : 121);
    }
    // Two final cells that tie: the first one.
    const std::vector<Window> twins{{3, {hypothesis(100, 0.5), hypothesis(150, 0.5)}}};
    EXPECT_EQ(chosenTempi(Solver::solve(twins, std::nullopt, exact)), std::vector<double>{100});
}

TEST(GlobalPathSolver, StatesAndDiagnosticsFollowTheBacktrackedPath) {
    // The first window prefers 100 on its own, but only 150 continues into the strong
    // second window: the path goes back and takes 150 there.
    const std::vector<Window> windows{{3, {hypothesis(100, 0.6), hypothesis(150, 0.5)}},
                                      {4.5, {hypothesis(150, 0.9)}},
                                      {7.5, {}},
                                      {9, {hypothesis(152, 0.8), hypothesis(75, 0.1, 0.1, 0.5, 0, true)}}};
    const auto result = Solver::solve(windows, std::nullopt, tuning());
    ASSERT_EQ(result.states.size(), 3u);
    ASSERT_EQ(result.diagnostics.size(), 3u);
    EXPECT_EQ(chosenTempi(result), (std::vector<double>{150, 150, 152}));
    EXPECT_EQ(result.states[1].centerSeconds, 4.5);
    EXPECT_EQ(result.states[2].centerSeconds, 9);
    EXPECT_EQ(result.states[2].confidence, 0.8);
    EXPECT_EQ(result.states[2].agreement, 0.4);

    // In the first window the chosen cell is not the best one: a negative margin.
    const auto& first = result.diagnostics[0];
    EXPECT_EQ(first.chosenCanonicalBPM, 150);
    EXPECT_EQ(first.runnerUpCanonicalBPM, 100.0);
    EXPECT_LT(*first.pathScoreMargin, 0.0);
    EXPECT_TRUE(first.ambiguous);

    EXPECT_NEAR(result.diagnostics[1].chosenPathScore,
                Solver::emissionScore(windows[1].hypotheses[0], tuning()) + 0.06 +
                    Solver::emissionScore(windows[0].hypotheses[1], tuning()),
                1e-12);
    EXPECT_TRUE(result.diagnostics[1].ambiguous);  // no runner-up
    EXPECT_FALSE(result.diagnostics[2].ambiguous);
    EXPECT_GT(*result.diagnostics[2].pathScoreMargin, 0.035);

    // Same input, same answer.
    const auto again = Solver::solve(windows, std::nullopt, tuning());
    EXPECT_EQ(again.states, result.states);
    EXPECT_EQ(again.diagnostics, result.diagnostics);
}

TEST(TrackTempoFamilies, WindowsWithoutHypothesesDropOutAndTheRestReachTheSolver) {
    const std::vector<ORVTempoFamilyWindow> windows{
        {3.0, {{120, 0.8, 0.6, 0.7, 0.2}, {60, 0.4, 0.3, 0.5, 0.1}}},
        {4.5, {{20, 0.9, 0.9, 0.9, 0.9}, {400, 0.9, 0.9, 0.9, 0.9}}},  // nothing within 40...320
        {6.0, {}},
        {7.5, {{121, 0.7, 0.5, 0.6, 0.2}, {242, 0.6, 0.4, 0.6, 0.3}}},
    };
    std::vector<Window> expectedInput;
    for (const auto& w : {windows[0], windows[3]}) {
        expectedInput.push_back({w.centerSeconds, A::familyHypotheses(w.evidence, 118.0)});
    }
    const auto result = A::trackTempoFamilies(windows, 118.0, tuning());
    const auto expected = Solver::solve(expectedInput, 118.0, tuning());
    EXPECT_EQ(result.states, expected.states);
    EXPECT_EQ(result.diagnostics, expected.diagnostics);
    EXPECT_EQ(result.version, "global-multihypothesis-v5");
    ASSERT_EQ(result.states.size(), 2u);
    EXPECT_NEAR(result.states[0].canonicalBPM, 120, 1.5);
    EXPECT_NEAR(result.states[1].canonicalBPM, 120, 1.5);
    EXPECT_TRUE(A::trackTempoFamilies({}, std::nullopt, tuning()).states.empty());
}

TEST(TempoPathDiagnostic, JsonHasTheFieldNamesAndOptionalsOnlyWhenPresent) {
    ORVTempoPathWindowDiagnostic full{1.5, 120, 240, 2, 0.7, 1.9, 60.0, 1.8, 0.1, false};
    const nlohmann::json encoded = full;
    EXPECT_EQ(encoded.size(), 10u);
    for (const char* key : {"centerSeconds", "chosenCanonicalBPM", "chosenObservedBPM", "chosenMetricalFactor",
                            "chosenEmissionScore", "chosenPathScore", "runnerUpCanonicalBPM", "runnerUpPathScore",
                            "pathScoreMargin", "ambiguous"}) {
        EXPECT_TRUE(encoded.contains(key)) << key;
    }
    EXPECT_EQ(encoded.get<ORVTempoPathWindowDiagnostic>(), full);

    const ORVTempoPathWindowDiagnostic lone{3, 90, 90, 1, 0.5, 0.5, std::nullopt, std::nullopt, std::nullopt, true};
    const nlohmann::json sparse = lone;
    EXPECT_EQ(sparse.size(), 7u);
    EXPECT_FALSE(sparse.contains("pathScoreMargin"));
    EXPECT_EQ(sparse.get<ORVTempoPathWindowDiagnostic>(), lone);
    EXPECT_EQ(std::hash<ORVTempoPathWindowDiagnostic>{}(sparse.get<ORVTempoPathWindowDiagnostic>()),
              std::hash<ORVTempoPathWindowDiagnostic>{}(lone));

    nlohmann::json wrong = sparse;
    wrong["ambiguous"] = 1;
    EXPECT_THROW(wrong.get<ORVTempoPathWindowDiagnostic>(), nlohmann::json::exception);
    nlohmann::json missing = sparse;
    missing.erase("chosenPathScore");
    EXPECT_THROW(missing.get<ORVTempoPathWindowDiagnostic>(), nlohmann::json::exception);
}

}  // namespace
}  // namespace corvel::analysis
