#include <QCoreApplication>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>

#include <gtest/gtest.h>

#include <algorithm>

#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/timeline/beatloom_timeline_viewport.hpp"
#include "editor/published_repaint_bridge.hpp"
#include "editor/timeline/timeline_input.hpp"
#include "editor/timeline/widget_backdrop.hpp"
#include "session/session_fixture.hpp"
#include "support/paint_counter.hpp"

namespace corvel::editor {
namespace {

namespace records = corvel::testing;

class TimelineViewportTest : public session::testing::SessionTest {
protected:
    BeatloomTimelineViewport& viewport() {
        if (!viewport_) viewport_ = std::make_unique<BeatloomTimelineViewport>(model, model.previewPlayer(), ui);
        return *viewport_;
    }

    // Lets the event loop run the queued flushes.
    static void settle() { QCoreApplication::processEvents(); }

    // Paints the whole timeline into an image, as the screen would.
    QImage render() {
        QImage image(viewport().size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        viewport().paintTimeline(painter);
        return image;
    }

    static BeatloomWaveformData noisyWaveform(std::size_t bins, double duration) {
        BeatloomWaveformData waveform;
        waveform.durationSeconds = duration;
        for (std::size_t i = 0; i < bins; ++i) {
            const float level = (i % 7 == 0) ? 0.9f : 0.1f;
            waveform.minPeaks.push_back(-level);
            waveform.maxPeaks.push_back(level);
        }
        return waveform;
    }

    BeatloomEditorUIState ui;
    std::unique_ptr<BeatloomTimelineViewport> viewport_;
};

TEST_F(TimelineViewportTest, ManyPublishedChangesBeforeTheEventLoopRunsRepaintOnceAndRebuildTheGridOnce) {
    loadResult({records::tempoPoint(0, 120)});
    viewport().resize(1000, viewport().height());
    settle();
    viewport().canvasPlan();
    const int flushes = viewport().repaintBridge().flushCount();
    const auto rebuilds = viewport().songLineRebuilds();

    for (int i = 1; i <= 20; ++i) {
        model.locatorSeconds.set(0.1 * i);
        model.viewportState.set({0.05 * i, 10, 1000});
        model.editableTempoPoints.set({records::tempoPoint(0, 100 + i)});
    }
    ui.gridResolution.set(BeatloomGridResolution::sixteenth);
    ui.showTransients.set(true);
    EXPECT_TRUE(viewport().repaintBridge().isPending());
    settle();

    EXPECT_EQ(viewport().repaintBridge().flushCount(), flushes + 1);
    EXPECT_FALSE(viewport().repaintBridge().isPending());
    viewport().canvasPlan();
    viewport().canvasPlan();
    EXPECT_EQ(viewport().songLineRebuilds(), rebuilds + 1);
    // The rebuilt grid follows the newest map and resolution: 120 BPM sixteenths are 0.125 s at 120.
    EXPECT_NEAR(viewport().songLines().at(1).timeSeconds, 60.0 / 120 / 4, 1e-9);

    // Changes that only move the view leave the song's grid alone.
    model.viewportState.set({3, 5, 1000});
    settle();
    viewport().canvasPlan();
    EXPECT_EQ(viewport().songLineRebuilds(), rebuilds + 1);
}

TEST_F(TimelineViewportTest, BridgeDropsItsPendingFlushWhenDestroyed) {
    Published<int> value{0};
    int flushes = 0;
    auto bridge = std::make_unique<PublishedRepaintBridge>([&] { ++flushes; });
    bridge->watch(value);
    value.set(1);
    bridge.reset();
    value.set(2);
    settle();
    EXPECT_EQ(flushes, 0);
}

TEST_F(TimelineViewportTest, TellsTheSessionItsWidthAndFollowsTheLargeWaveformSwitch) {
    viewport().resize(640, 10);
    viewport().show();
    EXPECT_EQ(model.viewportState.value().viewportPixelWidth, 640);
    EXPECT_EQ(viewport().height(), 552);
    ui.waveformLarge.set(false);
    settle();
    EXPECT_EQ(viewport().height(), 452);
    EXPECT_EQ(viewport().geometry().timeRulerTop(), 426);
    EXPECT_EQ(viewport().accessibleName(), QStringLiteral("Beatloom waveform editor"));
}

TEST_F(TimelineViewportTest, MovingPlayHeadTurnsThePageWhileFollowing) {
    loadResult({records::tempoPoint(0, 120)});
    viewport();
    model.viewportState.set({0, 4, 1000});
    playFor(0, 3.7);
    ASSERT_TRUE(playing());
    // At nine tenths of the window the page turns to put the play head a tenth in.
    EXPECT_GT(model.viewportState.value().visibleStartSeconds, 3.0);
}

TEST_F(TimelineViewportTest, CutsTheGridToTheWindowAndHidesSubdivisionsWhenAsked) {
    loadResult({records::tempoPoint(0, 120)});  // a beat every 0.5 s, eighths every 0.25 s
    viewport().resize(1000, viewport().height());
    model.viewportState.set({5, 2, 1000});  // widened: 4.96 ... 7.04
    const auto lines = viewport().visibleGridLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NEAR(lines.front().timeSeconds, 5.0, 1e-9);
    EXPECT_NEAR(lines.back().timeSeconds, 7.0, 1e-9);
    EXPECT_EQ(lines.size(), 9u);
    ui.showSubdivisions.set(false);
    EXPECT_EQ(viewport().visibleGridLines().size(), 5u);
}

TEST_F(TimelineViewportTest, PaintsWithoutFileOrResult) {
    viewport().resize(800, viewport().height());
    const QImage image = render();
    // The frame's fill reaches the centre of the waveform lane.
    EXPECT_GT(qAlpha(image.pixel(400, 300)), 0);
}

TEST_F(TimelineViewportTest, DrawsNoWaveformWhereThereIsNoAudio) {
    loadResult({records::tempoPoint(0, 120)});
    BeatloomWaveformData loud;
    loud.durationSeconds = session::testing::kSongSeconds;
    loud.minPeaks.assign(65536, -0.95f);
    loud.maxPeaks.assign(65536, 0.95f);
    model.waveformData.set(loud);
    viewport().resize(1200, viewport().height());
    model.viewportState.set({-10, 40, 1200});  // the song lies from x = 300 to x = 900
    model.seek(5);                            // keep the locator away from both ends
    const QImage image = render();
    const auto g = viewport().geometry();
    const auto bright = [&](int x) {
        int count = 0;
        for (int y = int(g.waveformTop()) + 20; y < int(g.waveformTop() + g.waveformHeight()) - 20; ++y) {
            if (qRed(image.pixel(x, y)) > 150) ++count;
        }
        return count;
    };
    EXPECT_GT(bright(600), 300);  // the trace is there where the audio is
    for (int x = 12; x < 298; ++x) EXPECT_EQ(bright(x), 0) << "before 0 s at x = " << x;
    for (int x = 902; x < 1188; ++x) EXPECT_EQ(bright(x), 0) << "after the end at x = " << x;
}

TEST_F(TimelineViewportTest, NoTwoRulerLabelsOverlapNorTheAudioStartTag) {
    loadResult({records::tempoPoint(0, 120), records::tempoPoint(8, 97)});
    model.meterEvents.set({records::meter(0, 4, 4), records::meter(6, 3, 4)});
    model.pickupBarCount.set(2);
    struct Case {
        session::BeatloomViewportState window;
        bool showsTag;
    };
    const Case cases[] = {
        {{-2, 10, 800}, true},    // the tag stands right over where 0:00.000 would be
        {{-2.3, 10, 800}, true},
        {{-0.4, 3, 800}, true},   // beat labels too
        {{-30, 60, 800}, true},
        {{0, 20, 800}, false},
        {{3, 0.8, 800}, false},   // a deep zoom with every beat labelled
    };
    for (const auto& c : cases) {
        viewport().resize(int(c.window.viewportPixelWidth), viewport().height());
        model.viewportState.set(c.window);
        const auto tag = viewport().audioStartTagBox();
        EXPECT_EQ(tag.has_value(), c.showsTag);
        const auto labels = viewport().placedRulerLabels();
        ASSERT_FALSE(labels.empty());
        for (std::size_t i = 0; i < labels.size(); ++i) {
            if (tag) {
                EXPECT_FALSE(labels[i].box.intersects(*tag)) << labels[i].label.text;
            }
            for (std::size_t j = i + 1; j < labels.size(); ++j) {
                EXPECT_FALSE(labels[i].box.intersects(labels[j].box))
                    << labels[i].label.text << " and " << labels[j].label.text << " at " << c.window.visibleStartSeconds;
            }
        }
    }
}

// A window that paints its left half red and its right half green, and counts its paints.
class TwoColourWindow final : public QWidget {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent*) override {
        ++paints;
        QPainter painter(this);
        painter.fillRect(QRect(0, 0, width() / 2, height()), Qt::red);
        painter.fillRect(QRect(width() / 2, 0, width() - width() / 2, height()), Qt::green);
    }
};

TEST_F(TimelineViewportTest, InAWindowTheTimelineIsOpaqueOverAPictureOfWhatLiesBeneathAndLeavesItAlone) {
    loadResult({records::tempoPoint(0, 120)});
    TwoColourWindow window;
    window.resize(1600, 700);
    BeatloomTimelineViewport timeline(model, model.previewPlayer(), ui, &window);
    timeline.setGeometry(100, 50, 600, int(timeline.geometry().totalHeight()));  // over the red half
    model.viewportState.set({0, 10, 600});
    model.seek(2);
    corvel::testing::PaintCounter timelinePaints;
    timeline.installEventFilter(&timelinePaints);
    window.show();
    for (int i = 0; i < 5; ++i) settle();
    ASSERT_NE(timeline.backdrop().picture(), nullptr);
    EXPECT_TRUE(timeline.testAttribute(Qt::WA_OpaquePaintEvent));
    const int renders = timeline.backdrop().renderCount();

    // Moving the locator repaints the timeline but not the window beneath it.
    const int windowPaints = window.paints;
    const int paints = timelinePaints.paints;
    model.seek(5);
    for (int i = 0; i < 3; ++i) settle();
    EXPECT_GT(timelinePaints.paints, paints);
    EXPECT_EQ(window.paints, windowPaints);

    // The frame's rounded corners show the window, and the lanes let it through.
    const auto seen = [&] { return window.grab().toImage(); };
    QImage image = seen();
    EXPECT_EQ(image.pixelColor(101, 51), QColor(Qt::red));
    const QColor lane = image.pixelColor(263, 50 + int(timeline.geometry().rulerHeight) + 20);
    EXPECT_GT(lane.red(), lane.green() + 20);

    // Moved over the green half, the picture beneath is made again.
    timeline.move(900, 50);
    for (int i = 0; i < 5; ++i) settle();
    EXPECT_EQ(timeline.backdrop().renderCount(), renders + 1);
    image = seen();
    EXPECT_EQ(image.pixelColor(901, 51), QColor(Qt::green));
    const QColor moved = image.pixelColor(1063, 50 + int(timeline.geometry().rulerHeight) + 20);
    EXPECT_GT(moved.green(), moved.red() + 20);
    // Its own window has nothing beneath it: no picture, not opaque.
    EXPECT_EQ(viewport().backdrop().picture(), nullptr);
    EXPECT_FALSE(viewport().testAttribute(Qt::WA_OpaquePaintEvent));
}

TEST_F(TimelineViewportTest, RegionBandsTintTheMarkerAndWaveformLanesOverTheirColumnsOnly) {
    loadResult({records::tempoPoint(0, 120)});
    viewport().resize(1000, viewport().height());
    model.viewportState.set({0, 10, 1000});
    model.timelineRegions.set({records::region(2, 4, BeatloomTimelineMode::free),
                               records::region(6, 8, BeatloomTimelineMode::rubato)});
    model.seek(9.5);
    const QImage image = render();
    const auto g = viewport().geometry();
    // Columns clear of grid lines, in the marker lane and in the waveform lane (no waveform).
    for (const int y : {int(g.rulerHeight) + 45, int(g.waveformTop()) + 60}) {
        const QColor plain = image.pixelColor(110, y);
        const QColor free = image.pixelColor(310, y);
        const QColor rubato = image.pixelColor(710, y);
        EXPECT_GT(free.blue(), plain.blue()) << y;
        EXPECT_GT(rubato.red(), plain.red()) << y;
        EXPECT_EQ(image.pixelColor(510, y), plain) << y;
    }
    // The ruler lanes are not tinted.
    EXPECT_EQ(image.pixelColor(310, int(g.timeRulerTop()) + 3), image.pixelColor(110, int(g.timeRulerTop()) + 3));
}

TEST_F(TimelineViewportTest, LabelsAtTheEndsOfTheLanesAndTheLocatorFlagStayInside) {
    loadResult({records::tempoPoint(0, 120)});
    for (const double width : {800.0, 1337.0}) {
        viewport().resize(int(width), viewport().height());
        for (const session::BeatloomViewportState& window :
             {session::BeatloomViewportState{0, 20, width}, session::BeatloomViewportState{0.97, 9.03, width},
              session::BeatloomViewportState{3.3, 2.7, width}}) {
            model.viewportState.set(window);
            const auto labels = viewport().placedRulerLabels();
            ASSERT_FALSE(labels.empty());
            bool zero = false;
            for (const auto& [label, box] : labels) {
                EXPECT_GE(box.left(), 0) << label.text;
                EXPECT_LE(box.right(), width) << label.text;
                zero |= label.text == "0:00.000";
            }
            // The first time label of a window that starts at the song's start is there.
            EXPECT_EQ(zero, window.visibleStartSeconds == 0);
        }
    }
    // The flag keeps a pixel below the top and clear of the frame's rounded corners.
    for (const double x : {0.0, 5.0, 400.0, 1336.0}) {
        const auto flag = locatorFlagPlacement(x, 1337);
        ASSERT_TRUE(flag);
        EXPECT_GE(flag->centreY - (15 + 4) / 2.0, 1.0);
        EXPECT_GE(flag->centreX - 15, BeatloomTimelineViewport::kCornerRadius - 3);
        EXPECT_LE(flag->centreX + 15, 1337 - BeatloomTimelineViewport::kCornerRadius + 3);
    }
}

TEST_F(TimelineViewportTest, TheLocatorFlagCoversNoRulerLabelItMovesItAsideOrItGivesWay) {
    // 120 BPM in 4/4: a bar every 2 s.
    loadResult({records::tempoPoint(0, 120)});
    viewport().resize(1000, viewport().height());
    struct Case {
        const char* what;
        session::BeatloomViewportState window;
        double locator;
        bool barThreeShown;  // "3.1", the label of the bar at 4 s
    };
    const Case cases[] = {
        {"on a bar line, room beside it: the label moves right", {0, 20, 1000}, 4.0, true},
        {"just left of the bar line", {0, 20, 1000}, 3.8, true},
        {"over the label's text", {0, 20, 1000}, 4.4, true},
        {"bars 44 px apart: no room beside it, the label gives way", {0, 45.5, 1000}, 4.0, false},
        {"between the bar line and the next beat's label", {0, 10, 1000}, 4.0, true},
        {"far from the label: it stays", {0, 20, 1000}, 7.0, true},
    };
    for (const auto& c : cases) {
        model.viewportState.set(c.window);
        model.seek(c.locator);
        const double x = (c.locator - c.window.visibleStartSeconds) * 1000 / c.window.visibleDurationSeconds;
        const auto flag = locatorFlagPlacement(x, 1000);
        ASSERT_TRUE(flag) << c.what;
        const auto placed = viewport().placedRulerLabels();
        const auto shown = viewport().shownRulerLabels();
        bool barThree = false;
        for (const auto& [label, box] : shown) {
            for (const auto& part : locatorFlagBoxes(*flag)) {
                EXPECT_FALSE(part.intersects({box.left(), box.top(), box.right(), box.bottom()}))
                    << c.what << ": " << label.text;
            }
            EXPECT_GE(box.left(), 0) << c.what << ": " << label.text;
            EXPECT_LE(box.right(), 1000) << c.what << ": " << label.text;
            barThree |= label.text == "3.1";
        }
        EXPECT_EQ(barThree, c.barThreeShown) << c.what;
        // Still no two labels meet, and what the flag leaves alone stays.
        for (std::size_t i = 0; i < shown.size(); ++i) {
            const QRectF& a = shown[i].box;
            for (std::size_t j = i + 1; j < shown.size(); ++j) EXPECT_FALSE(a.intersects(shown[j].box)) << c.what;
        }
        for (const auto& [label, box] : placed) {
            const LabelBox placedBox{box.left(), box.top(), box.right(), box.bottom()};
            const auto parts = locatorFlagBoxes(*flag);
            if (parts[0].intersects(placedBox) || parts[1].intersects(placedBox)) continue;
            EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [&](const auto& s) { return s.box == box; }))
                << c.what << ": " << label.text;
        }
    }

