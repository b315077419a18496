#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>

#include <gtest/gtest.h>

#include "editor/popover_frame.hpp"
#include "editor/toolbar/tempo_control_popover.hpp"
#include "session/session_fixture.hpp"
#include "editor/widget_lookup.hpp"

namespace corvel::editor {
namespace {

namespace records = corvel::testing;
using testing::findBySymbol;
using testing::findByText;
using testing::findByToolTip;
using testing::shownUnder;

// The popover opened from the tempo readout over the session's own operations; only the
// whole-file analysis is counted instead of run.
class TempoPopover : public session::testing::SessionTest {
protected:
    TempoPopover() {
        operations.reanalyzeTempo = [this] { ++reanalyses; };
    }
    ~TempoPopover() override { frame.reset(); }

    static void settle() { QCoreApplication::processEvents(); }

    BeatloomTempoControlPopover& open() {
        frame = std::make_unique<PopoverFrame>(isPresented, nullptr, [this] {
            return new BeatloomTempoControlPopover(model, isPresented, operations);
        });
        isPresented.set(true);
        return *popover();
    }
    BeatloomTempoControlPopover* popover() const {
        return static_cast<BeatloomTempoControlPopover*>(frame->content());
    }
    QAbstractButton* button(const QString& text) const { return findByText<QAbstractButton>(popover(), text); }

