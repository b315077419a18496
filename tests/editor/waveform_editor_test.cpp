#include <QAbstractButton>
#include <QBoxLayout>
#include <QCoreApplication>
#include <QLabel>
#include <QToolButton>

#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "theme/symbol_set.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/timeline/beatloom_timeline_viewport.hpp"
#include "editor/grid_fit_context_bar.hpp"
#include "editor/toolbar/timeline_mode_menu_view.hpp"
#include "editor/toolbar/toolbar_popovers.hpp"
#include "editor/waveform_editor.hpp"
#include "session/session_fixture.hpp"
#include "support/fake_file_panels.hpp"
#include "support/manual_background_runner.hpp"
#include "widget_lookup.hpp"

namespace corvel::editor {
namespace {

namespace records = corvel::testing;
using testing::findBySymbol;
using testing::findByText;
using testing::shownUnder;

BeatloomWaveformData waveformOf(double seconds, std::size_t bins) {
    BeatloomWaveformData data;
    data.durationSeconds = seconds;
    data.minPeaks.assign(bins, -0.5f);
    data.maxPeaks.assign(bins, 0.5f);
    data.sourceDescription = "song.wav";
    return data;
}

class WaveformEditorTest : public session::testing::SessionTest {
protected:
    ~WaveformEditorTest() override { panel.reset(); }

    void loadSong() {
        loadResult({records::tempoPoint(0, 120)}, {0.0});
        model.barOneSeconds.set(0.0);
        model.waveformData.set(waveformOf(session::testing::kSongSeconds, 400));
    }
    void build() { panel = std::make_unique<BeatloomWaveformEditor>(model, model.previewPlayer(), ui); }
    static void settle() { QCoreApplication::processEvents(); }

    bool shown(const QWidget* part) const { return shownUnder(part, panel.get()); }
    bool shownText(const QString& text) const {
        for (QWidget* widget : panel->findChildren<QWidget*>()) {
            if (testing::widgetText(widget) == text && shown(widget)) return true;
        }
        return false;
    }
    // Which of toolbar, range bar, Grid Fit bar, loading, viewport, status row, unavailable show.
    std::vector<bool> parts() const {
        return {shown(panel->toolbar()),          shown(panel->rangeSelectionBar()), shown(panel->gridFitContextBar()),
                shown(panel->loadingState()),     shown(panel->timelineViewport()),  shown(panel->statusRow()),
                shown(panel->unavailableState())};
    }

