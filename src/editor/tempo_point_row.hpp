#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QString>
#include <QWidget>

#include <optional>
#include <string>
#include <string_view>

#include "core/tempo_map_records.hpp"

class QAbstractButton;

namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

// The locator readout's time: minutes, a colon and the seconds with two decimals padded to
// five characters ("1:15.50"); no hour field, and 0:00.00 for negative or unreadable times.
std::string formatLocatorTime(double seconds);

// A time typed into a tempo point's field: a decimal comma counts as a point, and the whole
// text must be the number (no blanks around it, no unit). Nothing otherwise.
std::optional<double> parseTempoPointTime(std::string_view text);

// The editor row of one tempo point in the advanced tempo map: its role, BPM, time,
// transition, confidence and a delete button. Every change goes to the session, which
// validates and records it; the row keeps only the two texts being typed.
class BeatloomTempoPointRow final : public QWidget {
public:
    BeatloomTempoPointRow(session::BeatloomViewModel& model, const BeatloomTempoPoint& point, int index, bool isLast,
                          double duration, QWidget* parent = nullptr);

    const BeatloomTempoPoint& point() const { return point_; }
    int index() const { return index_; }
    bool isLast() const { return isLast_; }
    double duration() const { return duration_; }

    // The point as the map holds it now. A changed BPM or time replaces the text of its field,
    // so a refused or unreadable entry stays only until the value changes; what did not change
    // is left as it is.
    void setPoint(const BeatloomTempoPoint& point);
    // The point's place in the map after points before it came or went; the first row and the
    // last are built as such and keep their place.
    void setIndex(int index);

    QString bpmText() const { return bpmField_->text(); }
    QString timeText() const { return timeField_ ? timeField_->text() : QString(); }
    // Return in the BPM field: the text as typed goes to the session.
    void commitBPM();
    // Return in the time field: a readable time moves the point; anything else does nothing.
    void commitTime();

    QLabel* titleLabel() const { return title_; }
    QLineEdit* bpmField() const { return bpmField_; }
    QLineEdit* timeField() const { return timeField_; }  // none on the song-start row
    QAbstractButton* stepButton() const { return step_; }  // none on the last row
    QAbstractButton* rampButton() const { return ramp_; }
    QLabel* confidenceLabel() const { return confidence_; }
    QAbstractButton* deleteButton() const { return delete_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void showTitle();
    void showTransition();
    void showConfidence();

    session::BeatloomViewModel& model_;
    BeatloomTempoPoint point_;
    int index_;
    bool isLast_;
    double duration_;
    QLabel* title_ = nullptr;
    QLineEdit* bpmField_ = nullptr;
    QLineEdit* timeField_ = nullptr;
    QAbstractButton* step_ = nullptr;
    QAbstractButton* ramp_ = nullptr;
    QLabel* confidence_ = nullptr;
    QAbstractButton* delete_ = nullptr;
};

}  // namespace corvel::editor
