#include "core/tempo_points.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace corvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

BeatloomTempoPoint tp(double time, double bpm, bool ramp = false, double confidence = 0.5) {
    BeatloomTempoPoint point;
    point.id = Uuid::random();
    point.timeSeconds = time;
    point.bpm = bpm;
    point.confidence = confidence;
    point.linearToNext = ramp;
    return point;
}

BeatloomTempoPoint withId(BeatloomTempoPoint point, const char* text) {
    point.id = *Uuid::parse(text);
    return point;
}

std::vector<double> timesOf(const TempoPoints& points) {
    std::vector<double> times;
    for (const auto& point : points) times.push_back(point.timeSeconds);
    return times;
}

void expectTimes(const TempoPoints& points, const std::vector<double>& expected) {
    const std::vector<double> times = timesOf(points);
    ASSERT_EQ(times.size(), expected.size());
    for (std::size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], expected[i], 1e-12) << "index " << i;
}

// ---------------------------------------------------------------- normalisation and order

TEST(NormalizedTempoPoints, CloseRunKeepsLastSurvivorAtItsOwnTime) {
    const auto a = tp(0.0, 100);
    const auto b = tp(0.0003, 110);
    auto map = normalizedTempoPoints({a, b});
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].id, b.id);
    EXPECT_EQ(map[0].timeSeconds, 0.0);

    // Each point is less than 0.0005 s after the previous survivor, so only the last survives.
    const auto c = tp(1.0, 100), d = tp(1.0003, 110), e = tp(1.0006, 120);
    map = normalizedTempoPoints({e, tp(0, 90), d, c});
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[1].id, e.id);
    EXPECT_EQ(map[1].timeSeconds, 1.0006);
}

TEST(NormalizedTempoPoints, SinglePointMovesToZeroAndLosesRamp) {
    const auto map = normalizedTempoPoints({tp(3, 120, true)});
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].timeSeconds, 0.0);
    EXPECT_FALSE(map[0].linearToNext);
    EXPECT_TRUE(normalizedTempoPoints({}).empty());
}

TEST(NormalizedTempoPoints, TiedTimesSortByUpperCaseIdAndLaterReplaces) {
    const auto b = withId(tp(5.0, 100), "b0000000-0000-4000-8000-000000000000");
    const auto a = withId(tp(5.0000005, 110), "A0000000-0000-4000-8000-000000000000");
    EXPECT_TRUE(tempoPointComesBefore(a, b));
    EXPECT_FALSE(tempoPointComesBefore(b, a));

    auto map = normalizedTempoPoints({tp(0, 90), b, a});
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[1].id, b.id);
    EXPECT_EQ(map[1].timeSeconds, 5.0);

    // Alone, the first of the pair moves to 0 s before the merge walk, so both stay.
    map = normalizedTempoPoints({b, a});
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[0].id, a.id);
    EXPECT_EQ(map[0].timeSeconds, 0.0);
    EXPECT_EQ(map[1].id, b.id);
}

TEST(NormalizedTempoPoints, NaNTimeCannotDisturbTheOrderOfOthers) {
    const auto map = normalizedTempoPoints({tp(kNaN, 100), tp(2, 100), tp(1, 100), tp(0, 100)});
    ASSERT_EQ(map.size(), 4u);
    EXPECT_EQ(map[0].timeSeconds, 0.0);
    EXPECT_EQ(map[1].timeSeconds, 1.0);
    EXPECT_EQ(map[2].timeSeconds, 2.0);
    EXPECT_TRUE(std::isnan(map[3].timeSeconds));
    EXPECT_EQ(tempoMapIssues(map, 10), std::vector<std::string>{std::string(kTempoIssueOutsideAudio)});
}

// ---------------------------------------------------------------- BPM in force

