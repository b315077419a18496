#include "editor/tempo_point_row.hpp"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>

#include <cctype>
#include <cmath>

#include "theme/orvanta_theme.hpp"
#include "common/format.hpp"
#include "editor/beatloom_screen_widgets.hpp"
#include "editor/popover_frame.hpp"
#include "editor/timeline/timeline_handle_view.hpp"
#include "session/beatloom_view_model.hpp"
#include "session/typed_number.hpp"

namespace corvel::editor {
namespace {

using theme::FontDesign;
using theme::OrvantaTheme;

constexpr int kFieldWidth = 92;
constexpr int kTransitionWidth = 146;

QString bpmTextOf(double bpm) { return QString::fromStdString(formatFixed(bpm, 1)); }
QString timeTextOf(double seconds) { return QString::fromStdString(formatFixed(seconds, 3)); }

QLineEdit* makeField(const QString& placeholder, int pixelSize, const QString& text) {
    auto* field = new QLineEdit(text);
    field->setPlaceholderText(placeholder);
    field->setFont(OrvantaTheme::font(pixelSize, QFont::Bold, FontDesign::monospaced));
    field->setFixedWidth(kFieldWidth);
    return field;
}

// One half of the STEP / RAMP picker; the chosen half is filled with the accent blue, the other
// stays outlined, so the choice reads at a glance.
QPushButton* makeSegment(const QString& title, bool leading) {
    auto* segment = new QPushButton(title);
    segment->setCheckable(true);
    segment->setFont(OrvantaTheme::font(11, QFont::DemiBold));
    const QString corners = leading ? QStringLiteral("border-top-left-radius: 6px; border-bottom-left-radius: 6px;")
                                    : QStringLiteral("border-top-right-radius: 6px; border-bottom-right-radius: 6px;");
    segment->setStyleSheet(
        QStringLiteral("QPushButton { color: %1; background: %2; border: 1px solid %3; padding: 3px 6px; %4 }"
                       "QPushButton:checked { color: white; background: %5; border-color: %5; }"
                       "QPushButton:disabled { color: %6; }")
            .arg(OrvantaTheme::white(0.72).name(QColor::HexArgb), OrvantaTheme::white(0.05).name(QColor::HexArgb),
                 OrvantaTheme::white(0.18).name(QColor::HexArgb), corners, OrvantaTheme::standardBlue().name(),
                 OrvantaTheme::white(0.3).name(QColor::HexArgb)));
    return segment;
}

}  // namespace

std::string formatLocatorTime(double seconds) {
    const double s = (std::isnan(seconds) || seconds < 0) ? 0.0 : seconds;
    // Whole minutes from the truncated seconds; the rest keeps its fraction and is rounded
    // only when written, so 59.999 s reads 0:60.00.
    const double minutes = std::floor(std::trunc(s) / 60);
    std::string rest = formatFixed(s - minutes * 60, 2);
    if (rest.size() < 5) rest.insert(0, 5 - rest.size(), '0');
    return formatFixed(minutes, 0) + ":" + rest;
}

std::optional<double> parseTempoPointTime(std::string_view text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())) != 0 ||
        std::isspace(static_cast<unsigned char>(text.back())) != 0) {
        return std::nullopt;
    }
    const auto seconds = session::parseTypedNumber(text);
    if (!seconds || !std::isfinite(*seconds)) return std::nullopt;
    return seconds;
}

