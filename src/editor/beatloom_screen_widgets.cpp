#include "editor/beatloom_screen_widgets.hpp"

#include <QPainter>
#include <QPainterPath>

#include <array>
#include <utility>

#include "app/symbol_set.hpp"

namespace corvel::editor {
namespace {

// Each symbol is drawn in a unit square scaled onto the box.
using UnitPainter = void (*)(QPainter&, const QColor&);

QPen roundPen(const QColor& color, qreal width) {
    QPen pen(color, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

void trash(QPainter& p, const QColor& color) {
    p.setPen(roundPen(color, 0.08));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(0.14, 0.22), QPointF(0.86, 0.22));
    p.drawLine(QPointF(0.4, 0.1), QPointF(0.6, 0.1));
    QPainterPath can;
    can.moveTo(0.22, 0.22);
    can.lineTo(0.28, 0.9);
    can.lineTo(0.72, 0.9);
    can.lineTo(0.78, 0.22);
    p.drawPath(can);
    p.drawLine(QPointF(0.42, 0.36), QPointF(0.43, 0.76));
    p.drawLine(QPointF(0.58, 0.36), QPointF(0.57, 0.76));
}

void waveformBadgePlus(QPainter& p, const QColor& color) {
    p.setPen(roundPen(color, 0.07));
    p.setBrush(Qt::NoBrush);
    const std::array<std::pair<qreal, qreal>, 7> bars{{
        {0.08, 0.12}, {0.18, 0.26}, {0.28, 0.4}, {0.38, 0.2}, {0.48, 0.32}, {0.58, 0.14}, {0.68, 0.08},
    }};
    for (const auto& [x, half] : bars) p.drawLine(QPointF(x, 0.42 - half), QPointF(x, 0.42 + half));
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QPointF(0.74, 0.74), 0.22, 0.22);
    p.setPen(roundPen(Qt::black, 0.07));
    p.drawLine(QPointF(0.74, 0.63), QPointF(0.74, 0.85));
    p.drawLine(QPointF(0.63, 0.74), QPointF(0.85, 0.74));
}

void sliderHorizontal3(QPainter& p, const QColor& color) {
    p.setPen(roundPen(color, 0.07));
    for (const auto& [y, knob] : std::array<std::pair<qreal, qreal>, 3>{{{0.22, 0.66}, {0.5, 0.32}, {0.78, 0.56}}}) {
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(0.08, y), QPointF(0.92, y));
        p.setBrush(color);
        p.drawEllipse(QPointF(knob, y), 0.08, 0.08);
    }
}

constexpr std::array<std::pair<const char*, UnitPainter>, 3> kScreenSymbols{{
    {"trash", &trash},
    {"waveform.badge.plus", &waveformBadgePlus},
    {"slider.horizontal.3", &sliderHorizontal3},
}};

}  // namespace

bool paintScreenSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color) {
    if (app::hasSymbol(name)) return app::paintSymbol(painter, name, box, color);
    for (const auto& [symbolName, unitPainter] : kScreenSymbols) {
        if (name != QLatin1String(symbolName)) continue;
        if (box.isEmpty()) return true;
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        painter.translate(box.topLeft());
        painter.scale(box.width(), box.height());
        unitPainter(painter, color);
        painter.restore();
        return true;
    }
    return false;
}

void ScreenSymbol::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintScreenSymbol(painter, name(), QRectF(rect()), color());
}

ScreenSymbolButton::ScreenSymbolButton(const QString& name, int side, const QColor& color, QWidget* parent)
    : QAbstractButton(parent), color_(color) {
    setFixedSize(side, side);
    setCursor(Qt::PointingHandCursor);
    setProperty(app::kSystemImageProperty, name);
}

void ScreenSymbolButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor color = color_;
    if (isDown()) color.setAlphaF(color.alphaF() * 0.6f);
    paintScreenSymbol(painter, property(app::kSystemImageProperty).toString(), QRectF(rect()).adjusted(2, 2, -2, -2),
                      color);
}

}  // namespace corvel::editor
