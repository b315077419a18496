#include "core/tempo_map_records.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/waveform_data.hpp"

namespace corvel {
namespace {

using nlohmann::json;

TEST(DisplayLabel, RhythmicAnchorShowsBarDotBeatOrItsKind) {
    BeatloomRhythmicAnchor anchor;
    struct Case { std::optional<BeatloomMusicalPosition> position; BeatloomRhythmicAnchorKind kind; const char* label; };
    const Case cases[] = {
        {BeatloomMusicalPosition{12, 3, 0.75}, BeatloomRhythmicAnchorKind::beat, "12.3"},
        {BeatloomMusicalPosition{0, 1, 0}, BeatloomRhythmicAnchorKind::downbeat, "0.1"},
        {BeatloomMusicalPosition{-1, 2, 0}, BeatloomRhythmicAnchorKind::beat, "-1.2"},
        {std::nullopt, BeatloomRhythmicAnchorKind::freeReference, "Anchor"},
        {std::nullopt, BeatloomRhythmicAnchorKind::beat, "Beat"},
        {std::nullopt, BeatloomRhythmicAnchorKind::downbeat, "Downbeat"},
        {std::nullopt, BeatloomRhythmicAnchorKind::rejoin, "Rejoin"},
    };
    for (const auto& c : cases) {
        anchor.musicalPosition = c.position;
        anchor.kind = c.kind;
        EXPECT_EQ(anchor.displayLabel(), c.label);
    }
}

TEST(DisplayLabel, GridFitAnchorNeedsBarAndBeatForADot) {
    BeatloomGridFitAnchor anchor;
    anchor.barNumber = 5;
    anchor.beatNumber = 2;
    EXPECT_EQ(anchor.displayLabel(), "5.2");
    anchor.beatNumber.reset();
    anchor.isDownbeat = true;
    EXPECT_EQ(anchor.displayLabel(), "1");
    anchor.isDownbeat = false;
    EXPECT_EQ(anchor.displayLabel(), "Beat");
}

TEST(RecordEquality, ComparesEveryFieldAndNaNNeverEqualsItself) {
    BeatloomTempoPoint point{Uuid::random(), 1.0, 120, 0.5, false};
    auto other = point;
    EXPECT_EQ(point, other);
    other.id = Uuid::random();
    EXPECT_NE(point, other);
    other = point;
    other.confidence = 0.6;
    EXPECT_NE(point, other);
    other = point;
    other.bpm = std::numeric_limits<double>::quiet_NaN();
    const auto copy = other;
    EXPECT_NE(other, copy);
}

TEST(RecordHashing, SignedZerosHashAlike) {
    const Uuid id = Uuid::random();
    const BeatloomTempoPoint plus{id, 0.0, 120, 1, false};
    const BeatloomTempoPoint minus{id, -0.0, 120, 1, false};
    ASSERT_EQ(plus, minus);
    EXPECT_EQ(std::hash<BeatloomTempoPoint>{}(plus), std::hash<BeatloomTempoPoint>{}(minus));
    BeatloomWaveformData a{0.0, {0.0f}, {1.0f}, "a.wav", "v"};
    BeatloomWaveformData b{-0.0, {-0.0f}, {1.0f}, "a.wav", "v"};
    ASSERT_EQ(a, b);
    EXPECT_EQ(std::hash<BeatloomWaveformData>{}(a), std::hash<BeatloomWaveformData>{}(b));
}

TEST(RecordJson, AbsentOptionalsWriteNoKeyAndRoundTrip) {
    BeatloomRhythmicAnchor anchor{Uuid::random(), Uuid::random(), 12.5, std::nullopt, std::nullopt,
                                  BeatloomRhythmicAnchorKind::freeReference, BeatloomRhythmicAnchorSource::manual,
                                  0.75, true};
    const json written = anchor;
    EXPECT_FALSE(written.contains("quarterPosition"));
    EXPECT_FALSE(written.contains("musicalPosition"));
    EXPECT_EQ(written["id"], anchor.id.toString());
    EXPECT_EQ(written["kind"], "freeReference");
    EXPECT_EQ(written.get<BeatloomRhythmicAnchor>(), anchor);

    anchor.quarterPosition = 40;
    anchor.musicalPosition = BeatloomMusicalPosition{11, 1, 0};
    EXPECT_EQ(json(anchor).get<BeatloomRhythmicAnchor>(), anchor);

    const BeatloomPhaseLock lock{Uuid::random(), 3.0, 2, 1, 0.5, Uuid::random()};
    EXPECT_EQ(json(lock).get<BeatloomPhaseLock>(), lock);
    const BeatloomBarAnchor bar{Uuid::random(), 4.0, 20};
    EXPECT_EQ(json(bar).get<BeatloomBarAnchor>(), bar);
    const BeatloomGridFitAnchor fit{Uuid::random(), 8, 4.0, 3, std::nullopt, true,
                                    BeatloomGridFitAnchorSource::automatic, false};
    EXPECT_EQ(json(fit).get<BeatloomGridFitAnchor>(), fit);
}

TEST(RecordJson, ReadingIsStrictAboutRawValuesAndTypes) {
    json region = BeatloomTimelineRegion{Uuid::random(), 1, 2, BeatloomTimelineMode::rubato, false};
    EXPECT_NO_THROW(region.get<BeatloomTimelineRegion>());
    region["mode"] = "Rubato";
    EXPECT_THROW(region.get<BeatloomTimelineRegion>(), json::exception);

    json meter = BeatloomMeterEvent{Uuid::random(), 0, 6, 8};
    meter["numerator"] = 6.5;
    EXPECT_THROW(meter.get<BeatloomMeterEvent>(), json::exception);
    meter["numerator"] = true;
    EXPECT_THROW(meter.get<BeatloomMeterEvent>(), json::exception);

    json point = BeatloomTempoPoint{};
    point["id"] = Uuid::random().toString();
    for (auto& c : point["id"].get_ref<std::string&>()) c = static_cast<char>(std::tolower(c));
    EXPECT_NO_THROW(point.get<BeatloomTempoPoint>());
    point["bpm"] = false;
    EXPECT_THROW(point.get<BeatloomTempoPoint>(), json::exception);
    point.erase("bpm");
    EXPECT_THROW(point.get<BeatloomTempoPoint>(), json::exception);
}

TEST(RawValues, ResolutionAndModesMatchExactly) {
    EXPECT_EQ(fromRawValue<BeatloomGridResolution>("1/8T"), BeatloomGridResolution::eighthTriplet);
    EXPECT_FALSE(fromRawValue<BeatloomGridResolution>("1/8t"));
    EXPECT_EQ(rawValue(BeatloomGridResolution::sixteenth), "1/16");
    EXPECT_FALSE(fromRawValue<BeatloomTimelineMode>("Rubato"));
    EXPECT_EQ(fromRawValue<BeatloomFreeTimeClickMode>("anchorOnly"), BeatloomFreeTimeClickMode::anchorOnly);
    const auto modes = allCases<BeatloomTimelineMode>();
    ASSERT_EQ(modes.size(), 3u);
    EXPECT_EQ(modes[2], BeatloomTimelineMode::free);
}

}  // namespace
}  // namespace corvel