    BeatloomTempoOperations operations = BeatloomTempoOperations::of(model);
    Published<bool> isPresented{false};
    std::unique_ptr<PopoverFrame> frame;
    int reanalyses = 0;
};

TEST_F(TempoPopover, OpensWithTheTempoAtTheLocatorAndTellsSongFromSectionTempo) {
    loadResult({records::tempoPoint(0, 120)});
    open();
    EXPECT_EQ(popover()->tempoText(), "120.0");
    EXPECT_TRUE(shownUnder(findByText<QLabel>(popover(), "Edit song tempo"), popover()));
    EXPECT_TRUE(shownUnder(findByText<QLabel>(popover(), "Detected 120.0 BPM"), popover()));
    isPresented.set(false);

    model.editableTempoPoints.set({records::tempoPoint(0, 120), records::tempoPoint(10, 96.44)});
    model.seek(12);
    open();
    EXPECT_EQ(popover()->tempoText(), "96.4");
    EXPECT_NE(findByText<QLabel>(popover(), "Edit tempo at the locator"), nullptr);
}

TEST_F(TempoPopover, WithoutAResultTheFieldReadsZeroAndNothingCanBeReanalyzed) {
    open();
    EXPECT_EQ(popover()->tempoText(), "0.0");
    EXPECT_FALSE(button("Re-analyze Audio")->isEnabled());
    for (const QLabel* label : popover()->findChildren<QLabel*>()) EXPECT_FALSE(label->text().startsWith("Detected"));
}

TEST_F(TempoPopover, AnAcceptedTempoClosesThePopoverAndARefusedOneLeavesItOpenAsTyped) {
    loadResult({records::tempoPoint(0, 120)});
    open();
    popover()->setTempoText("29");
    button("Apply")->click();
    EXPECT_TRUE(isPresented.value());
    EXPECT_EQ(popover()->tempoText(), "29");
    EXPECT_EQ(model.errorText.value(), "Enter a BPM between 30 and 300.");
    // Said in the popover, under the field, not only in the banner at the foot of the page.
    settle();
    EXPECT_TRUE(shownUnder(popover()->refusalLabel(), popover()));
    EXPECT_EQ(popover()->refusalLabel()->text(), "Enter a BPM between 30 and 300.");
    const QRect fieldArea(popover()->findChild<QLineEdit*>()->mapTo(popover(), QPoint(0, 0)),
                          popover()->findChild<QLineEdit*>()->size());
    EXPECT_GT(popover()->refusalLabel()->mapTo(popover(), QPoint(0, 0)).y(), fieldArea.bottom());
    EXPECT_LE(popover()->refusalLabel()->mapTo(popover(), QPoint(0, 0)).y() +
                  popover()->refusalLabel()->height(), popover()->height());

    // Return in the field applies as well; a comma is the session's decimal point too.
    auto* field = popover()->findChild<QLineEdit*>();
    field->setText("75,5");
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_FALSE(isPresented.value());
    EXPECT_DOUBLE_EQ(model.editableTempoPoints.value().front().bpm, 75.5);
}

TEST_F(TempoPopover, HalvingAndDoublingRefreshTheField) {
    loadResult({records::tempoPoint(0, 120)});
    open();
    EXPECT_EQ(findByToolTip<QAbstractButton>(
                  popover(), "Halve the tempo of the section at the locator without re-analyzing audio")->text(),
              "÷2 Half");
    button("÷2 Half")->click();
    EXPECT_EQ(popover()->tempoText(), "60.0");
    button("×2 Double")->click();
    button("×2 Double")->click();
    EXPECT_EQ(popover()->tempoText(), "240.0");
    EXPECT_EQ(model.editHistory().undoEntries().front().actionName, "Half Tempo");
    // A tempo past 300 BPM is the session's to refuse; the field keeps the tempo in force.
    button("×2 Double")->click();
    EXPECT_EQ(popover()->tempoText(), "240.0");
    EXPECT_EQ(model.errorText.value(), "480.0 BPM is outside the supported Beatloom range.");
    EXPECT_TRUE(isPresented.value());
    EXPECT_TRUE(shownUnder(popover()->refusalLabel(), popover()));
    EXPECT_EQ(popover()->refusalLabel()->text(), "480.0 BPM is outside the supported Beatloom range.");
    // The next accepted edit empties the error line, and the popover's message goes with it.
    button("÷2 Half")->click();
    settle();
    EXPECT_FALSE(shownUnder(popover()->refusalLabel(), popover()));
    // A message of another part of the screen stays out of the popover.
    model.errorText.set("Select at least 4 seconds for re-analysis.");
    settle();
    EXPECT_FALSE(shownUnder(popover()->refusalLabel(), popover()));
}

TEST_F(TempoPopover, ActiveShowsExactlyWhileUseDetectedTempoIsDisabled) {
    loadResult({records::tempoPoint(0, 120)});
    open();
    const auto activeShown = [this] {
        return shownUnder(findBySymbol(popover(), "checkmark.circle.fill")->parentWidget(), popover());
    };
    EXPECT_TRUE(activeShown());
    EXPECT_FALSE(button("Use Detected Tempo")->isEnabled());

    button("×2 Double")->click();
    settle();
    EXPECT_FALSE(activeShown());
    EXPECT_TRUE(button("Use Detected Tempo")->isEnabled());

    button("Use Detected Tempo")->click();
    EXPECT_EQ(popover()->tempoText(), "120.0");
    settle();
    EXPECT_TRUE(activeShown());
    EXPECT_FALSE(button("Use Detected Tempo")->isEnabled());
}

TEST_F(TempoPopover, ReanalysisIsOfferedOnlyWithAFileAndNotWhileAnAnalysisRuns) {
    loadResult({records::tempoPoint(0, 120)});
    open();
    auto* reanalyze = findByToolTip<QPushButton>(
        popover(), "Run the Orvanta tempo analyzer again. Meter, Bar 1, Pickup and Free/Rubato edits are preserved.");
    ASSERT_NE(reanalyze, nullptr);
    EXPECT_EQ(reanalyze->text(), "Re-analyze Audio");
    reanalyze->click();
    EXPECT_EQ(reanalyses, 1);

    model.isAnalyzing.set(true);
    settle();
    EXPECT_EQ(reanalyze->text(), "Analyzing…");
    EXPECT_FALSE(reanalyze->isEnabled());
    model.isAnalyzing.set(false);
    model.selectedURL.set(std::nullopt);
    settle();
    EXPECT_EQ(reanalyze->text(), "Re-analyze Audio");
    EXPECT_FALSE(reanalyze->isEnabled());
}

TEST_F(TempoPopover, OperationsTheSessionDoesNotOfferLeaveTheirControlsDisabled) {
    loadResult({records::tempoPoint(0, 120)});
    operations = {};
    open();
    for (const QString text : {"Apply", "÷2 Half", "×2 Double", "Use Detected Tempo", "Re-analyze Audio"}) {
        EXPECT_FALSE(button(text)->isEnabled()) << text.toStdString();
    }
    popover()->applyManualTempo();
    EXPECT_TRUE(isPresented.value());
}

}  // namespace
}  // namespace corvel::editor
