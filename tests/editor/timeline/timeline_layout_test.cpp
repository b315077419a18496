#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <utility>

#include <gtest/gtest.h>

#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/timeline/timeline_layout.hpp"
#include "session/session_fixture.hpp"

namespace corvel::editor {
namespace {

using BeatloomTimeline::GridKind;
using BeatloomTimeline::GridLine;
using session::BeatloomPixelSpan;
using session::BeatloomViewportState;
namespace records = corvel::testing;

GridLine line(double t, GridKind kind, std::optional<std::int64_t> bar = std::nullopt, double quarter = 0) {
    return GridLine{t, quarter, kind, bar, bar ? std::optional<std::int64_t>(1) : std::nullopt};
}

std::vector<double> times(const std::vector<GridLine>& lines) {
    std::vector<double> result;
    for (const auto& l : lines) result.push_back(l.timeSeconds);
    return result;
}

TEST(TimelineWindow, MapsTimeToXAndBackWithTheWidthAndDurationHeldAwayFromZero) {
    struct Case {
        BeatloomTimelineWindow window;
        double t;
        double x;
    };
    const Case cases[] = {
        {{10, 20, 1000}, 15, 250},
        {{-2, 4, 800}, 0, 400},             // a window that starts before the song
        {{0, 0, 100}, 1e-6, 100},           // no duration: a microsecond fills the width
        {{0, -5, 100}, 1e-6, 100},          // nor a negative one
        {{0, 2, 0}, 1, 0.5},                // no width: one pixel
        {{0, 2, 0.25}, 2, 1},               // below one pixel: one pixel
        {{0, 2, std::nan("")}, 2, 1},       // an unusable width: one pixel
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(c.window.x(c.t), c.x) << c.window.start << " " << c.window.duration << " " << c.window.width;
    }
    const BeatloomTimelineWindow window{-3.5, 12, 640};
    for (const double t : {-3.5, 0.0, 4.25, 8.5}) EXPECT_NEAR(window.seconds(window.x(t)), t, 1e-12);
    EXPECT_EQ(BeatloomTimelineWindow::layoutWidth(0), 1);
    EXPECT_EQ(BeatloomTimelineWindow::layoutWidth(-40), 1);
    EXPECT_EQ(BeatloomTimelineWindow::layoutWidth(731), 731);
}

TEST(TimelineGeometry, StacksTheFourLanesForTheLargeAndTheSmallWaveform) {
    const BeatloomTimelineGeometry large{38, 58, 26, true};
    EXPECT_EQ(large.waveformTop(), 96);
    EXPECT_EQ(large.waveformHeight(), 430);
    EXPECT_EQ(large.timeRulerTop(), 526);
    EXPECT_EQ(large.totalHeight(), 552);
    EXPECT_EQ(large.waveformCentreY(), 96 + 215);
    EXPECT_DOUBLE_EQ(large.waveformAmplitudeScale(), 195.65);

    const BeatloomTimelineGeometry small{38, 58, 26, false};
    EXPECT_EQ(small.waveformTop(), 96);
    EXPECT_EQ(small.waveformHeight(), 330);
    EXPECT_EQ(small.timeRulerTop(), 426);
    EXPECT_EQ(small.totalHeight(), 452);
    EXPECT_EQ(small.waveformCentreY(), 96 + 165);
    EXPECT_DOUBLE_EQ(small.waveformAmplitudeScale(), 150.15);
}

TEST(ViewportState, AudioSpanAndPeakBinsCoverOnlyTheSongInsideTheWindow) {
    // Starts before 0 s and ends after the song: only 0 ... D is shaded.
    EXPECT_EQ(BeatloomViewportState::visiblePixelRange(-5, 20, 200, 10), (BeatloomPixelSpan{50, 150}));
    EXPECT_FALSE(BeatloomViewportState::visiblePixelRange(11, 5, 200, 10));
    EXPECT_FALSE(BeatloomViewportState::visiblePixelRange(-6, 5, 200, 10));
    EXPECT_FALSE(BeatloomViewportState::visiblePixelRange(0, 5, 200, -1));

    EXPECT_EQ(BeatloomViewportState::visiblePeakRange(-5, 20, 10, 100), (session::BeatloomPeakRange{0, 100}));
    EXPECT_EQ(BeatloomViewportState::visiblePeakRange(2.05, 0.1, 10, 100), (session::BeatloomPeakRange{20, 22}));
    // A window far narrower than a bin still yields one bin.
    EXPECT_EQ(BeatloomViewportState::visiblePeakRange(9.99999, 1e-9, 10, 100), (session::BeatloomPeakRange{99, 100}));
    EXPECT_TRUE(BeatloomViewportState::visiblePeakRange(12, 1, 10, 100).empty());
    EXPECT_TRUE(BeatloomViewportState::visiblePeakRange(0, 1, 0, 100).empty());
    EXPECT_TRUE(BeatloomViewportState::visiblePeakRange(0, 1, 10, 0).empty());
}

TEST(VisibleGridLines, KeepTheWindowWidenedByTwoPercentAndSubdivisionsOnlyWhenShown) {
    const BeatloomTimelineWindow window{10, 100, 1000};  // widened: 8 ... 112
    const std::vector<GridLine> song{
        line(7.99, GridKind::bar, 1),         line(8.0, GridKind::beat),  line(9, GridKind::subdivision),
        line(60, GridKind::beat),             line(112, GridKind::bar, 2), line(112.01, GridKind::beat),
    };
    EXPECT_EQ(times(visibleGridLines(song, window, true)), (std::vector<double>{8, 9, 60, 112}));
    EXPECT_EQ(times(visibleGridLines(song, window, false)), (std::vector<double>{8, 60, 112}));
    EXPECT_TRUE(visibleGridLines({}, window, true).empty());
}

TEST(GridStrokes, DrawLinesNearTheLaneAndInGridFitModeTheFittedCopiesInsteadOfAnchoredLines) {
    const BeatloomTimelineWindow window{0, 10, 100};  // 10 px per second
    const std::vector<GridLine> lines{
        line(-0.21, GridKind::bar, 0, -1), line(-0.19, GridKind::beat, std::nullopt, -0.5),
        line(1, GridKind::beat, std::nullopt, 2), line(1.5, GridKind::subdivision, std::nullopt, 3),
        line(10.19, GridKind::bar, 3, 20),
    };
    const auto plain = gridStrokes(lines, window, false, {}, std::nullopt);
    ASSERT_EQ(plain.size(), 4u);  // -2.1 px lies outside the 2 px margin
    EXPECT_NEAR(plain[0].x, -1.9, 1e-9);
    EXPECT_EQ(plain[1], (GridStroke{10, GridKind::beat, false}));
    EXPECT_NEAR(plain[3].x, 101.9, 1e-9);

    BeatloomGridFitAnchor anchor;
    anchor.quarterPosition = 2 + 5e-10;
    BeatloomGridFitter::Fit fit;
    fit.interceptSeconds = 0.5;
    fit.secondsPerQuarter = 0.25;
    const auto fitted = gridStrokes(lines, window, true, {anchor}, fit);
    std::vector<GridStroke> plainOnes;
    std::vector<GridStroke> fittedOnes;
    for (const auto& s : fitted) (s.fitted ? fittedOnes : plainOnes).push_back(s);
    // The anchored beat's white line gives way to the anchor ...
    EXPECT_EQ(plainOnes.size(), 3u);
    for (const auto& s : plainOnes) EXPECT_NE(s.x, 10);
    // ... but its fitted copy is drawn, like every other visible line's at 5 + 2.5 q pixels.
    ASSERT_EQ(fittedOnes.size(), 5u);
    EXPECT_EQ(fittedOnes[2], (GridStroke{10, GridKind::beat, true}));
    EXPECT_EQ(fittedOnes[3], (GridStroke{12.5, GridKind::subdivision, true}));
    EXPECT_NEAR(fittedOnes[4].x, 55, 1e-9);
    // A subdivision at an anchor's quarter keeps its line; outside Grid Fit mode nothing is fitted.
    anchor.quarterPosition = 3;
    EXPECT_EQ(gridStrokes(lines, window, true, {anchor}, std::nullopt).size(), 4u);
    EXPECT_EQ(gridStrokes(lines, window, false, {anchor}, fit).size(), 4u);
}

TEST(GridStrokes, OnePlainStrokePerPixelColumnTheStrongestKindWinning) {
    const BeatloomTimelineWindow window{0, 1, 100};  // 100 px per second
    const std::vector<GridLine> lines{
        line(0.101, GridKind::subdivision), line(0.102, GridKind::bar, 2), line(0.103, GridKind::beat),
        line(0.104, GridKind::bar, 3),  // a second bar in the column: the first one stays
        line(0.205, GridKind::subdivision), line(0.206, GridKind::beat),
    };
    const auto strokes = gridStrokes(lines, window, false, {}, std::nullopt);
    ASSERT_EQ(strokes.size(), 2u);
    EXPECT_NEAR(strokes[0].x, 10.2, 1e-9);
    EXPECT_EQ(strokes[0].kind, GridKind::bar);
    EXPECT_NEAR(strokes[1].x, 20.6, 1e-9);
    EXPECT_EQ(strokes[1].kind, GridKind::beat);
}

// Three minutes at 240 BPM in eighths: 1440 lines 0.125 s apart, a bar every second
// numbered from 1.
std::vector<GridLine> steadySong() {
    std::vector<GridLine> song;
    for (int k = 0; k < 1440; ++k) {
        const GridKind kind = k % 8 == 0 ? GridKind::bar : (k % 2 == 0 ? GridKind::beat : GridKind::subdivision);
        song.push_back(line(0.125 * k, kind, kind == GridKind::bar ? std::optional<std::int64_t>(k / 8 + 1) : std::nullopt,
                            0.5 * k));
    }
    return song;
}

std::vector<std::int64_t> barNumbers(const std::vector<GridLine>& lines) {
    std::vector<std::int64_t> numbers;
    for (const auto& l : lines) {
        if (l.kind == GridKind::bar && l.barNumber) numbers.push_back(*l.barNumber);
    }
    return numbers;
}

TEST(DrawnGridLines, EachLevelOnlyWhereItsLinesStandFarEnoughApartAndBarsOnAStride) {
    const auto song = steadySong();
    const SongGrid grid(song);
    ASSERT_EQ(grid.bars.size(), 180u);
    ASSERT_EQ(grid.beatsAndBars.size(), 720u);
    const auto kinds = [](const std::vector<GridLine>& lines) {
        std::map<GridKind, int> count;
        for (const auto& l : lines) ++count[l.kind];
        return count;
    };

    // 200 px a second: subdivisions 25 px apart, everything shows.
    const BeatloomTimelineWindow sparse{10, 5, 1000};
    EXPECT_EQ(times(drawnGridLines(grid, sparse, true)), times(visibleGridLines(song, sparse, true)));
    EXPECT_EQ(times(drawnGridLines(grid, sparse, false)), times(visibleGridLines(song, sparse, false)));

    // 50 px a second: subdivisions 6.25 px apart go, beats 12.5 px apart stay.
    const BeatloomTimelineWindow beats{40, 20, 1000};
    const auto withBeats = drawnGridLines(grid, beats, true);
    EXPECT_EQ(times(withBeats), times(visibleGridLines(song, beats, false)));
    EXPECT_EQ(kinds(withBeats)[GridKind::subdivision], 0);

    struct Case {
        BeatloomTimelineWindow window;
        std::int64_t stride;  // in bars
    };
    const Case cases[] = {
        {{0, 90, 900}, 2},      // bars 10 px apart: every 2nd bar, 20 px apart
        {{0, 180, 900}, 4},     // bars 5 px apart: every 4th
        {{-20, 220, 300}, 16},  // bars 1.4 px apart: every 16th
        {{30, 20, 1000}, 1},    // bars 50 px apart: all
    };
    for (const auto& c : cases) {
        const auto drawn = drawnGridLines(grid, c.window, true);
        const auto numbers = barNumbers(drawn);
        ASSERT_FALSE(numbers.empty());
        for (const auto n : numbers) EXPECT_EQ((n - 1) % c.stride, 0) << n << " at stride " << c.stride;
        for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i] - numbers[i - 1], c.stride);
        if (c.stride > 1) {
            EXPECT_EQ(kinds(drawn)[GridKind::beat], 0);
        }
        EXPECT_TRUE(std::is_sorted(drawn.begin(), drawn.end(),
                                   [](const GridLine& a, const GridLine& b) { return a.timeSeconds < b.timeSeconds; }));
        // Never two drawn lines closer than the spacing.
        for (std::size_t i = 1; i < drawn.size(); ++i) {
            EXPECT_GE(c.window.x(drawn[i].timeSeconds) - c.window.x(drawn[i - 1].timeSeconds), kGridLineSpacing - 1e-9);
        }
    }
}

