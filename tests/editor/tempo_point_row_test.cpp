#include "editor/tempo_point_row.hpp"

#include <QAbstractButton>
#include <QImage>
#include <QLabel>
#include <QTest>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "session/session_fixture.hpp"
#include "session/undo_names.hpp"

namespace corvel::editor {
namespace {

namespace records = corvel::testing;
using session::testing::undoNames;

TEST(FormatLocatorTime, MinutesAndSecondsWithTwoDecimals) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {75.5, "1:15.50"},   {5.25, "0:05.25"},  {3725, "62:05.00"}, {0, "0:00.00"},
        {-3, "0:00.00"},     {59.999, "0:60.00"}, {std::numeric_limits<double>::quiet_NaN(), "0:00.00"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatLocatorTime(c.seconds), c.text) << c.seconds;
}

TEST(ParseTempoPointTime, OnlyTheWholeTextAsANumberWithPointOrComma) {
    EXPECT_EQ(parseTempoPointTime("12,5"), 12.5);
    EXPECT_EQ(parseTempoPointTime("12.5"), 12.5);
    for (const char* unreadable : {"", "12.5 s", " 12.5", "12.5 ", "s", "nan", "inf"}) {
        EXPECT_FALSE(parseTempoPointTime(unreadable)) << unreadable;
    }
}

class TempoPointRowTest : public session::testing::SessionTest {
protected:
    // One row per point of the map, as the screen builds them.
    void buildRows() {
        rows.clear();
        const auto& points = model.editableTempoPoints.value();
        for (std::size_t i = 0; i < points.size(); ++i) {
            rows.push_back(std::make_unique<BeatloomTempoPointRow>(model, points[i], int(i), i + 1 == points.size(),
                                                                   session::testing::kSongSeconds));
        }
    }
    // The rows follow the map, as the screen keeps them.
    void followMap() {
        const auto& points = model.editableTempoPoints.value();
        for (std::size_t i = 0; i < points.size() && i < rows.size(); ++i) rows[i]->setPoint(points[i]);
    }

    static void type(QLineEdit* field, const QString& text) {
        field->setText(text);
        QTest::keyClick(field, Qt::Key_Return);
    }

    std::vector<std::unique_ptr<BeatloomTempoPointRow>> rows;
};

TEST_F(TempoPointRowTest, FirstRowIsTheFixedSongStartAndOnlyTheLastRowEndsTheSection) {
    loadResult({records::tempoPoint(0, 120)});
    buildRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]->titleLabel()->text(), "START TEMPO");
    EXPECT_EQ(rows[0]->timeField(), nullptr);
    std::vector<QString> texts;
    for (const auto* label : rows[0]->findChildren<QLabel*>()) texts.push_back(label->text());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "0.000 s"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "END SECTION"), texts.end());
    EXPECT_EQ(rows[0]->stepButton(), nullptr);

    loadResult({records::tempoPoint(0, 120), records::tempoPoint(4.25, 90, true), records::tempoPoint(9, 100)});
    buildRows();
    EXPECT_EQ(rows[0]->titleLabel()->text(), "START TEMPO");
    EXPECT_NE(rows[0]->stepButton(), nullptr);
    EXPECT_EQ(rows[1]->titleLabel()->text(), "TEMPO CHANGE 1");
    EXPECT_EQ(rows[1]->bpmText(), "90.0");
    EXPECT_EQ(rows[1]->timeText(), "4.250");
    EXPECT_TRUE(rows[1]->rampButton()->isChecked());
    EXPECT_FALSE(rows[1]->stepButton()->isChecked());
    EXPECT_EQ(rows[2]->titleLabel()->text(), "TEMPO CHANGE 2");
    EXPECT_EQ(rows[2]->stepButton(), nullptr);
    EXPECT_EQ(rows[2]->deleteButton()->property(theme::kSystemImageProperty).toString(), "trash");
    EXPECT_EQ(rows[2]->deleteButton()->toolTip(), "Delete this tempo change");
}