TEST(BpmAt, FollowsRampsAndClampsTime) {
    const TempoPoints ramp = {tp(0, 100, true), tp(10, 200)};
    const struct {
        double time;
        double expected;
    } cases[] = {{5, 150}, {-3, 100}, {20, 200}, {kNaN, 100}, {10, 200}, {2.5, 125}};
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(bpmAt(ramp, c.time, 60), c.expected) << c.time;

    EXPECT_EQ(bpmAt({}, 5, 77), 77);
    // A point takes over within the order tie before its time.
    const TempoPoints steps = {tp(0, 100), tp(10, 200)};
    EXPECT_EQ(bpmAt(steps, 10 - 0.0000005, 60), 200);
    EXPECT_EQ(bpmAt(steps, 10 - 0.00001, 60), 100);
    // Unsorted input is normalised first.
    EXPECT_DOUBLE_EQ(bpmAt({tp(10, 200), tp(0, 100, true)}, 5, 60), 150);
}

TEST(GoverningTempoPointID, LastPointAtOrBeforeTime) {
    const auto first = tp(0, 100), second = tp(4, 120);
    const TempoPoints map = {first, second};
    EXPECT_EQ(governingTempoPointID(map, -5), first.id);
    EXPECT_EQ(governingTempoPointID(map, 3.99), first.id);
    EXPECT_EQ(governingTempoPointID(map, 4 - 0.0000005), second.id);
    EXPECT_EQ(governingTempoPointID(map, 100), second.id);
    EXPECT_FALSE(governingTempoPointID({}, 1).has_value());
}

TEST(BpmAtSorted, DoesNotClampOrNormalise) {
    const TempoPoints points = {tp(4, 200), tp(2, 100, true)};  // sorted by time internally
    EXPECT_DOUBLE_EQ(bpmAtSorted(points, 3, 60), 150);
    EXPECT_DOUBLE_EQ(bpmAtSorted(points, 0, 60), 100);  // before the first point: the first point
    EXPECT_DOUBLE_EQ(bpmAtSorted(points, 9, 60), 200);
    EXPECT_EQ(bpmAtSorted({}, 3, 60), 60);
}

// ---------------------------------------------------------------- validation

TEST(TempoMapIssues, MessagesOnceAndInFixedOrder) {
    const std::string bpm = "BPM is outside the supported Beatloom range";
    const std::string outside = "Tempo change lies outside the audio";
    const std::string tooClose = "Tempo changes are too close together";
    const std::string empty = "Tempo map is empty";
    const struct {
        TempoPoints points;
        double duration;
        std::vector<std::string> expected;
    } cases[] = {
        {{tp(0, 120), tp(0.015, 120), tp(0.03, 120)}, 10, {tooClose}},
        {{tp(0, 301), tp(5, 29)}, 10, {bpm}},
        {{}, 10, {empty}},
        {{tp(0, 29), tp(0.01, 120), tp(20, 120), tp(21, kNaN)}, 10, {bpm, outside, tooClose}},
        {{tp(0, 30), tp(0.02, 300), tp(10.0000005, 120)}, 10, {}},
        {{tp(0, 120), tp(5, std::numeric_limits<double>::infinity())}, 10, {bpm}},
    };
    for (const auto& c : cases) EXPECT_EQ(tempoMapIssues(c.points, c.duration), c.expected);
}

// ---------------------------------------------------------------- BPM edits

TEST(SettingTempoPointBPM, AcceptsOnlySupportedRange) {
    const auto first = tp(0, 100), second = tp(5, 120);
    const TempoPoints map = {first, second};
    const auto edited = settingTempoPointBPM(map, second.id, 300);
    ASSERT_TRUE(edited);
    EXPECT_EQ((*edited)[1].bpm, 300);
    EXPECT_EQ((*edited)[1].confidence, 1.0);
    EXPECT_EQ((*edited)[0], first);
    for (double bad : {300.0001, 29.999, kNaN, std::numeric_limits<double>::infinity()}) {
        EXPECT_FALSE(settingTempoPointBPM(map, second.id, bad)) << bad;
    }
    EXPECT_FALSE(settingTempoPointBPM(map, Uuid::random(), 120));
}

