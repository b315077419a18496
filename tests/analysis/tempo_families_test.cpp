#include "analysis/tempo_families.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/music_analyzer.hpp"

namespace corvel::analysis {
namespace {

using A = ORVAudioMusicAnalyzer;
using Evidence = ORVTempoFamilyEvidence;
using Hypothesis = ORVTempoFamilyHypothesis;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const Hypothesis* family(const std::vector<Hypothesis>& hypotheses, double canonicalBPM) {
    for (const Hypothesis& h : hypotheses) {
        if (std::abs(h.canonicalBPM - canonicalBPM) <= 1e-9 * canonicalBPM) return &h;
    }
    return nullptr;
}

double strength(const Evidence& e) { return 0.72 * e.score + 0.28 * e.agreement; }

TEST(TempoFamilies, AliasCanonicalTempos) {
    struct Case {
        double bpm;
        std::vector<double> expected;
    };
    for (const Case& c : {Case{100, {50, 100.0 / 1.5, 100, 150, 200}}, Case{300, {150, 200, 300}},
                          Case{30, {45, 60}}, Case{320, {160, 213.3333, 320}}}) {
        const auto tempi = A::aliasCanonicalTempos(c.bpm);
        ASSERT_EQ(tempi.size(), c.expected.size()) << c.bpm;
        for (std::size_t i = 0; i < tempi.size(); ++i) EXPECT_NEAR(tempi[i], c.expected[i], 1e-4) << c.bpm;
    }
    for (const double bad : {0.0, -100.0, kInf, kNaN}) EXPECT_TRUE(A::aliasCanonicalTempos(bad).empty()) << bad;
}

TEST(TempoFamilies, AppendDistinctTempoKeepsTempiInRangeAndApart) {
    std::vector<double> list{120};
    for (const double bpm : {39.9, 320.1, kNaN, kInf, 121.5, 118.0}) A::appendDistinctTempo(list, bpm);
    EXPECT_EQ(list, (std::vector<double>{120}));
    for (const double bpm : {122.5, 40.0, 320.0}) A::appendDistinctTempo(list, bpm);
    EXPECT_EQ(list, (std::vector<double>{120, 122.5, 40, 320}));
    // Entries that are no tempo hide nothing.
    std::vector<double> odd{0, -100};
    A::appendDistinctTempo(odd, 100);
    EXPECT_EQ(odd, (std::vector<double>{0, -100, 100}));
}

TEST(TempoFamilies, OneCandidateSpreadsIntoItsFamilyAndItsAliases) {
    const Evidence e{120, 0.8, 0.6, 0.5, 0.1};
    const double ws = strength(e);  // 0.744
    const auto hypotheses = A::familyHypotheses(std::vector<Evidence>{e}, std::nullopt);

    // 120 is heard directly; 240, 180, 80 and 60 only as aliases of it (weights 0.78, 0.76,
    // 0.62, 0.56), which costs 0.12. One match of two possible: coverage 0.5.
    ASSERT_EQ(hypotheses.size(), 5u);
    const std::vector<double> order{120, 240, 180, 80, 60};
    for (std::size_t i = 0; i < order.size(); ++i) EXPECT_DOUBLE_EQ(hypotheses[i].canonicalBPM, order[i]) << i;

    const Hypothesis& direct = hypotheses[0];
    EXPECT_NEAR(direct.score, 0.54 * ws + 0.24 * ws + 0.22 * 0.6 + 0.045 * 0.5, 1e-12);
    EXPECT_EQ(direct.observedBPM, 120);
    EXPECT_EQ(direct.metricalFactor, 1.0);
    EXPECT_EQ(direct.agreement, 0.6);
    EXPECT_NEAR(direct.directSupport, ws, 1e-15);
    EXPECT_EQ(direct.aliasSupport, 0.0);
    EXPECT_EQ(direct.directPulseCompleteness, 0.5);
    EXPECT_EQ(direct.directAccentRecurrence, 0.1);
    EXPECT_EQ(direct.octavePairSupport, 0.0);
    EXPECT_FALSE(direct.ambiguous);

    struct Alias {
        double canonical, factor, weight;
    };
    for (const Alias& a : {Alias{240, 0.5, 0.78}, Alias{180, 2.0 / 3.0, 0.76}, Alias{80, 1.5, 0.62}, Alias{60, 2, 0.56}}) {
        const Hypothesis* h = family(hypotheses, a.canonical);
        ASSERT_NE(h, nullptr) << a.canonical;
        EXPECT_NEAR(h->score, 0.78 * ws * a.weight + 0.22 * 0.6 - 0.12 + 0.045 * 0.5, 1e-12) << a.canonical;
        EXPECT_EQ(h->observedBPM, 120);
        EXPECT_EQ(h->metricalFactor, a.factor);
        EXPECT_EQ(h->directSupport, 0.0);
        EXPECT_NEAR(h->aliasSupport, ws * a.weight, 1e-15);
        EXPECT_TRUE(h->ambiguous);
    }
}

TEST(TempoFamilies, HalfAndDoubleAreReadWithTheirOwnWeights) {
    const Evidence fast{120, 0.6, 0.6, 0.9, 0.3};
    const Evidence slow{60, 0.7, 0.6, 0.5, 0.1};
    const auto hypotheses = A::familyHypotheses(std::vector<Evidence>{slow, fast}, std::nullopt);
    const Hypothesis* at120 = family(hypotheses, 120);
    const Hypothesis* at60 = family(hypotheses, 60);
    ASSERT_NE(at120, nullptr);
    ASSERT_NE(at60, nullptr);

    // Under 120 the 60 is the half (0.78); under 60 the 120 is the double (0.56).
    const double halfSupport = strength(slow) * 0.78;
    EXPECT_NEAR(at120->aliasSupport, halfSupport, 1e-15);
    EXPECT_NEAR(at60->aliasSupport, strength(fast) * 0.56, 1e-15);
    // The weaker of the pair: the 120 BPM evidence.
    EXPECT_NEAR(at120->octavePairSupport, strength(fast), 1e-15);
    EXPECT_NEAR(at60->octavePairSupport, strength(fast), 1e-15);

    // 120: both heard (+0.105), a complete direct pulse with a strong half, and accents that
    // recur more clearly than the half's.
    const double ws = strength(fast);
    double expected = 0.54 * ws + 0.24 * (ws + halfSupport) / 2 + 0.22 * 0.6 + 0.105;
    expected += ((0.9 - 0.42) / 0.58) * (halfSupport / 0.6) * 0.16;
    expected += (0.3 - 0.1 - 0.025) * 0.34;
    EXPECT_NEAR(at120->score, std::min(expected + 0.045, 1.0), 1e-12);
    EXPECT_EQ(at120->observedBPM, 120);
    EXPECT_EQ(hypotheses[0].canonicalBPM, 120);
}

TEST(TempoFamilies, DoubleTempoEvidencePenalisesTheSlowerFamily) {
    const auto tuning = ORVTempoTrackingTuning::shared();
    const Evidence direct{100, 0.8, 0.6, 0.5, 0.1};
    const double ws = strength(direct);
    const double doubleWs = ws * 0.56;
    // Base score of the 100 BPM family with one double match of the same strength.
    const double base = 0.54 * ws + 0.24 * (ws + doubleWs) / 2 + 0.22 * 0.6 + 0.105 + 0.045;

    struct Case {
        const char* label;
        Evidence doubled;
        double penalty;
    };
    const double fullStrengthPart =
        std::min(tuning.doublePenaltyScale * (0.48 + 0.34 + 0.18 * (0.9 - 0.58) / (1 - 0.58)), 0.2);
    for (const Case& c : {
             Case{"as strong, complete, same accents", {200, 0.8, 0.6, 0.9, 0.1}, fullStrengthPart},
             Case{"and accents well ahead", {200, 0.8, 0.6, 0.9, 0.3}, fullStrengthPart + 0.62 * (0.3 - 0.1 - 0.035)},
             Case{"accent part capped", {200, 0.8, 0.6, 0.9, 0.6}, fullStrengthPart + 0.12},
             Case{"incomplete pulse", {200, 0.8, 0.6, 0.5, 0.1}, 0.0},
             Case{"weaker double: only its accents count", {200, 0.5, 0.2, 0.9, 0.3}, 0.62 * (0.3 - 0.1 - 0.035)},
         }) {
        const auto hypotheses = A::familyHypotheses(std::vector<Evidence>{direct, c.doubled}, std::nullopt);
        const Hypothesis* h = family(hypotheses, 100);
        ASSERT_NE(h, nullptr) << c.label;
        const double doubleStrength = strength(c.doubled) * 0.56;
        const double expected = base - 0.24 * (doubleWs - doubleStrength) / 2 - c.penalty;
        EXPECT_NEAR(h->score, expected, 1e-12) << c.label;
    }
}

TEST(TempoFamilies, ReferenceTempoFavoursItsFamilyAndDisfavoursItsRelatives) {
    const std::vector<Evidence> evidence{{121, 0.8, 0.6, 0.5, 0.1}};
    const auto plain = A::familyHypotheses(evidence, std::nullopt);
    const auto guided = A::familyHypotheses(evidence, 120.0);
    ASSERT_EQ(plain.size(), guided.size());
    for (const Hypothesis& h : plain) {
        const Hypothesis* g = family(guided, h.canonicalBPM);
        ASSERT_NE(g, nullptr);
        const double change = h.canonicalBPM == 121 ? 0.1 : -0.025;  // 60.5, 80.7, 181.5 and 242 are aliases
        EXPECT_NEAR(g->score - h.score, change, 1e-12) << h.canonicalBPM;
    }
    // A reference that is no tempo changes nothing.
    for (const double reference : {0.0, -120.0, kNaN}) {
        const auto same = A::familyHypotheses(evidence, reference);
        ASSERT_EQ(same.size(), plain.size());
        for (std::size_t i = 0; i < same.size(); ++i) EXPECT_EQ(same[i], plain[i]) << reference;
    }
    // The reference is a candidate of its own: 126 BPM reads the evidence at 130 BPM as
    // direct, earns the reference bonus and, with the canonical tempo of its evidence,
    // displaces the 130 BPM candidate's family. Far from all evidence it yields nothing.
    const std::vector<Evidence> at130{{130, 0.8, 0.6, 0.5, 0.1}};
    const auto unguided = A::familyHypotheses(at130, std::nullopt);
    const auto nearby = A::familyHypotheses(at130, 126.0);
    ASSERT_EQ(nearby.size(), unguided.size());
    EXPECT_EQ(nearby[0].canonicalBPM, 130);
    EXPECT_NEAR(nearby[0].score, unguided[0].score + 0.1, 1e-12);
    const auto far = A::familyHypotheses(at130, 110.0);  // related to no family either
    ASSERT_EQ(far.size(), unguided.size());
    for (std::size_t i = 0; i < far.size(); ++i) EXPECT_EQ(far[i], unguided[i]);
}

TEST(TempoFamilies, FamiliesStayApartAndAtMostEightAreKept) {
    Hypothesis a;
    a.canonicalBPM = 120;
    Hypothesis b;
    b.canonicalBPM = 121.5;
    Hypothesis c;
    c.canonicalBPM = 122.5;
    EXPECT_FALSE(A::isNewFamily(std::vector<Hypothesis>{a}, b));
    EXPECT_TRUE(A::isNewFamily(std::vector<Hypothesis>{a}, c));
    Hypothesis none;
    none.canonicalBPM = kNaN;
    EXPECT_TRUE(A::isNewFamily(std::vector<Hypothesis>{none}, b));

    // 120 and 122.5 BPM are separate candidates, but both read the other as direct support:
    // one family, at the stronger reading's tempo (the weaker, 2 % off, does not pull it).
    const auto close = A::familyHypotheses(std::vector<Evidence>{{120, 0.8, 0.6, 0.5, 0}, {122.5, 0.6, 0.5, 0.5, 0}},
                                           std::nullopt);
    ASSERT_FALSE(close.empty());
    for (std::size_t i = 0; i < close.size(); ++i) {
        for (std::size_t j = i + 1; j < close.size(); ++j) {
            EXPECT_GT(A::relativeTempoDifference(close[i].canonicalBPM, close[j].canonicalBPM), 0.018);
        }
    }
    EXPECT_EQ(close[0].canonicalBPM, 120.0);
    // Readings within 1 % of the strongest are one pulse and blend.
    const auto near = A::familyHypotheses(std::vector<Evidence>{{120, 0.8, 0.6, 0.5, 0}, {121, 0.6, 0.5, 0.5, 0}},
                                          std::nullopt);
    ASSERT_FALSE(near.empty());
    const double blended = (120.0 * strength({120, 0.8, 0.6, 0, 0}) + 121.0 * strength({121, 0.6, 0.5, 0, 0})) /
                           (strength({120, 0.8, 0.6, 0, 0}) + strength({121, 0.6, 0.5, 0, 0}));
    EXPECT_NEAR(near[0].canonicalBPM, blended, 1e-9);

    std::vector<Evidence> many;
    for (int i = 0; i < 12; ++i) many.push_back({41.0 + 23.0 * i, 0.3 + 0.05 * (i % 4), 0.4, 0.5, 0});
    const auto kept = A::familyHypotheses(many, std::nullopt);
    EXPECT_EQ(kept.size(), 8u);
    for (std::size_t i = 1; i < kept.size(); ++i) EXPECT_GE(kept[i - 1].score, kept[i].score - 1e-6);
}

TEST(TempoFamilies, EvidenceOutsideTheTempoRangeIsIgnored) {
    EXPECT_TRUE(A::familyHypotheses({}, 120.0).empty());
    EXPECT_TRUE(A::familyHypotheses(std::vector<Evidence>{{39.9, 0.9, 1, 1, 0}, {320.5, 0.9, 1, 1, 0},
                                                          {kNaN, 0.9, 1, 1, 0}, {kInf, 0.9, 1, 1, 0}},
                                    120.0)
                    .empty());
    const auto one = A::familyHypotheses(std::vector<Evidence>{{100, 0.8, 0.6, 0.5, 0.1}}, std::nullopt);
    const auto withOutsiders = A::familyHypotheses(
        std::vector<Evidence>{{100, 0.8, 0.6, 0.5, 0.1}, {400, 0.99, 1, 1, 1}, {20, 0.99, 1, 1, 1}}, std::nullopt);
    EXPECT_EQ(one, withOutsiders);
}

TEST(TempoFamilies, WeightedCanonicalTempoAndTopMatchMean) {
    EXPECT_EQ(A::weightedCanonicalTempo(100, {}), 100);
    const std::vector<ORVTempoFamilyMatch> matches{{200, 0, 0, 0, 0, 2, 0.6}, {99, 0, 0, 0, 0, 1, 0.2},
                                                   {150, 0, 0, 0, 0, 1.5, 0.0}, {50, 0, 0, 0, 0, 0.5, -1}};
    // Weights never fall below 0.02: 100 x 0.6 + 99 x 0.2 + 100 x 0.02 + 100 x 0.02.
    EXPECT_NEAR(A::weightedCanonicalTempo(100, matches), (60 + 19.8 + 2 + 2) / 0.84, 1e-12);
    EXPECT_EQ(A::topMatchMean({}), 0.0);
    EXPECT_NEAR(A::topMatchMean(std::span(matches).first(2)), 0.4, 1e-15);
    EXPECT_NEAR(A::topMatchMean(matches), 0.8 / 3, 1e-15);
}

TEST(TempoFamilies, RecordsHashAsTheyCompare) {
    const Evidence a{120, 0.5, 0.4, 0.3, 0.0};
    const Evidence b{120, 0.5, 0.4, 0.3, -0.0};
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<Evidence>{}(a), std::hash<Evidence>{}(b));
    const ORVTempoFamilyWindow w1{1.5, {a}};
    const ORVTempoFamilyWindow w2{1.5, {b}};
    EXPECT_EQ(w1, w2);
    EXPECT_EQ(std::hash<ORVTempoFamilyWindow>{}(w1), std::hash<ORVTempoFamilyWindow>{}(w2));
    const auto hypotheses = A::familyHypotheses(std::vector<Evidence>{a}, std::nullopt);
    ASSERT_FALSE(hypotheses.empty());
    Hypothesis changed = hypotheses[0];
    EXPECT_EQ(std::hash<Hypothesis>{}(changed), std::hash<Hypothesis>{}(hypotheses[0]));
    changed.ambiguous = !changed.ambiguous;
    EXPECT_NE(changed, hypotheses[0]);
}

}  // namespace
}  // namespace corvel::analysis