BeatloomTempoPointRow::BeatloomTempoPointRow(session::BeatloomViewModel& model, const BeatloomTempoPoint& point,
                                             int index, bool isLast, double duration, QWidget* parent)
    : QWidget(parent), model_(model), point_(point), index_(index), isLast_(isLast), duration_(duration) {
    setObjectName(QStringLiteral("tempoPointRow"));
    // As tall as its controls: while the list waits for the height a new or removed row gives
    // it, the other rows keep theirs rather than being squeezed or stretched and laid out again.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    const bool first = index_ == 0;
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(10, 8, 10, 8);
    row->setSpacing(12);

    QFont titleFont = OrvantaTheme::font(11, QFont::ExtraBold);
    titleFont.setLetterSpacing(QFont::AbsoluteSpacing, 0.4);
    title_ = makeLabel({}, titleFont,
                       first ? withOpacity(OrvantaTheme::standardBlue(), 0.9)
                             : withOpacity(OrvantaTheme::standardPurple(), 0.95));
    showTitle();
    // Of a fixed size, so that a row renumbered after a point before it came or went keeps its
    // layout: a new title asks no one to lay the row out again.
    title_->setFixedSize(124, title_->sizeHint().height());
    row->addWidget(title_);

    bpmField_ = makeField(QStringLiteral("BPM"), 13, bpmTextOf(point_.bpm));
    connect(bpmField_, &QLineEdit::returnPressed, this, [this] { commitBPM(); });
    row->addWidget(bpmField_);
    row->addWidget(makeLabel(QStringLiteral("BPM"), OrvantaTheme::font(11, QFont::Bold), OrvantaTheme::white(0.58)));

    if (first) {
        // The song-start point cannot be moved.
        auto* fixed = makeLabel(QStringLiteral("0.000 s"), OrvantaTheme::font(12, QFont::Bold, FontDesign::monospaced),
                                OrvantaTheme::white(0.48));
        fixed->setFixedWidth(kFieldWidth);
        fixed->setAlignment(Qt::AlignCenter);
        row->addWidget(fixed);
    } else {
        timeField_ = makeField(QStringLiteral("Seconds"), 12, timeTextOf(point_.timeSeconds));
        connect(timeField_, &QLineEdit::returnPressed, this, [this] { commitTime(); });
        row->addWidget(timeField_);
        row->addWidget(makeLabel(QStringLiteral("s"), OrvantaTheme::font(11, QFont::Bold), OrvantaTheme::white(0.5)));
    }

    if (isLast_) {
        // The last point never ramps.
        auto* end = makeLabel(QStringLiteral("END SECTION"), OrvantaTheme::font(10, QFont::ExtraBold),
                              OrvantaTheme::white(0.35));
        end->setFixedWidth(kTransitionWidth);
        end->setAlignment(Qt::AlignCenter);
        row->addWidget(end);
    } else {
        auto* picker = new QWidget;
        picker->setObjectName(QStringLiteral("transitionPicker"));
        picker->setAccessibleName(QStringLiteral("Transition"));
        picker->setFixedWidth(kTransitionWidth);
        auto* segments = new QHBoxLayout(picker);
        segments->setContentsMargins(0, 0, 0, 0);
        segments->setSpacing(0);
        step_ = makeSegment(QStringLiteral("STEP"), true);
        ramp_ = makeSegment(QStringLiteral("RAMP"), false);
        auto* group = new QButtonGroup(picker);
        group->setExclusive(true);
        group->addButton(step_);
        group->addButton(ramp_);
        segments->addWidget(step_);
        segments->addWidget(ramp_);
        connect(step_, &QAbstractButton::clicked, this, [this] { model_.setTempoTransition(point_.id, false); });
        connect(ramp_, &QAbstractButton::clicked, this, [this] { model_.setTempoTransition(point_.id, true); });
        row->addWidget(picker);
    }

    confidence_ = new QLabel;
    confidence_->setTextFormat(Qt::PlainText);
    confidence_->setFont(OrvantaTheme::font(11, QFont::Bold, FontDesign::monospaced));
    confidence_->setFixedWidth(42);
    confidence_->setAlignment(Qt::AlignCenter);
    row->addWidget(confidence_);

    // On every row: the session refuses to delete the song-start point with its own message.
    delete_ = new ScreenSymbolButton(QStringLiteral("trash"), 20, OrvantaTheme::white(0.7));
    delete_->setToolTip(QStringLiteral("Delete this tempo change"));
    delete_->setAccessibleName(QStringLiteral("Delete this tempo change"));
    connect(delete_, &QAbstractButton::clicked, this, [this] { model_.deleteTempoPoint(point_.id); });
    row->addWidget(delete_);
    row->addStretch();

    showTransition();
    showConfidence();
}

void BeatloomTempoPointRow::setPoint(const BeatloomTempoPoint& point) {
    const BeatloomTempoPoint previous = std::exchange(point_, point);
    if (point_.bpm != previous.bpm) bpmField_->setText(bpmTextOf(point_.bpm));
    if (timeField_ && point_.timeSeconds != previous.timeSeconds) timeField_->setText(timeTextOf(point_.timeSeconds));
    // A refused STEP or RAMP click leaves its segment checked until the row shows the point again.
    showTransition();
    if (point_.confidence != previous.confidence) showConfidence();
}

void BeatloomTempoPointRow::setIndex(int index) {
    if (index == index_ || (index == 0) != (index_ == 0)) return;
    index_ = index;
    showTitle();
}

void BeatloomTempoPointRow::showTitle() {
    title_->setText(index_ == 0 ? QStringLiteral("START TEMPO") : QStringLiteral("TEMPO CHANGE %1").arg(index_));
}

void BeatloomTempoPointRow::commitBPM() { model_.setTempoPointBPM(point_.id, bpmField_->text().toStdString()); }

void BeatloomTempoPointRow::commitTime() {
    if (!timeField_) return;
    if (const auto seconds = parseTempoPointTime(timeField_->text().toStdString())) {
        model_.moveTempoPoint(point_.id, *seconds);
    }
}

void BeatloomTempoPointRow::showTransition() {
    if (!step_) return;
    step_->setChecked(!point_.linearToNext);
    ramp_->setChecked(point_.linearToNext);
}

void BeatloomTempoPointRow::showConfidence() {
    confidence_->setText(QString::fromStdString(formatFixed(std::round(point_.confidence * 100), 0)) +
                         QLatin1Char('%'));
    const QColor& tone = point_.confidence >= 0.65 ? OrvantaTheme::standardGreen() : OrvantaTheme::standardOrange();
    OrvantaTheme::setTextColor(confidence_, withOpacity(tone, 0.8));
}

void BeatloomTempoPointRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(OrvantaTheme::white(index_ == 0 ? 0.035 : 0.022));
    painter.drawRoundedRect(QRectF(rect()), 9, 9);
}

}  // namespace corvel::editor