TEST(DrawnGridLines, BeatsShowOnlyWhereTheTempoSpreadsThem) {
    // Beats 0.1 s apart up to 10 s, then 0.5 s apart; a bar every 4 beats.
    std::vector<GridLine> song;
    double t = 0;
    for (int k = 0; k < 160; ++k) {
        const bool isBar = k % 4 == 0;
        song.push_back(line(t, isBar ? GridKind::bar : GridKind::beat,
                            isBar ? std::optional<std::int64_t>(k / 4 + 1) : std::nullopt));
        t += t < 10 - 1e-9 ? 0.1 : 0.5;
    }
    const SongGrid grid(song);
    const BeatloomTimelineWindow window{0, 50, 2000};  // 40 px a second: 4 px and 20 px
    for (const auto& l : drawnGridLines(grid, window, true)) {
        if (l.kind == GridKind::beat) {
            EXPECT_GT(l.timeSeconds, 10.0);
        }
    }
    const auto drawn = drawnGridLines(grid, window, true);
    EXPECT_TRUE(std::any_of(drawn.begin(), drawn.end(), [](const GridLine& l) { return l.kind == GridKind::beat; }));
}

TEST(BarsOnStride, ARenumberedBarStartsANewCountAndUnnumberedBarsKeepTheSpacing) {
    // Bars 10 px apart (stride 2 for 16 px): 1 ... 6, then a rejoined grid counting from 40,
    // then two bars without numbers, the second only 5 px after the first.
    std::vector<GridLine> bars;
    const std::vector<std::optional<std::int64_t>> numbers{1, 2, 3, 4, 5, 6, 40, 41, 42, 43, std::nullopt, std::nullopt};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        bars.push_back(line(i + 1 < numbers.size() ? double(i) : double(i) - 0.5, GridKind::bar, numbers[i]));
    }
    std::vector<const GridLine*> pointers;
    for (const auto& b : bars) pointers.push_back(&b);
    const BeatloomTimelineWindow window{0, 100, 1000};
    std::vector<std::optional<std::int64_t>> kept;
    for (const auto i : barsOnStride(pointers, window, 16, 8, true)) kept.push_back(numbers[i]);
    EXPECT_EQ(kept, (std::vector<std::optional<std::int64_t>>{1, 3, 5, 40, 42, std::nullopt}));
    // Without unnumbered bars: those go.
    kept.clear();
    for (const auto i : barsOnStride(pointers, window, 16, 8, false)) kept.push_back(numbers[i]);
    EXPECT_EQ(kept, (std::vector<std::optional<std::int64_t>>{1, 3, 5, 40, 42}));
}

