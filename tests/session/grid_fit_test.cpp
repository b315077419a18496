#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/beatloom_view_model.hpp"
#include "session/session_fixture.hpp"

namespace corvel::session {
namespace {

namespace records = corvel::testing;
using BeatloomTimeline::GridKind;
using BeatloomTimeline::GridLine;

class GridFit : public testing::SessionTest {
protected:
    GridFit() {
        loadResult({records::tempoPoint(0, 120)}, {0.0});
        model.barOneSeconds.set(0.0);
    }

    static BeatloomGridFitter::Fit fitOf(double bpm, double rmsSeconds, std::int64_t inliers, std::int64_t outliers) {
        BeatloomGridFitter::Fit fit;
        fit.bpm = bpm;
        fit.secondsPerQuarter = 60 / bpm;
        fit.rmsErrorSeconds = rmsSeconds;
        fit.anchorCount = inliers + outliers;
        fit.inlierCount = inliers;
        fit.outlierCount = outliers;
        return fit;
    }

    std::vector<std::string> undoNames() const {
        std::vector<std::string> names;
        for (const auto& entry : model.editHistory().undoEntries()) names.push_back(entry.actionName);
        return names;
    }
};

// ---- Summary line ----

TEST_F(GridFit, TheSummaryLineTellsWhetherTheFitCanBeApplied) {
    struct Case {
        std::optional<BeatloomGridFitter::Fit> fit;
        std::size_t anchors;
        const char* expected;
    };
    const Case cases[] = {
        {std::nullopt, 0, "Grid Fit ready for anchors."},
        {std::nullopt, 1, "Grid fit: set at least 4 beat lines on transients."},
        {fitOf(120.04, 0.0042, 5, 1), 6, "Grid fit ready: 120.0 BPM · Very good · ±4.2 ms RMS · 1 outlier"},
        {fitOf(120.04, 0.0042, 3, 1), 4, "Grid fit needs 4 reliable anchors · 120.0 BPM preview · 1 outlier"},
        {fitOf(97.25, 0.020, 4, 0), 4, "Grid fit ready: 97.3 BPM · Check anchors · ±20.0 ms RMS"},
        {fitOf(60, 0.001, 2, 3), 5, "Grid fit needs 4 reliable anchors · 60.0 BPM preview · 3 outliers"},
    };
    for (const auto& c : cases) {
        model.gridFitAnchors.set(std::vector<BeatloomGridFitAnchor>(c.anchors));
        model.gridFitResult.set(c.fit);
        EXPECT_EQ(model.gridFitStatusText(), c.expected);
    }
}

TEST_F(GridFit, TheQualityWordChangesAtThreeEightFifteenAndThirtyMilliseconds) {
    struct Case {
        double rmsMilliseconds;
        const char* word;
    };
    const Case cases[] = {{0, "Excellent"},        {2.999, "Excellent"},     {3, "Very good"},
                          {7.999, "Very good"},    {8, "Good"},              {14.999, "Good"},
                          {15, "Check anchors"},   {29.999, "Check anchors"}, {30, "Weak fit"},
                          {400, "Weak fit"}};
    for (const auto& c : cases) {
        EXPECT_EQ(BeatloomViewModel::gridFitQualityWord(c.rmsMilliseconds), c.word) << c.rmsMilliseconds;
        model.gridFitAnchors.set(std::vector<BeatloomGridFitAnchor>(4));
        model.gridFitResult.set(fitOf(120, c.rmsMilliseconds / 1000, 4, 0));
        EXPECT_NE(model.gridFitStatusText().find(std::string(" · ") + c.word + " · "), std::string::npos)
            << c.rmsMilliseconds;
    }
}

TEST_F(GridFit, UndoRefitsThePreviewFromTheRestoredAnchors) {
    const auto anchorAt = [](double quarter, double time) {
        return BeatloomGridFitAnchor{Uuid::random(), quarter, time, std::nullopt, std::nullopt, false,
                                     BeatloomGridFitAnchorSource::manual, false};
    };
    model.performEdit("Place Anchors", "placed", [&](BeatloomViewModel& m) {
        m.gridFitAnchors.set({anchorAt(3, 1.5), anchorAt(1, 0.5), anchorAt(2, 1.0)});
        m.refreshGridFitPreview();
    });
    ASSERT_TRUE(model.gridFitResult.value());
    EXPECT_EQ(model.gridFitAnchors.value()[0].quarterPosition, 1);
    EXPECT_NEAR(model.gridFitResult.value()->bpm, 120, 1e-6);

    model.undo();
    EXPECT_TRUE(model.gridFitAnchors.value().empty());
    EXPECT_FALSE(model.gridFitResult.value());
    EXPECT_EQ(model.gridFitStatusText(), "Grid Fit ready for anchors.");
    model.redo();
    EXPECT_EQ(model.gridFitResult.value(), BeatloomGridFitter::fit(model.gridFitAnchors.value()));
}

}  // namespace
}  // namespace corvel::session