TEST(ScalingTempoAt, ScalesThePointInForce) {
    const auto first = tp(0, 100), second = tp(5, 160);
    const TempoPoints map = {first, second};
    auto doubled = scalingTempoAt(map, 2, 2);
    ASSERT_TRUE(doubled);
    EXPECT_EQ((*doubled)[0].bpm, 200);
    EXPECT_EQ((*doubled)[1].bpm, 160);
    auto halved = scalingTempoAt(map, 7, 0.5);
    ASSERT_TRUE(halved);
    EXPECT_EQ((*halved)[1].bpm, 80);

    EXPECT_FALSE(scalingTempoAt(map, 7, 2));  // 320 BPM
    EXPECT_FALSE(scalingTempoAt(map, 2, 0));
    EXPECT_FALSE(scalingTempoAt(map, 2, -1));
    EXPECT_FALSE(scalingTempoAt(map, 2, kNaN));
    EXPECT_FALSE(scalingTempoAt({}, 2, 2));
}

// ---------------------------------------------------------------- move, delete, ramp

TEST(MovingTempoPoint, KeepsEditMarginFromNeighboursAndAudioEnd) {
    const struct {
        std::vector<double> times;
        std::size_t moved;
        double to;
        double duration;
        double expected;
    } cases[] = {
        {{0, 4}, 1, 10, 4.01, 3.99},
        {{0, 1, 1.03}, 1, 2, 10, 1.01},
        {{0, 0.03, 0.035}, 1, 0.5, 10, 0.02},
        {{0, 0.03, 0.035}, 1, 0, 10, 0.02},
        {{0, 4}, 1, -7, 10, 0.02},
        {{0, 4}, 1, kNaN, 10, 0.02},
        {{0, 4}, 1, 2.5, 10, 2.5},
        {{0, 4}, 1, 10, 0.01, 0.02},  // no room before the audio end: the lower bound
    };
    for (const auto& c : cases) {
        TempoPoints map;
        for (double t : c.times) map.push_back(tp(t, 120));
        const auto moved = movingTempoPoint(map, map[c.moved].id, c.to, c.duration);
        ASSERT_TRUE(moved);
        const auto& point = (*moved)[c.moved];
        EXPECT_EQ(point.id, map[c.moved].id);
        EXPECT_NEAR(point.timeSeconds, c.expected, 1e-12) << c.to;
        EXPECT_EQ(point.confidence, 1.0);
    }
}

TEST(MovingTempoPoint, SongStartPointAndLonePointNeverMove) {
    const TempoPoints map = {tp(0, 100), tp(5, 120)};
    EXPECT_FALSE(movingTempoPoint(map, map[0].id, 2, 10));
    EXPECT_FALSE(movingTempoPoint({map[0]}, map[0].id, 2, 10));
    EXPECT_FALSE(movingTempoPoint(map, Uuid::random(), 2, 10));
    // An endless audio and an endless request leave no finite place to move to.
    const auto endless = movingTempoPoint(map, map[1].id, std::numeric_limits<double>::infinity(),
                                          std::numeric_limits<double>::infinity());
    EXPECT_FALSE(endless);
}

TEST(DeletingTempoPoint, RemovesAndClearsNewLastRamp) {
    const TempoPoints map = {tp(0, 100), tp(5, 120, true), tp(9, 140)};
    const auto deleted = deletingTempoPoint(map, map[2].id);
    ASSERT_TRUE(deleted);
    ASSERT_EQ(deleted->size(), 2u);
    EXPECT_FALSE((*deleted)[1].linearToNext);
    EXPECT_FALSE(deletingTempoPoint(map, map[0].id));
    EXPECT_FALSE(deletingTempoPoint({map[0]}, map[0].id));
    EXPECT_FALSE(deletingTempoPoint(map, Uuid::random()));
}

TEST(SettingTempoPointRamp, RampsOnlyTowardsANextPoint) {
    const TempoPoints map = {tp(0, 100), tp(5, 120)};
    const auto first = settingTempoPointRamp(map, map[0].id, true);
    ASSERT_TRUE(first);
    EXPECT_TRUE((*first)[0].linearToNext);
    EXPECT_EQ((*first)[0].confidence, 1.0);
    const auto last = settingTempoPointRamp(map, map[1].id, true);
    ASSERT_TRUE(last);
    EXPECT_FALSE((*last)[1].linearToNext);
    const auto off = settingTempoPointRamp(*first, map[0].id, false);
    ASSERT_TRUE(off);
    EXPECT_FALSE((*off)[0].linearToNext);
    EXPECT_FALSE(settingTempoPointRamp(map, Uuid::random(), true));
}