TEST(BarShading, ShadesEvenBarsIncludingPickupsUpToTheNextBarLineOrTheWindowEnd) {
    const BeatloomTimelineWindow window{-4, 20, 200};  // x = 10 (t + 4)
    const std::vector<GridLine> lines{
        line(0, GridKind::bar, 1),      line(-4, GridKind::bar, -2), line(-2, GridKind::bar, 0),
        line(1, GridKind::beat, 2),     line(2, GridKind::bar, 2),  line(4, GridKind::bar),  // no number
        line(6, GridKind::bar, 4),      line(8, GridKind::bar, 5),  line(12, GridKind::bar, 6),
    };
    const auto spans = barShadingSpans(lines, window);
    const std::vector<BeatloomPixelSpan> expected{
        {0, 20},     // bar -2 (pickup P3) up to bar 0
        {20, 40},    // bar 0 up to bar 1
        {60, 80},    // bar 2 up to the unnumbered bar line
        {100, 120},  // bar 4
        {160, 200},  // bar 6, the last one: to the window's end
    };
    EXPECT_EQ(spans, expected);
}

BeatloomWaveformData rampWaveform(std::size_t bins, double duration) {
    BeatloomWaveformData waveform;
    waveform.durationSeconds = duration;
    for (std::size_t i = 0; i < bins; ++i) {
        const float level = float(i % 10) / 10.0f;
        waveform.minPeaks.push_back(-level);
        waveform.maxPeaks.push_back(level);
    }
    return waveform;
}