    // The locator moving onto the bar line moves the label in the frame without drawing the
    // still layers again: the label's text is gone from its place under the flag.
    model.viewportState.set({0, 20, 1000});
    model.seek(7.0);
    settle();
    const QImage away = render();
    const auto rebuilds = viewport().layerRebuilds();
    model.seek(4.0);
    settle();
    const QImage onBar = render();
    EXPECT_EQ(viewport().layerRebuilds(), rebuilds);
    QRectF moved;
    QRectF was;
    for (const auto& [label, box] : viewport().shownRulerLabels()) {
        if (label.text == "3.1") moved = box;
    }
    for (const auto& [label, box] : viewport().placedRulerLabels()) {
        if (label.text == "3.1") was = box;
    }
    ASSERT_FALSE(moved.isNull());
    ASSERT_GT(moved.left(), was.left());
    // Right of the flag, where the label now stands, the picture changed; the next bar's label
    // did not.
    const auto differs = [&](const QRectF& box) {
        for (int y = int(box.top()) + 1; y < int(box.bottom()); ++y) {
            for (int x = int(box.left()) + 1; x < int(box.right()); ++x) {
                if (away.pixel(x, y) != onBar.pixel(x, y)) return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(differs(QRectF(was.right() + 1, was.top(), moved.right() - was.right() - 2, was.height())));
    for (const auto& [label, box] : viewport().placedRulerLabels()) {
        if (label.text == "5.1") {
            EXPECT_FALSE(differs(box));
        }
    }
}

TEST_F(TimelineViewportTest, LocatorAndPlayHeadMovesRepaintTheirStripsWithoutRedrawingTheStillLayers) {
    loadResult({records::tempoPoint(0, 120)});
    model.waveformData.set(noisyWaveform(20000, session::testing::kSongSeconds));
    viewport().resize(1000, viewport().height());
    model.viewportState.set({0, 10, 1000});
    model.seek(3);
    settle();
    render();
    const auto rebuilds = viewport().layerRebuilds();
    model.seek(5.5);
    settle();
    const QImage moved = render();
    EXPECT_EQ(viewport().layerRebuilds(), rebuilds);
    // The locator stands at its new place (a blue line at x = 550), no longer at the old one.
    const auto blueness = [&](int x) { return qBlue(moved.pixel(x, 300)) - qRed(moved.pixel(x, 300)); };
    EXPECT_GT(blueness(550), 100);
    EXPECT_LT(blueness(300), 50);

    model.viewportState.set({1, 10, 1000});
    settle();
    render();
    EXPECT_EQ(viewport().layerRebuilds(), rebuilds + 1);
}

TEST_F(TimelineViewportTest, PaintsAtExtremeZoomsAndWidths) {
    loadResult({records::tempoPoint(0, 120), records::tempoPoint(10, 90, true), records::tempoPoint(15, 140)});
    model.waveformData.set(noisyWaveform(20000, session::testing::kSongSeconds));
    model.barOneSeconds.set(1.0);
    model.barAnchors.set({records::barAnchor(3)});
    model.meterEvents.set({records::meter(0, 4, 4), records::meter(8, 7, 8)});
    ui.gridFitMode.set(true);
    ui.showTransients.set(true);
    ui.gridResolution.set(BeatloomGridResolution::sixteenth);
    playFor(4, 0.5);

    const session::BeatloomViewportState windows[] = {
        {4.0, 1e-9, 1200},  // far below one bin per pixel
        {4.0, 1e-3, 1200},
        {-10, 40, 1200},    // before and after the song
        {0, 1e6, 1200},     // far more bins than pixels
        {1e9, 5, 1200},     // nowhere near the song
    };
    for (const int width : {1, 3, 1600}) {
        viewport().resize(width, viewport().height());
        for (const auto& window : windows) {
            model.viewportState.set(window);
            const auto plan = viewport().canvasPlan();
            EXPECT_LE(plan.waveform.size(), std::size_t(std::max(width, 1)) + 20000u);
            EXPECT_FALSE(render().isNull());
        }
    }
}

}  // namespace
}  // namespace corvel::editor