// ---------------------------------------------------------------- insert

TEST(InsertingTempoPoint, ClampsIntoTheAudioAndKeepsMargin) {
    const TempoPoints lone = {tp(0, 100)};
    auto inserted = insertingTempoPoint(lone, 0, 10);
    ASSERT_TRUE(inserted);
    expectTimes(*inserted, {0, 0.02});  // exactly 0.02 s away is not too close
    EXPECT_EQ((*inserted)[1].bpm, 100);
    EXPECT_EQ((*inserted)[1].confidence, 1.0);

    inserted = insertingTempoPoint(lone, kNaN, 10);
    ASSERT_TRUE(inserted);
    expectTimes(*inserted, {0, 0.02});
    inserted = insertingTempoPoint(lone, 50, 10);
    ASSERT_TRUE(inserted);
    expectTimes(*inserted, {0, 9.98});

    const TempoPoints two = {tp(0, 100), tp(5, 120)};
    const auto unchanged = insertingTempoPoint(two, 5.01, 10);
    ASSERT_TRUE(unchanged);
    EXPECT_EQ(*unchanged, two);

    EXPECT_FALSE(insertingTempoPoint(lone, 0.02, 0.04));
    EXPECT_FALSE(insertingTempoPoint(lone, 0.02, kNaN));
    EXPECT_FALSE(insertingTempoPoint({}, 1, 10));
}

TEST(InsertingTempoPoint, InsideARampSplitsItWithoutChangingTheCurve) {
    const TempoPoints ramp = {tp(0, 100, true), tp(10, 200)};
    const auto inserted = insertingTempoPoint(ramp, 5, 20);
    ASSERT_TRUE(inserted);
    ASSERT_EQ(inserted->size(), 3u);
    EXPECT_EQ((*inserted)[1].timeSeconds, 5);
    EXPECT_DOUBLE_EQ((*inserted)[1].bpm, 150);
    EXPECT_TRUE((*inserted)[0].linearToNext);
    EXPECT_TRUE((*inserted)[1].linearToNext);
    for (double t = 0; t <= 12; t += 0.25) EXPECT_NEAR(bpmAt(*inserted, t, 0), bpmAt(ramp, t, 0), 1e-9) << t;

    // After the last point there is nothing to ramp to.
    const auto after = insertingTempoPoint(ramp, 15, 20);
    ASSERT_TRUE(after);
    EXPECT_FALSE(after->back().linearToNext);
    EXPECT_EQ(after->back().bpm, 200);
}

// ---------------------------------------------------------------- analyser points

TEST(SanitizedAnalyzerTempoPoints, DropsBadPointsSortsAndMerges) {
    const auto kept = tp(2, 120, false, 0.7);
    const auto replacement = tp(4.0002, 130, true);
    const TempoPoints raw = {
        tp(kNaN, 120), tp(std::numeric_limits<double>::infinity(), 120), tp(1, 29.9), tp(1.5, kNaN),
        tp(4, 125, true), replacement, kept,
    };
    const auto clean = sanitizedAnalyzerTempoPoints(raw);
    ASSERT_EQ(clean.size(), 2u);
    EXPECT_EQ(clean[0], kept);  // not moved to 0 s
    EXPECT_EQ(clean[1].id, replacement.id);
    EXPECT_FALSE(clean[1].linearToNext);
    EXPECT_TRUE(sanitizedAnalyzerTempoPoints({tp(1, 400)}).empty());
}

// ---------------------------------------------------------------- re-analysis merge