TEST(WaveformSegments, DeepZoomDrawsEachBinAtItsCentre) {
    const auto waveform = rampWaveform(100, 10);  // 0.1 s per bin
    const BeatloomTimelineGeometry geometry{38, 58, 26, false};
    const auto segments = waveformSegments(waveform, {2.0, 0.5, 500}, geometry);  // bins 20 ... 24
    ASSERT_EQ(segments.size(), 5u);
    for (std::size_t k = 0; k < segments.size(); ++k) {
        EXPECT_NEAR(segments[k].x, (0.05 + 0.1 * double(k)) * 1000, 1e-9);
        const double level = double(float(k) / 10.0f);
        EXPECT_NEAR(segments[k].yTop, 261 - 150.15 * level, 1e-6);
        EXPECT_NEAR(segments[k].yBottom, 261 + 150.15 * level, 1e-6);
    }
}

TEST(WaveformSegments, ZoomedOutDrawsOneEnvelopePerPixelColumnAndSkipsNonFiniteColumns) {
    auto waveform = rampWaveform(1000, 10);
    waveform.maxPeaks[505] = std::numeric_limits<float>::quiet_NaN();
    waveform.minPeaks.push_back(0);  // the shorter list decides the bin count
    const BeatloomTimelineGeometry geometry{38, 58, 26, true};
    const auto segments = waveformSegments(waveform, {0, 10, 100}, geometry);  // 10 bins per column
    ASSERT_EQ(segments.size(), 99u);
    for (const auto& segment : segments) {
        EXPECT_EQ(segment.x - std::floor(segment.x), 0.5);
        EXPECT_NE(segment.x, 50.5);  // the column holding the NaN peak
    }
    // Each column spans its bins and the first bin of the next: levels 0 ... 0.9 and 0.
    EXPECT_NEAR(segments[0].yTop, 311 - 195.65 * double(0.9f), 1e-6);
    EXPECT_NEAR(segments[0].yBottom, 311 + 195.65 * double(0.9f), 1e-6);

    // Never more strokes than columns, however many bins.
    EXPECT_LE(waveformSegments(rampWaveform(200000, 10), {-5, 30, 300}, geometry).size(), 300u);
}