    BeatloomEditorUIState ui;
    std::unique_ptr<BeatloomWaveformEditor> panel;
};

TEST_F(WaveformEditorTest, StacksToolbarBarsThenTheMainAreaInOrder) {
    loadSong();
    build();
    auto* stack = qobject_cast<QBoxLayout*>(panel->layout());
    ASSERT_NE(stack, nullptr);
    EXPECT_EQ(stack->direction(), QBoxLayout::TopToBottom);
    EXPECT_EQ(stack->spacing(), 9);
    EXPECT_EQ(stack->contentsMargins(), QMargins(12, 12, 12, 12));
    const std::vector<QWidget*> expected{panel->toolbar(),         panel->rangeSelectionBar(), panel->gridFitContextBar(),
                                         panel->loadingState(),    panel->timelineViewport(),  panel->statusRow(),
                                         panel->unavailableState()};
    ASSERT_EQ(stack->count(), int(expected.size()));
    for (int i = 0; i < stack->count(); ++i) EXPECT_EQ(stack->itemAt(i)->widget(), expected[std::size_t(i)]) << i;
}

TEST_F(WaveformEditorTest, ShowsNothingWithoutAResultAndAppearsWithOne) {
    build();
    EXPECT_EQ(parts(), std::vector<bool>(7, false));
    loadSong();
    settle();
    EXPECT_EQ(parts(), (std::vector<bool>{true, false, false, false, true, true, false}));
    model.result.set(std::nullopt);
    settle();
    EXPECT_EQ(parts(), std::vector<bool>(7, false));
}

TEST_F(WaveformEditorTest, EverySymbolThePanelNamesCanBeDrawn) {
    loadSong();
    build();
    settle();
    std::vector<QString> names;
    for (const QWidget* widget : panel->findChildren<QWidget*>()) {
        const QString name = widget->property(theme::kSystemImageProperty).toString();
        if (!name.isEmpty()) names.push_back(name);
    }
    EXPECT_FALSE(names.empty());
    for (const QString& name : names) EXPECT_TRUE(theme::hasSymbol(name)) << name.toStdString();
}

TEST_F(WaveformEditorTest, MainAreaFollowsTheWaveformBuild) {
    loadSong();
    build();
    struct Case {
        bool loading;
        bool hasWaveform;
        bool loadingShown, viewportShown, unavailableShown;
    };
    // Loading wins even over older waveform data still held.
    for (const Case c : {Case{true, true, true, false, false}, Case{true, false, true, false, false},
                         Case{false, true, false, true, false}, Case{false, false, false, false, true}}) {
        model.isWaveformLoading.set(c.loading);
        if (c.hasWaveform) {
            model.waveformData.set(waveformOf(session::testing::kSongSeconds, 400));
        } else {
            model.waveformData.set(std::nullopt);
        }
        settle();
        SCOPED_TRACE(::testing::Message() << "loading " << c.loading << " waveform " << c.hasWaveform);
        EXPECT_EQ(shown(panel->loadingState()), c.loadingShown);
        EXPECT_EQ(shown(panel->timelineViewport()), c.viewportShown);
        EXPECT_EQ(shown(panel->statusRow()), c.viewportShown);
        EXPECT_EQ(shown(panel->unavailableState()), c.unavailableShown);
        EXPECT_TRUE(shown(panel->toolbar()));
    }
    EXPECT_TRUE(shownText("Waveform unavailable"));
    EXPECT_TRUE(findBySymbol(panel.get(), "waveform.badge.exclamationmark") != nullptr);
    // Without an error text only the symbol and the title.
    EXPECT_FALSE(shown(panel->findChild<QLabel*>("waveformErrorText")));
    model.waveformErrorText.set("The audio file could not be decoded.");
    settle();
    EXPECT_TRUE(shownText("The audio file could not be decoded."));

    model.isWaveformLoading.set(true);
    settle();
    EXPECT_TRUE(shownText("Building high-resolution waveform…"));
}

TEST_F(WaveformEditorTest, GridFitModeShowsItsBar) {
    loadSong();
    build();
    EXPECT_FALSE(shown(panel->gridFitContextBar()));
    ui.gridFitMode.set(true);
    settle();
    EXPECT_TRUE(shown(panel->gridFitContextBar()));
    ui.gridFitMode.set(false);
    settle();
    EXPECT_FALSE(shown(panel->gridFitContextBar()));
}

TEST_F(WaveformEditorTest, RangeSelectModeWithoutSelectionShowsTheHintAndCancelEndsOnlyTheMode) {
    loadSong();
    build();
    EXPECT_FALSE(shown(panel->rangeSelectionBar()));
    ui.rangeSelectionMode.set(true);
    settle();
    ASSERT_TRUE(shown(panel->rangeSelectionBar()));
    EXPECT_TRUE(findBySymbol(panel->rangeSelectionBar(), "selection.pin.in.out") != nullptr);
    EXPECT_TRUE(shownText("Drag across the waveform to select a range for targeted re-analysis."));
    EXPECT_FALSE(shownText("Clear"));
    EXPECT_FALSE(shownText("Re-analyze Selection"));
    findByText<QAbstractButton>(panel->rangeSelectionBar(), "Cancel")->click();
    EXPECT_FALSE(ui.rangeSelectionMode.value());
    settle();
    EXPECT_FALSE(shown(panel->rangeSelectionBar()));
}

TEST_F(WaveformEditorTest, ASelectionShowsItsSpanAndTheReanalysisButtonOnlyFromFourSeconds) {
    loadSong();
    build();
    auto* reanalyze = findByText<QAbstractButton>(panel->rangeSelectionBar(), "Re-analyze Selection");
    ASSERT_NE(reanalyze, nullptr);
    struct Case {
        double start, end;
        bool analysing;
        const char* text;
        const char* button;
        bool enabled;
    };
    for (const Case c : {
             Case{2.0, 5.999, false, "Selection  2.000–5.999 s  ·  4.0 s", "Re-analyze Selection", false},
             Case{2.0, 6.0, false, "Selection  2.000–6.000 s  ·  4.0 s", "Re-analyze Selection", true},
             Case{1.25, 13.75, true, "Selection  1.250–13.750 s  ·  12.5 s", "Analyzing…", false},
             Case{6.0, 2.0, false, "Selection  6.000–2.000 s  ·  0.0 s", "Re-analyze Selection", false},
         }) {
        // The mode is off: the selection alone keeps the bar.
        model.analysisSelection.set(BeatloomTimeRange{c.start, c.end});
        model.isAnalyzing.set(c.analysing);
        settle();
        SCOPED_TRACE(c.text);
        EXPECT_TRUE(shown(panel->rangeSelectionBar()));
        EXPECT_TRUE(shownText(c.text));
        EXPECT_EQ(reanalyze->text(), c.button);
        EXPECT_EQ(reanalyze->isEnabled(), c.enabled);
        EXPECT_TRUE(shownText("Clear"));
        EXPECT_FALSE(shownText("Cancel"));
    }
    model.isAnalyzing.set(false);
    ui.rangeSelectionMode.set(true);
    model.analysisSelection.set(BeatloomTimeRange{2.0, 8.0});
    settle();
    findByText<QAbstractButton>(panel->rangeSelectionBar(), "Clear")->click();
    EXPECT_FALSE(model.analysisSelection.value().has_value());
    EXPECT_FALSE(ui.rangeSelectionMode.value());
    settle();
    EXPECT_FALSE(shown(panel->rangeSelectionBar()));
}

TEST_F(WaveformEditorTest, ReanalyzeAsksTheSessionForTheSelection) {
    // The job is queued, never run: only the session's answer at once matters here.
    corvel::testing::ManualBackgroundRunner runner;
    corvel::testing::FakeFilePanels panels;
    model.connectServices(runner, panels);
    loadSong();
    model.analysisSelection.set(BeatloomTimeRange{2.0, 8.0});
    build();
    findByText<QAbstractButton>(panel->rangeSelectionBar(), "Re-analyze Selection")->click();
    EXPECT_TRUE(model.isAnalyzing.value());
    EXPECT_EQ(model.statusText.value(), "Re-analyzing selected 6.0 seconds with musical context…");
    settle();
    EXPECT_EQ(findByText<QAbstractButton>(panel->rangeSelectionBar(), "Analyzing…")->isEnabled(), false);
}

TEST_F(WaveformEditorTest, StatusRowReadsTheLocatorPositionTempoAndFollowState) {
    loadSong();
    model.locatorSeconds.set(2.25);  // 120 BPM from 0 s: the fifth quarter and a half
    build();
    auto* locator = panel->findChild<QLabel*>("statusLocator");
    auto* position = panel->findChild<QLabel*>("statusPosition");
    auto* tempo = panel->findChild<QLabel*>("statusTempo");
    EXPECT_EQ(locator->text(), "0:02.250");
    EXPECT_EQ(position->text(), "2.1");
    EXPECT_TRUE(shown(tempo));
    EXPECT_EQ(tempo->text(), "120.0 BPM");
    EXPECT_EQ(panel->statusRow()->toolTip(), "Waveform cache: 50.00 ms per bucket");
    auto* follow = panel->findChild<theme::SymbolImage*>("followPlaybackIndicator");
    EXPECT_EQ(follow->name(), "location.fill");
    EXPECT_EQ(follow->toolTip(), "Follow Playback on");

    model.locatorSeconds.set(125.25);
    model.pageFollowEnabled.set(false);
    settle();
    EXPECT_EQ(locator->text(), "2:05.250");
    EXPECT_EQ(follow->name(), "location.slash");
    EXPECT_EQ(follow->toolTip(), "Follow Playback paused");

    // The texts for what the session cannot say.
    EXPECT_EQ(BeatloomWaveformEditor::musicalPositionText(std::nullopt), "—");
    EXPECT_EQ(BeatloomWaveformEditor::musicalPositionText(BeatloomMusicalPosition{0, 4, 0}), "P.4");
    EXPECT_EQ(BeatloomWaveformEditor::tempoText(std::nullopt), "");
    // Peaks without bins divide by one: the whole duration in milliseconds.
    EXPECT_EQ(BeatloomWaveformEditor::cacheHelpText(waveformOf(1.5, 0)), "Waveform cache: 1500.00 ms per bucket");
}

TEST_F(WaveformEditorTest, InsideRubatoTheStatusRowShowsThePositionTheAnchorsGive) {
    loadSong();
    // A Rubato region from 4 s (bar 3 at 120 BPM) with its first anchor there; the locator a
    // second later, where the metered grid would say 3.3 but the grid shows nothing yet.
    const auto rubato = records::region(4, 10);
    const auto first = records::rhythmicAnchor(rubato, 4, 8.0, BeatloomMusicalPosition{3, 1, 0});
    model.timelineRegions.set({rubato});
    model.rhythmicAnchors.set({first});
    model.locatorSeconds.set(5);
    build();
    auto* position = panel->findChild<QLabel*>("statusPosition");
    EXPECT_EQ(position->text(), "—");
    // A pressed there makes the next beat: the row follows without the locator moving.
    model.rhythmicAnchors.set({first, records::rhythmicAnchor(rubato, 5, 9.0, BeatloomMusicalPosition{3, 2, 0})});
    settle();
    EXPECT_EQ(position->text(), "3.2");
}

TEST_F(WaveformEditorTest, ToolbarHostsTheTimelineModeMenuWithTextOnlyInTheFullLayout) {
    loadSong();
    build();
    panel->show();
    // The toolbar's row is the panel's width less the panel's and the strip's padding.
    const int padding = 2 * BeatloomWaveformEditor::kPadding + 20;
    for (const auto layout :
         {BeatloomToolbarLayout::full, BeatloomToolbarLayout::medium, BeatloomToolbarLayout::compact}) {
        const int width = panel->toolbar()->requiredWidth(layout) + padding;
        panel->resize(width, 700);
        settle();
        ASSERT_EQ(panel->toolbar()->currentLayout(), layout) << width;
        // The menu has no meta-object of its own, so it is told apart from other tool buttons by its type.
        std::vector<BeatloomTimelineModeMenu*> menus;
        for (QToolButton* button : panel->toolbar()->row()->findChildren<QToolButton*>()) {
            if (auto* menu = dynamic_cast<BeatloomTimelineModeMenu*>(button)) menus.push_back(menu);
        }
        ASSERT_EQ(menus.size(), 1) << width;
        EXPECT_EQ(menus.front()->showText(), layout == BeatloomToolbarLayout::full) << width;
    }
}

}  // namespace
}  // namespace corvel::editor