TEST(MergingReanalyzedRange, ReplacesTheRangeBetweenSeams) {
    const TempoPoints old = {tp(0, 100), tp(5, 110), tp(9.99, 115), tp(15, 120), tp(20.03, 125), tp(25, 130)};
    const auto inner = tp(12, 142, false, 0.0);
    const auto nanConfidence = tp(15, 143, false, kNaN);
    const TempoPoints fresh = {tp(8, 140), tp(10.01, 141), inner, nanConfidence, tp(19.99, 144), tp(22, 145)};
    const auto merged = mergingReanalyzedRange(old, fresh, 10, 20, 30);
    ASSERT_TRUE(merged);
    // The old points outside 10...20 s stay, 9.99 s and 20.03 s too; the re-analysed tempo starts
    // 0.02 s after the one at 9.99 s, and the old tempo resumes at 20 s.
    expectTimes(*merged, {0, 5, 9.99, 10.01, 12, 15, 20, 20.03, 25});
    for (std::size_t i : {0u, 1u, 2u}) EXPECT_EQ((*merged)[i], old[i]);
    EXPECT_EQ((*merged)[3].bpm, 141);  // the re-analysed tempo where it starts
    EXPECT_EQ((*merged)[3].confidence, 1.0);
    EXPECT_EQ((*merged)[4].id, inner.id);
    EXPECT_EQ((*merged)[4].confidence, 0.01);
    EXPECT_EQ((*merged)[5].id, nanConfidence.id);
    EXPECT_EQ((*merged)[5].confidence, 0.01);
    EXPECT_EQ((*merged)[6].bpm, 120);  // the old tempo resumes at the range end
    EXPECT_EQ((*merged)[7], old[4]);
    EXPECT_EQ((*merged)[8], old[5]);
    EXPECT_NE((*merged)[6].id, old[3].id);
    EXPECT_TRUE(tempoMapIssues(*merged, 30).empty());
}

TEST(MergingReanalyzedRange, EdgesOfTheSong) {
    const TempoPoints old = {tp(0, 100), tp(10, 110), tp(29.995, 120)};
    const TempoPoints fresh = {tp(0, 90), tp(5, 95)};

    // Ending 0.01 s before the audio end, just before an old point: that point stays, and the old
    // tempo resumes 0.02 s before it.
    auto merged = mergingReanalyzedRange(old, fresh, 20, 29.99, 30);
    ASSERT_TRUE(merged);
    expectTimes(*merged, {0, 10, 20, 29.975, 29.995});
    EXPECT_EQ((*merged)[3].bpm, 110);
    // Ending at the audio end: nothing resumes.
    merged = mergingReanalyzedRange(old, fresh, 20, 30, 30);
    ASSERT_TRUE(merged);
    expectTimes(*merged, {0, 10, 20});

    // Starting 0.015 s into the song: the song start keeps its tempo up to the selection, and the
    // re-analysed tempo starts 0.02 s after it.
    merged = mergingReanalyzedRange(old, fresh, 0.015, 8, 30);
    ASSERT_TRUE(merged);
    expectTimes(*merged, {0, 0.02, 5, 8, 10, 29.995});
    EXPECT_EQ((*merged)[0], old[0]);
    EXPECT_EQ((*merged)[1].bpm, 90);
    EXPECT_EQ((*merged)[3].bpm, 100);
    // Starting at the song start: the start point takes over at 0 s.
    merged = mergingReanalyzedRange(old, fresh, 0, 8, 30);
    ASSERT_TRUE(merged);
    expectTimes(*merged, {0, 5, 8, 10, 29.995});
    EXPECT_EQ((*merged)[0].bpm, 90);
    EXPECT_NE((*merged)[0].id, old[0].id);

    // The range is clamped into the audio.
    merged = mergingReanalyzedRange(old, fresh, -4, 100, 30);
    ASSERT_TRUE(merged);
    expectTimes(*merged, {0, 5});
}