TEST_F(TempoPointRowTest, TimeEntryMovesThePointOnlyWhenTheWholeTextIsATime) {
    loadResult({records::tempoPoint(0, 120), records::tempoPoint(4, 90)});
    buildRows();
    type(rows[1]->timeField(), "12.5 s");
    type(rows[1]->timeField(), " 12.5");
    EXPECT_TRUE(model.editHistory().undoEntries().empty());
    EXPECT_EQ(model.errorText.value(), "");
    EXPECT_EQ(rows[1]->timeText(), " 12.5");  // left as typed

    type(rows[1]->timeField(), "12,5");
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 12.5}));
    EXPECT_EQ(undoNames(model), (std::vector<std::string>{"Move Tempo Marker"}));
    followMap();
    EXPECT_EQ(rows[1]->timeText(), "12.500");
}

TEST_F(TempoPointRowTest, BPMEntryGoesToTheSessionAsTypedAndFollowsUndo) {
    loadResult({records::tempoPoint(0, 120), records::tempoPoint(4, 90)});
    buildRows();
    type(rows[0]->bpmField(), "500");
    EXPECT_EQ(model.editableTempoPoints.value()[0].bpm, 120);
    EXPECT_EQ(model.errorText.value(), session::kBPMOutOfRangeMessage);
    followMap();
    EXPECT_EQ(rows[0]->bpmText(), "500");  // a refused entry stays

    type(rows[0]->bpmField(), "100,5");
    EXPECT_EQ(model.editableTempoPoints.value()[0].bpm, 100.5);
    EXPECT_EQ(undoNames(model), (std::vector<std::string>{"Change Tempo"}));
    followMap();
    EXPECT_EQ(rows[0]->bpmText(), "100.5");
    model.undo();
    followMap();
    EXPECT_EQ(rows[0]->bpmText(), "120.0");
}

TEST_F(TempoPointRowTest, TransitionAndDeleteGoThroughTheSession) {
    loadResult({records::tempoPoint(0, 120), records::tempoPoint(4, 90), records::tempoPoint(8, 100)});
    buildRows();
    rows[1]->rampButton()->click();
    EXPECT_TRUE(model.editableTempoPoints.value()[1].linearToNext);
    rows[0]->deleteButton()->click();
    EXPECT_EQ(model.errorText.value(), session::kSongStartTempoMessage);
    rows[2]->deleteButton()->click();
    EXPECT_EQ(tempoTimes(), (std::vector<double>{0, 4}));
    EXPECT_EQ(undoNames(model), (std::vector<std::string>{"Set Tempo Ramp", "Delete Tempo Marker"}));
}

TEST_F(TempoPointRowTest, TheChosenTransitionStandsOutOfTheOther) {
    loadResult({records::tempoPoint(0, 120), records::tempoPoint(4, 90)});
    buildRows();
    QAbstractButton* step = rows[0]->stepButton();
    step->setChecked(true);
    rows[0]->rampButton()->setChecked(false);
    // The chosen half is filled with the accent blue; the other stays dark.
    const auto blueness = [](QWidget* segment) {
        const QImage image = segment->grab().toImage();
        const QColor centre = image.pixelColor(image.width() / 4, image.height() / 2);
        return centre.blue() - centre.red();
    };
    EXPECT_GT(blueness(step), 120);
    EXPECT_LT(blueness(rows[0]->rampButton()), 40);
}

TEST_F(TempoPointRowTest, ConfidenceIsRoundedAndGreenFromSixtyFivePercent) {
    auto unsure = records::tempoPoint(0, 120);
    unsure.confidence = 0.649;
    auto sure = records::tempoPoint(4, 90);
    sure.confidence = 0.65;
    loadResult({unsure, sure});
    buildRows();
    const auto tone = [](const QLabel* label) { return label->palette().color(QPalette::WindowText).rgb(); };
    EXPECT_EQ(rows[0]->confidenceLabel()->text(), "65%");
    EXPECT_EQ(tone(rows[0]->confidenceLabel()), theme::OrvantaTheme::standardOrange().rgb());
    EXPECT_EQ(rows[1]->confidenceLabel()->text(), "65%");
    EXPECT_EQ(tone(rows[1]->confidenceLabel()), theme::OrvantaTheme::standardGreen().rgb());
}

}  // namespace
}  // namespace corvel::editor
