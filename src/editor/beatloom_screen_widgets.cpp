#include "editor/beatloom_screen_widgets.hpp"

#include <QBoxLayout>
#include <QCoreApplication>
#include <QEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"

namespace corvel::editor {

ScreenSymbolButton::ScreenSymbolButton(const QString& name, int side, const QColor& color, QWidget* parent)
    : QAbstractButton(parent), color_(color) {
    setFixedSize(side, side);
    setCursor(Qt::PointingHandCursor);
    setProperty(theme::kSystemImageProperty, name);
}

void ScreenSymbolButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor color = isEnabled() ? color_ : theme::OrvantaTheme::disabled(color_);
    if (isDown()) color.setAlphaF(color.alphaF() * 0.6f);
    theme::paintSymbol(painter, property(theme::kSystemImageProperty).toString(), QRectF(rect()).adjusted(2, 2, -2, -2),
                      color);
}

RoundedBox::RoundedBox(qreal radius, QColor fill, QColor stroke, qreal strokeWidth)
    : radius_(radius), fill_(fill), stroke_(stroke), strokeWidth_(strokeWidth) {}

void RoundedBox::setLook(QColor fill, QColor stroke, qreal strokeWidth, bool dashed) {
    fill_ = fill;
    stroke_ = stroke;
    strokeWidth_ = strokeWidth;
    dashed_ = dashed;
    update();
}

void RoundedBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal inset = strokeWidth_ / 2;
    const QRectF box = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    painter.setBrush(fill_);
    if (strokeWidth_ > 0) {
        QPen pen(stroke_, strokeWidth_);
        // Dash lengths in pixels; Qt counts them in pen widths.
        if (dashed_) pen.setDashPattern({8 / strokeWidth_, 8 / strokeWidth_});
        painter.setPen(pen);
    } else {
        painter.setPen(Qt::NoPen);
    }
    painter.drawRoundedRect(box, radius_, radius_);
}

void layOutNow(QWidget* changed) {
    for (QWidget* widget = changed; widget != nullptr; widget = widget->parentWidget()) {
        if (QLayout* layout = widget->layout()) layout->activate();
        if (auto* area = qobject_cast<QScrollArea*>(widget)) {
            QEvent request(QEvent::LayoutRequest);
            QCoreApplication::sendEvent(area, &request);
        }
        if (widget->isWindow()) break;
    }
}

namespace {

class ScrollBarRoom final : public QObject {
public:
    ScrollBarRoom(QScrollBar& bar, QBoxLayout& pageLayout) : QObject(&bar), bar_(bar), pageLayout_(pageLayout) {
        bar.installEventFilter(this);
        follow();
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show || event->type() == QEvent::Hide) follow();
        return false;
    }

private:
    void follow() {
        const int room = bar_.isVisible() ? 0 : bar_.sizeHint().width();
        const QMargins margins = pageLayout_.contentsMargins();
        if (margins.right() == room) return;
        pageLayout_.setContentsMargins(margins.left(), margins.top(), room, margins.bottom());
    }

    QScrollBar& bar_;
    QBoxLayout& pageLayout_;
};

}  // namespace

void reserveScrollBarRoom(QScrollArea& area, QBoxLayout& pageLayout) {
    new ScrollBarRoom(*area.verticalScrollBar(), pageLayout);
}

}  // namespace corvel::editor
