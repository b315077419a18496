#include <QCheckBox>
#include <QLabel>
#include <QCoreApplication>
#include <QMenu>
#include <QPushButton>

#include <memory>

#include <gtest/gtest.h>

#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/grid_fit_context_bar.hpp"
#include "session/session_fixture.hpp"
#include "session/undo_names.hpp"
#include "widget_lookup.hpp"

namespace corvel::editor {
namespace {

namespace records = corvel::testing;
using testing::findBySymbol;
using testing::findByText;
using testing::shownUnder;

class GridFitBar : public session::testing::SessionTest {
protected:
    GridFitBar() {
        loadResult({records::tempoPoint(0, 120)}, {0.0});
        model.barOneSeconds.set(0.0);
        ui.gridFitMode.set(true);
        bar = std::make_unique<BeatloomGridFitContextBar>(model, ui);
    }
    ~GridFitBar() override { bar.reset(); }

    static void settle() { QCoreApplication::processEvents(); }

    // Beat lines dropped on a steady pulse of `secondsPerQuarter`, as one recorded step.
    void placeAnchors(int count, double secondsPerQuarter, double firstTime = 0) {
        std::vector<BeatloomGridFitAnchor> anchors;
        for (int i = 0; i < count; ++i) {
            BeatloomGridFitAnchor anchor;
            anchor.quarterPosition = i;
            anchor.timeSeconds = firstTime + i * secondsPerQuarter;
            anchors.push_back(anchor);
        }
        model.performEdit("Place Anchors", "placed", [&](session::BeatloomViewModel& m) {
            m.gridFitAnchors.set(std::move(anchors));
            m.refreshGridFitPreview();
        });
        settle();
    }

    void showFit(double bpm, double rmsSeconds, std::int64_t inliers, std::int64_t outliers) {
        BeatloomGridFitter::Fit fit;
        fit.bpm = bpm;
        fit.rmsErrorSeconds = rmsSeconds;
        fit.inlierCount = inliers;
        fit.outlierCount = outliers;
        fit.anchorCount = inliers + outliers;
        model.gridFitResult.set(fit);
        settle();
    }

    bool shown(const QString& text) const {
        for (QWidget* widget : bar->findChildren<QWidget*>()) {
            if (testing::widgetText(widget) == text && shownUnder(widget, bar.get())) return true;
        }
        return false;
    }

    QWidget* openMore() {
        findBySymbol(bar.get(), "ellipsis");
        findByText<QAbstractButton>(bar.get(), "")->click();
        return bar->morePopoverContent();
    }

    std::vector<std::string> undoNames() const { return session::testing::undoNames(model); }