TEST(MergingReanalyzedRange, RefusesShortRangesAndEmptyInput) {
    const TempoPoints old = {tp(0, 100)};
    const TempoPoints fresh = {tp(1, 120)};
    EXPECT_FALSE(mergingReanalyzedRange(old, fresh, 5, 5.0399, 30));
    EXPECT_TRUE(mergingReanalyzedRange(old, fresh, 5, 5.04, 30));
    EXPECT_FALSE(mergingReanalyzedRange(old, fresh, 29.99, 40, 30));  // clamped to 0.01 s
    EXPECT_FALSE(mergingReanalyzedRange(old, fresh, kNaN, kNaN, 30));
    EXPECT_FALSE(mergingReanalyzedRange(old, fresh, 1, 5, kNaN));
    EXPECT_FALSE(mergingReanalyzedRange({}, fresh, 1, 5, 30));
    EXPECT_FALSE(mergingReanalyzedRange(old, {}, 1, 5, 30));
    EXPECT_FALSE(mergingReanalyzedRange(old, {tp(1, 500), tp(kNaN, 120)}, 1, 5, 30));
}

TEST(MergingReanalyzedRange, KeptNewPointDoesNotRampIntoTheOldTempo) {
    const TempoPoints old = {tp(0, 100)};
    const TempoPoints fresh = {tp(10, 120, true), tp(15, 130, true), tp(25, 150)};
    const auto merged = mergingReanalyzedRange(old, fresh, 10, 20, 30);
    ASSERT_TRUE(merged);
    expectTimes(*merged, {0, 10, 15, 20});
    EXPECT_FALSE((*merged)[2].linearToNext);
    EXPECT_EQ(bpmAt(*merged, 19.9, 0), 130);
}

// The tempo outside the selection stays what it was, right up to its edges, whatever old points
// and ramps lie near them; merged points keep 0.02 s apart, as the export check asks, so where an
// old point or ramp leaves no room the re-analysed tempo starts (or stops) a little inside.
void expectOldTempoOutside(const TempoPoints& old, const TempoPoints& merged, double start, double end,
                           double duration) {
    std::vector<double> times;
    for (double t = 0; t <= duration; t += 0.005) times.push_back(t);
    for (double gap : {2e-6, 1e-4, 0.005, 0.01, 0.0199, 0.02, 0.03}) {
        times.push_back(start - gap);
        times.push_back(end + gap);
    }
    for (double t : times) {
        if (t < 0 || t > duration || (t > start - 2e-6 && t < end + 2e-6)) continue;
        EXPECT_NEAR(bpmAt(merged, t, 0), bpmAt(old, t, 0), 1e-9) << "t = " << t;
    }
    for (const auto& point : old) {
        if (point.timeSeconds >= start && point.timeSeconds <= end) continue;
        EXPECT_NE(std::find(merged.begin(), merged.end(), point), merged.end()) << "old point at " << point.timeSeconds;
    }
}