TEST(WaveformLevels, EnvelopeOfAnyRunMatchesItsBinsAndADamagedBinBlanksIt) {
    BeatloomWaveformData waveform;
    waveform.durationSeconds = 1;
    for (int i = 0; i < 1001; ++i) {
        waveform.minPeaks.push_back(-float((i * 37) % 101) / 100.0f);
        waveform.maxPeaks.push_back(float((i * 53) % 97) / 100.0f);
    }
    waveform.maxPeaks[700] = std::numeric_limits<float>::quiet_NaN();
    const WaveformLevels levels(waveform);
    for (const auto& [first, last] : std::vector<std::pair<int, int>>{
             {0, 0}, {0, 1000}, {3, 4}, {5, 517}, {511, 512}, {999, 1000}, {650, 699}, {650, 700}, {700, 700}}) {
        float mn = INFINITY;
        float mx = -INFINITY;
        bool damaged = false;
        for (int i = first; i <= last; ++i) {
            damaged = damaged || std::isnan(waveform.maxPeaks[std::size_t(i)]);
            mn = std::min(mn, waveform.minPeaks[std::size_t(i)]);
            mx = std::max(mx, waveform.maxPeaks[std::size_t(i)]);
        }
        const auto [lo, hi] = levels.envelope(first, last);
        if (damaged) {
            EXPECT_TRUE(std::isnan(lo) && std::isnan(hi)) << first << "..." << last;
        } else {
            EXPECT_EQ(lo, mn) << first << "..." << last;
            EXPECT_EQ(hi, mx) << first << "..." << last;
        }
    }
}