    BeatloomEditorUIState ui;
    std::unique_ptr<BeatloomGridFitContextBar> bar;
};

TEST_F(GridFitBar, WithoutAnchorsShowsTheHintAndNothingCanBeAppliedLockedOrCleared) {
    findBySymbol(bar.get(), "scope");
    EXPECT_TRUE(shown("Grid Fit"));
    EXPECT_TRUE(shown("0 anchors"));
    EXPECT_TRUE(shown("Drag beat/bar lines onto transients"));
    EXPECT_FALSE(findByText<QAbstractButton>(bar.get(), "Apply")->isEnabled());
    EXPECT_TRUE(findByText<QAbstractButton>(bar.get(), "Cancel")->isEnabled());

    QWidget* more = openMore();
    ASSERT_NE(more, nullptr);
    EXPECT_TRUE(ui.showGridFitMorePopover.value());
    EXPECT_FALSE(findByText<QPushButton>(more, "Lock Corrected Range")->isEnabled());
    EXPECT_FALSE(findByText<QPushButton>(more, "Clear Anchors")->isEnabled());
    EXPECT_FALSE(shownUnder(findByText<QPushButton>(more, "Unlock Range"), more));
    // The more button turns the popover off again.
    findByText<QAbstractButton>(bar.get(), "")->click();
    EXPECT_FALSE(ui.showGridFitMorePopover.value());
    EXPECT_EQ(bar->morePopoverContent(), nullptr);
}

TEST_F(GridFitBar, ShowsTheFitsTempoErrorAndOutliersAndAppliesOnlyWithFourInliers) {
    struct Case {
        double bpm, rms;
        std::int64_t inliers, outliers;
        QString tempo, error, outlierText;
        bool canApply;
    };
    const std::vector<Case> cases{
        {121.25, 0.0062, 3, 0, "121.3 BPM", "±6.2 ms", "", false},
        {121.44, 0.0062, 4, 1, "121.4 BPM", "±6.2 ms", "1 outlier", true},
        {98.0, 0.01255, 5, 2, "98.0 BPM", "±12.6 ms", "2 outliers", true},
    };
    for (const Case& c : cases) {
        showFit(c.bpm, c.rms, c.inliers, c.outliers);
        SCOPED_TRACE(c.tempo.toStdString());
        EXPECT_FALSE(shown("Drag beat/bar lines onto transients"));
        EXPECT_TRUE(shown(c.tempo));
        EXPECT_TRUE(shown(c.error));
        if (c.outlierText.isEmpty()) {
            for (const QLabel* label : bar->findChildren<QLabel*>()) {
                EXPECT_FALSE(label->text().contains("outlier") && shownUnder(label, bar.get()));
            }
        } else {
            EXPECT_TRUE(shown(c.outlierText));
        }
        EXPECT_EQ(findByText<QAbstractButton>(bar.get(), "Apply")->isEnabled(), c.canApply);
    }
    EXPECT_EQ(BeatloomGridFitContextBar::anchorCountText(1), "1 anchors");
    EXPECT_EQ(BeatloomGridFitContextBar::lockedRangeText({Uuid::random(), 12.5, 31.75}), "12.50–31.75 s");
}

TEST_F(GridFitBar, ApplyWritesTheFitAsOneStepAndKeepsGridFitMode) {
    placeAnchors(6, 0.49);
    EXPECT_TRUE(shown("6 anchors"));
    findByText<QAbstractButton>(bar.get(), "Apply")->click();
    EXPECT_EQ(undoNames().back(), "Apply Grid Fit");
    EXPECT_NEAR(model.editableTempoPoints.value().front().bpm, 60 / 0.49, 1e-6);
    EXPECT_TRUE(ui.gridFitMode.value());
}

TEST_F(GridFitBar, CancelClearsTheAnchorsAsOneStepAndLeavesGridFitModeButNotThePopoverFlag) {
    placeAnchors(4, 0.5);
    openMore();
    findByText<QAbstractButton>(bar.get(), "Cancel")->click();
    EXPECT_TRUE(model.gridFitAnchors.value().empty());
    EXPECT_EQ(undoNames(), (std::vector<std::string>{"Place Anchors", "Clear Grid Fit"}));
    EXPECT_EQ(model.statusText.value(), "Grid-fit anchors cleared.");
    EXPECT_FALSE(ui.gridFitMode.value());
    EXPECT_TRUE(ui.showGridFitMorePopover.value());

    model.undo();
    EXPECT_EQ(model.gridFitAnchors.value().size(), 4u);
    EXPECT_FALSE(ui.gridFitMode.value());
}

TEST_F(GridFitBar, LockedRangesAreLockedListedAndUnlockedFromTheMorePopover) {
    placeAnchors(4, 0.5, 2.0);
    QWidget* more = openMore();
    auto* lock = findByText<QPushButton>(more, "Lock Corrected Range");
    auto* unlock = findByText<QPushButton>(more, "Unlock Range");
    ASSERT_TRUE(lock->isEnabled());
    lock->click();
    settle();
    ASSERT_EQ(model.lockedRanges.value().size(), 1u);
    EXPECT_EQ(undoNames().back(), "Lock Corrected Section");
    EXPECT_TRUE(shownUnder(unlock, more));
    ASSERT_EQ(unlock->menu()->actions().size(), 1);
    EXPECT_EQ(unlock->menu()->actions().front()->text(), "2.00–3.50 s");

    unlock->menu()->actions().front()->trigger();
    settle();
    EXPECT_TRUE(model.lockedRanges.value().empty());
    EXPECT_EQ(undoNames().back(), "Unlock Corrected Section");
    EXPECT_EQ(model.statusText.value(), "Corrected section unlocked.");
    EXPECT_FALSE(shownUnder(unlock, more));
    EXPECT_TRUE(ui.showGridFitMorePopover.value());

    model.undo();
    settle();
    EXPECT_EQ(model.lockedRanges.value().size(), 1u);
    EXPECT_TRUE(shownUnder(unlock, more));
    EXPECT_EQ(unlock->menu()->actions().size(), 1);

    // Clearing the anchors keeps the mode and the popover.
    findByText<QCheckBox>(more, "Transient Snap")->click();
    EXPECT_FALSE(ui.transientSnapEnabled.value());
    findByText<QPushButton>(more, "Clear Anchors")->click();
    settle();
    EXPECT_TRUE(model.gridFitAnchors.value().empty());
    EXPECT_EQ(undoNames().back(), "Clear Grid Fit");
    EXPECT_TRUE(ui.gridFitMode.value());
    EXPECT_TRUE(ui.showGridFitMorePopover.value());
    EXPECT_FALSE(lock->isEnabled());
    EXPECT_TRUE(shown("0 anchors"));
}

}  // namespace
}  // namespace corvel::editor
