#include "analysis/section_refinement.hpp"

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/music_analyzer.hpp"

namespace corvel::analysis {
namespace {

using A = ORVAudioMusicAnalyzer;
using Sections = std::vector<ORVDetectedTempoSection>;
using Observations = std::vector<ORVLocalTempoObservation>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A frame of exactly 1/64 s keeps the hand-computed times exact.
constexpr double kFs = 1.0 / 64.0;
const ORVTempoTrackingTuning& tuning() { return ORVTempoTrackingTuning::shared(); }

struct Beats {
    double first, end, bpm;
};

// Zeros with an onset of `height` on each beat first, first + 60 / bpm, ... before end.
std::vector<double> clickEnvelope(double seconds, double fs, const std::vector<Beats>& parts, double height = 1.0) {
    std::vector<double> envelope(static_cast<std::size_t>(std::llround(seconds / fs)), 0.0);
    for (const auto& part : parts) {
        for (int k = 0;; ++k) {
            const double t = part.first + k * 60.0 / part.bpm;
            if (t >= part.end) break;
            const auto frame = static_cast<std::size_t>(std::llround(t / fs));
            if (frame < envelope.size()) envelope[frame] = height;
        }
    }
    return envelope;
}

ORVLocalTempoObservation obs(double center, double bpm) { return {center, bpm, 0.8, bpm, 1.0, false}; }

// One observation every 1.5 s from 0.75 s, at `bpm` before `change` and `after` from it on.
Observations windows(double seconds, double change, double bpm, double after) {
    Observations out;
    for (double t = 0.75; t < seconds; t += 1.5) out.push_back(obs(t, t < change ? bpm : after));
    return out;
}

TEST(SectionRefinement, AccentEnvelopeFavoursSharpPeaksOverTheirSurroundings) {
    // 1/32 s frames: +-3 frames of context (round(2.56)).
    std::vector<double> e(21, 0.0);
    e[1] = 1.0;   // 0.35 + 1 - 0.35 x 1/5 (the window is cut at the start) = 1.28
    e[5] = 1.0;   // 0.35 + 1 - 0.35 x 1/7 = 1.3
    e[10] = 0.2;  // 0.07 + 0.2 - 0.01 = 0.26
    e[15] = 0.5;  // 0.175 + 0.5 - 0.025 = 0.65
    const auto accent = A::accentEnvelope(e, 1.0 / 32.0);
    ASSERT_EQ(accent.size(), e.size());
    // Scaled by the 95th percentile (1.28, the 20th of the 21 sorted values) and capped at 1.
    EXPECT_EQ(accent[1], 1.0);
    EXPECT_EQ(accent[5], 1.0);
    EXPECT_NEAR(accent[10], 0.26 / 1.28, 1e-12);
    EXPECT_NEAR(accent[15], 0.65 / 1.28, 1e-12);
    for (const std::size_t quiet : {0, 2, 4, 6, 9, 11, 20}) EXPECT_EQ(accent[quiet], 0.0) << quiet;

    EXPECT_TRUE(A::accentEnvelope({}, kFs).empty());
    EXPECT_EQ(A::accentEnvelope(std::vector<double>(50, 0.0), kFs), std::vector<double>(50, 0.0));
    // A steady level is no accent, yet it is kept: 0.35 + 0.65 of itself, scaled to 1.
    for (const double value : A::accentEnvelope(std::vector<double>(50, 0.4), kFs)) EXPECT_NEAR(value, 1.0, 1e-12);
}

TEST(SectionRefinement, SortedPercentileTakesTheRoundedIndex) {
    const std::vector<double> ten{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(A::sortedPercentile({}, 0.5), kInf);
    EXPECT_EQ(A::sortedPercentile(ten, 0.5), 5.0);   // round(4.5) = 5
    EXPECT_EQ(A::sortedPercentile(ten, 0.95), 9.0);  // round(8.55) = 9
    EXPECT_EQ(A::sortedPercentile(ten, 0.0), 0.0);
    EXPECT_EQ(A::sortedPercentile(ten, 3.0), 9.0);
    EXPECT_EQ(A::sortedPercentile(ten, -1.0), 0.0);
}

TEST(SectionRefinement, BeatPhaseFitTakesTheEarliestOffsetWhoseWindowReachesTheOnsets) {
    // 120 BPM at 1/64 s frames: a beat is 32 frames, the window +-3 frames (round(2.72)).
    std::vector<double> envelope(640, 0.0);
    for (std::size_t i = 10; i < envelope.size(); i += 32) envelope[i] = 1.0;
    auto fit = A::fitBeatPhase(envelope, kFs, 120, 0.0, 10.0);
    ASSERT_TRUE(fit);
    EXPECT_EQ(fit->bpm, 120.0);
    EXPECT_EQ(fit->phaseSeconds, 7 * kFs);
    // The offsets count from the span's first frame.
    fit = A::fitBeatPhase(envelope, kFs, 120, 2.0, 10.0);
    ASSERT_TRUE(fit);
    EXPECT_EQ(fit->phaseSeconds, (128 + 7) * kFs);
    EXPECT_TRUE(A::fitBeatPhase(envelope, kFs, 120, 0.0, 8 * kFs));

    struct Refused {
        double fs, bpm, start, end;
        const char* why;
    };
    for (const Refused& r : {Refused{kFs, 120, 0.0, 7 * kFs, "span of 7 frames"},
                             Refused{kFs, 120, 20.0, 30.0, "span past the envelope"},
                             Refused{kFs, 1921, 0.0, 10.0, "beat under 2 frames"}, Refused{kFs, 0, 0.0, 10.0, "no tempo"},
                             Refused{kFs, kNaN, 0.0, 10.0, "no tempo"}, Refused{0.0, 120, 0.0, 10.0, "no frame length"},
                             Refused{kFs, 120, 5.0, 5.0, "empty span"}, Refused{kFs, 120, kNaN, 5.0, "no start"}}) {
        EXPECT_FALSE(A::fitBeatPhase(envelope, r.fs, r.bpm, r.start, r.end)) << r.why;
    }
    EXPECT_FALSE(A::fitBeatPhase({}, kFs, 120, 0.0, 10.0));
}

TEST(SectionRefinement, GridEvaluationWeighsHitsStrengthAndTiming) {
    // Onsets every 0.5 s from 0; a 120-BPM grid has 4 or 5 beats in 1 ... 3 s. The tolerance
    // is 0.05 s, +-3 frames.
    const auto onsets = [](double height) {
        std::vector<double> envelope(640, 0.0);
        for (std::size_t i = 0; i < envelope.size(); i += 32) envelope[i] = height;
        return envelope;
    };
    struct Case {
        double height, phase, score, hitRatio, medianError;
        std::int64_t beats;
        const char* what;
    };
    for (const Case& c : {Case{1.0, 0.0, 1.0, 1.0, 0.0, 5, "on the onsets"},
                          Case{1.0, 2 * kFs, 0.85 + 0.15 * (1 - 0.03125 / 0.05), 1.0, 0.03125, 4, "two frames late"},
                          Case{0.5, 0.0, 0.27 + 0.29 + 0.15, 1.0, 0.0, 5, "half-height onsets"},
                          // Nothing within reach: each beat's own frame counts, with no error.
                          Case{1.0, 0.25, 0.15, 0.0, 0.0, 4, "between the onsets"}}) {
        const auto e = A::evaluateBeatGrid(onsets(c.height), {120, c.phase}, kFs, 1.0, 3.0, 0.1);
        EXPECT_NEAR(e.score, c.score, 1e-12) << c.what;
        EXPECT_EQ(e.hitRatio, c.hitRatio) << c.what;
        EXPECT_EQ(e.medianErrorSeconds, c.medianError) << c.what;
        EXPECT_EQ(e.percentile95ErrorSeconds, c.medianError) << c.what;
        EXPECT_EQ(e.beatCount, c.beats) << c.what;
        EXPECT_EQ(e.hitCount, c.hitRatio > 0 ? c.beats : 0) << c.what;
    }
    for (const auto& empty : {A::evaluateBeatGrid(onsets(1), {120, 0}, kFs, 1.1, 1.2, 0.1),  // no beat inside
                              A::evaluateBeatGrid(onsets(1), {0, 0}, kFs, 1.0, 3.0, 0.1),
                              A::evaluateBeatGrid(onsets(1), {120, 0}, kFs, 3.0, 1.0, 0.1),
                              A::evaluateBeatGrid({}, {120, 0}, kFs, 1.0, 3.0, 0.1)}) {
        EXPECT_EQ(empty.score, 0.0);
        EXPECT_EQ(empty.medianErrorSeconds, kInf);
        EXPECT_EQ(empty.percentile95ErrorSeconds, kInf);
        EXPECT_EQ(empty.beatCount, 0);
    }
}

TEST(SectionRefinement, LastFamilyObservationStopsAtTheAnchorOrElseAtTheBoundary) {
    const Observations previous{obs(1, 100), obs(4, 100), obs(7, 100), obs(10, 100)};
    EXPECT_EQ(A::lastFamilyObservation(obs(8, 130), previous, 2.0)->centerSeconds, 7.0);
    EXPECT_EQ(A::lastFamilyObservation(obs(7, 130), previous, 2.0)->centerSeconds, 7.0);
    EXPECT_EQ(A::lastFamilyObservation(std::nullopt, previous, 4.0)->centerSeconds, 4.0);
    EXPECT_FALSE(A::lastFamilyObservation(std::nullopt, previous, 0.5));
    EXPECT_FALSE(A::lastFamilyObservation(obs(0.5, 130), previous, 9.0));
    EXPECT_FALSE(A::lastFamilyObservation(std::nullopt, {}, 9.0));
}

TEST(SectionRefinement, ABoundaryMovesOntoTheFirstBeatOfTheNewTempo) {
    // 100 BPM up to 19.5 s, 130 BPM from 19.95 s, off the old grid (whose next beat would be
    // at 20.1 s); detection put the boundary at 19.0 s.
    const double fs = 0.01;
    const auto envelope = clickEnvelope(40, fs, {{0.3, 20.0, 100}, {19.95, 40, 130}});
    const Sections detected{{0, 19.0, 100, 0.8, 13}, {19.0, 40, 130, 0.7, 13}};
    const auto observations = windows(40, 19.5, 100, 130);
    const auto refined = A::refineSections(detected, observations, envelope, std::nullopt, tuning(), fs, 40);
    ASSERT_EQ(refined.size(), 2u);
    EXPECT_NEAR(refined[0].endSeconds, 19.95, 1e-9);
    EXPECT_EQ(refined[1].startSeconds, refined[0].endSeconds);
    // Everything else stays.
    EXPECT_EQ(refined[0].startSeconds, 0.0);
    EXPECT_EQ(refined[1].endSeconds, 40.0);
    EXPECT_EQ(refined[0].bpm, 100.0);
    EXPECT_EQ(refined[1].bpm, 130.0);
    EXPECT_EQ(refined[0].confidence, 0.8);
    EXPECT_EQ(refined[1].observationCount, 13);
    // From either side of the change.
    for (const double boundary : {17.5, 20.5, 21.5}) {
        const Sections off{{0, boundary, 100, 0.8, 13}, {boundary, 40, 130, 0.7, 13}};
        EXPECT_NEAR(A::refineSections(off, observations, envelope, std::nullopt, tuning(), fs, 40)[0].endSeconds,
                    19.95, 1e-9)
            << boundary;
    }

    // An accent envelope is scored in place of the envelope when it has the same length.
    const std::vector<double> shortAccent(100, 0.0);
    EXPECT_NEAR(A::refineSections(detected, observations, envelope, shortAccent, tuning(), fs, 40)[0].endSeconds, 19.95,
                1e-9);
    const auto later = clickEnvelope(40, fs, {{0.3, 21.0, 100}, {21.15, 40, 130}});
    EXPECT_NEAR(A::refineSections(detected, observations, envelope, later, tuning(), fs, 40)[0].endSeconds, 21.15,
                1e-9);
}

TEST(SectionRefinement, BoundariesThatCannotOrNeedNotMoveStay) {
    const double fs = 0.01;
    const auto envelope = clickEnvelope(40, fs, {{0.3, 20.0, 100}, {19.95, 40, 130}});
    const Sections pair{{0, 19.0, 100, 0.8, 13}, {19.0, 40, 130, 0.7, 13}};
    const auto observations = windows(40, 19.5, 100, 130);
    const auto boundaryOf = [&](const Sections& sections, std::span<const double> e, double frameSeconds,
                                double duration = 40) {
        return A::refineSections(sections, observations, e, std::nullopt, tuning(), frameSeconds, duration)[0]
            .endSeconds;
    };
    EXPECT_EQ(boundaryOf({{0, 19.0, 120.0, 0.8, 13}, {19.0, 40, 120.4, 0.7, 13}}, envelope, fs), 19.0);
    EXPECT_EQ(boundaryOf({{0, 19.0, 0, 0.8, 13}, {19.0, 40, 130, 0.7, 13}}, envelope, fs), 19.0);
    EXPECT_EQ(boundaryOf(pair, std::vector<double>(envelope.begin(), envelope.begin() + 63), fs), 19.0);
    EXPECT_EQ(boundaryOf(pair, envelope, 0.0), 19.0);
    EXPECT_EQ(boundaryOf(pair, envelope, kNaN), 19.0);
    EXPECT_EQ(A::refineSections(Sections{pair[0]}, observations, envelope, std::nullopt, tuning(), fs, 40).size(), 1u);

    // The envelope ends at 20 s of 40: the new tempo's reference span lies beyond it, its phase
    // can't be fitted and the boundary keeps its time ...
    const std::vector<double> cut(envelope.begin(), envelope.begin() + 2000);
    const Sections late{{0, 25.0, 100, 0.8, 13}, {25.0, 40, 130, 0.7, 13}};
    EXPECT_EQ(A::refineSections(late, {}, cut, std::nullopt, tuning(), fs, 40)[0].endSeconds, 25.0);
    // ... held 0.25 s inside both sections all the same.
    const Sections nearEnd{{0, 39.9, 100, 0.8, 13}, {39.9, 40, 130, 0.7, 1}};
    EXPECT_NEAR(A::refineSections(nearEnd, {}, cut, std::nullopt, tuning(), fs, 40)[0].endSeconds, 39.75, 1e-12);
    // Two sections of 0.4 s together: 0.25 s before the end of the next one.
    const Sections tiny{{10.0, 10.2, 100, 0.8, 1}, {10.2, 10.4, 130, 0.7, 1}};
    const auto squeezed = A::refineSections(tiny, {}, cut, std::nullopt, tuning(), fs, 40);
    EXPECT_NEAR(squeezed[0].endSeconds, 10.15, 1e-12);
    EXPECT_EQ(squeezed[1].startSeconds, squeezed[0].endSeconds);
}

TEST(SectionRefinement, LongSectionsAdoptAConfidentRefinedTempo) {
    const double fs = 0.01;
    const auto envelope = clickEnvelope(80, fs, {{0.2, 80, 121.37}});
    const Sections sections{
        {0, 30, 121.0, 0.3, 20},   // 26 s between its margins of 4 beats: refined
        {30, 47, 121.0, 0.3, 11},  // 13 s between them: too short
        {47, 80, 125.0, 0.3, 22},  // more than 0.72 BPM from what the onsets say
        {80, 90, 0.0, 0.3, 1},     // no tempo
    };
    const auto refined = A::refineSectionTempos(sections, envelope, fs, 4.0);
    ASSERT_EQ(refined.size(), sections.size());
    EXPECT_EQ(refined[0].bpm, 121.35);
    EXPECT_GE(refined[0].confidence, 0.62);
    EXPECT_LE(refined[0].confidence, 1.0);
    for (std::size_t i = 1; i < sections.size(); ++i) {
        EXPECT_EQ(refined[i].bpm, sections[i].bpm) << i;
        EXPECT_EQ(refined[i].confidence, sections[i].confidence) << i;
    }
    for (std::size_t i = 0; i < sections.size(); ++i) {
        EXPECT_EQ(refined[i].startSeconds, sections[i].startSeconds) << i;
        EXPECT_EQ(refined[i].endSeconds, sections[i].endSeconds) << i;
    }
    // A higher confidence than the refiner's is kept.
    Sections sure = sections;
    sure[0].confidence = 1.0;
    EXPECT_EQ(A::refineSectionTempos(sure, envelope, fs, 4.0)[0].confidence, 1.0);

    EXPECT_EQ(A::refineSectionTempos(sections, {}, fs, 4.0)[0].bpm, 121.0);
    EXPECT_EQ(A::refineSectionTempos(sections, envelope, 0.0, 4.0)[0].bpm, 121.0);
    EXPECT_TRUE(A::refineSectionTempos({}, envelope, fs, 4.0).empty());
}

// A steady section whose last windows reach into the ritardando after it reads a tempo up to
// about a percent slow; its beats still say where it is, and the section takes that tempo
// when the windows' reading lies within 1 % of it (0.72 BPM at the least).
TEST(SectionRefinement, LongSectionsFindTheirBeatsAroundAPercentOff) {
    const double fs = 0.01;
    // 144 BPM for 46 s, then a ritardando falling straight to 100 BPM at 60 s.
    std::vector<double> envelope(static_cast<std::size_t>(62 / fs), 0.0);
    for (double t = 0.2; t < 60;) {
        envelope[static_cast<std::size_t>(std::llround(t / fs))] = 1.0;
        const double bpm = t < 46 ? 144.0 : 144.0 - 44.0 * (t - 46) / 14;
        t += 60.0 / bpm;
    }
    struct Case {
        double end, readBPM, expected;
    };
    const Case cases[] = {
        {50, 142.85, 144.0},  // 0.8 % slow, a ritardando at its end: found
        {46, 143.40, 144.0},  // steady throughout, 0.4 % slow: found, as before
        {46, 145.30, 144.0},  // 0.9 % fast: found
        {50, 141.50, 141.50}, // 1.7 % slow: another tempo, kept
    };
    for (const Case& c : cases) {
        const Sections sections{{0, c.end, c.readBPM, 0.3, 25}, {c.end, 62, 110, 0.3, 6}};
        const auto refined = A::refineSectionTempos(sections, envelope, fs, 4.0);
        ASSERT_EQ(refined.size(), 2u);
        EXPECT_NEAR(refined[0].bpm, c.expected, 0.06) << c.end << " " << c.readBPM;
        EXPECT_EQ(refined[0].endSeconds, c.end);
    }
}

}  // namespace
}  // namespace corvel::analysis

namespace corvel::analysis {
namespace {

// Sections of `length` seconds over 0 ... seconds, each at the tempo of its observations' median.
Sections staircase(const Observations& observations, double seconds, double length) {
    Sections out;
    for (double start = 0; start < seconds - 1e-9; start += length) {
        Observations inside;
        for (const auto& o : observations) {
            if (o.centerSeconds >= start && o.centerSeconds < start + length) inside.push_back(o);
        }
        auto section = A::makeSection(inside, start, std::fmin(start + length, seconds));
        out.push_back(section);
    }
    return out;
}

TEST(SectionRefinement, AStaircaseAlongARampBecomesOneRamp) {
    // 100 to 124 BPM over 40 s, heard window by window, cut into 8-second steps by detection.
    Observations rising;
    for (double t = 0.75; t < 40; t += 1.5) rising.push_back(obs(t, 100 + 24 * t / 40));
    const auto ramped = A::rampSections(staircase(rising, 40, 8), rising);
    // It has no section to flow into, so it ends on a short steady stretch.
    ASSERT_EQ(ramped.size(), 2u);
    EXPECT_TRUE(ramped[0].linearToNext);
    EXPECT_EQ(ramped[0].startSeconds, 0.0);
    EXPECT_NEAR(ramped[0].bpm, 100, 0.1);
    EXPECT_FALSE(ramped[1].linearToNext);
    EXPECT_EQ(ramped[1].endSeconds, 40.0);
    EXPECT_GE(ramped[1].endSeconds - ramped[1].startSeconds, 3.0);
    EXPECT_NEAR(ramped[1].bpm, 100 + 24 * (ramped[1].startSeconds + 40) / 80, 0.1);
    EXPECT_EQ(ramped[0].observationCount, 27);

    // Followed by a steady stretch at the tempo it reaches, the ramp flows into it.
    Observations thenSteady = rising;
    for (double t = 40.75; t < 60; t += 1.5) thenSteady.push_back(obs(t, 124));
    auto steps = staircase(rising, 40, 8);
    steps.push_back(A::makeSection(Observations(thenSteady.begin() + 27, thenSteady.end()), 40, 60));
    const auto joined = A::rampSections(steps, thenSteady);
    ASSERT_EQ(joined.size(), 2u);
    EXPECT_TRUE(joined[0].linearToNext);
    EXPECT_EQ(joined[1].startSeconds, 40.0);
    EXPECT_EQ(joined[1].bpm, 124.0);
}

TEST(SectionRefinement, SectionsHeardAtAnotherOctaveOrTooShortToStandJoinTheLine) {
    // 96 BPM, then the tracker hears 194 for a while, then 97: one octave for the whole line.
    const Sections flipped{{0, 20, 96, 0.8, 13}, {20, 40, 194, 0.8, 13}, {40, 60, 97, 0.8, 13}};
    const auto continuous = A::continuousSections(flipped);
    ASSERT_EQ(continuous.size(), 1u);  // 96, 97 and 97 then match
    EXPECT_EQ(continuous[0].endSeconds, 60.0);
    EXPECT_NEAR(continuous[0].bpm, 96.65, 0.05);
    // A real change of a different kind (three to two) stays.
    EXPECT_EQ(A::continuousSections(Sections{{0, 20, 100, 0.8, 13}, {20, 40, 150, 0.8, 13}}).size(), 2u);

    // A section of 2 s, or of two observations, joins the neighbour nearer its tempo.
    const Sections blip{{0, 20, 100, 0.8, 13}, {20, 22, 122, 0.8, 2}, {22, 40, 130, 0.8, 12}};
    const auto joined = A::continuousSections(blip);
    ASSERT_EQ(joined.size(), 2u);
    EXPECT_EQ(joined[1].startSeconds, 20.0);
    EXPECT_EQ(joined[1].bpm, 130.0);
    EXPECT_EQ(joined[1].observationCount, 14);
}

TEST(SectionRefinement, ARampThatLeavesASteadySectionStartsWhereItLeaves) {
    // Steady 100 BPM, a ramp from 20 s to 120 BPM at 40 s, steady again; detection kept the
    // steady section running over the whole ramp.
    Observations heard;
    for (double t = 0.75; t < 60; t += 1.5) heard.push_back(obs(t, t < 20 ? 100 : t < 40 ? 100 + (t - 20) : 120));
    const auto ramped = A::rampSections(Sections{{0, 40, 100, 0.8, 27}, {40, 60, 120, 0.8, 13}}, heard);
    ASSERT_EQ(ramped.size(), 3u);
    EXPECT_FALSE(ramped[0].linearToNext);
    // It shows once its windows leave the steady tempo's tolerance (2.25 BPM), a little later.
    EXPECT_GE(ramped[1].startSeconds, 20.0);
    EXPECT_LE(ramped[1].startSeconds, 23.0);
    EXPECT_TRUE(ramped[1].linearToNext);
    EXPECT_NEAR(ramped[1].bpm, 100 + (ramped[1].startSeconds - 20), 1.5);
    EXPECT_EQ(ramped[2].bpm, 120.0);
}

// The windows hop about 1.49 s: four of them span a little under 4.5 s. A ramp that keeps
// leaving the steady tempo shows on those four; windows that only sit a little off it, on
// one side, over the same span, are no ramp.
TEST(SectionRefinement, FourWindowsThatKeepLeavingASteadyTempoStartARamp) {
    struct Case {
        const char* what;
        double (*bpmAt)(double);
        bool ramps;
    };
    for (const Case& c : {
             // Steady 134 BPM, a ritardando from 18 s to 98 BPM at 38 s, steady after.
             Case{"ritardando", [](double t) { return t < 18 ? 134.0 : t < 38 ? 134.0 - 1.8 * (t - 18) : 98.0; }, true},
             // Steady 134 BPM, read 2.5 % fast from 20 s to 26 s, then 112 and 98 BPM.
             Case{"plateau", [](double t) { return t < 20 ? 134.0 : t < 26 ? 137.4 : t < 36 ? 112.0 : 98.0; }, false},
         }) {
        Observations heard;
        for (double t = 0.75; t < 50; t += 1.494) heard.push_back(obs(t, c.bpmAt(t)));
        const auto ramped = A::rampSections(
            Sections{{0, 26, 134, 0.8, 17}, {26, 35.7, 111.5, 0.8, 6}, {35.7, 50, 97.85, 0.8, 10}}, heard);
        ASSERT_GE(ramped.size(), 2u) << c.what;
        EXPECT_EQ(ramped[0].bpm, 134.0) << c.what;
        EXPECT_FALSE(ramped[0].linearToNext) << c.what;
        if (c.ramps) {
            EXPECT_LE(ramped[0].endSeconds, 21.5) << c.what;
            EXPECT_TRUE(ramped[1].linearToNext) << c.what;
        } else {
            EXPECT_EQ(ramped[0].endSeconds, 26.0) << c.what;
        }
    }
}

// Onsets on the beats of a tempo that moves as bpmAt(t) tells, from `first` to `seconds`.
std::vector<double> movingClickEnvelope(double seconds, double first, const std::function<double(double)>& bpmAt) {
    std::vector<double> envelope(static_cast<std::size_t>(std::llround(seconds / kFs)), 0.0);
    double beats = 0;
    constexpr double dt = 1e-4;
    for (double t = first; t < seconds; t += dt) {
        const double next = beats + bpmAt(t + dt / 2) / 60 * dt;
        if (std::floor(next) > std::floor(beats) || t == first) {
            const auto frame = static_cast<std::size_t>(std::llround(t / kFs));
            if (frame < envelope.size()) envelope[frame] = 1.0;
        }
        beats = next;
    }
    return envelope;
}

TEST(SectionRefinement, ARampIsFittedToTheBeatsItsOnsetsShow) {
    struct Case {
        const char* what;
        std::function<double(double)> bpmAt;
        ORVRampPlacement detected;
        double start, end, startBPM;
    };
    // Steady until 10 s, a ramp to 20 s, steady after; the map counts from the beat at 0.5 s.
    const auto line = [](double from, double to) {
        return [from, to](double t) { return t < 10 ? from : t < 20 ? from + (to - from) * (t - 10) / 10 : to; };
    };
    // A ramp even in beats rather than in time, as players speed up.
    const auto evenInBeats = [](double t) {
        return t < 10 ? 80.0 : t < 20 ? 80.0 * std::pow(1.55, (t - 10) / 10) : 124.0;
    };
    for (const Case& c : {
             // Detection saw the ramp late and short, and misjudged where it starts from.
             Case{"accelerando", line(90, 120), {0.5, 90, 12, 17, 96, 120}, 10, 20, 90},
             Case{"ritardando", line(132, 96), {0.5, 132, 8.5, 18, 128, 96}, 10, 20, 132},
             Case{"curved", evenInBeats, {0.5, 80, 11, 19, 84, 124}, 10, 20, 80},
             // The steady tempo before was measured a little fast: its beats drift off by the ramp.
             Case{"drifting before", line(80, 124), {0.5, 80.6, 12, 18, 82, 124}, 10, 20, 80},
         }) {
        const auto envelope = movingClickEnvelope(40, 0.5, c.bpmAt);
        const auto fitted = A::fitRampToOnsets(envelope, kFs, c.detected, 1.0, 20.0, 39.0);
        ASSERT_TRUE(fitted.has_value()) << c.what;
        EXPECT_NEAR(fitted->startSeconds, c.start, 0.6) << c.what;
        EXPECT_NEAR(fitted->endSeconds, c.end, 0.6) << c.what;
        EXPECT_NEAR(fitted->startBPM, c.startBPM, 0.03 * c.startBPM) << c.what;
        EXPECT_NEAR(fitted->beforeBPM, c.bpmAt(0), 0.1) << c.what;
        EXPECT_EQ(fitted->endBPM, c.detected.endBPM) << c.what;
        // Every beat of the fitted map lands on an onset, up to the end.
        const auto& f = *fitted;
        const auto tempo = [&f](double t) {
            if (t < f.startSeconds) return f.beforeBPM;
            if (t >= f.endSeconds) return f.endBPM;
            return f.startBPM + (f.endBPM - f.startBPM) * (t - f.startSeconds) / (f.endSeconds - f.startSeconds);
        };
        double beats = 0;
        double worst = 0;
        for (double t = f.anchorBeat; t < 39; t += 1e-4) {
            const double next = beats + tempo(t + 5e-5) / 60 * 1e-4;
            if (std::floor(next) > std::floor(beats)) {
                double nearest = 1e9;
                for (std::size_t k = 0; k < envelope.size(); ++k) {
                    if (envelope[k] > 0) nearest = std::min(nearest, std::abs(double(k) * kFs - t));
                }
                worst = std::max(worst, nearest);
            }
            beats = next;
        }
        EXPECT_LT(worst, 0.05) << c.what;
    }
    // A map that already meets every beat stays as it is.
    const auto envelope = movingClickEnvelope(40, 0.5, line(90, 120));
    EXPECT_FALSE(A::fitRampToOnsets(envelope, kFs, {0.5, 90, 10, 20, 90, 120}, 1.0, 20.0, 39.0).has_value());
}

// Steps along a slowing at the end of a song: the window tempi hold for a while and jump, and
// a line through them misses the beats; the beats themselves show one ramp.
TEST(SectionRefinement, ASongThatSlowsToItsEndIsOneRampFittedToItsBeats) {
    struct Case {
        const char* what;
        std::function<double(double)> bpmAt;
        double musicEnd;
        Sections steps;
        bool ramps;
        double start, end, endBPM;
    };
    // Steady 72 BPM, slowing in a straight line from 30 s to 50 BPM at 45 s.
    const auto slowing = [](double t) { return t < 30 ? 72.0 : t < 45 ? 72.0 - 22.0 * (t - 30) / 15 : 50.0; };
    // Steady 134 BPM, slowing from 18 s to 98 BPM at 38 s, held after.
    const auto intoHeld = [](double t) { return t < 18 ? 134.0 : t < 38 ? 134.0 - 1.8 * (t - 18) : 98.0; };
    const auto step = [](double t) { return t < 24 ? 120.0 : 90.0; };
    for (const Case& c : {
             Case{"final ritardando", slowing, 46.2, {{0, 31, 72, 0.9, 20}, {31, 38, 65, 0.9, 4}, {38, 48, 57, 0.9, 4}},
                  true, 30, 45, 50},
             // Steps that lag far behind the slowing.
             Case{"final ritardando, steps far behind", slowing, 46.2,
                  {{0, 31, 72, 0.9, 20}, {31, 40, 68, 0.9, 6}, {40, 48, 64, 0.9, 5}}, true, 30, 45, 50},
             Case{"ritardando into a held tempo", intoHeld, 48, {{0, 20, 134, 0.9, 13}, {20, 26, 125.5, 0.9, 4},
                  {26, 34.5, 111.5, 0.9, 5}, {34.5, 48, 98, 0.9, 9}}, true, 18, 38, 98},
             // A step down held to the end stays a step, its map already on the beats.
             Case{"step", step, 48, {{0, 24, 120, 0.9, 16}, {24, 48, 90, 0.9, 16}}, false, 0, 0, 0},
         }) {
        // Every beat sounds, and a softer note halfway between the beats.
        auto envelope = movingClickEnvelope(48, 0.5, c.bpmAt);
        std::vector<std::size_t> onBeat;
        for (std::size_t k = 0; k < envelope.size(); ++k) {
            if (envelope[k] > 0 && double(k) * kFs < c.musicEnd) onBeat.push_back(k);
            if (double(k) * kFs >= c.musicEnd) envelope[k] = 0;
        }
        for (std::size_t i = 0; i + 1 < onBeat.size(); ++i) envelope[(onBeat[i] + onBeat[i + 1]) / 2] = 0.6;
        const auto fitted = A::fitSlowingEnd(envelope, kFs, c.steps, 0.5, c.steps[0].endSeconds - 6,
                                             c.steps[1].endSeconds, 48);
        ASSERT_EQ(fitted.has_value(), c.ramps) << c.what;
        if (!c.ramps) continue;
        EXPECT_NEAR(fitted->startSeconds, c.start, 0.6) << c.what;
        EXPECT_NEAR(fitted->endSeconds, c.end, 0.6) << c.what;
        EXPECT_EQ(fitted->startBPM, c.steps[0].bpm) << c.what;
        EXPECT_EQ(fitted->beforeBPM, c.steps[0].bpm) << c.what;
        EXPECT_NEAR(fitted->endBPM, c.endBPM, 0.02 * c.endBPM) << c.what;
    }
}

TEST(SectionRefinement, AStepStartsOnTheOnsetWhereTheBeatLengthChanges) {
    struct Case {
        const char* what;
        double oldBPM, newBPM, firstNewBeat, detected;
    };
    for (const Case& c : {
             // Close tempi: the two grids nearly meet a beat either side of the step.
             Case{"small step, detected a beat early", 122, 128, 31.5, 31.0},
             Case{"small step, detected late", 122, 128, 31.5, 32.3},
             Case{"large step down, detected early", 120, 90, 20.25, 19.6},
         }) {
        const double oldPeriod = 60.0 / c.oldBPM;
        const double first = c.firstNewBeat - oldPeriod * std::floor(c.firstNewBeat / oldPeriod - 0.5);
        const auto envelope =
            clickEnvelope(60, kFs, {{first, c.firstNewBeat - 1e-6, c.oldBPM}, {c.firstNewBeat, 60, c.newBPM}});
        const auto found = A::firstBeatOfStep(envelope, kFs, c.oldBPM, c.newBPM, c.detected, 0, 60);
        ASSERT_TRUE(found.has_value()) << c.what;
        EXPECT_NEAR(*found, c.firstNewBeat, kFs) << c.what;
        // Sections too short to hold the beats it is judged on show nothing.
        EXPECT_FALSE(A::firstBeatOfStep(envelope, kFs, c.oldBPM, c.newBPM, c.detected, c.firstNewBeat - 2, 60))
            << c.what;
    }
    // No step at all: every onset is met as well by the one tempo continued.
    const auto steady = clickEnvelope(60, kFs, {{0.5, 60, 122}});
    EXPECT_FALSE(A::firstBeatOfStep(steady, kFs, 122, 128, 31.0, 0, 60).has_value());
}

TEST(SectionRefinement, StepsBetweenSteadyTempiStaySteps) {
    struct Case {
        const char* what;
        Observations observations;
        Sections sections;
    };
    const auto steady = [](double bpm, double after) { return windows(40, 20, bpm, after); };
    Observations thereAndBack;
    for (double t = 0.75; t < 40; t += 1.5) thereAndBack.push_back(obs(t, t >= 14 && t < 27 ? 124 : 120));
    for (const Case& c : {
             Case{"a small step", steady(120, 124), {{0, 20, 120, 0.8, 13}, {20, 40, 124, 0.8, 13}}},
             Case{"a large step", steady(100, 132), {{0, 20, 100, 0.8, 13}, {20, 40, 132, 0.8, 13}}},
             Case{"there and back", thereAndBack,
                  {{0, 14, 120, 0.8, 9}, {14, 27, 124, 0.8, 9}, {27, 40, 120, 0.8, 8}}},
         }) {
        const auto result = A::rampSections(c.sections, c.observations);
        ASSERT_EQ(result.size(), c.sections.size()) << c.what;
        for (std::size_t i = 0; i < result.size(); ++i) {
            EXPECT_FALSE(result[i].linearToNext) << c.what;
            EXPECT_EQ(result[i].bpm, c.sections[i].bpm) << c.what;
            EXPECT_EQ(result[i].startSeconds, c.sections[i].startSeconds) << c.what;
        }
    }
}

}  // namespace
}  // namespace corvel::analysis