TEST(WaveformSegments, NoAudioIsDrawnBeforeTheStartOrAfterTheEnd) {
    const BeatloomTimelineGeometry geometry;
    // 10 s over 100 px from -5 s: audio from x = 50 to x = 150, but the window ends at 100.
    for (const BeatloomTimelineWindow window : {BeatloomTimelineWindow{-5, 10, 100}, BeatloomTimelineWindow{5, 10, 100}}) {
        const auto segments = waveformSegments(rampWaveform(100000, 10), window, geometry);
        ASSERT_FALSE(segments.empty());
        for (const auto& segment : segments) {
            EXPECT_GE(window.seconds(segment.x + 0.5), 0.0);
            EXPECT_LE(window.seconds(segment.x - 0.5), 10.0);
        }
    }
}

TEST(WaveformSegments, NothingWithoutVisibleBins) {
    const BeatloomTimelineGeometry geometry;
    EXPECT_TRUE(waveformSegments(BeatloomWaveformData{}, {0, 10, 100}, geometry).empty());
    EXPECT_TRUE(waveformSegments(rampWaveform(100, 10), {20, 10, 100}, geometry).empty());
    EXPECT_TRUE(waveformSegments(rampWaveform(100, 0), {0, 10, 100}, geometry).empty());
    // A window of a nanosecond and one of a million seconds both stay bounded.
    EXPECT_LE(waveformSegments(rampWaveform(100, 10), {5, 1e-9, 1}, geometry).size(), 1u);
    EXPECT_LE(waveformSegments(rampWaveform(100, 10), {-5e5, 1e6, 1}, geometry).size(), 1u);
}

TEST(TransientTicks, TwoGridLinesSnappingToOneTransientDrawOneTick) {
    // Quiet until 5 s, then loud: one clear onset.
    BeatloomWaveformData waveform;
    waveform.durationSeconds = 10;
    for (int i = 0; i < 1000; ++i) {
        const float level = i < 500 ? 0.01f : 0.9f;
        waveform.minPeaks.push_back(-level);
        waveform.maxPeaks.push_back(level);
    }
    const BeatloomTimelineWindow window{0, 10, 1000};
    const auto ticks = transientTickXs(
        {line(4.97, GridKind::beat), line(4.99, GridKind::subdivision), line(5.03, GridKind::bar, 3)}, waveform,
        window);
    ASSERT_EQ(ticks.size(), 1u);
    EXPECT_NEAR(ticks[0], 500, 10);
    // A transient outside the lane draws no tick.
    EXPECT_TRUE(transientTickXs({line(4.97, GridKind::beat)}, waveform, {6, 4, 1000}).empty());
}