TEST(MergingReanalyzedRange, TempoOutsideTheSelectionIsUnchanged) {
    const TempoPoints fresh = {tp(3, 135, true), tp(12, 140, true), tp(16, 70, true), tp(19, 150, true),
                               tp(26, 80)};
    const struct {
        const char* name;
        TempoPoints old;
        double start, end, duration;
    } cases[] = {
        {"ramp across the start", {tp(0, 120, true), tp(10, 100), tp(25, 90)}, 8, 14, 30},
        {"ramps across both edges", {tp(0, 100), tp(5, 100, true), tp(20, 160, true), tp(30, 120)}, 10, 25, 40},
        {"selection inside one ramp", {tp(0, 100, true), tp(30, 200)}, 10, 20, 40},
        {"old ramping points in both seams",
         {tp(0, 100), tp(4, 110, true), tp(9.99, 130, true), tp(20.01, 90, true), tp(28, 150)}, 10, 20, 40},
        {"ramping old point just before the start seam", {tp(0, 100), tp(9.97, 120, true), tp(10.5, 150)}, 10, 20, 40},
        {"ramping old point a hair before the start", {tp(0, 100), tp(9.9999, 120, true), tp(10.5, 150)}, 10, 20, 40},
        {"old point just after the end seam",
         {tp(0, 100), tp(4, 110, true), tp(20.01, 90, true), tp(20.035, 150, true), tp(28, 120)}, 10, 20, 40},
        {"steps only", {tp(0, 100), tp(6, 120), tp(15, 130), tp(24, 90)}, 10, 20, 30},
        {"up to the audio end", {tp(0, 100, true), tp(10, 150), tp(25, 160)}, 20, 29.99, 30},
        {"from the song start", {tp(0, 100, true), tp(10, 150, true), tp(30, 90)}, 0.01, 8, 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto merged = mergingReanalyzedRange(c.old, fresh, c.start, c.end, c.duration);
        ASSERT_TRUE(merged);
        expectOldTempoOutside(c.old, *merged, c.start, c.end, c.duration);
        // The merge never leaves the map unfit for export.
        EXPECT_EQ(tempoMapIssues(*merged, c.duration), std::vector<std::string>{});
        // Within 0.04 s of the selection's start the re-analysed tempo rules.
        const auto made = std::find_if(merged->begin(), merged->end(), [&](const BeatloomTempoPoint& point) {
            return point.timeSeconds >= c.start && point.timeSeconds <= c.start + 0.04 + 1e-9 &&
                   point.bpm == bpmAtSorted(fresh, point.timeSeconds, 0);
        });
        EXPECT_NE(made, merged->end());
    }

    // The case from the field report: before the fix the ramp aimed at the new start point.
    const TempoPoints old = {tp(0, 120, true), tp(10, 100), tp(25, 90)};
    const auto merged = mergingReanalyzedRange(old, {tp(8, 130)}, 8, 14, 30);
    ASSERT_TRUE(merged);
    EXPECT_DOUBLE_EQ(bpmAt(*merged, 4, 0), 112);
    EXPECT_TRUE(tempoMapIssues(*merged, 30).empty());

    // A selection too short to hold the re-analysed tempo between an old ramp before it and an
    // old point just after it is refused rather than changing the tempo around it.
    EXPECT_FALSE(mergingReanalyzedRange({tp(0, 100), tp(9.99, 120, true), tp(10.055, 150)}, fresh, 10, 10.04, 30));
}

// Random valid maps merged with random analyser output, close runs included: the merged map
// always passes the export check and keeps the tempo outside the selection. The first case is
// the one a user met.
TEST(MergingReanalyzedRange, RandomMergesPassTheExportCheck) {
    const auto first = mergingReanalyzedRange({tp(0, 120)}, {tp(5, 100), tp(5.01, 110)}, 2, 8, 20);
    ASSERT_TRUE(first);
    EXPECT_EQ(tempoMapIssues(*first, 20), std::vector<std::string>{});
    EXPECT_EQ(bpmAt(*first, 6, 0), 110);

    std::mt19937_64 random(19);
    auto uniform = [&](double low, double high) { return std::uniform_real_distribution<double>(low, high)(random); };
    for (int round = 0; round < 3000; ++round) {
        const double duration = uniform(1, 60);
        TempoPoints old = {tp(0, uniform(30, 300), uniform(0, 1) < 0.3)};
        for (double t = uniform(0.02, 3); t < duration; t += uniform(0.02, 3)) {
            old.push_back(tp(t, uniform(30, 300), uniform(0, 1) < 0.3));
        }
        old = normalizedTempoPoints(old);
        if (!tempoMapIssues(old, duration).empty()) continue;
        TempoPoints fresh;
        for (double t = uniform(-1, duration); t < duration + 1; t += uniform(0, 1) < 0.4 ? uniform(0, 0.03) : uniform(0.03, 4)) {
            fresh.push_back(tp(t, uniform(20, 320), uniform(0, 1) < 0.3));
        }
        const double start = uniform(-1, duration + 1);
        const double end = start + uniform(-0.5, duration);
        const auto merged = mergingReanalyzedRange(old, fresh, start, end, duration);
        if (!merged) continue;
        SCOPED_TRACE("round " + std::to_string(round) + " range " + std::to_string(start) + "..." +
                     std::to_string(end) + " of " + std::to_string(duration));
        EXPECT_EQ(tempoMapIssues(*merged, duration), std::vector<std::string>{});
        const double clampedStart = std::clamp(start, 0.0, duration);
        expectOldTempoOutside(old, *merged, clampedStart, std::clamp(end, clampedStart, duration), duration);
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace
}  // namespace corvel