class TimelineMarkersTest : public session::testing::SessionTest {};

TEST_F(TimelineMarkersTest, MarkerLinesFollowTheTableOrderInsideTheWidenedWindow) {
    loadResult({records::tempoPoint(0, 120), records::tempoPoint(6, 100), records::tempoPoint(15, 90)});
    model.meterEvents.set({records::meter(0, 4, 4), records::meter(8, 3, 4)});
    model.barOneSeconds.set(2.0);
    model.barAnchors.set({records::barAnchor(9)});
    BeatloomGridFitAnchor anchor;
    anchor.timeSeconds = 7;
    model.gridFitAnchors.set({anchor});

    const BeatloomTimelineWindow window{1, 10, 100};  // widened: 0.8 ... 11.2; x = 10 (t - 1)
    const std::vector<MarkerLine> outsideGridFit{
        {50, MarkerLineKind::tempoPoint}, {70, MarkerLineKind::meterEvent},
        {10, MarkerLineKind::songBarOne}, {80, MarkerLineKind::lockedDownbeat},
    };
    EXPECT_EQ(markerLines(model, window, false), outsideGridFit);
    auto inGridFit = outsideGridFit;
    inGridFit.push_back({60, MarkerLineKind::gridFitAnchor});
    EXPECT_EQ(markerLines(model, window, true), inGridFit);

    // The widened window takes in the tempo point at 0 s from a start at 0.1 s.
    EXPECT_EQ(markerLines(model, {0.1, 10, 100}, false).front().kind, MarkerLineKind::tempoPoint);
    // One time signature only: no meter line.
    model.meterEvents.set({records::meter(0, 4, 4)});
    for (const auto& marker : markerLines(model, {-1, 30, 100}, false)) EXPECT_NE(marker.kind, MarkerLineKind::meterEvent);
}

TEST_F(TimelineMarkersTest, LocatorAndPlayheadStayDrawnUpToThreePixelsOutsideTheLane) {
    loadResult({records::tempoPoint(0, 120)});
    const BeatloomTimelineWindow window{0, 1, 128};
    model.locatorSeconds.set(131.0 / 128);
    EXPECT_EQ(locatorX(model, window), 131.0);
    model.locatorSeconds.set(131.01 / 128);
    EXPECT_FALSE(locatorX(model, window));
    model.locatorSeconds.set(-3.0 / 128);
    EXPECT_EQ(locatorX(model, window), -3.0);

    const BeatloomTimelineWindow wide{0, 10, 100};
    EXPECT_FALSE(playheadX(model, wide));  // stopped: only the locator
    playFor(2, 0.5);
    ASSERT_TRUE(playing());
    const auto playing = playheadX(model, wide);
    ASSERT_TRUE(playing);
    EXPECT_NEAR(*playing, 25, 1);
    model.previewPlayer().pause();
    EXPECT_EQ(playheadX(model, wide), playing);  // paused: the playhead stays
    EXPECT_FALSE(playheadX(model, {5, 10, 100}));
}

TEST_F(TimelineMarkersTest, CanvasPlanWithoutResultOrWaveformHoldsOnlyTheLocator) {
    const BeatloomEditorUIState ui;
    const auto plan = canvasPlan(model, ui, BeatloomTimelineGeometry{}, {0, 1, 1200}, {});
    EXPECT_FALSE(plan.audioSpan);
    EXPECT_TRUE(plan.gridStrokes.empty());
    EXPECT_TRUE(plan.waveform.empty());
    EXPECT_TRUE(plan.markerLines.empty());  // the default 4/4 has no line
    EXPECT_TRUE(songGridLines(model, BeatloomGridResolution::eighth).empty());
    EXPECT_EQ(plan.locatorX, 0.0);
}

}  // namespace
}  // namespace corvel::editor
